#!/usr/bin/env bash
# The fuzz targets of tests/fuzz beyond the short runs of scripts/test.sh.
#
#   scripts/fuzz.sh [run] [SECONDS]  fuzz each target for SECONDS (default
#                                    600) from its seeds and earlier finds
#                                    (build/fuzz/fuzz/corpus/NAME); a crash
#                                    leaves its input in
#                                    build/fuzz/fuzz/artifacts/NAME
#   scripts/fuzz.sh coverage         the src/ lines and branches that the
#                                    seeds and earlier finds reach (llvm-cov)
#   scripts/fuzz.sh record           record the seeds anew from sales on the
#                                    virtual unit (the session target's: its
#                                    sale scripts, with each command of the
#                                    trade and money exports lost or its
#                                    acknowledgement spoilt), keeping only
#                                    the inputs that add coverage
#                                    (tests/fuzz/corpus)
#
# A crash found by a run becomes a regression test: minimise it
# (build/fuzz/tests/fuzz/NAME_fuzz -minimize_crash=1 -runs=10000 FILE), put
# it in tests/fuzz/regressions/NAME/, and every test run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

TARGETS=(items transact session)
mode=${1:-run}
[[ $mode =~ ^[0-9]+$ ]] && mode=run && set -- run "$1"

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

exists() { [ -f "tests/fuzz/$1_fuzz.cpp" ]; }

case $mode in
run)
  seconds=${2:-600}
  build fuzz
  for t in "${TARGETS[@]}"; do
    exists "$t" || continue
    work=build/fuzz/fuzz/corpus/$t
    mkdir -p "$work" "build/fuzz/fuzz/artifacts/$t"
    echo "==== $t: $seconds s"
    "build/fuzz/tests/fuzz/${t}_fuzz" -max_total_time="$seconds" \
      -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/fuzz/artifacts/$t/" \
      "$work" "tests/fuzz/corpus/$t" "tests/fuzz/regressions/$t" 2>&1 |
      grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|Done)|ERROR|SUMMARY'
  done
  ;;
coverage)
  command -v llvm-profdata >/dev/null || {
    echo "fuzz.sh: llvm-profdata and llvm-cov needed (Debian: llvm)" >&2
    exit 1
  }
  build fuzzcov
  prof=build/fuzzcov/profiles
  rm -rf "$prof" && mkdir -p "$prof"
  objects=()
  for t in "${TARGETS[@]}"; do
    exists "$t" || continue
    exe=build/fuzzcov/tests/fuzz/${t}_fuzz
    objects+=(-object "$exe")
    dirs=("tests/fuzz/corpus/$t" "tests/fuzz/regressions/$t")
    [ -d "build/fuzz/fuzz/corpus/$t" ] && dirs+=("build/fuzz/fuzz/corpus/$t")
    LLVM_PROFILE_FILE="$prof/$t-%p.profraw" "$exe" -runs=0 -max_len=4096 \
      "${dirs[@]}" >/dev/null 2>&1
  done
  llvm-profdata merge -sparse "$prof"/*.profraw -o "$prof/all.profdata"
  first=${objects[1]}
  llvm-cov report "$first" "${objects[@]:2}" \
    -instr-profile="$prof/all.profdata" "$PWD/src"
  ;;
record)
  build fuzz
  cmake --build build/fuzz --target record_seeds
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  for t in "${TARGETS[@]}"; do mkdir -p "$tmp/$t"; done
  build/fuzz/tests/fuzz/record_seeds "$tmp"
  TAVOCTL_FUZZ_SEEDS="$tmp/session" build/fuzz/tests/fuzz/session_fuzz
  for t in "${TARGETS[@]}"; do
    exists "$t" || continue
    mkdir -p "tests/fuzz/corpus/$t"
    "build/fuzz/tests/fuzz/${t}_fuzz" -merge=1 -max_len=4096 \
      "tests/fuzz/corpus/$t" "$tmp/$t" 2>&1 | grep -E 'MERGE-OUTER: [0-9]+ new'
  done
  ;;
*)
  sed -n '2,22p' "$0"
  exit 2
  ;;
esac
