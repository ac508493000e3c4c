"""Level pool routing: worked examples, exact operation order, failures and
reproducibility (what every routine shares is in test_callables.py)."""
import math
from datetime import timedelta

import pytest

import quellmar
import reference
from helpers import assert_same, load_standalone, panic_of

res_mod = quellmar.reservoir
ru = res_mod.reservoir_utils
run = res_mod.run_level_pool_routing
CTS = quellmar.utils.ContinuousTimeSeries

CURVE = ru.ElevationStorage([0, 10], [0, 1000])


def series(data, step, kind="discharge"):
    return CTS(data, timedelta(seconds=step), kind)


def flows(result):
    return {k: v.data for k, v in result.reservoir_individual_outflows.items()}


# --- worked examples --------------------------------------------------------------

@pytest.mark.parametrize(
    "inflow, step, outlets, storage, elevation, total",
    [
        ([10, 10, 10], 2, {}, [100, 120], [1, 1.2], [0, 0]),
        ([10, 10, 10], 2, {"c": ru.ConstantDischargeInfo(5)}, [100, 110], [1, 1.1], [5, 5]),
        ([0, 10, 20], 2, {}, [100, 125], [1, 1.25], [0, 0]),
        ([0, 0, 0], 1, {"c": ru.ConstantDischargeInfo(60)}, [100, 40], [1, 0.4], [60, 60]),
        ([0, 0, 0], 1, {"c": ru.ConstantDischargeInfo(150)}, [100, 0], [1, 0], [150, 150]),
        ([7], 3600, {"c": ru.ConstantDischargeInfo(150)}, [100], [1], []),
        # a withdrawal larger than the storage: floored at 0
        ([0, -500, -500], 1, {}, [100, 0], [1, 0], [0, 0]),
        # a NaN or infinite discharge that never enters the balance: a closed gate, a NaN cap
        ([0, 0, 0], 1, {"c": ru.ConstantDischargeInfo(math.nan, maximum_elevation=0.5)}, [100, 100], [1, 1], [0, 0]),
        ([0, 0, 0], 1, {"c": ru.SpecifiedDischargeInfo(series([math.inf] * 3, 1), None, None, 60)},
         [100, 40], [1, 0.4], [60, 60]),
        ([0, 0, 0], 1, {"c": ru.SpecifiedDischargeInfo(series([60] * 3, 1), None, None, math.nan)},
         [100, 40], [1, 0.4], [60, 60]),
    ],
)
def test_worked_examples(inflow, step, outlets, storage, elevation, total):
    r = run(series(inflow, step), 1, CURVE, outlets)
    assert r.reservoir_storage.data == storage
    assert r.reservoir_elevation.data == elevation
    assert [("nan" if math.isnan(q) else q) for q in r.reservoir_total_outflow.data] == \
        [("nan" if math.isnan(q) else q) for q in total]
    if len(inflow) < 2:
        assert r.reservoir_individual_outflows == {}
    else:
        assert list(r.reservoir_individual_outflows) == list(outlets)
    if "c" in outlets and len(inflow) >= 2 and not math.isnan(total[0]):
        assert flows(r) == {"c": total}


def test_result_series_kinds_steps_and_copies():
    class MySeries(CTS):
        pass

    r = run(MySeries([10, 10, 10], timedelta(seconds=2), "rainfall"), 1, CURVE, {"c": ru.ConstantDischargeInfo(5)})
    kinds = [(r.reservoir_storage, "volume"), (r.reservoir_elevation, "elevation"),
             (r.reservoir_total_outflow, "discharge"), (r.reservoir_individual_outflows["c"], "discharge")]
    for s, kind in kinds:
        assert type(s) is CTS and s.kind == kind and s.time_step == timedelta(seconds=2)
    assert r.reservoir_storage is not r.reservoir_storage
    d1, d2 = r.reservoir_individual_outflows, r.reservoir_individual_outflows
    assert d1 is not d2 and d1["c"] is not d2["c"]
    with pytest.raises(TypeError):
        res_mod.LevelPoolResult()
    with pytest.raises(AttributeError):
        r.reservoir_storage = None


# --- failures -----------------------------------------------------------------

def test_storage_leaves_the_curve():
    r = run(series([100, 100], 60), 1, CURVE, {})
    assert r.reservoir_storage.data == [100.0]
    with pytest.raises(ValueError) as info:
        run(series([100, 100, 100], 60), 1, CURVE, {})
    assert str(info.value) == "`storage` 1100 is outside the range of the elevation-storage curve."
    # nine one-second steps after the first grid time reach the closed end exactly
    r = run(series([100] * 11, 1), 1, CURVE, {})
    assert r.reservoir_storage.data[-1] == 1000 and r.reservoir_elevation.data[-1] == 10


