#!/usr/bin/env bash
# Builds velqor into the virtual environment build/venv and runs the example
# circuit (a Bell pair; its figure, when matplotlib is installed, goes to
# build/figures/). PYTHON picks the interpreter (see python-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/system-deps.sh
system_deps
source scripts/python-env.sh
venv_create build/venv
echo "-- building and installing velqor into build/venv (about a minute on 2 cores)"
build/venv/bin/python -m pip install --no-deps --force-reinstall . \
  | { grep -vE '^\s+(Stored in directory|Created wheel for)' || true; }
build/venv/bin/python examples/bell.py --out build/figures
