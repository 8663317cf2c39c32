"""velqor itself: the build under test, and the same source built to run
every gate as it is called (the gate-by-gate build, imported from its own
folder in its own worker process)."""

from __future__ import annotations

import sys
from pathlib import Path

from ..gates import Op, op_matrix
from .base import NOT_INSTALLED, VELQOR, VELQOR_GATE_BY_GATE, Simulator, Unavailable


class VelqorSim(Simulator):
    name = VELQOR

    def __init__(self, threads):
        loaded = self.load("velqor")
        if not loaded:
            return
        self.mod = loaded[0]
        self.H = self.mod.QGate(op_matrix(Op("h", 0)))
        self.X = self.mod.QGate(op_matrix(Op("x", 0)))

    def open(self, n):
        return VelqorSession(self, n)

    def ways(self, n, ops):
        return [(self.name, lambda: self.circuit(n, ops))]

    def circuit(self, n, ops):
        import numpy as np
        gates = {}
        for op in ops:
            key = op_matrix(op)
            if key not in gates:
                gates[key] = self.mod.QGate(key)
        plan = [(gates[op_matrix(op)], [op.target], list(op.controls)) for op in ops]
        holder = {}

        def setup():
            holder.pop("reg", None)             # free the last state before the next
            holder["reg"] = self.mod.Register(n)

        def run():
            reg = holder["reg"]
            apply = reg.apply_gate
            for gate, targets, controls in plan:
                apply(gate, targets, controls)
            reg.measure_all()                   # needs every gate executed
            return len(plan)
        return setup, run, lambda: np.array(holder["reg"].probabilities())


class VelqorGateByGateSim(VelqorSim):
    """Circuits only. `folder` holds the gate-by-gate build of velqor; only the
    worker process of this contender (`load`) imports it, in place of the
    build in the environment."""
    name = VELQOR_GATE_BY_GATE
    sessions = False

    def __init__(self, threads, folder=None, load=False):
        if not folder:
            self.reason = f"{NOT_INSTALLED} (no --gate-by-gate folder given; bench/compare.sh builds one)"
            return
        if not any(Path(folder).glob("velqor*.so")):
            self.reason = f"{NOT_INSTALLED} (no velqor build in {folder})"
            return
        if not load:
            return
        folder = str(Path(folder).resolve())
        sys.path.insert(0, folder)
        super().__init__(threads)
        if not self.reason and not str(Path(self.mod.__file__).resolve()).startswith(folder):
            self.reason = f"{NOT_INSTALLED} (velqor came from {self.mod.__file__}, not {folder})"


class VelqorSession:
    """Every gate pass ends with `measure_all()`, inside the timed sample: velqor
    may hold gates back until the state is next read, and the pass is only
    done once they have run."""

    def __init__(self, sim, n):
        self.n, self.H, self.X, self.QGate = n, sim.H, sim.X, sim.mod.QGate
        self.reg = sim.mod.Register(n)

    def apply(self, op: Op):
        self.reg.apply_gate(self.QGate(op_matrix(op)), [op.target], list(op.controls))

    def h_pass(self):
        apply, H, n = self.reg.apply_gate, self.H, self.n
        for t in range(n):
            apply(H, [t], [])
        self.reg.measure_all()
        return n

    def cx_pass(self):
        apply, X, n = self.reg.apply_gate, self.X, self.n
        for t in range(n):
            apply(X, [t], [(t + 1) % n])
        self.reg.measure_all()
        return n

    def ccx_pass(self):
        apply, X, n = self.reg.apply_gate, self.X, self.n
        for t in range(n):
            apply(X, [t], [(t + 1) % n, (t + 2) % n])
        self.reg.measure_all()
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
