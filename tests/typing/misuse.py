"""Planted misuse: each line marked `# planted` must be reported by mypy
--strict and by pyright (strict), and no other line may be."""

import numpy as np

import velqor
from velqor import QGate, Register

NOT = QGate([[0, 1], [1, 0]])
reg = Register(2)

reg.apply_gate("not a gate", [0], [])  # planted
reg.measure("0")  # planted
reg.apply_gate(NOT, "01", [])  # planted
reg.apply_gate(NOT, [0.5], [])  # planted
reg.apply_gate(NOT, np.array([0, 1], dtype=np.float64), [])  # planted
reg.apply_gate(NOT, [0])  # planted
Register(qubits=2.0)  # planted
Register(n=3)  # planted
QGate([[1, 0], [0, "1"]])  # planted
QGate(NOT)  # planted
label: str = reg.measure_all()  # planted
reg.probabilities().append("0.5")  # planted
velqor.PanicException  # planted


class Custom(QGate):  # planted
    pass
