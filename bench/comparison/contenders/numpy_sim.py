"""The NumPy reference of the per-operation tables: the state as an n-axis
tensor, gates by tensordot."""

from __future__ import annotations

import math

from ..gates import Op, op_matrix
from .base import NUMPY, Simulator


class NumpySim(Simulator):
    """Axis n-1-k of the state tensor holds qubit k."""
    name = NUMPY

    def __init__(self, threads):
        loaded = self.load("numpy")
        self.np = loaded[0] if loaded else None

    def open(self, n):
        return NumpySession(self.np, n)


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
