"""Level pool routing: time per simulated second and per outlet, a 241-value
hourly storm with all four outlet kinds, one year of hourly inflow, and the
peak memory of the year run (measured in a subprocess with getrusage, since
the routine's memory is C++ memory that tracemalloc does not see).

Four fully active workloads are timed against the bare dependent chain of a
simulated second (level_pool_chain.c, built here with the system C compiler):
every outlet releasing over the whole run with caps binding part of the time
(once with a daily schedule, once with a 15-minute one and a spillway of
half-foot segments), and a flashy storm whose pool changes curve segment
often (once on one-foot storage segments, once on 0.05-ft ones).

Run:  PYTHONPATH=<build dir> python benchmarks/bench_reservoir.py
      PYTHONPATH=<build dir> python benchmarks/bench_reservoir.py --chain   # the chain comparison alone
      python benchmarks/bench_reservoir.py --builds gcc=DIR clang=DIR wheel=DIR [--rounds 5]
          # the chain comparison of several builds in one run: each round runs
          # every build in a fresh interpreter, one after the other; per build
          # and workload the best times of all rounds (quellmar and chain)
"""
import bisect
import ctypes
import math
import os
import resource
import subprocess
import sys
import tempfile
import time
from datetime import timedelta


def builds_main(argv):
    """--builds LABEL=DIR ... [--rounds N]: the chain comparison of each
    build (a directory holding a built module), rounds alternating between
    the builds, each in a fresh interpreter with the build first on its path."""
    builds, rounds, args = [], 5, list(argv)
    while args:
        a = args.pop(0)
        if a == "--rounds":
            rounds = int(args.pop(0))
        elif "=" in a:
            label, path = a.split("=", 1)
            builds.append((label, os.path.abspath(path)))
    best = {}
    order = []
    for _ in range(rounds):
        for label, path in builds:
            env = dict(os.environ, PYTHONPATH=path)
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--chain-child"], env=env, check=True,
                                 capture_output=True, text=True).stdout
            for line in out.strip().splitlines():
                workload, secs, q, c = line.split("\t")
                key = (workload, label)
                if key not in best:
                    order.append(key)
                    best[key] = [int(secs), math.inf, math.inf]
                best[key][1] = min(best[key][1], float(q))
                best[key][2] = min(best[key][2], float(c))
    print(f"{'fully active workload':>44} {'build':>8} {'simulated s':>12} {'quellmar ns/s':>14} {'chain ns/s':>11} "
          f"{'ratio':>6}")
    for workload, label in sorted(order, key=lambda k: [w for w, _ in order].index(k[0])):
        secs, q, c = best[(workload, label)]
        print(f"{workload:>44} {label:>8} {secs:>12,} {q:>14.1f} {c:>11.1f} {q / c:>5.2f}x")
    print(f"(best of {rounds} rounds x 5 runs per build; chain: the arithmetic of one simulated second alone, "
          "fixed curve segments, cc -O2 -ffp-contract=off)")


if __name__ == "__main__" and "--builds" in sys.argv[1:]:
    builds_main(sys.argv[1:])
    sys.exit(0)

import quellmar  # noqa: E402

ru = quellmar.reservoir.reservoir_utils
run = quellmar.reservoir.run_level_pool_routing
CTS = quellmar.utils.ContinuousTimeSeries
HOUR = 3600

# A reservoir of 0 to 100 ft holding up to 1.2e9 cubic feet.
CURVE = ru.ElevationStorage([0, 10, 30, 60, 80, 100], [0, 2.0e7, 1.2e8, 4.5e8, 7.8e8, 1.2e9])


def storm_inflow(n):
    """Hourly inflow in cfs: a 60 cfs base with a storm peak every ten days."""
    data = []
    for i in range(n):
        h = i % 240
        data.append(60.0 + 2400.0 * math.exp(-((h - 36) / 14.0) ** 2))
    return CTS(data, timedelta(hours=1), "discharge")


