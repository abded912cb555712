#!/usr/bin/env bash
# What an application gets from an installed tavoctl, checked from the
# outside: builds the `release` preset, installs it into a scratch prefix,
# and builds and runs the examples/ sales against the installed tree only,
# once through find_package(tavoctl) and once through pkg-config; then makes
# the .deb packages, checks what each holds, unpacks them into a scratch
# root and runs a sale against that. Also configures the library-only
# preset `lib`, which must need no test or benchmark package.
#
# usage: scripts/check-install.sh
#        scripts/check-install.sh --zip WIN_BUILD_DIR   (the Windows zip, below)
set -uo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$src/build/release

work=$(mktemp -d "${TMPDIR:-/tmp}/tavo-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=0
passed=0
ok() {
  echo "ok   $*"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL $*"
  failed=$((failed + 1))
}
# run NAME COMMAND...: runs a setup command quietly; its log on failure.
run() {
  local name=$1
  shift
  if "$@" >"$work/log.txt" 2>&1; then
    return 0
  fi
  fail "$name: $*"
  sed 's/^/     | /' "$work/log.txt" | tail -30
  return 1
}
# sale NAME EXE [ENV...]: the example must sell and balance.
sale() {
  local name=$1 exe=$2
  shift 2
  local out
  if out=$(env "$@" "$exe" 2>&1) &&
    [ "$out" = "sold for 1280: paid 1500, change 220" ]; then
    ok "$name: $out"
  else
    fail "$name: $out"
  fi
}

# listing NAME FILE REQUIRED... -- ALLOWED_PATTERN...: FILE lists a
# package's files, one a line; every required file is there, and every file
# there is required or allowed.
listing() {
  local name=$1 files=$2 required=() allowed=() bad=0 f r a known
  shift 2
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    required+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  allowed=("$@")
  for f in "${required[@]}"; do
    grep -qxF "$f" "$files" || {
      fail "$name: $f missing"
      bad=1
    }
  done
  while read -r f; do
    known=0
    for r in "${required[@]}"; do [ "$f" = "$r" ] && known=1; done
    for a in "${allowed[@]}"; do
      # shellcheck disable=SC2053 # a glob on purpose
      [[ $f == $a ]] && known=1
    done
    [ "$known" -eq 1 ] || {
      fail "$name: unexpected $f"
      bad=1
    }
  done <"$files"
  [ "$bad" -eq 0 ] && ok "$name: $(wc -l <"$files") files as expected"
}
version=$(sed -n 's/^project(tavoctl VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# ---- the Windows zip -------------------------------------------------------
# scripts/check-install.sh --zip build/win64 (or build/win32), after that
# preset's build: makes the zip with CPack, checks what it holds, and
# unpacks it into WIN_BUILD_DIR/zip/, where scripts/wine-e2e.sh and
# check-msvc-consumer.sh run it.
if [ "${1:-}" = "--zip" ]; then
  win=$(cd "${2:?usage: check-install.sh --zip WIN_BUILD_DIR}" && pwd) || exit 1
  case "$(objdump -f "$win/tavoctl.dll" 2>/dev/null)" in
  *pei-i386*) arch=win32 pe=pei-i386 ;;
  *pei-x86-64*) arch=win64 pe=pei-x86-64 ;;
  *) echo "check-install: $win/tavoctl.dll is not a Windows DLL"; exit 1 ;;
  esac
  name=tavoctl-$version-$arch
  rm -rf "$win/packages" "$win/zip"
  run "cpack $arch" cpack --config "$win/CPackConfig.cmake" -B "$win/packages" || exit 1
  zip=$win/packages/$name.zip
  [ -f "$zip" ] || { fail "zip: $name.zip not made"; exit 1; }
  /usr/bin/python3 - "$zip" >"$work/files.txt" <<'PY'
import sys, zipfile
for n in sorted(zipfile.ZipFile(sys.argv[1]).namelist()):
    if not n.endswith("/"):
        print(n)
