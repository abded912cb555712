#!/usr/bin/env bash
# The Python and C# bindings against a Linux build's libtavoctl.so and the
# virtual unit:
#   - bindings/python installed with pip (into a scratch folder, with its
#     table of result codes generated), then its pytest suite, with Debian's
#     python3 and python3-pytest;
#   - bindings/dotnet compiled with Mono's mcs, its table generated from
#     data/result-codes.tsv, and its test program run with mono;
#   - the README's Python and C# sales, examples/sale.py and Sale.cs.
#
# usage: scripts/check-bindings.sh [BUILD_DIR]   (default build/ci)
set -uo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(cd "${1:-build/ci}" && pwd) || exit 1
if [ ! -e "$build/libtavoctl.so.1" ] || [ ! -e "$build/libtavovu.so" ]; then
  echo "check-bindings: $build has no libtavoctl.so.1 and libtavovu.so (build it first)"
  exit 1
fi
export TAVOCTL_LIBDIR=$build
# Debian's interpreter, whose packages (pytest, setuptools) install-deps adds.
python=/usr/bin/python3

work=$(mktemp -d "${TMPDIR:-/tmp}/tavo-bindings.XXXXXX")
cleanup() {
  rm -rf "$work" "$src/bindings/python/build" "$src/bindings/python/tavoctl.egg-info"
}
trap cleanup EXIT
failed=0
# example NAME COMMAND...: the example sells and balances.
example() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1) && [ "$out" = "sold for 1280: paid 1500, change 220" ]; then
    echo "ok   $name: $out"
  else
    echo "FAIL $name: $out"
    failed=1
  fi
}

echo "== Python: pip install bindings/python"
if "$python" -m pip install -q --no-deps --no-build-isolation --no-index \
  --target "$work/site" bindings/python >"$work/pip.log" 2>&1 &&
  [ -f "$work/site/tavoctl/_codes.py" ]; then
  echo "== Python: pytest"
  # From the scratch folder, so that the installed package is the one tested.
  (cd "$work" && PYTHONPATH=$work/site PYTHONDONTWRITEBYTECODE=1 \
    "$python" -m pytest -q -p no:cacheprovider --rootdir "$work" \
    "$src/bindings/python/tests") || failed=1
  example "examples/sale.py" env PYTHONPATH="$work/site" "$python" examples/sale.py
else
  echo "FAIL pip install (or no generated _codes.py):"
  tail -20 "$work/pip.log"
  failed=1
fi

echo "== C#: mcs, mono"
cs=$work/dotnet
mkdir -p "$cs"
if "$python" data/result_codes.py data/result-codes.tsv --csharp "$cs/ResultCodes.cs" &&
  mcs -nologo -warnaserror -target:library -out:"$cs/Tavoctl.dll" \
    bindings/dotnet/Tavoctl.cs "$cs/ResultCodes.cs" &&
  cp bindings/dotnet/Tavoctl.dll.config "$cs/" &&
  mcs -nologo -warnaserror -out:"$cs/SaleTest.exe" -r:"$cs/Tavoctl.dll" \
    bindings/dotnet/tests/SaleTest.cs; then
  mono "$cs/SaleTest.exe" || failed=1
  if mcs -nologo -warnaserror -out:"$cs/Sale.exe" -r:"$cs/Tavoctl.dll" examples/Sale.cs; then
    example "examples/Sale.cs" mono "$cs/Sale.exe"
  else
    failed=1
  fi
else
  echo "FAIL the C# binding does not compile"
  failed=1
fi

exit "$failed"
