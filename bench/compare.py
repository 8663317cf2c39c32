#!/usr/bin/env python3
"""Side-by-side timings of velqor and the simulators users already know.

Contenders, all driven through their public Python APIs on the same number of
threads: velqor, Qulacs, Qiskit Aer (statevector method), a NumPy reference
(tensordot on the state tensor) and a memory-bandwidth probe (NumPy `a *= 1.0`
on 2^n complex doubles: one read and one write of the state, the floor of one
gate pass). Before anything is timed the contenders must agree on qubit order,
on collapse, on sampling and on the probabilities of a small random circuit.

    python bench/compare.py [--qubits 4,8,12] [--quick] [--plot PATH]

Prints Markdown tables to stdout and writes a PNG plot. Run it through
bench/compare.sh, which builds velqor from the working tree into a private
virtual environment together with the contenders.
"""

from __future__ import annotations

import argparse
import cmath
import gc
import math
import os
import json
import platform
import random
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

DEFAULT_QUBITS = (4, 8, 12, 16, 20, 22, 24, 26)
QUICK_QUBITS = (4, 8, 12)
SHOTS = 1000
AGREEMENT_TOL = 1e-12
H_ENTRY = 0.7071067811865475
CIRCUIT_SEED = 20240611

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

VELQOR, QULACS, AER, NUMPY, PROBE = "velqor", "Qulacs", "Qiskit Aer", "NumPy", "memory pass"
CONTENDERS = (VELQOR, QULACS, AER, NUMPY)
PEERS = (QULACS, AER, NUMPY)

# Cell markers for results that are not timings.
NOT_INSTALLED = "not installed"
NOT_AVAILABLE = "n/a"
SKIPPED = "skipped"

# What each contender's cell measures, printed under every table.
TIMED = {
    "h": {
        VELQOR: "`reg.apply_gate(H, [t], [])`, H given as a generic 2x2 `QGate`",
        QULACS: "`gate.update_quantum_state(state)` on `qulacs.gate.H(t)` objects built beforehand (a specialised H kernel)",
        AER: "`AerState.apply_h(t)` for every t, then `flush()` (AerState queues gate calls; the flush runs them and is timed)",
        NUMPY: "`np.tensordot(U, psi, axes=([1], [axis]))` moved back into place on the (2,)*n view of the state",
    },
    "cx": {
        VELQOR: "`reg.apply_gate(X, [t], [c])`",
        QULACS: "prebuilt `qulacs.gate.CNOT(c, t)` objects, `update_quantum_state`",
        AER: "`AerState.apply_cx(c, t)` for every t, then `flush()`",
        NUMPY: "tensordot on the sub-tensor where the control axis is 1",
    },
    "ccx": {
        VELQOR: "`reg.apply_gate(X, [t], [c1, c2])`",
        QULACS: "prebuilt `qulacs.gate.TOFFOLI(c1, c2, t)` objects",
        AER: "`AerState.apply_mcx([c1, c2], t)` for every t, then `flush()`",
        NUMPY: "tensordot on the sub-tensor where both control axes are 1",
    },
    "probs": {
        VELQOR: "`reg.probabilities()` (returns a list)",
        QULACS: "`v = state.get_vector(); (v.real**2 + v.imag**2).tolist()` (get_vector copies the state out; Qulacs has no call for all probabilities)",
        AER: "`AerState.probabilities()` (returns a list)",
        NUMPY: "`(psi.real**2 + psi.imag**2).tolist()`",
    },
    "measure": {
        VELQOR: "`reg.measure(t)`",
        QULACS: "prebuilt `qulacs.gate.Measurement(t, t)` gates, `update_quantum_state`, then `state.get_classical_value(t)`",
        AER: "`AerState.apply_measure([t])` (returns the outcome)",
        NUMPY: "marginal sums on the (hi, 2, lo) view, one uniform draw, zero the other half and rescale the kept one",
    },
    "sample1": {
        VELQOR: "`reg.measure_all()`; the state was touched by one untimed gate before the 1000 calls, so the first call's work is included",
        QULACS: "`state.sampling(1)[0]`",
        AER: "`int(AerState.sample_memory(shots=1)[0], 2)` (the call returns bit strings)",
        NUMPY: "`cumsum` of the probabilities and `searchsorted` of one uniform draw, recomputed per call",
    },
    "sampleN": {
        VELQOR: "no batch call: the per-call figure of the row above (1000 separate `measure_all()` calls)",
        QULACS: "`state.sampling(1000)`",
        AER: "`[int(b, 2) for b in AerState.sample_memory(shots=1000)]`",
        NUMPY: "`cumsum` once and `searchsorted` of 1000 uniform draws",
    },
}


# ---------------------------------------------------------------------------
# Arguments and environment (before any numerical library is imported)
# ---------------------------------------------------------------------------

