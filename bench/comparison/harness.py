"""Timing: policies, best-of sampling, the per-operation cells, whole
circuits, and the worker processes that time one contender each.

Every timed sample includes the work it names. velqor may queue gates until
the state is next read, so its gate passes end with `measure_all()` inside the
sample, as Aer's end with `flush()` (AerState queues gate calls too); Qulacs
and NumPy run each gate when called. Setup steps that apply gates outside a
sample (the passes before the measurement cells) use the same passes, so they
leave nothing queued for the next sample. A whole circuit is timed up to and
including a one-shot read of its final state, for every contender."""

from __future__ import annotations

import gc
import json
import math
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from .agreement import Disagreement, check_circuit_probabilities
from .contenders import NOT_AVAILABLE, NOT_INSTALLED, PROBE, SKIPPED, VELQOR, Unavailable

SHOTS = 1000
ENTRY = Path(__file__).resolve().parent.parent / "compare.py"

# Rows of the per-qubit-count tables: key, title, what one "operation" is.
OPERATIONS = (
    ("h", "Single-qubit gate H", "time per gate; H applied on each qubit in turn"),
    ("cx", "Controlled X (one control)", "time per gate; target t, control t+1 (mod n), every t in turn"),
    ("ccx", "X with two controls", "time per gate; target t, controls t+1 and t+2 (mod n), every t in turn"),
    ("probs", "probabilities() as a Python list", "time per call, result is a list of 2^n floats"),
    ("measure", "measure(t) with collapse", "time per measurement; each qubit in turn, starting from a uniform superposition"),
    ("sample1", f"measure_all(): one shot per call, {SHOTS} calls", "time per call, on an unchanged state"),
    ("sampleN", f"Batch of {SHOTS} shots", "time per shot"),
)
GATE_OPS = ("h", "cx", "ccx")


def pin_threads(threads: int) -> dict[str, str]:
    """Every contender gets the same thread count; must run before the imports."""
    pinned = {name: str(threads) for name in
              ("OMP_NUM_THREADS", "RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")}
    os.environ.update(pinned)
    return pinned


@dataclass
class Policy:
    min_samples: int
    max_samples: int
    budget: float            # stop sampling once this much time was spent (after min_samples)
    shot_budget: float       # most time spent on one run of SHOTS single-shot calls
    cell_limit: float        # skip a cell whose estimate exceeds this


def policy_for(n: int, quick: bool, cell_limit: float | None) -> Policy:
    if quick:
        return Policy(1, 3, 0.05, 0.5, cell_limit or 5.0)
    limit = cell_limit or 60.0
    if n <= 16:
        # A sample here lasts well under a millisecond for the fast contenders,
        # so a short scheduling hiccup on a shared machine spoils a whole
        # sample: take up to 400 of them, still within 0.4 s per cell.
        return Policy(3, 400, 0.4, 3.0, limit)
    if n <= 22:
        return Policy(3, 7, 1.0, 3.0, limit)
    if n <= 24:
        return Policy(2, 3, 0.0, 3.0, limit)
    return Policy(1, 1, 0.0, 3.0, limit)


@dataclass
class Timing:
    per_op: float            # best sample, seconds per operation
    samples: int
    ops: int                 # operations in one sample
    note: str = ""


def best_of(run, policy: Policy, setup=None) -> Timing:
    """Best per-operation time over repeated samples; `run` returns its operation
    count; `setup`, untimed, runs before every sample."""
    per_op, samples, ops = math.inf, 0, 0
    start = time.perf_counter()
    while samples < policy.max_samples:
        if setup is not None:
            setup()
        t0 = time.perf_counter()
        ops = run()
        elapsed = time.perf_counter() - t0
        per_op = min(per_op, elapsed / ops)
        samples += 1
        if samples >= policy.min_samples and time.perf_counter() - start >= policy.budget:
            break
    return Timing(per_op, samples, ops)


