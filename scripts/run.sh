#!/usr/bin/env bash
# Builds velqor into the virtual environment build/venv and runs the example
# circuit (a Bell pair; its figure, when matplotlib is installed, goes to
# build/figures/). PYTHON picks the interpreter (see python-env.sh). The build
# folder build/run/VERSION is kept, so a rerun compiles only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/system-deps.sh
system_deps
source scripts/python-env.sh
venv_create build/venv
venv_install build/venv scripts/build-requirements.txt
build_dir="build/run/$PYTHON_VERSION"
# A folder configured for another interpreter of the same version (or one
# whose build never finished) starts anew.
if ! cmp -s <(echo "$PYTHON_EXE") "$build_dir/made-from" 2>/dev/null; then
  rm -rf "$build_dir"
  echo "-- building and installing velqor into build/venv (about a minute on 2 cores the first time)"
else
  echo "-- building (what changed only) and installing velqor into build/venv"
fi
mkdir -p "$build_dir"
build/venv/bin/python -m pip install --no-deps --force-reinstall --no-build-isolation --config-settings build-dir="$build_dir" . \
  | { grep -vE '^\s+(Stored in directory|Created wheel for)' || true; }
echo "$PYTHON_EXE" >"$build_dir/made-from"
build/venv/bin/python examples/bell.py --out build/figures
