"""Grover search over 2**5 = 32 items for one marked item.

The oracle flips the sign of the marked basis state: a Z gate on one qubit
controlled by all the others, with X gates around it on the qubits where the
marked index has a 0 bit. The diffusion step is the same phase flip of |0...0>
between Hadamard layers. After floor(pi/4 * sqrt(32)) = 4 rounds the marked
item is found with probability about 0.999. With matplotlib installed it also
writes grover.png: the probability of the marked item after 0 to 12 rounds,
which rises to its peak at round 4 and falls again.
"""

import math

import figure
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
    args = figure.options(__doc__)
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

    plt = figure.pyplot(args)
    if plt:
        sweep = range(13)
        success = [grover(MARKED, r).probabilities()[MARKED] for r in sweep]
        theta = math.asin(math.sqrt(1 / 2**QUBITS))
        fig, ax = plt.subplots(figsize=(6, 4.2))
        ax.plot(list(sweep), success, "o-", label="velqor: probabilities()[marked]")
        fine = [i / 10 for i in range(121)]
        ax.plot(fine, [math.sin((2 * r + 1) * theta) ** 2 for r in fine], ":", color="gray",
                label="sin^2((2r+1) theta)")
        ax.axvline(rounds, color="#dd8452", lw=1, label=f"floor(pi/4 sqrt(N)) = {rounds}")
        ax.set_xlabel("Grover rounds r")
        ax.set_ylabel("probability of the marked item")
        ax.set_title(f"Grover search, N = {2**QUBITS}, marked item {MARKED}")
        ax.set_ylim(-0.02, 1.05)
        # Below the axes, so that the curve keeps the whole height.
        ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.2), ncol=2, fontsize=8)
        figure.save(fig, args, "grover.png")


if __name__ == "__main__":
    main()
