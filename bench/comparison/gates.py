"""The gate set shared by the agreement check and the circuits, and the
circuits of the whole-circuit section."""

from __future__ import annotations

import cmath
import math
import random
from dataclasses import dataclass

H_ENTRY = 0.7071067811865475
CIRCUIT_SEED = 20240611


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


def random_rotation(rng: random.Random) -> tuple:
    return rotation(*(rng.uniform(0, 2 * math.pi) for _ in range(3)))


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
        matrix = random_rotation(rng) if kind == "u" else ()
        ops.append(Op(kind, target, controls, phi if kind in ("p", "cp") else 0.0, matrix))
    return ops


def qft_circuit(qubits: int, seed: int) -> list[Op]:
    """A general rotation on every qubit (a fixed-seed product state, so that
    the output probabilities are not uniform), then the quantum Fourier
    transform without the final qubit reversal: on qubit j, from the top
    down, H and then a controlled phase 2π / 2^(j-k+1) from every lower qubit k."""
    rng = random.Random(seed)
    ops = [Op("u", q, matrix=random_rotation(rng)) for q in range(qubits)]
    for j in reversed(range(qubits)):
        ops.append(Op("h", j))
        ops += [Op("cp", j, (k,), math.pi / 2 ** (j - k)) for k in reversed(range(j))]
    return ops


def layered_circuit(qubits: int, gates: int, seed: int) -> list[Op]:
    """Layers of a general rotation with random angles on every qubit, then CX
    from each qubit to the next one up (a ladder), cut off at `gates` gates: the
    shape of variational circuits."""
    rng = random.Random(seed)
    ops: list[Op] = []
    while len(ops) < gates:
        ops += [Op("u", q, matrix=random_rotation(rng)) for q in range(qubits)]
        ops += [Op("cx", q + 1, (q,)) for q in range(qubits - 1)]
    return ops[:gates]


@dataclass(frozen=True)
class CircuitCase:
    """One row of the whole-circuit table."""
    family: str                  # "random", "layered" or "qft"
    qubits: int
    gates: int = 0               # random and layered circuits only

    @property
    def key(self) -> str:
        return f"{self.family}-{self.qubits}"

    def ops(self) -> list[Op]:
        if self.family == "qft":
            return qft_circuit(self.qubits, CIRCUIT_SEED)
        if self.family == "layered":
            return layered_circuit(self.qubits, self.gates, CIRCUIT_SEED)
        return random_circuit(self.qubits, self.gates, CIRCUIT_SEED)

    def title(self) -> str:
        if self.family == "qft":
            return f"QFT, n = {self.qubits} ({self.qubits} + {self.qubits * (self.qubits + 1) // 2} gates)"
        return f"{self.family}, n = {self.qubits} ({self.gates} gates)"


def circuit_cases(random_qubits, qft_qubits, gates, layered_qubits=()) -> list[CircuitCase]:
    return ([CircuitCase("random", n, gates) for n in random_qubits]
            + [CircuitCase("layered", n, gates) for n in layered_qubits]
            + [CircuitCase("qft", n) for n in qft_qubits])
