"""Qulacs: prebuilt gate objects for the tables; QuantumCircuit, as built and
after its QuantumCircuitOptimizer, for whole circuits."""

from __future__ import annotations

from ..gates import Op
from .base import QULACS, QULACS_OPTIMISED, Simulator, squared_moduli

# Largest merged gate of the optimiser, as qsim's default fusion.
OPTIMISER_BLOCK = 2


class QulacsSim(Simulator):
    name = QULACS

    def __init__(self, threads):
        loaded = self.load("numpy", "qulacs", "qulacs.circuit")
        if loaded:
            self.np, self.q, circuit = loaded
            self.g, self.Optimizer = self.q.gate, circuit.QuantumCircuitOptimizer

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
        return squared_moduli(self.np, state.get_vector()).tolist()

    def ways(self, n, ops):
        return [(QULACS, lambda: self.whole_circuit(n, ops, optimise=False)),
                (QULACS_OPTIMISED, lambda: self.whole_circuit(n, ops, optimise=True))]

    def whole_circuit(self, n, ops, optimise):
        """The state is reset untimed; the optimiser, when used, runs inside the
        timed call on a circuit built afresh for every sample."""
        state = self.q.QuantumState(n)
        circuit = []

        def setup():
            state.set_zero_state()
            circuit[:] = [self.q.QuantumCircuit(n)]
            for op in ops:
                circuit[0].add_gate(self.gate(op))

        def run():
            if optimise:
                self.Optimizer().optimize(circuit[0], OPTIMISER_BLOCK)
            circuit[0].update_quantum_state(state)
            state.sampling(1)
            return len(ops)
        return setup, run, lambda: squared_moduli(self.np, state.get_vector())


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
