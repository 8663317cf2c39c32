"""Calls whose long loops run without the interpreter lock: other threads run
meanwhile, a call on a register busy in another thread waits its turn for it,
and exit, fork and thread creation keep their guarantees."""

import threading

import velqor
from support import X_GATE, needs_address_limit, run_python

QUBITS = 20  # large enough for every loop to run without the interpreter lock


def test_threads_sharing_a_register_wait_for_each_other():
    # Two threads flip one high qubit each, with reads and measurements in
    # between; X on distinct qubits commutes, so the end state is known
    # whatever the interleaving, and no call may see the other's borrow.
    reg = velqor.Register(QUBITS)
    flips = {QUBITS - 1: 41, QUBITS - 2: 36}
    errors = []

    def flipper(qubit, count):
        try:
            for i in range(count):
                reg.apply_gate(X_GATE, [qubit], [])
                if i % 3 == 0:
                    reg.measure_all()
                elif i % 3 == 1:
                    reg.probabilities()
                else:
                    reg.measure(qubit)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=flipper, args=item) for item in flips.items()]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    expected = sum((count % 2) << qubit for qubit, count in flips.items())
    assert reg.measure_all() == expected
    assert reg.probabilities()[expected] == 1.0


# The main thread forks while another thread is inside long calls on a
# register: each child finds the register whole (a basis state, as between
# two calls) and usable, and neither side hangs.
FORK_DURING_CALLS = f"""
import os, threading, velqor
X = velqor.QGate([[0, 1], [1, 0]])
reg = velqor.Register({QUBITS})
started = threading.Event()
def busy():
    for _ in range(30):
        for q in range({QUBITS}):
            reg.apply_gate(X, [q], [])
        started.set()
        reg.measure_all()
thread = threading.Thread(target=busy)
thread.start()
started.wait()
for _ in range(4):
    pid = os.fork()
    if pid == 0:
        p = reg.probabilities()
        whole = p.count(1.0) == 1 and p.count(0.0) == len(p) - 1
        reg.apply_gate(X, [0], [])
        os._exit(0 if whole and reg.probabilities().count(1.0) == 1 else 3)
    print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
thread.join()
"""


def test_fork_while_another_thread_is_inside_a_call():
    result = run_python(FORK_DURING_CALLS, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0"] * 4


# One thread calls the register in a loop; another thread's single call waits
# for it and must get its turn while the loop still runs (first come, first
# served), not only once the loop gives up after 20 s.
WAIT_BESIDE_A_LOOP = f"""
import faulthandler, threading, time, velqor
faulthandler.dump_traceback_later(60, exit=True)
X = velqor.QGate([[0, 1], [1, 0]])
reg = velqor.Register({QUBITS})
stop, looping = threading.Event(), threading.Event()
calls, ended = 0, []
def loop():
    global calls
    deadline = time.monotonic() + 20
    while not stop.is_set() and time.monotonic() < deadline:
        reg.apply_gate(X, [0], [])
        calls += 1
        if calls == 20:
            looping.set()
    ended.append("stopped" if stop.is_set() else "gave up")
thread = threading.Thread(target=loop)
thread.start()
looping.wait()
start = time.monotonic()
reg.apply_gate(X, [1], [])
waited = time.monotonic() - start
stop.set()
thread.join()
print(ended[0], waited < 5, reg.measure_all() == 2 + calls % 2)
"""


def test_waiting_call_gets_its_turn_beside_a_calling_loop():
    result = run_python(WAIT_BESIDE_A_LOOP, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["stopped", "True", "True"]


# Another thread is inside argument conversion (its __index__ waits, so the
# register is borrowed but no pass runs) when the main thread forks: the child
# does not have that thread, gets the register back and uses it.
FORK_DURING_CONVERSION = f"""
import faulthandler, os, threading, velqor
faulthandler.dump_traceback_later(60, exit=True)
X = velqor.QGate([[0, 1], [1, 0]])
reg = velqor.Register({QUBITS})
inside, leave = threading.Event(), threading.Event()
class Slow:
    def __index__(self):
        inside.set()
        leave.wait()
        return 0
thread = threading.Thread(target=lambda: reg.apply_gate(X, [Slow()], []))
thread.start()
inside.wait()
pid = os.fork()
if pid == 0:
    try:
        reg.apply_gate(X, [1], [])
        os._exit(0 if reg.measure_all() == 2 and reg.measure(1) == 1 else 3)
    except BaseException as error:
        print(error, flush=True)
        os._exit(4)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
leave.set()
thread.join()
print(reg.measure_all())
"""


def test_forked_child_gets_a_register_borrowed_by_a_converting_thread():
    result = run_python(FORK_DURING_CONVERSION, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "1"]


# A daemon thread inside a long call when the interpreter exits: the process
# exits normally and quietly, whatever the thread and the pool were doing.
DAEMON_IN_LONG_CALL = f"""
import threading, time, velqor
X = velqor.QGate([[0, 1], [1, 0]])
reg = velqor.Register({QUBITS})
started = threading.Event()
def spin():
    while True:
        for q in range({QUBITS}):
            reg.apply_gate(X, [q], [])
        started.set()
        reg.measure_all()
threading.Thread(target=spin, daemon=True).start()
started.wait()
time.sleep(0.001)
"""


def test_daemon_thread_inside_a_long_call_at_exit():
    for _ in range(10):
        result = run_python(DAEMON_IN_LONG_CALL)
        assert (result.returncode, result.stderr) == (0, "")


# Memory exhausted right after the pool has started its workers: their
# thread-locals came with the threads, so nothing is allocated when they
# first run, and the process goes on.
WORKERS_START_WITHOUT_MEMORY = """
import resource, time, velqor
reg = velqor.Register(1)
reg.apply_gate(velqor.QGate([[0, 1], [1, 0]]), [0], [])  # starts the pool
with open("/proc/self/statm") as statm:
    size = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size, size))
time.sleep(0.2)
print(reg.measure_all())
"""


@needs_address_limit
def test_workers_starting_without_memory_end_nothing():
    for _ in range(10):
        result = run_python(WORKERS_START_WITHOUT_MEMORY, RAYON_NUM_THREADS="2")
        assert (result.returncode, result.stdout, result.stderr) == (0, "1\n", "")
