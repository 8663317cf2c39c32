"""Panics at the Python boundary: PanicException, the failure report on
standard error, its backtrace styles, and panics that come back through
Python callbacks."""

import re

import pytest

import velqor
from support import HADAMARD_GATE as G
from support import X_GATE as X
from support import run_python

SHAPE = "Only support single gate. Matrix size must be 2 by 2"
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace"
OMITTED = "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace."
DOC_TAIL = (
    "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def report_line(message, location):
    return f"thread '<unnamed>' panicked at '{message}', {location}"


def test_panic_exception_type(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__doc__.startswith("\n") and panic_type.__doc__.endswith(DOC_TAIL)
    first_paragraph = panic_type.__doc__[1:-len(DOC_TAIL)]
    assert first_paragraph and "\n" not in first_paragraph
    assert not hasattr(velqor, "PanicException")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: velqor.QGate([[1, 0], [0, 1], [0, 0]]), SHAPE),
        (lambda: velqor.QGate([[1, 0, 0], [0, 1, 0]]), SHAPE),
        (lambda: velqor.QGate([]), SHAPE),
        (lambda: velqor.QGate([[1, 0], [0]]), SHAPE),
        (lambda: velqor.QGate([[1, 0], [0, 2]]), "Matrix is not unitary"),
        (lambda: velqor.Register(30), "Number of qubits must be less than 30"),
        (lambda: velqor.Register(2**32 - 1), "Number of qubits must be less than 30"),
        (lambda: velqor.Register(3).apply_gate(G, [3], []), "Target(s) outside qubit range"),
        (lambda: velqor.Register(2).measure(32), "Target(s) outside qubit range"),
        (lambda: velqor.Register(2).measure(40), "index out of bounds: the len is 4 but the index is 256"),
    ],
)
def test_core_refusals_raise_panic_exception(panic_type, call, message):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is panic_type
    assert caught.value.args == (message,)
    assert str(caught.value) == message


def test_panic_passes_an_exception_handler(panic_type):
    caught_by = None
    try:
        try:
            velqor.QGate([])
        except Exception:  # noqa: BLE001 - the point: this must not catch it
            caught_by = "Exception"
    except BaseException:  # noqa: BLE001
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def test_measure_beyond_the_register_reports_the_index(panic_type):
    reg = velqor.Register(2)
    reg.apply_gate(G, [0], [])
    with pytest.raises(panic_type) as caught:
        reg.measure(2)
    match = re.fullmatch(r"index out of bounds: the len is 4 but the index is (\d+)", str(caught.value))
    assert match and int(match.group(1)) >= 4
    assert reg.probabilities() == [0.4999999999999999, 0.4999999999999999, 0.0, 0.0]


def test_calls_go_on_after_a_caught_panic(panic_type):
    reg = velqor.Register(3)
    for _ in range(3):
        with pytest.raises(panic_type):
            reg.apply_gate(X, [0, 5], [])
        # The first target stays applied each time; every method still works.
        assert reg.probabilities() == [0.0, 1.0] + [0.0] * 6
        reg.apply_gate(X, [0], [])
        assert reg.probabilities() == [1.0] + [0.0] * 7
        assert reg.measure(1) == 0 and reg.measure_all() == 0
        with pytest.raises(panic_type):
            velqor.QGate([[1]])


def test_report_is_one_line_plus_a_one_time_note():
    result = run_python(
        """
        import velqor
        for matrix in ([[1, 0], [0, 1], [0, 0]], [[1, 0], [0, 1, 0]]):
            try:
                velqor.QGate(matrix)
            except BaseException as error:
                print(type(error).__name__, error.args)
        """,
    )
    assert result.returncode == 0
    assert result.stdout.splitlines() == [f"PanicException ('{SHAPE}',)"] * 2
    assert result.stderr.splitlines() == [
        report_line(SHAPE, r"src\lib:20:31"),
        NOTE,
        report_line(SHAPE, r"src\lib:22:14"),
    ]


def test_unitarity_diagnostic_precedes_the_report():
    result = run_python("import velqor\ntry: velqor.QGate([[1, 0], [0, 2]])\nexcept BaseException: pass")
    assert result.returncode == 0
    assert result.stderr == (
        "[src\\things\\mod:38] (check1, check2, check3.real, check4.real) = (\n"
        "    1.0,\n    4.0,\n    0.0,\n    0.0,\n)\n"
        + report_line("Matrix is not unitary", r"src\things\mod:39:16") + "\n" + NOTE + "\n"
    )


PANIC_TWICE = """
import os, velqor
for step in range(2):
    try:
        velqor.QGate([])
    except BaseException:
        pass
    os.environ["RUST_BACKTRACE"] = "full"  # read once, at the first panic: no effect
"""


