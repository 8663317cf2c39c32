"""Checks of the comparison harness: its NumPy reference, its agreement check
and its tables. Needs NumPy; the velqor cases need the module installed.

    build/bench-venv/bin/python -m pytest -q bench/test_compare.py
"""

import itertools
import math
import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare as C  # noqa: E402


def brute_force(n, ops):
    """Amplitudes by the definition: every pair of indices differing in the
    target bit, with every control bit set, gets the 2x2 matrix."""
    psi = [0j] * (1 << n)
    psi[0] = 1 + 0j
    for op in ops:
        (m00, m01), (m10, m11) = C.op_matrix(op)
        bit = 1 << op.target
        for i in range(1 << n):
            if i & bit or any(not (i >> c) & 1 for c in op.controls):
                continue
            a0, a1 = psi[i], psi[i | bit]
            psi[i], psi[i | bit] = m00 * a0 + m01 * a1, m10 * a0 + m11 * a1
    return [abs(a) ** 2 for a in psi]


def run_numpy(n, ops):
    session = C.NumpySession(np, n, seed=1)
    for op in ops:
        session.apply(op)
    return session


@pytest.mark.parametrize("text, expected", [
    ("4,8,12", [4, 8, 12]),
    ("16-20", [16, 17, 18, 19, 20]),
    ("20, 4,4", [4, 20]),
])
def test_parse_qubits_accepts(text, expected):
    assert C.parse_qubits(text) == expected


@pytest.mark.parametrize("text", ["3", "30", "12-8", "", "x"])
def test_parse_qubits_refuses(text):
    with pytest.raises((ValueError, C.argparse.ArgumentTypeError)):
        C.parse_qubits(text)


@pytest.mark.parametrize("n, seed", [(4, 1), (5, 2), (6, 3)])
def test_numpy_reference_matches_definition(n, seed):
    ops = C.random_circuit(n, 40, seed)
    assert {op.kind for op in ops} >= {"h", "cx", "ccx", "u"}
    got = run_numpy(n, ops).probabilities()
    assert C.max_diff(got, brute_force(n, ops)) < 1e-13
    assert math.isclose(sum(got), 1.0, abs_tol=1e-12)


@pytest.mark.parametrize("n", [4, 6])
def test_numpy_reference_matches_velqor(n):
    velqor = C.VelqorSim(1)
    if not velqor.available():
        pytest.skip(velqor.reason)
    ops = C.random_circuit(n, 60, 7)
    session = velqor.open(n)
    for op in ops:
        session.apply(op)
    assert C.max_diff(session.probabilities(), run_numpy(n, ops).probabilities()) < 1e-13


@pytest.mark.parametrize("target", [0, 2, 3])
def test_numpy_measure_collapses_and_renormalises(target):
    session = run_numpy(4, [C.Op("h", t) for t in range(4)])
    outcome = session.measure(target)
    assert session.measure(target) == outcome
    want = [0.125 if (i >> target) & 1 == outcome else 0.0 for i in range(16)]
    assert C.max_diff(session.probabilities(), want) < 1e-15


def test_numpy_sampling_of_a_basis_state():
    session = run_numpy(5, [C.Op("x", 1), C.Op("x", 4)])
    assert {session.sample_one() for _ in range(20)} == {18}
    assert session.sample_batch(50) == [18] * 50


class Mirrored(C.NumpySim):
    """A contender that numbers qubits from the other end."""
    name = "mirrored"

    def open(self, n):
        session = C.NumpySession(np, n)
        plain = session.apply
        session.apply = lambda op: plain(C.Op(op.kind, n - 1 - op.target,
                                              tuple(n - 1 - c for c in op.controls), op.phi, op.matrix))
        return session


class NoCollapse(C.NumpySim):
    """A contender whose measurement leaves the state alone."""
    name = "no-collapse"

    def open(self, n):
        session = C.NumpySession(np, n)
        session.measure = lambda t: 0
        return session


def test_agreement_accepts_the_reference():
    C.check_agreement({C.NUMPY: C.NumpySim(1)}, log=lambda _: None)


@pytest.mark.parametrize("bad, message", [
    (Mirrored, "does not give basis state 1"),
    (NoCollapse, "does not collapse"),
])
def test_agreement_refuses_a_different_convention(bad, message):
    sims = {C.NUMPY: C.NumpySim(1), bad.name: bad(1)}
    with pytest.raises(C.Disagreement, match=message):
        C.check_agreement(sims, log=lambda _: None)


def timing(seconds):
    return C.Timing(seconds, 3, 1)


def test_table_ratio_uses_the_fastest_peer_and_marks_missing_cells():
    results = C.Results()
    results.put("h", 12, C.VELQOR, timing(4e-6))
    results.put("h", 12, C.QULACS, timing(2e-6))
    results.put("h", 12, C.AER, C.NOT_INSTALLED)
    results.put("h", 12, C.NUMPY, timing(8e-6))
    results.put("h", 12, C.PROBE, timing(1e-6))
    text = C.markdown(results, [12], list(C.CONTENDERS), [])
    row = next(line for line in text.splitlines() if line.startswith("| 12 |"))
    assert row == "| 12 | 4 µs | 2 µs | not installed | 8 µs | 1 µs | Qulacs | 2.00 | 4.00 |"


def test_batch_row_compares_velqor_single_calls():
    results = C.Results()
    results.put("sample1", 8, C.VELQOR, timing(3e-7))
    results.put("sampleN", 8, C.QULACS, timing(1e-7))
    text = C.markdown(results, [8], [C.VELQOR, C.QULACS], [])
    rows = [line for line in text.splitlines() if line.startswith("| 8 |")]
    assert rows[-1] == "| 8 | 300 ns | 100 ns | Qulacs | 3.00 |"


def test_worker_lines_round_trip():
    sent, got = C.Results(), C.Results()
    lines = []
    sent.sink = type("Sink", (), {"write": lambda self, s: lines.append(s), "flush": lambda self: None})()
    sent.put("measure", 20, C.AER, C.Timing(1.5e-3, 3, 20, "note"))
    sent.put("probs", 20, C.AER, C.SKIPPED)
    sent.put_circuit("whole", C.AER, timing(0.25))
    for line in lines:
        got.take(line)
    assert got.cells == sent.cells and got.circuit == sent.circuit
    with pytest.raises(C.Disagreement, match="off by one"):
        got.take('{"disagreement": "off by one"}')


@pytest.mark.parametrize("n, previous, expected", [(20, 16, 2.0 ** 4 * 20 * 3), (16, 20, 0.0)])
def test_estimate_scales_with_the_state(n, previous, expected):
    results = C.Results()
    results.put("h", previous, C.NUMPY, timing(1.0))
    policy = C.Policy(3, 5, 0.0, 0.0, 60.0)
    assert C.estimate(results, "h", n, C.NUMPY, n, policy) == expected


def test_random_circuit_is_fixed_by_its_seed():
    a, b = C.random_circuit(20, 1000, C.CIRCUIT_SEED), C.random_circuit(20, 1000, C.CIRCUIT_SEED)
    assert a == b
    for op in a:
        qubits = (op.target,) + op.controls
        assert len(set(qubits)) == len(qubits) and all(0 <= q < 20 for q in qubits)
    kinds = {k: sum(1 for op in a if op.kind == k) for k in ("cx", "ccx", "cp")}
    assert all(count > 50 for count in kinds.values())
    # Every general rotation is unitary to rounding.
    for op in itertools.islice((op for op in a if op.kind == "u"), 20):
        m = np.array(op.matrix)
        assert np.allclose(m.conj().T @ m, np.eye(2), atol=1e-15)
