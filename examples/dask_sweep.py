"""Parameter sweep on Dask distributed: one velqor simulation per task.

Each task builds its own gates and register from plain numbers (neither
QGate nor Register can be pickled, so they never travel between processes),
runs a layered circuit of Ry(theta) rotations and CNOT chains, and returns
<Z> of qubit 0. Three things make this work on any Dask cluster:

* objects are built inside the task; only floats go in and out;
* every worker process gets RAYON_NUM_THREADS in its environment (here one pool
  thread per process, as many processes as cores), so simulations in parallel
  processes do not each start one pool thread per core;
* the task function is wrapped by `panic_to_error`, which turns velqor's
  PanicException (a BaseException, which Dask's worker does not report) into a
  RuntimeError, so the client's result() raises instead of waiting forever.

    python examples/dask_sweep.py                        # LocalCluster, 2 worker processes
    python examples/dask_sweep.py --scheduler tcp://host:8786   # an existing cluster

With matplotlib installed it also writes dask_sweep.png (<Z0> over theta).
"""

import argparse
import functools
import math
import time

import velqor

PANIC = ("pyo3_runtime", "PanicException")


def panic_to_error(function):
    """Wraps a task: a velqor panic inside it is raised as RuntimeError with the
    same message. Every other exception passes through unchanged."""

    @functools.wraps(function)
    def task(*args, **kwargs):
        try:
            return function(*args, **kwargs)
        except Exception:
            raise
        except BaseException as caught:
            if (type(caught).__module__, type(caught).__qualname__) != PANIC:
                raise  # KeyboardInterrupt, SystemExit, ...
            # `from None`: the panic's type lives in no importable module, so it
            # cannot travel back to the client as a cause.
            raise RuntimeError(f"velqor panic: {caught}") from None

    return task


def ry(theta):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return velqor.QGate([[c, -s], [s, c]])


@panic_to_error
def z0_expectation(theta, qubits, layers):
    """<Z> of qubit 0 after `layers` rounds of Ry(theta) on every qubit followed
    by a CNOT chain. Everything velqor is created here, in the worker."""
    reg = velqor.Register(qubits)
    rotation = ry(theta)
    cnot = velqor.QGate([[0, 1], [1, 0]])
    for _ in range(layers):
        reg.apply_gate(rotation, range(qubits), [])
        for q in range(qubits - 1):
            reg.apply_gate(cnot, [q + 1], [q])
    p = reg.probabilities()
    return math.fsum(p[0::2]) - math.fsum(p[1::2])


def local_cluster(workers, pool_threads, threads_per_worker=1):
    """A LocalCluster of worker processes, each with `pool_threads` velqor pool
    threads (0: the pool's own default, one per core)."""
    from dask.distributed import LocalCluster

    env = {"RAYON_NUM_THREADS": str(pool_threads)}
    return LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker, processes=True,
                        env=env, dashboard_address=None)


def sweep(client, thetas, qubits, layers):
    futures = client.map(z0_expectation, thetas, qubits=qubits, layers=layers, pure=False)
    return client.gather(futures)


def main():
    from dask.distributed import Client

    import figure

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    parser.add_argument("--threads-per-worker", type=int, default=1, help="Dask threads per worker (default 1)")
    parser.add_argument("--pool-threads", type=int, default=1,
                        help="RAYON_NUM_THREADS of each LocalCluster worker (default 1; 0: one per core)")
    parser.add_argument("--qubits", type=int, default=12)
    parser.add_argument("--layers", type=int, default=4)
    parser.add_argument("--points", type=int, default=24, help="values of theta in [0, pi]")
    parser.add_argument("--repeat", type=int, default=1, help="timed sweeps after the warm-up sweep")
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument("--out", default=".")
    args = parser.parse_args()

    thetas = [math.pi * i / (args.points - 1) for i in range(args.points)]
    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = local_cluster(args.workers, args.pool_threads, args.threads_per_worker)
        client = Client(cluster)
    try:
        values = sweep(client, thetas, args.qubits, args.layers)  # warm-up: imports, pools
        for theta, value in zip(thetas[:: max(1, args.points // 6)], values[:: max(1, args.points // 6)]):
            print(f"theta = {theta:.3f}  <Z0> = {value:+.6f}")
        seconds = []
        for _ in range(args.repeat):
            start = time.perf_counter()
            again = sweep(client, thetas, args.qubits, args.layers)
            seconds.append(time.perf_counter() - start)
            assert again == values  # bit-exact on every run and thread count
        best = min(seconds)
        where = args.scheduler or (f"{args.workers} process(es) x {args.threads_per_worker} Dask thread(s), "
                                   f"RAYON_NUM_THREADS={args.pool_threads}")
        print(f"{where}: {args.points} simulations of {args.qubits} qubits in {best:.3f} s "
              f"(best of {args.repeat}) = {args.points / best:.1f} simulations/s")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    plt = figure.pyplot(args)
    if plt:
        fig, ax = plt.subplots(figsize=(6, 3.4))
        ax.plot(thetas, values, "o-")
        ax.set_xlabel("theta")
        ax.set_ylabel("<Z> of qubit 0")
        ax.set_title(f"Sweep on Dask: {args.qubits} qubits, {args.layers} layers of Ry(theta) + CNOT chain")
        figure.save(fig, args, "dask_sweep.png")


if __name__ == "__main__":
    main()
