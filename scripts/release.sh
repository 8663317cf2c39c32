#!/usr/bin/env bash
# Builds the release artefacts of velqor and checks them: one wheel for every
# supported CPython (3.11 to 3.15, scripts/pythons.sh) whose interpreter this
# machine has or can make, and says which versions it could not obtain.
#
#   bash scripts/release.sh          the sdist; from the unpacked sdist alone a
#                                    wheel per version, twine check, auditwheel
#                                    repair into a manylinux_2_28 (or older)
#                                    wheel, and the Python test suite against
#                                    each wheel in a fresh venv of its own
#                                    interpreter.
#                                    Artefacts: build/release/wheelhouse/
#   bash scripts/release.sh --quick  a wheel per version from the work tree
#                                    (incremental, build/release/cmake-quick-*),
#                                    its platform checked as above; the one for
#                                    PYTHON's version installed into
#                                    build/tools-venv, imported, and its stubs
#                                    checked against the module with mypy's
#                                    stubtest. Wheels: build/release/quick/
#
# Every wheel is built on this machine with its compiler, by scikit-build-core
# from build/tools-venv, against the headers of its version's interpreter
# (VELQOR_PYTHON_HEADERS, VELQOR_PYTHON_SOABI) and tagged for that version:
# one toolchain, one set of flags, and the same glibc 2.28 links for all of
# them. Each is built with VELQOR_PORTABLE=ON (libstdc++ linked in, glibc 2.28
# symbols); either mode fails when auditwheel finds a wheel needs a newer
# platform than manylinux_2_28. The C++ objects of the core, the same for
# every version, are compiled once and reused through ccache (build/ccache).
# PYTHON picks the interpreter of the tools (see python-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-full}
[ "$mode" = full ] || [ "$mode" = --quick ] || { echo "usage: $0 [--quick]" >&2; exit 2; }
source scripts/system-deps.sh
system_deps ninja ccache
source scripts/python-env.sh
source scripts/tools-env.sh
python_versions_check
out="$PWD/build/release"
mkdir -p "$out"
# The newest platform the wheels may need: glibc 2.28 (RHEL 8 and its rebuilds,
# Debian 10, Ubuntu 20.04).
newest_glibc_minor=28
# The legs: every supported version on this machine's architecture.
legs=()
for version in "${PYTHON_VERSIONS[@]}"; do legs+=("$version $(uname -m)"); done
export CCACHE_DIR="$PWD/build/ccache" CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=2G
launcher=()
command -v ccache >/dev/null && launcher=(-C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)

# Builds the wheel of the leg last obtained from the source tree SOURCE into
# the folder WHEELS, in the build folder BUILD_DIR; its log goes to LOG.
build_wheel() {
  local source=$1 wheels=$2 build_dir=$3 log=$4
  "$TOOLS_PY" -m build --wheel --no-isolation -o "$wheels" -C build-dir="$build_dir" "${launcher[@]}" \
    -C cmake.define.VELQOR_PORTABLE=ON -C cmake.define.VELQOR_PYTHON_HEADERS="$LEG_HEADERS" \
    -C cmake.define.VELQOR_PYTHON_SOABI="$LEG_SOABI" -C wheel.tags="$LEG_WHEEL_TAG" "$source" >"$log" 2>&1 \
    || { cat "$log"; return 1; }
  ls "$wheels"/velqor-*-"$LEG_WHEEL_TAG".whl
}

# Imports the module from an installed wheel (never from the work tree) with
# PYTHON, the leg's interpreter of an environment it is installed in.
check_installed() {
  local python=$1
  (cd / && leg_exec "$python" - <<'PY'
import importlib.util, pathlib, velqor
so = pathlib.Path(velqor.__file__)
for name in ("velqor", "velqor-stubs"):
    assert importlib.util.find_spec(name) is not None, f"{name} not installed"
reg = velqor.Register(2)
reg.apply_gate(velqor.QGate([[0, 1], [1, 0]]), [1], [])
assert reg.probabilities() == [0.0, 0.0, 1.0, 0.0]
print(f"imported {so} ({so.stat().st_size} bytes)")
PY
  )
}

# Fails unless the wheel WHEEL runs on manylinux_2_28: auditwheel's verdict on
# its symbol versions and libraries, then the module's own links (no shared
# libstdc++, nothing exported but PyInit_velqor) and sections (no debug info,
# the symbol table kept for the backtraces).
check_platform() {
  local wheel=$1 report tag
  # (less its logger's note of the C library it looked for)
  report=$(PATH="$TOOLS_BIN:$PATH" "$TOOLS_BIN/auditwheel" show "$wheel" 2>&1 | grep -v '^INFO:auditwheel')
  echo "$report"
  tag=$(grep -oE "platform tag: \"manylinux_2_[0-9]+_$LEG_ARCH\"" <<<"$report" | grep -oE 'manylinux_2_[0-9]+' || true)
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
  local sections
  sections=$(readelf -S -W "${so[0]}")
  grep -q '\.symtab' <<<"$sections" || { echo "release.sh: the module's symbol table is missing" >&2; return 1; }
  if grep -q '\.debug_info' <<<"$sections"; then
    echo "release.sh: debug info left in the module" >&2
    return 1
  fi
  rm -rf "$unpacked"
  echo "$tag: libstdc++ inside the module, PyInit_velqor its only export, symbol table kept, no debug info"
}