def test_floor_below_a_raised_curve():
    raised = ru.ElevationStorage([0, 10], [50, 1000])
    with pytest.raises(ValueError) as info:
        run(series([0, 0, 0], 1), 1, raised, {"c": ru.ConstantDischargeInfo(150)})
    assert str(info.value) == "`storage` 0 is outside the range of the elevation-storage curve."


@pytest.mark.parametrize(
    "inflow, initial, curve, exc, message",
    [
        ([1, 1], 11, CURVE, ValueError, "`elevation` 11 is outside the range of the elevation-storage curve."),
        ([], 11, CURVE, ValueError, "`elevation` 11 is outside the range of the elevation-storage curve."),
        ([], 1, CURVE, None, "index out of bounds: the len is 0 but the index is 0"),
        ([1, 1], math.nan, CURVE, None, None),
        ([1, 1], 1, ru.ElevationStorage([1], [2]), None, "x_values and y_values each must have at least 2 elements."),
        ([], 1, ru.ElevationStorage([], []), None, "x_values and y_values each must have at least 2 elements."),
    ],
)
def test_failures_before_routing(inflow, initial, curve, exc, message):
    args = (series(inflow, 3600), initial, curve, {"c": ru.ConstantDischargeInfo(1)})
    if exc is None:
        text = str(panic_of(lambda: run(*args)))
        if message is not None:
            assert text == message
    else:
        with pytest.raises(exc) as info:
            run(*args)
        assert str(info.value) == message


@pytest.mark.parametrize(
    "inflow, outlets, message",
    [
        ([0, 0, 0, 0, 0, math.nan, 0], {}, "`inflow` value NaN at index 5 is not finite."),
        ([0, math.inf, -math.inf], {}, "`inflow` value inf at index 1 is not finite."),
        # a one-value inflow is not routed, but a gap is a gap
        ([math.nan], {}, "`inflow` value NaN at index 0 is not finite."),
        # a release schedule with a gap at 4 s: the sample at 2 s is interpolated
        # towards it (1 + 0 * (NaN - 1)), so it is NaN already
        ([0, 0, 0, 0, 0], {"c": ru.ConstantDischargeInfo(1),
                           "gap": ru.SpecifiedDischargeInfo(series([1, 1, math.nan, 1, 1], 2))},
         "discharge NaN of outlet 'gap' at 2s is not finite."),
        # the first record time is recorded, not balanced: refused all the same
        ([0, 0, 0], {"c": ru.ConstantDischargeInfo(-math.inf)}, "discharge -inf of outlet 'c' at 2s is not finite."),
    ],
)
def test_non_finite_inflow_or_discharge_ends_the_run(inflow, outlets, message):
    with pytest.raises(ValueError) as info:
        run(series(inflow, 2), 1, CURVE, outlets)
    assert str(info.value) == message
    with pytest.raises(ValueError, match="^`elevation` 11 is outside"):
        run(series(inflow, 2), 11, CURVE, outlets)


def test_outlet_failure_ends_the_run():
    spec = ru.SpecifiedDischargeInfo(series([5, 5], 3600))
    # the series ends at 3600 s; the inflow runs to 7200 s
    with pytest.raises(ValueError) as info:
        run(series([0, 0, 0], 3600), 1, CURVE, {"s": spec})
    assert str(info.value) == "simulation duration 3601s exceeds the specified discharge series length (3600s)."
    spill = ru.UnControlledDischargeInfo(ru.ElevationDischarge([0, 1.05], [0, 1]))
    with pytest.raises(ValueError) as info:
        run(series([100, 100, 100], 60), 1, CURVE, {"u": spill})
    # at 61 s the spill releases its rate at elevation 1 and the storage jumps past the curve's top
    q = 0.0 + ((1.0 - 0.0) / (1.05 - 0.0)) * (1.0 - 0.0)
    s = (100.0 + (100.0 + 100.0) * 0.5 * 1.0) - q * 1.0
    e = 0.0 + ((s - 0.0) / (1000.0 - 0.0)) * (10.0 - 0.0)
    assert str(info.value) == f"elevation {e!r} is above the maximum of the elevation-discharge curve (1.05)."


