"""Every routine, on fixed inputs, against outputs stored bit for bit.

The stored file (tests/data/stored_outputs.json) was written by this module
before any speed work: whatever is changed for speed, every value, every
error message and every key order must stay exactly the same.  A value is
compared through its IEEE bits (hex of the packed double), except that every
NaN counts as one NaN (its sign and payload are not part of a result); long outputs are stored as a SHA-256 of their packed bytes plus
their first and last values, short ones in full.

Regenerate (only when a result is meant to change, never for speed work):
    PYTHONPATH=<build dir> python tests/test_stored_outputs.py --regenerate
"""
import array
import hashlib
import json
import math
import os
import struct
import sys
import warnings
from datetime import timedelta

import pytest

import quellmar

CTS = quellmar.utils.ContinuousTimeSeries
ITS = quellmar.utils.IncrementalTimeSeries
ru = quellmar.reservoir.reservoir_utils
LR = quellmar.baseflow.LinearReservoir

DATA_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "stored_outputs.json")
FULL_LIMIT = 64  # outputs up to this length are stored value by value


# --- fixed inputs -----------------------------------------------------------------

class Lcg:
    """A 64-bit linear congruential generator giving exact doubles in [0, 1):
    the same sequence on every interpreter and platform."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next(self):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) & 0xFFFFFFFFFFFFFFFF
        return (self.state >> 11) * (1.0 / 9007199254740992.0)

    def values(self, n, low=0.0, high=1.0):
        return [low + (high - low) * self.next() for _ in range(n)]


def hydrograph(n, seed, base=50.0, peak=900.0):
    """A rough hydrograph: a base flow, rises and recessions, noise."""
    g = Lcg(seed)
    out = []
    q = base
    for _ in range(n):
        u = g.next()
        if u < 0.08:
            q = q + peak * g.next()
        q = base + (q - base) * 0.93 + 3.0 * g.next()
        out.append(q)
    return out


def rainfall(n, seed, zero_share=0.5, scale=0.6):
    # u * u, not u ** 2: the inputs use no function of the platform's maths
    # library, so they are the same everywhere.
    g = Lcg(seed)
    return [0.0 if g.next() < zero_share else scale * square(g.next()) for _ in range(n)]


def square(u):
    return u * u


def sprinkle(values, seed, specials):
    """Puts each special value at a fixed pseudo-random position."""
    out = list(values)
    g = Lcg(seed)
    for v in specials:
        out[int(g.next() * len(out))] = v
    return out


H = timedelta(hours=1)


# --- cases: name -> zero-argument callable returning a JSON-able description -------

NAN_BITS = struct.pack("<d", math.nan)


def hx(v):
    return NAN_BITS.hex() if v != v else struct.pack("<d", v).hex()


def digest(values):
    values = list(values)
    if len(values) <= FULL_LIMIT:
        return {"n": len(values), "values": [hx(v) for v in values]}
    packed = b"".join(NAN_BITS if v != v else struct.pack("<d", v) for v in values)
    return {
        "n": len(values),
        "sha256": hashlib.sha256(packed).hexdigest(),
        "head": [hx(v) for v in values[:4]],
        "tail": [hx(v) for v in values[-4:]],
    }


def series_desc(s):
    return {"type": type(s).__name__, "time_step": s.time_step.total_seconds(), "kind": s.kind,
            "data": digest(s.data)}


def outcome(fn):
    """The result description, or the failure's type and message."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fn()
        except BaseException as e:  # PanicException derives from BaseException
            result = {"error": type(e).__name__, "message": str(e)}
    if caught:
        result = {"result": result, "warnings": [str(w.message) for w in caught]}
    return result


CASES = {}


def case(name):
    def register(fn):
        assert name not in CASES
        CASES[name] = fn
        return fn
    return register


# Muskingum -----------------------------------------------------------------------

def muskingum(data, step, k, x, segments, initial):
    return series_desc(quellmar.reach.run_muskingum_routing(CTS(data, step, "discharge"), k, x, segments, initial))


FLOOD = hydrograph(5003, 11)
K = timedelta(hours=2, microseconds=7)
for _segments in (1, 2, 3, 8, 9, 10, 17):
    case(f"muskingum/flood/sub_reaches={_segments}")(
        lambda s=_segments: muskingum(FLOOD, H, K, 0.2, s, 123.25))
for _x in (0.0, 0.5, 0.35, -0.1, 0.8, math.nan):
    case(f"muskingum/flood/x={_x}")(lambda x=_x: muskingum(FLOOD[:777], H, K, x, 2, 80.0))
