"""Outlets: construction, gates, caps, curves and the discharge_info conversion.

get_discharge has no Python binding, so every discharge is observed through a
level pool routing run: with a two-value inflow of step `t` the only grid time
is `t`, where each outlet is asked once at the initial elevation and its
answer is recorded in the individual outflows.
"""
import math
from datetime import timedelta

import pytest

import quellmar

ru = quellmar.reservoir.reservoir_utils
run = quellmar.reservoir.run_level_pool_routing
CTS = quellmar.utils.ContinuousTimeSeries
ED = ru.ElevationDischarge

WIDE = ru.ElevationStorage([-1e6, 1e6], [0.0, 2e12])


def series(data, step):
    return CTS(data, timedelta(seconds=step), "discharge")


def discharge_at(outlet, elevation, t=1):
    res = run(series([0.0, 0.0], t), elevation, WIDE, {"o": outlet})
    return res.reservoir_individual_outflows["o"].data[0]


def outlet_error(outlet, elevation, t=1, exc=ValueError):
    with pytest.raises(exc) as info:
        discharge_at(outlet, elevation, t)
    return str(info.value)


# --- constant -----------------------------------------------------------------

@pytest.mark.parametrize("elevation, expected", [(99.999, 0), (100, 5), (105, 5), (110, 5), (110.001, 0)])
def test_constant_gates_are_strict(elevation, expected):
    assert discharge_at(ru.ConstantDischargeInfo(5, 100, 110), elevation) == expected


@pytest.mark.parametrize("elevation", [-500, 0, 1e5])
def test_constant_without_gates(elevation):
    assert discharge_at(ru.ConstantDischargeInfo(5), elevation) == 5
    assert discharge_at(ru.ConstantDischargeInfo(-2.5), elevation) == -2.5


def test_constant_one_gate_each():
    assert discharge_at(ru.ConstantDischargeInfo(5, maximum_elevation=10), 10.5) == 0
    assert discharge_at(ru.ConstantDischargeInfo(5, maximum_elevation=10), -1e5) == 5
    assert discharge_at(ru.ConstantDischargeInfo(5, minimum_elevation=10), 1e5) == 5


# --- specified (and through it ContinuousTimeSeries.get_value) ---------------------

SPEC = series([10, 20, 30], 3600)


@pytest.mark.parametrize("t, expected", [(1800, 15), (3600, 20), (7200, 30), (900, 12.5), (1, 10 + (1 / 3600) * 10)])
def test_specified_samples_series(t, expected):
    assert discharge_at(ru.SpecifiedDischargeInfo(SPEC), 0, t) == expected


@pytest.mark.parametrize("t, expected", [(1800, 12), (900, 12), (1, 10 + (1 / 3600) * 10), (7200, 12)])
def test_specified_cap(t, expected):
    assert discharge_at(ru.SpecifiedDischargeInfo(SPEC, maximum_release=12), 0, t) == expected


def test_specified_nan_cap_and_nan_value():
    assert discharge_at(ru.SpecifiedDischargeInfo(SPEC, maximum_release=math.nan), 0, 1800) == 15
    nan_series = series([math.nan, math.nan], 10)
    assert discharge_at(ru.SpecifiedDischargeInfo(nan_series, maximum_release=3), 0, 5) == 3


@pytest.mark.parametrize(
    "data, step, t, message",
    [
        ([10, 20, 30], 3600, 7201, "simulation duration 7201s exceeds the specified discharge series length (7200s)."),
        ([4], 60, 1, "simulation duration 1s exceeds the specified discharge series length (0s)."),
        ([], 3600, 1, "simulation duration 1s exceeds the specified discharge series length (-3600s)."),
    ],
)
def test_specified_beyond_series(data, step, t, message):
    assert outlet_error(ru.SpecifiedDischargeInfo(series(data, step)), 0, t) == message


def test_specified_gate_checked_before_series_length():
    closed = ru.SpecifiedDischargeInfo(series([], 3600), minimum_elevation=5)
    assert discharge_at(closed, 4.9, 1) == 0
    assert outlet_error(closed, 5, 1).startswith("simulation duration 1s exceeds")
    gated = ru.SpecifiedDischargeInfo(SPEC, 0, 10)
    assert [discharge_at(gated, e, 1800) for e in (-0.1, 0, 10, 10.1)] == [0, 15, 15, 0]