def parse_qubits(text: str) -> list[int]:
    """'4,8,12' or '4-12' style lists; every count must be 4..29."""
    counts: set[int] = set()
    for part in text.split(","):
        part = part.strip()
        if not part:
            continue
        if "-" in part:
            lo, hi = (int(x) for x in part.split("-", 1))
            if lo > hi:
                raise argparse.ArgumentTypeError(f"empty range {part!r}")
            counts.update(range(lo, hi + 1))
        else:
            counts.add(int(part))
    if not counts:
        raise argparse.ArgumentTypeError("no qubit count given")
    bad = [n for n in counts if not 4 <= n <= 29]
    if bad:
        raise argparse.ArgumentTypeError(f"qubit counts must be 4 to 29, got {sorted(bad)}")
    return sorted(counts)


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--qubits", type=parse_qubits, default=None,
                   help="qubit counts, e.g. 4,8,12 or 16-20 (default %s; --quick: %s)"
                   % (",".join(map(str, DEFAULT_QUBITS)), ",".join(map(str, QUICK_QUBITS))))
    p.add_argument("--quick", action="store_true",
                   help="smoke run: small sizes, one or two samples, a short circuit")
    p.add_argument("--plot", default=str(Path(__file__).resolve().parent / "out" / "compare.png"),
                   help="PNG to write (default bench/out/compare.png); 'none' for no plot")
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1,
                   help="threads for every contender (default: all cores)")
    p.add_argument("--contenders", default=",".join(CONTENDERS),
                   help="comma-separated subset of: " + ", ".join(CONTENDERS))
    p.add_argument("--circuit-qubits", type=int, default=None, help="random circuit width (default 20; --quick: 12)")
    p.add_argument("--circuit-gates", type=int, default=None, help="random circuit length (default 1000; --quick: 100)")
    p.add_argument("--no-circuit", action="store_true", help="leave out the random circuit")
    p.add_argument("--cell-limit", type=float, default=None,
                   help="skip a cell whose estimated time exceeds this many seconds (default 60; --quick: 5)")
    p.add_argument("--worker", default=None, help=argparse.SUPPRESS)       # internal: time one contender
    p.add_argument("--reference", default=None, help=argparse.SUPPRESS)    # internal: circuit probabilities
    return p


def pin_threads(threads: int) -> dict[str, str]:
    """Every contender gets the same thread count; must run before the imports."""
    pinned = {name: str(threads) for name in
              ("OMP_NUM_THREADS", "RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")}
    os.environ.update(pinned)
    return pinned


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

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
    """Best per-operation time over repeated samples; `run` returns its operation count."""
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


def fmt_time(seconds) -> str:
    if not isinstance(seconds, (int, float)):
        return str(seconds)
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


# ---------------------------------------------------------------------------
# Gate set shared by the agreement check and the random circuit
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class Op:
    kind: str                    # h, x, p, u (one qubit); cx, ccx, cp (controlled)
    target: int
    controls: tuple[int, ...] = ()
    phi: float = 0.0             # phase of p and cp
    matrix: tuple = ()           # 2x2 rows of u


def phase_matrix(phi: float):
    return ((1 + 0j, 0j), (0j, cmath.exp(1j * phi)))


def rotation(theta: float, phi: float, lam: float):
    """A general single-qubit unitary in the usual three-angle form."""
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return ((complex(c), -cmath.exp(1j * lam) * s),
            (cmath.exp(1j * phi) * s, cmath.exp(1j * (phi + lam)) * c))


def op_matrix(op: Op):
    if op.kind == "h":
        return ((H_ENTRY, H_ENTRY), (H_ENTRY, -H_ENTRY))
    if op.kind in ("x", "cx", "ccx"):
        return ((0, 1), (1, 0))
    if op.kind in ("p", "cp"):
        return phase_matrix(op.phi)
    return op.matrix


def random_circuit(qubits: int, gates: int, seed: int, kinds=None) -> list[Op]:
    """Fixed-seed mix of one-qubit gates (H, X, phase, general rotation) and
    controlled ones (CX, CCX, controlled phase)."""
    rng = random.Random(seed)
    kinds = kinds or ("h", "x", "p", "u", "h", "u", "cx", "ccx", "cp", "cx")
    ops = []
    for _ in range(gates):
        kind = rng.choice(kinds)
        width = {"cx": 2, "cp": 2, "ccx": 3}.get(kind, 1)
        qs = rng.sample(range(qubits), width)
        target, controls = qs[0], tuple(qs[1:])
        phi = rng.uniform(-math.pi, math.pi)
        matrix = rotation(*(rng.uniform(0, 2 * math.pi) for _ in range(3))) if kind == "u" else ()
        ops.append(Op(kind, target, controls, phi if kind in ("p", "cp") else 0.0, matrix))
    return ops


# ---------------------------------------------------------------------------
# Contenders. Each opens one state per qubit count; a session's methods return
# the number of operations they performed so that times can be divided.
# ---------------------------------------------------------------------------

class Unavailable(Exception):
    """The contender has no such call."""


class Simulator:
    name = ""
    reason = ""                  # why it is not installed, if it is not

    def available(self) -> bool:
        return not self.reason


class VelqorSim(Simulator):
    name = VELQOR

    def __init__(self, threads):
        try:
            import velqor
            self.mod = velqor
            self.H = velqor.QGate(op_matrix(Op("h", 0)))
            self.X = velqor.QGate(op_matrix(Op("x", 0)))
        except ImportError as exc:
            self.reason = f"{NOT_INSTALLED} ({exc})"

    def open(self, n):
        return VelqorSession(self, n)

    def circuit(self, n, ops):
        gates = {}
        for op in ops:
            key = op_matrix(op)
            if key not in gates:
                gates[key] = self.mod.QGate(key)
        plan = [(gates[op_matrix(op)], [op.target], list(op.controls)) for op in ops]
        reg = self.mod.Register(n)

        def run():
            apply = reg.apply_gate
            for gate, targets, controls in plan:
                apply(gate, targets, controls)
            return len(plan)
        return run, reg.probabilities