for _segments in (0, -1, -3):
    case(f"muskingum/sub_reaches={_segments}")(lambda s=_segments: muskingum(FLOOD[:40], H, K, 0.2, s, 80.0))
case("muskingum/k=0")(lambda: muskingum(FLOOD[:50], H, timedelta(0), 0.2, 1, 60.0))
case("muskingum/k_negative")(lambda: muskingum(FLOOD[:50], H, timedelta(seconds=-1), 0.2, 1, 60.0))
case("muskingum/empty")(lambda: muskingum([], H, K, 0.2, 1, 60.0))
for _n in (1, 2, 3, 7):
    case(f"muskingum/length={_n}")(lambda n=_n: muskingum(FLOOD[:n], timedelta(minutes=15), K, 0.25, 3, 61.5))
case("muskingum/nan_inf")(lambda: muskingum(sprinkle(FLOOD[:1001], 3, [math.nan, math.inf, -math.inf, -0.0]),
                                            timedelta(minutes=5), timedelta(minutes=50), 0.3, 4, math.nan))
case("muskingum/step_1s_long_k")(lambda: muskingum(FLOOD[:3001], timedelta(seconds=1), timedelta(days=3), 0.1, 7,
                                                   0.0))


# Clark -----------------------------------------------------------------------------

def clark(data, step, area, tc, r):
    return series_desc(quellmar.rainfall_transform.run_clark_uh(ITS(data, step, "rainfall"), area, tc, r))


SIX = timedelta(minutes=6)
case("clark/dense/tc=100dt")(lambda: clark(rainfall(1501, 21, 0.0), SIX, 1234.5, SIX * 100, timedelta(hours=4)))
case("clark/sparse/tc=100dt")(lambda: clark(rainfall(3001, 22, 0.9), SIX, 640.0, SIX * 100, timedelta(hours=4)))
case("clark/tc_fraction")(lambda: clark(rainfall(997, 23, 0.3), H, 87.25,
                                        timedelta(hours=37, minutes=18, microseconds=3), timedelta(hours=10)))
case("clark/tc=3dt")(lambda: clark([1.0], H, 1.0, 3 * H, H))
case("clark/tc=0")(lambda: clark(rainfall(20, 24), H, 10.0, timedelta(0), H))
case("clark/tc<dt")(lambda: clark(rainfall(20, 25), H, 10.0, timedelta(minutes=59), H))
case("clark/empty")(lambda: clark([], H, 10.0, 9 * H, H))
case("clark/storage_r=0")(lambda: clark(rainfall(30, 26), H, 10.0, 5 * H, timedelta(0)))
case("clark/specials")(lambda: clark(sprinkle(rainfall(300, 27), 4, [math.nan, math.inf, -0.0, -0.25]),
                                     SIX, 640.0, SIX * 13, timedelta(hours=1)))
case("clark/long_uh")(lambda: clark([0.5, 0.0, 1.25], timedelta(seconds=60), 640.0, timedelta(seconds=60 * 5003),
                                    timedelta(hours=30)))
case("clark/tc_negative")(lambda: clark([1.0], H, 1.0, timedelta(seconds=-1), timedelta(seconds=-1)))


# Loss model --------------------------------------------------------------------------

def loss(data, step, initial, maximum, rate, dry):
    r = quellmar.rainfall_loss.run_deficit_and_constant(ITS(data, step, "rainfall"), initial, maximum, rate, dry)
    return {"excess": series_desc(r.excess), "loss": series_desc(r.loss), "deficit": series_desc(r.deficit)}


STORM = rainfall(5001, 31, 0.4)
case("loss/dry=0")(lambda: loss(STORM, timedelta(minutes=15), 0.5, 1.5, 0.125, timedelta(0)))
case("loss/dry=6h")(lambda: loss(STORM, timedelta(minutes=15), 0.5, 1.5, 0.125,
                                 timedelta(hours=6, microseconds=11)))
case("loss/over_max")(lambda: loss(STORM[:500], H, 3.0, 1.0, 0.05, timedelta(days=2)))
case("loss/specials")(lambda: loss(sprinkle(STORM[:700], 5, [math.nan, math.inf, -0.0, -0.3, math.nan]),
                                   timedelta(minutes=30), math.nan, 2.0, 0.2, timedelta(hours=12)))
case("loss/nan_parameters")(lambda: loss(STORM[:60], H, 0.4, math.nan, math.nan, timedelta(hours=3)))
case("loss/empty")(lambda: loss([], H, 0.4, 1.0, 0.1, H))
case("loss/dry_negative")(lambda: loss([1.0], H, 0.4, 1.0, 0.1, timedelta(seconds=-1)))


