#!/usr/bin/env bash
# Times velqor against Qulacs, Qiskit Aer, qsim and a NumPy reference.
#
#   bash bench/compare.sh [--quick] [--qubits 4,8,12] [--circuit-qubits 16,20] [--plot PATH] ...
#
# Creates (or reuses) the virtual environment build/bench-venv, installs the
# contenders, matplotlib and velqor built from this working tree into it, and
# runs bench/compare.py with the arguments given here. velqor is built twice:
# as configured (into the venv) and gate by gate, with -DVELQOR_DEFERRED=OFF
# (into build/bench-venv/velqor-gate-by-gate, imported only by the process that
# times it). The contenders live only in that environment: velqor itself never
# depends on them. A contender that cannot be installed is reported as "not
# installed" in the tables.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="$root/build/bench-venv"
py="$venv/bin/python"
pip=("$py" -m pip install -q --disable-pip-version-check)

if [ ! -x "$py" ]; then
  python3 -m venv "$venv"
fi

# The harness itself needs NumPy, matplotlib and threadpoolctl.
"$py" -c 'import numpy, matplotlib, threadpoolctl' 2>/dev/null \
  || "${pip[@]}" numpy matplotlib threadpoolctl

# Contenders: installed once; a failure leaves that contender out.
"$py" -c 'import qulacs' 2>/dev/null \
  || "${pip[@]}" qulacs \
  || echo "compare.sh: qulacs could not be installed; it is reported as not installed" >&2
"$py" -c 'import qiskit, qiskit_aer' 2>/dev/null \
  || "${pip[@]}" qiskit qiskit-aer \
  || echo "compare.sh: qiskit / qiskit-aer could not be installed; Aer is reported as not installed" >&2
"$py" -c 'import qsimcirq' 2>/dev/null \
  || "${pip[@]}" qsimcirq \
  || echo "compare.sh: qsimcirq could not be installed; qsim is reported as not installed" >&2

# velqor from the working tree, rebuilt on every run (incrementally: the CMake
# build folders are kept inside the venv); at most two compile jobs.
export CMAKE_BUILD_PARALLEL_LEVEL=2
"${pip[@]}" --force-reinstall --no-deps --config-settings build-dir="$venv/velqor-build" "$root"
gate_by_gate="$venv/velqor-gate-by-gate"
"${pip[@]}" --force-reinstall --no-deps --upgrade --target "$gate_by_gate" \
  --config-settings build-dir="$venv/velqor-build-gate-by-gate" --config-settings cmake.define.VELQOR_DEFERRED=OFF "$root"

exec "$py" "$root/bench/compare.py" --gate-by-gate "$gate_by_gate" "$@"
