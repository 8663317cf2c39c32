"""Figures for the examples: drawn with matplotlib when it is installed, skipped
(the example still prints its text) when it is not.

Every example takes `--no-plot` (text only) and `--out DIR` (where the PNG
goes; the current directory by default).
"""

import argparse
import os

DPI = 110
# The widest figure, in inches: 792 pixels at DPI, as wide as the user guide's
# text column shows an image, so that no figure is scaled down there.
PAGE_WIDTH = 7.2


def options(doc):
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--no-plot", action="store_true", help="print text only, write no figure")
    parser.add_argument("--out", default=".", help="folder for the PNG (default: current folder)")
    return parser.parse_args()


def pyplot(args):
    """matplotlib.pyplot with a file-only backend, or None for text only."""
    if args.no_plot:
        return None
    try:
        import matplotlib
    except ImportError:
        print("(matplotlib is not installed: no figure)")
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def save(fig, args, name):
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, name)
    fig.tight_layout()
    fig.savefig(path, dpi=DPI)
    print(f"figure written: {path}")


def ket(index, qubits):
    """Basis state `index` as |q(n-1) ... q1 q0>, qubit 0 rightmost."""
    return "|" + format(index, f"0{qubits}b") + ">"


def shots_beside_exact(plt, qubits, exact, counts, shots, title):
    """Bars of the exact probabilities with the measured shot frequencies beside
    them, one pair per basis state, labelled as kets."""
    labels = [ket(i, qubits) for i in range(2**qubits)]
    fig, ax = plt.subplots(figsize=(min(PAGE_WIDTH, max(5.0, 0.32 * len(labels) + 2.5)), 3.6))
    positions = range(len(labels))
    width = 0.4
    ax.bar([p - width / 2 for p in positions], exact, width, label="exact probability", color="#4c72b0")
    ax.bar([p + width / 2 for p in positions], [c / shots for c in counts], width,
           label=f"{shots} shots of measure_all()", color="#dd8452")
    many = len(labels) > 8  # then the labels stand upright, in a smaller size, to fit the page's width
    ax.set_xticks(list(positions), labels, rotation=90 if many else 0, family="monospace", fontsize=8 if many else None)
    qubit_order = " ".join(f"q{k}" for k in reversed(range(qubits)))
    ax.set_xlabel(f"basis state |{qubit_order}> (qubit 0 rightmost)")
    ax.set_ylabel("probability")
    ax.set_ylim(0, 1.3 * max(max(exact), max(counts) / shots))
    ax.set_title(title)
    ax.legend(loc="upper center")
    return fig
