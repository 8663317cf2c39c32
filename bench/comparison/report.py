"""The report: Markdown tables, the plot, and the description of the machine
and the libraries."""

from __future__ import annotations

import os
import platform
from pathlib import Path

from .contenders import (
    AER,
    FLOAT32_TOL,
    FLOAT64_TOL,
    NUMPY,
    PEERS,
    PROBE,
    QSIM,
    QULACS,
    QULACS_OPTIMISED,
    VELQOR,
    VELQOR_GATE_BY_GATE,
)
from .gates import CIRCUIT_SEED
from .harness import GATE_OPS, OPERATIONS, SHOTS, Timing

FORCED = ("velqor may hold gates back until the state is next read: each timed pass of n gates ends with "
          "`reg.measure_all()`, counted in the sample (one more pass over the state per n gates)")

# What each contender's cell measures, printed under every table.
TIMED = {
    "h": {
        VELQOR: f"`reg.apply_gate(H, [t], [])`, H given as a generic 2x2 `QGate`; {FORCED}",
        QULACS: "`gate.update_quantum_state(state)` on `qulacs.gate.H(t)` objects built beforehand (a specialised H kernel)",
        AER: "`AerState.apply_h(t)` for every t, then `flush()` (AerState queues gate calls; the flush runs them and is timed)",
        NUMPY: "`np.tensordot(U, psi, axes=([1], [axis]))` moved back into place on the (2,)*n view of the state",
    },
    "cx": {
        VELQOR: "`reg.apply_gate(X, [t], [c])`, then `reg.measure_all()` after the n gates",
        QULACS: "prebuilt `qulacs.gate.CNOT(c, t)` objects, `update_quantum_state`",
        AER: "`AerState.apply_cx(c, t)` for every t, then `flush()`",
        NUMPY: "tensordot on the sub-tensor where the control axis is 1",
    },
    "ccx": {
        VELQOR: "`reg.apply_gate(X, [t], [c1, c2])`, then `reg.measure_all()` after the n gates",
        QULACS: "prebuilt `qulacs.gate.TOFFOLI(c1, c2, t)` objects",
        AER: "`AerState.apply_mcx([c1, c2], t)` for every t, then `flush()`",
        NUMPY: "tensordot on the sub-tensor where both control axes are 1",
    },
    "probs": {
        VELQOR: "`reg.probabilities()` (returns a list)",
        QULACS: "`v = state.get_vector(); (v.real**2 + v.imag**2).tolist()` (get_vector copies the state out; Qulacs has no call for all probabilities)",
        AER: "`AerState.probabilities()` (returns a list)",
        NUMPY: "`(psi.real**2 + psi.imag**2).tolist()`",
    },
    "measure": {
        VELQOR: "`reg.measure(t)`",
        QULACS: "prebuilt `qulacs.gate.Measurement(t, t)` gates, `update_quantum_state`, then `state.get_classical_value(t)`",
        AER: "`AerState.apply_measure([t])` (returns the outcome)",
        NUMPY: "marginal sums on the (hi, 2, lo) view, one uniform draw, zero the other half and rescale the kept one",
    },
    "sample1": {
        VELQOR: f"`reg.measure_all()`; one gate was applied, untimed, before the {SHOTS} calls, so the first call's work "
                "(running that gate if it was held back, and the pass over the state) is included",
        QULACS: "`state.sampling(1)[0]`",
        AER: "`int(AerState.sample_memory(shots=1)[0], 2)` (the call returns bit strings)",
        NUMPY: "`cumsum` of the probabilities and `searchsorted` of one uniform draw, recomputed per call",
    },
    "sampleN": {
        VELQOR: f"no batch call: the per-call figure of the row above ({SHOTS} separate `measure_all()` calls)",
        QULACS: f"`state.sampling({SHOTS})`",
        AER: f"`[int(b, 2) for b in AerState.sample_memory(shots={SHOTS})]`",
        NUMPY: f"`cumsum` once and `searchsorted` of {SHOTS} uniform draws",
    },
}