class VelqorSession:
    def __init__(self, sim, n):
        self.n, self.H, self.X, self.QGate = n, sim.H, sim.X, sim.mod.QGate
        self.reg = sim.mod.Register(n)

    def apply(self, op: Op):
        self.reg.apply_gate(self.QGate(op_matrix(op)), [op.target], list(op.controls))

    def h_pass(self):
        apply, H, n = self.reg.apply_gate, self.H, self.n
        for t in range(n):
            apply(H, [t], [])
        return n

    def cx_pass(self):
        apply, X, n = self.reg.apply_gate, self.X, self.n
        for t in range(n):
            apply(X, [t], [(t + 1) % n])
        return n

    def ccx_pass(self):
        apply, X, n = self.reg.apply_gate, self.X, self.n
        for t in range(n):
            apply(X, [t], [(t + 1) % n, (t + 2) % n])
        return n

    def probabilities(self):
        return self.reg.probabilities()

    def measure(self, t):
        return self.reg.measure(t)

    def measure_pass(self):
        measure = self.reg.measure
        for t in range(self.n):
            measure(t)
        return self.n

    def sample_one(self):
        return self.reg.measure_all()

    def sample_batch(self, shots):
        raise Unavailable

    def touch(self):
        self.reg.apply_gate(self.X, [0], [1])

    def close(self):
        self.reg = None


class QulacsSim(Simulator):
    name = QULACS

    def __init__(self, threads):
        try:
            import numpy as np
            import qulacs
            self.np, self.q, self.g = np, qulacs, qulacs.gate
        except ImportError as exc:
            self.reason = f"{NOT_INSTALLED} ({exc})"

    def gate(self, op: Op):
        g, np = self.g, self.np
        if op.kind == "h":
            return g.H(op.target)
        if op.kind == "x":
            return g.X(op.target)
        if op.kind == "cx":
            return g.CNOT(op.controls[0], op.target)
        if op.kind == "ccx":
            return g.TOFFOLI(op.controls[0], op.controls[1], op.target)
        if op.kind in ("p", "cp"):
            gate = g.U1(op.target, op.phi)
        else:
            gate = g.DenseMatrix(op.target, np.array(op.matrix, dtype=complex))
        for c in op.controls:
            gate.add_control_qubit(c, 1)
        return gate

    def open(self, n):
        return QulacsSession(self, n)

    def _probs(self, state):
        v = state.get_vector()
        return (v.real * v.real + v.imag * v.imag).tolist()

    def circuit(self, n, ops):
        gates = [self.gate(op) for op in ops]
        state = self.q.QuantumState(n)

        def run():
            for gate in gates:
                gate.update_quantum_state(state)
            return len(gates)
        return run, lambda: self._probs(state)

    def whole_circuit(self, n, ops):
        circuit = self.q.QuantumCircuit(n)
        for op in ops:
            circuit.add_gate(self.gate(op))
        state = self.q.QuantumState(n)

        def run():
            state.set_zero_state()
            circuit.update_quantum_state(state)
            return len(ops)
        return run, lambda: self._probs(state)


class QulacsSession:
    def __init__(self, sim, n):
        self.sim, self.n = sim, n
        g = sim.g
        self.state = sim.q.QuantumState(n)
        self.hs = [g.H(t) for t in range(n)]
        self.cxs = [g.CNOT((t + 1) % n, t) for t in range(n)]
        self.ccxs = [g.TOFFOLI((t + 1) % n, (t + 2) % n, t) for t in range(n)]
        self.measures = [g.Measurement(t, t) for t in range(n)]

    def apply(self, op: Op):
        self.sim.gate(op).update_quantum_state(self.state)

    def _pass(self, gates):
        state = self.state
        for gate in gates:
            gate.update_quantum_state(state)
        return len(gates)

    def h_pass(self):
        return self._pass(self.hs)

    def cx_pass(self):
        return self._pass(self.cxs)

    def ccx_pass(self):
        return self._pass(self.ccxs)

    def probabilities(self):
        return self.sim._probs(self.state)

    def measure(self, t):
        self.measures[t].update_quantum_state(self.state)
        return self.state.get_classical_value(t)

    def measure_pass(self):
        state = self.state
        for t, gate in enumerate(self.measures):
            gate.update_quantum_state(state)
            state.get_classical_value(t)
        return self.n

    def sample_one(self):
        return self.state.sampling(1)[0]

    def sample_batch(self, shots):
        return self.state.sampling(shots)

    def touch(self):
        self.cxs[0].update_quantum_state(self.state)

    def close(self):
        self.state = None


