"""Hostile Python values and the checks shared by the fuzz, leak and thread
tests: objects whose conversion hooks raise or lie, subclasses of everything
the module accepts, odd containers, and a snapshot of a caller's objects to
show that a call leaves them unchanged.

Every hostile object here raises `Boom` (or an interpreter exception of its
own making), so a test can tell the user's exception from the module's."""

import array
import datetime as dt
import math
import mmap
import os
import struct
import warnings
from decimal import Decimal
from fractions import Fraction

import quellmar

try:
    import numpy as np
except ImportError:  # the numpy cases are simply left out
    np = None

U = quellmar.utils
RU = quellmar.reservoir.reservoir_utils
HOUR = dt.timedelta(hours=1)
KINDS = ("discharge", "rainfall", "elevation", "volume")


def panic_type():
    try:
        RU.ElevationStorage([], []).get_storage(0.0)
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        return type(e)
    raise AssertionError("a lookup on an empty curve must raise PanicException")


PanicException = panic_type()

# Messages an internal failure may carry for some input; anything else (the
# generic "internal code failed" sentence in particular) is a fault.
KNOWN_PANICS = {
    "index out of bounds: the len is 0 but the index is 0",
    "x_values and y_values each must have at least 2 elements.",
    "a value required by the computation is missing",
    "dictionary changed size during iteration",
    "dictionary keys changed during iteration",
}


class Boom(Exception):
    """Raised by the hostile objects' hooks."""


# Exceptions a call may end with: the module's documented types, PanicException,
# the user's own exception, and what the interpreter raises for the user's
# objects (a released or multi-dimensional memoryview, a warning under an
# "error" filter).
ALLOWED = (
    TypeError,
    ValueError,  # UnicodeEncodeError included
    OverflowError,
    RuntimeError,
    MemoryError,
    UserWarning,
    DeprecationWarning,
    NotImplementedError,
    PanicException,
    Boom,
)

# ---------------------------------------------------------------------------
# Objects whose conversion hooks raise or lie


class FloatRaises:
    def __float__(self):
        raise Boom("__float__")


class FloatLies:
    def __float__(self):
        return "1.5"  # the interpreter refuses a non-float


class FloatSub(float):
    pass


class FloatReturnsSubclass:
    def __float__(self):
        return FloatSub(2.5)  # deprecated by the interpreter, still accepted


class IndexRaises:
    def __index__(self):
        raise Boom("__index__")


class IndexLies:
    def __index__(self):
        return 2.5


class IndexHuge:
    def __index__(self):
        return 10**30


class IndexSeven:
    def __index__(self):
        return 7


class IntSub(int):
    pass


class StrSub(str):
    pass


class OddStr(str):
    """A str whose equality and hash lie."""

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    def __hash__(self):
        return 0


class BadHashStr(str):
    def __hash__(self):
        raise Boom("__hash__")


class TimedeltaSub(dt.timedelta):
    pass


class ListSub(list):
    def __iter__(self):  # ignored by nothing: a list subclass goes through iter()
        return iter([9.0])

    def __len__(self):
        return 1


class TupleSub(tuple):
    pass


class DictSub(dict):
    """A dict whose Python-level views lie; the C-level contents are real."""

    def __len__(self):
        return 0

    def __iter__(self):
        return iter(())

    def items(self):
        raise Boom("items")

    def keys(self):
        raise Boom("keys")


class LenRaises:
    def __len__(self):
        raise Boom("__len__")

    def __getitem__(self, i):
        if i < 3:
            return float(i)
        raise IndexError(i)


class LenLiesHuge:
    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i < 3:
            return float(i)
        raise IndexError(i)


class LenLiesNegative:
    def __len__(self):
        return -5

    def __getitem__(self, i):
        if i < 2:
            return 1.0
        raise IndexError(i)


class LenTooBig:
    def __len__(self):
        return 2**70

    def __getitem__(self, i):
        if i < 2:
            return 1.0
        raise IndexError(i)


class IterRaises:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        raise Boom("__iter__")


class IterRaisesMidway:
    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i >= 2:
            raise Boom("item %d" % i)
        return float(i)


class IterReturnsNonIterator:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        return 5


class GetItemOnly:
    def __getitem__(self, i):
        if i < 4:
            return i * 0.5
        raise IndexError(i)


class Mutator:
    """A number whose conversion changes another of the caller's objects (a
    list being converted, a dictionary about to be converted)."""

    fired = False

    def __init__(self, target, value=1.0, late=None):
        self.target = target
        self.value = value
        self.late = late if late is not None else RU.ConstantDischargeInfo(1.0)

    def __float__(self):
        Mutator.fired = True
        t = self.target
        if isinstance(t, list):
            t.clear()
        elif isinstance(t, dict):
            t.clear()
            t["late"] = self.late
        return self.value

    def __index__(self):
        self.__float__()
        return int(self.value)


