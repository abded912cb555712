#!/usr/bin/env bash
# A Windows build in a real PE loader: wine (32-bit, for the win32 build)
# or wine64 runs tavo.exe, which loads tavoctl.dll, whose imports of
# FTD2XX.DLL bind by ordinal to the virtual unit built as FTD2XX.DLL in its
# own folder, virtual-unit\ (never beside tavoctl.dll), which tavo.exe loads
# first. Each run must end as the same command ends on Linux: same exit code,
# same transcript. On 32-bit every export is __stdcall: a wrong argument size
# on either side leaves the stack off and the run fails.
#
# usage: scripts/wine-e2e.sh WIN_BUILD_DIR [LINUX_BUILD_DIR]
#   WIN_BUILD_DIR: build/win64 or build/win32 (the loader follows tavo.exe),
#   or the folder of an unpacked Windows zip
#   LINUX_BUILD_DIR (default: the ci build beside WIN_BUILD_DIR) holds the
#   Linux tavo; when it is there the transcripts are compared line by line.
#
# Exit 77 (skipped) when this kernel cannot run the loader's architecture
# (scripts/can-run.py).
#
# One wine prefix per run (about 10 s and 700 MB), in a temporary folder that
# is removed at the end.
set -uo pipefail

win=${1:?usage: wine-e2e.sh WIN_BUILD_DIR [LINUX_BUILD_DIR]}
linux=${2:-$win/../ci}
win=$(cd "$win" && pwd) || exit 1
# An unpacked Windows zip (scripts/check-install.sh --zip): the tool, the
# library and the virtual unit are in its bin\ as they are in a build.
[ -f "$win/bin/tavo.exe" ] && win=$win/bin

if objdump -f "$win/tavo.exe" 2>/dev/null | grep -q pei-i386; then
  wine=wine # the 32-bit loader (Debian wine32:i386)
  arch=i386
else
  wine=wine64
  arch=x86_64
fi
# The loader is a Linux program of the same architecture: a kernel without
# IA-32 emulation cannot start 32-bit wine at all. That is the machine, not
# the project: say so and skip (77) rather than fail.
reason=$(python3 "$(dirname "$0")/can-run.py" $arch)
if [ $? -eq 77 ]; then
  echo "wine-e2e: SKIP: $reason"
  exit 77
fi
loader=/usr/lib/wine/$wine
[ -x "$loader" ] || loader=$(command -v $wine || true)
if [ -z "$loader" ]; then
  echo "wine-e2e: $wine is not installed (scripts/install-deps.sh installs it)"
  exit 1
fi
wineserver=$(dirname "$loader")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo true)

for f in tavo.exe tavoctl.dll virtual-unit/FTD2XX.DLL; do
  if [ ! -f "$win/$f" ]; then
    echo "wine-e2e: $win/$f is missing (build its preset first)"
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tavo-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  WINEPREFIX=$WINEPREFIX "$wineserver" -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# The exe and the library alone in one folder, the virtual unit in its own
# folder below, run from there: the loader finds this FTD2XX.DLL and no
# other.
mkdir -p "$work/run/virtual-unit" "$WINEPREFIX"
cp "$win/tavo.exe" "$win/tavoctl.dll" "$work/run/"
cp "$win/virtual-unit/FTD2XX.DLL" "$work/run/virtual-unit/"

echo "wine-e2e: making a wine prefix"
if ! timeout 300 "$loader" wineboot --init >"$work/wineboot.log" 2>&1; then
  echo "wine-e2e: wineboot failed:"
  tail -20 "$work/wineboot.log"
  exit 1
fi

linux_tavo=""
for t in "$linux/tools/tavo" "$linux/tavo"; do
  if [ -x "$t" ]; then
    linux_tavo=$(cd "$(dirname "$t")" && pwd)/tavo
    break
  fi
done
if [ -z "$linux_tavo" ]; then
  echo "wine-e2e: no Linux tavo in $linux; checking expected texts only"
fi