# Columns of the circuit table, in this order, with what their timed call is.
CIRCUIT_TIMED = {
    VELQOR: "one `reg.apply_gate` per gate on a fresh `Register` (made untimed), then `reg.measure_all()`",
    VELQOR_GATE_BY_GATE: "the same calls on velqor built with `-DVELQOR_DEFERRED=OFF` (every gate runs when it is "
                         "called), imported from its own folder in its own process",
    QSIM: "`QSimSimulator(QSimOptions(cpu_threads=T)).run(circuit + measure(all qubits), repetitions=1)`: single "
          "precision, default fusion (gates of up to 2 qubits); Cirq gates H, X, ZPowGate, MatrixGate, CNOT, CCX, "
          "CZPowGate",
    AER: "`AerSimulator(method='statevector', max_parallel_threads=T).run(circuit + measure_all(), shots=1)"
         ".result().get_counts()`: default fusion; QuantumCircuit gates h, x, p, unitary, cx, ccx, cp",
    QULACS: "`circuit.update_quantum_state(state)` then `state.sampling(1)`, on a `QuantumCircuit` of H, X, U1, "
            "DenseMatrix, CNOT, TOFFOLI and controlled U1 (state reset untimed)",
    QULACS_OPTIMISED: "the same, with `QuantumCircuitOptimizer().optimize(circuit, 2)` inside the timed call",
}


def fmt_time(seconds) -> str:
    if not isinstance(seconds, (int, float)):
        return str(seconds)
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def cell_text(value) -> str:
    if isinstance(value, Timing):
        text = fmt_time(value.per_op)
        return f"{text} ({value.note})" if value.note else text
    return str(value)


def ratio(num, den) -> str:
    if isinstance(num, Timing) and isinstance(den, Timing) and den.per_op > 0:
        r = num.per_op / den.per_op
        return f"{r:.2f}" if r >= 0.1 else f"{r:.2g}"
    return "–"


def best_peer(values: dict):
    timed = [(v.per_op, name) for name, v in values.items() if name in PEERS and isinstance(v, Timing)]
    return min(timed) if timed else None


def table_row(first: str, values: dict, cols) -> list[str]:
    """A row's cells, the fastest peer and velqor's ratio to it."""
    peer = best_peer(values)
    row = [first] + [cell_text(values[c]) for c in cols]
    row.append(peer[1] if peer else "–")
    row.append(ratio(values.get(VELQOR), values.get(peer[1])) if peer else "–")
    return row


def markdown(results, qubits, names, header: list[str]) -> str:
    out = list(header)
    probe_cols = [PROBE]
    for op, title, unit in OPERATIONS:
        cols = list(names) + (probe_cols if op in GATE_OPS else [])
        out += ["", f"### {title}", "", f"_{unit}; best of the samples_", ""]
        head = ["n"] + cols + ["fastest peer", "velqor / fastest peer"]
        if op in GATE_OPS:
            head.append("velqor / memory pass")
        out.append("| " + " | ".join(head) + " |")
        out.append("|" + "---|" * len(head))
        for n in qubits:
            values = {name: results.get(op, n, name) for name in cols}
            if op == "sampleN" and VELQOR in values:
                values[VELQOR] = results.get("sample1", n, VELQOR)
            row = table_row(str(n), values, cols)
            if op in GATE_OPS:
                row.append(ratio(values.get(VELQOR), values.get(PROBE)))
            out.append("| " + " | ".join(row) + " |")
        out += ["", "What was timed:"]
        for name in names:
            out.append(f"- {name}: {TIMED[op][name]}")
        if op in GATE_OPS:
            out.append(f"- {PROBE}: NumPy `a *= 1.0` on 2^n complex128 (velqor has no such call), best of one thread "
                       "and all threads over equal chunks; one full read and write of the state. "
                       + {"h": "An H pass touches all of it.",
                          "cx": "A controlled X needs only the half where the control is 1.",
                          "ccx": "Two controls leave a quarter to touch."}[op])
    return "\n".join(out)


