"""The Clark unit hydrograph transform."""

import math
from datetime import timedelta

import pytest

import quellmar
import reference
from helpers import assert_same, same

ContinuousTimeSeries = quellmar.utils.ContinuousTimeSeries
IncrementalTimeSeries = quellmar.utils.IncrementalTimeSeries
clark = quellmar.rainfall_transform.run_clark_uh

HOUR = timedelta(hours=1)


# ---------------------------------------------------------------------------
# The plain-Python transform (tests/reference.py), with timedelta arguments.

seconds = reference.seconds


def ref_translation(n, tc_s, dt, area):
    """The cumulative time-area fractions and the translation ordinates."""
    fractions = [reference.time_area(min((dt * float(i)) / tc_s, 1.0)) for i in range(1, n + 1)]
    return fractions, reference.clark_translation(n, tc_s, dt, area)


def ref_reservoir(u, dt, k):
    # One Muskingum segment with x = 0 and initial outflow 0.
    return reference.muskingum_segment(u, 0.0, dt, k, 0.0)


def ref_clark(rain, step, area, tc, r):
    dt = float(step.days * 86400 + step.seconds)
    return reference.clark([float(v) for v in rain], dt, area, seconds(tc), seconds(r))


def rainfall(data, step=HOUR, kind="rainfall"):
    return IncrementalTimeSeries(data, step, kind)


STORM = [0.0, 0.05, 0.12, 0.0, 0.31, 0.62, 0.44, -0.0, 0.18, 0.07, 0.0, 0.0, 0.02]


# ---------------------------------------------------------------------------
# Worked numbers


def test_worked_example():
    # Step 1 h, tc 3 h, area 1 acre, R 1 h.
    fractions, u = ref_translation(3, 10800.0, 3600.0, 1.0)
    assert [round(v, 6) for v in fractions] == [0.272124, 0.727876, 1.0]
    assert [round(v, 6) for v in u] == [0.274391, 0.459548, 0.274391]
    out = clark(rainfall([1.0]), 1.0, timedelta(hours=3), HOUR)
    assert [round(v, 6) for v in out.data] == [0.0, 0.244646, 0.326195]
    # C0 = C1 = C2 = 1/3.
    assert out.data[1] == 1 / 3 * u[0] + 1 / 3 * u[1]
    assert_same(out.data, ref_reservoir(u, 3600.0, 3600.0))


@pytest.mark.parametrize("tc", [timedelta(hours=3), timedelta(hours=7, minutes=20), timedelta(hours=100)])
def test_translation_ordinates_carry_one_inch(tc):
    # One inch over one acre at dt = 1 h: the ordinates sum to 1.00833.  The
    # module reproduces these ordinates exactly (test_exact_operation_order).
    fractions, u = ref_translation(math.ceil(seconds(tc) / 3600.0), seconds(tc), 3600.0, 1.0)
    assert fractions[-1] == 1.0
    assert math.fsum(u) == pytest.approx(1.00833, rel=1e-12)
    out = clark(rainfall([1.0]), 1.0, tc, timedelta(0)).data
    assert_same(out, ref_reservoir(u, 3600.0, 0.0))


@pytest.mark.parametrize(
    "step, tc, r, area",
    [
        (HOUR, timedelta(hours=3), HOUR, 1.0),  # t = 1/3, 2/3, 1
        (HOUR, timedelta(hours=2), timedelta(hours=5), 640.0),  # t = 0.5 exactly: falling branch
        (timedelta(minutes=15), timedelta(hours=6, minutes=7, microseconds=1), timedelta(hours=4), 2500.0),
        (timedelta(minutes=5), timedelta(hours=8, minutes=20), timedelta(hours=2, seconds=3), 12.5),  # n = 100
        (timedelta(minutes=10), timedelta(hours=1), timedelta(minutes=1), 300.0),  # negative C2
        (HOUR, timedelta(hours=5), timedelta(0), 300.0),  # R = 0: C0 = C1 = 1, C2 = -1
        (HOUR, timedelta(hours=4), HOUR, -75.0),  # negative area scales
        (HOUR, timedelta(hours=2, microseconds=1), HOUR, 1.0),  # n = 3, microseconds count
    ],
)
def test_exact_operation_order(step, tc, r, area):
    out = clark(rainfall(STORM, step), area, tc, r)
    assert_same(out.data, ref_clark(STORM, step, area, tc, r))


def test_single_inch_returns_the_unit_hydrograph():
    tc, r = timedelta(hours=5, minutes=30), timedelta(hours=2)
    uh = clark(rainfall([1.0]), 100.0, tc, r).data
    assert len(uh) == 6
    assert uh[0] == 0.0
    two = clark(rainfall([0.0, 0.0, 1.0, 0.0]), 100.0, tc, r).data
    assert two == [0.0, 0.0] + uh + [0.0]


# ---------------------------------------------------------------------------
# Degenerate cases and lengths


@pytest.mark.parametrize("m", [0, 1, 4])
def test_zero_tc_gives_m_zeros(m):
    step = timedelta(minutes=20)
    out = clark(rainfall([0.5] * m, step), 100.0, timedelta(0), HOUR)
    assert type(out) is ContinuousTimeSeries
    assert out.data == [0.0] * m
    assert out.kind == "discharge"
    assert out.time_step == step


