"""Results through the Python surface: probabilities against the pure-Python
model, measurement statistics, and whole-process behaviour (worker pool,
threads, fork, exit)."""

import json
import math
import threading

import pytest

import velqor
from model import Model, gate_matrices, random_circuit, ry
from support import run_python

GATES = {name: velqor.QGate(matrix) for name, matrix in gate_matrices().items()}
MATRICES = gate_matrices()
HADAMARD = MATRICES["H"]


def run_circuit(qubits, steps):
    reg, model = velqor.Register(qubits), Model(qubits)
    for name, targets, controls in steps:
        reg.apply_gate(GATES[name], targets, controls)
        model.apply_gate(MATRICES[name], targets, controls)
    return reg, model


@pytest.mark.parametrize(
    ("qubits", "length", "seed"),
    [(1, 20, 1), (2, 30, 2), (3, 40, 3), (4, 40, 4), (5, 40, 5), (7, 40, 6), (8, 30, 7), (10, 25, 8)],
)
def test_random_circuit_matches_the_model_bit_for_bit(qubits, length, seed):
    reg, model = run_circuit(qubits, random_circuit(qubits, length, seed))
    assert reg.probabilities() == model.probabilities()


def test_fresh_register_and_basis_states():
    assert velqor.Register(0).probabilities() == [1.0]
    assert velqor.Register(0).measure_all() == 0
    reg = velqor.Register(4)
    reg.apply_gate(GATES["X"], [0, 2], [])
    for _ in range(5):
        assert reg.measure_all() == 0b0101
    assert [reg.measure(q) for q in range(4)] == [1, 0, 1, 0]
    assert reg.probabilities() == [0.0] * 5 + [1.0] + [0.0] * 10


def test_measure_collapses_one_qubit():
    reg = velqor.Register(1)
    reg.apply_gate(GATES["H"], [0], [])
    assert reg.probabilities() == [0.4999999999999999, 0.4999999999999999]
    outcome = reg.measure(0)
    assert reg.probabilities() == ([1.0, 0.0] if outcome == 0 else [0.0, 1.0])
    assert [reg.measure(0) for _ in range(10)] == [outcome] * 10


def test_measure_scales_survivors_without_renormalising():
    reg = velqor.Register(2)
    reg.apply_gate(GATES["H"], [0, 1], [])
    assert reg.probabilities() == [0.2499999999999999] * 4
    outcome = reg.measure(0)
    survivor = 0.5000000000000001
    expected = [survivor, 0.0, survivor, 0.0] if outcome == 0 else [0.0, survivor, 0.0, survivor]
    assert reg.probabilities() == expected


def within_six_sigma(count, shots, p):
    sigma = math.sqrt(shots * p * (1 - p))
    return abs(count - shots * p) <= 6 * sigma + 1


@pytest.mark.parametrize("theta", [math.pi / 2, 1.0, 2.5])
def test_measure_outcome_frequencies(theta):
    gate = velqor.QGate(ry(theta))
    shots = 3000
    ones = 0
    for _ in range(shots):
        reg = velqor.Register(1)
        reg.apply_gate(gate, [0], [])
        ones += reg.measure(0)
    assert within_six_sigma(ones, shots, math.sin(theta / 2) ** 2)


def test_measure_all_frequencies_follow_probabilities():
    reg, model = run_circuit(3, [("Ry(1.1)", [0], []), ("H", [1], []), ("Ry(2.0)", [2], [1])])
    probabilities = reg.probabilities()
    assert probabilities == model.probabilities()
    shots = 8000
    counts = [0] * 8
    for _ in range(shots):
        counts[reg.measure_all()] += 1
    for index, p in enumerate(probabilities):
        if p == 0.0:
            assert counts[index] == 0
        else:
            assert within_six_sigma(counts[index], shots, p), (index, counts)
    # The state was not touched by the draws.
    assert reg.probabilities() == probabilities


def test_registers_on_several_python_threads():
    steps = random_circuit(9, 20, 11)
    expected = run_circuit(9, steps)[1].probabilities()
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                results.append(run_circuit(9, steps)[0].probabilities() == expected)
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and results == [True] * 12


CIRCUIT_CHILD = """
import json, sys, velqor
sys.path.insert(0, {tests!r})
from model import gate_matrices, random_circuit
gates = {{n: velqor.QGate(m) for n, m in gate_matrices().items()}}
reg = velqor.Register(14)
for name, targets, controls in random_circuit(14, 30, 5):
    reg.apply_gate(gates[name], targets, controls)
print(json.dumps([p.hex() for p in reg.probabilities()]))
print(reg.measure(3), reg.measure_all() < 2**14)
"""


def test_probabilities_do_not_depend_on_the_worker_count():
    import os

    code = CIRCUIT_CHILD.format(tests=os.path.dirname(__file__))
    outputs = []
    for workers in ("1", "4"):
        result = run_python(code, RAYON_NUM_THREADS=workers)
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""
        lines = result.stdout.splitlines()
        assert lines[1].split()[1] == "True"
        outputs.append(json.loads(lines[0]))
    assert len(outputs[0]) == 2**14
    assert outputs[0] == outputs[1]


def test_process_exits_cleanly_with_the_pool_running():
    result = run_python(
        """
        import threading, velqor
        h = 0.7071067811865475
        g = velqor.QGate([[h, h], [h, -h]])
        reg = velqor.Register(16)
        reg.apply_gate(g, list(range(16)), [])
        print(reg.measure(0) in (0, 1), len(reg.probabilities()))
        keep = velqor.Register(12)   # still alive at shutdown
        """
    )
    assert result.returncode == 0
    assert result.stdout == "True 65536\n"
    assert result.stderr == ""


def test_forked_child_simulates_and_draws_its_own_outcomes():
    result = run_python(
        """
        import os, velqor
        h = 0.7071067811865475
        g = velqor.QGate([[h, h], [h, -h]])
        def outcomes():
            big = velqor.Register(14)
            big.apply_gate(g, list(range(14)), [])      # parallel loops in this process
            out = []
            for _ in range(64):
                reg = velqor.Register(1)
                reg.apply_gate(g, [0], [])
                out.append(reg.measure(0))
            return "".join(map(str, out))
        before = outcomes()                 # pool and generator exist before the fork
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read)
            os.write(write, outcomes().encode())
            os._exit(0)
        os.close(write)
        mine = outcomes()
        theirs = b""
        while chunk := os.read(read, 256):
            theirs += chunk
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), len(theirs), theirs.decode() != mine, before != mine)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "64", "True", "True"]