def circuit_markdown(results, columns, cases) -> str:
    if not results.circuit:
        return ""
    out = ["", "### Whole circuits, total time", "",
           "| circuit | " + " | ".join(columns) + " | fastest peer | velqor / fastest peer | velqor / gate by gate |",
           "|---|" + "---|" * (len(columns) + 3)]
    for case in cases:
        values = {c: results.circuit.get((case.key, c), "n/a") for c in columns}
        row = table_row(case.title(), values, columns)
        row.append(ratio(values.get(VELQOR), values.get(VELQOR_GATE_BY_GATE)))
        out.append("| " + " | ".join(row) + " |")
    out += ["", f"Random circuits: fixed seed {CIRCUIT_SEED}, gates drawn from H, X, phase diag(1, e^{{iφ}}), general "
            "rotation U(θ, φ, λ), CX, CCX and controlled phase on random qubits. Layered circuits: layers of a rotation "
            "U(θ, φ, λ) with random angles on every qubit, then CX from each qubit to the next one up, cut off at the "
            "same length. QFT: a general rotation on every qubit "
            "(a product state, so that the output is not uniform), then H and controlled phases, without the final "
            "qubit reversal. Each time runs every gate from |0...0> and ends with a one-shot read of the final state, "
            "which needs every gate executed; circuit objects are built before timing. Before any timing, each "
            "column's final probabilities were checked against velqor's (single precision within "
            f"{FLOAT32_TOL:g}, double precision within {FLOAT64_TOL:g}). Best of the samples. What was timed:"]
    out += [f"- {c}: {CIRCUIT_TIMED[c]}" for c in columns]
    return "\n".join(out)


FAIRNESS = """
### Differences between the contenders that bear on fairness

- velqor applies every gate as a generic 2x2 matrix (with controls); Qulacs and Aer have specialised kernels
  for H, X, CNOT and Toffoli. NumPy's tensordot makes temporary copies of the state (or sub-tensor) on every gate.
- Qulacs gates are objects that carry their qubits: they were built once per target before timing. velqor's
  `QGate` is reused with new target lists on each call, and the list building is part of its time.
- Aer's `AerState` queues gate calls and runs them on `flush()` (or on the next read-out); the flush is timed.
  velqor may likewise hold gates until the next read: its passes end with `measure_all()`, which is timed.
  Aer spreads a state over its threads only from its `statevector_parallel_threshold` option (14 qubits by
  default); Qulacs decides for itself when to use OpenMP. The defaults were kept. Aer's per-gate figures depend
  on how often it is flushed: here once per pass of n gates.
- `AerSimulator` fuses consecutive gates by default (from 14 qubits), and so does qsim (gates of up to two
  qubits); both do it inside the timed call. Qulacs' QuantumCircuit applies gates one by one unless its optimiser
  merges them first. qsim computes in single precision, the others in double precision. qsimcirq translates
  the Cirq circuit on every `run`, and Aer converts its QuantumCircuit on every `run`: both are in their times.
- velqor's `measure_all()` reuses the cumulative distribution it computed on the first call until the state
  changes, so 1,000 calls cost about one pass plus 1,000 cheap draws. Qulacs' `sampling(1)`, Aer's
  `sample_memory(shots=1)` and the NumPy reference redo an O(2^n) pass on every call; their batch calls are the
  fair comparison for many shots, and velqor has no batch call.
- Aer's `sample_memory` returns bit strings: the conversion to an int index is included in its time.
- Qulacs has no call that returns all probabilities: its time includes copying the state out with `get_vector()`
  and NumPy arithmetic before `.tolist()`. velqor and Aer build the list natively.
- The memory pass is a floor only once the state is larger than the last-level cache; below that it measures
  cache bandwidth, and at a few qubits it is mostly the cost of one NumPy call.
- On a machine loaded by other work, a contender whose threads meet at a barrier (OpenMP) loses a whole time
  slice whenever one of its threads is not scheduled; this shows as sudden millisecond steps at small sizes.
- All four `measure(t)` calls draw from the marginal totals, collapse and renormalise (checked before timing).
  Qulacs measures through a `Measurement` gate object and reads the outcome from its classical register.
"""

STYLES = {VELQOR: ("tab:red", "o", "-"), VELQOR_GATE_BY_GATE: ("darkred", "x", ":"),
          QULACS: ("tab:blue", "s", "-"), QULACS_OPTIMISED: ("tab:blue", "x", ":"),
          AER: ("tab:green", "^", "-"), QSIM: ("tab:orange", "v", "-"),
          NUMPY: ("tab:purple", "D", "-"), PROBE: ("black", "", "--")}


