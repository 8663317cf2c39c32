"""Bell pair: a Hadamard on qubit 0, then a NOT on qubit 1 controlled by qubit 0.

Prints the probability of every basis state and a histogram of 1000 shots of
measure_all(): only |00> and |11> ever appear, about half the time each.
"""

import velqor

H = 0.7071067811865475  # the double nearest 1/sqrt(2)
HADAMARD = velqor.QGate([[H, H], [H, -H]])
NOT = velqor.QGate([[0, 1], [1, 0]])
SHOTS = 1000


def label(index, qubits):
    """Basis state as |q(n-1) ... q1 q0>, qubit 0 rightmost."""
    return "|" + format(index, f"0{qubits}b") + ">"


def main():
    reg = velqor.Register(2)
    reg.apply_gate(HADAMARD, [0], [])
    reg.apply_gate(NOT, [1], [0])

    print("probabilities")
    for index, p in enumerate(reg.probabilities()):
        print(f"  {label(index, 2)}  {p:.4f}")

    counts = [0] * 4
    for _ in range(SHOTS):
        counts[reg.measure_all()] += 1
    print(f"\n{SHOTS} shots of measure_all()")
    for index, count in enumerate(counts):
        print(f"  {label(index, 2)}  {count:4d}  {'#' * round(50 * count / SHOTS)}")


if __name__ == "__main__":
    main()
