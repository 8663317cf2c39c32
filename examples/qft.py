"""Quantum Fourier transform and its inverse on four qubits.

Builds the QFT from Hadamards and controlled phase gates, applies it to a basis
state, then applies the inverse circuit (the gates reversed, each phase
conjugated). The register ends in the input basis state, up to rounding in the
last bits of the amplitudes.
"""

import cmath
import math

import velqor

QUBITS = 4
H = 0.7071067811865475
HADAMARD = velqor.QGate([[H, H], [H, -H]])
NOT = velqor.QGate([[0, 1], [1, 0]])


def phase(angle):
    z = cmath.exp(1j * angle)
    return velqor.QGate([[1, 0], [0, z]])


def qft_steps(qubits):
    """(gate, target, controls) in order; the qubit-order swaps are left out,
    since the inverse undoes the same sequence."""
    steps = []
    for target in reversed(range(qubits)):
        steps.append(("H", target, []))
        for control in reversed(range(target)):
            steps.append((math.pi / 2 ** (target - control), target, [control]))
    return steps


def apply(reg, steps, inverse=False):
    for gate, target, controls in (reversed(steps) if inverse else steps):
        if gate == "H":
            reg.apply_gate(HADAMARD, [target], controls)
        else:
            reg.apply_gate(phase(-gate if inverse else gate), [target], controls)


def main():
    value = 0b1011
    reg = velqor.Register(QUBITS)
    reg.apply_gate(NOT, [q for q in range(QUBITS) if (value >> q) & 1], [])
    steps = qft_steps(QUBITS)

    apply(reg, steps)
    spread = reg.probabilities()
    print(f"after QFT of |{value:04b}>: every basis state has probability about {1 / 2**QUBITS:.4f}")
    print("  " + " ".join(f"{p:.4f}" for p in spread))

    apply(reg, steps, inverse=True)
    back = reg.probabilities()
    best = max(range(len(back)), key=back.__getitem__)
    print(f"after the inverse: |{best:04b}> with probability {back[best]:.12f}")
    print(f"measure_all() -> {reg.measure_all():04b}")
    assert best == value


if __name__ == "__main__":
    main()
