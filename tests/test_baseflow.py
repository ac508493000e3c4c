import math
from datetime import timedelta

import pytest

import quellmar
from helpers import physical_memory_bytes
import reference as models

IS = quellmar.utils.IncrementalTimeSeries
CS = quellmar.utils.ContinuousTimeSeries
LR = quellmar.baseflow.LinearReservoir
run = quellmar.baseflow.run_linear_reservoir
NEG = "`k_duration` is negative: a negative timedelta cannot be converted to a duration"


def rain(data, step=3600):
    return IS(data, timedelta(seconds=step), "rainfall")


def reference(area, data, step, layers):
    """Per-layer flows and their total, in the routine's operation order
    (tests/reference.py); `layers` maps a name to (k seconds, fraction, q0, stages)."""
    return models.linear_reservoir(area, data, step, [(name, *layer) for name, layer in layers.items()])


# --- LinearReservoir --------------------------------------------------------


@pytest.mark.parametrize(
    "k, seconds, days, secs",
    [
        (timedelta(hours=12), 43200, 0, 43200),
        (timedelta(hours=48), 172800, 2, 0),
        (timedelta(seconds=100000), 100000, 1, 13600),
        (timedelta(seconds=1.9), 1, 0, 1),
        (timedelta(days=30000), 2147483647, 24855, 11647),  # saturates
    ],
)
def test_k_duration_whole_seconds(k, seconds, days, secs):
    lr = LR(k, 0.3, 5.0)
    got = lr.k_duration
    assert got == timedelta(seconds=seconds) and (got.days, got.seconds, got.microseconds) == (days, secs, 0)
    assert lr.k_duration is not got and lr.num_reservoir == 1
    assert (lr.gw_fraction, lr.initial_q) == (0.3, 5.0)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((timedelta(microseconds=999999), 0.3, 1.0), ValueError, "k_duration must be > 0"),
        ((timedelta(0), 2.0, 1.0, 0), ValueError, "k_duration must be > 0"),  # k wins over fraction and count
        ((timedelta(seconds=-1), 2.0, 1.0), ValueError, NEG),  # conversion before any range check
        ((3600, "x", 1.0), TypeError, "argument 'k_duration': 'int' object is not an instance of 'timedelta'"),
        ((timedelta(hours=1), "x", "y"), TypeError, "argument 'gw_fraction': must be real number, not str"),
        ((timedelta(hours=1), 2.0, "y"), TypeError, "argument 'initial_q': must be real number, not str"),
        ((timedelta(hours=1), 2.0, 1.0, 1.5), TypeError,
         "argument 'num_reservoir': 'float' object cannot be interpreted as an integer"),
        ((timedelta(hours=1), 0.3, 1.0, None), TypeError,
         "argument 'num_reservoir': 'NoneType' object cannot be interpreted as an integer"),
        ((timedelta(hours=1), -0.0001, 1.0), ValueError, "gw_fraction must be between 0 and 1"),
        ((timedelta(hours=1), 1.0001, 1.0, 0), ValueError, "gw_fraction must be between 0 and 1"),
        ((timedelta(hours=1), 0.3, 1.0, 0), ValueError, "num_reservoir must be at least 1"),
        ((timedelta(hours=1), 0.3, 1.0, -1), OverflowError, None),
        ((timedelta(hours=1), 0.3, 1.0, 2**64), OverflowError, None),
    ],
)
def test_constructor_failures(args, exc, message):
    with pytest.raises(exc) as info:
        LR(*args)
    if message is not None:
        assert str(info.value) == message


def test_constructor_accepts_bounds_nan_and_keywords():
    assert LR(timedelta(hours=1), 0.0, 1.0).gw_fraction == 0.0
    assert LR(timedelta(hours=1), 1.0, 1.0).gw_fraction == 1.0
    assert math.isnan(LR(timedelta(hours=1), float("nan"), 1.0).gw_fraction)
    lr = LR(num_reservoir=2**64 - 1, initial_q=True, gw_fraction=1, k_duration=timedelta(minutes=1))
    assert (lr.num_reservoir, lr.initial_q, lr.gw_fraction) == (2**64 - 1, 1.0, 1.0)
    assert LR.__text_signature__ == "(k_duration, gw_fraction, initial_q, num_reservoir=1)"