@pytest.mark.parametrize("tc", [HOUR, timedelta(minutes=30), timedelta(microseconds=1)])
def test_tc_within_one_step_gives_zeros(tc):
    # n = 1: the unit hydrograph is the single value 0.
    out = clark(rainfall([1.0, 2.0, 3.0]), 100.0, tc, HOUR)
    assert out.data == [0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "m, tc, n",
    [
        (0, timedelta(hours=3), 3),
        (1, timedelta(hours=3), 3),
        (5, timedelta(hours=3), 3),
        (5, timedelta(hours=3, microseconds=1), 4),
        (2, timedelta(hours=2, minutes=59, seconds=59), 3),
    ],
)
def test_length_is_m_plus_n_minus_one(m, tc, n):
    out = clark(rainfall([1.0] * m), 10.0, tc, HOUR)
    assert len(out.data) == m + n - 1
    if m == 0:
        assert out.data == [0.0] * (n - 1)


@pytest.mark.parametrize("kind", ["rainfall", "volume", "discharge"])
@pytest.mark.parametrize("step", [timedelta(seconds=1), timedelta(minutes=5), timedelta(days=1, seconds=1)])
def test_kind_and_step_of_result(kind, step):
    class Sub(IncrementalTimeSeries):
        pass

    out = clark(Sub([0.1, 0.2], step, kind), 10.0, step * 4, step)
    assert type(out) is ContinuousTimeSeries
    assert out.kind == "discharge"
    assert out.time_step == step
    assert all(type(v) is float for v in out.data)


@pytest.mark.parametrize("zero", [0.0, -0.0])
def test_zero_rainfall_is_skipped(zero):
    # An infinite area makes the ordinates infinite; a zero rainfall value
    # must not multiply them (0 * inf would be NaN).
    out = clark(rainfall([zero, 1.0]), math.inf, timedelta(hours=3), HOUR).data
    assert out[0] == 0.0 and out[1] == 0.0
    assert out[2] == math.inf
    assert_same(out, ref_clark([zero, 1.0], HOUR, math.inf, timedelta(hours=3), HOUR))


def test_nan_rainfall_propagates():
    out = clark(rainfall([1.0, math.nan]), 10.0, timedelta(hours=3), HOUR).data
    assert out[0] == 0.0
    assert all(math.isnan(v) for v in out[1:])


def test_dense_and_sparse_long_series():
    rain = [((i * 37) % 11) / 20.0 if i % 10 == 0 else 0.0 for i in range(400)]
    step, tc, r = timedelta(minutes=6), timedelta(hours=5, seconds=1), timedelta(hours=3)
    assert_same(clark(rainfall(rain, step), 812.0, tc, r).data, ref_clark(rain, step, 812.0, tc, r))
    dense = [0.01 + i / 1000.0 for i in range(400)]
    assert_same(clark(rainfall(dense, step), 812.0, tc, r).data, ref_clark(dense, step, 812.0, tc, r))


# ---------------------------------------------------------------------------
# Failures


@pytest.mark.parametrize(
    "tc",
    [timedelta(days=999999999), timedelta(days=999999999, seconds=86399, microseconds=999999), timedelta(days=10**6)],
)
def test_unallocatable_tc_raises_memory_error(tc):
    with pytest.raises(MemoryError):
        clark(rainfall([1.0], timedelta(seconds=1)), 1.0, tc, HOUR)
    # The process carries on normally.
    assert len(clark(rainfall([1.0]), 1.0, timedelta(hours=3), HOUR).data) == 3


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((rainfall([1.0]), 1.0, -HOUR, HOUR), ValueError,
         "`tc` is negative: a negative timedelta cannot be converted to a duration"),
        ((rainfall([1.0]), 1.0, HOUR, -HOUR), ValueError,
         "`storage_r` is negative: a negative timedelta cannot be converted to a duration"),
        ((rainfall([1.0]), 1.0, 3600.0, HOUR), TypeError,
         "argument 'tc': 'float' object is not an instance of 'timedelta'"),
        ((rainfall([1.0]), 1.0, HOUR, 3600), TypeError,
         "argument 'storage_r': 'int' object is not an instance of 'timedelta'"),
        # All conversions come before the sign of either duration.
        ((rainfall([1.0]), 1.0, -HOUR, None), TypeError,
         "argument 'storage_r': 'None' is not an instance of 'timedelta'"),
        ((rainfall([1.0]), "1", -HOUR, HOUR), TypeError, "argument 'basin_area': "),
        ((ContinuousTimeSeries([1.0], HOUR, "rainfall"), 1.0, HOUR, HOUR), TypeError,
         "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'"),
    ],
)
def test_argument_failures(args, exc, message):
    with pytest.raises(exc) as info:
        clark(*args)
    assert str(info.value).startswith(message) or message in str(info.value)


def test_negative_tc_reported_before_negative_storage_r():
    with pytest.raises(ValueError) as negative_both:
        clark(rainfall([1.0]), 1.0, timedelta(seconds=-1), timedelta(seconds=-2))
    with pytest.raises(ValueError) as negative_tc:
        clark(rainfall([1.0]), 1.0, timedelta(seconds=-1), HOUR)
    assert str(negative_both.value) == str(negative_tc.value)
    assert str(negative_tc.value).startswith("`tc` ")
