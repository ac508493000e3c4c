"""Level pool routing: time per simulated second and per outlet, a 241-value
hourly storm with all four outlet kinds, one year of hourly inflow, and the
peak memory of the year run (measured in a subprocess with getrusage, since
the routine's memory is C++ memory that tracemalloc does not see).

Run:  PYTHONPATH=<build dir> python benchmarks/bench_reservoir.py
"""
import math
import os
import resource
import subprocess
import sys
import time
from datetime import timedelta

import quellmar

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
    print("level pool routing, 1 s step")
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
