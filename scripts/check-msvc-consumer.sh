#!/usr/bin/env bash
# tavoctl.lib as an MSVC-built application uses it: tests/windows/
# msvc_consumer.c compiled by clang for the MSVC ABI (i686 or x86_64), linked
# by lld-link against the build's tavoctl.lib with no C runtime, and run
# under wine beside tavoctl.dll and the virtual unit as FTD2XX.DLL.
#
# usage: scripts/check-msvc-consumer.sh WIN_BUILD_DIR   (build/win32, build/win64,
#                                                       or an unpacked zip)
set -uo pipefail
cd "$(dirname "$0")/.."
win=$(cd "${1:?usage: check-msvc-consumer.sh WIN_BUILD_DIR}" && pwd) || exit 1

# A build, or an unpacked Windows zip (scripts/check-install.sh --zip): the
# header, import library, DLL and virtual unit as the zip ships them.
if [ -f "$win/bin/tavoctl.dll" ]; then
  dll=$win/bin/tavoctl.dll implib=$win/lib/tavoctl.lib include=$win/include
  vu=$win/bin/virtual-unit/FTD2XX.DLL
else
  dll=$win/tavoctl.dll implib=$win/windows/tavoctl.lib include=include
  vu=$win/virtual-unit/FTD2XX.DLL
fi
case "$(objdump -f "$dll" 2>/dev/null)" in
*pei-i386*) arch=i686 target=i686-pc-windows-msvc machine=i386 kill=-k
  loader=/usr/lib/wine/wine ;;
*pei-x86-64*) arch=x86_64 target=x86_64-pc-windows-msvc machine=i386:x86-64 kill=
  loader=/usr/lib/wine/wine64 ;;
*) echo "check-msvc-consumer: $dll is not a Windows DLL"; exit 1 ;;
esac
for tool in clang lld-link llvm-dlltool; do
  command -v $tool >/dev/null || tool=$tool-14
  command -v $tool >/dev/null || {
    echo "check-msvc-consumer: $tool is missing (scripts/install-deps.sh)"
    exit 1
  }
done
dlltool=$(command -v llvm-dlltool || command -v llvm-dlltool-14)
lld=$(command -v lld-link || command -v lld-link-14)
[ -x "$loader" ] || { echo "check-msvc-consumer: no $loader"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tavo-msvc.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$(dirname "$loader")/wineserver" -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# The one kernel32 function the consumer calls, decorated on i686.
printf 'LIBRARY kernel32.dll\nEXPORTS\nExitProcess%s\n' \
  "$([ $arch = i686 ] && echo @4)" >"$work/kernel32.def"
if ! { clang --target=$target -ffreestanding -fno-builtin -O1 -Wall -Werror \
  -I"$include" -c tests/windows/msvc_consumer.c -o "$work/consumer.obj" &&
  "$dlltool" -m $machine -d "$work/kernel32.def" -l "$work/kernel32.lib" $kill &&
  "$lld" /nologo /entry:start /subsystem:console /nodefaultlib \
    /out:"$work/consumer.exe" "$work/consumer.obj" "$implib" \
    "$work/kernel32.lib"; }; then
  echo "FAIL $arch: the MSVC-style consumer does not build against tavoctl.lib"
  exit 1
fi
# The run is skipped (77) where the kernel cannot start this wine
# (scripts/can-run.py); the link above is checked all the same.
reason=$(python3 scripts/can-run.py "$([ $arch = i686 ] && echo i386 || echo x86_64)")
if [ $? -eq 77 ]; then
  echo "check-msvc-consumer: SKIP: consumer.exe linked, not run: $reason"
  exit 77
fi
# The virtual unit is built in a folder of its own; here, for the run only,
# it goes beside the consumer, which loads nothing by itself.
cp "$dll" "$vu" "$work/"
(cd "$work" && timeout 300 "$loader" ./consumer.exe) >"$work/out.txt" 2>&1
code=$?
if [ "$code" -eq 0 ]; then
  echo "ok   $arch: consumer.exe linked with tavoctl.lib ran its calls on the virtual unit"
  exit 0
fi
echo "FAIL $arch: consumer.exe exited $code (the step that failed)"
tail -5 "$work/out.txt"
exit 1
