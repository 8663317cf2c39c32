"""References and memory: no call leaks a reference or Python memory, and a
refused allocation raises MemoryError without ending the process."""

import gc
import sys
import tracemalloc

import pytest

import velqor
from support import HADAMARD, needs_address_limit, run_python


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Element:
    def __init__(self, real):
        self.real, self.imag = real, 0.0


def exercise(panic_type, gate, reg, targets, controls, objects, calls):
    """One round of every entry point, failing calls included."""
    for _ in range(calls):
        velqor.QGate(HADAMARD)
        velqor.QGate([[Element(1.0), 0], (0, 1)])
        reg.apply_gate(gate, targets, controls)
        reg.apply_gate(gate=gate, targets=objects, controls=[])
        reg.probabilities()
        reg.measure(objects[0])
        reg.measure_all()
        velqor.Register(Index(2))
        for bad in (
            lambda: reg.apply_gate(gate, [0.5], []),
            lambda: reg.apply_gate(gate, targets, "x"),
            lambda: reg.apply_gate(reg, targets, controls),
            lambda: reg.apply_gate(gate, [Index(-1)], []),
            lambda: reg.measure(target=objects[0], x=1),
            lambda: velqor.QGate([[Element("1"), 0], [0, 1]]),
            lambda: velqor.QGate([[1, "x"], [0, 1]]),
            lambda: velqor.Register(qubits=2.5),
        ):
            try:
                bad()
            except (TypeError, OverflowError, AttributeError):
                pass


def exercise_panics(panic_type, gate, reg, calls):
    for _ in range(calls):
        for bad in (lambda: reg.apply_gate(gate, [7], []), lambda: velqor.QGate([]), lambda: reg.measure(40)):
            try:
                bad()
            except panic_type:
                pass


def test_reference_counts_do_not_grow(panic_type):
    gate = velqor.QGate(HADAMARD)
    reg = velqor.Register(3)
    targets, controls = [0, 1], [2]
    objects = [Index(1), Index(0)]
    watched = [gate, reg, targets, controls, *objects, velqor.QGate, velqor.Register, panic_type, HADAMARD[0][0], None]
    exercise(panic_type, gate, reg, targets, controls, objects, 50)
    exercise_panics(panic_type, gate, reg, 5)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    exercise(panic_type, gate, reg, targets, controls, objects, 500)
    exercise_panics(panic_type, gate, reg, 30)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    # None is shared with the interpreter; the others are this test's alone.
    assert after[:-1] == before[:-1]
    assert after[-1] - before[-1] < 100


def test_results_hold_no_extra_references():
    reg = velqor.Register(2)
    reg.apply_gate(velqor.QGate(HADAMARD), [0, 1], [])
    result = reg.probabilities()
    # Counted as for the same objects made in Python: the name (or the list
    # slot), and getrefcount's own argument where the interpreter counts it
    # (from 3.14 a local name's is not).
    plain = [float(i) / 3 for i in range(4)]
    assert sys.getrefcount(result) == sys.getrefcount(plain)
    assert [sys.getrefcount(result[i]) for i in range(4)] == [sys.getrefcount(plain[i]) for i in range(4)]
    assert sys.getrefcount(velqor.Register(1)) == sys.getrefcount(object())
    assert sys.getrefcount(velqor.QGate(HADAMARD)) == sys.getrefcount(object())


def test_python_memory_does_not_grow(panic_type):
    gate = velqor.QGate(HADAMARD)
    reg = velqor.Register(4)
    targets, controls, objects = [0, 1], [2], [Index(3), Index(0)]
    exercise(panic_type, gate, reg, targets, controls, objects, 50)
    exercise_panics(panic_type, gate, reg, 5)
    gc.collect()
    tracemalloc.start()
    try:
        exercise(panic_type, gate, reg, targets, controls, objects, 50)
        exercise_panics(panic_type, gate, reg, 5)
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        exercise(panic_type, gate, reg, targets, controls, objects, 1500)
        exercise_panics(panic_type, gate, reg, 30)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # One leaked object per call would be over 100 KiB here.
    assert end - start < 16 * 1024


def test_huge_reported_length_is_not_reserved():
    class Liar:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            return [0, 1, 2][i]

    reg = velqor.Register(3)
    reg.apply_gate(velqor.QGate([[0, 1], [1, 0]]), Liar(), [])
    assert reg.measure_all() == 7
    matrix = velqor.QGate(Liar.__new__(type("Rows", (Liar,), {"__getitem__": lambda s, i: [[0, 1], [1, 0]][i]})))
    reg.apply_gate(matrix, [0], [])
    assert reg.measure_all() == 6


