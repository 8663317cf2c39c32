"""How well the rest of a Python program runs while velqor works.

    python bench/responsiveness.py [--qubits 24,26] [--small 14] [--rounds 3]

Two measurements, each with the random 200-gate circuit of the whole-circuit
benchmark (bench/comparison/gates.py) run by the main thread and read with
measure_all(), which runs every queued gate:

- ticker: a thread sleeps 10 ms at a time and records how much later than
  asked it woke; the longest delay is how long the program stood still.
- beside: a second thread runs small circuits (200 gates, then measure_all)
  over and over while the main thread runs the large one; reported are that
  thread's longest wait between two of its circuits, and the time both took
  together against the time each takes alone, one after the other.

The module imported is the installed one, or the build in VELQOR_BUILD_DIR.
Numbers go to standard output; nothing here is a test.
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
if os.environ.get("VELQOR_BUILD_DIR"):
    sys.path.insert(0, os.path.abspath(os.environ["VELQOR_BUILD_DIR"]))

import velqor  # noqa: E402
from comparison.gates import CIRCUIT_SEED, op_matrix, random_circuit  # noqa: E402

GATES = 200
TICK = 0.010


def plan(qubits: int):
    """The circuit as (gate, targets, controls) calls, gates built once."""
    gates = {}
    calls = []
    for op in random_circuit(qubits, GATES, CIRCUIT_SEED):
        key = op_matrix(op)
        if key not in gates:
            gates[key] = velqor.QGate(key)
        calls.append((gates[key], [op.target], list(op.controls)))
    return calls


def run_circuit(qubits: int, calls) -> None:
    reg = velqor.Register(qubits)
    for gate, targets, controls in calls:
        reg.apply_gate(gate, targets, controls)
    reg.measure_all()


def ticker_stall(qubits: int) -> tuple[float, float]:
    """Longest lateness of a 10 ms sleeper while the circuit runs, and the
    circuit's time (both in seconds)."""
    calls = plan(qubits)
    done = threading.Event()
    worst = [0.0]

    def tick():
        while not done.is_set():
            start = time.perf_counter()
            time.sleep(TICK)
            worst[0] = max(worst[0], time.perf_counter() - start - TICK)

    thread = threading.Thread(target=tick)
    thread.start()
    time.sleep(5 * TICK)  # the ticker is running before the circuit starts
    start = time.perf_counter()
    run_circuit(qubits, calls)
    elapsed = time.perf_counter() - start
    done.set()
    thread.join()
    return worst[0], elapsed


def beside(qubits: int, small: int) -> dict[str, float]:
    """A thread of small circuits beside the large circuit in the main thread."""
    big, little = plan(qubits), plan(small)
    done = threading.Event()
    ends: list[float] = []

    def small_loop():
        ends.append(time.perf_counter())
        while not done.is_set():
            run_circuit(small, little)
            ends.append(time.perf_counter())

    thread = threading.Thread(target=small_loop)
    start = time.perf_counter()
    thread.start()
    run_circuit(qubits, big)
    done.set()
    thread.join()
    together = time.perf_counter() - start
    circuits = len(ends) - 1
    longest = max((b - a for a, b in zip(ends, ends[1:])), default=together)

    # The same work one after the other.
    start = time.perf_counter()
    run_circuit(qubits, big)
    big_alone = time.perf_counter() - start
    start = time.perf_counter()
    for _ in range(circuits):
        run_circuit(small, little)
    small_alone = time.perf_counter() - start
    return {"longest_wait": longest, "circuits": circuits, "together": together,
            "one_after_other": big_alone + small_alone}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", default="24,26", help="large circuit sizes (comma-separated)")
    parser.add_argument("--small", type=int, default=14, help="size of the small circuits")
    parser.add_argument("--rounds", type=int, default=3, help="repetitions of each measurement")
    args = parser.parse_args()
    sizes = [int(q) for q in args.qubits.split(",")]
    print(f"velqor from {Path(velqor.__file__).parent}; {os.cpu_count()} processors; "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}")
    for qubits in sizes:
        for _ in range(args.rounds):
            stall, elapsed = ticker_stall(qubits)
            print(f"ticker  n={qubits}: longest stall {stall * 1e3:8.1f} ms  (circuit {elapsed:.2f} s)")
    for qubits in sizes:
        for _ in range(args.rounds):
            r = beside(qubits, args.small)
            print(f"beside  n={qubits} + n={args.small}: longest wait {r['longest_wait'] * 1e3:8.1f} ms, "
                  f"{r['circuits']} small circuits; together {r['together']:.2f} s, "
                  f"one after the other {r['one_after_other']:.2f} s")


if __name__ == "__main__":
    main()
