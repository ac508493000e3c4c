import array
import math

import numpy as np
import pytest

import quellmar
import reference as models

kge = quellmar.metrics.calculate_kge
EPS = 1e-6


# The efficiency with every sum accumulated left to right (tests/reference.py).
reference = models.kge


def test_worked_example():
    assert round(kge([1, 2, 3], [1, 2, 4]), 6) == 0.625838
    assert round(kge([1, 2, 3], [1, 2, 4], use_log=True), 6) == 0.757774
    assert kge([1, 2, 3], [1, 2, 4]) == reference([1, 2, 3], [1, 2, 4])
    assert kge([1, 2, 3], [1, 2, 4], True) == reference([1, 2, 3], [1, 2, 4], True)
    assert kge(obs=[1, 2, 4], sim=[1, 2, 3]) == kge([1, 2, 3], [1, 2, 4], False)


def test_sums_are_strictly_left_to_right():
    # cancellation makes the sequential sums differ from exact or pairwise ones
    sim = [1e16, 1.0, -1e16, 1.0, 3.0, 0.5] * 3
    obs = [2.0, 1e15, 0.25, -1e15, 1.0, 7.0] * 3
    assert kge(sim, obs) == reference(sim, obs)
    running = 0.0
    for v in sim:
        running = running + v
    assert math.fsum(sim) != running  # the data does tell the orders apart


@pytest.mark.parametrize(
    "sim, obs, want",
    [
        ([5.0, 5.0, 5.0], [5.0, 5.0, 5.0], 1 - math.sqrt(2)),  # constant obs: std_o = eps, r term 1
        ([3.0], [2.0], 1 - math.sqrt(1.0 + (0.25 + 1.0))),  # a single pair
    ],
)
def test_degenerate_series(sim, obs, want):
    assert kge(sim, obs) == want


@pytest.mark.parametrize(
    "sim, obs",
    [
        ([1.0, 2.0], [-1.0, 1.0]),  # zero mean: divided by +eps
        ([1.0, 2.0], [-3e-7, -1e-7]),  # small negative mean: +eps as well
        ([1.0, 1.0], [-1e-6, -1e-6]),  # exactly -eps is kept (strict guard)
        ([1.0, 4.0, 2.0], [1.0, 1.0 + 1e-7, 1.0]),  # tiny std_o
        ([0.3, 1.7, 2.2, 9.0], [0.5, 1.5, 2.5, 8.0]),
    ],
)
def test_guards(sim, obs):
    assert kge(sim, obs) == reference(sim, obs)


def test_mean_guard_is_strict():
    # a mean of exactly -eps is not replaced: beta = 1 / -1e-6
    assert kge([1.0, 1.0], [-1e-6, -1e-6]) == 1.0 - math.sqrt(1.0 + ((-1e6 - 1.0) ** 2 + 1.0))


def test_identical_series_score_one():
    obs = [0.5, 3.0, 2.0, 7.5, 1.25]
    assert kge(obs, obs) == pytest.approx(1.0, abs=1e-12)
    # small spread: q = 4e-8, far below 1e-6, yet a perfect correlation
    v = [1.0, 1.0001, 1.0002]
    assert kge(v, v) == pytest.approx(1.0, abs=1e-12)


def daily_year(seed=11):
    rng = np.random.default_rng(seed)
    obs = 40.0 + rng.gamma(1.5, 60.0, 365)
    sim = 0.85 * obs + rng.normal(0.0, 25.0, 365)
    return sim, obs


@pytest.mark.parametrize("scale", [1e-7, 1e-3, 1e3, 1e80])
def test_units_do_not_change_the_score(scale):
    # as long as the mean and spread guards do not apply (obs mean and std >= 1e-6)
    sim, obs = daily_year()
    want = kge(sim, obs)
    assert 0.5 < want < 0.95
    got = kge(sim * scale, obs * scale)
    assert got == pytest.approx(want, rel=1e-12)
    assert got == reference((sim * scale).tolist(), (obs * scale).tolist())


def test_length_does_not_decide_the_correlation():
    # the same shape repeated: r is 1 up to rounding at every length
    base = [1.0, 1.00002, 1.00001]
    for repeat in (1, 10, 1000):
        v = base * repeat
        assert kge(v, v) == pytest.approx(1.0, abs=1e-9)


