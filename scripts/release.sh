#!/usr/bin/env bash
# Builds the release artefacts of velqor and checks them.
#
#   bash scripts/release.sh          sdist and wheel (the wheel built from the
#                                    sdist alone), twine check, auditwheel
#                                    repair into a manylinux wheel, and the
#                                    Python test suite against that wheel in a
#                                    fresh venv. Artefacts: build/release/wheelhouse/
#   bash scripts/release.sh --quick  wheel from the work tree (incremental),
#                                    installed into build/tools-venv, imported,
#                                    and its stubs checked against the module
#                                    with mypy's stubtest.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-full}
source scripts/system-deps.sh
system_deps ninja
source scripts/tools-env.sh
out="$PWD/build/release"
mkdir -p "$out"

# Imports the module from an installed wheel (never from the work tree), checks
# that it carries no debug info but keeps its symbol table.
check_installed() {
  local python=$1
  (cd / && "$python" - <<'PY'
import importlib.util, pathlib, subprocess, velqor
so = pathlib.Path(velqor.__file__)
sections = subprocess.run(["readelf", "-S", "-W", str(so)], capture_output=True, text=True, check=True).stdout
assert ".symtab" in sections, "symbol table missing"
assert ".debug_info" not in sections, "debug info left in the module"
for name in ("velqor", "velqor-stubs"):
    assert importlib.util.find_spec(name) is not None, f"{name} not installed"
reg = velqor.Register(2)
reg.apply_gate(velqor.QGate([[0, 1], [1, 0]]), [1], [])
assert reg.probabilities() == [0.0, 0.0, 1.0, 0.0]
print(f"imported {so} ({so.stat().st_size} bytes, symbol table kept, no debug info)")
PY
  )
}

if [ "$mode" = "--quick" ]; then
  echo "-- wheel from the work tree"
  rm -rf "$out/quick"
  "$TOOLS_PY" -m build --wheel --no-isolation -o "$out/quick" -C build-dir="$out/cmake" >"$out/quick.log" 2>&1 \
    || { cat "$out/quick.log"; exit 1; }
  "$TOOLS_PY" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$out"/quick/velqor-*.whl
  check_installed "$TOOLS_PY"
  echo "-- stubtest"
  (cd "$out" && "$TOOLS_PY" -m mypy.stubtest velqor)
  exit 0
fi
[ "$mode" = full ] || { echo "usage: $0 [--quick]" >&2; exit 2; }

echo "-- sdist, then the wheel from the sdist"
rm -rf "$out/dist" "$out/wheelhouse" "$out/venv"
"$TOOLS_PY" -m build -o "$out/dist" . >"$out/build.log" 2>&1 || { cat "$out/build.log"; exit 1; }
ls -l "$out"/dist
echo "-- twine check"
"$TOOLS_PY" -m twine check --strict "$out"/dist/*
echo "-- auditwheel repair"
PATH="$TOOLS_BIN:$PATH" "$TOOLS_BIN/auditwheel" repair -w "$out/wheelhouse" "$out"/dist/velqor-*.whl
wheel=$(ls "$out"/wheelhouse/velqor-*manylinux*.whl)
PATH="$TOOLS_BIN:$PATH" "$TOOLS_BIN/auditwheel" show "$wheel"
echo "-- the Python test suite against $(basename "$wheel") in a fresh venv"
python3 -m venv "$out/venv"
"$out/venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" pytest
check_installed "$out/venv/bin/python"
(cd tests/python && "$out/venv/bin/python" -X dev -m pytest -q -p no:cacheprovider .)
