"""Rating curves: construction, validation order, lookups and immutability."""
import math

import pytest

import quellmar
from helpers import panic_of

ru = quellmar.reservoir.reservoir_utils
ES = ru.ElevationStorage
ED = ru.ElevationDischarge

LENGTH_PANIC = "x_values and y_values each must have at least 2 elements."


@pytest.fixture
def curve():
    return ES([100, 110, 120], [0, 5000, 12000])


def test_worked_lookups(curve):
    assert curve.get_storage(105) == 2500
    assert curve.get_elevation(8500) == 115
    # closed range: the ends give the paired values
    assert curve.get_storage(100) == 0 and curve.get_storage(120) == 12000
    assert curve.get_elevation(0) == 100 and curve.get_elevation(12000) == 120
    assert curve.get_storage(elevation=110) == 5000


@pytest.mark.parametrize("x", [100.1, 101.3, 107.77, 113.0000001, 119.99])
def test_interpolation_order_of_operations(curve, x):
    xs, ys = [100.0, 110.0, 120.0], [0.0, 5000.0, 12000.0]
    k = 0 if x < 110 else 1
    x0, x1, y0, y1 = xs[k], xs[k + 1], ys[k], ys[k + 1]
    assert curve.get_storage(x) == y0 + ((x - x0) / (x1 - x0)) * (y1 - y0)
    s = curve.get_storage(x)
    assert curve.get_elevation(s) == x0 + ((s - y0) / (y1 - y0)) * (x1 - x0)


@pytest.mark.parametrize(
    "method, value, message",
    [
        ("get_storage", 99.5, "`elevation` 99.5 is outside the range of the elevation-storage curve."),
        ("get_storage", 121, "`elevation` 121 is outside the range of the elevation-storage curve."),
        ("get_storage", math.inf, "`elevation` inf is outside the range of the elevation-storage curve."),
        ("get_storage", -math.inf, "`elevation` -inf is outside the range of the elevation-storage curve."),
        ("get_elevation", -1, "`storage` -1 is outside the range of the elevation-storage curve."),
        ("get_elevation", -1e-7, "`storage` -0.0000001 is outside the range of the elevation-storage curve."),
        ("get_elevation", 1e21, "`storage` 1000000000000000000000 is outside the range of the elevation-storage curve."),
    ],
)
def test_lookup_out_of_range(curve, method, value, message):
    with pytest.raises(ValueError) as info:
        getattr(curve, method)(value)
    assert str(info.value) == message


@pytest.mark.parametrize("method", ["get_storage", "get_elevation"])
def test_nan_lookup_panics(curve, method):
    panic_of(lambda: getattr(curve, method)(math.nan))


@pytest.mark.parametrize("elevation, storage", [([1], [2]), ([], []), ([math.nan], [math.nan])])
@pytest.mark.parametrize("query", [1.0, 2.0, math.nan, -5.0])
def test_short_curve_accepted_but_lookups_panic(elevation, storage, query):
    c = ES(elevation, storage)
    assert len(c.elevation) == len(elevation)
    assert str(panic_of(lambda: c.get_storage(query))) == LENGTH_PANIC
    assert str(panic_of(lambda: c.get_elevation(query))) == LENGTH_PANIC


@pytest.mark.parametrize(
    "elevation, storage, message",
    [
        ([1, 1], [0, 1], "`elevation` must must be sorted and can't have duplicates"),
        ([1, 2], [1, 1], "`storage` must must be sorted and can't have duplicates"),
        ([2, 1], [1, 2, 3], "`elevation` and `storage` must have the same length"),
        ([2, 1], [2, 1], "`elevation` must must be sorted and can't have duplicates"),
        ([1, math.nan], [0, 1], "`elevation` must must be sorted and can't have duplicates"),
        ([math.nan, 1], [0, 1], "`elevation` must must be sorted and can't have duplicates"),
        ([1, 2, 3], [0, math.nan, 2], "`storage` must must be sorted and can't have duplicates"),
    ],
)
def test_elevation_storage_validation_order(elevation, storage, message):
    with pytest.raises(ValueError) as info:
        ES(elevation, storage)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "elevation, discharge, message",
    [
        ([1], [0], "`elevation` and `discharge` each must have at least 2 elements."),
        ([], [], "`elevation` and `discharge` each must have at least 2 elements."),
        ([2, 1], [0], "`elevation` and `discharge` must have the same length"),
        ([1, 2], [1, 0], "`discharge` must must be sorted"),
        ([1, 1], [1, 0], "`elevation` must must be sorted and can't have duplicates"),
        ([1, math.nan], [0, 1], "`elevation` must must be sorted and can't have duplicates"),
        ([1, 2], [0, math.nan], "`discharge` must must be sorted"),
        ([1, 2], [math.nan, 0], "`discharge` must must be sorted"),
    ],
)
def test_elevation_discharge_validation_order(elevation, discharge, message):
    with pytest.raises(ValueError) as info:
        ED(elevation, discharge)
    assert str(info.value) == message