class AerSim(Simulator):
    name = AER

    def __init__(self, threads):
        self.threads = threads
        try:
            import numpy as np
            from qiskit import QuantumCircuit
            from qiskit_aer import AerSimulator
            from qiskit_aer.quantum_info.states.aer_state import AerState
            self.np, self.QuantumCircuit, self.AerSimulator, self.AerState = np, QuantumCircuit, AerSimulator, AerState
        except ImportError as exc:
            self.reason = f"{NOT_INSTALLED} ({exc})"

    def new_state(self, n):
        state = self.AerState(method="statevector", max_parallel_threads=self.threads)
        state.allocate_qubits(n)
        state.initialize()
        return state

    def apply(self, state, op: Op):
        if op.kind == "h":
            state.apply_h(op.target)
        elif op.kind == "x":
            state.apply_x(op.target)
        elif op.kind == "cx":
            state.apply_cx(op.controls[0], op.target)
        elif op.kind == "ccx":
            state.apply_mcx(list(op.controls), op.target)
        elif op.kind in ("p", "cp"):
            state.apply_mcphase(list(op.controls), op.target, op.phi)
        else:
            state.apply_unitary([op.target], self.np.array(op.matrix, dtype=complex))

    def open(self, n):
        return AerSession(self, n)

    def circuit(self, n, ops):
        state = self.new_state(n)

        def run():
            for op in ops:
                self.apply(state, op)
            state.flush()
            return len(ops)
        return run, state.probabilities

    def whole_circuit(self, n, ops, fusion=True):
        circ = self.QuantumCircuit(n)
        for op in ops:
            if op.kind == "h":
                circ.h(op.target)
            elif op.kind == "x":
                circ.x(op.target)
            elif op.kind == "p":
                circ.p(op.phi, op.target)
            elif op.kind == "u":
                circ.unitary(self.np.array(op.matrix, dtype=complex), [op.target])
            elif op.kind == "cx":
                circ.cx(op.controls[0], op.target)
            elif op.kind == "ccx":
                circ.ccx(op.controls[0], op.controls[1], op.target)
            elif op.kind == "cp":
                circ.cp(op.phi, op.controls[0], op.target)
        circ.save_statevector()
        sim = self.AerSimulator(method="statevector", max_parallel_threads=self.threads, fusion_enable=fusion)
        out = {}

        def run():
            out["sv"] = sim.run(circ).result().get_statevector()
            return len(ops)

        def probs():
            v = self.np.asarray(out["sv"])
            return (v.real * v.real + v.imag * v.imag).tolist()
        return run, probs


class AerSession:
    def __init__(self, sim, n):
        self.sim, self.n = sim, n
        self.state = sim.new_state(n)

    def apply(self, op: Op):
        self.sim.apply(self.state, op)

    def h_pass(self):
        state = self.state
        for t in range(self.n):
            state.apply_h(t)
        state.flush()
        return self.n

    def cx_pass(self):
        state, n = self.state, self.n
        for t in range(n):
            state.apply_cx((t + 1) % n, t)
        state.flush()
        return n

    def ccx_pass(self):
        state, n = self.state, self.n
        for t in range(n):
            state.apply_mcx([(t + 1) % n, (t + 2) % n], t)
        state.flush()
        return n

    def probabilities(self):
        return self.state.probabilities()

    def measure(self, t):
        return self.state.apply_measure([t])

    def measure_pass(self):
        measure = self.state.apply_measure
        for t in range(self.n):
            measure([t])
        return self.n

    def sample_one(self):
        return int(self.state.sample_memory(shots=1)[0], 2)

    def sample_batch(self, shots):
        return [int(b, 2) for b in self.state.sample_memory(shots=shots)]

    def touch(self):
        self.state.apply_cx(1, 0)
        self.state.flush()

    def close(self):
        self.state = None           # AerState frees its buffer when collected


class NumpySim(Simulator):
    """Reference: the state as an n-axis tensor, axis n-1-k holding qubit k."""
    name = NUMPY

    def __init__(self, threads):
        try:
            import numpy as np
            self.np = np
        except ImportError as exc:
            self.reason = f"{NOT_INSTALLED} ({exc})"

    def open(self, n):
        return NumpySession(self.np, n)

    def circuit(self, n, ops):
        session = NumpySession(self.np, n)
        plan = [(self.np.array(op_matrix(op), dtype=complex), op.target, op.controls) for op in ops]

        def run():
            for u, t, controls in plan:
                session.apply_matrix(u, t, controls)
            return len(plan)
        return run, session.probabilities


class NumpySession:
    def __init__(self, np, n, seed=None):
        self.np, self.n = np, n
        self.psi = np.zeros(1 << n, dtype=np.complex128)
        self.psi[0] = 1.0
        self.rng = np.random.default_rng(seed)
        self.H = np.array(op_matrix(Op("h", 0)), dtype=complex)
        self.X = np.array(op_matrix(Op("x", 0)), dtype=complex)

    def apply_matrix(self, u, target, controls=()):
        np, n = self.np, self.n
        tensor = self.psi.reshape((2,) * n)
        index = [slice(None)] * n
        for c in controls:
            index[n - 1 - c] = 1
        sub = tensor[tuple(index)]      # a view: basic indexing only
        axis = (n - 1 - target) - sum(1 for c in controls if c > target)
        sub[...] = np.moveaxis(np.tensordot(u, sub, axes=([1], [axis])), 0, axis)

    def apply(self, op: Op):
        self.apply_matrix(self.np.array(op_matrix(op), dtype=complex), op.target, op.controls)

    def h_pass(self):
        for t in range(self.n):
            self.apply_matrix(self.H, t)
        return self.n

    def cx_pass(self):
        n = self.n
        for t in range(n):
            self.apply_matrix(self.X, t, ((t + 1) % n,))
        return n

    def ccx_pass(self):
        n = self.n
        for t in range(n):
            self.apply_matrix(self.X, t, ((t + 1) % n, (t + 2) % n))
        return n

    def probabilities(self):
        psi = self.psi
        return (psi.real * psi.real + psi.imag * psi.imag).tolist()

    def measure(self, t):
        np = self.np
        halves = self.psi.reshape(-1, 2, 1 << t)
        weight = halves.real * halves.real + halves.imag * halves.imag
        p0, p1 = float(weight[:, 0, :].sum()), float(weight[:, 1, :].sum())
        outcome = 1 if self.rng.random() * (p0 + p1) >= p0 else 0
        kept = halves[:, outcome, :]
        kept *= 1.0 / math.sqrt(p1 if outcome else p0)
        halves[:, 1 - outcome, :] = 0
        return outcome

    def measure_pass(self):
        for t in range(self.n):
            self.measure(t)
        return self.n

    def _cumulative(self):
        psi = self.psi
        return self.np.cumsum(psi.real * psi.real + psi.imag * psi.imag)

    def sample_one(self):
        cdf = self._cumulative()
        return int(self.np.searchsorted(cdf, self.rng.random() * cdf[-1], side="right"))

    def sample_batch(self, shots):
        cdf = self._cumulative()
        return self.np.searchsorted(cdf, self.rng.random(shots) * cdf[-1], side="right").tolist()

    def touch(self):
        self.apply_matrix(self.X, 0, (1,))

    def close(self):
        self.psi = None