# Baseflow ------------------------------------------------------------------------------

def baseflow(area, data, step, layers):
    total, flows = quellmar.baseflow.run_linear_reservoir(area, ITS(data, step, "rainfall"), layers)
    return {"total": series_desc(total), "flows": [[name, series_desc(s)] for name, s in flows.items()]}


def layers5():
    return {
        "shallow": LR(timedelta(hours=6), 0.1, 1.5, 3),
        "interflow": LR(timedelta(hours=30), 0.2, 2.0, 3),
        "upper": LR(timedelta(days=4), 0.15, 3.0, 3),
        "lower": LR(timedelta(days=20), 0.25, 5.5, 3),
        "deep": LR(timedelta(days=90, microseconds=5), 0.3, 12.0, 3),
    }


def odd_layers():
    a = LR(timedelta(hours=12), 0.3, 4.0, 2)
    b = LR(timedelta(hours=48), 0.5, 0.0, 5)
    c = LR(timedelta(hours=7), 0.2, 9.0)
    c.num_reservoir = 0  # the setter stores what the constructor refuses
    d = LR(timedelta(hours=200), 0.0, 1.0, 17)
    return {"b": b, "a": a, "zero_stages": c, "many": d}


INFIL = rainfall(4001, 41, 0.45, 0.2)
case("baseflow/5x3")(lambda: baseflow(2560.0, INFIL, H, layers5()))
case("baseflow/odd")(lambda: baseflow(640.0, sprinkle(INFIL[:999], 6, [math.nan, -0.0, math.inf]),
                                      timedelta(minutes=30), odd_layers()))
case("baseflow/6min_steps")(lambda: baseflow(1000.0, INFIL[:1500], timedelta(minutes=6), layers5()))
case("baseflow/daily_steps")(lambda: baseflow(1000.0, INFIL[:400], timedelta(days=1), {
    "slow": LR(timedelta(days=30), 0.4, 3.0, 2), "slower": LR(timedelta(days=300), 0.4, 9.0, 4)}))
case("baseflow/none")(lambda: baseflow(640.0, INFIL[:10], H, {}))
case("baseflow/empty_rain")(lambda: baseflow(640.0, [], H, layers5()))
case("baseflow/fraction")(lambda: baseflow(640.0, INFIL[:10], H, {"a": LR(H, 0.75, 0.0), "b": LR(H, 0.5, 0.0)}))
case("baseflow/stability")(lambda: baseflow(640.0, INFIL[:10], H, {
    "ok": LR(H, 0.1, 0.0), "bad": LR(timedelta(seconds=1800), 0.1, 0.0, 2)}))


# Level pool ----------------------------------------------------------------------------

CURVE = ru.ElevationStorage([0, 10, 30, 60, 80, 100], [0, 2.0e7, 1.2e8, 4.5e8, 7.8e8, 1.2e9])
RATING = ru.ElevationDischarge([5, 20, 40, 70, 100], [0, 150, 420, 800, 1100])
SPILL = ru.ElevationDischarge([30, 34, 45, 100], [0, 400, 3000, 30000])


def release(days):
    g = Lcg(51)
    return CTS([35.0 + 10.0 * g.next() for _ in range(days)], timedelta(days=1), "discharge")


def four_outlets(days):
    return {
        "spillway": ru.UnControlledDischargeInfo(SPILL, 0.5),
        "gate": ru.ControlledDischargeInfo(RATING, 8.0, 95.0, 600.0),
        "schedule": ru.SpecifiedDischargeInfo(release(days), 6.0, None, 40.0),
        "fixed": ru.ConstantDischargeInfo(15.0, 4.0, 90.0),
    }


def level_pool(data, step, elevation, curve, outlets):
    r = quellmar.reservoir.run_level_pool_routing(CTS(data, step, "discharge"), elevation, curve, outlets)
    return {
        "storage": series_desc(r.reservoir_storage),
        "elevation": series_desc(r.reservoir_elevation),
        "total": series_desc(r.reservoir_total_outflow),
        "individual": [[name, series_desc(s)] for name, s in r.reservoir_individual_outflows.items()],
    }


POOL_IN = hydrograph(49, 61, 60.0, 2500.0)
case("level_pool/hourly_four_kinds")(lambda: level_pool(POOL_IN, H, 20.0, CURVE, four_outlets(4)))
case("level_pool/no_outlets")(lambda: level_pool(POOL_IN[:13], H, 20.0, CURVE, {}))
case("level_pool/minute_eight")(lambda: level_pool(
    hydrograph(181, 62, 500.0, 40000.0), timedelta(minutes=1), 31.0, CURVE,
    {**four_outlets(2), **{k + "2": v for k, v in reversed(four_outlets(2).items())}}))