def split_reports(stderr):
    """The reports in stderr, each a list of lines, split at the report lines."""
    reports = []
    for line in stderr.splitlines():
        if line.startswith("thread '"):
            reports.append([])
        assert reports, f"text before the first report: {line!r}"
        reports[-1].append(line)
    return reports


@pytest.mark.parametrize("value", [None, "0"])
def test_style_off(value):
    result = run_python(PANIC_TWICE, RUST_BACKTRACE=value)
    assert result.returncode == 0
    assert split_reports(result.stderr) == [[report_line(SHAPE, r"src\lib:20:31"), NOTE], [report_line(SHAPE, r"src\lib:20:31")]]


@pytest.mark.parametrize("value", ["1", "", "yes"])
def test_style_short(value):
    result = run_python(PANIC_TWICE, RUST_BACKTRACE=value)
    assert result.returncode == 0
    reports = split_reports(result.stderr)
    assert len(reports) == 2
    for report in reports:
        assert report[0] == report_line(SHAPE, r"src\lib:20:31")
        assert report[1] == "stack backtrace:"
        assert report[-1] == OMITTED
        assert len(report) > 3
        assert NOTE not in report


def test_style_full():
    result = run_python(PANIC_TWICE, RUST_BACKTRACE="full")
    assert result.returncode == 0
    reports = split_reports(result.stderr)
    assert len(reports) == 2
    for report in reports:
        assert report[:2] == [report_line(SHAPE, r"src\lib:20:31"), "stack backtrace:"]
        assert len(report) > 2
        assert OMITTED not in report and NOTE not in report


RESUME_BANNER = [
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---",
    "Python stack trace below:",
]

# Each child makes one PanicException come back into the module through a
# callback of an argument conversion and prints what the outer call raised.
RESUME_SETUP = """
import velqor
try:
    velqor.QGate([])
except BaseException as error:
    PanicException = type(error)
reg = velqor.Register(2)
h = 0.7071067811865475
gate = velqor.QGate([[h, h], [h, -h]])

class Index:
    def __index__(self):
        CALLBACK
        return 0

class Sized:
    def __len__(self):
        CALLBACK
    def __getitem__(self, i):
        return [0][i]

class Element:
    @property
    def real(self):
        CALLBACK
    imag = 0.0

try:
    OUTER
except BaseException as error:
    print(type(error).__name__, error.args)
print(reg.probabilities())
"""

FIRST_REPORT = [report_line(SHAPE, r"src\lib:20:31"), NOTE]


@pytest.mark.parametrize(
    ("outer", "callback", "message", "inner_report"),
    [
        ("reg.apply_gate(gate, [Index()], [])", "velqor.QGate([[1, 0, 0], [0, 1, 0], [0, 0, 1]])", SHAPE, [report_line(SHAPE, r"src\lib:20:31")]),
        ("reg.measure(Index())", "reg2 = velqor.Register(1); reg2.apply_gate(gate, [4], [])", "Target(s) outside qubit range", [report_line("Target(s) outside qubit range", r"src\things\mod:99:43")]),
        ("velqor.QGate([[Element(), 0], [0, 1]])", "velqor.Register(31)", "Number of qubits must be less than 30", [report_line("Number of qubits must be less than 30", r"src\things\mod:49:28")]),
        ("reg.apply_gate(gate, Sized(), [])", "velqor.QGate([])", SHAPE, [report_line(SHAPE, r"src\lib:20:31")]),
        ("reg.apply_gate(gate, [Index()], [])", "raise PanicException('from Python')", "Unwrapped panic from Python code", []),
    ],
    ids=["index", "measure-target", "real-property", "discarded-length-error", "raised-in-python"],
)
def test_panic_coming_back_through_python_is_resumed(outer, callback, message, inner_report):
    code = RESUME_SETUP.replace("CALLBACK", callback).replace("OUTER", outer)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"PanicException ({message!r},)", "[1.0, 0.0, 0.0, 0.0]"]
    lines = result.stderr.splitlines()
    # The setup's panic, then the inner panic's report (the only report the
    # inner panic gets), the banner and the Python traceback, which ends with
    # the PanicException that came back.
    assert lines[:2] == FIRST_REPORT
    rest = lines[2:]
    assert rest[: len(inner_report)] == inner_report
    rest = rest[len(inner_report):]
    assert rest[:2] == RESUME_BANNER
    assert rest[2] == "Traceback (most recent call last):"
    assert rest[-1].startswith("pyo3_runtime.PanicException: ")
    assert not any(line.startswith("thread '") for line in rest)
