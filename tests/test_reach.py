"""Muskingum routing through a reach of one or more sub-reaches."""

import math
import warnings
from datetime import timedelta

import pytest

import quellmar
import reference
from helpers import assert_same, panic_of, same

ContinuousTimeSeries = quellmar.utils.ContinuousTimeSeries
IncrementalTimeSeries = quellmar.utils.IncrementalTimeSeries
route = quellmar.reach.run_muskingum_routing

HOUR = timedelta(hours=1)
RANGE_WARNING = "`x` is outside the recommended range [0.0, 0.5]."
EMPTY_PANIC = "index out of bounds: the len is 0 but the index is 0"


def ref_route(inflow, dt, k, x, sub_reaches, initial):
    """The plain-Python routing (tests/reference.py), with `k` a timedelta."""
    return reference.muskingum([float(v) for v in inflow], float(dt), reference.seconds(k), x, sub_reaches, initial)


def series(data, step=HOUR, kind="discharge"):
    return ContinuousTimeSeries(data, step, kind)


HYDROGRAPH = [10.0, 20.0, 30.0, 20.0, 10.0]
STORM = [5.0, 5.5, 12.25, 48.0, 131.5, 212.75, 187.0, 143.125, 96.0, 61.5, 38.0, 22.4, 14.1, 9.3, 7.0]


# ---------------------------------------------------------------------------
# Worked numbers


@pytest.mark.parametrize(
    "sub_reaches, expected",
    [
        (1, [10.0, 12.307692, 20.532544, 25.507510, 18.963272]),
        (2, [10.0, 11.975309, 19.437586, 26.149977, 21.109418]),
    ],
)
def test_worked_hydrograph(sub_reaches, expected):
    out = route(series(HYDROGRAPH), HOUR, 0.2, sub_reaches, 10.0)
    assert [round(v, 6) for v in out.data] == expected
    assert_same(out.data, ref_route(HYDROGRAPH, 3600, HOUR, 0.2, sub_reaches, 10.0))


def test_worked_coefficients():
    # dt = 3600 s, k = 1 h, x = 0.2: D = 9360, C0 = 2160/9360, C1 = 5040/9360,
    # C2 = 2160/9360.  A unit pulse in the right place reads each one out.
    c0 = route(series([0.0, 1.0]), HOUR, 0.2, 1, 0.0).data[1]
    c1 = route(series([1.0, 0.0]), HOUR, 0.2, 1, 0.0).data[1]
    c2 = route(series([0.0, 0.0]), HOUR, 0.2, 1, 1.0).data[1]
    assert c0 == pytest.approx(2160 / 9360, rel=1e-15)
    assert c1 == pytest.approx(5040 / 9360, rel=1e-15)
    assert c2 == pytest.approx(2160 / 9360, rel=1e-15)
    two_k = 3600.0 + 3600.0
    d = 3600.0 + two_k * (1.0 - 0.2)
    assert (c0, c1, c2) == ((3600.0 - two_k * 0.2) / d, (3600.0 + two_k * 0.2) / d, (two_k * (1.0 - 0.2) - 3600.0) / d)


@pytest.mark.parametrize(
    "k, x, sub_reaches, initial, step",
    [
        (HOUR, 0.2, 1, 5.0, HOUR),
        (timedelta(hours=3), 0.25, 3, 0.0, HOUR),
        (timedelta(hours=7, microseconds=123457), 0.3, 5, 4.5, timedelta(minutes=15)),
        (timedelta(hours=2), 0.2, 7, 4.5, timedelta(minutes=5)),
        (HOUR, 0.33, 1, 5.0, timedelta(minutes=20)),
        (timedelta(minutes=5), 0.45, 10, 5.0, timedelta(minutes=30)),  # dt > 2K(1 - x): negative C2
        (timedelta(hours=10), 0.4, 1, 5.0, timedelta(minutes=10)),  # dt < 2Kx: negative C0
        (timedelta(0), 0.3, 2, 5.0, HOUR),  # K = 0: C0 = C1 = 1, C2 = -1
        (timedelta(seconds=1800), 1.5, 1, 5.0, HOUR),  # D = 0: infinite coefficients, no error
    ],
)
def test_exact_operation_order(k, x, sub_reaches, initial, step):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = route(series(STORM, step), k, x, sub_reaches, initial)
    assert_same(out.data, ref_route(STORM, step.total_seconds(), k, x, sub_reaches, initial))