def draw(ax, series: dict, title: str, ylabel: str, xs) -> None:
    """One panel: a line per contender, log time against qubits."""
    for name, pts in series.items():
        if pts:
            color, marker, line = STYLES[name.split(" (")[0]]
            ax.plot(*zip(*pts), marker=marker, linestyle=line, color=color, label=name)
    ax.set_yscale("log")
    ax.set_title(title, fontsize=10)
    ax.set_xlabel("qubits")
    ax.set_ylabel(ylabel)
    ax.set_xticks(list(xs))
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7)


def plot(results, qubits, names, columns, cases, path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    families = [("random", "Random circuit, total time"), ("layered", "Layered circuit, total time"),
                ("qft", "QFT, total time")]
    fig, axes = plt.subplots(4, 3, figsize=(18, 17))
    for ax, (op, title, _unit) in zip(axes.flat, OPERATIONS):
        series = {}
        for name in list(names) + ([PROBE] if op in GATE_OPS else []):
            key = "sample1" if (op == "sampleN" and name == VELQOR) else op
            label = name + (" (per call, no batch)" if key != op else "")
            series[label] = [(n, results.get(key, n, name).per_op) for n in qubits
                             if isinstance(results.get(key, n, name), Timing)]
        draw(ax, series, title, "seconds per operation", qubits)
    for ax, (family, title) in zip(axes.flat[len(OPERATIONS):], families):
        sizes = [c.qubits for c in cases if c.family == family]
        series = {col: [(c.qubits, results.circuit[(c.key, col)].per_op) for c in cases
                        if c.family == family and isinstance(results.circuit.get((c.key, col)), Timing)]
                  for col in columns}
        if any(series.values()):
            draw(ax, series, title, "seconds, whole circuit", sizes)
        else:
            ax.axis("off")
    fig.tight_layout()
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def versions() -> str:
    from importlib import metadata
    found = []
    for dist in ("velqor", "qulacs", "qiskit", "qiskit-aer", "qsimcirq", "cirq-core", "numpy", "matplotlib"):
        try:
            found.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            found.append(f"{dist} not installed")
    return ", ".join(found)


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def last_level_cache() -> str:
    best = (0, "unknown")
    for index in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"):
        try:
            level = int((index / "level").read_text())
            best = max(best, (level, (index / "size").read_text().strip()))
        except (OSError, ValueError):
            continue
    return best[1]


def blas_info() -> str:
    """The native thread pools loaded in this (checking) process, by threadpoolctl."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "threadpoolctl not installed"
    pools = []
    for info in threadpool_info():
        parts = [info.get("internal_api"), info.get("version"), info.get("architecture"),
                 f"{info.get('num_threads')} threads", Path(info.get("filepath", "")).name]
        pools.append(" ".join(str(x) for x in parts if x))
    return "; ".join(pools) or "none loaded"


def header(quick, threads, pinned, load_start, load_end, seconds, tol, missing) -> list[str]:
    lines = [
        "## velqor against Qulacs, Qiskit Aer, qsim and NumPy" + (" (quick run)" if quick else ""),
        "",
        f"- threads: {threads} for every contender (" + ", ".join(f"{k}={v}" for k, v in pinned.items())
        + f", Aer max_parallel_threads={threads}, qsim cpu_threads={threads}); os.cpu_count() = {os.cpu_count()}; "
        "each contender timed alone in its own process",
        f"- OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', 'unset')}, "
        f"OPENBLAS_L2_SIZE={os.environ.get('OPENBLAS_L2_SIZE', 'unset')} (left as found); thread pools: {blas_info()}",
        f"- {cpu_model()}, last-level cache {last_level_cache()} (a state of 2^n x 16 bytes smaller than it "
        "stays in cache between gates); " f"Python {platform.python_version()}; {versions()}",
        f"- load average {load_start:.2f} at the start, {load_end:.2f} at the end; run took {seconds:.0f} s",
        "- times are the best of repeated `time.perf_counter` samples; agreement checked to "
        f"{tol:g} before timing",
        "- every timing includes executing the gates it counts: velqor's gate passes end with `measure_all()` and "
        "Aer's with `flush()`, inside the sample; whole circuits end with a one-shot read of the final state",
    ]
    if missing:
        lines.append("- not installed: " + "; ".join(missing))
    return lines