SIMULATORS = {VELQOR: VelqorSim, QULACS: QulacsSim, AER: AerSim, NUMPY: NumpySim}


# ---------------------------------------------------------------------------
# Agreement: every contender must mean the same thing before it is timed
# ---------------------------------------------------------------------------

class Disagreement(AssertionError):
    pass


def max_diff(a, b) -> float:
    if len(a) != len(b):
        return math.inf
    return max((abs(x - y) for x, y in zip(a, b)), default=0.0)


def check_agreement(sims: dict, tol: float = AGREEMENT_TOL, log=print) -> None:
    """Raises Disagreement unless every contender follows velqor's conventions."""
    ref_name = VELQOR if VELQOR in sims else next(iter(sims))
    problems = []

    def probs_after(sim, n, ops):
        session = sim.open(n)
        try:
            for op in ops:
                session.apply(op)
            return session.probabilities()
        finally:
            session.close()

    # Qubit order: X on qubit 0 gives index 1, X on qubits 0 and 2 gives index 5.
    for name, sim in sims.items():
        for ops, index in (([Op("x", 0)], 1), ([Op("x", 0), Op("x", 2)], 5), ([Op("x", 3)], 8)):
            probs = probs_after(sim, 4, ops)
            want = [0.0] * 16
            want[index] = 1.0
            if max_diff(probs, want) > tol:
                problems.append(f"{name}: X on qubits {[o.target for o in ops]} does not give basis state {index}")

    # Probabilities of a small random circuit of H, X, CX, CCX and phase gates.
    ops = random_circuit(8, 120, CIRCUIT_SEED, kinds=("h", "x", "p", "h", "cx", "ccx", "cp"))
    ref = probs_after(sims[ref_name], 8, ops)
    for name, sim in sims.items():
        diff = max_diff(probs_after(sim, 8, ops), ref)
        log(f"    agreement, 8-qubit circuit of 120 gates: {name} vs {ref_name}: max |dp| = {diff:.2e}")
        if not diff <= tol:
            problems.append(f"{name}: probabilities differ from {ref_name} by {diff:.3e} (> {tol:g})")

    for name, sim in sims.items():
        # Sampling of a basis state returns that index.
        session = sim.open(4)
        try:
            session.apply(Op("x", 0))
            session.apply(Op("x", 2))
            shots = [session.sample_one() for _ in range(5)]
            if shots != [5] * 5:
                problems.append(f"{name}: one-shot sampling of basis state 5 gave {shots}")
            try:
                batch = list(session.sample_batch(20))
                if batch != [5] * 20:
                    problems.append(f"{name}: batch sampling of basis state 5 gave {batch[:5]}...")
            except Unavailable:
                pass
        finally:
            session.close()

        # Measurement collapses and renormalises, and repeats its outcome.
        session = sim.open(4)
        try:
            for t in range(4):
                session.apply(Op("h", t))
            outcome = session.measure(1)
            again = session.measure(1)
            probs = session.probabilities()
            want = [0.125 if (i >> 1) & 1 == outcome else 0.0 for i in range(16)]
            if again != outcome or max_diff(probs, want) > tol:
                problems.append(f"{name}: measure(1) = {outcome}, again {again}, does not collapse onto it")
        finally:
            session.close()

    if problems:
        raise Disagreement("contenders disagree:\n  " + "\n  ".join(problems))


# ---------------------------------------------------------------------------
# Measurements
# ---------------------------------------------------------------------------

@dataclass
class Results:
    cells: dict = field(default_factory=dict)      # (op, n, name) -> Timing | marker
    circuit: dict = field(default_factory=dict)    # (row, name) -> Timing | marker
    notes: list = field(default_factory=list)

    sink: object = None                            # worker: writes each value as it is known

    def put(self, op, n, name, value):
        self.cells[(op, n, name)] = value
        self._emit({"cell": [op, n, name, encode(value)]})

    def put_circuit(self, row, name, value):
        self.circuit[(row, name)] = value
        self._emit({"circuit": [row, name, encode(value)]})

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
            row, name, value = record["circuit"]
            self.circuit[(row, name)] = decode(value)
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
        cell("probs", n, probs_work)
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


def circuit_rows(sim, qubits, ops):
    rows = [("per-gate", lambda: sim.circuit(qubits, ops))]
    if sim.name == QULACS:
        rows.append(("whole", lambda: sim.whole_circuit(qubits, ops)))
    if sim.name == AER:
        rows.append(("whole", lambda: sim.whole_circuit(qubits, ops, fusion=True)))
        rows.append(("whole-nofusion", lambda: sim.whole_circuit(qubits, ops, fusion=False)))
    return rows