# The child lowers its address-space limit, then asks for more than it allows:
# each request fails with MemoryError and the process goes on.
REFUSED = """
import resource, velqor
def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
x = velqor.QGate([[0, 1], [1, 0]])
velqor.Register(12).apply_gate(x, [0], [])      # start the worker pool first
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 256 * 2**20, resource.RLIM_INFINITY))

class Endless:
    def __len__(self):
        return 1
    def __getitem__(self, i):
        return 0
    def __iter__(self):
        import itertools
        return itertools.repeat(0)

for attempt in ("Register(28)", "Register(29)", "targets", "Register(28)"):
    try:
        if attempt == "targets":
            velqor.Register(1).apply_gate(x, Endless(), [])
        else:
            velqor.Register(int(attempt[9:11]))
    except MemoryError as error:
        print(attempt, type(error).__name__, *error.args)
reg = velqor.Register(3)
reg.apply_gate(x, [0, 2], [])
print(reg.measure_all())
"""


@needs_address_limit
def test_refused_allocations_raise_memory_error():
    result = run_python(REFUSED, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "Register(28) MemoryError cannot allocate 4294967296 bytes for a register of 28 qubits",
        "Register(29) MemoryError cannot allocate 8589934592 bytes for a register of 29 qubits",
        "targets MemoryError",
        "Register(28) MemoryError cannot allocate 4294967296 bytes for a register of 28 qubits",
        "5",
    ]


PROBABILITIES_REFUSED = """
import resource, velqor
def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
h = 0.7071067811865475
reg = velqor.Register(21)
reg.apply_gate(velqor.QGate([[h, h], [h, -h]]), list(range(21)), [])
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# Room for the probability copy (16 MiB), not for it together with the list
# (16 MiB of slots) and its 2**21 float objects (48 MiB).
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 24 * 2**20, hard))
try:
    reg.probabilities()
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
p = reg.probabilities()
print(len(p), p[0] == p[-1])
"""


