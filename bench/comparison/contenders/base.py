"""What every contender shares: its name, the cell markers, and the two ways
it can be driven (a session on one state for the per-operation tables, whole
circuits for the circuit table)."""

from __future__ import annotations

import importlib

VELQOR, VELQOR_GATE_BY_GATE = "velqor", "velqor gate by gate"
QULACS, QULACS_OPTIMISED = "Qulacs", "Qulacs optimised"
AER, QSIM, NUMPY, PROBE = "Qiskit Aer", "qsim", "NumPy", "memory pass"

# Cell markers for results that are not timings.
NOT_INSTALLED = "not installed"
NOT_AVAILABLE = "n/a"
SKIPPED = "skipped"

# Largest difference of a final probability from velqor's that a contender
# computing in double precision may show; single precision gets FLOAT32_TOL.
FLOAT64_TOL = 1e-10
FLOAT32_TOL = 1e-5


class Unavailable(Exception):
    """The contender has no such call."""


class Simulator:
    """A contender. Subclasses set `name`, import their library in __init__
    (setting `reason` when it is missing) and offer `open(n)` (a session for
    the per-operation tables) and/or `ways(n, ops)` (whole circuits)."""
    name = ""
    reason = ""                  # why it is not installed, if it is not
    tolerance = FLOAT64_TOL      # of its final circuit probabilities
    sessions = True              # has a session API for the per-operation tables

    def available(self) -> bool:
        return not self.reason

    def load(self, *modules):
        """The modules imported, or None (with `reason` set) if one is missing."""
        try:
            return [importlib.import_module(name) for name in modules]
        except ImportError as exc:
            self.reason = f"{NOT_INSTALLED} ({exc})"
            return None

    def ways(self, n, ops) -> list:
        """(column, build) pairs for one circuit. build() returns (setup, run,
        probabilities): setup() readies a fresh |0...0> untimed; run() is the
        timed work, every gate and a final one-shot read of the whole state,
        and returns the number of gates; probabilities() gives the final
        probabilities of the last run as a NumPy array."""
        return []


def squared_moduli(np, vector):
    v = np.asarray(vector)
    return v.real * v.real + v.imag * v.imag
