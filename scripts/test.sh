#!/usr/bin/env bash
# Every test of tavoctl, in the order a failure is cheapest to read:
#   0. format:       every source as clang-format lays it out
#   1. preset ci:    Linux build, warnings as errors, then its ctest run
#   2. preset asan:  the same tests under AddressSanitizer and UBSan
#      tavod:        the service's operator page in headless Chromium,
#                    its load test, on the ci build (its API, kill and
#                    security tests are in the ci preset's ctest run), and
#                    its OpenAPI document linted (npm)
#      bindings:     Python (pip, pytest) and C# (mcs, mono) on the ci build
#      install:      preset release installed and packaged, the examples
#                    built against the result (scripts/check-install.sh)
#      preset fuzz:  the libFuzzer targets (clang): every seed once, then a
#                    short run of each (scripts/fuzz.sh runs longer)
#      preset tsan:  eight threads on random exports under ThreadSanitizer
#   3. preset win32: tavoctl.dll for 32-bit Windows, checked by check-dll.py,
#                    then everything else that preset builds, and its zip
#                    (scripts/check-install.sh --zip)
#   4. preset win64: the same for 64-bit Windows
#   5. scripts/wine-e2e.sh on each unpacked zip: its tavo.exe under wine
#      (32-bit wine for win32), and scripts/check-msvc-consumer.sh: an
#      MSVC-style program linked with its tavoctl.lib; both skipped, and
#      said so, where the kernel runs no 32-bit programs (scripts/can-run.py),
#      and a check of that skip with the probe given a program it refuses
# Installs what a fresh Debian machine lacks first. Runs every step it can
# even after a failure, prints a summary with each step's time (SKIP lines
# say why a step did not run), and exits non-zero if any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1

results=()
failed=0
built=()
zipped=()
logs=$(mktemp -d "${TMPDIR:-/tmp}/tavo-test.XXXXXX")
trap 'rm -rf "$logs"' EXIT
# minutes and seconds since SECONDS was START
took() {
  local s=$((SECONDS - $1))
  printf '%dm%02ds' $((s / 60)) $((s % 60))
}
# step NAME COMMAND...: runs the command and records how it went and how
# long it took. A command that exits 77 was skipped because its platform is
# missing (a kernel that runs no 32-bit programs, say): the last line it
# printed with "SKIP: " says why. Returns 0 only when it passed.
step() {
  local name=$1 start=$SECONDS rc reason
  shift
  echo
  echo "==== $name: $*"
  "$@" 2>&1 | tee "$logs/step.txt"
  rc=${PIPESTATUS[0]}
  if [ "$rc" -eq 0 ]; then
    results+=("PASS  $name ($(took $start))")
    return 0
  fi
  if [ "$rc" -eq 77 ]; then
    reason=$(sed -n 's/.*SKIP: //p' "$logs/step.txt" | tail -1)
    skip "$name" "${reason:-the step skipped itself}"
    return 1
  fi
  results+=("FAIL  $name ($(took $start))")
  failed=1
  return 1
}
skip() {
  results+=("SKIP  $1: $2")
}

# Every C and C++ source as clang-format lays it out.
step "format" bash -c \
  "git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror"

# preset_tests PRESET: configure, build and run the tests of a Linux preset.
preset_tests() {
  local preset=$1
  if step "$preset configure" cmake --preset "$preset" &&
    step "$preset build" cmake --build --preset "$preset"; then
    step "$preset tests" ctest --preset "$preset"
  else
    skip "$preset tests" "no build"
  fi
}

# Linux presets: configure, build, run the tests.
for preset in ci asan; do
  preset_tests "$preset"
done

# tavod's operator page in headless Chromium (puppeteer-core from npm),
# and its bounded load test: figures printed, correctness judged.
if [ -x build/ci/tavod ]; then
  step "tavod browser" bash -c "cd tests/service/browser &&
    npm ci --no-audit --no-fund --loglevel=error &&
    node page.test.mjs ../../../build/ci ../../../build/ci/artifacts"
  step "tavod load" /usr/bin/python3 tests/service/load.py --build build/ci
else
  skip "tavod browser" "no ci build of tavod"
  skip "tavod load" "no ci build of tavod"
  failed=1
fi
# tavod's OpenAPI document against an independent linter's own OpenAPI
# rules (npm).
step "tavod openapi lint" bash -c "cd scripts/openapi-lint &&
  npm ci --no-audit --no-fund --loglevel=error && npm run --silent lint"