@needs_address_limit
def test_refused_result_list_raises_memory_error():
    result = run_python(PROBABILITIES_REFUSED, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError", "2097152 True"]


# A pool whose workers cannot start (their 256 MiB stacks exceed the
# address-space limit): a register made before the limit and one made after it
# are both created without the pool; the first call that needs the pool raises
# the creation failure, every later one the already-initialised failure, and
# no register's lock is poisoned by either.
POOL_REFUSED = """
import resource, velqor
def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
h = 0.7071067811865475
H = velqor.QGate([[h, h], [h, -h]])
small = velqor.Register(3)
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 160 * 2**20, resource.RLIM_INFINITY))
large = velqor.Register(22)  # 64 MiB, faulted in on this thread
calls = [
    lambda: small.apply_gate(H, [0], []),
    small.measure_all,
    small.probabilities,
    lambda: small.measure(0),
    lambda: large.apply_gate(H, [1], [5]),
    large.measure_all,
    lambda: small.apply_gate(H, [0], []),
]
for call in calls:
    try:
        call()
        print("returned")
    except BaseException as error:
        print(type(error).__name__, str(error).replace("(Os { code: 12, kind: OutOfMemory", "(Os { code: 11, kind: WouldBlock").split(", message")[0])
"""


@needs_address_limit
def test_pool_that_cannot_start_poisons_no_register():
    result = run_python(POOL_REFUSED, timeout=120, RAYON_NUM_THREADS="2", RUST_MIN_STACK="268435456")
    assert result.returncode == 0, result.stderr
    prefix = "PanicException The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
    assert result.stdout.splitlines() == [
        prefix + "IOError(Os { code: 11, kind: WouldBlock",
        *[prefix + "GlobalPoolAlreadyInitialized }"] * 6,
    ]
    assert "PoisonError" not in result.stderr


# Refuses every allocation of the calling thread for the scope of a `with`
# block, and gives the memory back after it. The child first limits its
# address space to just above its size (RLIMIT_AS), so that no new mapping is
# granted, then calls libc's malloc through ctypes, from the thread whose call
# is under test, with falling sizes (every small size class included, as the
# thread's cache keeps freed blocks per class) until each one is refused: the
# heaps that thread reaches are then full, and whatever the call asks for
# next is refused, as on a machine out of memory. The blocks are chained
# through their own first words (a Python list would need memory itself) and
# freed at the end, and the limit lifted, so the same thread then shows that
# the call works again.
#
# Why this way: it needs nothing but the standard library, so the tests also
# run in a chroot of another Python with no C compiler (a C helper built by
# the test, or a malloc interposed with LD_PRELOAD, would need one), and it
# refuses the real allocation wherever the call makes it, with no hook in the
# module. The interpreter's own small objects come from its arenas, which the
# filling leaves as they were, so Python code still runs meanwhile.
FULL_HEAP = """
import ctypes, resource

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
SIZES = [2**k for k in range(20, 10, -1)] + list(range(1024, 0, -8))

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

class FullHeap:
    def __enter__(self):
        self.limit = resource.getrlimit(resource.RLIMIT_AS)
        libc.free(libc.malloc(64))  # the thread has its heap before the limit
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 8 * 2**20, self.limit[1]))
        self.head = None
        for size in SIZES:
            while (block := libc.malloc(size)) is not None:
                ctypes.c_void_p.from_address(block).value = self.head
                self.head = block
        return self

    def __exit__(self, *exc):
        while self.head is not None:
            block, self.head = self.head, ctypes.c_void_p.from_address(self.head).value
            libc.free(block)
        resource.setrlimit(resource.RLIMIT_AS, self.limit)
"""

# A thread's call under a full heap, then again with the memory back; twice,
# each time on a new register and a new thread: once as the thread's first
# call into the module, and once after a first call that needs nothing of the
# thread (a gate's construction), so that the refusal meets the call's own
# allocations, and the per-thread state it creates, rather than the thread's
# first entry.
THREAD_CALL = (
    FULL_HEAP
    + """
import threading, velqor
X = velqor.QGate([[0, 1], [1, 0]])
def run(first, outcome):
    if not first:
        velqor.QGate([[1, 0], [0, 1]])
    with FullHeap():
        try:
            {call}
            outcome[0] = "returned"
        except MemoryError as error:
            outcome[0] = type(error).__name__
    outcome[1] = {call}
for first in (True, False):
    {setup}
    outcome = [None, None]
    thread = threading.Thread(target=run, args=(first, outcome))
    thread.start()
    thread.join()
    print(*outcome)
"""
)

THREAD_CASES = {
    # The probability vector is the call's first allocation.
    "probabilities": ("reg = velqor.Register(3); reg.apply_gate(X, [0, 2], []); reg.probabilities()",
                      "reg.probabilities()", "[0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0]"),
    # The sampler's weights, before the draw.
    "measure": ("reg = velqor.Register(3); reg.apply_gate(X, [0, 2], []); reg.probabilities()",
                "reg.measure(2)", "1"),
    # The queued gates form a stretch, whose layout is the first allocation;
    # the gates are applied once, by the second call.
    "queue run": ("reg = velqor.Register(16); reg.apply_gate(X, [0, 1, 15], [])",
                  "reg.measure_all()", "32771"),
    # The sums are kept from the main thread's draw: the thread's generator is
    # all the call makes.
    "measure_all": ("reg = velqor.Register(3); reg.apply_gate(X, [0], []); reg.measure_all()",
                    "reg.measure_all()", "1"),
}


@needs_address_limit
@pytest.mark.parametrize("case", THREAD_CASES)
def test_refused_memory_on_a_new_thread_raises_memory_error(case):
    """A new thread's call meets a full heap (FULL_HEAP): MemoryError, on its
    first call and on its first use of per-thread state, and the same call
    works once the memory is back. The heap is filled from Python (an
    address-space limit, then libc's malloc through ctypes until every size is
    refused) rather than by a C helper, so that no compiler is needed where
    the tests run, and the allocation refused is the real one, wherever the
    call makes it."""
    setup, call, after = THREAD_CASES[case]
    result = run_python(THREAD_CALL.format(setup=setup, call=call), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"MemoryError {after}"] * 2


# The pool's start meets a full heap: MemoryError, with the pool left absent,
# and the next call starts it and runs loops on it (2^15 amplitudes: the gate
# runs on the workers).
POOL_START_REFUSED = (
    FULL_HEAP
    + """
import velqor
X = velqor.QGate([[0, 1], [1, 0]])
small, large = velqor.Register(2), velqor.Register(15)
with FullHeap():
    try:
        small.measure_all()
        print("returned")
    except MemoryError as error:
        print(type(error).__name__, *error.args)
print(small.measure_all())
large.apply_gate(X, list(range(15)), [])
print(large.measure_all(), large.probabilities()[-1])
"""
)


@needs_address_limit
@pytest.mark.parametrize("workers", ["1", "4"])
def test_pool_start_refused_memory_raises_memory_error_and_starts_later(workers):
    """The pool's records refused (the heap filled as in FULL_HEAP, without a
    compiler): MemoryError, and the next call starts the pool whole."""
    result = run_python(POOL_START_REFUSED, timeout=120, RAYON_NUM_THREADS=workers)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError", "0", "32767 1.0"]


def test_no_per_thread_object_registers_a_destructor():
    """A thread_local with a destructor registers it (__cxa_thread_atexit) at
    its thread's first use, an allocation whose refusal ends the process; the
    module keeps per-thread objects behind pthread keys instead. Calls under a
    full heap cannot reach the pool's per-thread latch or the gather buffer
    (other allocations come first), so the module itself is checked: none of
    its code refers to the registration."""
    with open(velqor.__file__, "rb") as module:
        registers = b"__cxa_thread_atexit" in module.read()
    assert not registers


# A daemon thread inside apply_gate, running Python code of a conversion, when
# the interpreter exits: the interpreter ends the thread with a forced unwind,
# which must pass through the module for the process to exit normally.
DAEMON_AT_EXIT = """
import threading, time, velqor
X = velqor.QGate([[0, 1], [1, 0]])
reg = velqor.Register(4)
class Slow:
    def __index__(self):
        time.sleep(0.0005)  # lets the main thread run, and end the process
        return 0
def spin():
    while True:
        reg.apply_gate(X, [Slow()], [])
threading.Thread(target=spin, daemon=True).start()
time.sleep(0.02)
"""


def test_daemon_thread_inside_a_call_at_exit():
    for _ in range(20):
        result = run_python(DAEMON_AT_EXIT)
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""