def test_specified_get_value_interpolation_exact():
    # Every second from 1 to 14 (the last point) of a series with a 7 s step: v[i] + f * (v[i+1] - v[i]),
    # whose bits differ from (1 - f) * v[i] + f * v[i+1] at five of these seconds.
    res = run(series([0.0] * 15, 1), 0, WIDE, {"s": ru.SpecifiedDischargeInfo(series([0.3, 1.7, -2.25], 7))})
    assert res.reservoir_individual_outflows["s"].data == [
        0.5, 0.7, 0.8999999999999999, 1.0999999999999999, 1.3, 1.5, 1.7, 1.135714285714286, 0.571428571428571,
        0.0071428571428568954, -0.5571428571428572, -1.1214285714285712, -1.6857142857142862, -2.25]


def test_specified_series_is_a_copy():
    src = series([1, 2], 10)
    outlet = ru.SpecifiedDischargeInfo(src, None, None, None)
    a, b = outlet.discharge, outlet.discharge
    assert a is not b and a.data == b.data == [1.0, 2.0] and type(a) is CTS
    assert a.time_step == timedelta(seconds=10) and a.kind == "discharge"
    assert outlet.maximum_release is None
    rain = CTS([1, 2], timedelta(seconds=10), "rainfall")
    assert ru.SpecifiedDischargeInfo(rain).discharge.kind == "rainfall"  # kind is not validated


# --- controlled ---------------------------------------------------------------

CURVE = ED([100, 110], [0, 50])


def test_controlled_normalised_gates():
    c = ru.ControlledDischargeInfo(CURVE)
    assert (c.minimum_elevation, c.maximum_elevation, c.maximum_release) == (100.0, None, None)
    assert ru.ControlledDischargeInfo(CURVE, maximum_elevation=120).maximum_elevation == 110.0
    assert ru.ControlledDischargeInfo(CURVE, maximum_elevation=105).maximum_elevation == 105.0
    assert ru.ControlledDischargeInfo(CURVE, minimum_elevation=90).minimum_elevation == 100.0
    assert ru.ControlledDischargeInfo(CURVE, minimum_elevation=104).minimum_elevation == 104.0
    assert ru.ControlledDischargeInfo(CURVE, math.nan).minimum_elevation == 100.0
    assert ru.ControlledDischargeInfo(CURVE, None, math.nan).maximum_elevation == 110.0
    assert math.isnan(ru.ControlledDischargeInfo(CURVE, maximum_release=math.nan).maximum_release)


@pytest.mark.parametrize(
    "kwargs, elevation, expected",
    [
        ({}, 105, 25), ({}, 110, 50), ({}, 100, 0), ({}, 99, 0), ({}, -1e5, 0),
        ({"maximum_elevation": 120}, 110.5, 0), ({"maximum_elevation": 120}, 110, 50),
        ({"minimum_elevation": 104}, 103.9, 0), ({"minimum_elevation": 104}, 104, 20),
        ({"maximum_release": 30}, 108, 30), ({"maximum_release": 30}, 102, 10),
        ({"maximum_release": math.nan}, 108, 40), ({"maximum_release": -1}, 108, -1),
        ({"maximum_elevation": 105}, 105, 25), ({"maximum_elevation": 105}, 105.0001, 0),
    ],
)
def test_controlled_discharge(kwargs, elevation, expected):
    assert discharge_at(ru.ControlledDischargeInfo(CURVE, **kwargs), elevation) == expected


def test_controlled_above_curve_fails():
    assert outlet_error(ru.ControlledDischargeInfo(CURVE), 110.5) == \
        "elevation 110.5 is above the maximum of the elevation-discharge curve (110)."


def test_controlled_interpolation_exact():
    curve = ED([1.5, 2.25, 7.0], [0.1, 0.3, 9.7])
    for e in (1.7, 2.2, 3.3, 6.99):
        k = 0 if e < 2.25 else 1
        xs, ys = curve.elevation, curve.discharge
        expected = ys[k] + ((e - xs[k]) / (xs[k + 1] - xs[k])) * (ys[k + 1] - ys[k])
        assert discharge_at(ru.ControlledDischargeInfo(curve), e) == expected
        assert discharge_at(ru.UnControlledDischargeInfo(curve), e) == expected


# --- uncontrolled -------------------------------------------------------------

@pytest.mark.parametrize(
    "offset, elevation, expected",
    [(2, 103, 25), (2, 97.9, 0), (2, 108, 50), (-2, 107, 25), (-2, 112, 50), (None, 100, 0), (None, 110, 50)],
)
def test_uncontrolled_discharge(offset, elevation, expected):
    assert discharge_at(ru.UnControlledDischargeInfo(CURVE, offset), elevation) == expected


