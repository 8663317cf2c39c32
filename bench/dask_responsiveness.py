"""A Dask worker that simulates a large circuit stays responsive.

    python bench/dask_responsiveness.py [--qubits 26] [--rounds 2]

Starts a LocalCluster with one worker process (one Dask thread), submits a
task that runs the random 200-gate circuit of the whole-circuit benchmark at
the given size and reads it with measure_all(), and while it runs, measures
from the client: the round trip of client.run (a no-op on the worker), and the
age of the worker's last heartbeat as the scheduler sees it. The cluster's
logs go to standard error as Dask writes them: a worker whose event loop was
held up for a second or more logs "Event loop was unresponsive in Worker". Needs dask and
distributed; the module imported is the installed one, or the build in
VELQOR_BUILD_DIR. Numbers go to standard output; nothing here is a test.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def circuit_task(qubits: int, build: str | None) -> tuple[int, float]:
    """Runs in the worker: the circuit, read with measure_all; returns the
    outcome and the task's own time."""
    sys.path[:0] = [str(HERE)] + ([build] if build else [])
    import velqor
    from comparison.gates import CIRCUIT_SEED, op_matrix, random_circuit

    start = time.perf_counter()
    gates = {}
    reg = velqor.Register(qubits)
    for op in random_circuit(qubits, 200, CIRCUIT_SEED):
        key = op_matrix(op)
        if key not in gates:
            gates[key] = velqor.QGate(key)
        reg.apply_gate(gates[key], [op.target], list(op.controls))
    outcome = reg.measure_all()
    return outcome, time.perf_counter() - start


def heartbeat_age(dask_scheduler) -> float:
    return max(time.time() - ws.last_seen for ws in dask_scheduler.workers.values())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=26)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    build = os.environ.get("VELQOR_BUILD_DIR")
    build = os.path.abspath(build) if build else None

    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=False) as cluster, \
            Client(cluster) as client:
        client.run(lambda: None)  # the worker is up
        for _ in range(args.rounds):
            future = client.submit(circuit_task, args.qubits, build, pure=False)
            trips, ages = [], []
            while not future.done():
                start = time.perf_counter()
                client.run(lambda: None)
                trips.append(time.perf_counter() - start)
                ages.append(client.run_on_scheduler(heartbeat_age))
                time.sleep(0.05)
            outcome, seconds = future.result()
            print(f"n={args.qubits}: task {seconds:.2f} s; client.run round trip max {max(trips, default=0) * 1e3:.0f} ms "
                  f"over {len(trips)} calls; heartbeat age max {max(ages, default=0):.2f} s")


if __name__ == "__main__":
    main()
