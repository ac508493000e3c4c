"""quellmar against the alternatives a user would otherwise reach for.

    python benchmarks/run.py            # full run, about a minute
    python benchmarks/run.py --quick    # fewer repeats, smaller slices, about 20 seconds

(with the built module importable, e.g. PYTHONPATH=<build dir>).

Every public routine is timed on realistic sizes.  Each alternative runs in
the same process, on the same inputs, right after quellmar, and its result is
checked against quellmar's first: the pure-Python implementations
(tests/reference.py) bit for bit, the NumPy formulations and the
published KGE packages to a stated tolerance.  The table gives, per workload,
quellmar's time and each alternative's time, and the ratio alternative /
quellmar: how many times faster quellmar is (below 1: slower).  A "floor" row
is the cost that no implementation can avoid when its inputs and outputs are
Python lists (reading the input lists, building the output lists); there the
ratio column shows quellmar / floor instead, marked with "x floor".

Times are the best of several runs (perf_counter).  Where a pure-Python run on
the full size would take seconds, it runs on a slice and is scaled by the
amount of work (values, or simulated seconds); the alternative's label says so.
"""
import argparse
import array
import concurrent.futures
import math
import os
import random
import resource
import subprocess
import sys
import time
from datetime import timedelta

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# The plain-Python implementations are the tests' reference models.
sys.path.insert(1, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
# NumPy's matrix products run on one BLAS thread: on a small, shared machine a
# thread hand-off costs more than the arithmetic, and this is NumPy's best case.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import bench_ensemble  # noqa: E402
import bench_reservoir  # noqa: E402
import reference as pp  # noqa: E402
import quellmar  # noqa: E402
import table  # noqa: E402
from table import NOTES, ROWS, Group, best, fmt_time, load_average, print_table  # noqa: E402

try:
    import numpy as np
except ImportError:  # the NumPy rows are skipped
    np = None

CTS = quellmar.utils.ContinuousTimeSeries
ITS = quellmar.utils.IncrementalTimeSeries
ru = quellmar.reservoir.reservoir_utils
HOUR = timedelta(hours=1)

QUICK = False


def check_equal(name, got, want):
    """Bit-for-bit equality of two float lists (NaN equal to NaN)."""
    if len(got) != len(want):
        raise AssertionError(f"{name}: length {len(got)} != {len(want)}")
    a = array.array("d", got).tobytes()
    b = array.array("d", want).tobytes()
    if a != b:
        i = next(i for i in range(len(got)) if array.array("d", [got[i]]) != array.array("d", [want[i]]))
        raise AssertionError(f"{name}: differs from quellmar at index {i}: {got[i]!r} != {want[i]!r}")


def check_close(name, got, want, rel):
    got, want = list(got), list(want)
    if len(got) != len(want):
        raise AssertionError(f"{name}: length {len(got)} != {len(want)}")
    scale = max(abs(v) for v in want) or 1.0
    worst = max(abs(g - w) for g, w in zip(got, want)) / scale
    if not worst <= rel:
        raise AssertionError(f"{name}: relative difference {worst:.3g} > {rel:g}")
    return worst


# --- inputs ---------------------------------------------------------------------------

def hydrograph(n, seed=1, base=60.0, peak=2400.0):
    """Flows with a storm every ten days (hourly), a slow wave and noise."""
    rnd = random.Random(seed)
    return [base + peak * math.exp(-(((i % 240) - 36) / 14.0) ** 2) + 20.0 * math.sin(i / 900.0)
            + 5.0 * rnd.random() for i in range(n)]


def storm_rainfall(n, seed=2, zero_share=0.6):
    rnd = random.Random(seed)
    return [0.0 if rnd.random() < zero_share else 0.4 * rnd.random() ** 2 for _ in range(n)]


# --- workloads ---------------------------------------------------------------------------

def bench_muskingum(n):
    route = quellmar.reach.run_muskingum_routing
    values = hydrograph(n)
    step, k, x, initial = timedelta(minutes=15), timedelta(hours=6), 0.2, values[0]
    dt, k_s = step.total_seconds(), pp.seconds(k)
    series = CTS(values, step, "discharge")
    slice_n = n // 10 if n >= 10**5 else n
    for segments in (1, 10):
        expected = route(series, k, x, segments, initial).data
        check_equal("pure-Python Muskingum", pp.muskingum(values[:slice_n], dt, k_s, x, segments, initial),
                    expected[:slice_n])

        def end_to_end():
            return route(CTS(values, step, "discharge"), k, x, segments, initial).data

        g = Group("Muskingum", f"{n:,} values, {segments} sub-reach{'es' if segments > 1 else ''}, lists in/out",
                  best(end_to_end))
        t_pure = best(lambda: pp.muskingum(values[:slice_n], dt, k_s, x, segments, initial), repeat=3) * n / slice_n
        label = "pure Python" + (f" (on {slice_n:,} values, x{n // slice_n})" if slice_n != n else "")
        g.vs(label, t_pure)
        if segments == 1:
            t_floor = best(lambda: CTS(values, step, "discharge").data)
            g.floor("floor: series from list + .data", t_floor)
            g.floor("floor: array('d', list).tolist()", best(lambda: array.array("d", values).tolist()))
        t_core = best(lambda: route(series, k, x, segments, initial))
        g.info("quellmar on a built series, result not read", f"{fmt_time(t_core)}  ({t_pure / t_core:.0f}x pure)")


def clark_numpy(rain, dt, area, tc_s, r_s):
    """The NumPy formulation: translation ordinates vectorised, the reservoir
    recurrence as a loop over the n ordinates, the convolution by np.convolve."""
    n = math.ceil(tc_s / dt)
    t = np.minimum((dt * np.arange(1, n + 1)) / tc_s, 1.0)
    a = np.where(t < 0.5, pp.TIME_AREA * t ** 1.5, (1.0 - t) ** 1.5 * -pp.TIME_AREA + 1.0)
    u = (((np.diff(a, prepend=0.0)) * area) * pp.ACRE_INCH_PER_HOUR_CFS) / (dt / 3600.0)
    uh = pp.muskingum_segment(u.tolist(), 0.0, dt, r_s, 0.0)
    return np.convolve(np.asarray(rain, dtype=np.float64), uh).tolist()


def bench_clark(m):
    clark = quellmar.rainfall_transform.run_clark_uh
    step = timedelta(minutes=6)
    tc, r, area = step * 100, timedelta(hours=4), 640.0
    dt, tc_s, r_s = step.total_seconds(), pp.seconds(tc), pp.seconds(r)
    for label, zero_share in (("dense", 0.0), ("sparse, 90 % zero", 0.9)):
        rain = storm_rainfall(m, 3, zero_share)
        expected = clark(ITS(rain, step, "rainfall"), area, tc, r).data
        slice_m = m // 10 if QUICK and zero_share == 0.0 else m
        check_equal("pure-Python Clark", pp.clark(rain[:slice_m], dt, area, tc_s, r_s)[:slice_m], expected[:slice_m])
        g = Group("Clark transform", f"{m:,} rainfall values, tc/dt = 100, {label}",
                  best(lambda: clark(ITS(rain, step, "rainfall"), area, tc, r).data))
        t_pure = best(lambda: pp.clark(rain[:slice_m], dt, area, tc_s, r_s), repeat=3) * m / slice_m
        g.vs("pure Python" + (f" (on {slice_m:,} values, x{m // slice_m})" if slice_m != m else ""), t_pure)
        if np is not None:
            check_close("NumPy Clark", clark_numpy(rain, dt, area, tc_s, r_s), expected, 1e-12)
            g.vs("NumPy (np.convolve), lists in/out", best(lambda: clark_numpy(rain, dt, area, tc_s, r_s)))
        series = ITS(rain, step, "rainfall")
        t_core = best(lambda: clark(series, area, tc, r))
        g.info("quellmar on a built series, result not read", f"{fmt_time(t_core)}  ({t_pure / t_core:.0f}x pure)")
        out = CTS(expected, step, "discharge")
        g.floor("floor: series from list + .data", best(lambda: (ITS(rain, step, "rainfall"), out.data)))


def reservoir_setup(n_hours):
    curve = ru.ElevationStorage([0, 10, 30, 60, 80, 100], [0, 2.0e7, 1.2e8, 4.5e8, 7.8e8, 1.2e9])
    rating_e, rating_q = [5.0, 20.0, 40.0, 70.0, 100.0], [0.0, 150.0, 420.0, 800.0, 1100.0]
    spill_e, spill_q = [30.0, 34.0, 45.0, 100.0], [0.0, 400.0, 3000.0, 30000.0]
    days = n_hours // 24 + 2
    release = [35.0 + 10.0 * math.sin(d / 5.0) for d in range(days)]
    outlets = {
        "spillway": ru.UnControlledDischargeInfo(ru.ElevationDischarge(spill_e, spill_q)),
        "gate": ru.ControlledDischargeInfo(ru.ElevationDischarge(rating_e, rating_q), 8.0, None, 600.0),
        "schedule": ru.SpecifiedDischargeInfo(CTS(release, timedelta(days=1), "discharge"), 6.0, None, 40.0),
        "fixed": ru.ConstantDischargeInfo(15.0, 4.0),
    }
    pure_outlets = {
        "spillway": pp.uncontrolled_outlet(spill_e, spill_q),
        "gate": pp.controlled_outlet(rating_e, rating_q, 8.0, None, 600.0),
        "schedule": pp.specified_outlet(release, 86400, 6.0, None, 40.0),
        "fixed": pp.constant_outlet(15.0, 4.0),
    }
    return curve, outlets, pure_outlets


def level_pool_results(r):
    return (r.reservoir_storage.data, r.reservoir_elevation.data, r.reservoir_total_outflow.data,
            {k: v.data for k, v in r.reservoir_individual_outflows.items()})


def bench_level_pool():
    run = quellmar.reservoir.run_level_pool_routing
    n = 241
    secs = (n - 2) * 3600 + 1
    curve, outlets, pure_outlets = reservoir_setup(n)
    inflow = hydrograph(n)
    e0 = 20.0

    # pure Python, checked bit for bit on a slice, timed on it, scaled per simulated second
    slice_n = 25 if QUICK else 49
    slice_secs = (slice_n - 2) * 3600 + 1
    got = pp.level_pool(inflow[:slice_n], 3600, e0, curve.elevation, curve.storage, pure_outlets)
    want = level_pool_results(run(CTS(inflow[:slice_n], HOUR, "discharge"), e0, curve, outlets))
    for a, b in zip(got[:3], want[:3]):
        check_equal("pure-Python level pool", a, b)
    for name in want[3]:
        check_equal("pure-Python level pool outlet", got[3][name], want[3][name])
    t_pure_slice = best(lambda: pp.level_pool(inflow[:slice_n], 3600, e0, curve.elevation, curve.storage,
                                              pure_outlets), repeat=2)
    pure_per_sec = t_pure_slice / slice_secs

    def end_to_end():
        return level_pool_results(run(CTS(inflow, HOUR, "discharge"), e0, curve, outlets))

    t = best(end_to_end)
    g = Group("level pool routing", f"{n} hourly values, 4 outlets (all kinds), {secs:,} simulated s", t)
    g.vs(f"pure Python (on {slice_n} values, scaled per simulated s)", pure_per_sec * secs)
    g.info("quellmar per simulated second", f"{t / secs * 1e9:.1f} ns")

    year = 8760
    ysecs = (year - 2) * 3600 + 1
    ycurve, youtlets, _ = reservoir_setup(year)
    yinflow = hydrograph(year)
    ty = best(lambda: level_pool_results(run(CTS(yinflow, HOUR, "discharge"), e0, ycurve, youtlets)),
              repeat=2 if QUICK else 3)
    g = Group("level pool routing", f"one year hourly ({year:,} values), 4 outlets, {ysecs:,} simulated s", ty)
    g.vs("pure Python (scaled per simulated s from the row above)", pure_per_sec * ysecs)
    g.info("quellmar per simulated second", f"{ty / ysecs * 1e9:.1f} ns")

    # Fully active workloads against the bare dependent chain of a simulated
    # second (benchmarks/level_pool_chain.c), both in thread CPU time.
    for label, secs, q_ns, chain_ns in bench_reservoir.chain_comparison(5 if QUICK else 15):
        g = Group("level pool routing", f"{label}, {secs:,} simulated s", q_ns * secs * 1e-9)
        g.floor("floor: bare dependent chain (C, -O2 -ffp-contract=off)", chain_ns * secs * 1e-9)
        g.info("per simulated second, thread CPU time", f"{q_ns:.1f} ns  (chain {chain_ns:.1f} ns)")
    return ty


def bench_baseflow(n):
    LR = quellmar.baseflow.LinearReservoir
    layers_spec = [("shallow", 6 * 3600, 0.1, 1.5), ("interflow", 30 * 3600, 0.2, 2.0),
                   ("upper", 4 * 86400, 0.15, 3.0), ("lower", 20 * 86400, 0.25, 5.5),
                   ("deep", 90 * 86400, 0.3, 12.0)]
    layers = {name: LR(timedelta(seconds=k), f, q, 3) for name, k, f, q in layers_spec}
    pure_layers = [(name, k, f, q, 3) for name, k, f, q in layers_spec]
    rain = storm_rainfall(n, 4, 0.5)
    run = quellmar.baseflow.run_linear_reservoir
    area = 2560.0

    def end_to_end():
        total, flows = run(area, ITS(rain, HOUR, "rainfall"), layers)
        return total.data, {k: v.data for k, v in flows.items()}

    total, flows = end_to_end()
    slice_n = n // 10
    p_total, p_flows = pp.linear_reservoir(area, rain[:slice_n], 3600, pure_layers)
    check_equal("pure-Python baseflow total", p_total, total[:slice_n])
    for name in flows:
        check_equal("pure-Python baseflow layer", p_flows[name], flows[name][:slice_n])
    g = Group("baseflow", f"5 layers x 3 stages, {n:,} steps, list in, 6 lists out", best(end_to_end))
    t_pure = best(lambda: pp.linear_reservoir(area, rain[:slice_n], 3600, pure_layers), repeat=2) * n / slice_n
    g.vs(f"pure Python (on {slice_n:,} steps, x{n // slice_n})", t_pure)
    series = ITS(rain, HOUR, "rainfall")
    t_core = best(lambda: run(area, series, layers))
    g.info("quellmar on a built series, results not read", f"{fmt_time(t_core)}  ({t_pure / t_core:.0f}x pure)")
    t_floor = best(lambda: [s.data for s in [ITS(rain, HOUR, "rainfall")] + [CTS(total, HOUR, "discharge")] * 6])
    g.floor("floor: series from list + 6 x .data", t_floor)


def bench_loss(n):
    run = quellmar.rainfall_loss.run_deficit_and_constant
    rain = storm_rainfall(n, 5, 0.6)
    step, dry = timedelta(minutes=15), timedelta(hours=36)
    args = (0.5, 2.0, 0.1)

    def end_to_end():
        r = run(ITS(rain, step, "rainfall"), *args, dry)
        return r.excess.data, r.loss.data, r.deficit.data

    want = end_to_end()
    slice_n = n // 10
    got = pp.deficit_and_constant(rain[:slice_n], 900, *args, pp.seconds(dry))
    for a, b in zip(got, want):
        check_equal("pure-Python loss model", a, b[:slice_n])
    g = Group("loss model", f"{n:,} steps (60 % dry), list in, 3 lists out", best(end_to_end))
    t_pure = best(lambda: pp.deficit_and_constant(rain[:slice_n], 900, *args, pp.seconds(dry)),
                  repeat=3) * n / slice_n
    g.vs(f"pure Python (on {slice_n:,} steps, x{n // slice_n})", t_pure)
    outs = [ITS(v, step, "rainfall") for v in want]
    g.floor("floor: series from list + 3 x .data", best(lambda: (ITS(rain, step, "rainfall"),
                                                                 [s.data for s in outs])))
    g.floor("floor: array('d', list) + 3 x .tolist()", best(
        lambda: [array.array("d", rain)] + [array.array("d", v).tolist() for v in want]))
    series = ITS(rain, step, "rainfall")
    t_core = best(lambda: run(series, *args, dry))
    g.info("quellmar on a built series, results not read", f"{fmt_time(t_core)}  ({t_pure / t_core:.0f}x pure)")


def kge_numpy(sim, obs):
    """The same definition in NumPy, two-pass deviations (population sd)."""
    ms, mo = sim.mean(), obs.mean()
    ds, do = sim - ms, obs - mo
    sss, soo, sso = ds @ ds, do @ do, ds @ do
    n = sim.size
    q = math.sqrt(soo * sss)
    constant = bool((sim == sim[0]).all() or (obs == obs[0]).all())
    corr = 1.0 if constant or q == 0.0 else (sso / q - 1.0) ** 2
    std_s, std_o = math.sqrt(sss / n), math.sqrt(soo / n)
    mo = 1e-6 if abs(mo) < 1e-6 else mo
    std_o = 1e-6 if std_o < 1e-6 else std_o
    return 1.0 - math.sqrt((std_s / std_o - 1.0) ** 2 + ((ms / mo - 1.0) ** 2 + corr))


def kge_numpy_moments(sim, obs):
    """One pass of raw moments (sums of x, x^2, xy): fastest in NumPy, but
    cancellation loses digits when the mean is large against the spread."""
    n = sim.size
    ss, so = sim.sum(), obs.sum()
    ms, mo = ss / n, so / n
    sss = sim @ sim - ss * ms
    soo = obs @ obs - so * mo
    sso = sim @ obs - ss * mo
    corr = (sso / math.sqrt(soo * sss) - 1.0) ** 2
    return 1.0 - math.sqrt((math.sqrt(sss / soo) - 1.0) ** 2 + ((ms / mo - 1.0) ** 2 + corr))


def bench_kge(n):
    kge = quellmar.metrics.calculate_kge
    rnd = random.Random(6)
    obs = hydrograph(n, 7)
    sim = [0.9 * v + 15.0 * rnd.random() for v in obs]
    want = kge(sim, obs)
    slice_n = n // 10
    if pp.kge(sim[:slice_n], obs[:slice_n]) != kge(sim[:slice_n], obs[:slice_n]):
        raise AssertionError("pure-Python KGE differs from quellmar")
    g = Group("KGE", f"{n:,} values, from two lists", best(lambda: kge(sim, obs)))
    t_pure = best(lambda: pp.kge(sim[:slice_n], obs[:slice_n]), repeat=3) * n / slice_n
    g.vs(f"pure Python (on {slice_n:,} values, x{n // slice_n})", t_pure)
    g.floor("floor: reading both lists (2 x series from list)",
            best(lambda: (CTS(sim, HOUR, "discharge"), CTS(obs, HOUR, "discharge"))))
    g.floor("floor: array('d', list) for both", best(lambda: (array.array("d", sim), array.array("d", obs))))
    if np is not None:
        g.vs("NumPy (np.asarray of both lists, then as below)",
             best(lambda: kge_numpy(np.asarray(sim), np.asarray(obs))))
    if np is None:
        NOTES.append("KGE on float64 arrays: NumPy not installed, rows skipped.")
        return
    s, o = np.asarray(sim, dtype=np.float64), np.asarray(obs, dtype=np.float64)
    if kge(s, o) != want:
        raise AssertionError("KGE from arrays differs from KGE from lists")
    g = Group("KGE", f"{n:,} values, from two float64 numpy arrays", best(lambda: kge(s, o)))
    check_close("NumPy KGE", [kge_numpy(s, o)], [want], 1e-12)
    g.vs("NumPy, two-pass deviations (same definition)", best(lambda: kge_numpy(s, o)))
    worst_moments = check_close("NumPy raw moments", [kge_numpy_moments(s, o)], [want], 1e-6)
    g.vs("NumPy, one-pass raw moments (loses digits, see note)", best(lambda: kge_numpy_moments(s, o)))
    NOTES.append(f"KGE, NumPy raw moments: differs from the two-pass value by {worst_moments:.1e} (relative) on "
                 f"this series; on flows with mean 1e4 and spread 1 it is off in the "
                 f"{moments_digits_lost()} digit.  Not the same computation, listed for completeness.")
    try:
        import hydroeval
        he_val = float(hydroeval.kge(s, o)[0][0])
        check_close("hydroeval", [he_val], [want], 1e-9)
        g.vs(f"hydroeval {getattr(hydroeval, '__version__', '')} kge (population sd)",
             best(lambda: hydroeval.kge(s, o)))
    except ImportError:
        NOTES.append("hydroeval not installed: its row is skipped (pip install hydroeval).")
    try:
        import HydroErr
        he_val = float(HydroErr.kge_2009(s, o))
        check_close("HydroErr", [he_val], [want], 1e-9)
        g.vs(f"HydroErr {getattr(HydroErr, '__version__', '')} kge_2009 (sample sd)",
             best(lambda: HydroErr.kge_2009(s, o)))
    except ImportError:
        NOTES.append("HydroErr not installed: its row is skipped (pip install HydroErr).")
    NOTES.append("KGE definitions: quellmar and hydroeval use population standard deviations, HydroErr's kge_2009 "
                 "sample ones (ddof=1); the ratio gamma and so the KGE agree to rounding (checked to 1e-9). "
                 "hydroeval takes beta as sum(sim)/sum(obs); HydroErr returns NaN (with a warning) where "
                 "quellmar guards a zero mean or spread of obs with 1e-6.")


def moments_digits_lost():
    x = np.full(10**5, 1e4) + np.sin(np.arange(10**5))
    y = x + 0.1 * np.cos(np.arange(10**5))
    exact = quellmar.metrics.calculate_kge(y, x)
    rough = kge_numpy_moments(y, x)
    err = abs(rough - exact) / abs(exact)
    digit = max(1, -int(math.floor(math.log10(err)))) if err > 0 else 16
    return {1: "1st", 2: "2nd", 3: "3rd"}.get(digit, f"{digit}th")


def bench_array_path():
    """Arrays in and out (benchmarks/bench_arrays.py)."""
    try:
        import bench_arrays
        import scipy.signal  # noqa: F401
    except ImportError as e:
        NOTES.append(f"Array path: {e.name} not installed, its rows are skipped (pip install numpy scipy hydroeval).")
        return
    for w in bench_arrays.workloads(QUICK):
        if w["time"] is None:
            NOTES.append(f"{w['routine']}: {w['workload']}.")
            continue
        g = Group(w["routine"], w["workload"], w["time"])
        for name, t, _ in w["rows"]:
            g.vs(name, t)
        for name, t in w["info"]:
            g.info(name, fmt_time(t))


CORES_USED = {}


def interleaved(ensemble):
    """Best times of ensemble(1) and ensemble(2), measured alternately so
    that a burst of load elsewhere hits both alike.  Also records how many
    cores the process kept busy (CPU time / wall time) in its best 2-thread
    run: close to 2 means the runs did not wait for each other."""
    t1, t2 = math.inf, math.inf
    for _ in range(3 if QUICK else 7):
        t0 = time.perf_counter()
        ensemble(1)
        t1 = min(t1, time.perf_counter() - t0)
        t0, c0 = time.perf_counter(), time.process_time()
        ensemble(2)
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
        if wall < t2:
            t2 = wall
            CORES_USED[ensemble] = cpu / wall
    return t1, t2


# --- ensembles on threads -----------------------------------------------------------------------

def bench_threads():
    run = quellmar.reservoir.run_level_pool_routing
    n = 241
    curve, outlets, _ = reservoir_setup(n)
    inflow = CTS(hydrograph(n), HOUR, "discharge")
    members = [20.0 + 0.25 * i for i in range(8 if QUICK else 16)]

    def one(e0):
        return run(inflow, e0, curve, outlets).reservoir_storage.data

    serial = [one(e) for e in members]

    def ensemble(workers):
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            out = list(pool.map(one, members))
        if out != serial:
            raise AssertionError("threaded ensemble differs from the serial one")

    t1, t2 = interleaved(ensemble)
    g = Group("ensemble (threads)", f"{len(members)} level pool runs of {n} hourly values, 4 outlets", t2)
    ROWS[-1] = ROWS[-1][:3] + ("on 2 threads",) + ROWS[-1][4:]
    ratio = g.vs("the same on 1 thread", t1)
    g.info("cores busy during the 2-thread run (CPU time / wall time)", f"{CORES_USED[ensemble]:.2f}")
    NOTES.append(f"Ensemble: 2 threads give {ratio:.2f}x the throughput of 1 thread "
                 f"({len(members) / t2:.1f} vs {len(members) / t1:.1f} runs/s); "
                 f"os.cpu_count() = {os.cpu_count()}, load average {load_average()} when measured (other "
                 f"processes on the machine take cores from the 2-thread run).")

    # Control: C code that runs without the GIL (hashlib on 16 MiB blocks),
    # to show how much of a second core the machine gives at this moment.
    import hashlib
    block = b"q" * (16 << 20)
    blocks = list(range(8 if QUICK else 16))

    def ensemble_c(workers):
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            list(pool.map(lambda _: hashlib.sha256(block).digest(), blocks))

    t1, t2 = interleaved(ensemble_c)
    g = Group("ensemble (threads)", f"control: hashlib.sha256 of {len(blocks)} x 16 MiB (C, no GIL)", t2)
    ROWS[-1] = ROWS[-1][:3] + ("on 2 threads",) + ROWS[-1][4:]
    control = g.vs("the same on 1 thread", t1)
    g.info("cores busy during the 2-thread run (CPU time / wall time)", f"{CORES_USED[ensemble_c]:.2f}")
    NOTES.append(f"Control: plain C work without the GIL got {control:.2f}x on 2 threads in the same minutes: "
                 f"the most this machine offered then.")

    route = quellmar.reach.run_muskingum_routing
    big = CTS(hydrograph(500_000), timedelta(minutes=15), "discharge")
    ks = [timedelta(hours=2 + i) for i in range(8 if QUICK else 16)]

    def musk(k):
        return route(big, k, 0.2, 10, 60.0)

    def ensemble_m(workers):
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            list(pool.map(musk, ks))

    t1, t2 = interleaved(ensemble_m)
    g = Group("ensemble (threads)", f"{len(ks)} Muskingum runs, 500,000 values x 10 sub-reaches", t2)
    ROWS[-1] = ROWS[-1][:3] + ("on 2 threads",) + ROWS[-1][4:]
    g.vs("the same on 1 thread", t1)
    g.info("cores busy during the 2-thread run (CPU time / wall time)", f"{CORES_USED[ensemble_m]:.2f}")


# --- peak memory ---------------------------------------------------------------------------------

MEMORY_CHILD = r"""
import resource, sys
sys.path.insert(0, {here!r})
import run as b


def peak_kib():
    # this process's own high-water mark (ru_maxrss can carry the parent's)
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


n = int(sys.argv[1])
curve, outlets, _ = b.reservoir_setup(n)
inflow = b.CTS(b.hydrograph(n), b.HOUR, "discharge")
before = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, peak_kib())
r = b.quellmar.reservoir.run_level_pool_routing(inflow, 20.0, curve, outlets)
after = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, peak_kib())
print(*before, *after, len(r.reservoir_storage.data))
"""


def peak_memory(n):
    code = MEMORY_CHILD.format(here=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", code, str(n)], check=True, capture_output=True, text=True,
                         env=os.environ.copy()).stdout.split()
    return [int(v) for v in out[:4]]


def bench_memory():
    """Run first, while this process is small: a child's ru_maxrss starts
    from its parent's resident size."""
    rows = [(n, *peak_memory(n)) for n in (3, 8760)]
    lines = ["Peak resident memory of one level pool run, in a fresh interpreter (KiB; getrusage ru_maxrss, and "
             "the child's own VmHWM):",
             f"  {'inflow values':>13}  {'simulated s':>12}  {'maxrss before':>13}  {'after':>7}  "
             f"{'VmHWM before':>12}  {'after':>7}  {'growth':>6}"]
    for n, rb, hb, ra, ha in rows:
        lines.append(f"  {n:>13,}  {max((n - 2) * 3600 + 1, 0):>12,}  {rb:>13,}  {ra:>7,}  {hb:>12,}  {ha:>7,}  "
                     f"{ha - hb:>6,}")
    grow = (rows[1][4] - rows[1][2]) - (rows[0][4] - rows[0][2])
    lines.append(f"  The year run simulates {((8760 - 2) * 3600 + 1) // 3601:,}x as many seconds and raises the "
                 f"peak by {grow:,} KiB more than the 3-value run; its result vectors are "
                 f"~{8760 * 8 * 8 // 1024} KiB, and a per-second time grid would be "
                 f"{((8760 - 2) * 3600 + 1) * 8 // 2**20} MiB.")
    return lines


# --- main ----------------------------------------------------------------------------------------

def main():
    global QUICK
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats and smaller pure-Python slices")
    parser.add_argument("--only", help="run only the workloads whose name contains this text "
                                       "(muskingum, clark, level, baseflow, loss, kge, arrays, threads, ensemble, memory)")
    args = parser.parse_args()
    QUICK = table.QUICK = args.quick
    start = time.perf_counter()
    memory = bench_memory() if not args.only or args.only in "memory" else []
    print(f"quellmar benchmarks{' (--quick)' if QUICK else ''}: Python {sys.version.split()[0]}, "
          f"{os.cpu_count()} CPUs, NumPy {np.__version__ if np is not None else 'absent'}, "
          f"load average {load_average()}")
    print()
    million = 10**6
    steps = [
        ("muskingum", lambda: bench_muskingum(million)),
        ("clark", lambda: bench_clark(10**4)),
        ("level", bench_level_pool),
        ("baseflow", lambda: bench_baseflow(million)),
        ("loss", lambda: bench_loss(million)),
        ("kge", lambda: bench_kge(million)),
        ("arrays", bench_array_path),
        ("threads", bench_threads),
        ("ensemble", lambda: bench_ensemble.bench()),
    ]
    for name, fn in steps:
        if args.only and args.only not in name:
            continue
        fn()
    if ROWS:
        print_table()
        print()
    for line in memory:
        print(line)
    print()
    print(f"total benchmark time {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