def time_circuit(sim, qubits, gates, quick, reference, results: Results, log) -> None:
    """Total time of the random circuit, each way the contender offers; every
    way's probabilities must match `reference` after its first run."""
    ops = random_circuit(qubits, gates, CIRCUIT_SEED)
    # Extra samples after the checked first run, only while a run is short.
    policy = Policy(0, 0, 0.0, 0.0, math.inf) if quick else Policy(1, 2, 3.0, 0.0, math.inf)
    for row, build in circuit_rows(sim, qubits, ops):
        run, probs = build()
        log(f"  circuit, {row}")
        # Per-gate rows go on applying the circuit to the evolving state,
        # which does not change the work per gate.
        t0 = time.perf_counter()
        run()
        first = time.perf_counter() - t0
        diff = max_diff(probs(), reference)
        if not diff <= AGREEMENT_TOL:
            raise Disagreement(f"random circuit: {sim.name} ({row}) differs from the reference by {diff:.3e}")
        timing = Timing(math.inf, 0, len(ops))
        if policy.max_samples > 0 and first < policy.budget:
            timing = best_of(run, policy)
        total = min(first, timing.per_op * len(ops))
        results.put_circuit(row, sim.name, Timing(total, timing.samples + 1, len(ops)))
        del run, probs
        gc.collect()


def worker(args) -> int:
    """Times one contender (or the memory probe) in this process and writes
    each result to stdout as a JSON line."""
    pin_threads(args.threads)

    def log(msg):
        print(f"[{args.worker}] {msg}", file=sys.stderr, flush=True)

    results = Results(sink=sys.stdout)
    import numpy as np
    if args.worker == PROBE:
        for n in args.qubits:
            log(f"n = {n}")
            time_probe(n, args.threads, policy_for(n, args.quick, args.cell_limit), results, np)
        return 0
    sim = SIMULATORS[args.worker](args.threads)
    try:
        for n in args.qubits:
            log(f"n = {n}")
            time_contender(sim, n, policy_for(n, args.quick, args.cell_limit), results, log)
        if args.reference:
            reference = np.load(args.reference).tolist()
            time_circuit(sim, args.circuit_qubits, args.circuit_gates, args.quick, reference, results, log)
    except Disagreement as exc:
        results._emit({"disagreement": str(exc)})
        return 1
    return 0


def run_worker(name, args, reference_path, results: Results, log) -> None:
    """Runs one worker process and merges what it reported, even if it died."""
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", name,
           "--qubits", ",".join(map(str, args.qubits)), "--threads", str(args.threads),
           "--circuit-qubits", str(args.circuit_qubits), "--circuit-gates", str(args.circuit_gates)]
    if args.quick:
        cmd.append("--quick")
    if args.cell_limit:
        cmd += ["--cell-limit", str(args.cell_limit)]
    if reference_path:
        cmd += ["--reference", str(reference_path)]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, text=True)
    for line in proc.stdout.splitlines():
        if line.strip():
            results.take(line)
    if proc.returncode != 0:
        results.notes.append(f"{name}: the timing process exited with code {proc.returncode}; "
                             "cells it did not reach read 'failed'")
        for n in args.qubits:
            for op, _, _ in OPERATIONS:
                results.cells.setdefault((op, n, name), "failed")


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

def cell_text(value) -> str:
    if isinstance(value, Timing):
        text = fmt_time(value.per_op)
        return f"{text} ({value.note})" if value.note else text
    return str(value)


def ratio(num, den) -> str:
    if isinstance(num, Timing) and isinstance(den, Timing) and den.per_op > 0:
        r = num.per_op / den.per_op
        return f"{r:.2f}" if r >= 0.1 else f"{r:.2g}"
    return "–"


def best_peer(values: dict):
    timed = [(v.per_op, name) for name, v in values.items() if name in PEERS and isinstance(v, Timing)]
    return min(timed) if timed else None


def markdown(results: Results, qubits, names, header: list[str]) -> str:
    out = list(header)
    probe_cols = [PROBE]
    for op, title, unit in OPERATIONS:
        cols = list(names) + (probe_cols if op in GATE_OPS else [])
        out += ["", f"### {title}", "", f"_{unit}; best of the samples_", ""]
        head = ["n"] + cols + ["fastest peer", "velqor / fastest peer"]
        if op in GATE_OPS:
            head.append("velqor / memory pass")
        out.append("| " + " | ".join(head) + " |")
        out.append("|" + "---|" * len(head))
        for n in qubits:
            values = {name: results.get(op, n, name) for name in cols}
            if op == "sampleN" and VELQOR in values:
                values[VELQOR] = results.get("sample1", n, VELQOR)
            peer = best_peer(values)
            row = [str(n)] + [cell_text(values[c]) for c in cols]
            row.append(peer[1] if peer else "–")
            row.append(ratio(values.get(VELQOR), values.get(peer[1])) if peer else "–")
            if op in GATE_OPS:
                row.append(ratio(values.get(VELQOR), values.get(PROBE)))
            out.append("| " + " | ".join(row) + " |")
        out += ["", "What was timed:"]
        for name in names:
            out.append(f"- {name}: {TIMED[op][name]}")
        if op in GATE_OPS:
            out.append(f"- {PROBE}: NumPy `a *= 1.0` on 2^n complex128 (velqor has no such call), best of one thread "
                       "and all threads over equal chunks; one full read and write of the state. "
                       + {"h": "An H pass touches all of it.",
                          "cx": "A controlled X needs only the half where the control is 1.",
                          "ccx": "Two controls leave a quarter to touch."}[op])
    return "\n".join(out)


