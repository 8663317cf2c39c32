"""Grover search over 2**5 = 32 items for one marked item.

The oracle flips the sign of the marked basis state: a Z gate on one qubit
controlled by all the others, with X gates around it on the qubits where the
marked index has a 0 bit. The diffusion step is the same phase flip of |0...0>
between Hadamard layers. After floor(pi/4 * sqrt(32)) = 4 rounds the marked
item is found with probability about 0.999.
"""

import math

import velqor

QUBITS = 5
MARKED = 0b10110
H = 0.7071067811865475
HADAMARD = velqor.QGate([[H, H], [H, -H]])
NOT = velqor.QGate([[0, 1], [1, 0]])
Z = velqor.QGate([[1, 0], [0, -1]])
ALL = list(range(QUBITS))


def flip_sign_of(reg, index):
    """Multiplies the amplitude of basis state `index` by -1."""
    zeros = [q for q in ALL if not (index >> q) & 1]
    if zeros:
        reg.apply_gate(NOT, zeros, [])
    reg.apply_gate(Z, [QUBITS - 1], ALL[:-1])
    if zeros:
        reg.apply_gate(NOT, zeros, [])


def grover(marked, rounds):
    reg = velqor.Register(QUBITS)
    reg.apply_gate(HADAMARD, ALL, [])
    for _ in range(rounds):
        flip_sign_of(reg, marked)         # oracle
        reg.apply_gate(HADAMARD, ALL, [])  # diffusion: H, flip |0...0>, H
        flip_sign_of(reg, 0)
        reg.apply_gate(HADAMARD, ALL, [])
    return reg


def main():
    rounds = math.floor(math.pi / 4 * math.sqrt(2**QUBITS))
    reg = grover(MARKED, rounds)
    probabilities = reg.probabilities()
    best = max(range(len(probabilities)), key=probabilities.__getitem__)
    print(f"{2**QUBITS} items, marked item {MARKED} ({MARKED:05b}), {rounds} rounds")
    print(f"most likely item: {best} with probability {probabilities[best]:.4f}")

    shots = 200
    hits = sum(reg.measure_all() == MARKED for _ in range(shots))
    print(f"measure_all found the marked item in {hits} of {shots} shots")
    assert best == MARKED


if __name__ == "__main__":
    main()
