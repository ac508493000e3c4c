"""The array path: numpy arrays in (one copy into the series), arrays out
(np.asarray(result), no copy), against what a numpy user would otherwise
call on the same arrays.

    python benchmarks/bench_arrays.py [--quick]

benchmarks/run.py includes these rows (`--only arrays`).  Needs numpy and
scipy; hydroeval for the KGE row (pip install scipy hydroeval).  Each
alternative runs in the same process, on the same arrays, alternately with
quellmar, and its result is checked against quellmar's to a stated tolerance.
"""
import math
import os
import sys
import time
from datetime import timedelta

import numpy as np

import quellmar

CTS = quellmar.utils.ContinuousTimeSeries
ITS = quellmar.utils.IncrementalTimeSeries


def alternately(fns, repeat):
    """Best wall time of each function, the functions called in turn so
    that a burst of load elsewhere on the machine hits them alike."""
    best = [math.inf] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - t0)
    return best


def relative_difference(got, want):
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    if got.shape != want.shape:
        raise AssertionError(f"shape {got.shape} != {want.shape}")
    return float(np.max(np.abs(got - want)) / (np.max(np.abs(want)) or 1.0))


def check(name, got, want, rel):
    worst = relative_difference(got, want)
    if not worst <= rel:
        raise AssertionError(f"{name}: relative difference {worst:.3g} > {rel:g}")
    return worst


def hydrograph(n, seed=1):
    rng = np.random.default_rng(seed)
    i = np.arange(n)
    return (60.0 + 2400.0 * np.exp(-(((i % 240) - 36) / 14.0) ** 2) + 20.0 * np.sin(i / 900.0)
            + 5.0 * rng.random(n))


def muskingum_coefficients(dt, k, x):
    two_k = k + k
    a, b = two_k * x, two_k * (1.0 - x)
    d = dt + b
    return (dt - a) / d, (dt + a) / d, (b - dt) / d


def muskingum(quick):
    """10^6 values through one reach: O[i] = C2 O[i-1] + C1 I[i-1] + C0 I[i],
    which is lfilter's first-order filter b = [C0, C1], a = [1, -C2], with
    the initial state that makes O[0] the initial outflow."""
    from scipy.signal import lfilter

    route = quellmar.reach.run_muskingum_routing
    n = 10**6
    inflow = hydrograph(n)
    step, k, x = timedelta(minutes=15), timedelta(hours=6), 0.2
    first = float(inflow[0])
    c0, c1, c2 = muskingum_coefficients(step.total_seconds(), k.total_seconds(), x)

    def ours():
        return np.asarray(route(CTS(inflow, step, "discharge"), k, x, 1, first))

    def scipy_lfilter():
        return lfilter([c0, c1], [1.0, -c2], inflow, zi=[first - c0 * inflow[0]])[0]

    def through_lists():  # what an array user had before: out through .data
        return np.asarray(route(CTS(inflow, step, "discharge"), k, x, 1, first).data)

    worst = check("scipy.signal.lfilter Muskingum", scipy_lfilter(), ours(), 1e-12)
    series = CTS(inflow, step, "discharge")
    t_ours, t_lfilter, t_build, t_route = alternately(
        [ours, scipy_lfilter, lambda: CTS(inflow, step, "discharge"), lambda: route(series, k, x, 1, first)],
        7 if quick else 21)
    t_lists, = alternately([through_lists], 2 if quick else 5)
    return {
        "routine": "Muskingum (arrays)",
        "workload": f"{n:,} values, 1 sub-reach, float64 array in, np.asarray(result) out",
        "time": t_ours,
        "rows": [
            (f"scipy.signal.lfilter, same recurrence (max rel. diff {worst:.0e})", t_lfilter, 1.0),
            ("quellmar, result out through .data (a list)", t_lists, None),
        ],
        "info": [
            ("of which: series from the array (one copy)", t_build),
            ("of which: routing a built series, result not read", t_route),
        ],
    }


