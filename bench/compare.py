#!/usr/bin/env python3
"""Side-by-side timings of velqor and the simulators users already know.

    python bench/compare.py [--quick] [--qubits 4,8,12] [--circuit-qubits 16,20] [--plot PATH] ...

Prints Markdown tables to stdout and writes a PNG plot. Run it through
bench/compare.sh, which builds velqor from the working tree (and its
gate-by-gate build) into a private virtual environment together with the
contenders. The harness itself lives in bench/comparison/.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from comparison.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