def test_setters():
    lr = LR(timedelta(hours=2), 0.5, 3.0, 2)
    lr.gw_fraction, lr.initial_q, lr.num_reservoir = 1.5, -4, 0  # stored without range check
    assert (lr.gw_fraction, lr.initial_q, lr.num_reservoir) == (1.5, -4.0, 0)
    assert type(lr.initial_q) is float
    with pytest.raises(TypeError, match=r"^argument 'gw_fraction': must be real number, not str$"):
        lr.gw_fraction = "0.2"
    with pytest.raises(TypeError, match=r"^argument 'num_reservoir': "):
        lr.num_reservoir = 2.0
    with pytest.raises(OverflowError):
        lr.num_reservoir = -1
    with pytest.raises(TypeError, match=r"^argument 'initial_q': "):
        lr.initial_q = None
    assert (lr.gw_fraction, lr.initial_q, lr.num_reservoir) == (1.5, -4.0, 0)
    for name in ("gw_fraction", "initial_q", "num_reservoir"):
        with pytest.raises(AttributeError, match=r"^property has no deleter$"):
            delattr(lr, name)
    with pytest.raises(AttributeError):
        lr.k_duration = timedelta(hours=1)
    with pytest.raises(AttributeError):
        del lr.k_duration
    with pytest.raises(AttributeError):
        lr.other = 1
    assert lr.k_duration == timedelta(hours=2)


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (LR,), {})


# --- run_linear_reservoir ---------------------------------------------------


def test_worked_example_single_layer():
    lr = LR(timedelta(hours=48), 1.0, 0.0)
    total, flows = run(640, rain([1.0, 0.0]), {"deep": lr})
    c = 1.0 / (0.5 + 48.0)
    inflow = (640 * 1.00833) * ((1.0 * 1.0) / 1.0)
    assert round(inflow, 10) == 645.3312
    first = c * inflow + (1.0 - c) * 0.0
    assert flows["deep"].data == [first, c * 0.0 + (1.0 - c) * first]
    assert total.data == flows["deep"].data
    for s in (total, flows["deep"]):
        assert type(s) is CS and s.kind == "discharge" and s.time_step == timedelta(hours=1)


def test_several_layers_in_dict_order():
    data = [0.3, 0.0, 1.7, 0.2, 0.0, 0.05]
    layers = {
        "zeta": (36000, 0.35, 2.5, 3),
        "alpha": (7200, 0.1, 0.0, 1),
        "mid": (172800, 0.45, 11.0, 2),
    }
    reservoirs = {n: LR(timedelta(seconds=k), f, q, m) for n, (k, f, q, m) in layers.items()}
    total, flows = run(basin_area=1234.5, reservoirs=reservoirs, rainfall=rain(data, 1800))
    want_total, want_flows = reference(1234.5, data, 1800, layers)
    assert list(flows) == ["zeta", "alpha", "mid"]
    assert {n: s.data for n, s in flows.items()} == want_flows
    assert total.data == want_total
    # another order visits the layers in that order: same layers, same key order as given
    rev = dict(reversed(list(reservoirs.items())))
    assert list(run(1234.5, rain(data, 1800), rev)[1]) == ["mid", "alpha", "zeta"]


def test_setter_only_values_run_unchecked():
    zero = LR(timedelta(hours=10), 0.5, 7.0)
    zero.num_reservoir = 0  # empty chain: the unrouted inflow
    neg = LR(timedelta(hours=10), 0.5, 0.0)
    neg.gw_fraction = -0.25
    total, flows = run(100.0, rain([0.4, 1.0]), {"zero": zero, "neg": neg})
    assert flows["zero"].data == [(100.0 * 1.00833) * ((0.5 * r) / 1.0) for r in (0.4, 1.0)]
    assert all(v < 0 for v in flows["neg"].data)


