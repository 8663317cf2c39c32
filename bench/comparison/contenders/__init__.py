"""The contenders, one module per simulator, all driven through their public
Python APIs on the same number of threads. Each opens one state per qubit
count for the per-operation tables (a session's methods return the number of
operations they performed so that times can be divided), and/or offers whole
circuits."""

from .aer_sim import AerSim
from .base import (
    AER,
    FLOAT32_TOL,
    FLOAT64_TOL,
    NOT_AVAILABLE,
    NOT_INSTALLED,
    NUMPY,
    PROBE,
    QSIM,
    QULACS,
    QULACS_OPTIMISED,
    SKIPPED,
    VELQOR,
    VELQOR_GATE_BY_GATE,
    Simulator,
    Unavailable,
)
from .numpy_sim import NumpySession, NumpySim
from .qsim_sim import QsimSim
from .qulacs_sim import QulacsSim
from .velqor_sim import VelqorGateByGateSim, VelqorSim

SIMULATORS = {VELQOR: VelqorSim, VELQOR_GATE_BY_GATE: VelqorGateByGateSim, QULACS: QulacsSim,
              AER: AerSim, QSIM: QsimSim, NUMPY: NumpySim}
CONTENDERS = tuple(SIMULATORS)
# Contenders of the per-operation tables, and the peers velqor is compared with.
TABLE_CONTENDERS = (VELQOR, QULACS, AER, NUMPY)
PEERS = (QULACS, AER, NUMPY, QSIM, QULACS_OPTIMISED)
# Columns of the circuit table, by contender.
CIRCUIT_COLUMNS = {VELQOR: (VELQOR,), VELQOR_GATE_BY_GATE: (VELQOR_GATE_BY_GATE,), QSIM: (QSIM,),
                   AER: (AER,), QULACS: (QULACS, QULACS_OPTIMISED), NUMPY: ()}


def make(name, threads, gate_by_gate=None, load=False):
    """A contender; the gate-by-gate build is imported only where `load` says
    this process times it."""
    if name == VELQOR_GATE_BY_GATE:
        return VelqorGateByGateSim(threads, gate_by_gate, load)
    return SIMULATORS[name](threads)


__all__ = ["AER", "CIRCUIT_COLUMNS", "CONTENDERS", "FLOAT32_TOL", "FLOAT64_TOL", "NOT_AVAILABLE", "NOT_INSTALLED",
           "NUMPY", "NumpySession", "NumpySim", "PEERS", "PROBE", "QSIM", "QULACS", "QULACS_OPTIMISED", "SIMULATORS",
           "SKIPPED", "Simulator", "TABLE_CONTENDERS", "Unavailable", "VELQOR", "VELQOR_GATE_BY_GATE", "make"]
