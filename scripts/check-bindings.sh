#!/usr/bin/env bash
# The Python and C# bindings against a Linux build's libtavoctl.so and the
# virtual unit:
#   - bindings/python built into a wheel (python3 -m build, offline, with
#     its table of result codes generated and the licence), installed with
#     pip into a fresh virtual environment, then its pytest suite run from
#     there (Debian's python3-pytest, seen through --system-site-packages),
#     and its type hints read by mypy --strict, through py.typed as an
#     application's check sees them, and in the installed files themselves;
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
  rm -rf "$work" "$src/bindings/python/build" "$src/bindings/python/tavoctl.egg-info" \
    "$src/bindings/python/LICENSE"
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

echo "== Python: the wheel, in a fresh virtual environment"
venv=$work/venv
if "$python" -m build --wheel --no-isolation --outdir "$work/dist" bindings/python \
  >"$work/build.log" 2>&1 &&
  wheel=$(ls "$work/dist"/tavoctl-*-py3-none-any.whl) &&
  "$python" -m venv --system-site-packages "$venv" >"$work/venv.log" 2>&1 &&
  "$venv/bin/python" -m pip install -q --no-index --no-deps "$wheel" \
    >"$work/pip.log" 2>&1; then
  echo "ok   $(basename "$wheel") installed into a virtual environment"
  # The generated table, py.typed and the licence (scripts/check-wheel.py).
  if out=$("$python" scripts/check-wheel.py "$wheel" LICENSE); then
    echo "ok   $out"
  else
    echo "FAIL $out"
    failed=1
  fi
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  echo "== Python: pytest, in the virtual environment"
  # From the scratch folder, so that the installed package is the one tested.
  (cd "$work" && PYTHONDONTWRITEBYTECODE=1 "$venv/bin/python" -m pytest -q \
    -p no:cacheprovider --rootdir "$work" "$src/bindings/python/tests") || failed=1
  example "examples/sale.py" "$venv/bin/python" examples/sale.py
  echo "== Python: mypy --strict"
  # The README's sale sees the package as any application's check does: typed
  # only through its py.typed. The installed files themselves, generated table
  # included, are checked as sources from their folder.
  if "$python" -m mypy --strict --no-incremental --cache-dir /dev/null \
    --python-executable "$venv/bin/python" examples/sale.py &&
    (cd "$site" && "$python" -m mypy --strict --no-incremental \
      --cache-dir /dev/null -p tavoctl); then
    echo "ok   mypy --strict: examples/sale.py and the installed package"
  else
    echo "FAIL mypy --strict"
    failed=1
  fi
else
  echo "FAIL the wheel does not build or install:"
  tail -20 "$work/build.log" "$work/venv.log" "$work/pip.log" 2>/dev/null
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
