"""Checks of the comparison harness: its NumPy reference, the circuits it
times, its agreement checks and its tables. Needs NumPy, no peer simulator;
the velqor cases need the module installed. Part of scripts/test.sh:

    python3 -m pytest -q bench/test_compare.py
"""

import argparse
import itertools
import math
import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from comparison import agreement as A
from comparison import contenders as S
from comparison import gates as G
from comparison import harness as T
from comparison import report as R
from comparison.cli import parse_qubits


def brute_force(n, ops):
    """Amplitudes by the definition: every pair of indices differing in the
    target bit, with every control bit set, gets the 2x2 matrix."""
    psi = [0j] * (1 << n)
    psi[0] = 1 + 0j
    for op in ops:
        (m00, m01), (m10, m11) = G.op_matrix(op)
        bit = 1 << op.target
        for i in range(1 << n):
            if i & bit or any(not (i >> c) & 1 for c in op.controls):
                continue
            a0, a1 = psi[i], psi[i | bit]
            psi[i], psi[i | bit] = m00 * a0 + m01 * a1, m10 * a0 + m11 * a1
    return [abs(a) ** 2 for a in psi]


def run_numpy(n, ops):
    session = S.NumpySession(np, n, seed=1)
    for op in ops:
        session.apply(op)
    return session


@pytest.mark.parametrize("text, expected", [
    ("4,8,12", [4, 8, 12]),
    ("16-20", [16, 17, 18, 19, 20]),
    ("20, 4,4", [4, 20]),
])
def test_parse_qubits_accepts(text, expected):
    assert parse_qubits(text) == expected


@pytest.mark.parametrize("text", ["3", "30", "12-8", "", "x"])
def test_parse_qubits_refuses(text):
    with pytest.raises((ValueError, argparse.ArgumentTypeError)):
        parse_qubits(text)


@pytest.mark.parametrize("n, seed", [(4, 1), (5, 2), (6, 3)])
def test_numpy_reference_matches_definition(n, seed):
    ops = G.random_circuit(n, 40, seed)
    assert {op.kind for op in ops} >= {"h", "cx", "ccx", "u"}
    got = run_numpy(n, ops).probabilities()
    assert A.max_diff(got, brute_force(n, ops)) < 1e-13
    assert math.isclose(sum(got), 1.0, abs_tol=1e-12)


@pytest.mark.parametrize("n", [4, 6])
def test_numpy_reference_matches_velqor(n):
    velqor = S.VelqorSim(1)
    if not velqor.available():
        pytest.skip(velqor.reason)
    ops = G.random_circuit(n, 60, 7)
    session = velqor.open(n)
    for op in ops:
        session.apply(op)
    assert A.max_diff(session.probabilities(), run_numpy(n, ops).probabilities()) < 1e-13


@pytest.mark.parametrize("target", [0, 2, 3])
def test_numpy_measure_collapses_and_renormalises(target):
    session = run_numpy(4, [G.Op("h", t) for t in range(4)])
    outcome = session.measure(target)
    assert session.measure(target) == outcome
    want = [0.125 if (i >> target) & 1 == outcome else 0.0 for i in range(16)]
    assert A.max_diff(session.probabilities(), want) < 1e-15


def test_numpy_sampling_of_a_basis_state():
    session = run_numpy(5, [G.Op("x", 1), G.Op("x", 4)])
    assert {session.sample_one() for _ in range(20)} == {18}
    assert session.sample_batch(50) == [18] * 50


class Mirrored(S.NumpySim):
    """A contender that numbers qubits from the other end."""
    name = "mirrored"

    def open(self, n):
        session = S.NumpySession(np, n)
        plain = session.apply
        session.apply = lambda op: plain(G.Op(op.kind, n - 1 - op.target,
                                              tuple(n - 1 - c for c in op.controls), op.phi, op.matrix))
        return session


