"""Ensembles of the whole storm chain: serial, 2 threads, 2 worker processes
(ProcessPoolExecutor) and a Dask LocalCluster of 2 worker processes.

    python benchmarks/bench_ensemble.py [--quick]     # these rows alone
    python benchmarks/run.py --only ensemble          # the same, within the suite

(with the built module importable, e.g. PYTHONPATH=<build dir>; needs numpy,
and dask and distributed for the Dask rows).

A member is examples/ensemble_members.py's chain (loss, Clark, baseflow,
Muskingum, level pool routing, KGE) over a 48-hour event at 15-minute steps,
with its own parameters; level pool routing takes almost all of its time.
Members go to the workers in batches, as parameter rows; results come back as
arrays and must equal the serial run's bit for bit, or the benchmark stops.
Worker processes and the cluster are started once, before the timing, and
their start-up is reported on its own row: the ratios are the throughput of
running members, serial time / parallel time, measured alternately, best of
several rounds.
"""
import argparse
import concurrent.futures
import contextlib
import hashlib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")
# Worker processes get this sys.path and import ensemble_members by name.
for _path in (HERE, EXAMPLES):
    if _path not in sys.path:
        sys.path.insert(0, _path)

import table  # noqa: E402


def bench(count=None, batch=4):
    """Adds the ensemble rows to the table (table.py)."""
    try:
        import numpy  # noqa: F401
    except ImportError:
        table.NOTES.append("Ensembles: NumPy not installed, rows skipped.")
        return
    import ensemble

    members = ensemble.members
    count = count or (16 if table.QUICK else 32)
    rounds = 3 if table.QUICK else 5
    params = members.sample_parameters(count)
    serial = ensemble.run_serial(params, batch)

    runs = {"serial": lambda: ensemble.run_serial(params, batch),
            "threads": lambda: ensemble.run_threads(params, batch, 2)}
    # Control, measured in the same rounds: C work without the GIL (hashlib
    # on 16 MiB blocks), serial and on 2 threads: what the machine offers.
    block = b"q" * (16 << 20)
    blocks = [block] * 8
    control = {"control serial": lambda: [hashlib.sha256(b).digest() for b in blocks],
               "control threads": lambda: control_threads(blocks)}
    startup = {}
    with contextlib.ExitStack() as stack:
        t0 = time.perf_counter()
        pool = stack.enter_context(ensemble.process_pool(2))
        list(pool.map(members.run_batch, ensemble.batches(params[:2], 1)))
        startup["processes"] = time.perf_counter() - t0
        runs["processes"] = lambda: ensemble.run_processes(params, batch, pool)
        try:
            from dask.distributed import Client
        except ImportError:
            table.NOTES.append("Ensembles: dask/distributed not installed, the Dask row is skipped.")
        else:
            t0 = time.perf_counter()
            client = stack.enter_context(Client(stack.enter_context(ensemble.local_cluster(2))))
            client.gather(client.map(members.run_batch, ensemble.batches(params[:2], 1)))
            startup["dask"] = time.perf_counter() - t0
            runs["dask"] = lambda: ensemble.run_dask(params, batch, client)

        for run in runs.values():  # warm every worker's caches
            check(run(), serial)
        best = {name: float("inf") for name in (*runs, *control)}
        busy = 0.0
        for _ in range(rounds):
            for name, run in (*runs.items(), *control.items()):
                t0, c0 = time.perf_counter(), time.process_time()
                result = run()
                wall, cpu = time.perf_counter() - t0, time.process_time() - c0
                if name in runs:
                    check(result, serial)
                if wall < best[name]:
                    best[name] = wall
                    if name == "threads":
                        busy = cpu / wall

    workload = f"{count} chain members, 48 h at 15 min, batches of {batch}"
    labels = {"threads": ("ensemble (threads)", "on 2 threads"),
              "processes": ("ensemble (processes)", "on 2 worker processes"),
              "dask": ("ensemble (Dask)", "on a LocalCluster of 2 processes")}
    ratios = {}
    for name, (routine, where) in labels.items():
        if name not in best:
            continue
        g = table.Group(routine, workload, best[name])
        table.ROWS[-1] = table.ROWS[-1][:3] + (where,) + table.ROWS[-1][4:]
        ratios[name] = g.vs("the same, serial (ratio = throughput / serial)", best["serial"])
        if name == "threads":
            g.info("cores busy during the 2-thread run (CPU time / wall time)", f"{busy:.2f}")
        if name in startup:
            g.info(f"start-up, not in the time above: {startup[name] * 1e3:.0f} ms "
                   f"(= {startup[name] / best['serial'] * count:.0f} serial members)", "")
    offered = best["control serial"] / best["control threads"]
    table.NOTES.append(
        "Ensembles: " + ", ".join(f"{name} {ratio:.2f}x" for name, ratio in ratios.items())
        + f" the serial throughput ({count / best['serial']:.1f} members/s serial), all bit-identical to the "
        f"serial run; os.cpu_count() = {os.cpu_count()}, load average {table.load_average()} when measured "
        "(other processes on the machine take cores from the parallel runs).  "
        f"Control in the same rounds: C work without the GIL (hashlib) got {offered:.2f}x on 2 threads, "
        "the most this machine offered then.")


def control_threads(blocks):
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        return list(pool.map(lambda b: hashlib.sha256(b).digest(), blocks))


def check(result, serial):
    if result.shape != serial.shape or result.tobytes() != serial.tobytes():
        raise AssertionError("a parallel ensemble differs from the serial one")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="16 members, 3 rounds")
    parser.add_argument("--members", type=int, help="members per ensemble (default 32, --quick 16)")
    parser.add_argument("--batch", type=int, default=4, help="members per task (default 4)")
    args = parser.parse_args()
    table.QUICK = args.quick
    print(f"quellmar ensemble benchmark: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
          f"load average {table.load_average()}")
    print()
    bench(args.members, args.batch)
    table.print_table()


if __name__ == "__main__":
    main()