@dataclass
class Results:
    cells: dict = field(default_factory=dict)      # (op, n, name) -> Timing | marker
    circuit: dict = field(default_factory=dict)    # (case key, column) -> Timing (whole circuit) | marker
    notes: list = field(default_factory=list)

    sink: object = None                            # worker: writes each value as it is known

    def put(self, op, n, name, value):
        self.cells[(op, n, name)] = value
        self._emit({"cell": [op, n, name, encode(value)]})

    def put_circuit(self, case, column, value):
        self.circuit[(case, column)] = value
        self._emit({"circuit": [case, column, encode(value)]})

    def note(self, text):
        self.notes.append(text)
        self._emit({"note": text})

    def _emit(self, record):
        if self.sink is not None:
            self.sink.write(json.dumps(record) + "\n")
            self.sink.flush()

    def take(self, line: str) -> None:
        """Parent side: one line of a worker's output."""
        record = json.loads(line)
        if "cell" in record:
            op, n, name, value = record["cell"]
            self.cells[(op, n, name)] = decode(value)
        elif "circuit" in record:
            case, column, value = record["circuit"]
            self.circuit[(case, column)] = decode(value)
        elif "note" in record:
            self.notes.append(record["note"])
        elif "disagreement" in record:
            raise Disagreement(record["disagreement"])

    def get(self, op, n, name):
        return self.cells.get((op, n, name), NOT_AVAILABLE)


def encode(value):
    if isinstance(value, Timing):
        return {"per_op": value.per_op, "samples": value.samples, "ops": value.ops, "note": value.note}
    return value


def decode(value):
    return Timing(**value) if isinstance(value, dict) else value


def estimate(results: Results, op, n, name, ops_per_sample, policy: Policy) -> float:
    """Seconds a cell would take, scaled from the largest smaller size already timed."""
    smaller = [(m, v) for (o, m, nm), v in results.cells.items()
               if o == op and nm == name and m < n and isinstance(v, Timing)]
    if not smaller:
        return 0.0
    m, timing = max(smaller)
    return timing.per_op * (2 ** (n - m)) * ops_per_sample * policy.min_samples


def time_contender(sim, n, policy: Policy, results: Results, log) -> None:
    name = sim.name
    try:
        session = sim.open(n)
    except MemoryError:
        for op, _, _ in OPERATIONS:
            results.put(op, n, name, "out of memory")
        return

    def cell(op, ops_per_sample, work):
        est = estimate(results, op, n, name, ops_per_sample, policy)
        if est > policy.cell_limit:
            results.put(op, n, name, SKIPPED)
            results.note(f"{name}, {op}, n={n}: skipped, estimated {est:.0f} s > {policy.cell_limit:g} s per cell")
            return None
        try:
            timing = work()
        except Unavailable:
            results.put(op, n, name, NOT_AVAILABLE)
            return None
        results.put(op, n, name, timing)
        return timing

    try:
        # Gates run first on |0...0>; after an odd number of H passes the state
        # is a uniform superposition, which CX and CCX only permute.
        h_passes = 0

        def h_work():
            nonlocal h_passes
            t = best_of(session.h_pass, policy)
            h_passes += t.samples
            return t
        cell("h", n, h_work)
        if h_passes % 2 == 0:
            session.h_pass()
        cell("cx", n, lambda: best_of(session.cx_pass, policy))
        cell("ccx", n, lambda: best_of(session.ccx_pass, policy))

        def probs_work():
            def run():
                session.probabilities()
                return 1
            return best_of(run, policy)
        cell("probs", 1, probs_work)        # one call per sample
        gc.collect()

        def sample_work():
            calls_done = []

            def run():
                deadline = time.perf_counter() + policy.shot_budget
                one = session.sample_one
                calls = 0
                while calls < SHOTS:
                    one()
                    calls += 1
                    if calls >= 3 and time.perf_counter() > deadline:
                        break
                calls_done.append(calls)
                return calls
            t = best_of(run, policy, setup=session.touch)
            t.ops = min(calls_done)
            if t.ops < SHOTS:
                t.note = f"{t.ops} calls"
            return t
        cell("sample1", 3, sample_work)      # at least 3 calls; the rest fit the shot budget

        def batch_work():
            def run():
                session.sample_batch(SHOTS)
                return SHOTS
            return best_of(run, policy)
        cell("sampleN", SHOTS, batch_work)

        # Measurement last: it collapses the state, so later samples start
        # again from an untimed H pass.
        fresh = [True]

        def prepare():
            if not fresh[0]:
                session.h_pass()
            fresh[0] = False
        cell("measure", n, lambda: best_of(session.measure_pass, policy, setup=prepare))
    except MemoryError:
        results.note(f"{name}, n={n}: ran out of memory part way")
    finally:
        session.close()
        gc.collect()


