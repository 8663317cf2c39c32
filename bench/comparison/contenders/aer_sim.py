"""Qiskit Aer: AerState (gate calls queued until flush) for the tables;
AerSimulator on a QuantumCircuit, default fusion, for whole circuits."""

from __future__ import annotations

from ..gates import Op
from .base import AER, Simulator, squared_moduli


class AerSim(Simulator):
    name = AER

    def __init__(self, threads):
        self.threads = threads
        loaded = self.load("numpy", "qiskit", "qiskit_aer", "qiskit_aer.quantum_info.states.aer_state")
        if loaded:
            self.np, qiskit, aer, aer_state = loaded
            self.QuantumCircuit, self.AerSimulator = qiskit.QuantumCircuit, aer.AerSimulator
            self.AerState = aer_state.AerState

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

    def ways(self, n, ops):
        return [(AER, lambda: self.whole_circuit(n, ops))]

    def quantum_circuit(self, n, ops):
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
        return circ

    def whole_circuit(self, n, ops):
        """Timed: one run of the circuit ending in a measurement of every qubit
        (one shot). The probabilities come from a second circuit with the same
        gates that saves the statevector instead."""
        gates = self.quantum_circuit(n, ops)
        measured, saved = gates.copy(), gates.copy()
        measured.measure_all()
        saved.save_statevector()
        sim = self.AerSimulator(method="statevector", max_parallel_threads=self.threads)

        def run():
            sim.run(measured, shots=1).result().get_counts()
            return len(ops)

        def probs():
            return squared_moduli(self.np, sim.run(saved).result().get_statevector())
        return (lambda: None), run, probs


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
