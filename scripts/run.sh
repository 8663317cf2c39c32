#!/usr/bin/env bash
# Builds and installs velqor, then runs the example circuit (a Bell pair; its
# figure, when matplotlib is installed, goes to build/figures/).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/system-deps.sh
system_deps
python3 -m pip install -q .
python3 examples/bell.py --out build/figures