def outlets(count, n_hours):
    """Up to four outlets, one of each kind, then more of the same kinds."""
    rating = ru.ElevationDischarge([5, 20, 40, 70, 100], [0, 150, 420, 800, 1100])
    spill = ru.ElevationDischarge([30, 34, 45, 100], [0, 400, 3000, 30000])
    days = n_hours // 24 + 2
    release = CTS([35.0 + 10.0 * math.sin(d / 5.0) for d in range(days)], timedelta(days=1), "discharge")
    kinds = [
        lambda: ru.UnControlledDischargeInfo(spill),
        lambda: ru.ControlledDischargeInfo(rating, 8.0, None, 600.0),
        lambda: ru.SpecifiedDischargeInfo(release, 6.0, None, 40.0),
        lambda: ru.ConstantDischargeInfo(15.0, 4.0),
    ]
    return {f"outlet_{k}": kinds[k % 4]() for k in range(count)}


def best_time(fn, repeat):
    best = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def simulated_seconds(n):
    return (n - 2) * HOUR + 1


# --- fully active workloads and the bare dependent chain ----------------------------------

def active_outlets(spill, gate, schedule, fixed):
    """One outlet of each kind, in the order the chain adds them up: a
    spillway (elevations, discharges), a gate (elevations, discharges, lower
    gate, cap), a schedule (values, step, lower gate, cap), a constant release
    (discharge, lower gate)."""
    gate_e, gate_q, gate_lower, gate_cap = gate
    release, step, release_lower, release_cap = schedule
    return {
        "spillway": ru.UnControlledDischargeInfo(ru.ElevationDischarge(*spill)),
        "gate": ru.ControlledDischargeInfo(ru.ElevationDischarge(gate_e, gate_q), gate_lower, None, gate_cap),
        "schedule": ru.SpecifiedDischargeInfo(CTS(release, step, "discharge"), release_lower, None, release_cap),
        "fixed": ru.ConstantDischargeInfo(*fixed),
    }


