"""qsim through qsimcirq: a Cirq circuit, single precision, the default gate
fusion; whole circuits only."""

from __future__ import annotations

import math

from ..gates import Op
from .base import FLOAT32_TOL, QSIM, Simulator, squared_moduli


class QsimSim(Simulator):
    name = QSIM
    tolerance = FLOAT32_TOL
    sessions = False

    def __init__(self, threads):
        loaded = self.load("cirq", "numpy", "qsimcirq")
        if not loaded:
            return
        self.cirq, self.np, qsimcirq = loaded
        self.simulator = qsimcirq.QSimSimulator(qsimcirq.QSimOptions(cpu_threads=threads))

    def gate(self, op: Op, q):
        cirq = self.cirq
        target = q[op.target]
        controls = [q[c] for c in op.controls]
        if op.kind == "h":
            return cirq.H(target)
        if op.kind == "x":
            return cirq.X(target)
        if op.kind == "p":
            return cirq.ZPowGate(exponent=op.phi / math.pi)(target)
        if op.kind == "cp":
            return cirq.CZPowGate(exponent=op.phi / math.pi)(controls[0], target)
        if op.kind == "cx":
            return cirq.CNOT(controls[0], target)
        if op.kind == "ccx":
            return cirq.CCX(controls[0], controls[1], target)
        return cirq.MatrixGate(self.np.array(op.matrix, dtype=complex))(target)

    def ways(self, n, ops):
        return [(QSIM, lambda: self.whole_circuit(n, ops))]

    def whole_circuit(self, n, ops):
        """Timed: `run` of the circuit ending in a measurement of every qubit,
        one repetition. The probabilities come from `simulate` of the gates alone,
        with qubit k as bit k of the index (Cirq's order puts the first qubit in
        the highest bit)."""
        cirq = self.cirq
        q = cirq.LineQubit.range(n)
        gates = cirq.Circuit(self.gate(op, q) for op in ops)
        measured = gates + cirq.Circuit(cirq.measure(*q, key="m"))

        def run():
            self.simulator.run(measured, repetitions=1)
            return len(ops)

        def probs():
            state = self.simulator.simulate(gates, qubit_order=q[::-1]).final_state_vector
            return squared_moduli(self.np, state)
        return (lambda: None), run, probs
