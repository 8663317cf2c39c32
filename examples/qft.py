"""Quantum Fourier transform and its inverse on four qubits.

Builds the QFT from Hadamards and controlled phase gates, applies it to a basis
state, then applies the inverse circuit (the gates reversed, each phase
conjugated). The register ends in the input basis state, up to rounding in the
last bits of the amplitudes. With matplotlib installed it also writes qft.png:
the QFT's output distribution for a basis state (flat) and for a state with
period 4 (peaks at multiples of 16/4).
"""

import cmath
import math

import figure
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


def bit_reversed(index, qubits):
    return int(format(index, f"0{qubits}b")[::-1], 2)


def qft_distribution(prepare):
    """Output probabilities of the QFT (swaps left out, so read in bit-reversed
    order) of the state that `prepare` makes from |0000>."""
    reg = velqor.Register(QUBITS)
    prepare(reg)
    apply(reg, qft_steps(QUBITS))
    p = reg.probabilities()
    return [p[bit_reversed(k, QUBITS)] for k in range(2**QUBITS)]


def main():
    args = figure.options(__doc__)
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

    plt = figure.pyplot(args)
    if plt:
        basis = qft_distribution(lambda reg: reg.apply_gate(NOT, [0, 1, 3], []))
        # |1> + |5> + |9> + |13>: period 4, offset 1
        periodic = qft_distribution(lambda reg: (reg.apply_gate(NOT, [0], []), reg.apply_gate(HADAMARD, [2, 3], [])))
        fig, axes = plt.subplots(1, 2, figsize=(figure.PAGE_WIDTH, 3.4), sharey=True)
        for ax, dist, title in ((axes[0], basis, f"QFT of |{value:04b}>"),
                                (axes[1], periodic, "QFT of (|1>+|5>+|9>+|13>)/2, period 4")):
            ax.bar(range(2**QUBITS), dist, color="#4c72b0")
            ax.set_xticks(range(2**QUBITS))
            ax.tick_params(axis="x", labelsize=8)  # 16 numbers in half the page's width
            ax.set_xlabel("output k")
            ax.set_title(title, fontsize=10)
        axes[0].set_ylabel("probability")
        figure.save(fig, args, "qft.png")


if __name__ == "__main__":
    main()
