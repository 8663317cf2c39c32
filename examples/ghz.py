"""GHZ state on five qubits: (|00000> + |11111>) / sqrt(2).

A Hadamard on qubit 0 and a chain of controlled NOTs spread the superposition.
Measuring qubit 0 then fixes every other qubit to the same value. With
matplotlib installed it also writes ghz.png: 1000 shots of measure_all() beside
the exact probabilities of all 32 basis states.
"""

import figure
import velqor

QUBITS = 5
SHOTS = 1000
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
    args = figure.options(__doc__)
    reg = ghz(QUBITS)
    probabilities = reg.probabilities()
    print("non-zero probabilities")
    for index, p in enumerate(probabilities):
        if p > 0.0:
            print(f"  {figure.ket(index, QUBITS)}  {p:.4f}")

    counts = [0] * 2**QUBITS
    for _ in range(SHOTS):
        counts[reg.measure_all()] += 1

    first = reg.measure(0)
    rest = [reg.measure(q) for q in range(1, QUBITS)]
    print(f"\nmeasured qubit 0: {first}; qubits 1..{QUBITS - 1}: {rest}")
    assert rest == [first] * (QUBITS - 1)

    agree = sum(len(set(format(ghz(QUBITS).measure_all(), f"0{QUBITS}b"))) == 1 for _ in range(200))
    print(f"measure_all on 200 fresh GHZ states: all qubits equal in {agree} of 200")

    plt = figure.pyplot(args)
    if plt:
        fig = figure.shots_beside_exact(plt, QUBITS, probabilities, counts, SHOTS,
                                        "GHZ state on 5 qubits (|00000> + |11111>)/sqrt(2)")
        figure.save(fig, args, "ghz.png")


if __name__ == "__main__":
    main()