case("level_pool/step_1s")(lambda: level_pool(hydrograph(300, 63, 1e5, 1e6), timedelta(seconds=1), 33.0, CURVE,
                                              four_outlets(2)))
case("level_pool/step_7s_uncontrolled")(lambda: level_pool(hydrograph(101, 64), timedelta(seconds=7), 1.0,
                                                           ru.ElevationStorage([0, 2, 10], [0, 1e5, 1e6]),
                                                           {"u": ru.UnControlledDischargeInfo(
                                                               ru.ElevationDischarge([0.5, 3, 10], [0, 20, 90]))}))
case("level_pool/one_value")(lambda: level_pool([7.0], H, 20.0, CURVE, four_outlets(2)))
case("level_pool/two_values")(lambda: level_pool([7.0, 9.0], H, 20.0, CURVE, four_outlets(2)))
case("level_pool/empty")(lambda: level_pool([], H, 20.0, CURVE, four_outlets(1)))
case("level_pool/drain_to_zero")(lambda: level_pool([0.0, 0.0, 0.0], timedelta(seconds=1), 1.0,
                                                    ru.ElevationStorage([0, 10], [0, 1000]),
                                                    {"c": ru.ConstantDischargeInfo(150.0)}))
case("level_pool/overflow")(lambda: level_pool([100.0] * 3, timedelta(seconds=60), 1.0,
                                               ru.ElevationStorage([0, 10], [0, 1000]), {}))
case("level_pool/schedule_too_short")(lambda: level_pool(POOL_IN, H, 20.0, CURVE, four_outlets(1)))
case("level_pool/above_rating")(lambda: level_pool([5e6] * 5, H, 99.0, CURVE, {
    "u": ru.UnControlledDischargeInfo(SPILL, 5.0)}))
case("level_pool/initial_outside")(lambda: level_pool(POOL_IN, H, 101.0, CURVE, {}))
case("level_pool/initial_nan")(lambda: level_pool(POOL_IN, H, math.nan, CURVE, {}))
case("level_pool/short_curve")(lambda: level_pool(POOL_IN, H, 1.0, ru.ElevationStorage([1.0], [2.0]), {}))
case("level_pool/nan_inflow")(lambda: level_pool(sprinkle(POOL_IN[:20], 7, [math.nan]), H, 20.0, CURVE,
                                                 {"c": ru.ConstantDischargeInfo(15.0)}))


# Curves and series -------------------------------------------------------------------------

def lookups():
    g = Lcg(71)
    elevations = [-1.0 + 102.0 * g.next() for _ in range(300)] + [0.0, 10.0, 100.0, math.inf]
    storages = [-1e7 + 1.22e9 * g.next() for _ in range(300)] + [0.0, 1.2e9, -math.inf]

    def one(fn, v):
        try:
            return hx(fn(v))
        except ValueError as e:
            return str(e)

    return {"storage": [one(CURVE.get_storage, e) for e in elevations],
            "elevation": [one(CURVE.get_elevation, s) for s in storages]}


case("curve/lookups")(lookups)
case("curve/lookup_nan")(lambda: CURVE.get_storage(math.nan))
for _target in (30, 60, 900, 3600, 7200, 700):
    case(f"disaggregate/{_target}")(lambda t=_target: series_desc(
        ITS(rainfall(37, 81), H, "rainfall").disaggregate(t)))


# KGE -------------------------------------------------------------------------------------------

def kge(sim, obs, use_log=False):
    return hx(quellmar.metrics.calculate_kge(sim, obs, use_log))


SIM = hydrograph(10007, 91)
OBS = hydrograph(10007, 92)
case("kge/large")(lambda: kge(SIM, OBS))
case("kge/large_log")(lambda: kge(SIM, OBS, True))
case("kge/self")(lambda: kge(OBS, OBS))
case("kge/worked")(lambda: [kge([1, 2, 3], [1, 2, 4]), kge([1, 2, 3], [1, 2, 4], True)])
case("kge/constant_obs")(lambda: kge(SIM[:100], [3.5] * 100))
case("kge/zero_mean_obs")(lambda: kge(SIM[:5], [-2.0, -1.0, 0.0, 1.0, 2.0]))
case("kge/single")(lambda: kge([4.0], [2.0]))
case("kge/specials")(lambda: [kge(sprinkle(SIM[:50], 8, [math.nan]), OBS[:50]),
                              kge(SIM[:50], sprinkle(OBS[:50], 9, [-1.0]), True),
                              kge(sprinkle(SIM[:50], 10, [0.0]), OBS[:50], True)])
