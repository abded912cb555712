#!/usr/bin/env bash
# The main job: builds tavoctl (preset dev) and runs a whole sale with
# `tavo demo` against the virtual unit. Extra arguments go to `tavo demo`.
# Until the tavo tool is there, builds the library for Linux and both
# Windows DLLs and says where they are.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset dev
cmake --build --preset dev

tavo=build/dev/tools/tavo
if [ -x "$tavo" ]; then
  exec "$tavo" demo "$@"
fi

for preset in win32 win64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" --target tavoctl
done

echo
echo "demo: $tavo is not built yet; the library is:"
for f in build/dev/libtavoctl.so build/win32/tavoctl.dll \
  build/win64/tavoctl.dll; do
  if [ -e "$f" ]; then
    echo "  $PWD/$f"
  else
    echo "  $f (missing)"
  fi
done