def test_sub_reaches_route_one_after_the_other():
    two_hours = timedelta(hours=2)
    split = route(series(STORM), two_hours, 0.2, 2, 5.0).data
    whole = route(series(STORM), two_hours, 0.2, 1, 5.0).data
    once_per_hour = route(series(STORM), HOUR, 0.2, 1, 5.0).data
    twice = route(series(once_per_hour), HOUR, 0.2, 1, 5.0).data
    assert split != whole
    assert split == twice


def test_microseconds_of_k_count():
    # 1 microsecond = 1e-6 s: with x = 0 and a unit step C0 = 1 / (1 + 2e-6).
    one_us = route(series([0.0, 1.0], timedelta(seconds=1)), timedelta(microseconds=1), 0.0, 1, 0.0).data[1]
    assert one_us == 1.0 / (1.0 + (1e-6 + 1e-6))
    assert one_us != route(series([0.0, 1.0], timedelta(seconds=1)), timedelta(0), 0.0, 1, 0.0).data[1]
    k = timedelta(seconds=3600, microseconds=500000)
    assert_same(route(series(STORM), k, 0.2, 1, 5.0).data, ref_route(STORM, 3600, k, 0.2, 1, 5.0))


# ---------------------------------------------------------------------------
# Shape of the result


@pytest.mark.parametrize("sub_reaches", [1, 2, 5])
@pytest.mark.parametrize("initial", [10.0, 0.0, 99.5, -3.0])
def test_first_value_is_initial_outflow(sub_reaches, initial):
    out = route(series(HYDROGRAPH), HOUR, 0.2, sub_reaches, initial)
    assert out.data[0] == initial


@pytest.mark.parametrize("sub_reaches", [1, 3])
def test_single_value_inflow(sub_reaches):
    assert route(series([42.0]), HOUR, 0.2, sub_reaches, 7.5).data == [7.5]


@pytest.mark.parametrize("kind", ["discharge", "rainfall", "elevation", "volume"])
@pytest.mark.parametrize("step", [timedelta(seconds=1), timedelta(minutes=15), timedelta(days=2, seconds=7)])
def test_kind_step_and_length(kind, step):
    class Sub(ContinuousTimeSeries):
        pass

    out = route(Sub(STORM, step, kind), HOUR, 0.2, 2, 5.0)
    assert type(out) is ContinuousTimeSeries
    assert out.kind == "discharge"
    assert out.time_step == step
    assert len(out.data) == len(STORM)
    assert all(type(v) is float for v in out.data)


@pytest.mark.parametrize("k", [HOUR, timedelta(0)])
def test_zero_sub_reaches_gives_nan(k):
    out = route(series(HYDROGRAPH), k, 0.2, 0, 3.0)
    assert out.data[0] == 3.0
    assert all(math.isnan(v) for v in out.data[1:])


# -2**40 is read whole, also where C `long` has 32 bits.
@pytest.mark.parametrize("sub_reaches", [-1, -4, -(2**40)])
def test_negative_sub_reaches_route_one_segment_with_negative_k(sub_reaches):
    out = route(series(STORM), HOUR, 0.2, sub_reaches, 5.0)
    assert_same(out.data, ref_route(STORM, 3600, HOUR, 0.2, sub_reaches, 5.0))
    one_segment = reference.muskingum_segment(STORM, 5.0, 3600.0, 3600.0 / sub_reaches, 0.2)
    assert_same(out.data, one_segment)


