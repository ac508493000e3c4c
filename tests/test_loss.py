import math
from datetime import timedelta

import pytest

import quellmar
import reference as models
from helpers import same_values

IS = quellmar.utils.IncrementalTimeSeries
CS = quellmar.utils.ContinuousTimeSeries
run = quellmar.rainfall_loss.run_deficit_and_constant
Result = quellmar.rainfall_loss.DeficitConstantResult
NAN = float("nan")


# The model step by step, in the operation order of the routine (tests/reference.py).
reference = models.deficit_and_constant


def hourly(data, step=3600):
    return IS(data, timedelta(seconds=step), "rainfall")


def test_worked_example_without_drying():
    res = run(hourly([0.375, 1.0, 0.0]), 0.5, 1.0, 0.125, timedelta(0))
    assert res.excess.data == [0.0, 0.625, 0.0]
    assert res.loss.data == [0.375, 0.375, 0.0]
    assert res.deficit.data == [0.25, 0.0, 0.0]


def test_worked_example_with_one_hour_drying():
    res = run(hourly([0.375, 1.0, 0.0]), 0.5, 1.0, 0.125, timedelta(hours=1))
    r = 1.0 - math.exp(-1.0)
    before = 0.5 + r * 0.5
    assert round(before, 3) == 0.816
    assert res.loss.data[0] == 0.125 + 0.25 and res.deficit.data[0] == before - 0.25
    exp = reference([0.375, 1.0, 0.0], 3600, 0.5, 1.0, 0.125, 3600.0)
    assert (res.excess.data, res.loss.data, res.deficit.data) == exp


@pytest.mark.parametrize(
    "data, step, initial, max_deficit, rate, drying",
    [
        ([0.05, 0.3, 0.0, -0.2, 2.0, 0.01], 3600, 0.4, 1.2, 0.1, timedelta(hours=30)),
        ([0.05, 0.3, 0.7], 1800, 3.0, 1.0, 0.2, timedelta(hours=5)),  # initial above max: capped
        ([0.2, -0.0, 0.4, 0.1], 900, NAN, 0.8, 0.3, timedelta(0)),  # NaN deficit becomes max
        ([0.2, 0.4], 3600, 0.3, NAN, 0.1, timedelta(hours=2)),
        ([0.2, 0.4], 3600, -0.3, 0.5, -0.1, timedelta(seconds=1, microseconds=500000)),
        ([0.0, 0.0, 0.0], 600, 0.0, 2.0, 0.05, timedelta(days=3)),
    ],
)
def test_matches_step_by_step_model(data, step, initial, max_deficit, rate, drying):
    res = run(hourly(data, step), initial, max_deficit, rate, drying)
    exp = reference(data, step, initial, max_deficit, rate, drying.total_seconds())
    for got, want in zip((res.excess, res.loss, res.deficit), exp):
        assert same_values(got.data, want)
        assert got.kind == "rainfall" and got.time_step == timedelta(seconds=step)


def test_small_rain_is_lost_entirely_and_dry_steps_lose_nothing():
    res = run(hourly([0.1, 0.0, -0.5, -0.0]), 0.5, 1.0, 0.125, timedelta(0))
    assert res.excess.data == [0.0] * 4
    assert res.loss.data == [0.1, 0.0, 0.0, 0.0]
    assert res.deficit.data == [0.5] * 4


@pytest.mark.parametrize("value, shown", [(NAN, "NaN"), (math.inf, "inf"), (-math.inf, "-inf")])
def test_non_finite_rainfall_is_refused_not_read_as_dry(value, shown):
    with pytest.raises(ValueError) as info:
        run(hourly([0.1, -0.5, value, NAN]), 0.5, 1.0, 0.125, timedelta(0))
    assert str(info.value) == f"`rainfall` value {shown} at index 2 is not finite."
    # a negative drying time is reported first
    with pytest.raises(ValueError, match="^`time_to_dry` is negative"):
        run(hourly([value]), 0.5, 1.0, 0.125, timedelta(seconds=-1))


def test_initial_deficit_above_max_is_capped_and_nan_deficit_recovers():
    assert run(hourly([0.0]), 5.0, 1.0, 0.1, timedelta(0)).deficit.data == [1.0]
    assert run(hourly([0.0]), NAN, 1.0, 0.1, timedelta(0)).deficit.data == [1.0]


def test_half_hour_steps_halve_the_constant_loss():
    hour = run(hourly([1.0]), 0.0, 0.0, 0.5, timedelta(0))
    half = run(hourly([1.0], 1800), 0.0, 0.0, 0.5, timedelta(0))
    assert hour.loss.data == [0.5] and half.loss.data == [0.25]


def test_drying_time_keeps_microseconds():
    a = run(hourly([0.0]), 0.0, 1.0, 0.0, timedelta(seconds=1800, microseconds=500000))
    assert a.deficit.data == [1.0 - math.exp(1.0 / (1800.5 / -3600.0))]


def test_empty_rainfall():
    res = run(hourly([], 900), 0.1, 1.0, 0.1, timedelta(hours=1))
    for s in (res.excess, res.loss, res.deficit):
        assert type(s) is IS and s.data == [] and s.kind == "rainfall" and s.time_step == timedelta(seconds=900)


def test_result_record():
    res = run(rainfall=hourly([1.0]), time_to_dry=timedelta(0), max_deficit=1.0,
              constant_loss_per_hr=0.0, initial_deficit=0.0)
    assert type(res) is Result and res.excess.data == [1.0]
    a, b = res.loss, res.loss
    assert a is not b and a.data == b.data
    with pytest.raises(AttributeError):
        res.loss = a
    with pytest.raises(TypeError):
        Result()
    assert Result.__doc__ == "Results from the deficit-and-constant rainfall loss model."
    assert quellmar.rainfall_loss.__all__ == ["DeficitConstantResult", "run_deficit_and_constant"]


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((CS([1.0], timedelta(hours=1), "rainfall"), 0, 1, 0, 3600), TypeError,
         "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'"),
        ((hourly([1.0]), "x", 1, 0, 3600), TypeError, "argument 'initial_deficit': must be real number, not str"),
        ((hourly([1.0]), 0, 1, None, timedelta(0)), TypeError,
         "argument 'constant_loss_per_hr': must be real number, not NoneType"),
        ((hourly([1.0]), 0, 1, 0, 3600), TypeError,
         "argument 'time_to_dry': 'int' object is not an instance of 'timedelta'"),
        ((hourly([1.0]), 0, 1, 0, timedelta(seconds=-1)), ValueError,
         "`time_to_dry` is negative: a negative timedelta cannot be converted to a duration"),
    ],
)
def test_argument_failures(args, exc, message):
    with pytest.raises(exc) as info:
        run(*args)
    assert str(info.value) == message
