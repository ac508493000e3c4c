"""What every routine shares, checked once over each of them: its Python
surface, keyword binding and the binding layer's messages, the standalone
entry module, the caller's objects left as they were, and reference counts
on success and on every kind of failure."""

import inspect
import math
import warnings
from datetime import timedelta

import pytest

import quellmar
from fuzz_values import PanicException, snapshot
from helpers import load_standalone

C = quellmar.utils.ContinuousTimeSeries
I = quellmar.utils.IncrementalTimeSeries
RU = quellmar.reservoir.reservoir_utils
LR = quellmar.baseflow.LinearReservoir
HOUR = timedelta(hours=1)

STORM = [5.0, 5.5, 12.25, 48.0, 131.5, 212.75, 187.0, 143.125, 96.0, 61.5, 38.0, 22.4, 14.1, 9.3, 7.0]
RAIN = [0.0, 0.05, 0.12, 0.0, 0.31, 0.62, 0.44, -0.0, 0.18, 0.07, 0.0, 0.0, 0.02]


def routines():
    """(callable, standalone entry, first words of its doc, a call that
    succeeds, calls that fail with their exception)."""
    inflow = C(list(STORM), timedelta(minutes=30), "volume")
    rain = I(list(RAIN), timedelta(minutes=30), "volume")
    k = timedelta(hours=2, microseconds=7)
    curve = RU.ElevationStorage([100.0, 110.0], [0.0, 1e5])
    outlets = {
        "spill": RU.UnControlledDischargeInfo(RU.ElevationDischarge([104.0, 110.0], [0.0, 300.0]), 0.5),
        "gate": RU.ControlledDischargeInfo(RU.ElevationDischarge([100.0, 110.0], [0.0, 40.0]), 101.0, None, 30.0),
        "base": RU.ConstantDischargeInfo(2.0, 100.5),
        "release": RU.SpecifiedDischargeInfo(C([3.0, 4.0, 5.0] * 300, timedelta(seconds=60), "discharge")),
    }
    layers = {"fast": LR(timedelta(hours=5), 0.25, 1.0, 2), "slow": LR(timedelta(hours=40), 0.5, 2.0)}
    return [
        (quellmar.reach.run_muskingum_routing, "init_reach",
         "Route an inflow hydrograph through a channel reach with the Muskingum method.",
         (inflow, k, 0.2, 3, 5.0),
         [((inflow, k, 0.75, 2, 5.0), UserWarning),  # the range warning turned into an error
          ((inflow, -k, 0.2, 2, 5.0), ValueError),
          ((C([], HOUR, "discharge"), k, 0.2, 1, 5.0), PanicException),
          ((inflow, 0.2, 0.2, 1, 5.0), TypeError),
          ((inflow, k, 0.2, 5.0, 5.0), TypeError)]),
        (quellmar.rainfall_transform.run_clark_uh, "init_transform",
         "Transform excess rainfall into a runoff hydrograph",
         (rain, 50.0, k, HOUR),
         [((I([1.0], timedelta(seconds=1), "rainfall"), 12.5, timedelta(days=999999999), k), MemoryError),
          ((rain, 12.5, k, -HOUR), ValueError),
          ((rain, 12.5, 12.5, k), TypeError),
          ((k, 12.5, k, k), TypeError)]),
        (quellmar.rainfall_loss.run_deficit_and_constant, "init_loss",
         "Separate gross rainfall into excess runoff and infiltration losses",
         (rain, 0.1, 1.0, 0.1, k),
         [((rain, 0.1, 1.0, 0.1, -k), ValueError),
          ((rain, 0.1, 1.0, "x", k), TypeError)]),
        (quellmar.baseflow.run_linear_reservoir, "init_baseflow",
         "Route infiltrated rainfall through multiple named linear reservoirs",
         (10.0, rain, layers),
         [((10.0, rain, {**layers, "bad": LR(timedelta(seconds=60), 0.5, 1.0)}), ValueError),
          ((10.0, rain, {**layers, "b": 1}), TypeError)]),
        (quellmar.metrics.calculate_kge, "init_metrics",
         "Calculate the Kling-Gupta Efficiency (KGE) between simulated and observed series.",
         (list(STORM), STORM[::-1], True),
         [((list(STORM), []), ValueError),
          ((list(STORM), STORM[::-1], 1), TypeError)]),
        (quellmar.reservoir.run_level_pool_routing, "init_reservoir",
         "Level pool (modified Puls) routing of an inflow hydrograph through a reservoir.",
         (C([2.0, 9.3, 31.7, 24.1], timedelta(seconds=30), "discharge"), 102.37, curve, outlets),
         [((inflow, 99.0, curve, outlets), ValueError),
          ((inflow, 102.37, curve, {**outlets, "x": 3.5}), TypeError),
          ((inflow, math.nan, curve, outlets), PanicException)]),
    ]