def circuit_markdown(results: Results, names, qubits, gates) -> str:
    if not results.circuit:
        return ""
    rows = (("per-gate", "one Python call per gate"),
            ("whole", "whole-circuit object, library defaults"),
            ("whole-nofusion", "whole-circuit object, Aer gate fusion off"))
    out = ["", f"### Random circuit: {qubits} qubits, {gates} gates (seed {CIRCUIT_SEED}), total time", "",
           "| how | " + " | ".join(names) + " | velqor / fastest peer |", "|---|" + "---|" * (len(names) + 1)]
    velqor = results.circuit.get(("per-gate", VELQOR))
    for key, label in rows:
        values = {name: results.circuit.get((key, name), NOT_AVAILABLE) for name in names}
        if all(not isinstance(v, Timing) for v in values.values()):
            continue
        peer = best_peer(values)
        out.append(f"| {label} | " + " | ".join(cell_text(values[n]) for n in names)
                   + f" | {ratio(velqor, values.get(peer[1])) if peer else '–'} |")
    out += ["", "Gates: H, X, phase diag(1, e^{iφ}), general rotation U(θ, φ, λ); CX, CCX, controlled phase; "
            "each contender's own call for each (velqor: a 2x2 `QGate` with controls; Qulacs: H, X, U1, DenseMatrix, "
            "CNOT, TOFFOLI, controlled U1; Aer: apply_h/x/mcphase/unitary/cx/mcx, or the QuantumCircuit "
            "gates h, x, p, unitary, cx, ccx, cp). Gate objects are built before timing. Per-gate rows keep "
            "applying the circuit to the evolving state; the whole-circuit rows start from |0...0> "
            "(Qulacs: set_zero_state, timed) and Aer's include `run().result()` and the statevector "
            "copied back. Every row's probabilities were checked against velqor's per-gate result after its first run. "
            "The velqor ratio compares velqor's per-gate calls with the fastest peer of that row."]
    return "\n".join(out)


FAIRNESS = """
### Differences between the contenders that bear on fairness

- velqor applies every gate as a generic 2x2 matrix (with controls); Qulacs and Aer have specialised kernels
  for H, X, CNOT and Toffoli. NumPy's tensordot makes temporary copies of the state (or sub-tensor) on every gate.
- Qulacs gates are objects that carry their qubits: they were built once per target before timing. velqor's
  `QGate` is reused with new target lists on each call, and the list building is part of its time.
- Aer's `AerState` queues gate calls and runs them on `flush()` (or on the next read-out); the flush is timed.
  Aer spreads a state over its threads only from its `statevector_parallel_threshold` option (14 qubits by
  default); Qulacs decides for itself when to use OpenMP. The defaults were kept. Aer's per-gate figures depend
  on how often it is flushed: here once per pass of n gates.
- `AerSimulator` fuses consecutive gates by default (from 14 qubits); the "fusion off" row shows the same
  circuit gate by gate. Qulacs' QuantumCircuit applies gates one by one.
- velqor's `measure_all()` reuses the cumulative distribution it computed on the first call until the state
  changes, so 1,000 calls cost about one pass plus 1,000 cheap draws. Qulacs' `sampling(1)`, Aer's
  `sample_memory(shots=1)` and the NumPy reference redo an O(2^n) pass on every call; their batch calls are the
  fair comparison for many shots, and velqor has no batch call.
- Aer's `sample_memory` returns bit strings: the conversion to an int index is included in its time.
- Qulacs has no call that returns all probabilities: its time includes copying the state out with `get_vector()`
  and NumPy arithmetic before `.tolist()`. velqor and Aer build the list natively.
- The memory pass is a floor only once the state is larger than the last-level cache; below that it measures
  cache bandwidth, and at a few qubits it is mostly the cost of one NumPy call.
- On a machine loaded by other work, a contender whose threads meet at a barrier (OpenMP) loses a whole time
  slice whenever one of its threads is not scheduled; this shows as sudden millisecond steps at small sizes.
- All four `measure(t)` calls draw from the marginal totals, collapse and renormalise (checked before timing).
  Qulacs measures through a `Measurement` gate object and reads the outcome from its classical register.
"""


def plot(results: Results, qubits, names, path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 4, figsize=(20, 9))
    styles = {VELQOR: ("tab:red", "o", "-"), QULACS: ("tab:blue", "s", "-"), AER: ("tab:green", "^", "-"),
              NUMPY: ("tab:purple", "D", "-"), PROBE: ("black", "", "--")}
    for ax, (op, title, unit) in zip(axes.flat, OPERATIONS):
        for name in list(names) + ([PROBE] if op in GATE_OPS else []):
            key = "sample1" if (op == "sampleN" and name == VELQOR) else op
            pts = [(n, results.get(key, n, name).per_op) for n in qubits
                   if isinstance(results.get(key, n, name), Timing)]
            if pts:
                color, marker, line = styles[name]
                label = name + (" (per call, no batch)" if key != op else "")
                ax.plot(*zip(*pts), marker=marker, linestyle=line, color=color, label=label)
        ax.set_yscale("log")
        ax.set_title(title, fontsize=10)
        ax.set_xlabel("qubits")
        ax.set_ylabel("seconds per operation")
        ax.set_xticks(list(qubits))
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    ax = axes.flat[len(OPERATIONS)]
    labels, values, colors = [], [], []
    for (row, name), t in results.circuit.items():
        if isinstance(t, Timing):
            labels.append(f"{name}\n{row}")
            values.append(t.per_op)
            colors.append(styles[name][0])
    if values:
        ax.bar(range(len(values)), values, color=colors)
        ax.set_xticks(range(len(values)))
        ax.set_xticklabels(labels, fontsize=6, rotation=45, ha="right")
        ax.set_yscale("log")
        ax.set_ylabel("seconds, whole circuit")
        ax.set_title("Random circuit, total time", fontsize=10)
    else:
        ax.axis("off")
    fig.tight_layout()
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def versions() -> str:
    from importlib import metadata
    found = []
    for dist in ("velqor", "qulacs", "qiskit", "qiskit-aer", "numpy", "matplotlib"):
        try:
            found.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            found.append(f"{dist} not installed")
    return ", ".join(found)


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def last_level_cache() -> str:
    best = (0, "unknown")
    for index in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"):
        try:
            level = int((index / "level").read_text())
            best = max(best, (level, (index / "size").read_text().strip()))
        except (OSError, ValueError):
            continue
    return best[1]


