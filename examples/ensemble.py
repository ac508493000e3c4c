"""Calibration and a Monte Carlo ensemble with quellmar, numpy, scipy and Dask
===========================================================================

    python examples/ensemble.py [--members N] [--batch N] [--no-dask] [--time]

1. Calibration: scipy.optimize.least_squares recovers Muskingum k and x
   from a routed hydrograph with noise added.
2. Ensemble: N members of the storm-event chain of examples/storm_event.py
   (loss, Clark, baseflow, Muskingum, level pool, KGE) over a 48-hour event
   at 15-minute steps, each with its own parameters drawn at random, run
   serially, on 2 threads, on 2 worker processes (ProcessPoolExecutor) and
   on a Dask LocalCluster with 2 worker processes.  Every parallel run must
   give the serial results bit for bit; the script stops with an error if
   one does not.

The worker function lives in examples/ensemble_members.py, a module that the
worker processes import by name.  Parameters go in as float64 arrays, results
come back as float64 arrays, members travel in batches.  quellmar's objects
define no pickling, so they are never sent: each process builds its own from
the parameters.

Needs numpy and scipy; the Dask part needs dask and distributed (skip it with
--no-dask).  --time adds wall times and throughput ratios (they vary from run
to run; benchmarks/bench_ensemble.py measures them properly).
"""

import argparse
import concurrent.futures
import contextlib
import logging
import multiprocessing
import sys
import time
from datetime import timedelta

import numpy as np

import quellmar
import ensemble_members as members

# --- calibration -------------------------------------------------------------------

TRUE_K_HOURS, TRUE_X = 3.0, 0.15
NOISE_CFS = 10.0


def hourly_wave():
    """Three days of hourly inflow (cfs): a 100 cfs base and a 900 cfs flood
    peaking at hour 12."""
    t = np.arange(72.0)
    return 100.0 + 900.0 * (t / 12.0) ** 4 * np.exp(4.0 * (1.0 - t / 12.0))


def route(inflow, k_hours, x):
    """Muskingum routing of a float64 array: one copy in, a view out."""
    series = quellmar.utils.ContinuousTimeSeries(inflow, timedelta(hours=1), "discharge")
    out = quellmar.reach.run_muskingum_routing(series, timedelta(hours=k_hours), x, 1, inflow[0])
    return np.asarray(out)


def calibrate(seed=11):
    """Routes the wave with the true k and x, adds Gaussian noise, and fits
    k and x back by least squares.  Returns (k_hours, x, rms residual)."""
    from scipy.optimize import least_squares

    inflow = hourly_wave()
    rng = np.random.default_rng(seed)
    observed = route(inflow, TRUE_K_HOURS, TRUE_X) + rng.normal(0.0, NOISE_CFS, inflow.size)
    fit = least_squares(
        lambda p: route(inflow, p[0], p[1]) - observed, x0=[1.0, 0.3], bounds=([0.5, 0.0], [12.0, 0.5])
    )
    k_hours, x = fit.x
    return k_hours, x, float(np.sqrt(np.mean(fit.fun**2)))


# --- the ensemble on each backend ----------------------------------------------------


def batches(params, size):
    """The rows of `params` in slices of `size` rows (the last may be shorter)."""
    return [params[i : i + size] for i in range(0, len(params), size)]


def run_serial(params, size):
    return np.concatenate([members.run_batch(b) for b in batches(params, size)])


def run_threads(params, size, workers=2):
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        return np.concatenate(list(pool.map(members.run_batch, batches(params, size))))


def process_pool(workers=2):
    """Worker processes started fresh ("spawn", as on macOS and Windows):
    forking a process that already runs threads can deadlock."""
    return concurrent.futures.ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn"))


def run_processes(params, size, pool):
    return np.concatenate(list(pool.map(members.run_batch, batches(params, size))))


def local_cluster(workers=2):
    """A Dask cluster of `workers` worker processes with one thread each, on
    this machine only (loopback, no dashboard)."""
    from dask.distributed import LocalCluster

    return LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, silence_logs=logging.ERROR,
    )


def run_dask(params, size, client):
    # pure=False: every call computes afresh, even for batches Dask has seen.
    futures = client.map(members.run_batch, batches(params, size), pure=False)
    return np.concatenate(client.gather(futures))


# --- report -------------------------------------------------------------------


def same_bits(a, b):
    """Equal to the last bit, NaN included."""
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--members", type=int, default=32, help="ensemble members (default 32)")
    parser.add_argument("--batch", type=int, default=4, help="members per batch (default 4)")
    parser.add_argument("--no-dask", action="store_true", help="leave out the Dask cluster")
    parser.add_argument("--time", action="store_true", help="also print wall times (vary from run to run)")
    args = parser.parse_args(argv)

    k_hours, x, rms = calibrate()
    print("Calibration: Muskingum k and x from a routed hydrograph with noise added")
    print(f"  true        k = {TRUE_K_HOURS:.3f} h   x = {TRUE_X:.3f}")
    print(f"  recovered   k = {k_hours:.3f} h   x = {x:.3f}   "
          f"(noise sd {NOISE_CFS:g} cfs, rms residual {rms:.1f} cfs)")
    print()

    params = members.sample_parameters(args.members)
    print(f"Monte Carlo ensemble: {args.members} members of the storm-event chain, "
          f"{members.EVENT_HOURS} h at 15-minute steps, batches of {args.batch}")
    runs = [("serial", lambda: run_serial(params, args.batch)),
            ("2 threads", lambda: run_threads(params, args.batch))]
    results, times = {}, {}
    with contextlib.ExitStack() as stack:
        pool = stack.enter_context(process_pool())
        pool.submit(members.run_batch, params[:1]).result()  # the workers are up
        runs.append(("2 processes (ProcessPoolExecutor)", lambda: run_processes(params, args.batch, pool)))
        if not args.no_dask:
            from dask.distributed import Client

            client = stack.enter_context(Client(stack.enter_context(local_cluster())))
            client.submit(members.run_batch, params[:1]).result()
            runs.append(("Dask LocalCluster, 2 worker processes", lambda: run_dask(params, args.batch, client)))
        for name, run in runs:
            t0 = time.perf_counter()
            results[name] = run()
            times[name] = time.perf_counter() - t0

    serial = results["serial"]
    failed = False
    for name, result in results.items():
        if name == "serial":
            verdict = "reference"
        elif same_bits(result, serial):
            verdict = "identical to serial, bit for bit"
        else:
            verdict = "DIFFERS from serial"
            failed = True
        timing = f" {times[name] * 1e3:8.1f} ms {times['serial'] / times[name]:5.2f}x serial" if args.time else ""
        print(f"  {name:<40} {verdict:<33}{timing}".rstrip())
    print()

    kge, peak, elevation, _ = serial.T
    print(f"Ensemble spread ({args.members} members)         5 %    median      95 %")
    for label, values, fmt in (("KGE against the observed outflow", kge, "9.3f"),
                               ("peak reservoir outflow (cfs)", peak, "9,.0f"),
                               ("peak pool elevation (ft)", elevation, "9.2f")):
        low, mid, high = np.percentile(values, [5, 50, 95])
        print(f"  {label:<33}{low:{fmt}} {mid:{fmt}} {high:{fmt}}")
    over = int(np.count_nonzero(elevation > members.study.CREST))
    print(f"  members whose pool rose above the spillway crest: {over} of {args.members}")
    if failed:
        print("a parallel run differs from the serial one", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    # A failure exits non-zero; success returns, so that the gallery of the
    # documentation, which runs this file inside Sphinx's own process, goes on.
    if status := main():
        sys.exit(status)