class NoCollapse(S.NumpySim):
    """A contender whose measurement leaves the state alone."""
    name = "no-collapse"

    def open(self, n):
        session = S.NumpySession(np, n)
        session.measure = lambda t: 0
        return session


def test_agreement_accepts_the_reference():
    A.check_agreement({S.NUMPY: S.NumpySim(1)}, log=lambda _: None)


@pytest.mark.parametrize("bad, message", [
    (Mirrored, "does not give basis state 1"),
    (NoCollapse, "does not collapse"),
])
def test_agreement_refuses_a_different_convention(bad, message):
    sims = {S.NUMPY: S.NumpySim(1), bad.name: bad(1)}
    with pytest.raises(A.Disagreement, match=message):
        A.check_agreement(sims, log=lambda _: None)


def timing(seconds):
    return T.Timing(seconds, 3, 1)


def test_table_ratio_uses_the_fastest_peer_and_marks_missing_cells():
    results = T.Results()
    results.put("h", 12, S.VELQOR, timing(4e-6))
    results.put("h", 12, S.QULACS, timing(2e-6))
    results.put("h", 12, S.AER, S.NOT_INSTALLED)
    results.put("h", 12, S.NUMPY, timing(8e-6))
    results.put("h", 12, S.PROBE, timing(1e-6))
    text = R.markdown(results, [12], list(S.TABLE_CONTENDERS), [])
    row = next(line for line in text.splitlines() if line.startswith("| 12 |"))
    assert row == "| 12 | 4 µs | 2 µs | not installed | 8 µs | 1 µs | Qulacs | 2.00 | 4.00 |"


def test_batch_row_compares_velqor_single_calls():
    results = T.Results()
    results.put("sample1", 8, S.VELQOR, timing(3e-7))
    results.put("sampleN", 8, S.QULACS, timing(1e-7))
    text = R.markdown(results, [8], [S.VELQOR, S.QULACS], [])
    rows = [line for line in text.splitlines() if line.startswith("| 8 |")]
    assert rows[-1] == "| 8 | 300 ns | 100 ns | Qulacs | 3.00 |"


def test_worker_lines_round_trip():
    sent, got = T.Results(), T.Results()
    lines = []
    sent.sink = type("Sink", (), {"write": lambda self, s: lines.append(s), "flush": lambda self: None})()
    sent.put("measure", 20, S.AER, T.Timing(1.5e-3, 3, 20, "note"))
    sent.put("probs", 20, S.AER, S.SKIPPED)
    sent.put_circuit("whole", S.AER, timing(0.25))
    for line in lines:
        got.take(line)
    assert got.cells == sent.cells and got.circuit == sent.circuit
    with pytest.raises(A.Disagreement, match="off by one"):
        got.take('{"disagreement": "off by one"}')


@pytest.mark.parametrize("n, previous, expected", [(20, 16, 2.0 ** 4 * 20 * 3), (16, 20, 0.0)])
def test_estimate_scales_with_the_state(n, previous, expected):
    results = T.Results()
    results.put("h", previous, S.NUMPY, timing(1.0))
    policy = T.Policy(3, 5, 0.0, 0.0, 60.0)
    assert T.estimate(results, "h", n, S.NUMPY, n, policy) == expected


def test_random_circuit_is_fixed_by_its_seed():
    a, b = G.random_circuit(20, 1000, G.CIRCUIT_SEED), G.random_circuit(20, 1000, G.CIRCUIT_SEED)
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


@pytest.mark.parametrize("n", [3, 5])
def test_qft_circuit_is_the_fourier_transform_of_its_product_state(n):
    ops = G.qft_circuit(n, G.CIRCUIT_SEED)
    product = run_numpy(n, ops[:n]).psi
    # Without the final reversal, output index rev(y) holds sum_x e^{2πixy/N} psi[x] / sqrt(N).
    want = np.fft.ifft(product) * math.sqrt(1 << n)
    reversed_index = [int(format(y, f"0{n}b")[::-1], 2) for y in range(1 << n)]
    got = run_numpy(n, ops).psi
    assert np.allclose(got[reversed_index], want, rtol=0, atol=1e-12)
    assert np.ptp(np.abs(got) ** 2) > 1e-3        # not uniform: the probability check means something


