#!/usr/bin/env bash
# Builds and installs velqor, then runs the example circuit (a Bell pair; its
# figure, when matplotlib is installed, goes to build/figures/).
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq "${missing[@]}"
fi
python3 -m pip install -q .
python3 examples/bell.py --out build/figures