def clark_unit_hydrograph(dt, area, tc_s, r_s):
    """The Clark unit hydrograph in numpy: translation ordinates vectorised,
    the linear reservoir (n steps) as a loop."""
    n = math.ceil(tc_s / dt)
    t = np.minimum((dt * np.arange(1, n + 1)) / tc_s, 1.0)
    a = np.where(t < 0.5, 1.414 * t ** 1.5, (1.0 - t) ** 1.5 * -1.414 + 1.0)
    u = (((np.diff(a, prepend=0.0)) * area) * 1.00833) / (dt / 3600.0)
    c0, c1, c2 = muskingum_coefficients(dt, r_s, 0.0)
    out = [0.0] * n
    for i in range(1, n):
        out[i] = c2 * out[i - 1] + (c1 * u[i - 1] + c0 * u[i])
    return np.array(out)


def clark(quick):
    run = quellmar.rainfall_transform.run_clark_uh
    m = 10**5
    step = timedelta(minutes=6)
    tc, r, area = step * 100, timedelta(hours=4), 640.0
    rng = np.random.default_rng(3)
    rain = np.where(rng.random(m) < 0.6, 0.0, 0.4 * rng.random(m) ** 2)
    dt, tc_s, r_s = step.total_seconds(), tc.total_seconds(), r.total_seconds()

    def ours():
        return np.asarray(run(ITS(rain, step, "rainfall"), area, tc, r))

    def numpy_convolve():
        return np.convolve(rain, clark_unit_hydrograph(dt, area, tc_s, r_s))

    uh = clark_unit_hydrograph(dt, area, tc_s, r_s)
    worst = check("np.convolve Clark", numpy_convolve(), ours(), 1e-12)
    t_ours, t_np, t_conv = alternately([ours, numpy_convolve, lambda: np.convolve(rain, uh)], 5 if quick else 15)
    return {
        "routine": "Clark transform (arrays)",
        "workload": f"{m:,} rainfall values (60 % zero), tc/dt = 100, array in, np.asarray(result) out",
        "time": t_ours,
        "rows": [
            (f"numpy: unit hydrograph + np.convolve (max rel. diff {worst:.0e})", t_np, None),
            ("np.convolve alone, unit hydrograph given", t_conv, None),
        ],
        "info": [],
    }


def kge(quick):
    calculate_kge = quellmar.metrics.calculate_kge
    n = 10**6
    obs = hydrograph(n, 7)
    routed = quellmar.reach.run_muskingum_routing(CTS(obs * 0.95, timedelta(hours=1), "discharge"),
                                                  timedelta(hours=3), 0.2, 1, float(obs[0]))
    sim = np.asarray(routed)

    def ours():
        return calculate_kge(sim, obs)

    try:
        import hydroeval
    except ImportError:
        return {"routine": "KGE (arrays)", "workload": "hydroeval not installed (pip install hydroeval)",
                "time": None, "rows": [], "info": []}

    def hydroeval_kge():
        return float(hydroeval.kge(sim, obs)[0][0])

    worst = check("hydroeval KGE", [hydroeval_kge()], [ours()], 1e-9)
    t_ours, t_he = alternately([ours, hydroeval_kge], 5 if quick else 15)
    return {
        "routine": "KGE (arrays)",
        "workload": f"{n:,} values: np.asarray of a routed series against a float64 array",
        "time": t_ours,
        "rows": [(f"hydroeval {getattr(hydroeval, '__version__', '')} kge (rel. diff {worst:.0e})", t_he, None)],
        "info": [],
    }


def workloads(quick=False):
    """The rows of the array path, each a dict: routine, workload, time
    (quellmar's), rows (alternative, time, minimum ratio alternative /
    quellmar or None), info (label, time)."""
    return [muskingum(quick), clark(quick), kge(quick)]


def main():
    quick = "--quick" in sys.argv[1:]
    print(f"quellmar array path: Python {sys.version.split()[0]}, NumPy {np.__version__}, "
          f"load average {' / '.join(f'{v:.2f}' for v in os.getloadavg())}")
    for w in workloads(quick):
        print()
        print(f"{w['routine']}: {w['workload']}")
        if w["time"] is None:
            continue
        print(f"  quellmar  {w['time'] * 1e3:9.3f} ms")
        for name, t, _ in w["rows"]:
            print(f"  {name}: {t * 1e3:.3f} ms, {t / w['time']:.2f}x quellmar's time")
        for name, t in w["info"]:
            print(f"  {name}: {t * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