def recursive_list():
    r = [1.0]
    r.append(r)
    return r


def released_memoryview():
    m = memoryview(b"abc")
    m.release()
    return m


# ---------------------------------------------------------------------------
# Module-class subclasses

class ContinuousSub(U.ContinuousTimeSeries):
    pass


class IncrementalSub(U.IncrementalTimeSeries):
    __slots__ = ("extra",)


class StorageSub(RU.ElevationStorage):
    pass


class DischargeCurveSub(RU.ElevationDischarge):
    pass


class ConstantSub(RU.ConstantDischargeInfo):
    pass


class ControlledSub(RU.ControlledDischargeInfo):
    pass


class SpecifiedSub(RU.SpecifiedDischargeInfo):
    pass


class UnControlledSub(RU.UnControlledDischargeInfo):
    pass


# ---------------------------------------------------------------------------
# Atoms: hostile values for any parameter

BIG_LIST = [float(i % 97) * 0.25 for i in range(100_000)]


def _numpy_atoms():
    if np is None:
        return []
    return [
        np.float64(1.5),
        np.float32("nan"),
        np.float16(2.0),
        np.longdouble(3.0),
        np.int64(-5),
        np.int8(3),
        np.uint64(2**64 - 1),
        np.bool_(True),
        np.bool_(False),
        np.array(3.0),
        np.arange(5.0),
        np.arange(10.0)[::2],
        np.arange(6.0).reshape(2, 3),
        np.array([], dtype=float),
        np.array([1.0, 2.0], dtype=">f8"),
        np.array([1.0, 2.0], dtype=np.float32),
        np.array([1, 2, 3], dtype=np.int64),
        np.array(["a", "b"]),
        np.array([1 + 2j]),
        np.array([None, 1.0], dtype=object),
        np.array([np.nan, np.inf, -np.inf]),
        np.zeros(0, dtype=[("a", "f8")]),
        np.timedelta64(5, "s"),
        np.datetime64("2020-01-01"),
        np.ma.masked_array([1.0, 2.0], mask=[0, 1]),
    ]


def _unicode_array():
    # the "u" type code is deprecated since 3.13 and goes away in 3.16
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            return [array.array("u", "ab")]
        except ValueError:
            return []


def hostile_atoms():
    nan = float("nan")
    return [
        None,
        "",
        "abc",
        "1.5",
        "\ud800",
        StrSub("discharge"),
        b"",
        b"\x00\xff",
        bytearray(b"ab"),
        [],
        (),
        {},
        set(),
        frozenset({1.0}),
        object(),
        1j,
        Decimal("1.5"),
        Decimal("nan"),
        Fraction(1, 3),
        0,
        -1,
        1,
        2**31,
        -(2**31) - 1,
        2**63,
        -(2**63) - 1,
        2**64,
        10**400,
        -(10**400),
        True,
        False,
        nan,
        float("inf"),
        float("-inf"),
        -0.0,
        1e308,
        5e-324,
        FloatSub(1.25),
        IntSub(4),
        FloatRaises(),
        FloatLies(),
        FloatReturnsSubclass(),
        IndexRaises(),
        IndexLies(),
        IndexHuge(),
        IndexSeven(),
        dt.timedelta(0),
        dt.timedelta(seconds=-1),
        dt.timedelta(microseconds=1),
        dt.timedelta(microseconds=999_999),
        dt.timedelta.max,
        dt.timedelta.min,
        TimedeltaSub(hours=1),
        dt.datetime(2020, 1, 1),
        dt.date(2020, 1, 1),
        range(4),
        range(0),
        [1.0, "x"],
        [None],
        [1.0, FloatRaises()],
        [10**400],
        [1.0, IndexSeven()],
        (1.0, nan, float("inf")),
        ListSub([1.0, 2.0]),
        TupleSub((1.0, 2.0)),
        DictSub(a=1),
        {"a": 1.0},
        {1: RU.ConstantDischargeInfo(1.0)},
        recursive_list(),
        LenRaises(),
        LenLiesHuge(),
        LenLiesNegative(),
        LenTooBig(),
        IterRaises(),
        IterRaisesMidway(),
        IterReturnsNonIterator(),
        GetItemOnly(),
        (x * 1.0 for x in range(3)),
        iter([1.0]),
        array.array("d", [1.0, 2.0]),
        array.array("f", [1.0]),
        array.array("i", [1, 2]),
        memoryview(b"\x01\x02"),
        memoryview(array.array("d", [1.0, 2.0])),
        memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0])).cast("B").cast("d", (2, 2)),
        memoryview(struct.pack("<2d", 1.0, 2.0)).cast("d"),
        released_memoryview(),
        mmap.mmap(-1, 16),
        U.ContinuousTimeSeries([1.0], HOUR, "discharge"),
        U.IncrementalTimeSeries([1.0], HOUR, "rainfall"),
        RU.ElevationDischarge([0.0, 1.0], [0.0, 1.0]),
        RU.ElevationStorage([0.0, 1.0], [0.0, 1.0]),
        RU.ConstantDischargeInfo(1.0),
        quellmar.baseflow.LinearReservoir(HOUR, 0.5, 0.0),
        quellmar,
        quellmar.utils,
        U.ContinuousTimeSeries,
        len,
        Ellipsis,
        NotImplemented,
        os.environ,
    ] + _unicode_array() + _numpy_atoms()


