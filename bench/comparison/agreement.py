"""Every contender must mean the same thing before it is timed: qubit order,
collapse, sampling, and the probabilities of the circuits it runs."""

from __future__ import annotations

import math

from .contenders import VELQOR, Unavailable
from .gates import CIRCUIT_SEED, Op, random_circuit

AGREEMENT_TOL = 1e-12


class Disagreement(AssertionError):
    pass


def max_diff(a, b) -> float:
    if len(a) != len(b):
        return math.inf
    return max((abs(x - y) for x, y in zip(a, b)), default=0.0)


def check_circuit_probabilities(np, name, probs, reference, tolerance) -> float:
    """Largest difference of a contender's final probabilities (NumPy arrays)
    from the reference; raises Disagreement above its tolerance."""
    diff = float(np.max(np.abs(probs - reference))) if probs.shape == reference.shape else math.inf
    if not diff <= tolerance:
        raise Disagreement(f"{name}: final probabilities differ from velqor's by {diff:.3e} (> {tolerance:g})")
    return diff


def check_agreement(sims: dict, tol: float = AGREEMENT_TOL, log=print) -> None:
    """Raises Disagreement unless every contender with a session follows
    velqor's conventions."""
    ref_name = VELQOR if VELQOR in sims else next(iter(sims))
    problems = []

    def probs_after(sim, n, ops):
        session = sim.open(n)
        try:
            for op in ops:
                session.apply(op)
            return session.probabilities()
        finally:
            session.close()

    # Qubit order: X on qubit 0 gives index 1, X on qubits 0 and 2 gives index 5.
    for name, sim in sims.items():
        for ops, index in (([Op("x", 0)], 1), ([Op("x", 0), Op("x", 2)], 5), ([Op("x", 3)], 8)):
            probs = probs_after(sim, 4, ops)
            want = [0.0] * 16
            want[index] = 1.0
            if max_diff(probs, want) > tol:
                problems.append(f"{name}: X on qubits {[o.target for o in ops]} does not give basis state {index}")

    # Probabilities of a small random circuit of H, X, CX, CCX and phase gates.
    ops = random_circuit(8, 120, CIRCUIT_SEED, kinds=("h", "x", "p", "h", "cx", "ccx", "cp"))
    ref = probs_after(sims[ref_name], 8, ops)
    for name, sim in sims.items():
        diff = max_diff(probs_after(sim, 8, ops), ref)
        log(f"    agreement, 8-qubit circuit of 120 gates: {name} vs {ref_name}: max |dp| = {diff:.2e}")
        if not diff <= tol:
            problems.append(f"{name}: probabilities differ from {ref_name} by {diff:.3e} (> {tol:g})")

    for name, sim in sims.items():
        # Sampling of a basis state returns that index.
        session = sim.open(4)
        try:
            session.apply(Op("x", 0))
            session.apply(Op("x", 2))
            shots = [session.sample_one() for _ in range(5)]
            if shots != [5] * 5:
                problems.append(f"{name}: one-shot sampling of basis state 5 gave {shots}")
            try:
                batch = list(session.sample_batch(20))
                if batch != [5] * 20:
                    problems.append(f"{name}: batch sampling of basis state 5 gave {batch[:5]}...")
            except Unavailable:
                pass
        finally:
            session.close()

        # Measurement collapses and renormalises, and repeats its outcome.
        session = sim.open(4)
        try:
            for t in range(4):
                session.apply(Op("h", t))
            outcome = session.measure(1)
            again = session.measure(1)
            probs = session.probabilities()
            want = [0.125 if (i >> 1) & 1 == outcome else 0.0 for i in range(16)]
            if again != outcome or max_diff(probs, want) > tol:
                problems.append(f"{name}: measure(1) = {outcome}, again {again}, does not collapse onto it")
        finally:
            session.close()

    if problems:
        raise Disagreement("contenders disagree:\n  " + "\n  ".join(problems))