ROUTINES = routines()
IDS = [r[0].__name__ for r in ROUTINES]
every_routine = pytest.mark.parametrize("fn, entry, doc, args, failing", ROUTINES, ids=IDS)


def picture(result):
    """A comparable picture of a result, whatever its type."""
    if isinstance(result, tuple):
        return tuple(picture(r) for r in result)
    if isinstance(result, dict):
        return [(name, picture(r)) for name, r in result.items()]
    if type(result).__module__ == "builtins" and type(result).__name__.endswith("Result"):
        return [(name, picture(getattr(result, name))) for name in dir(type(result)) if not name.startswith("_")]
    return snapshot(result)


def parameters(fn):
    return list(inspect.signature(fn).parameters.values())


@every_routine
def test_surface(fn, entry, doc, args, failing):
    module = getattr(quellmar, fn.__module__)
    assert fn.__name__ in module.__all__
    assert getattr(module, fn.__name__) is fn
    names = [p.name for p in parameters(fn)]
    optional = {p.name: p.default for p in parameters(fn) if p.default is not inspect.Parameter.empty}
    assert fn.__text_signature__ == "(" + ", ".join(n + (f"={optional[n]!r}" if n in optional else "")
                                                    for n in names) + ")"
    # The interpreter takes the signature line and the "--" off the docstring.
    assert fn.__doc__.startswith(doc)


@every_routine
def test_keywords_in_any_order(fn, entry, doc, args, failing):
    names = [p.name for p in parameters(fn)]
    by_keyword = fn(**dict(reversed(list(zip(names, args)))))
    assert picture(by_keyword) == picture(fn(*args))


@every_routine
def test_binding_failures(fn, entry, doc, args, failing):
    params = parameters(fn)
    names = [p.name for p in params]
    required = [p.name for p in params if p.default is inspect.Parameter.empty]
    counts = str(len(names)) if len(required) == len(names) else f"from {len(required)} to {len(names)}"
    full = args + tuple(p.default for p in params[len(args):])
    calls = [
        (args[:len(required) - 1], {}, f"missing 1 required positional argument: '{required[-1]}'"),
        (full + (1,), {}, f"takes {counts} positional arguments but {len(names) + 1} were given"),
        (args, {"unit": 1}, "got an unexpected keyword argument 'unit'"),
        (args, {names[0]: args[0]}, f"got multiple values for argument '{names[0]}'"),
    ]
    for call_args, kwargs, message in calls:
        with pytest.raises(TypeError) as info:
            fn(*call_args, **kwargs)
        assert str(info.value) == f"{fn.__name__}() {message}"


@every_routine
def test_standalone_module(fn, entry, doc, args, failing):
    module = load_standalone(entry)
    assert module.__all__ == getattr(quellmar, fn.__module__).__all__
    alone = getattr(module, fn.__name__)
    assert alone.__module__ == entry
    assert picture(alone(*args)) == picture(fn(*args))


@every_routine
def test_caller_objects_unchanged(fn, entry, doc, args, failing):
    before = snapshot(args), [snapshot(a) for a, _ in failing]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        first, second = fn(*args), fn(*args)
        for call_args, exc in failing:
            with pytest.raises(exc):
                fn(*call_args)
    assert (snapshot(args), [snapshot(a) for a, _ in failing]) == before
    assert first is not second and picture(first) == picture(second)


@every_routine
def test_reference_counts_unchanged(fn, entry, doc, args, failing, no_leak):
    objects = [o for call_args in [args, *(a for a, _ in failing)] for o in call_args
               if type(o) is not int and type(o) is not bool]
    for value in [*args, *(v for a, _ in failing for v in a)]:
        if isinstance(value, dict):
            objects += [*value, *value.values()]

    def every_call():
        fn(*args)
        for call_args, _ in failing:
            try:
                fn(*call_args)
            except BaseException:  # noqa: B036 - PanicException is a BaseException
                pass

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        no_leak(every_call, *objects)
