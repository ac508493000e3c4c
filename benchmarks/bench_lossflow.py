"""Timings of the loss model, baseflow and the Kling-Gupta efficiency.

Run with the built module on the path:
    PYTHONPATH=<build dir> python benchmarks/bench_lossflow.py
"""
import math
import timeit
from datetime import timedelta

import numpy as np

import quellmar

N = 1_000_000
REPEAT = 7


def best(fn, number=1):
    return min(timeit.repeat(fn, number=number, repeat=REPEAT)) / number


def kge_numpy(sim, obs):
    eps = 1e-6
    ms, mo = sim.mean(), obs.mean()
    ds, do = sim - ms, obs - mo
    sss, soo, sso = np.sum(ds * ds), np.sum(do * do), np.sum(ds * do)
    q = math.sqrt(soo * sss)
    constant = bool((sim == sim[0]).all() or (obs == obs[0]).all())
    corr = 1.0 if constant or q == 0.0 else (sso / q - 1.0) ** 2
    std_s, std_o = math.sqrt(sss / sim.size), math.sqrt(soo / obs.size)
    mo = eps if abs(mo) < eps else mo
    std_o = eps if std_o < eps else std_o
    return 1.0 - math.sqrt((std_s / std_o - 1.0) ** 2 + ((ms / mo - 1.0) ** 2 + corr))


def main():
    rng = np.random.default_rng(42)
    obs = rng.gamma(2.0, 50.0, N)
    sim = obs * 0.95 + rng.normal(0.0, 5.0, N)
    kge = quellmar.metrics.calculate_kge
    assert abs(kge(sim, obs) - kge_numpy(sim, obs)) < 1e-9

    rows = []
    t_copy = best(lambda: (sim.copy(), obs.copy()))
    t_kge = best(lambda: kge(sim, obs))
    t_np = best(lambda: kge_numpy(sim, obs))
    t_kge_log = best(lambda: kge(sim, obs, True))
    rows.append(("copy both arrays once (numpy)", t_copy, ""))
    rows.append(("calculate_kge, 2 x 1e6 float64 arrays", t_kge, f"{t_kge / t_copy:.2f} x copy"))
    rows.append(("same formula in NumPy", t_np, f"quellmar/NumPy = {t_kge / t_np:.2f}"))
    rows.append(("calculate_kge, use_log=True", t_kge_log, ""))

    sim_list, obs_list = sim.tolist(), obs.tolist()
    rows.append(("calculate_kge, 2 x 1e6 lists", best(lambda: kge(sim_list, obs_list), 1), ""))

    storm = (np.abs(rng.normal(0.0, 0.05, N)) * (rng.random(N) < 0.3)).tolist()
    IS = quellmar.utils.IncrementalTimeSeries
    t_series = best(lambda: IS(storm, timedelta(minutes=15), "rainfall"))
    rain = IS(storm, timedelta(minutes=15), "rainfall")
    run_loss = quellmar.rainfall_loss.run_deficit_and_constant
    t_loss = best(lambda: run_loss(rain, 0.5, 1.5, 0.1, timedelta(hours=48)))
    res = run_loss(rain, 0.5, 1.5, 0.1, timedelta(hours=48))
    t_loss_read = best(lambda: (res.excess.data, res.loss.data, res.deficit.data))
    rows.append(("IncrementalTimeSeries from a 1e6 list", t_series, ""))
    rows.append(("run_deficit_and_constant, 1e6 steps", t_loss, ""))
    rows.append(("  reading its three series as lists", t_loss_read, ""))

    LR = quellmar.baseflow.LinearReservoir
    layers = {f"layer{i}": LR(timedelta(hours=6 * (i + 1)), 0.19, 1.0 + i, 3) for i in range(5)}
    run_bf = quellmar.baseflow.run_linear_reservoir
    t_bf = best(lambda: run_bf(640.0, rain, layers))
    total, flows = run_bf(640.0, rain, layers)
    t_bf_read = best(lambda: (total.data, [s.data for s in flows.values()]))
    rows.append(("run_linear_reservoir, 5 layers x 3 stages, 1e6", t_bf, ""))
    rows.append(("  reading its six series as lists", t_bf_read, ""))

    width = max(len(r[0]) for r in rows)
    print(f"{'case':<{width}}  {'best of ' + str(REPEAT):>12}  note")
    for name, t, note in rows:
        print(f"{name:<{width}}  {t * 1e3:9.2f} ms  {note}")


if __name__ == "__main__":
    main()
