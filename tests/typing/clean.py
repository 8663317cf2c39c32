"""A typed user script: mypy --strict and pyright (strict) accept it without a
single diagnostic, and every result has the type the stubs promise."""

from collections.abc import Sequence
from fractions import Fraction
from typing import assert_type

import numpy as np
import numpy.typing as npt

import velqor
from velqor import QGate, Register

H = 0.7071067811865475


class Amplitude:
    """A matrix entry of the caller's own making: numeric real and imag."""

    def __init__(self, real: float, imag: float) -> None:
        self.real = real
        self.imag = imag


def bell() -> Register:
    hadamard = QGate([[H, H], [H, -H]])
    flip = QGate(matrix=((0, 1), (1, 0)))
    reg = Register(qubits=2)
    assert_type(reg.apply_gate(hadamard, [0], []), None)
    reg.apply_gate(gate=flip, targets=(1,), controls=range(0, 1))
    return reg


def phases() -> QGate:
    entries: list[list[complex | Amplitude]] = [[1, 0j], [Amplitude(0.0, 0.0), 1j]]
    return QGate(entries)


def fractions_and_bools(qubits: Sequence[int]) -> Register:
    reg = Register(True)
    reg.apply_gate(QGate([[Fraction(1), 0], [0, Fraction(1)]]), qubits, [])
    return reg


def numpy_arguments(controls: npt.NDArray[np.intp]) -> Register:
    """NumPy arrays for the matrix and the qubit lists, a NumPy integer count."""
    reg = Register(np.int64(3))
    reg.apply_gate(QGate(np.array([[H, H], [H, -H]])), np.arange(2), controls)
    reg.apply_gate(QGate(np.eye(2, dtype=np.complex64)), np.array([2], dtype=np.uint8), controls[:0])
    return reg


def main() -> None:
    reg = bell()
    probabilities = reg.probabilities()
    assert_type(probabilities, list[float])
    assert_type(reg.measure_all(), int)
    assert_type(reg.measure(0), int)
    assert_type(phases(), QGate)
    fractions_and_bools([0])
    assert numpy_arguments(np.array([], dtype=np.intp)).probabilities()[1] > 0.0
    names: list[str] = velqor.__all__
    print(names, sum(probabilities))


if __name__ == "__main__":
    main()