@pytest.mark.parametrize("offset, elevation, shown", [(2, 108.5, "110.5"), (None, 110.25, "110.25"), (-2, 113, "111")])
def test_uncontrolled_above_curve_quotes_adjusted_elevation(offset, elevation, shown):
    assert outlet_error(ru.UnControlledDischargeInfo(CURVE, elevation_offset=offset), elevation) == \
        f"elevation {shown} is above the maximum of the elevation-discharge curve (110)."


def test_rated_outlets_at_the_first_elevation_release_its_discharge():
    """Zero only strictly below the curve; at its first elevation the curve's
    own first discharge."""
    raised = ED([100, 104, 110], [5, 20, 50])
    below = math.nextafter(100, 0)
    for outlet in (ru.UnControlledDischargeInfo(raised), ru.ControlledDischargeInfo(raised)):
        assert discharge_at(outlet, 100) == 5
        assert discharge_at(outlet, below) == 0


# --- construction -------------------------------------------------------------

@pytest.mark.parametrize(
    "cls, args, message",
    [
        (ru.ConstantDischargeInfo, ("x",), "argument 'discharge': must be real number, not str"),
        (ru.ConstantDischargeInfo, (1, "a", "b"), "argument 'minimum_elevation': must be real number, not str"),
        (ru.ConstantDischargeInfo, (1, None, []), "argument 'maximum_elevation': must be real number, not list"),
        (ru.ConstantDischargeInfo, (None,), "argument 'discharge': must be real number, not NoneType"),
        (ru.SpecifiedDischargeInfo, ([1, 2],),
         "argument 'discharge': 'list' object is not an instance of 'ContinuousTimeSeries'"),
        (ru.SpecifiedDischargeInfo, (quellmar.utils.IncrementalTimeSeries([1], timedelta(hours=1), "rainfall"),),
         "argument 'discharge': 'IncrementalTimeSeries' object is not an instance of 'ContinuousTimeSeries'"),
        (ru.SpecifiedDischargeInfo, (SPEC, 1, 2, "c"), "argument 'maximum_release': must be real number, not str"),
        (ru.ControlledDischargeInfo, ("curve", "x"),
         "argument 'elevation_discharge': 'str' object is not an instance of 'ElevationDischarge'"),
        (ru.ControlledDischargeInfo, (CURVE, 1, 2, 3, 4),
         "ControlledDischargeInfo.__new__() takes from 1 to 4 positional arguments but 5 were given"),
        (ru.UnControlledDischargeInfo, (ru.ElevationStorage([1, 2], [1, 2]),),
         "argument 'elevation_discharge': 'ElevationStorage' object is not an instance of 'ElevationDischarge'"),
        (ru.UnControlledDischargeInfo, (CURVE, "x"), "argument 'elevation_offset': must be real number, not str"),
        (ru.UnControlledDischargeInfo, (), "UnControlledDischargeInfo.__new__() missing 1 required positional "
                                           "argument: 'elevation_discharge'"),
    ],
)
def test_constructor_errors(cls, args, message):
    with pytest.raises(TypeError) as info:
        cls(*args)
    assert str(info.value) == message


def test_attributes_are_read_only_copies():
    c = ru.ConstantDischargeInfo(discharge=5, maximum_elevation=3)
    assert (c.discharge, c.minimum_elevation, c.maximum_elevation) == (5.0, None, 3.0)
    u = ru.UnControlledDischargeInfo(CURVE)
    assert u.elevation_offset is None
    a, b = u.elevation_discharge, u.elevation_discharge
    assert a is not b and type(a) is ED and a.elevation == b.elevation == [100.0, 110.0]
    for obj, name in [(c, "discharge"), (u, "elevation_discharge"), (u, "elevation_offset"),
                      (ru.ControlledDischargeInfo(CURVE), "minimum_elevation")]:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1.0)


