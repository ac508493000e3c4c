"""Routines that use exp, log or x^1.5, timed under two builds of quellmar
alternately (e.g. before and after a change to those functions).

    python benchmarks/bench_math.py --old /path/to/python-with-old-build --new /path/to/python-with-new-build

Each round runs every workload once in a fresh process of each interpreter
(old, new, old, new, ...); the table gives the best time of each and the
ratio new / old.  Workloads: KGE with use_log on 10^6 values (float64 arrays,
and lists), the deficit-and-constant loss model on 10^5 values, and the Clark
transform with 10^5 ordinates (one rainfall value, so the x^1.5 curve
dominates) and with tc/dt = 100 on 10^5 rainfall values.
"""
import argparse
import json
import subprocess
import sys

CHILD = r"""
import json, time, random
from datetime import timedelta
import numpy as np
import quellmar
rng = random.Random(5)
sim = [rng.uniform(0.0, 900.0) for _ in range(1_000_000)]
obs = [rng.uniform(0.0, 900.0) for _ in range(1_000_000)]
s, o = np.array(sim), np.array(obs)
rain = [0.0 if rng.random() < 0.5 else rng.random() for _ in range(100_000)]
ITS = quellmar.utils.IncrementalTimeSeries
def best(f, n=7):
    t = []
    for _ in range(n):
        t0 = time.perf_counter(); f(); t.append(time.perf_counter() - t0)
    return min(t)
kge = quellmar.metrics.calculate_kge
loss = quellmar.rainfall_loss.run_deficit_and_constant
clark = quellmar.rainfall_transform.run_clark_uh
series = ITS(rain, timedelta(minutes=15), "rainfall")
one = ITS([1.0], timedelta(seconds=60), "rainfall")
print(json.dumps({
    "KGE use_log, 10^6 float64 arrays": best(lambda: kge(s, o, True)),
    "KGE use_log, 10^6 lists": best(lambda: kge(sim, obs, True)),
    "loss, 10^5 values, 6 h drying": best(lambda: loss(series, 0.5, 1.5, 0.125, timedelta(hours=6))),
    "Clark, 10^5 ordinates, 1 rainfall value": best(lambda: clark(one, 640.0, timedelta(seconds=60 * 100_000), timedelta(hours=2))),
    "Clark, tc/dt = 100, 10^5 rainfall values": best(lambda: clark(series, 640.0, timedelta(minutes=1500), timedelta(hours=2)), 3),
}))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--old", required=True)
    parser.add_argument("--new", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    times = {"old": {}, "new": {}}
    for _ in range(args.rounds):
        for which in ("old", "new"):
            out = subprocess.run([getattr(args, which), "-c", CHILD], capture_output=True, text=True, check=True)
            for k, v in json.loads(out.stdout).items():
                times[which][k] = min(v, times[which].get(k, v))
    print(f"{'workload':45} {'old':>10} {'new':>10} {'new/old':>8}")
    for k in times["old"]:
        o, n = times["old"][k], times["new"][k]
        print(f"{k:45} {o * 1e3:8.2f}ms {n * 1e3:8.2f}ms {n / o:8.2f}")


if __name__ == "__main__":
    sys.exit(main())
