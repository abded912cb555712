#!/usr/bin/env bash
# Installs what building and testing tavoctl needs on Debian, and nothing
# when everything is there already (no apt-get update either).
#   scripts/install-deps.sh          everything: Linux build and tests,
#                                    both Windows cross builds, wine
#   scripts/install-deps.sh --linux  the Linux build and tests only
#   scripts/install-deps.sh --demo   what scripts/demo.sh needs: a compiler,
#                                    CMake, make, python3 (which makes
#                                    tavoctl_text.h from the table of codes)
set -euo pipefail

scope=all
case "${1:-}" in
--linux) scope=linux ;;
--demo) scope=demo ;;
esac

missing=()
i386=0
# need PACKAGE TEST...: the package is missing when the test fails.
need() {
  local pkg=$1
  shift
  "$@" >/dev/null 2>&1 || missing+=("$pkg")
}
have() { command -v "$1"; }

need cmake have cmake
need make have make
need g++ have g++
need python3 have python3
if [ "$scope" != demo ]; then
  need clang-format have clang-format
  need git have git
  need libgtest-dev test -f /usr/include/gtest/gtest.h
  need libgmock-dev test -f /usr/include/gmock/gmock.h
  need libbenchmark-dev test -f /usr/include/benchmark/benchmark.h
  # The install checks: a pkg-config consumer, and CPack's shlibs.
  need pkgconf have pkg-config
  need file have file
  # The fuzz and tsan presets: clang with libFuzzer and the sanitizer runtimes.
  need clang have clang++
  need libclang-rt-14-dev compgen -G \
    '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
  # The user-space USB provider and its tests against emulated bridges.
  need libftdi1-dev test -f /usr/include/libftdi1/ftdi.h
  need libusb-1.0-0-dev test -f /usr/include/libusb-1.0/libusb.h
  need libumockdev-dev test -f /usr/include/umockdev-1.0/umockdev.h
  need umockdev have umockdev-wrapper
  # The bindings: Debian's python3 with pip, setuptools, wheel and pytest;
  # Mono's C# compiler and runtime.
  need python3-pip /usr/bin/python3 -m pip --version
  need python3-setuptools /usr/bin/python3 -c "import setuptools"
  need python3-wheel /usr/bin/python3 -c "import wheel"
  need python3-pytest /usr/bin/python3 -c "import pytest"
  # The wheel built as Python users build it, installed into a fresh virtual
  # environment, and its type hints read by mypy.
  need python3-build /usr/bin/python3 -c "import build"
  need python3-venv /usr/bin/python3 -c "import ensurepip"
  need python3-mypy /usr/bin/python3 -m mypy --version
  need mono-mcs have mcs
  need mono-runtime have mono
  # tavod, the local payment service, and its tests.
  need libboost1.81-dev test -f /usr/lib/x86_64-linux-gnu/cmake/Boost-1.81.0/BoostConfig.cmake
  need libboost-json1.81-dev test -f /usr/lib/x86_64-linux-gnu/libboost_json.so.1.81.0
  need libsqlite3-dev test -f /usr/include/sqlite3.h
  need libssl-dev test -f /usr/include/openssl/ssl.h
  need python3-yaml /usr/bin/python3 -c "import yaml"
  need python3-jsonschema /usr/bin/python3 -c "import jsonschema"
  need python3-websocket /usr/bin/python3 -c "import websocket"
  need chromium have chromium
  need npm have npm
fi
if [ "$scope" = all ]; then
  need g++-mingw-w64-i686-posix have i686-w64-mingw32-g++-posix
  need g++-mingw-w64-x86-64-posix have x86_64-w64-mingw32-g++-posix
  need binutils-mingw-w64-i686 have i686-w64-mingw32-dlltool
  need binutils-mingw-w64-x86-64 have x86_64-w64-mingw32-dlltool
  need wine have wine
  need wine64 test -x /usr/lib/wine/wine64
  # The MSVC import library (llvm-dlltool) and an MSVC-style consumer of it
  # (clang, lld-link).
  need llvm-14 have llvm-dlltool-14
  need lld-14 have lld-link-14
  # 32-bit wine for the 32-bit DLL: the i386 architecture must be known to
  # dpkg before the package list is read.
  if ! test -x /usr/lib/wine/wine; then
    missing+=("wine32:i386")
    i386=1
  fi
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || {
    echo "install-deps: not root and no sudo; install: ${missing[*]}" >&2
    exit 1
  }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if [ "${i386:-0}" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 update -q
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -q \
  --no-install-recommends "${missing[@]}" \
  </dev/null