def test_initial_q_recession():
    total, flows = run(10.0, rain([0.0] * 3), {"a": LR(timedelta(hours=2), 0.5, 10.0),
                                              "b": LR(timedelta(hours=3), 0.5, 10.0, 3)})
    d = 1.0 - 1.0 / (0.5 + 2.0)
    assert flows["a"].data == [d * 10.0, d * (d * 10.0), d * (d * (d * 10.0))]
    _, want = reference(10.0, [0.0] * 3, 3600, {"b": (10800, 0.5, 10.0, 3)})
    assert flows["b"].data == want["b"]


@pytest.mark.parametrize(
    "fractions, message",
    [
        ((0.75, 0.5), "Total fraction 1.25 > 1.0"),
        ((0.5, 0.5), None),
        ((0.5, 0.5000005), None),
        ((0.5, 0.500002), "Total fraction 1.0000019999999998 > 1.0"),  # shortest round trip
        ((float("nan"), 0.9), None),
    ],
)
def test_total_fraction_check(fractions, message):
    layers = {}
    for i, f in enumerate(fractions):
        layers[str(i)] = lr = LR(timedelta(hours=1), 0.0, 0.0)
        lr.gw_fraction = f
        if message:  # the fraction check comes before any stability check
            lr.num_reservoir = 1000
    if message is None:
        run(1.0, rain([1.0]), layers)
    else:
        with pytest.raises(ValueError) as info:
            run(1.0, rain([1.0]), layers)
        assert str(info.value) == message


def test_stability_check():
    bad = LR(timedelta(seconds=1800), 0.5, 0.0, 2)
    message = "Stability Error: k_per_res (0.2500) < 0.5*dt (0.5000). Increase k_hr or num_reservoir."
    with pytest.raises(ValueError) as info:
        run(1.0, rain([]), {"bad": bad})  # still checked for empty rainfall
    assert str(info.value) == message
    run(1.0, rain([1.0]), {"ok": LR(timedelta(seconds=3600), 0.5, 0.0, 2)})  # equality passes
    worse = LR(timedelta(seconds=600), 0.5, 0.0)
    for layers, first in (({"bad": bad, "worse": worse}, "0.2500"), ({"worse": worse, "bad": bad}, "0.1667")):
        with pytest.raises(ValueError, match=rf"^Stability Error: k_per_res \({first}\)"):
            run(1.0, rain([1.0]), layers)


def test_empty_inputs():
    total, flows = run(5.0, rain([0.0, 1.0, 2.0]), {})
    assert total.data == [0.0, 0.0, 0.0] and flows == {} and total.kind == "discharge"
    total, flows = run(5.0, rain([], 60), {"a": LR(timedelta(hours=1), 1.0, 3.0)})
    assert total.data == [] and flows["a"].data == [] and flows["a"].time_step == timedelta(minutes=1)


def test_enormous_chain_is_a_clean_error():
    lr = LR(timedelta(seconds=2**31 - 1), 0.5, 1.0)
    lr.num_reservoir = 2**63
    with pytest.raises(ValueError, match="^Stability Error"):
        run(1.0, rain([1.0], 1), {"a": lr})
    # the largest chain that still passes the stability check at a 1 s step
    lr.num_reservoir = 4_000_000_000
    if lr.num_reservoir * 8 <= physical_memory_bytes():
        pytest.skip("this machine could hold the state vector")
    with pytest.raises(MemoryError):
        run(1.0, rain([1.0], 1), {"a": lr})


@pytest.mark.parametrize(
    "args, message",
    [
        (("x", rain([1.0]), []), "argument 'basin_area': must be real number, not str"),
        ((1.0, CS([1.0], timedelta(hours=1), "rainfall"), {}),
         "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'"),
        ((1.0, rain([1.0]), []), "argument 'reservoirs': 'list' object is not an instance of 'dict'"),
        ((1.0, rain([1.0]), {1: None}), "argument 'reservoirs': 'int' object is not an instance of 'str'"),
        ((1.0, rain([1.0]), {"a": 0.5}), "argument 'reservoirs': 'float' object is not an instance of 'LinearReservoir'"),
    ],
)
def test_argument_failures(args, message):
    with pytest.raises(TypeError) as info:
        run(*args)
    assert str(info.value) == message
