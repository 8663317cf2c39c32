"""Every example runs: as text when matplotlib is missing, and with its figure
when it is there. The Dask sweep also runs on a LocalCluster of two worker
processes. Run with the tools environment's interpreter (velqor, matplotlib
and dask installed)."""

import math
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))

import dask_sweep  # noqa: E402

SMALL_SWEEP = ["--qubits", "6", "--points", "6"]
RUNS = {
    "bell": ([], "bell.png"),
    "ghz": ([], "ghz.png"),
    "grover": ([], "grover.png"),
    "qft": ([], "qft.png"),
    "dask_sweep": (SMALL_SWEEP, "dask_sweep.png"),
}
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run_example(name, args, cwd, env=None):
    extra, _ = RUNS[name]
    return subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), *extra, *args],
                          capture_output=True, text=True, cwd=cwd, env=env, timeout=300)


def test_every_example_is_covered():
    assert sorted(RUNS) == sorted(p.stem for p in EXAMPLES.glob("*.py") if p.stem != "figure")


@pytest.mark.parametrize("name", sorted(RUNS))
def test_example_prints_its_text_without_matplotlib(name, tmp_path, monkeypatch):
    hidden = tmp_path / "hide"
    (hidden / "matplotlib").mkdir(parents=True)
    (hidden / "matplotlib" / "__init__.py").write_text("raise ImportError('hidden by the test')\n")
    monkeypatch.setenv("PYTHONPATH", str(hidden))
    out = run_example(name, [], tmp_path)
    assert out.returncode == 0, out.stderr
    assert "matplotlib is not installed" in out.stdout
    assert not list(tmp_path.glob("*.png"))


@pytest.mark.parametrize("name", sorted(RUNS))
def test_example_writes_its_figure(name, tmp_path):
    out = run_example(name, ["--out", str(tmp_path / "figures")], tmp_path)
    assert out.returncode == 0, out.stderr
    figure = tmp_path / "figures" / RUNS[name][1]
    assert figure.read_bytes().startswith(PNG_SIGNATURE)
    assert figure.stat().st_size > 10_000


def native_threads_after_a_parallel_loop():
    """Threads of this process that Python does not know of (velqor's pool
    workers) once a parallel loop has run, and the RAYON_NUM_THREADS this
    process sees. Run inside each worker."""
    import os
    import threading

    import velqor

    reg = velqor.Register(18)
    reg.apply_gate(velqor.QGate([[0, 1], [1, 0]]), [17], [])
    return len(os.listdir("/proc/self/task")) - threading.active_count(), os.environ.get("RAYON_NUM_THREADS")


@pytest.fixture(scope="module")
def client():
    from dask.distributed import Client

    with dask_sweep.local_cluster(workers=2, pool_threads=1) as cluster, Client(cluster) as client:
        yield client


def test_sweep_on_two_worker_processes_matches_the_local_run(client):
    thetas = [0.0, 0.4, 1.1, math.pi / 2, 2.9]
    remote = dask_sweep.sweep(client, thetas, qubits=7, layers=3)
    assert remote == [dask_sweep.z0_expectation(t, 7, 3) for t in thetas]
    assert remote[0] == 1.0
    assert len({pid for pid in client.run(lambda: __import__("os").getpid()).values()}) == 2


def test_each_worker_process_starts_one_pool_thread(client):
    results = client.run(native_threads_after_a_parallel_loop)
    assert sorted(results.values()) == [(1, "1"), (1, "1")]


def measure_out_of_range():
    import velqor

    return velqor.Register(3).measure(9)


def test_a_panic_in_a_task_reaches_the_client_as_runtime_error(client):
    future = client.submit(dask_sweep.panic_to_error(measure_out_of_range), pure=False)
    with pytest.raises(RuntimeError, match=r"^velqor panic: index out of bounds: the len is 8 but the index is 512$"):
        future.result(timeout=60)


def test_panic_to_error_passes_other_exceptions_through():
    def interrupted():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        dask_sweep.panic_to_error(interrupted)()
    with pytest.raises(ZeroDivisionError):
        dask_sweep.panic_to_error(lambda: 1 / 0)()