@pytest.mark.parametrize(
    "args, message",
    [
        (([1, 2], 1, CURVE, {}), "argument 'inflow': 'list' object is not an instance of 'ContinuousTimeSeries'"),
        ((series([1], 1), "1", CURVE, 3), "argument 'initial_elevation': must be real number, not str"),
        ((series([1], 1), 1, ru.ElevationDischarge([0, 1], [0, 1]), {}),
         "argument 'elevation_storage': 'ElevationDischarge' object is not an instance of 'ElevationStorage'"),
        ((series([1], 1), 1, CURVE), "run_level_pool_routing() missing 1 required positional argument: "
                                     "'discharge_info'"),
    ],
)
def test_argument_conversion(args, message):
    with pytest.raises(TypeError) as info:
        run(*args)
    assert str(info.value) == message


# --- exact operation order against a plain-Python loop ------------------------------

def pure_outlet(o):
    """The plain-Python rule (tests/reference.py) of an outlet object."""
    if isinstance(o, ru.UnControlledDischargeInfo):
        c = o.elevation_discharge
        return reference.uncontrolled_outlet(c.elevation, c.discharge, o.elevation_offset)
    if isinstance(o, ru.ConstantDischargeInfo):
        return reference.constant_outlet(o.discharge, o.minimum_elevation, o.maximum_elevation)
    if isinstance(o, ru.SpecifiedDischargeInfo):
        d = o.discharge
        return reference.specified_outlet(d.data, int(d.time_step.total_seconds()), o.minimum_elevation,
                                          o.maximum_elevation, o.maximum_release)
    c = o.elevation_discharge
    return reference.controlled_outlet(c.elevation, c.discharge, o.minimum_elevation, o.maximum_elevation,
                                       o.maximum_release)


def fresh_level_pool(inflow, step, e0, curve, outlets):
    """The plain-Python routing (tests/reference.py), every lookup searched
    afresh.  Returns (storage, elevation, total, individual, seconds at which
    the storage segment changed), or raises the routine's error."""
    segment, changes = None, 0

    def count_changes(S):
        nonlocal segment, changes
        k = sum(1 for s in curve.storage if s <= S)
        changes += segment is not None and k != segment
        segment = k

    pure = {name: pure_outlet(o) for name, o in outlets.items()}
    storage, elevation, total, ind = reference.level_pool(inflow, step, e0, curve.elevation, curve.storage, pure,
                                                          count_changes)
    return storage, elevation, total, ind, changes


def outcome(fn):
    try:
        return fn()
    except ValueError as e:
        return ("ValueError", str(e))


def assert_same_run(inflow, step, e0, curve, outlets):
    got = outcome(lambda: run(series(inflow, step), e0, curve, outlets))
    want = outcome(lambda: fresh_level_pool(inflow, step, e0, curve, outlets))
    if isinstance(want, tuple) and want[0] == "ValueError":
        assert got == want
        return None
    storage, elevation, total, ind, changes = want
    assert_same(got.reservoir_storage.data, storage)
    assert_same(got.reservoir_elevation.data, elevation)
    assert_same(got.reservoir_total_outflow.data, total)
    assert list(got.reservoir_individual_outflows) == list(outlets)
    for name in outlets:
        assert_same(got.reservoir_individual_outflows[name].data, ind[name])
    return changes


def ref_level_pool(inflow, step, e0, curve, outlets):
    storage, elevation, total, ind, _ = fresh_level_pool(inflow, step, e0, curve, {n: o for n, (_, o) in outlets})
    return storage, elevation, total, ind


def four_outlets():
    rating = ru.ElevationDischarge([101.3, 103.7, 104.9, 109.0], [0.0, 3.3, 7.9, 41.7])
    return [
        ("spill", ("uncontrolled", ru.UnControlledDischargeInfo(rating, elevation_offset=-0.7))),
        ("gate", ("controlled", ru.ControlledDischargeInfo(rating, 102.1, 108.3, 3.0))),
        ("release", ("specified", ru.SpecifiedDischargeInfo(series([1.1, 2.7, 0.3, 4.4, 1.9, 0.8], 47), 102.5, None, 3.3))),
        ("base", ("constant", ru.ConstantDischargeInfo(0.37, maximum_elevation=103.4))),
    ]


STORAGE_CURVE = ru.ElevationStorage([100, 101.7, 103.1, 106.2, 109.5], [0, 1370.3, 2990.1, 7411.9, 13009.0])


