"""Arguments and the run as a whole: the agreement check in this process, then
one worker process per contender, then the report."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

from . import report
from .agreement import AGREEMENT_TOL, Disagreement, check_agreement
from .contenders import CIRCUIT_COLUMNS, CONTENDERS, PROBE, TABLE_CONTENDERS, VELQOR, make
from .gates import circuit_cases
from .harness import Plan, Results, mark_missing, pin_threads, run_worker, worker

DEFAULT_QUBITS = (4, 8, 12, 16, 20, 22, 24, 26)
QUICK_QUBITS = (4, 8, 12)
CIRCUIT_QUBITS, QUICK_CIRCUIT_QUBITS = (16, 20, 22, 24, 26), (10, 14)
QFT_QUBITS, QUICK_QFT_QUBITS = (20, 24, 26), (12,)
CIRCUIT_GATES = 200
BENCH = Path(__file__).resolve().parent.parent
DESCRIPTION = "Side-by-side timings of velqor and the simulators users already know."


def parse_qubits(text: str) -> list[int]:
    """'4,8,12' or '4-12' style lists; every count must be 4..29."""
    counts: set[int] = set()
    for part in text.split(","):
        part = part.strip()
        if not part:
            continue
        if "-" in part:
            lo, hi = (int(x) for x in part.split("-", 1))
            if lo > hi:
                raise argparse.ArgumentTypeError(f"empty range {part!r}")
            counts.update(range(lo, hi + 1))
        else:
            counts.add(int(part))
    if not counts:
        raise argparse.ArgumentTypeError("no qubit count given")
    bad = [n for n in counts if not 4 <= n <= 29]
    if bad:
        raise argparse.ArgumentTypeError(f"qubit counts must be 4 to 29, got {sorted(bad)}")
    return sorted(counts)


def counts(full, quick) -> str:
    return f"default {','.join(map(str, full))}; --quick: {','.join(map(str, quick))}"


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=DESCRIPTION)
    p.add_argument("--qubits", type=parse_qubits, default=None,
                   help="qubit counts of the per-operation tables, e.g. 4,8,12 or 16-20 ("
                   + counts(DEFAULT_QUBITS, QUICK_QUBITS) + ")")
    p.add_argument("--quick", action="store_true",
                   help="smoke run: small sizes, one or two samples")
    p.add_argument("--plot", default=str(BENCH / "out" / "compare.png"),
                   help="PNG to write (default bench/out/compare.png); 'none' for no plot")
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1,
                   help="threads for every contender (default: all cores)")
    p.add_argument("--contenders", default=",".join(CONTENDERS),
                   help="comma-separated subset of: " + ", ".join(CONTENDERS))
    p.add_argument("--circuit-qubits", type=parse_qubits, default=None,
                   help="widths of the random circuit (" + counts(CIRCUIT_QUBITS, QUICK_CIRCUIT_QUBITS) + ")")
    p.add_argument("--layered-qubits", type=parse_qubits, default=None,
                   help="widths of the layered circuit, a rotation on every qubit then a CX ladder, repeated ("
                   + counts(CIRCUIT_QUBITS, QUICK_CIRCUIT_QUBITS) + ")")
    p.add_argument("--qft-qubits", type=parse_qubits, default=None,
                   help="widths of the QFT (" + counts(QFT_QUBITS, QUICK_QFT_QUBITS) + ")")
    p.add_argument("--circuit-gates", type=int, default=CIRCUIT_GATES,
                   help=f"random and layered circuit length (default {CIRCUIT_GATES})")
    p.add_argument("--no-circuit", action="store_true", help="leave out the whole circuits")
    p.add_argument("--no-tables", action="store_true", help="leave out the per-operation tables")
    p.add_argument("--gate-by-gate", default=None,
                   help="folder holding the gate-by-gate build of velqor (bench/compare.sh makes it)")
    p.add_argument("--cell-limit", type=float, default=None,
                   help="skip a cell whose estimated time exceeds this many seconds (default 60; --quick: 5)")
    p.add_argument("--worker", default=None, help=argparse.SUPPRESS)       # internal: time one contender
    p.add_argument("--reference", default=None, help=argparse.SUPPRESS)    # internal: velqor's circuit results
    return p


def make_plan(args, reference_dir) -> Plan:
    qubits = [] if args.no_tables else (args.qubits or list(QUICK_QUBITS if args.quick else DEFAULT_QUBITS))
    cases = [] if args.no_circuit else circuit_cases(
        args.circuit_qubits or (QUICK_CIRCUIT_QUBITS if args.quick else CIRCUIT_QUBITS),
        args.qft_qubits or (QUICK_QFT_QUBITS if args.quick else QFT_QUBITS),
        args.circuit_gates,
        args.layered_qubits or (QUICK_CIRCUIT_QUBITS if args.quick else CIRCUIT_QUBITS))
    return Plan(args.threads, args.quick, args.cell_limit, qubits, cases, Path(reference_dir), args.gate_by_gate)


def main(argv=None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    args = build_parser().parse_args(argv)
    if args.worker:
        return worker(args.worker, make_plan(args, args.reference), make, CIRCUIT_COLUMNS.get(args.worker, ()))
    pinned = pin_threads(args.threads)
    wanted = [c.strip() for c in args.contenders.split(",") if c.strip()]
    unknown = [c for c in wanted if c not in CONTENDERS]
    if unknown:
        print(f"unknown contender(s) {unknown}; choose from {list(CONTENDERS)}", file=sys.stderr)
        return 2

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    # velqor first: its worker leaves the circuit results the others are checked against.
    wanted.sort(key=lambda name: name != VELQOR)
    sims = {name: make(name, args.threads, args.gate_by_gate) for name in wanted}
    ready = {name: sim for name, sim in sims.items() if sim.available()}
    for name, sim in sims.items():
        if not sim.available():
            log(f"{name}: {sim.reason}")
    if not ready:
        print("no contender could be loaded", file=sys.stderr)
        return 2

    load_start = os.getloadavg()
    started = time.perf_counter()
    sessions = {name: sim for name, sim in ready.items() if sim.sessions}
    if sessions:
        log("checking that the contenders agree ...")
        try:
            check_agreement(sessions, log=log)
        except Disagreement as exc:
            print(f"FAILED: {exc}", file=sys.stderr)
            return 1

    with tempfile.TemporaryDirectory(prefix="velqor-compare-") as tmp:
        plan = make_plan(args, tmp)
        results = Results()
        # Each contender runs alone in a fresh process, so no other library's
        # idle threads compete with it and every state is freed when it ends.
        for name in wanted:
            columns = CIRCUIT_COLUMNS[name]
            if name not in ready:
                mark_missing(name, plan, columns, results, sims[name].sessions)
                continue
            log(f"timing {name} ...")
            try:
                run_worker(name, argv, plan, columns, results)
            except Disagreement as exc:
                print(f"FAILED: {exc}", file=sys.stderr)
                return 1
        if plan.qubits:
            log(f"timing the {PROBE} ...")
            run_worker(PROBE, argv, plan, (), results)

    names = [n for n in wanted if n in TABLE_CONTENDERS]
    columns = [c for n in wanted for c in CIRCUIT_COLUMNS[n]]
    missing = [f"{n}: {sims[n].reason}" for n in wanted if n not in ready]
    head = report.header(args.quick, args.threads, pinned, load_start[0], os.getloadavg()[0],
                         time.perf_counter() - started, AGREEMENT_TOL, missing)
    text = report.markdown(results, plan.qubits, names, head) if plan.qubits else "\n".join(head)
    if plan.cases:
        text += "\n" + report.circuit_markdown(results, columns, plan.cases)
    if results.notes:
        text += "\n\nNotes:\n" + "\n".join(f"- {note}" for note in results.notes)
    text += "\n" + report.FAIRNESS
    print(text)
    if args.plot.lower() != "none":
        report.plot(results, plan.qubits, names, columns, plan.cases, args.plot)
        log(f"plot written to {args.plot}")
    return 0