def test_nan_and_infinity_propagate():
    out = route(series([1.0, math.nan, 2.0, 3.0]), HOUR, 0.2, 1, 1.0).data
    assert out[0] == 1.0 and all(math.isnan(v) for v in out[1:])
    out = route(series([1.0, 2.0, 3.0]), HOUR, 0.2, 1, math.nan).data
    assert all(math.isnan(v) for v in out)
    out = route(series([1.0, math.inf, 2.0]), HOUR, 0.2, 1, 1.0).data
    assert out[1] == math.inf


# ---------------------------------------------------------------------------
# The range warning on x


@pytest.mark.parametrize("x", [0.0, 0.5, 0.25, -0.0])
def test_no_warning_inside_range(x):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        route(series(HYDROGRAPH), HOUR, x, 1, 10.0)
    assert caught == []


@pytest.mark.parametrize("x", [-0.01, 0.51, math.nan, math.inf, 2.0])
def test_one_warning_outside_range(x):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = route(series(STORM), HOUR, x, 3, 5.0)
    assert len(caught) == 1
    assert caught[0].category is UserWarning
    assert str(caught[0].message) == RANGE_WARNING
    # Stack level 1: attributed to the Python code that called the routine.
    assert caught[0].filename == __file__
    # x is used as given, not clamped.
    assert_same(out.data, ref_route(STORM, 3600, HOUR, x, 3, 5.0))


def test_warning_as_error_stops_the_call():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=r"^`x` is outside the recommended range \[0\.0, 0\.5\]\.$"):
            route(series(HYDROGRAPH), HOUR, 0.6, 1, 10.0)
        # The filter also wins over a negative k and an empty inflow: the
        # warning comes first.
        with pytest.raises(UserWarning):
            route(series([]), timedelta(seconds=-1), -1.0, 1, 10.0)
        assert route(series(HYDROGRAPH), HOUR, 0.5, 1, 10.0).data[0] == 10.0


def test_warning_then_negative_k():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match="^`k` is negative: a negative timedelta"):
            route(series(HYDROGRAPH), timedelta(seconds=-1), 0.7, 1, 10.0)
    assert len(caught) == 1


# ---------------------------------------------------------------------------
# Failures


def test_empty_inflow_panics():
    exc = panic_of(lambda: route(series([]), HOUR, 0.2, 1, 0.0))
    assert str(exc) == EMPTY_PANIC
    assert exc.args == (EMPTY_PANIC,)


def test_empty_inflow_after_warning_and_k():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        panic_of(lambda: route(series([]), HOUR, 0.9, 2, 0.0))
    assert len(caught) == 1
    with pytest.raises(ValueError):
        route(series([]), -HOUR, 0.2, 1, 0.0)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((IncrementalTimeSeries([1.0], HOUR, "discharge"), HOUR, 0.2, 1, 0.0), TypeError,
         "argument 'inflow': 'IncrementalTimeSeries' object is not an instance of 'ContinuousTimeSeries'"),
        ((series([1.0]), 3600.0, 0.2, 1, 0.0), TypeError,
         "argument 'k': 'float' object is not an instance of 'timedelta'"),
        ((series([1.0]), 3600, 0.2, 1, 0.0), TypeError,
         "argument 'k': 'int' object is not an instance of 'timedelta'"),
        ((series([1.0]), HOUR, "0.2", 1, 0.0), TypeError, "argument 'x': "),
        ((series([1.0]), HOUR, 0.2, 1.0, 0.0), TypeError, "argument 'sub_reaches': "),
        ((series([1.0]), HOUR, 0.2, 1, None), TypeError, "argument 'initial_outflow': "),
        ((series([1.0]), HOUR, 0.2, 2**63, 0.0), OverflowError, "Python int too large to convert to C long"),
        # Conversion failures come before the warning and before k's sign.
        ((series([1.0]), -HOUR, 9.0, "1", 0.0), TypeError, "argument 'sub_reaches': "),
    ],
)
def test_argument_failures(args, exc, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(exc) as info:
            route(*args)
    if message is not None:
        assert str(info.value).startswith(message)
    if exc is OverflowError:
        assert not str(info.value).startswith("argument")