failed=0
passed=0
# check EXIT TEXT ARGS...: runs tavo.exe ARGS under wine, expects the exit
# code and a line containing TEXT, and the Linux tavo's transcript when there.
check() {
  local want_exit=$1 want_text=$2
  shift 2
  local out="$work/out.txt"
  (cd "$work/run" && timeout 120 "$loader" ./tavo.exe "$@") >"$out" 2>&1
  local got=$?
  tr -d '\r' <"$out" >"$out.unix"
  local ok=1
  if [ "$got" -ne "$want_exit" ]; then
    echo "FAIL tavo $*: exit $got, expected $want_exit"
    ok=0
  fi
  if ! grep -qF -- "$want_text" "$out.unix"; then
    echo "FAIL tavo $*: no line with '$want_text'"
    ok=0
  fi
  if [ -n "$linux_tavo" ]; then
    "$linux_tavo" "$@" >"$work/linux.txt" 2>&1
    local linux_exit=$?
    if [ "$linux_exit" -ne "$got" ]; then
      echo "FAIL tavo $*: exit $got under wine, $linux_exit on Linux"
      ok=0
    elif ! diff -u "$work/linux.txt" "$out.unix" >"$work/diff.txt"; then
      echo "FAIL tavo $*: the transcript differs from Linux:"
      head -40 "$work/diff.txt"
      ok=0
    fi
  fi
  if [ "$ok" -eq 1 ]; then
    echo "ok   tavo $* (exit $got)"
    passed=$((passed + 1))
  else
    sed 's/^/     | /' "$out.unix" | head -40
    failed=$((failed + 1))
  fi
}

check 0 "sale balanced: price 1280, customer paid 1500, change 220" demo
check 0 "sale balanced: price 1500, customer paid 1500, change 0" \
  demo --price 1500 --pay 500,500,500
check 1 "sale failed: 0x1375 TAVO_Charge" demo --fault no-change
check 1 "0x0113: TAVO_Open: no device is attached" demo --fault no-device
check 1 "0x0115: TAVO_Open: the board did not answer" demo --fault silent
check 4 "paid 10 of 1280" demo --pay 10
check 0 "digit codes 80 80 04 05" display 45
check 0 "went into its reset" reset
check 0 "backup memory is cleared" clear-backup
check 0 "0x1375  pay-back    TAVO_Charge" codes
check 0 "0x1375  pay-back    TAVO_Charge: the change" codes 0x1375
check 2 "unknown command" frobnicate

# Another provider chosen by path: loaded first, it is the module that
# tavoctl.dll's imports of FTD2XX.DLL bind to. Without it beside the tool and
# without the option, the tool cannot start.
mkdir -p "$work/alt/provider"
cp "$win/tavo.exe" "$win/tavoctl.dll" "$work/alt/"
cp "$win/virtual-unit/FTD2XX.DLL" "$work/alt/provider/"
alt() {
  (cd "$work/alt" && timeout 120 "$loader" ./tavo.exe "$@") 2>&1 | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
if alt --provider 'provider\FTD2XX.DLL' demo >"$work/alt.txt" &&
  grep -qF "sale balanced" "$work/alt.txt"; then
  echo "ok   tavo --provider provider\FTD2XX.DLL demo (exit 0)"
  passed=$((passed + 1))
else
  echo "FAIL tavo --provider provider\FTD2XX.DLL demo"
  sed 's/^/     | /' "$work/alt.txt" | head -20
  failed=$((failed + 1))
fi
alt demo >"$work/alt.txt"
got=$?
if [ "$got" -eq 3 ] && grep -qF "cannot load the D2XX provider" "$work/alt.txt"; then
  echo "ok   tavo demo without a provider (exit 3)"
  passed=$((passed + 1))
else
  echo "FAIL tavo demo without a provider: exit $got"
  failed=$((failed + 1))
fi

# The wire itself, decoded, must match as well except for the clock frame,
# which carries the time of each run.
(cd "$work/run" && timeout 120 "$loader" ./tavo.exe demo --trace) 2>&1 |
  tr -d '\r' | grep -v -i -e 'clock' >"$work/trace.wine"
if grep -qF -- "-> 5B A4 03 10 02 00 11   BillCtrl settle" "$work/trace.wine" &&
  { [ -z "$linux_tavo" ] ||
    { "$linux_tavo" demo --trace 2>&1 | grep -v -i -e 'clock' >"$work/trace.linux" &&
      diff -q "$work/trace.linux" "$work/trace.wine" >/dev/null; }; }; then
  echo "ok   tavo demo --trace (every frame as on Linux)"
  passed=$((passed + 1))
else
  echo "FAIL tavo demo --trace: the wire differs from Linux"
  [ -n "$linux_tavo" ] && diff "$work/trace.linux" "$work/trace.wine" | head -20
  failed=$((failed + 1))
fi

echo "wine-e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
