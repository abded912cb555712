#!/usr/bin/env bash
# The main job: builds what a sale on the virtual unit needs (preset demo:
# the library, the virtual unit and the tavo tool, nothing else) and runs a
# whole sale with `tavo demo`. Extra arguments go to `tavo demo` (--trace
# shows every frame on the wire). Installs only a compiler, CMake, make and
# python3 when they are missing; scripts/test.sh installs the rest.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --demo

cmake --preset demo >/dev/null
cmake --build --preset demo

exec build/demo/tools/tavo demo "$@"
