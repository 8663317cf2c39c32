"""Bell pair: a Hadamard on qubit 0, then a NOT on qubit 1 controlled by qubit 0.

Prints the probability of every basis state and a histogram of 1000 shots of
measure_all(): only |00> and |11> ever appear, about half the time each. With
matplotlib installed it also writes bell.png, the shot histogram beside the
exact probabilities.
"""

import figure
import velqor

H = 0.7071067811865475  # the double nearest 1/sqrt(2)
HADAMARD = velqor.QGate([[H, H], [H, -H]])
NOT = velqor.QGate([[0, 1], [1, 0]])
SHOTS = 1000


def main():
    args = figure.options(__doc__)
    reg = velqor.Register(2)
    reg.apply_gate(HADAMARD, [0], [])
    reg.apply_gate(NOT, [1], [0])

    probabilities = reg.probabilities()
    print("probabilities")
    for index, p in enumerate(probabilities):
        print(f"  {figure.ket(index, 2)}  {p:.4f}")

    counts = [0] * 4
    for _ in range(SHOTS):
        counts[reg.measure_all()] += 1
    print(f"\n{SHOTS} shots of measure_all()")
    for index, count in enumerate(counts):
        print(f"  {figure.ket(index, 2)}  {count:4d}  {'#' * round(50 * count / SHOTS)}")

    plt = figure.pyplot(args)
    if plt:
        fig = figure.shots_beside_exact(plt, 2, probabilities, counts, SHOTS, "Bell pair (|00> + |11>)/sqrt(2)")
        figure.save(fig, args, "bell.png")


if __name__ == "__main__":
    main()
