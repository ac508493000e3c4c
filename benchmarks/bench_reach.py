"""Cost of Muskingum reach routing and of the Clark transform.

Run with the built module on the path:
    PYTHONPATH=<build dir> python benchmarks/bench_reach.py
"""

import math
import time
from datetime import timedelta

import quellmar

ContinuousTimeSeries = quellmar.utils.ContinuousTimeSeries
IncrementalTimeSeries = quellmar.utils.IncrementalTimeSeries
route = quellmar.reach.run_muskingum_routing
clark = quellmar.rainfall_transform.run_clark_uh


def best_of(repeats, call):
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    rows = []

    # Muskingum: 10^6 values at a 15-minute step, 1 and 10 sub-reaches.
    n = 10**6
    step = timedelta(minutes=15)
    inflow = ContinuousTimeSeries([100.0 + 50.0 * math.sin(i / 500.0) for i in range(n)], step, "discharge")
    k = timedelta(hours=6)
    timings = {}
    for segments in (1, 10):
        t = best_of(7, lambda: route(inflow, k, 0.2, segments, 100.0))
        timings[segments] = t
        rows.append((f"muskingum  n=1e6  sub_reaches={segments}", t, t / (n * segments) * 1e9, "ns/value/segment"))
    per_segment = (timings[10] - timings[1]) / 9
    rows.append(("muskingum  one extra segment (1e6 values)", per_segment, per_segment / n * 1e9, "ns/value"))

    # Clark: 10^4 rainfall values, tc / dt = 100, dense and 90 % zero.
    m = 10**4
    step = timedelta(minutes=6)
    tc = step * 100
    r = timedelta(hours=4)
    dense = IncrementalTimeSeries([0.01 + (i % 17) / 1000.0 for i in range(m)], step, "rainfall")
    sparse = IncrementalTimeSeries([0.05 if i % 10 == 0 else 0.0 for i in range(m)], step, "rainfall")
    for name, rain, nonzero in (("dense", dense, m), ("sparse 90% zero", sparse, m // 10)):
        t = best_of(7, lambda: clark(rain, 640.0, tc, r))
        rows.append((f"clark  m=1e4  n=100  {name}", t, t / (nonzero * 100) * 1e9, "ns/multiply-add"))

    # The unit hydrograph alone: one rainfall value, n = 10^5 ordinates.
    one = IncrementalTimeSeries([1.0], timedelta(seconds=60), "rainfall")
    t = best_of(7, lambda: clark(one, 640.0, timedelta(seconds=60 * 10**5), r))
    rows.append(("clark  unit hydrograph  n=1e5", t, t / 10**5 * 1e9, "ns/ordinate"))

    width = max(len(row[0]) for row in rows)
    print(f"{'case':<{width}}  {'time (ms)':>10}  {'per unit':>9}")
    for name, seconds, per, unit in rows:
        print(f"{name:<{width}}  {seconds * 1e3:>10.3f}  {per:>9.2f} {unit}")


if __name__ == "__main__":
    main()
