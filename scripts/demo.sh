#!/usr/bin/env bash
# The main job: builds tavoctl (preset dev) and runs a whole sale with
# `tavo demo` against the virtual unit. Extra arguments go to `tavo demo`
# (--trace shows every frame on the wire).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --linux

cmake --preset dev
cmake --build --preset dev

exec build/dev/tools/tavo demo "$@"
