#!/usr/bin/env bash
# Builds the release artefacts of velqor and checks them.
#
#   bash scripts/release.sh          sdist and wheel (the wheel built from the
#                                    sdist alone), twine check, auditwheel
#                                    repair into a manylinux_2_28 (or older)
#                                    wheel, and the Python test suite against
#                                    that wheel in a fresh venv.
#                                    Artefacts: build/release/wheelhouse/
#   bash scripts/release.sh --quick  wheel from the work tree (incremental),
#                                    its platform checked as above, installed
#                                    into build/tools-venv, imported, and its
#                                    stubs checked against the module with
#                                    mypy's stubtest.
#
# Both build the module with VELQOR_PORTABLE=ON (libstdc++ linked in, glibc
# 2.28 symbols); either fails when auditwheel finds the wheel needs a newer
# platform than manylinux_2_28. PYTHON picks the interpreter (see python-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-full}
source scripts/system-deps.sh
system_deps ninja
source scripts/python-env.sh
source scripts/tools-env.sh
out="$PWD/build/release"
mkdir -p "$out"
portable=(-C cmake.define.VELQOR_PORTABLE=ON)
# The newest platform the wheels may need: glibc 2.28 (RHEL 8 and its rebuilds,
# Debian 10, Ubuntu 20.04).
newest_glibc_minor=28

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

# Fails unless the wheel WHEEL runs on manylinux_2_28: auditwheel's verdict on
# its symbol versions and libraries, then the module's own links (no shared
# libstdc++, nothing exported but PyInit_velqor).
check_platform() {
  local wheel=$1 report tag
  # (less its logger's note of the C library it looked for)
  report=$(PATH="$TOOLS_BIN:$PATH" "$TOOLS_BIN/auditwheel" show "$wheel" 2>&1 | grep -v '^INFO:auditwheel')
  echo "$report"
  tag=$(grep -oE 'platform tag: "manylinux_2_[0-9]+_(x86_64|aarch64)"' <<<"$report" | grep -oE 'manylinux_2_[0-9]+' || true)
  if [ -z "$tag" ] || [ "${tag#manylinux_2_}" -gt "$newest_glibc_minor" ]; then
    echo "release.sh: $(basename "$wheel") needs ${tag:-a platform newer than manylinux}, not manylinux_2_$newest_glibc_minor or older" >&2
    return 1
  fi
  local unpacked="$out/unpacked"
  rm -rf "$unpacked"
  "$TOOLS_PY" -m zipfile -e "$wheel" "$unpacked"
  local so=("$unpacked"/velqor*.so)
  if readelf -d "${so[0]}" | grep -q 'NEEDED.*libstdc++'; then
    echo "release.sh: the module needs the shared libstdc++" >&2
    return 1
  fi
  local exported
  exported=$(nm -D --defined-only "${so[0]}" | awk '{print $NF}')
  if [ "$exported" != PyInit_velqor ]; then
    echo "release.sh: the module exports more than PyInit_velqor:" $exported >&2
    return 1
  fi
  rm -rf "$unpacked"
  echo "$tag: libstdc++ inside the module, PyInit_velqor its only export"
}

if [ "$mode" = "--quick" ]; then
  echo "-- wheel from the work tree (a minute or two the first time; log: build/release/quick.log)"
  rm -rf "$out/quick"
  "$TOOLS_PY" -m build --wheel --no-isolation -o "$out/quick" -C build-dir="$out/cmake" "${portable[@]}" \
    >"$out/quick.log" 2>&1 || { cat "$out/quick.log"; exit 1; }
  wheel=$(ls "$out"/quick/velqor-*.whl)
  echo "-- auditwheel show"
  check_platform "$wheel"
  "$TOOLS_PY" -m pip install -qq --force-reinstall --no-deps "$wheel"
  check_installed "$TOOLS_PY"
  echo "-- stubtest"
  (cd "$out" && "$TOOLS_PY" -m mypy.stubtest velqor)
  exit 0
fi
[ "$mode" = full ] || { echo "usage: $0 [--quick]" >&2; exit 2; }

echo "-- sdist, then the wheel from the sdist (a few minutes; log: build/release/build.log)"
rm -rf "$out/dist" "$out/wheelhouse" "$out/venv"
"$TOOLS_PY" -m build -o "$out/dist" "${portable[@]}" . >"$out/build.log" 2>&1 || { cat "$out/build.log"; exit 1; }
ls -l "$out"/dist
echo "-- twine check"
"$TOOLS_PY" -m twine check --strict "$out"/dist/*
echo "-- auditwheel repair"
PATH="$TOOLS_BIN:$PATH" "$TOOLS_BIN/auditwheel" repair -w "$out/wheelhouse" "$out"/dist/velqor-*.whl
wheel=$(ls "$out"/wheelhouse/velqor-*manylinux*.whl)
echo "-- auditwheel show"
check_platform "$wheel"
echo "-- the Python test suite against $(basename "$wheel") in a fresh venv"
venv_create "$out/venv"
"$out/venv/bin/python" -m pip install -qq "$wheel" pytest
check_installed "$out/venv/bin/python"
(cd tests/python && "$out/venv/bin/python" -X dev -m pytest -q -p no:cacheprovider .)
# --- aarch64 wheel ---
echo "-- the aarch64 wheel, cross-built (scripts/aarch64.sh --wheel; its suite runs in the test command's aarch64 leg)"
bash scripts/aarch64.sh --wheel