def time_probe(n, threads, policy: Policy, results: Results, np) -> None:
    """One read and one write of 2^n complex doubles, on one thread and on
    `threads` threads (NumPy releases the interpreter lock in the multiply);
    the better of the two is the floor of one gate pass."""
    from concurrent.futures import ThreadPoolExecutor
    a = np.ones(1 << n, dtype=np.complex128)
    chunks = np.array_split(a, threads)

    def single():
        a.__imul__(1.0)
        return 1

    with ThreadPoolExecutor(threads) as pool:
        def threaded():
            list(pool.map(lambda c: c.__imul__(1.0), chunks))
            return 1
        one = best_of(single, policy)
        many = best_of(threaded, policy) if threads > 1 else one
    best = min((one, many), key=lambda t: t.per_op)
    best.note = "1 thread" if best is one else f"{threads} threads"
    for op in GATE_OPS:
        results.put(op, n, PROBE, best)


def time_circuits(sim, cases, policy, reference_dir: Path, results: Results, log, np) -> None:
    """Total time of each circuit, each way the contender offers. Before any
    timing, the final probabilities of one run must match velqor's: the velqor
    worker (timed first) leaves them in `reference_dir`. Every timed sample
    starts from |0...0> and ends with a one-shot read of the final state."""
    for case in cases:
        ops = case.ops()
        reference_path = reference_dir / f"{case.key}.npy"
        for column, build in sim.ways(case.qubits, ops):
            log(f"  circuit {case.key}, {column}")
            setup, run, probs = build()
            setup()
            run()
            got = probs()
            if sim.name == VELQOR and not reference_path.exists():
                np.save(reference_path, got)
            elif not reference_path.exists():
                results.put_circuit(case.key, column, "unchecked: no velqor result")
                continue
            else:
                check_circuit_probabilities(np, column, got, np.load(reference_path), sim.tolerance)
            del got
            gc.collect()
            timing = best_of(run, policy(case.qubits), setup=setup)
            results.put_circuit(case.key, column, Timing(timing.per_op * timing.ops, timing.samples, timing.ops))
            del setup, run, probs
            gc.collect()


@dataclass
class Plan:
    """What every worker times: table sizes, circuits and their settings."""
    threads: int
    quick: bool
    cell_limit: float | None
    qubits: list                # per-operation tables; empty for none
    cases: list                 # circuits
    reference_dir: Path
    gate_by_gate: str | None    # folder of the gate-by-gate build of velqor


def worker(name, plan: Plan, make, columns) -> int:
    """Times one contender (or the memory probe) in this process and writes
    each result to stdout as a JSON line."""
    pin_threads(plan.threads)

    def log(msg):
        print(f"[{name}] {msg}", file=sys.stderr, flush=True)

    results = Results(sink=sys.stdout)
    import numpy as np
    policy = lambda n: policy_for(n, plan.quick, plan.cell_limit)    # noqa: E731
    if name == PROBE:
        for n in plan.qubits:
            log(f"n = {n}")
            time_probe(n, plan.threads, policy(n), results, np)
        return 0
    sim = make(name, plan.threads, plan.gate_by_gate, load=True)
    if not sim.available():
        results.note(f"{name}: {sim.reason}")
        mark_missing(name, plan, columns, results, sim.sessions)
        return 0
    try:
        if sim.sessions:
            for n in plan.qubits:
                log(f"n = {n}")
                time_contender(sim, n, policy(n), results, log)
        time_circuits(sim, plan.cases, policy, plan.reference_dir, results, log, np)
    except Disagreement as exc:
        results._emit({"disagreement": str(exc)})
        return 1
    return 0


def run_worker(name, argv, plan: Plan, columns, results: Results) -> None:
    """Runs one worker process (this script again, with `argv` and the worker's
    name) and merges what it reported, even if it died."""
    cmd = [sys.executable, str(ENTRY), *argv, "--worker", name, "--reference", str(plan.reference_dir)]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, text=True)
    for line in proc.stdout.splitlines():
        if line.strip():
            results.take(line)
    if proc.returncode != 0:
        results.notes.append(f"{name}: the timing process exited with code {proc.returncode}; "
                             "cells it did not reach read 'failed'")
        for n in plan.qubits:
            for op, _, _ in OPERATIONS:
                results.cells.setdefault((op, n, name), "failed")
        for case in plan.cases:
            for column in columns:
                results.circuit.setdefault((case.key, column), "failed")


def mark_missing(name, plan: Plan, columns, results: Results, sessions: bool) -> None:
    """Cells of a contender that could not be loaded."""
    if sessions:
        for n in plan.qubits:
            for op, _, _ in OPERATIONS:
                results.put(op, n, name, NOT_INSTALLED)
    for case in plan.cases:
        for column in columns:
            results.put_circuit(case.key, column, NOT_INSTALLED)