def active_workload():
    """All four outlet kinds release over the whole run: the pool stays above
    the spillway crest and inside every gate; the gate's cap binds about a
    quarter of the recorded steps, the schedule's cap about two fifths.
    A 21-point storage curve, a 41-point spillway, 241 hourly values."""
    elev = [5.0 * i for i in range(21)]
    stor = [1.0e6 * e ** 1.5 for e in elev]
    spill_e = [30.0 + 1.75 * i for i in range(41)]
    spill_q = [30.0 * (e - 30.0) ** 1.5 for e in spill_e]
    gate_e = [10.0 * i for i in range(11)]
    gate_q = [20.0 * e for e in gate_e]
    n = 241
    inflow = [1500.0 + 3000.0 * math.exp(-(((h % 60) - 20) / 6.0) ** 2) for h in range(n)]
    release = [35.0 + 10.0 * math.sin(d / 2.0) for d in range(n // 24 + 2)]
    outlets = active_outlets((spill_e, spill_q), (gate_e, gate_q, 10.0, 860.0),
                             (release, timedelta(days=1), 6.0, 40.0), (15.0, 4.0))
    return CTS(inflow, timedelta(hours=1), "discharge"), 40.0, ru.ElevationStorage(elev, stor), outlets


def flashy_storms():
    """Four days of 15-minute inflow with two sharp storms a day, and an hourly
    release schedule that covers them."""
    n = 4 * 96 + 1
    inflow = []
    for k in range(n):
        h = (k % 96) / 4.0
        inflow.append(250.0 + 4000.0 * math.exp(-((h - 6.0) / 1.2) ** 2) + 1500.0 * math.exp(-((h - 10.0) / 0.8) ** 2))
    release = [20.0 + 10.0 * math.sin(k / 3.0) for k in range(n // 4 + 2)]
    return inflow, release


def flashy_workload():
    """Four days of 15-minute inflow, two sharp storms a day, over a 101-point
    storage curve of one foot per segment: the pool rises and falls some 30 ft
    a day, so the storage, spillway and gate lookups change segment often.
    All four outlets release throughout."""
    elev = [1.0 * i for i in range(101)]
    stor = [2.0e4 * e ** 1.6 for e in elev]
    spill_e = [8.0 + 2.3 * i for i in range(41)]
    spill_q = [15.0 * (e - 8.0) ** 1.5 for e in spill_e]
    gate_e = [4.0 * i for i in range(26)]
    gate_q = [12.0 * e for e in gate_e]
    inflow, release = flashy_storms()
    outlets = active_outlets((spill_e, spill_q), (gate_e, gate_q, 2.0, 330.0),
                             (release, timedelta(hours=1), 1.0, 25.0), (5.0, 0.5))
    return CTS(inflow, timedelta(minutes=15), "discharge"), 22.0, ru.ElevationStorage(elev, stor), outlets


def scheduled_workload():
    """The all-kinds workload made harder: a 15-minute release schedule whose
    cap binds about a third of the time (so a block of 2,048 seconds spans
    two to four schedule intervals), a gate whose cap binds about a quarter
    of the recorded steps, and a 41-point spillway of half-foot segments,
    always above its crest, whose segment the pool changes over a hundred
    times.  A 21-point storage curve, 241 hourly values."""
    elev = [5.0 * i for i in range(21)]
    stor = [1.0e6 * e ** 1.5 for e in elev]
    spill_e = [30.0 + 0.5 * i for i in range(41)]
    spill_q = [30.0 * (e - 30.0) ** 1.5 for e in spill_e]
    gate_e = [10.0 * i for i in range(11)]
    gate_q = [20.0 * e for e in gate_e]
    n = 241
    inflow = [1500.0 + 3000.0 * math.exp(-(((h % 60) - 20) / 6.0) ** 2) for h in range(n)]
    release = [35.0 + 10.0 * math.sin(k / 5.0) for k in range(4 * n + 8)]
    outlets = active_outlets((spill_e, spill_q), (gate_e, gate_q, 10.0, 860.0),
                             (release, timedelta(minutes=15), 6.0, 40.0), (15.0, 4.0))
    return CTS(inflow, timedelta(hours=1), "discharge"), 40.0, ru.ElevationStorage(elev, stor), outlets


def narrow_workload():
    """A flashy 15-minute storm over a 101-point storage curve whose segments
    are 0.05 ft wide where the pool moves (3 to 8 ft): the pool crosses a
    storage segment boundary at least 730 times in the four days (once every
    few hundred seconds; counted between recorded steps, so fewer than it
    does), a spillway segment 185 times, the gate's cap binding about a
    quarter of the recorded steps.  All four outlets release throughout."""
    elev = [0.0] + [3.0 + 0.05 * i for i in range(100)]
    stor = [1.2e6 * e ** 1.6 for e in elev]
    spill_e = [1.0 + 0.2 * i for i in range(41)]
    spill_q = [60.0 * (e - 1.0) ** 1.5 for e in spill_e]
    gate_e = [0.4 * i for i in range(26)]
    gate_q = [30.0 * e for e in gate_e]
    inflow, release = flashy_storms()
    outlets = active_outlets((spill_e, spill_q), (gate_e, gate_q, 1.0, 200.0),
                             (release, timedelta(hours=1), 0.5, 25.0), (5.0, 0.25))
    return CTS(inflow, timedelta(minutes=15), "discharge"), 4.0, ru.ElevationStorage(elev, stor), outlets


# The fully active workloads, each timed against the chain on its own segments.
ACTIVE_WORKLOADS = (
    ("all four kinds active, caps binding", active_workload),
    ("flashy 15-minute storm, 101-point curve", flashy_workload),
    ("all four, 15-min schedule, 0.5-ft spillway", scheduled_workload),
    ("flashy storm, 0.05-ft storage segments", narrow_workload),
)


CHAIN_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "level_pool_chain.c")
_CHAIN = []


class ChainParams(ctypes.Structure):
    _fields_ = [(name, ctypes.c_double) for name in (
        "storage_x0", "storage_x1", "storage_y0", "storage_y1",
        "spill_x0", "spill_x1", "spill_y0", "spill_y1", "spill_offset",
        "gate_x0", "gate_x1", "gate_y0", "gate_y1", "gate_cap", "release_cap", "constant")]


def chain_function():
    """level_pool_chain from level_pool_chain.c, compiled once per process
    with -O2 -ffp-contract=off (the flags of the module's own arithmetic)."""
    if not _CHAIN:
        out = os.path.join(tempfile.mkdtemp(prefix="quellmar-chain-"), "chain.so")
        cc = os.environ.get("CC", "cc")
        subprocess.run([cc, "-O2", "-ffp-contract=off", "-shared", "-fPIC", "-o", out, CHAIN_SOURCE], check=True)
        fn = ctypes.CDLL(out).level_pool_chain
        fn.restype = ctypes.c_double
        fn.argtypes = [ctypes.POINTER(ChainParams), ctypes.c_double, ctypes.c_double, ctypes.c_long, ctypes.c_long,
                       ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double)]
        _CHAIN.append(fn)
    return _CHAIN[0]


def segment(xs, ys, x):
    k = min(max(bisect.bisect_right(xs, x) - 1, 0), len(xs) - 2)
    return xs[k], xs[k + 1], ys[k], ys[k + 1]


def chain_run(workload):
    """A callable running the bare chain over as many seconds as the
    workload simulates (less one), on the segments of its initial state."""
    inflow, e0, curve, outlets = workload
    spill, gate, schedule, fixed = (outlets[k] for k in ("spillway", "gate", "schedule", "fixed"))
    s0 = curve.get_storage(e0)
    p = ChainParams(*segment(curve.storage, curve.elevation, s0),
                    *segment(spill.elevation_discharge.elevation, spill.elevation_discharge.discharge, e0),
                    spill.elevation_offset or 0.0,
                    *segment(gate.elevation_discharge.elevation, gate.elevation_discharge.discharge, e0),
                    gate.maximum_release, schedule.maximum_release, fixed.discharge)
    ts = int(inflow.time_step.total_seconds())
    data = inflow.data
    terms = [(data[0] + data[1]) * 0.5] * ts
    release = (ctypes.c_double * ts)(*[schedule.discharge.data[0]] * ts)
    terms = (ctypes.c_double * ts)(*terms)
    steps = len(data) - 2
    fn = chain_function()
    return lambda: fn(ctypes.byref(p), s0, e0, steps, ts, terms, release), steps * ts


def quellmar_run(workload):
    inflow, e0, curve, outlets = workload
    n = len(inflow.data)
    ts = int(inflow.time_step.total_seconds())
    return lambda: run(inflow, e0, curve, outlets), (n - 2) * ts + 1


def thread_time(fn):
    """CPU time of this thread for one call: time spent waiting for a core
    taken by another process is left out (both sides run on this thread)."""
    t0 = time.thread_time()
    fn()
    return time.thread_time() - t0


def chain_comparison(repeat=15):
    """(label, simulated seconds, quellmar ns per simulated second, chain ns
    per simulated second) for each fully active workload: the best of
    `repeat` runs each, timed alternately so that load elsewhere on the
    machine hits both alike."""
    rows = []
    for label, make in ACTIVE_WORKLOADS:
        w = make()
        q_fn, q_secs = quellmar_run(w)
        c_fn, c_secs = chain_run(w)
        q_best = c_best = math.inf
        for _ in range(repeat):
            q_best = min(q_best, thread_time(q_fn))
            c_best = min(c_best, thread_time(c_fn))
        rows.append((label, q_secs, q_best / q_secs * 1e9, c_best / c_secs * 1e9))
    return rows


def print_chain_comparison(repeat=15):
    print(f"{'fully active workload':>42} {'simulated s':>12} {'quellmar ns/s':>14} {'chain ns/s':>11} {'ratio':>6}")
    for label, secs, q, c in chain_comparison(repeat):
        print(f"{label:>42} {secs:>12,} {q:>14.1f} {c:>11.1f} {q / c:>5.2f}x")
    print("(chain: the arithmetic of one simulated second alone, fixed curve segments, C -O2 -ffp-contract=off)")


MEMORY_CHILD = r"""
import resource, sys
sys.path.insert(0, {here!r})
import bench_reservoir as b
n = int(sys.argv[1])
inflow = b.storm_inflow(n)
info = b.outlets(4, n)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
r = b.run(inflow, 20.0, b.CURVE, info)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after, len(r.reservoir_storage.data))
"""


def peak_memory(n):
    code = MEMORY_CHILD.format(here=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", code, str(n)], check=True, capture_output=True, text=True,
                         env=os.environ.copy()).stdout.split()
    return int(out[0]), int(out[1]), int(out[2])


def main():
    if sys.argv[1:] == ["--chain-child"]:
        for label, secs, q, c in chain_comparison(5):
            print(f"{label}\t{secs}\t{q}\t{c}")
        return
    print("level pool routing, 1 s step")
    print()
    print_chain_comparison()
    if "--chain" in sys.argv[1:]:
        return
    print()

    # Cost per simulated second against the outlets present.
    n = 241
    secs = simulated_seconds(n)
    inflow = storm_inflow(n)
    every = outlets(8, n)
    names = list(every)
    cases = [("none", []), ("uncontrolled", names[0:1]), ("controlled", names[1:2]), ("specified", names[2:3]),
             ("constant", names[3:4]), ("all four kinds", names[0:4]), ("8 (two of each)", names)]
    print(f"{'outlets':>16} {'run (ms)':>10} {'ns / simulated s':>18} {'ns / outlet / s':>16}")
    base = None
    for label, keys in cases:
        info = {k: every[k] for k in keys}
        t = best_time(lambda: run(inflow, 20.0, CURVE, info), 5)
        ns = t / secs * 1e9
        base = ns if base is None else base
        per = f"{(ns - base) / len(keys):>16.1f}" if keys else f"{'':>16}"
        print(f"{label:>16} {t * 1e3:>10.1f} {ns:>18.1f} {per}")
    print("(the loop is bound by the latency of its serial chain: elevation -> outlet\n"
          " lookups -> storage -> elevation lookup, each lookup ending in a division)")
    print()

    print(f"241 hourly values, four outlets (one of each kind): {secs:,} simulated seconds")
    info = outlets(4, n)
    t = best_time(lambda: run(inflow, 20.0, CURVE, info), 5)
    print(f"  best of 5: {t * 1e3:.1f} ms")
    print()

    year = 8760
    ysecs = simulated_seconds(year)
    yinflow = storm_inflow(year)
    yinfo = outlets(4, year)
    t = best_time(lambda: run(yinflow, 20.0, CURVE, yinfo), 2)
    r = run(yinflow, 20.0, CURVE, yinfo)
    print(f"one year of hourly inflow (8,760 values), four outlets: {ysecs:,} simulated seconds")
    print(f"  best of 2: {t:.2f} s; peak elevation {max(r.reservoir_elevation.data):.2f} ft, "
          f"peak outflow {max(r.reservoir_total_outflow.data):.0f} cfs")
    print()

    print("peak resident memory (getrusage maxrss in a fresh interpreter, KiB)")
    print(f"{'inflow values':>14} {'before run':>11} {'after run':>10} {'growth':>8}")
    for values in (3, year):
        before, after, _ = peak_memory(values)
        print(f"{values:>14} {before:>11} {after:>10} {after - before:>8}")
    print("(a time grid of one 8-byte entry per simulated second would add "
          f"{ysecs * 8 / 2**20:.0f} MiB to the year run)")


if __name__ == "__main__":
    main()