PY
  echo "check-install: $name.zip:"
  sed 's/^/  /' "$work/files.txt"
  p=$name
  listing "zip $name" "$work/files.txt" "$p/bin/tavoctl.dll" "$p/bin/tavo.exe" \
    "$p/bin/virtual-unit/FTD2XX.DLL" "$p/include/tavoctl.h" \
    "$p/include/tavoctl_text.h" "$p/include/tavoctl_change.h" \
    "$p/lib/tavoctl.lib" "$p/lib/tavoctl.def" \
    "$p/lib/libtavoctl.dll.a" "$p/python/tavoctl-$version-py3-none-any.whl" \
    "$p/dotnet/Tavoctl.cs" "$p/dotnet/ResultCodes.cs" "$p/README.txt" \
    "$p/LICENSE.txt" --
  mkdir -p "$win/zip"
  run "unzip" /usr/bin/python3 -m zipfile -e "$zip" "$win/zip" || exit 1
  root=$win/zip/$name
  # The DLL that check-dll.py passed is the one shipped, and beside it no
  # FTD2XX.DLL: only the tool's own folder below holds the virtual unit.
  cmp -s "$root/bin/tavoctl.dll" "$win/tavoctl.dll" &&
    ok "zip: bin/tavoctl.dll is the checked $win/tavoctl.dll" ||
    fail "zip: bin/tavoctl.dll differs from $win/tavoctl.dll"
  # The tool and the virtual unit: of the DLL's architecture, stripped.
  for f in bin/tavo.exe bin/virtual-unit/FTD2XX.DLL; do
    if objdump -f "$root/$f" | grep -q "$pe" &&
      ! objdump -h "$root/$f" | grep -q '\.debug_'; then
      ok "zip: $f is $pe, stripped ($(stat -c %s "$root/$f") bytes)"
    else
      fail "zip: $f is not a stripped $pe image"
    fi
  done
  cmp -s "$root/LICENSE.txt" LICENSE && ok "zip: LICENSE.txt is the licence" ||
    fail "zip: LICENSE.txt differs from LICENSE"
  if grep -q "tavoctl $version for Windows ($arch)" "$root/README.txt" &&
    ! grep -q '@[A-Z_]*@' "$root/README.txt"; then
    ok "zip: README.txt for $arch"
  else
    fail "zip: README.txt does not name $version and $arch, or has a placeholder"
  fi
  if out=$(scripts/check-wheel.py "$root/python/tavoctl-$version-py3-none-any.whl" LICENSE); then
    ok "zip: $out"
  else
    fail "zip: $out"
  fi
  # The C# binding's two files compile together (Mono's mcs, as on Linux).
  if command -v mcs >/dev/null; then
    run "zip: dotnet compiles" mcs -nologo -warnaserror -target:library \
      -out:"$work/Tavoctl.Binding.dll" "$root/dotnet/Tavoctl.cs" \
      "$root/dotnet/ResultCodes.cs" && ok "zip: dotnet/*.cs compile with mcs"
  fi
  echo "check-install: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi

run "configure release" cmake --preset release || exit 1
run "build release" cmake --build --preset release || exit 1

# ---- the install tree ----------------------------------------------------
prefix=$work/prefix
run "install" cmake --install "$build" --prefix "$prefix" || exit 1
for f in include/tavoctl.h include/tavoctl_text.h include/tavoctl_change.h \
  include/tavovu.h \
  lib/libtavoctl.so lib/libtavoctl.so.1 lib/libtavovu.so lib/libtavotty.so \
  lib/cmake/tavoctl/tavoctlConfig.cmake \
  lib/cmake/tavoctl/tavoctlConfigVersion.cmake lib/pkgconfig/tavoctl.pc \
  lib/pkgconfig/tavoctl-virtual.pc lib/pkgconfig/tavoctl-ttyusb.pc \
  bin/tavo share/tavoctl/result-codes.tsv share/doc/tavoctl/README.md; do
  [ -e "$prefix/$f" ] || fail "install: $f missing"