# Where the legs stand: one line each, printed at the end.
report=()
trap 'printf "%s\n" "" "== Release wheels" "${report[@]}"' EXIT
built=0

if [ "$mode" = --quick ]; then
  rm -rf "$out/quick"
  for leg in "${legs[@]}"; do
    if ! leg_obtain $leg; then
      report+=("   $leg: not obtained ($LEG_MISSING)")
      continue
    fi
    echo "-- $LEG_VERSION $LEG_ARCH ($LEG_FROM): wheel from the work tree (log: build/release/quick-$LEG_VERSION.log)"
    wheel=$(build_wheel . "$out/quick" "$out/cmake-quick-$LEG_VERSION-$LEG_ARCH" "$out/quick-$LEG_VERSION.log")
    tag=$(check_platform "$wheel" | tail -1)
    echo "   $tag"
    report+=("   $leg: $(basename "$wheel"), ${tag%%:*} by auditwheel")
    built=$((built + 1))
    if [ "$LEG_ARCH" = "$(uname -m)" ] && [ "$LEG_VERSION" = "$PYTHON_VERSION" ]; then
      "$TOOLS_PY" -m pip install -qq --force-reinstall --no-deps "$wheel"
      check_installed "$TOOLS_PY"
      echo "-- stubtest"
      (cd "$out" && "$TOOLS_PY" -m mypy.stubtest velqor)
    fi
  done
  [ "$built" -gt 0 ] || { echo "release.sh: no supported interpreter obtained" >&2; exit 1; }
  exit 0
fi

echo "-- sdist (log: build/release/sdist.log)"
rm -rf "$out/dist" "$out/wheelhouse" "$out/sdist-tree" "$out"/cmake-full-* "$out"/venv-*
"$TOOLS_PY" -m build --sdist -o "$out/dist" . >"$out/sdist.log" 2>&1 || { cat "$out/sdist.log"; exit 1; }
sdist=$(ls "$out"/dist/velqor-*.tar.gz)
mkdir -p "$out/sdist-tree"
tar -xzf "$sdist" -C "$out/sdist-tree"
tree=$(ls -d "$out"/sdist-tree/velqor-*)
for leg in "${legs[@]}"; do
  if ! leg_obtain $leg; then
    report+=("   $leg: not obtained ($LEG_MISSING)")
    continue
  fi
  echo
  echo "-- $LEG_VERSION $LEG_ARCH ($LEG_FROM): wheel from the sdist (a minute or two; log: build/release/build-$LEG_VERSION.log)"
  wheel=$(build_wheel "$tree" "$out/dist" "$out/cmake-full-$LEG_VERSION-$LEG_ARCH" "$out/build-$LEG_VERSION.log")
  echo "-- twine check"
  "$TOOLS_PY" -m twine check --strict "$sdist" "$wheel"
  echo "-- auditwheel repair"
  PATH="$TOOLS_BIN:$PATH" "$TOOLS_BIN/auditwheel" repair -w "$out/wheelhouse" "$wheel" 2>&1 | grep -v '^INFO:'
  repaired=$(ls "$out"/wheelhouse/velqor-*-"${LEG_WHEEL_TAG%-*}"-*manylinux*.whl)
  echo "-- auditwheel show"
  check_platform "$repaired"
  venv="$LEG_REPO/build/release/venv-$LEG_VERSION-$LEG_ARCH"
  echo "-- the Python test suite against $(basename "$repaired") in a fresh venv of $LEG_FROM"
  leg_venv "$venv"
  leg_exec "$venv/bin/python" -m pip install -qq --no-deps "$(leg_path "$repaired")"
  check_installed "$venv/bin/python"
  counts=$(leg_suite "$venv/bin/python" "" "$out/suite-$LEG_VERSION.log") || { cat "$out/suite-$LEG_VERSION.log"; exit 1; }
  report+=("   $leg: $(basename "$repaired"): $counts")
  built=$((built + 1))
done
[ "$built" -gt 0 ] || { echo "release.sh: no supported interpreter obtained" >&2; exit 1; }
# --- aarch64 wheel ---
echo "-- the aarch64 wheel, cross-built (scripts/aarch64.sh --wheel; its suite runs in the test command's aarch64 leg)"
bash scripts/aarch64.sh --wheel
if [ -s build/aarch64/wheel-path ]; then
  report+=("   3.11 aarch64: $(basename "$(cat build/aarch64/wheel-path)"): its suite runs in the test command's aarch64 leg")
else
  report+=("   3.11 aarch64: not built (see the line above)")
fi