class NumpyCircuits(S.Simulator):
    """Whole circuits on the NumPy reference; `mirror` numbers qubits from the other end."""
    sessions = False

    def __init__(self, name, mirror=False):
        self.name, self.mirror = name, mirror

    def ways(self, n, ops):
        def flip(op):
            return G.Op(op.kind, n - 1 - op.target, tuple(n - 1 - c for c in op.controls), op.phi, op.matrix)

        def build():
            held = {}

            def setup():
                held["session"] = S.NumpySession(np, n)

            def run():
                for op in ops:
                    held["session"].apply(flip(op) if self.mirror else op)
                return len(ops)
            return setup, run, lambda: np.array(held["session"].probabilities())
        return [(self.name, build)]


def test_circuits_are_timed_only_once_they_match_velqors_result(tmp_path):
    cases = G.circuit_cases([5], [4], 30)
    one_sample = lambda n: T.Policy(1, 1, 0.0, 0.0, math.inf)   # noqa: E731
    results = T.Results()

    def run(sim, folder=tmp_path):
        T.time_circuits(sim, cases, one_sample, folder, results, lambda _: None, np)

    (tmp_path / "empty").mkdir()
    run(NumpyCircuits("peer"), tmp_path / "empty")            # no velqor result to check against
    assert {results.circuit[(c.key, "peer")] for c in cases} == {"unchecked: no velqor result"}
    run(NumpyCircuits(S.VELQOR))
    run(NumpyCircuits("peer"))
    for case in cases:
        timed = results.circuit[(case.key, "peer")]
        assert isinstance(timed, T.Timing) and timed.ops == len(case.ops()) and timed.samples == 1
    with pytest.raises(A.Disagreement, match="mirrored: final probabilities differ"):
        run(NumpyCircuits("mirrored", mirror=True))


def test_circuit_table_compares_peers_and_the_gate_by_gate_build():
    results = T.Results()
    case = G.CircuitCase("random", 16, 200)
    for column, value in ((S.VELQOR, timing(0.5)), (S.VELQOR_GATE_BY_GATE, timing(1.0)),
                          (S.QSIM, timing(0.25)), (S.AER, S.NOT_INSTALLED)):
        results.put_circuit(case.key, column, value)
    text = R.circuit_markdown(results, [S.VELQOR, S.VELQOR_GATE_BY_GATE, S.QSIM, S.AER], [case])
    row = next(line for line in text.splitlines() if line.startswith("| random"))
    assert row == "| random, n = 16 (200 gates) | 500 ms | 1 s | 250 ms | not installed | qsim | 2.00 | 0.50 |"


class Recorder:
    """Stands in for velqor's module: registers that log their calls."""

    def __init__(self):
        self.calls = []
        recorder = self

        class Register:
            def __init__(self, n):
                pass

            def __getattr__(self, name):
                return lambda *args: recorder.calls.append(name)

        self.Register, self.QGate = Register, lambda matrix: matrix


def velqor_on(recorder):
    sim = S.VelqorSim.__new__(S.VelqorSim)
    sim.mod, sim.H, sim.X = recorder, "H", "X"
    return sim


@pytest.mark.parametrize("work", ["h_pass", "cx_pass", "ccx_pass", "circuit"])
def test_velqor_timed_gates_end_with_a_read_that_runs_them(work):
    recorder = Recorder()
    sim = velqor_on(recorder)
    if work == "circuit":
        setup, run, _ = sim.circuit(5, G.random_circuit(5, 12, 3))
        setup()
        count = run()
    else:
        count = getattr(sim.open(5), work)()
    assert recorder.calls == ["apply_gate"] * count + ["measure_all"]
    assert count == (12 if work == "circuit" else 5)
