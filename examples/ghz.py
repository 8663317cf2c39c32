"""GHZ state on five qubits: (|00000> + |11111>) / sqrt(2).

A Hadamard on qubit 0 and a chain of controlled NOTs spread the superposition.
Measuring qubit 0 then fixes every other qubit to the same value.
"""

import velqor

QUBITS = 5
H = 0.7071067811865475
HADAMARD = velqor.QGate([[H, H], [H, -H]])
NOT = velqor.QGate([[0, 1], [1, 0]])


def ghz(qubits):
    reg = velqor.Register(qubits)
    reg.apply_gate(HADAMARD, [0], [])
    for q in range(1, qubits):
        reg.apply_gate(NOT, [q], [q - 1])
    return reg


def main():
    reg = ghz(QUBITS)
    print("non-zero probabilities")
    for index, p in enumerate(reg.probabilities()):
        if p > 0.0:
            print(f"  |{index:0{QUBITS}b}>  {p:.4f}")

    first = reg.measure(0)
    rest = [reg.measure(q) for q in range(1, QUBITS)]
    print(f"\nmeasured qubit 0: {first}; qubits 1..{QUBITS - 1}: {rest}")
    assert rest == [first] * (QUBITS - 1)

    agree = sum(len(set(format(ghz(QUBITS).measure_all(), f"0{QUBITS}b"))) == 1 for _ in range(200))
    print(f"measure_all on 200 fresh GHZ states: all qubits equal in {agree} of 200")


if __name__ == "__main__":
    main()