# ---------------------------------------------------------------------------
# Snapshots of the caller's objects


def _float_key(x):
    return ("f", struct.pack("<d", x))


def snapshot(obj, _seen=None):
    """A comparable picture of everything a call could change in `obj`."""
    seen = set() if _seen is None else _seen
    if id(obj) in seen:
        return ("cycle", id(obj))
    t = type(obj)
    if t is float:
        return _float_key(obj)
    if t in (int, bool, str, bytes, type(None), complex):
        return (t.__name__, obj)
    if np is not None and isinstance(obj, np.ndarray):
        return ("nd", obj.dtype.str, obj.shape, obj.tobytes() if obj.dtype != object else repr(obj.tolist()))
    if isinstance(obj, (U.ContinuousTimeSeries, U.IncrementalTimeSeries)):
        return (t, [_float_key(v) for v in obj.data], obj.time_step, obj.kind)
    if isinstance(obj, quellmar.baseflow.LinearReservoir):
        return (t, obj.k_duration, _float_key(obj.gw_fraction), _float_key(obj.initial_q), obj.num_reservoir)
    if isinstance(obj, RU.ElevationStorage):
        return (t, obj.elevation, obj.storage)
    if isinstance(obj, RU.ElevationDischarge):
        return (t, obj.elevation, obj.discharge)
    if isinstance(obj, (RU.ConstantDischargeInfo, RU.ControlledDischargeInfo, RU.SpecifiedDischargeInfo,
                        RU.UnControlledDischargeInfo)):
        fields = sorted(k for k in type(obj).__mro__[-2].__dict__ if not k.startswith("_"))
        return (t, tuple((k, snapshot(getattr(obj, k), seen)) for k in fields))
    if isinstance(obj, list):
        seen.add(id(obj))
        return (t, tuple(snapshot(x, seen) for x in list.__iter__(obj)))
    if isinstance(obj, tuple):
        seen.add(id(obj))
        return (t, tuple(snapshot(x, seen) for x in tuple.__iter__(obj)))
    if isinstance(obj, dict):
        seen.add(id(obj))
        return (t, tuple((k if type(k) is str else id(k), snapshot(v, seen)) for k, v in dict.items(obj)))
    if isinstance(obj, (bytearray, array.array)):
        return (t, bytes(obj))
    if isinstance(obj, dt.timedelta):
        return (t, obj.days, obj.seconds, obj.microseconds)
    return ("id", id(obj))


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)


# ---------------------------------------------------------------------------
# Results

def touch(value, depth=0):
    """Reads everything a result offers (every getter, total_duration)."""
    if depth > 3:
        return
    if isinstance(value, (tuple, list)):
        for v in value:
            touch(v, depth + 1)
        return
    if isinstance(value, dict):
        for k, v in value.items():
            assert type(k) is str
            touch(v, depth + 1)
        return
    if type(value).__module__ == "builtins" and type(value).__name__ in CLASS_NAMES:
        for name in dir(type(value)):
            if name.startswith("_"):
                continue
            attr = getattr(value, name)
            if callable(attr) and name == "total_duration":
                assert type(attr()) is int
            elif not callable(attr):
                touch(attr, depth + 1)


CLASS_NAMES = {
    "ContinuousTimeSeries", "IncrementalTimeSeries", "LinearReservoir", "DeficitConstantResult",
    "LevelPoolResult", "ElevationStorage", "ElevationDischarge", "ConstantDischargeInfo",
    "SpecifiedDischargeInfo", "ControlledDischargeInfo", "UnControlledDischargeInfo",
}
