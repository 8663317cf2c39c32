"""A small pure-Python model of the state vector, operation by operation as the
simulator computes it, so that its probabilities can be compared bit for bit.

Complex numbers are (real, imag) tuples of Python floats: every product and sum
is one IEEE double operation, as in the native code.
"""

import math
import random

H = 0.7071067811865475  # the double nearest 1/sqrt(2)


def mul(x, y):
    return (x[0] * y[0] - x[1] * y[1], x[0] * y[1] + x[1] * y[0])


def add(x, y):
    return (x[0] + y[0], x[1] + y[1])


def as_pair(value):
    value = complex(value)
    return (value.real, value.imag)


class Model:
    def __init__(self, qubits):
        self.n = qubits
        self.amps = [(0.0, 0.0)] * (1 << qubits)
        self.amps[0] = (1.0, 0.0)

    def apply_gate(self, matrix, targets, controls):
        m00, m01 = (as_pair(v) for v in matrix[0])
        m10, m11 = (as_pair(v) for v in matrix[1])
        amps = self.amps
        for t in targets:
            if t >= self.n:
                raise IndexError("Target(s) outside qubit range")
            low = (1 << t) - 1
            for k in range(1 << (self.n - 1)):
                i0 = ((k & ~low) << 1) | (k & low)
                if any(not (i0 >> c) & 1 for c in controls):
                    continue
                i1 = i0 | (1 << t)
                a0, a1 = amps[i0], amps[i1]
                amps[i0] = add(mul(m00, a0), mul(m01, a1))
                amps[i1] = add(mul(m10, a0), mul(m11, a1))

    def probabilities(self):
        return [re * re + im * im for re, im in self.amps]


def rx(theta):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return [[c, complex(0, -s)], [complex(0, -s), c]]


def ry(theta):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return [[c, -s], [s, c]]


def phase(phi):
    return [[1, 0], [0, complex(math.cos(phi), math.sin(phi))]]


FIXED_GATES = {
    "H": [[H, H], [H, -H]],
    "X": [[0, 1], [1, 0]],
    "Y": [[0, -1j], [1j, 0]],
    "Z": [[1, 0], [0, -1]],
    "S": [[1, 0], [0, 1j]],
    "T": [[1, 0], [0, complex(0.7071067811865476, 0.7071067811865475)]],
}

ROTATION_ANGLES = (0.3, 1.1, 2.0, 2.9)


def gate_matrices():
    """Matrices that pass the unitarity test, by name."""
    gates = dict(FIXED_GATES)
    for theta in ROTATION_ANGLES:
        gates[f"Rx({theta})"] = rx(theta)
        gates[f"Ry({theta})"] = ry(theta)
        gates[f"P({theta})"] = phase(theta)
    return gates


def random_circuit(qubits, length, seed):
    """A list of (gate name, targets, controls). Targets may repeat; controls
    may name the target or a qubit beyond the register, which make the step a
    no-op for that target."""
    rng = random.Random(seed)
    names = sorted(gate_matrices())
    steps = []
    for _ in range(length):
        targets = [rng.randrange(qubits) for _ in range(rng.choice((1, 1, 2, 3)))]
        controls = []
        if qubits > 1 and rng.random() < 0.5:
            controls = rng.sample(range(qubits), rng.randint(1, min(2, qubits - 1)))
        if rng.random() < 0.05:
            controls.append(qubits + rng.randrange(3))
        steps.append((rng.choice(names), targets, controls))
    return steps