done
soname=$(objdump -p "$prefix/lib/libtavoctl.so.1" | awk '/SONAME/ {print $2}')
if [ "$soname" = "libtavoctl.so.${version%%.*}" ] &&
  [ -f "$prefix/lib/libtavoctl.so.$version" ]; then
  ok "install: soname $soname, file libtavoctl.so.$version"
else
  fail "install: soname '$soname' for version $version"
fi
if file -L "$prefix/lib/libtavoctl.so.$version" | grep -q ', stripped'; then
  ok "install: libtavoctl.so.$version stripped"
else
  fail "install: libtavoctl.so.$version not stripped"
fi

# ---- a consumer through find_package ---------------------------------------
# A fresh CMake project that knows only the prefix; warnings as errors.
if run "find_package consumer" cmake -S examples -B "$work/cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  "-DCMAKE_C_FLAGS=-Wall -Wextra -Werror" \
  "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror" &&
  run "find_package consumer build" cmake --build "$work/cmake" -j2; then
  sale "find_package, C" "$work/cmake/sale_c"
  sale "find_package, C++" "$work/cmake/sale_cpp"
fi
# A version the package is not compatible with is refused.
mkdir -p "$work/v2"
printf 'cmake_minimum_required(VERSION 3.16)\nproject(v NONE)\nfind_package(tavoctl 2 CONFIG REQUIRED)\n' \
  >"$work/v2/CMakeLists.txt"
if cmake -S "$work/v2" -B "$work/v2/b" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/log.txt" 2>&1; then
  fail "find_package(tavoctl 2) was accepted by version $version"
else
  ok "find_package(tavoctl 2) refused by version $version"
fi

# ---- a consumer through pkg-config -------------------------------------
# pc_sale NAME PKG_CONFIG_DIR: compiles examples/sale.c with what
# `pkg-config tavoctl-virtual` says, and runs it.
pc_sale() {
  local name=$1 dir=$2 flags libdir
  if ! flags=$(PKG_CONFIG_PATH=$dir pkg-config --cflags --libs tavoctl-virtual); then
    fail "$name: pkg-config tavoctl-virtual"
    return
  fi
  libdir=$(PKG_CONFIG_PATH=$dir pkg-config --variable=libdir tavoctl)
  # shellcheck disable=SC2086 # the flags are words
  if run "$name: compile" cc -std=c99 -Wall -Wextra -Werror -o "$work/sale_pc" \
    examples/sale.c $flags -Wl,-rpath,"$libdir"; then
    sale "$name" "$work/sale_pc"
  fi
}
pc_sale "pkg-config" "$prefix/lib/pkgconfig"