def test_bit_identical_to_reference_loop():
    inflow = [2.0, 9.3, 31.7, 24.1, 13.3, 7.07, 3.1, 2.2]
    outlets = four_outlets()
    r = run(series(inflow, 30), 102.37, STORAGE_CURVE, {name: o for name, (_, o) in outlets})
    storage, elevation, total, ind = ref_level_pool(inflow, 30, 102.37, STORAGE_CURVE, outlets)
    assert r.reservoir_storage.data == storage
    assert r.reservoir_elevation.data == elevation
    assert r.reservoir_total_outflow.data == total
    assert flows(r) == ind
    assert list(r.reservoir_individual_outflows) == ["spill", "gate", "release", "base"]
    assert all(len(v) == len(inflow) - 1 for v in ind.values())
    # the outlets do act in this run
    assert all(q > 0 for q in ind["spill"]) and ind["release"][0] == 0 and 3.3 in ind["release"]
    assert 0 in ind["base"] and 0.37 in ind["base"] and 3.0 in ind["gate"]


def test_repeatable_and_in_dict_order():
    outlets = four_outlets()
    names = ["zeta", "alpha", "mu", "beta"]
    info = {n: o for n, (_, (_, o)) in zip(names, outlets)}
    inflow = series([2.0, 9.3, 31.7, 24.1, 13.3, 7.07, 3.1, 2.2], 30)
    first = run(inflow, 102.37, STORAGE_CURVE, info)
    for _ in range(20):
        again = run(inflow, 102.37, STORAGE_CURVE, info)
        assert list(again.reservoir_individual_outflows) == names
        assert flows(again) == flows(first)
        assert again.reservoir_storage.data == first.reservoir_storage.data
        assert again.reservoir_elevation.data == first.reservoir_elevation.data
        assert again.reservoir_total_outflow.data == first.reservoir_total_outflow.data
    reordered = run(inflow, 102.37, STORAGE_CURVE, dict(reversed(list(info.items()))))
    assert list(reordered.reservoir_individual_outflows) == names[::-1]


# --- module surface -------------------------------------------------------------------

def test_module_tree():
    assert res_mod.__all__ == ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"]
    assert ru.__all__ == ["ElevationDischarge", "ElevationStorage", "ControlledDischargeInfo",
                          "UnControlledDischargeInfo", "SpecifiedDischargeInfo", "ConstantDischargeInfo"]
    assert ru.__name__ == "reservoir_utils" and ru.__doc__ is None
    assert res_mod.LevelPoolResult.__doc__ == "Results of a level pool routing simulation."
    assert res_mod.LevelPoolResult.reservoir_individual_outflows.__doc__ == \
        "Per-outlet outflow time series keyed by outlet name."


def test_standalone_entry_module_shares_the_classes():
    mod = load_standalone("init_reservoir")
    assert mod.__all__ == ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"]
    assert mod.reservoir_utils is not ru
    assert mod.reservoir_utils.ElevationStorage is ru.ElevationStorage
    assert mod.LevelPoolResult is res_mod.LevelPoolResult
    assert mod.run_level_pool_routing.__module__ == "init_reservoir"


# --- long runs against a per-second reference: segment changes, blocks, errors ----------
#
# The routine settles most seconds on the curve segments it remembers and
# computes the inflow and the scheduled releases a block of seconds ahead;
# these runs check every recorded value and every error against a loop that
# looks everything up afresh each second, over runs whose pool crosses many
# segments both ways, with inflow steps shorter and longer than a block.

# 101 points, one foot per segment; spillway and gate curves of 41 and 26 points.
FLASHY_CURVE = ru.ElevationStorage([float(i) for i in range(101)], [2.0e3 * i ** 1.6 for i in range(101)])
SPILL = ru.ElevationDischarge([8.0 + 2.3 * i for i in range(41)], [1.5 * (2.3 * i) ** 1.5 for i in range(41)])
GATE = ru.ElevationDischarge([4.0 * i for i in range(26)], [1.2 * 4.0 * i for i in range(26)])


def flashy_outlets(release_step=600, release_points=60):
    release = series([2.0 + 1.0 * math.sin(k / 3.0) for k in range(release_points)], release_step)
    return {
        "spillway": ru.UnControlledDischargeInfo(SPILL, elevation_offset=0.25),
        "gate": ru.ControlledDischargeInfo(GATE, 14.0, 40.0, 33.0),
        "schedule": ru.SpecifiedDischargeInfo(release, 12.0, None, 2.5),
        "fixed": ru.ConstantDischargeInfo(0.5, 13.0),
    }


