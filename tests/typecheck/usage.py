"""Typical use of quellmar, type-checked against its stubs and also run.

CI checks this file with `mypy --strict --warn-unused-ignores`: every line
without a `type: ignore` must type-check, and every `type: ignore[code]` must
silence a real error of that code (else the ignore itself is reported).  The
misuses marked that way are the ones that fail at run time too; running the
file (tests/test_stubs.py does) checks that they do.
"""

from datetime import timedelta
from typing import Literal, assert_type

import quellmar
from quellmar import baseflow, metrics, rainfall_loss, rainfall_transform, reach, reservoir, utils

HOUR = timedelta(hours=1)
ru = quellmar.reservoir.reservoir_utils


def raises(exc: type[BaseException], call: object) -> None:
    """Runs `call` (a zero-argument callable) and checks it raises `exc`."""
    assert callable(call)
    try:
        call()
    except exc:
        return
    raise AssertionError(f"expected {exc.__name__}")


def chain() -> None:
    # Time series: numbers of any kind, numpy-like sequences, a literal kind.
    storm = utils.IncrementalTimeSeries([0.1, 1, 0.5, 0], HOUR, "rainfall")
    assert_type(storm.data, list[float])
    assert_type(storm.time_step, timedelta)
    assert_type(storm.total_duration(), int)
    fine = storm.disaggregate(900)
    assert_type(fine, utils.IncrementalTimeSeries)
    kind = utils.ContinuousTimeSeries(range(3), HOUR, "discharge").kind
    assert_type(kind, Literal["discharge", "rainfall", "elevation", "volume"])

    # Loss, transform, baseflow, reach routing.
    loss = rainfall_loss.run_deficit_and_constant(fine, 0.5, 1.0, 0.1, timedelta(days=1))
    assert_type(loss, rainfall_loss.DeficitConstantResult)
    assert_type(loss.excess, utils.IncrementalTimeSeries)
    direct = rainfall_transform.run_clark_uh(loss.excess, 640.0, timedelta(hours=2), HOUR)
    assert_type(direct, utils.ContinuousTimeSeries)
    layers = {"fast": baseflow.LinearReservoir(timedelta(hours=6), 0.4, 0.0)}
    total, flows = baseflow.run_linear_reservoir(640.0, loss.loss, layers)
    assert_type(total, utils.ContinuousTimeSeries)
    assert_type(flows, dict[str, utils.ContinuousTimeSeries])
    layers["fast"].gw_fraction = 0.5
    layers["fast"].num_reservoir = 2
    assert_type(layers["fast"].num_reservoir, int)
    routed = reach.run_muskingum_routing(direct, HOUR, 0.2, 2, 0.0)

    # Reservoir: curves, the four outlet kinds, mixed in one dict display or
    # built beforehand with one kind.
    curve = ru.ElevationStorage([100.0, 110.0, 120.0], [0.0, 1e6, 3e6])
    rating = ru.ElevationDischarge([105.0, 120.0], [0.0, 500.0])
    assert_type(curve.get_storage(105), float)
    result = reservoir.run_level_pool_routing(
        routed,
        101.0,
        curve,
        {
            "spillway": ru.UnControlledDischargeInfo(rating, elevation_offset=None),
            "gate": ru.ControlledDischargeInfo(rating, maximum_release=50.0),
            "schedule": ru.SpecifiedDischargeInfo(routed, maximum_release=None),
            "minimum": ru.ConstantDischargeInfo(1.0, minimum_elevation=100.0),
        },
    )
    assert_type(result, reservoir.LevelPoolResult)
    assert_type(result.reservoir_individual_outflows, dict[str, utils.ContinuousTimeSeries])
    constant_only = {"minimum": ru.ConstantDischargeInfo(1.0)}
    reservoir.run_level_pool_routing(routed, 101.0, curve, constant_only)
    assert_type(ru.ControlledDischargeInfo(rating).minimum_elevation, float)
    assert_type(ru.ConstantDischargeInfo(1.0).maximum_elevation, float | None)

    # Scoring.
    # Level pool routing records one value fewer than the inflow has.
    outflow = result.reservoir_total_outflow.data
    score = metrics.calculate_kge(outflow, routed.data[1:], use_log=False)
    assert_type(score, float)


def misuse() -> None:
    """Each call is an error for the type checker and fails at run time."""
    series = utils.ContinuousTimeSeries([1.0, 2.0], HOUR, "discharge")
    # A time step in seconds instead of a timedelta.
    raises(TypeError, lambda: utils.ContinuousTimeSeries([1.0], 3600, "discharge"))  # type: ignore[arg-type]
    # A kind that is not a quantity of the module.
    raises(ValueError, lambda: utils.ContinuousTimeSeries([1.0], HOUR, "flow"))  # type: ignore[arg-type]
    # A str is not a sequence of numbers.
    raises(TypeError, lambda: utils.ContinuousTimeSeries("12", HOUR, "discharge"))  # type: ignore[arg-type]
    # An incremental series where a continuous one is required.
    storm = utils.IncrementalTimeSeries([1.0], HOUR, "rainfall")
    raises(TypeError, lambda: reach.run_muskingum_routing(storm, HOUR, 0.2, 1, 0.0))  # type: ignore[arg-type]
    # Read-only attributes cannot be set.
    def assign() -> None:
        series.data = []  # type: ignore[misc]

    raises(AttributeError, assign)
    # use_log takes a bool, not an int.
    raises(TypeError, lambda: metrics.calculate_kge([1.0], [1.0], 1))  # type: ignore[arg-type]
    # A routing without its outlets.
    raises(TypeError, lambda: reservoir.run_level_pool_routing(series, 1.0, ru.ElevationStorage([0, 1], [0, 1])))  # type: ignore[call-overload]
    # A dict of plain numbers is not a dict of outlets.
    curve = ru.ElevationStorage([0.0, 10.0], [0.0, 1000.0])
    raises(TypeError, lambda: reservoir.run_level_pool_routing(series, 1.0, curve, {"q": 5.0}))  # type: ignore[dict-item]


def submodule_imports() -> None:
    """Submodules are attributes, not importable modules."""
    try:
        import quellmar.reach  # type: ignore[import-not-found]
    except ModuleNotFoundError:
        pass
    else:
        raise AssertionError("import quellmar.reach worked")


if __name__ == "__main__":
    chain()
    misuse()
    submodule_imports()
    print("usage: ok")
