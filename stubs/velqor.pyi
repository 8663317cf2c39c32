"""State-vector quantum circuit simulator (native extension for CPython 3.11 to 3.15).

A register of n qubits holds 2**n complex amplitudes; qubit k is bit k of a
basis-state index (qubit 0 is the least significant bit).
"""

from collections.abc import Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, TypeVar, final, type_check_only

__all__ = ["QGate", "Register"]

_T_co = TypeVar("_T_co", covariant=True)

@type_check_only
class _SequenceLike(Protocol[_T_co]):
    """Anything with ``__len__`` and ``__getitem__`` by position (a list, tuple,
    range or NumPy array, for example), except a ``str``."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...

@type_check_only
class _SupportsComplexParts(Protocol):
    """Anything with numeric ``real`` and ``imag`` attributes (NumPy scalars, for example)."""

    @property
    def real(self) -> SupportsFloat | SupportsIndex: ...
    @property
    def imag(self) -> SupportsFloat | SupportsIndex: ...

@type_check_only
class _IntegerArray(_SequenceLike[SupportsIndex], Protocol):
    """An array of integers (a NumPy integer array, for example): ``item(i)``
    gives its element ``i`` as an integer."""

    def item(self, index: SupportsIndex, /) -> SupportsIndex: ...

_Entry = complex | _SupportsComplexParts
_Matrix = _SequenceLike[_SequenceLike[_Entry]]
_Qubits = Sequence[SupportsIndex] | _IntegerArray

@final
class QGate:
    """A single-qubit gate: a unitary 2 by 2 complex matrix, immutable once built.

    ``matrix`` is a sequence of two rows, each a sequence of two numbers
    (``complex``, ``float``, ``int``, or anything with numeric ``real`` and
    ``imag`` attributes), or a 2 by 2 NumPy array. The matrix must be unitary:
    every column of length 1 and the two columns orthogonal, each within ten
    units in the last place.

    Raises ``TypeError`` for a string or a non-sequence, and
    ``pyo3_runtime.PanicException`` (a ``BaseException``) for a matrix that is
    not 2 by 2 or not unitary. One gate may be applied by any number of calls.
    """

    def __new__(cls, matrix: _Matrix) -> QGate: ...

@final
class Register:
    """A register of ``qubits`` qubits (0 to 29) in the state with every qubit 0.

    It holds 2**qubits amplitudes of 16 bytes each. ``MemoryError`` when the
    system cannot provide that memory; ``pyo3_runtime.PanicException`` for 30
    qubits or more; ``OverflowError`` for a negative or too large count.
    """

    def __new__(cls, qubits: SupportsIndex) -> Register: ...
    def apply_gate(self, gate: QGate, targets: _Qubits, controls: _Qubits) -> None:
        """Applies ``gate`` to each qubit of ``targets`` in order, on the basis
        states where every qubit of ``controls`` is 1. Both are sequences of
        qubit numbers (a list, tuple, range or NumPy integer array).

        A qubit listed twice in ``targets`` gets the gate twice. A control equal
        to the target, or not below the qubit count, is never satisfied. A
        target not below the qubit count raises ``PanicException`` after the
        earlier targets have been applied.
        """

    def probabilities(self) -> list[float]:
        """A new list of 2**n floats: the squared modulus of every amplitude, in
        basis-state order (not renormalised)."""

    def measure(self, target: SupportsIndex) -> int:
        """Measures qubit ``target``: draws 0 or 1 from its marginal
        probabilities, collapses the state onto the outcome and returns it."""

    def measure_all(self) -> int:
        """Draws one basis-state index from the whole distribution; the state is
        left unchanged."""
