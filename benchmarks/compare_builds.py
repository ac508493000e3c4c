"""Two builds of quellmar against each other, on the kernels' hot loops.

    python benchmarks/compare_builds.py OLD_DIR NEW_DIR [--rounds 6]

OLD_DIR and NEW_DIR each hold a built module (a build directory, or a
`pip install --target` directory).  Each round runs every workload in a
fresh interpreter on the old build, then on the new one, so that load
elsewhere on the machine hits both alike; a workload's time is its best over
all rounds (5 runs per round), in CPU time of the calling thread (the
routines run on it), which other processes' load disturbs far less than
wall time does.  The table gives both times and new / old: a
change that should cost nothing (a check, a poll) should stay within the
noise, a few per cent either way.
"""
import argparse
import collections
import math
import os
import subprocess
import sys
import time

CHILD_REPEATS = 5


def workloads():
    """{name: call}: the hot loops of the kernels on sizes of a few ms."""
    from datetime import timedelta

    import quellmar

    cts, its = quellmar.utils.ContinuousTimeSeries, quellmar.utils.IncrementalTimeSeries
    ru = quellmar.reservoir.reservoir_utils
    hour = timedelta(hours=1)
    hydrograph = cts([100 + 900 * math.exp(-((i % 200 - 40) / 12.0) ** 2) for i in range(1_000_000)], hour,
                     "discharge")
    short = cts([1.0, 5.0, 3.0], hour, "discharge")
    excess = its([0.1 * (1 + math.sin(i / 9)) for i in range(2000)], timedelta(minutes=1), "rainfall")
    gross = its([max(0.0, math.sin(i / 7.0)) * 0.3 for i in range(1_000_000)], timedelta(minutes=15), "rainfall")
    loss = its([0.01 * (1 + math.sin(i / 9)) for i in range(1_000_000)], hour, "rainfall")
    layers = {"a": quellmar.baseflow.LinearReservoir(timedelta(hours=12), 0.2, 5.0),
              "b": quellmar.baseflow.LinearReservoir(timedelta(days=3), 0.4, 20.0, num_reservoir=2)}
    pool_in = cts([60 + 2400 * math.exp(-((i % 240 - 36) / 14.0) ** 2) for i in range(24 * 60)], hour, "discharge")
    curve = ru.ElevationStorage([0, 10, 30, 60, 80, 100], [0, 2.0e7, 1.2e8, 4.5e8, 7.8e8, 1.2e9])
    outlets = {"c": ru.ConstantDischargeInfo(15.0, 4.0),
               "g": ru.ControlledDischargeInfo(ru.ElevationDischarge([5, 20, 40, 70, 100], [0, 150, 420, 800, 1100]),
                                               8.0, None, 600.0)}
    return {
        "muskingum 1e6 values x 4": lambda: quellmar.reach.run_muskingum_routing(hydrograph, hour, 0.2, 4, 100.0),
        "muskingum 3 values x 3e6": lambda: quellmar.reach.run_muskingum_routing(short, hour, 0.2, 3_000_000, 1.0),
        "clark 2000 x 2880 ordinates": lambda: quellmar.rainfall_transform.run_clark_uh(
            excess, 1000.0, timedelta(days=2), hour),
        "loss 1e6 values": lambda: quellmar.rainfall_loss.run_deficit_and_constant(
            gross, 0.5, 1.2, 0.1, timedelta(days=2)),
        "baseflow 1e6 values x 2": lambda: quellmar.baseflow.run_linear_reservoir(1000.0, loss, layers),
        "level pool 60 days": lambda: quellmar.reservoir.run_level_pool_routing(pool_in, 20.0, curve, outlets),
    }


def child():
    for name, call in workloads().items():
        best = math.inf
        for _ in range(CHILD_REPEATS):
            start = time.thread_time()
            call()
            best = min(best, time.thread_time() - start)
        print(f"{name}\t{best}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--rounds", type=int, default=6)
    args = parser.parse_args()
    best = {"old": collections.defaultdict(lambda: math.inf), "new": collections.defaultdict(lambda: math.inf)}
    for _ in range(args.rounds):
        for label, path in (("old", args.old), ("new", args.new)):
            env = dict(os.environ, PYTHONPATH=os.path.abspath(path))
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child"], env=env, check=True,
                                 capture_output=True, text=True).stdout
            for line in out.strip().splitlines():
                name, seconds = line.split("\t")
                best[label][name] = min(best[label][name], float(seconds))
    print(f"{'workload':28} {'old ms':>9} {'new ms':>9} {'new / old':>9}")
    for name, old in best["old"].items():
        new = best["new"][name]
        print(f"{name:28} {old * 1e3:9.3f} {new * 1e3:9.3f} {new / old:9.3f}")


if __name__ == "__main__":
    if sys.argv[1:] == ["--child"]:
        child()
    else:
        main()