# ---- applications that call only TAVO_ functions, linked --as-needed --------
# Such an application asks nothing of its provider by itself: only
# libtavoctl's undefined FT_* functions do, so a linker that drops what
# nothing has asked for yet (--as-needed, the default of many distributions'
# compilers) keeps the provider only when it comes after the library.
# as_needed WHERE ROOT: for every provider this build has, one application
# (tests/consumer/only_exports.c) linked through its CMake target and one
# through its .pc file, against the tree at ROOT, --as-needed first on the
# link line. Each must link, need the library and the provider, and run
# TAVO_Open through them with every symbol bound at start (the virtual unit
# must open; a real unit's provider answers with whatever code says there is
# no unit).
providers=(virtual:libtavovu.so ttyusb:libtavotty.so)
[ -e "$build/drivers/ftdi/libtavoftdi.so" ] && providers+=(ftdi:libtavoftdi.so)
matrix=()
consumer() {
  local label=$1 exe=$2 soname=$3 name=$4 needed out
  needed=$(objdump -p "$exe" | awk '/NEEDED/ {print $2}' | tr '\n' ' ')
  if [[ " $needed " != *" libtavoctl.so.1 "* || " $needed " != *" $soname "* ]]; then
    fail "$label: needs only $needed"
    matrix+=("FAIL  $label")
    return
  fi
  if out=$(LD_BIND_NOW=1 "$exe" 2>&1) && [[ $out =~ ^TAVO_Open:\ 0x[0-9A-F]{4}$ ]] &&
    { [ "$name" != virtual ] || [ "$out" = "TAVO_Open: 0x0000" ]; }; then
    ok "$label: $out"
    matrix+=("ok    $label")
  else
    fail "$label: $out"
    matrix+=("FAIL  $label")
  fi
}
as_needed() {
  local where=$1 root=$2 dir=$work/consumer-$1 entry name soname flags
  mkdir -p "$dir"
  if run "$where: CMake consumer, --as-needed" cmake -S tests/consumer -B "$dir" \
    -G "Unix Makefiles" \
    -DCMAKE_PREFIX_PATH="$root" -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_C_FLAGS=-Wall -Wextra -Werror" \
    -DCMAKE_EXE_LINKER_FLAGS=-Wl,--as-needed; then
    # Every target that links, so that each provider is judged on its own.
    cmake --build "$dir" -j2 -- -k >"$work/build.txt" 2>&1
    for entry in "${providers[@]}"; do
      name=${entry%%:*} soname=${entry#*:}
      if [ -x "$dir/only_exports_$name" ]; then
        consumer "$where, CMake tavoctl::$name" "$dir/only_exports_$name" "$soname" "$name"
      else
        fail "$where, CMake tavoctl::$name: did not link"
        grep -m3 -e "undefined reference" -e "Error" "$work/build.txt" | sed 's/^/     | /'
        matrix+=("FAIL  $where, CMake tavoctl::$name")
      fi
    done
  else
    matrix+=("FAIL  $where, CMake (not configured)")
  fi
  for entry in "${providers[@]}"; do
    name=${entry%%:*} soname=${entry#*:}
    if flags=$(PKG_CONFIG_PATH=$root/lib/pkgconfig pkg-config --cflags --libs "tavoctl-$name") &&
      # shellcheck disable=SC2086 # the flags are words
      run "$where: pkg-config tavoctl-$name, --as-needed" cc -Wl,--as-needed \
        -std=c99 -Wall -Wextra -Werror -o "$dir/pc_$name" \
        tests/consumer/only_exports.c $flags -Wl,-rpath,"$root/lib"; then
      consumer "$where, pkg-config tavoctl-$name" "$dir/pc_$name" "$soname" "$name"
    else
      matrix+=("FAIL  $where, pkg-config tavoctl-$name")
    fi
  done
}
as_needed installed "$prefix"

out=$("$prefix/bin/tavo" --version 2>&1)
[ "$out" = "tavo $version (tavoctl.h $version)" ] && ok "installed tavo --version: $out" ||
  fail "installed tavo --version: $out"
if "$prefix/bin/tavo" demo >"$work/log.txt" 2>&1 &&
  grep -q "sale balanced" "$work/log.txt"; then
  ok "installed tavo demo (library and virtual unit from ../lib)"
else
  fail "installed tavo demo"
  sed 's/^/     | /' "$work/log.txt" | tail -10
fi

# ---- the Debian packages ---------------------------------------------------
rm -rf "$build/packages"
run "cpack" cpack --config "$build/CPackConfig.cmake" -B "$build/packages" || exit 1
# contents PACKAGE REQUIRED... -- ALLOWED_PATTERN...: every required file is
# in the package, and every file of the package is required or allowed.
contents() {
  local pkg=$1 deb
  shift
  deb=$(ls "$build/packages/${pkg}_${version}_"*.deb 2>/dev/null | head -1)
  if [ -z "$deb" ]; then
    fail "deb $pkg: not made"
    return
  fi
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' |
    sort >"$work/files.txt"
  listing "deb $pkg" "$work/files.txt" "$@"
  dpkg -x "$deb" "$work/root"
}
lib=libtavoctl${version%%.*}
# The udev rules of packaging/udev go with the library.
rules=()
for r in packaging/udev/*.rules; do
  [ -e "$r" ] && rules+=("usr/lib/udev/rules.d/$(basename "$r")")
done
contents "$lib" usr/lib/libtavoctl.so.1 "usr/lib/libtavoctl.so.$version" \
  usr/lib/libtavovu.so usr/lib/libtavotty.so "${rules[@]}" \
  "usr/share/doc/$lib/copyright" -- \
  'usr/lib/libtavo*.so' 'usr/lib/udev/rules.d/*.rules'
contents libtavoctl-dev usr/include/tavoctl.h usr/include/tavoctl_text.h \
  usr/include/tavoctl_change.h \
  usr/include/tavovu.h usr/lib/libtavoctl.so \
  usr/lib/cmake/tavoctl/tavoctlConfig.cmake \
  usr/lib/cmake/tavoctl/tavoctlConfigVersion.cmake \
  usr/lib/pkgconfig/tavoctl.pc usr/lib/pkgconfig/tavoctl-virtual.pc \
  usr/share/tavoctl/result-codes.tsv usr/share/doc/tavoctl/README.md \
  usr/share/doc/libtavoctl-dev/copyright -- \
  'usr/include/tavo*.h' 'usr/lib/pkgconfig/tavoctl-*.pc' \
  'usr/share/doc/tavoctl/*.md'
contents tavoctl-tools usr/bin/tavo usr/share/doc/tavoctl-tools/copyright --
# Each package's copyright file is the licence.
bad=0
for pkg in "$lib" libtavoctl-dev tavoctl-tools; do
  cmp -s "$work/root/usr/share/doc/$pkg/copyright" LICENSE || bad=1
done
[ "$bad" -eq 0 ] && ok "deb: each package's copyright is LICENSE (MIT)" ||
  fail "deb: a package's copyright differs from LICENSE"

# Package relations and the library's shlibs / ldconfig trigger.
deb_field() { dpkg-deb -f "$build/packages/$1_${version}_"*.deb "$2"; }
[[ $(deb_field libtavoctl-dev Depends) == *"$lib (= $version)"* ]] &&
  [[ $(deb_field tavoctl-tools Depends) == *"$lib (= $version)"* ]] &&
  ok "deb: -dev and -tools depend on $lib (= $version)" ||
  fail "deb: dependencies: $(deb_field libtavoctl-dev Depends); $(deb_field tavoctl-tools Depends)"
mkdir -p "$work/control"
dpkg-deb -e "$build/packages/${lib}_${version}_"*.deb "$work/control"
if grep -q "^libtavoctl ${version%%.*} $lib (= $version)" "$work/control/shlibs" 2>/dev/null &&
  grep -q ldconfig "$work/control/postinst" 2>/dev/null; then
  ok "deb $lib: shlibs, and ldconfig after install"
else
  fail "deb $lib: no shlibs, or no ldconfig in postinst"
fi

# The unpacked packages are a working tree: a pkg-config consumer and the tool.
pc_sale "pkg-config, unpacked .debs" "$work/root/usr/lib/pkgconfig"
as_needed ".deb" "$work/root/usr"
if "$work/root/usr/bin/tavo" demo >"$work/log.txt" 2>&1 &&
  grep -q "sale balanced" "$work/log.txt"; then
  ok "tavo demo from the unpacked .debs"
else
  fail "tavo demo from the unpacked .debs"
fi

# ---- the library-only preset ---------------------------------------------
# It must not look for GoogleTest or Google Benchmark, and builds no tool.
if run "configure lib" cmake --preset lib; then
  if grep -qE "^(GTest|benchmark)_DIR" "$src/build/lib/CMakeCache.txt"; then
    fail "preset lib: looked for GoogleTest or Google Benchmark"
  fi
  targets=$(cmake --build "$src/build/lib" --target help 2>/dev/null)
  if grep -qw tavoctl <<<"$targets" && grep -qw tavovu <<<"$targets" &&
    ! grep -qwE "tavo|tool_tests|tavoctl_bench" <<<"$targets"; then
    ok "preset lib: the library and providers, no tool, tests or benchmarks"
  else
    fail "preset lib: targets: $(tr '\n' ' ' <<<"$targets")"
  fi
fi

echo "check-install: applications calling only TAVO_ functions, --as-needed:"
printf '  %s\n' "${matrix[@]}"
echo "check-install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