for _n in (1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33):
    case(f"kge/length={_n}")(lambda n=_n: [kge(SIM[:n], OBS[:n]), kge(SIM[-n:], OBS[:n], True)])
case("kge/empty")(lambda: kge([], []))
case("kge/mismatch")(lambda: kge([1.0], [1.0, 2.0]))


# --- the comparison ------------------------------------------------------------------------

def compute_all():
    return {name: outcome(fn) for name, fn in CASES.items()}


def load():
    with open(DATA_FILE, encoding="utf-8") as f:
        return json.load(f)


STORED = load() if os.path.exists(DATA_FILE) else {}


def test_every_case_is_stored():
    assert sorted(STORED) == sorted(CASES)


@pytest.mark.parametrize("name", sorted(CASES))
def test_stored_output(name):
    assert outcome(CASES[name]) == STORED[name]


def test_kge_same_bits_from_every_sequence_kind():
    """Lists, tuples, array.array and float64 numpy arrays (read in place)
    give the stored result bit for bit."""
    expected = STORED["kge/large"]
    kinds = [list, tuple, lambda v: array.array("d", v), lambda v: memoryview(array.array("d", v))]
    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is not None:
        kinds += [numpy.array, lambda v: numpy.array(v, dtype=numpy.float64)[::1]]
    for make in kinds:
        assert kge(make(SIM), make(OBS)) == expected
    # mixed: one list, one array
    assert kge(SIM, array.array("d", OBS)) == expected


# --- the same results from several threads at once ------------------------------------------

def plain_outcome(fn):
    """As `outcome`, without recording warnings (the warnings state is shared
    by all threads); run under a filter that ignores them."""
    try:
        return fn()
    except BaseException as e:
        return {"error": type(e).__name__, "message": str(e)}


# Runs long enough to be computed with the interpreter lock released.
LONG_CASES = {
    "muskingum": lambda: muskingum(hydrograph(60_000, 101), H, K, 0.2, 3, 50.0),
    "muskingum_one": lambda: muskingum(hydrograph(40_000, 102), H, K, 0.3, 1, 50.0),
    "clark": lambda: clark(rainfall(2_000, 103, 0.5), SIX, 640.0, SIX * 40, timedelta(hours=2)),
    "loss": lambda: loss(rainfall(30_000, 104), timedelta(minutes=15), 0.5, 1.5, 0.125, timedelta(hours=6)),
    "baseflow": lambda: baseflow(640.0, rainfall(20_000, 105, 0.5, 0.2), H, layers5()),
    "level_pool": lambda: level_pool(POOL_IN, H, 20.0, CURVE, four_outlets(4)),
    "level_pool_error": lambda: level_pool(POOL_IN, H, 20.0, CURVE, four_outlets(1)),
    "kge_lists": lambda: kge(hydrograph(30_000, 106), hydrograph(30_000, 107), True),
    "kge_arrays": lambda: kge(array.array("d", hydrograph(30_000, 108)), array.array("d", hydrograph(30_000, 109))),
}


@pytest.mark.filterwarnings("ignore::UserWarning")
def test_concurrent_threads_give_the_single_threaded_results():
    import concurrent.futures

    tasks = {**{f"stored/{k}": v for k, v in CASES.items()}, **{f"long/{k}": v for k, v in LONG_CASES.items()}}
    serial = {name: plain_outcome(fn) for name, fn in tasks.items()}
    for name in CASES:  # the stored results, where no warning wraps them
        stored = STORED[name]
        assert serial[f"stored/{name}"] == (stored["result"] if "warnings" in stored else stored)
    order = [name for _ in range(3) for name in tasks]
    shuffle = Lcg(11)
    order.sort(key=lambda _: shuffle.next())
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(lambda name: (name, plain_outcome(tasks[name])), order))
    for name, result in results:
        assert result == serial[name], name


if __name__ == "__main__":
    if "--regenerate" not in sys.argv:
        sys.exit("usage: python tests/test_stored_outputs.py --regenerate")
    os.makedirs(os.path.dirname(DATA_FILE), exist_ok=True)
    results = compute_all()
    with open(DATA_FILE, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=1, sort_keys=True)
        f.write("\n")
    print(f"wrote {len(results)} cases to {DATA_FILE}")