def test_docstrings_and_signatures():
    assert ru.ConstantDischargeInfo.__text_signature__ == "(discharge, minimum_elevation=None, maximum_elevation=None)"
    assert ru.SpecifiedDischargeInfo.__text_signature__ == \
        "(discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None)"
    assert ru.ControlledDischargeInfo.__text_signature__ == \
        "(elevation_discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None)"
    assert ru.UnControlledDischargeInfo.__text_signature__ == "(elevation_discharge, elevation_offset=None)"
    assert ru.ConstantDischargeInfo.discharge.__doc__ == "Constant discharge rate (e.g., cfs)."
    assert ru.ConstantDischargeInfo.minimum_elevation.__doc__ == "Elevation below which no discharge occurs."
    assert ru.ControlledDischargeInfo.maximum_elevation.__doc__ == "Elevation above which no discharge occurs."
    assert ru.ControlledDischargeInfo.maximum_release.__doc__ == "Cap on the maximum allowable discharge."
    assert ru.SpecifiedDischargeInfo.discharge.__doc__ == "Time series of prescribed outflow values (kind=discharge)."
    assert ru.SpecifiedDischargeInfo.maximum_release.__doc__ is None
    assert ru.UnControlledDischargeInfo.elevation_offset.__doc__ == \
        "Additive offset applied to the reservoir elevation before curve lookup."
    assert ru.UnControlledDischargeInfo.elevation_discharge.__doc__ == "Rating curve mapping elevation to discharge."


# --- the discharge_info conversion ----------------------------------------------

def enum_message(type_name):
    variants = [("Uncontrolled", "UnControlledDischargeInfo"), ("Controlled", "ControlledDischargeInfo"),
                ("Specified", "SpecifiedDischargeInfo"), ("Constant", "ConstantDischargeInfo")]
    refused = "'None' is not an instance of" if type_name is None else f"'{type_name}' object is not an instance of"
    lines = ["argument 'discharge_info': failed to extract enum DischargeInfo "
             "('Uncontrolled | Controlled | Specified | Constant')"]
    for v, cls in variants:
        lines.append(f"- variant {v} ({v}): TypeError: failed to extract field DischargeInfo::{v}.0, "
                     f"caused by TypeError: {refused} '{cls}'")
    return "\n".join(lines)


@pytest.mark.parametrize("value, type_name", [(1.5, "float"), (None, None), (CURVE, "ElevationDischarge"),
                                              (SPEC, "ContinuousTimeSeries")])
def test_enum_message(value, type_name):
    with pytest.raises(TypeError) as info:
        run(series([1, 1], 1), 0, WIDE, {"good": ru.ConstantDischargeInfo(1), "bad": value})
    assert str(info.value) == enum_message(type_name)


def test_enum_message_full_text_for_a_float():
    with pytest.raises(TypeError) as info:
        run(series([1, 1], 1), 0, WIDE, {"a": 2.0})
    assert str(info.value) == (
        "argument 'discharge_info': failed to extract enum DischargeInfo ('Uncontrolled | Controlled | Specified | "
        "Constant')\n"
        "- variant Uncontrolled (Uncontrolled): TypeError: failed to extract field DischargeInfo::Uncontrolled.0, "
        "caused by TypeError: 'float' object is not an instance of 'UnControlledDischargeInfo'\n"
        "- variant Controlled (Controlled): TypeError: failed to extract field DischargeInfo::Controlled.0, "
        "caused by TypeError: 'float' object is not an instance of 'ControlledDischargeInfo'\n"
        "- variant Specified (Specified): TypeError: failed to extract field DischargeInfo::Specified.0, "
        "caused by TypeError: 'float' object is not an instance of 'SpecifiedDischargeInfo'\n"
        "- variant Constant (Constant): TypeError: failed to extract field DischargeInfo::Constant.0, "
        "caused by TypeError: 'float' object is not an instance of 'ConstantDischargeInfo'")


@pytest.mark.parametrize(
    "info_arg, message",
    [
        ({1: ru.ConstantDischargeInfo(1)}, "argument 'discharge_info': 'int' object is not an instance of 'str'"),
        ([ru.ConstantDischargeInfo(1)], "argument 'discharge_info': 'list' object is not an instance of 'dict'"),
        (None, "argument 'discharge_info': 'None' is not an instance of 'dict'"),
    ],
)
def test_discharge_info_key_and_container_errors(info_arg, message):
    with pytest.raises(TypeError) as info:
        run(series([1, 1], 1), 0, WIDE, info_arg)
    assert str(info.value) == message


def test_subclassed_outlets_and_dict_accepted():
    class MyConstant(ru.ConstantDischargeInfo):
        pass

    class MyDict(dict):
        pass

    res = run(series([0, 0], 1), 0, WIDE, MyDict(a=MyConstant(4)))
    assert res.reservoir_individual_outflows["a"].data == [4.0]