def blas_info() -> str:
    """The native thread pools loaded in this (checking) process, by threadpoolctl."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "threadpoolctl not installed"
    pools = []
    for info in threadpool_info():
        parts = [info.get("internal_api"), info.get("version"), info.get("architecture"),
                 f"{info.get('num_threads')} threads", Path(info.get("filepath", "")).name]
        pools.append(" ".join(str(x) for x in parts if x))
    return "; ".join(pools) or "none loaded"


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    args.qubits = args.qubits or list(QUICK_QUBITS if args.quick else DEFAULT_QUBITS)
    args.circuit_qubits = args.circuit_qubits or (12 if args.quick else 20)
    args.circuit_gates = args.circuit_gates or (100 if args.quick else 1000)
    if args.worker:
        return worker(args)
    pinned = pin_threads(args.threads)
    wanted = [c.strip() for c in args.contenders.split(",") if c.strip()]
    unknown = [c for c in wanted if c not in SIMULATORS]
    if unknown:
        print(f"unknown contender(s) {unknown}; choose from {list(SIMULATORS)}", file=sys.stderr)
        return 2

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    import numpy as np
    sims = {name: SIMULATORS[name](args.threads) for name in wanted}
    names = list(wanted)
    ready = {name: sim for name, sim in sims.items() if sim.available()}
    for name, sim in sims.items():
        if not sim.available():
            log(f"{name}: {sim.reason}")
    if not ready:
        print("no contender could be loaded", file=sys.stderr)
        return 2

    load_start = os.getloadavg()
    started = time.perf_counter()
    log("checking that the contenders agree ...")
    try:
        check_agreement(ready, log=log)
    except Disagreement as exc:
        print(f"FAILED: {exc}", file=sys.stderr)
        return 1

    results = Results()
    with tempfile.TemporaryDirectory(prefix="velqor-compare-") as tmp:
        reference_path = None
        if not args.no_circuit:
            # The circuit's expected probabilities, from velqor (or NumPy without it).
            ref = ready.get(VELQOR) or NumpySim(args.threads)
            run, probs = ref.circuit(args.circuit_qubits,
                                     random_circuit(args.circuit_qubits, args.circuit_gates, CIRCUIT_SEED))
            run()
            reference_path = Path(tmp) / "reference.npy"
            np.save(reference_path, np.array(probs()))
            del run, probs
        # Each contender runs alone in a fresh process, so no other library's
        # idle threads compete with it and every state is freed when it ends.
        for name in names:
            if name in ready:
                log(f"timing {name} ...")
                try:
                    run_worker(name, args, reference_path, results, log)
                except Disagreement as exc:
                    print(f"FAILED: {exc}", file=sys.stderr)
                    return 1
            else:
                for n in args.qubits:
                    for op, _, _ in OPERATIONS:
                        results.put(op, n, name, NOT_INSTALLED)
                results.circuit[("per-gate", name)] = NOT_INSTALLED
        log(f"timing the {PROBE} ...")
        run_worker(PROBE, args, None, results, log)

    load_end = os.getloadavg()
    header = [
        "## velqor against Qulacs, Qiskit Aer and NumPy" + (" (quick run)" if args.quick else ""),
        "",
        f"- threads: {args.threads} for every contender (" + ", ".join(f"{k}={v}" for k, v in pinned.items())
        + f", Aer max_parallel_threads={args.threads}); os.cpu_count() = {os.cpu_count()}; "
        "each contender timed alone in its own process",
        f"- OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', 'unset')}, "
        f"OPENBLAS_L2_SIZE={os.environ.get('OPENBLAS_L2_SIZE', 'unset')} (left as found); thread pools: {blas_info()}",
        f"- {cpu_model()}, last-level cache {last_level_cache()} (a state of 2^n x 16 bytes smaller than it "
        "stays in cache between gates); " f"Python {platform.python_version()}; {versions()}",
        f"- load average {load_start[0]:.2f} at the start, {load_end[0]:.2f} at the end; "
        f"run took {time.perf_counter() - started:.0f} s",
        "- times are the best of repeated `time.perf_counter` samples; agreement checked to "
        f"{AGREEMENT_TOL:g} before timing",
    ]
    if any(name not in ready for name in names):
        header.append("- not installed: " + "; ".join(f"{n}: {sims[n].reason}" for n in names if n not in ready))
    text = markdown(results, args.qubits, names, header)
    if not args.no_circuit:
        text += "\n" + circuit_markdown(results, names, args.circuit_qubits, args.circuit_gates)
    if results.notes:
        text += "\n\nNotes:\n" + "\n".join(f"- {note}" for note in results.notes)
    text += "\n" + FAIRNESS
    print(text)
    if args.plot.lower() != "none":
        plot(results, args.qubits, names, args.plot)
        log(f"plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