def test_flat_discharge_accepted():
    c = ED([1, 2], [0, 0])
    assert c.elevation == [1.0, 2.0] and c.discharge == [0.0, 0.0]


@pytest.mark.parametrize(
    "cls, args, kwargs, message",
    [
        (ES, ("12", [1]), {}, "argument 'elevation': Can't extract `str` to `Vec`"),
        (ES, ([1], 5), {}, "argument 'storage': 'int' object is not an instance of 'Sequence'"),
        (ES, (None, "x"), {}, "argument 'elevation': 'None' is not an instance of 'Sequence'"),
        (ES, ([1],), {}, "ElevationStorage.__new__() missing 1 required positional argument: 'storage'"),
        (ED, (), {"elevation": [1, 2], "flow": [1, 2]},
         "ElevationDischarge.__new__() got an unexpected keyword argument 'flow'"),
        (ED, ([1, 2], [0, "a"]), {}, "argument 'discharge': must be real number, not str"),
    ],
)
def test_constructor_conversion_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == message


def test_conversion_precedes_validation():
    # a conversion failure of `storage` wins over the length mismatch
    with pytest.raises(TypeError):
        ES([1, 2, 3], "ab")
    c = ES(elevation=range(3), storage=(0, 1.5, True + 2))
    assert c.storage == [0.0, 1.5, 3.0]


def test_lookup_argument_conversion(curve):
    with pytest.raises(TypeError) as info:
        curve.get_storage("105")
    assert str(info.value) == "argument 'elevation': must be real number, not str"
    with pytest.raises(TypeError) as info:
        curve.get_elevation()
    assert str(info.value) == "ElevationStorage.get_elevation() missing 1 required positional argument: 'storage'"
    # a bool converts as 1.0 (below this curve), an int exactly
    with pytest.raises(ValueError) as info:
        curve.get_storage(True)
    assert str(info.value) == "`elevation` 1 is outside the range of the elevation-storage curve."
    assert curve.get_elevation(storage=8500) == 115


@pytest.mark.parametrize("cls, fields, args", [(ES, ("elevation", "storage"), ([1, 2], [3, 4])),
                                              (ED, ("elevation", "discharge"), ([1, 2], [3, 4]))])
def test_curves_are_immutable_copies(cls, fields, args):
    src = [list(a) for a in args]
    c = cls(*src)
    src[0][0] = 99  # the caller's list is copied at construction
    for name in fields:
        first, second = getattr(c, name), getattr(c, name)
        assert first == second and first is not second
        first.append(7.0)
        assert getattr(c, name) == second
        with pytest.raises(AttributeError):
            setattr(c, name, [0, 1])
    assert getattr(c, fields[0]) == [1.0, 2.0]
    with pytest.raises(AttributeError):
        c.other = 1


def test_class_surface():
    assert ES.__text_signature__ == "(elevation, storage)"
    assert ED.__text_signature__ == "(elevation, discharge)"
    assert ES.get_storage.__text_signature__ == "($self, elevation)"
    assert ES.get_elevation.__text_signature__ == "($self, storage)"
    assert ES.__module__ == "builtins" and ES.__qualname__ == "ElevationStorage"
    assert ES.elevation.__doc__ is None and ED.discharge.__doc__ is None

    class Sub(ES):
        pass

    s = Sub([0, 1], [0, 10])
    assert type(s) is Sub and s.get_storage(0.5) == 5.0