def test_tiny_deviations():
    # series one unit in the last place apart still correlate (r = 1)
    sim = [1.0, 1.0 + 2**-52, 1.0]
    obs = [3.0, 3.0 + 2**-51, 3.0]
    assert kge(sim, obs) == reference(sim, obs)
    # deviations of 1e-100: their squares fit in a double, the product
    # Soo * Sss does not (q is then taken from the two roots)
    small = [v * 1e-100 for v in (0.0, 1.0, 3.0)]
    assert kge(small, small) == reference(small, small)
    # beta and gamma are ~0 under the mean and spread guards; r = 1, not 0
    assert kge(small, small) == 1.0 - math.sqrt(2.0)


def test_constant_series_is_decided_by_its_values():
    # 0.1 three times: the rounded mean differs from 0.1, so the deviations
    # are not 0; the series is still constant and the correlation term is 1
    obs = [0.1, 0.1, 0.1]
    mean_o = (0.1 + 0.1 + 0.1) / 3
    assert mean_o != 0.1
    beta, gamma = 2.0 / mean_o, math.sqrt(2.0 / 3.0) / EPS
    assert kge([1.0, 2.0, 3.0], obs) == 1.0 - math.sqrt((gamma - 1.0) ** 2 + ((beta - 1.0) ** 2 + 1.0))
    # a constant sim: beta 1, gamma 0, correlation term 1
    assert kge([2.0, 2.0, 2.0], [1.0, 2.0, 3.0]) == 1.0 - math.sqrt(2.0)


def test_log_transform():
    assert kge([0.0, 1.0], [1.0, 2.0], True) == reference([0.0, 1.0], [1.0, 2.0], True)
    assert math.isnan(kge([-1.0, 1.0], [1.0, 2.0], True))
    assert math.isnan(kge([float("nan"), 1.0], [1.0, 2.0]))


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (([], []), ValueError, "Observed series is empty."),
        (([1.0], []), ValueError, "Observed series is empty."),
        (([], [1.0]), ValueError, "Series length mismatch."),
        (([1.0, 2.0], [1.0], True), ValueError, "Series length mismatch."),
        (("ab", []), TypeError, "argument 'sim': Can't extract `str` to `Vec`"),
        (([1.0], 5), TypeError, "argument 'obs': 'int' object is not an instance of 'Sequence'"),
        ((None, [1.0]), TypeError, "argument 'sim': 'None' is not an instance of 'Sequence'"),
        (([1.0], ["x"]), TypeError, "argument 'obs': must be real number, not str"),
        (([1.0], [1.0], 1), TypeError, "argument 'use_log': 'int' object is not an instance of 'bool'"),
        (([1.0], [1.0], None), TypeError, "argument 'use_log': 'None' is not an instance of 'bool'"),
        (([], [], None), TypeError, "argument 'use_log': 'None' is not an instance of 'bool'"),
    ],
)
def test_failures(args, exc, message):
    with pytest.raises(exc) as info:
        kge(*args)
    assert str(info.value) == message


def test_default_and_numpy_bool():
    sim, obs = [1.0, 2.5, 2.0], [1.5, 2.0, 3.0]
    assert kge(sim, obs) == kge(sim, obs, False) == kge(sim, obs, np.bool_(False))
    assert kge(sim, obs, np.bool_(True)) == kge(sim, obs, True)


def test_numpy_arrays_and_lists_agree():
    rng = np.random.default_rng(7)
    obs = rng.gamma(2.0, 3.0, 2001)
    sim = np.abs(obs * 0.9 + rng.normal(0, 0.5, obs.size))
    want = kge(sim.tolist(), obs.tolist())
    assert want == reference(sim.tolist(), obs.tolist())
    assert kge(sim, obs) == want
    assert kge(tuple(sim), np.ascontiguousarray(obs)) == want
    wide = np.repeat(sim, 2)[::2]  # strided view: read item by item
    assert kge(wide, obs) == want
    assert kge(sim.astype(np.float32), obs) == kge(sim.astype(np.float32).tolist(), obs.tolist())
    logged = kge(sim, obs, True)
    assert not math.isnan(logged) and logged == kge(sim.tolist(), obs.tolist(), True)


def test_buffers_are_read_in_place_and_released():
    sim, obs = [0.5, 2.0, 1.5, 4.0], [1.0, 2.5, 1.0, 3.5]
    want = kge(sim, obs)
    a, b = array.array("d", sim), np.array(obs)
    assert kge(a, memoryview(b)) == kge(memoryview(a), b) == want
    assert kge(a, b, True) == kge(sim, obs, True)
    with pytest.raises(ValueError):
        kge(a, b[:2])
    a.append(1.0)  # no export left behind
    b.resize(5, refcheck=False)
    assert kge(array.array("i", [1, 2, 3]), np.array([1.0, 2.0, 4.0])) == kge([1, 2, 3], [1, 2, 4])
