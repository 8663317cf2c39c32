#!/usr/bin/env bash
# Throughput of a parameter sweep on a Dask LocalCluster: one worker process
# with a pool of two threads, against two worker processes with one pool
# thread each (and two reference settings). Needs the tools environment that
# the test command creates (build/tools-venv, with velqor installed in it).
#
#   bash bench/dask_sweep.sh [rounds]
#
# Prints one line per run with the machine's 1-minute load average first: on a
# machine shared with other work, compare only runs made under similar load.
set -euo pipefail
cd "$(dirname "$0")/.."
py=build/tools-venv/bin/python
rounds=${1:-3}
configs=(
  "--workers 1 --threads-per-worker 1 --pool-threads 2"
  "--workers 2 --threads-per-worker 1 --pool-threads 1"
  "--workers 1 --threads-per-worker 2 --pool-threads 1"
  "--workers 2 --threads-per-worker 1 --pool-threads 0"
)
sizes=(
  "--qubits 20 --layers 2 --points 16"
  "--qubits 16 --layers 4 --points 48"
)
for _ in $(seq "$rounds"); do
  for size in "${sizes[@]}"; do
    for config in "${configs[@]}"; do
      # shellcheck disable=SC2086
      line=$("$py" examples/dask_sweep.py $size $config --repeat 3 --no-plot 2>/dev/null | tail -1)
      echo "load $(cut -d' ' -f1 /proc/loadavg)  $line"
    done
  done
done
