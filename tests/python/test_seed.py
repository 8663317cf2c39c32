"""Repeatable draws under VELQOR_SEED: the same script prints the same
measurements on every run, threads and forked children draw streams of their
own, and a value that is not a seed is refused at the first draw."""

import json

import pytest

from support import run_python

# Draws of the main thread and of two more threads, in an order the test
# chooses. Each thread draws past a reseed (8,192 draws of 8 bytes): the first
# draws and the ones after the reseed are printed, plus measure()'s outcomes.
THREADS = """
import json, sys, threading, velqor
h = 0.7071067811865475
H = velqor.QGate([[h, h], [h, -h]])

def draws():
    reg = velqor.Register(20)
    reg.apply_gate(H, range(20), [])
    outcomes = [reg.measure_all() for _ in range(8192 + 16)]
    collapsed = []
    for _ in range(16):
        reg.apply_gate(H, [0, 7], [])
        collapsed += [reg.measure(0), reg.measure(7)]
    return outcomes[:16], outcomes[8192:], collapsed

results = {}
def run(name):
    results[name] = draws()
for name in sys.argv[1:]:
    if name == "main":
        run(name)
    else:
        thread = threading.Thread(target=run, args=(name,))
        thread.start()
        thread.join()
print(json.dumps(results))
"""


def thread_draws(order, seed):
    """{thread: [first draws, draws after the reseed, measure() outcomes]}"""
    code = f"import sys; sys.argv[1:] = {order.split()!r}\n{THREADS}"
    result = run_python(code, timeout=120, VELQOR_SEED=seed)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("order", ["main first second", "first second main"])
def test_seeded_draws_repeat_on_every_run(order):
    runs = [thread_draws(order, "2024") for _ in range(2)]
    assert runs[0] == runs[1]
    draws = runs[0]
    # Each thread has a stream of its own, and the reseed starts a new one.
    firsts = {tuple(first) for first, _, _ in draws.values()}
    assert len(firsts) == 3
    assert all(first != after for first, after, _ in draws.values())
    assert thread_draws("main first second", "2025")["main"] != draws["main"]


def test_main_thread_draws_the_same_whenever_other_threads_draw():
    """The main thread's stream is the first one; the others are numbered in the
    order in which they first draw."""
    main_first = thread_draws("main first second", "7")
    main_last = thread_draws("first second main", "7")
    assert main_first == main_last


# A seeded parent that forks one child before it has drawn anything and one
# after; each child and the parent print their draws.
FORKS = """
import os, velqor
h = 0.7071067811865475
reg = velqor.Register(16)
reg.apply_gate(velqor.QGate([[h, h], [h, -h]]), range(16), [])

def draws():
    return " ".join(str(reg.measure_all()) for _ in range(16))

def child_draws():
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        os.write(write, draws().encode())
        os._exit(0)
    os.close(write)
    text = b""
    while chunk := os.read(read, 4096):
        text += chunk
    os.waitpid(pid, 0)
    return text.decode()

print("before", child_draws())
print("parent", draws())
print("after", child_draws())
print("parent", draws())
"""


def test_forked_children_draw_different_streams():
    runs = []
    for _ in range(2):
        result = run_python(FORKS, VELQOR_SEED="99")
        assert result.returncode == 0, result.stderr
        runs.append(result.stdout.splitlines())
    assert runs[0] == runs[1]
    streams = [line.split(" ", 1)[1] for line in runs[0]]
    assert len(streams) == 4 and all(len(s.split()) == 16 for s in streams)
    assert len(set(streams)) == 4


@pytest.mark.parametrize("value", ["", "-1", "0x10", "18446744073709551616"])
def test_a_value_that_is_not_a_seed_is_refused_at_the_first_draw(value):
    result = run_python(
        """
        import velqor
        reg = velqor.Register(2)
        reg.apply_gate(velqor.QGate([[0, 1], [1, 0]]), [0], [])
        print(reg.probabilities())
        for _ in range(2):
            try:
                reg.measure_all()
            except BaseException as error:
                print(type(error).__name__, error)
        """,
        VELQOR_SEED=value,
    )
    message = "VELQOR_SEED must be a decimal integer from 0 to 18446744073709551615"
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["[0.0, 1.0, 0.0, 0.0]", *[f"PanicException {message}"] * 2]
    assert f"panicked at '{message}', src\\runtime\\random:241:17" in result.stderr