# The Python and C# bindings against the ci build and the virtual unit.
if [ -e build/ci/libtavoctl.so.1 ]; then
  step "bindings" scripts/check-bindings.sh build/ci
else
  skip "bindings" "no ci build"
  failed=1
fi

# A sale over emulated real-USB timing, at the bridge's latency timer of
# 16 ms and of 1 ms, against the wire time of its bytes: printed, not
# judged (the figures depend on the machine's load).
if [ -x build/ci/tests/usb/usb_latency_bench ]; then
  step "usb latency bench" build/ci/tests/usb/usb_latency_bench
else
  skip "usb latency bench" "not built (umockdev, libftdi1 or benchmark missing)"
fi

# What an application gets: `cmake --install` into a scratch prefix, the
# examples built against it through find_package and pkg-config and run on
# the virtual unit, the .deb packages' contents, the library-only preset.
step "install" scripts/check-install.sh

# Clang presets: the fuzz targets, and the thread test under ThreadSanitizer.
for preset in fuzz tsan; do
  preset_tests "$preset"
done

# Windows presets: configure, build and check the DLL, then build the rest
# (the virtual unit as FTD2XX.DLL, the tools).
for arch in win32:i686 win64:x86_64; do
  preset=${arch%%:*}
  if ! step "$preset configure" cmake --preset "$preset"; then
    skip "$preset check-dll" "not configured"
    continue
  fi
  if step "$preset dll" cmake --build --preset "$preset" --target tavoctl; then
    step "$preset check-dll" python3 scripts/check-dll.py --require-all \
      "build/$preset/tavoctl.dll" "${arch#*:}"
  else
    skip "$preset check-dll" "no DLL"
  fi
  if step "$preset build" cmake --build --preset "$preset"; then
    built+=("$preset")
    # The zip a Windows developer gets, checked and unpacked for wine below.
    step "$preset zip" scripts/check-install.sh --zip "build/$preset" &&
      zipped+=("$preset")
  else
    skip "$preset zip" "no $preset build"
  fi
done

# ---- each DLL run under wine against the virtual unit as FTD2XX.DLL -----
# The tool's commands as on Linux (scripts/wine-e2e.sh), and an application
# built the MSVC way against tavoctl.lib (scripts/check-msvc-consumer.sh);
# the 32-bit build under 32-bit wine, so __stdcall is run, not only read.
# Both run what the zip holds, unpacked; each skips itself (exit 77) where
# the kernel cannot start its wine.
version=$(sed -n 's/^project(tavoctl VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for preset in win32 win64; do
  if [[ " ${zipped[*]} " != *" $preset "* ]]; then
    skip "$preset wine e2e" "no $preset zip"
    skip "$preset msvc consumer" "no $preset zip"
    failed=1
    continue
  fi
  unpacked=build/$preset/zip/tavoctl-$version-$preset
  step "$preset wine e2e" scripts/wine-e2e.sh "$unpacked" build/ci
  step "$preset msvc consumer" scripts/check-msvc-consumer.sh "$unpacked"
done
# That skip itself: with the probe given a program this kernel refuses as
# one without IA-32 emulation refuses 32-bit programs, both win32 steps must
# say so and skip, neither fail nor run.
no_ia32() {
  local script out rc bad=0
  for script in wine-e2e.sh check-msvc-consumer.sh; do
    out=$(TAVO_CAN_RUN_MACHINE=0xBEEF "scripts/$script" build/win32 2>&1)
    rc=$?
    if [ "$rc" -eq 77 ] &&
      grep -q "SKIP: .*this kernel runs no 32-bit programs$" <<<"$out"; then
      echo "ok   $script: $(tail -1 <<<"$out")"
    else
      echo "FAIL $script: exit $rc, expected 77 and the reason:"
      tail -5 <<<"$out" | sed 's/^/     | /'
      bad=1
    fi
  done
  return "$bad"
}
if [[ " ${built[*]} " == *" win32 "* ]]; then
  step "skip without 32-bit" no_ia32
else
  skip "skip without 32-bit" "no win32 build"
fi
# -------------------------------------------------------------------------

echo
echo "==== summary"
printf '  %s\n' "${results[@]}"
if [ "$failed" -ne 0 ]; then
  echo "test.sh: FAILED after $(took 0)"
  exit 1
fi
echo "test.sh: all passed in $(took 0)"