def flashy_inflow(n, step):
    hours = [k * step / 3600.0 for k in range(n)]
    return [25.0 + 400.0 * math.exp(-(((h % 6.0) - 1.5) / 0.5) ** 2) for h in hours]


@pytest.mark.parametrize("step, n", [(1, 3000), (7, 700), (300, 73), (2047, 12), (2048, 12), (2049, 12), (5000, 6)])
def test_flashy_storm_matches_fresh_lookups(step, n):
    """The pool rises and falls across many one-foot segments of the storage
    curve and of the outlets' curves, through every gate and cap, with inflow
    steps of one second, shorter than a block, at its size and longer."""
    changes = assert_same_run(flashy_inflow(n, step), step, 15.0, FLASHY_CURVE, flashy_outlets())
    assert changes > 20


def test_segment_changes_both_ways_every_second():
    """An inflow that swings within seconds moves the storage across a segment
    boundary every other second, up and down, over and over."""
    curve = ru.ElevationStorage([0.0, 1.0, 2.0, 3.0, 4.0, 5.0], [0.0, 1000.0, 1100.0, 1200.0, 1300.0, 1e4])
    inflow = [0.0, 0.0, 300.0, 300.0] * 100
    outlets = {"fixed": ru.ConstantDischargeInfo(150.0)}
    changes = assert_same_run(inflow, 1, 2.5, curve, outlets)
    assert changes > 150


@pytest.mark.parametrize("step", [60, 2048, 5000])
def test_storage_leaves_the_curve_at_the_exact_second(step):
    curve = ru.ElevationStorage([0.0, 5.0, 10.0], [0.0, 4.0e5, 1.0e6])
    inflow = [30.0, 5000.0, 5000.0, 5000.0, 5000.0]
    want = outcome(lambda: fresh_level_pool(inflow, step, 4.0, curve, {}))
    assert want[0] == "ValueError" and want[1].startswith("`storage` ")
    assert_same_run(inflow, step, 4.0, curve, {})


def test_spillway_above_its_curve_at_the_exact_second():
    outlets = flashy_outlets()
    outlets["spillway"] = ru.UnControlledDischargeInfo(ru.ElevationDischarge([8.0, 30.5], [0.0, 40.0]))
    inflow = flashy_inflow(40, 300)
    want = outcome(lambda: fresh_level_pool(inflow, 300, 15.0, FLASHY_CURVE, outlets))
    assert want[0] == "ValueError" and "(30.5)" in want[1]
    assert_same_run(inflow, 300, 15.0, FLASHY_CURVE, outlets)


@pytest.mark.parametrize("step, n, lower, upper", [(300, 120, None, None), (5000, 9, None, None),
                                                (300, 120, 36.0, None), (5000, 9, None, 20.0)])
def test_schedule_ends_at_the_exact_second(step, n, lower, upper):
    """A schedule that ends mid-block fails at the first second past its end
    with its gates open; with a gate closed then, at the second it opens."""
    inflow = flashy_inflow(n, step)
    outlets = flashy_outlets(release_step=700, release_points=12)  # ends at 7700 s
    outlets["schedule"] = ru.SpecifiedDischargeInfo(outlets["schedule"].discharge, lower, upper)
    want = outcome(lambda: fresh_level_pool(inflow, step, 15.0, FLASHY_CURVE, outlets))
    assert want[0] == "ValueError" and want[1].endswith("(7700s).")
    assert want[1].startswith("simulation duration 7701s") == (lower is None and upper is None)
    assert_same_run(inflow, step, 15.0, FLASHY_CURVE, outlets)


def test_first_failing_outlet_in_map_order_wins():
    """Two spillways whose curves end a hair apart leave them in the same
    second: the error is the one of the outlet first in the dict."""
    a = ru.UnControlledDischargeInfo(ru.ElevationDischarge([8.0, 30.5], [0.0, 4.0]))
    b = ru.UnControlledDischargeInfo(ru.ElevationDischarge([8.0, 30.5000001], [0.0, 4.0]))
    inflow = flashy_inflow(40, 300)
    for outlets, top in (({"a": a, "b": b}, "30.5"), ({"b": b, "a": a}, "30.5000001")):
        with pytest.raises(ValueError) as info:
            run(series(inflow, 300), 15.0, FLASHY_CURVE, outlets)
        assert str(info.value).endswith(f"curve ({top}).")
        assert_same_run(inflow, 300, 15.0, FLASHY_CURVE, outlets)
