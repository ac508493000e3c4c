#!/usr/bin/env python3
"""Coverage-guided fuzz target for quellmar's Python surface.

`one_input(data)` decodes a byte string into one call of a constructor,
getter, setter, method or routine, with arguments converted from lists,
tuples, numpy arrays (strided, float32, integer, 2-D), array.array,
memoryviews, dicts and timedeltas, hostile values mixed in, and checks the
outcome: a result (whose attributes are then read) or one of the exception
types the guide documents.  Anything else raises FuzzFault, which atheris
reports as a crash; a sanitizer report or a crash of the process is a crash
too.

The decoder is this file's own (no atheris needed), so tests/test_fuzz_corpus.py
replays the corpus and every crash ever found in the ordinary test suite:

    tools/fuzz/corpus/surface/    inputs that reach new code (kept small)
    tools/fuzz/regressions/       inputs that once crashed; never removed

Run by tools/fuzz.sh, or by hand with atheris installed:

    python tools/fuzz/surface.py -runs=100000 tools/fuzz/corpus/surface
"""

import array
import datetime as dt
import math
import os
import struct
import sys
import warnings

import quellmar

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from fuzz_values import KNOWN_PANICS, PanicException, touch  # noqa: E402

try:
    import numpy as np
except ImportError:  # the decoder then uses lists where it would use arrays
    np = None

U = quellmar.utils
RU = quellmar.reservoir.reservoir_utils
C = U.ContinuousTimeSeries
I = U.IncrementalTimeSeries


# The exceptions the guide documents for calls from Python; a PanicException
# must carry one of the messages the property fuzzing knows as well.
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError, UserWarning)


class FuzzFault(Exception):
    """An outcome the module promises never to give."""


class Hostile(Exception):
    """Raised by the hostile values' own hooks."""


class Source:
    """Reads values from the fuzzer's bytes; past the end every read is 0."""

    SPECIAL = (0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 10.0, 100.0, 3600.0, 1e-300, 5e-324, 1e300, 1.7976931348623157e308,
               math.inf, -math.inf, math.nan, 2.0**31, 2.0**63, -(2.0**63), 0.1, 1e6)

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):  # 0 <= value < n
        return self.byte() % n if n <= 256 else (self.byte() | self.byte() << 8) % n

    def flag(self):
        return self.byte() & 1 == 1

    def double(self):
        b = self.byte()
        if b < 160:
            return self.SPECIAL[b % len(self.SPECIAL)]
        if b < 230:
            return (b - 195) * 0.25 + self.byte() / 256.0
        raw = bytes(self.byte() for _ in range(8))
        return struct.unpack("<d", raw)[0]

    def integer(self):
        b = self.byte()
        if b < 200:
            return b % 12 - 2
        choices = (2**31 - 1, 2**31, -(2**31), 2**63, 2**64, -(2**63) - 1, 10**30, 4096, 65536, 86400)
        return choices[b % len(choices)]


def _number(src, allow_none=False):
    """A float argument: mostly a float, sometimes another number type or a
    value of the wrong type, or one whose conversion hook raises."""
    kind = src.below(16)
    if kind < 11:
        return src.double()
    if kind == 11:
        return src.integer()
    if kind == 12 and np is not None:
        with np.errstate(all="ignore"):
            return (np.float64, np.float32, np.int64, np.bool_)[src.below(4)](src.double() if src.flag() else 1)
    if kind == 13:
        return None if allow_none or src.flag() else "1.0"
    if kind == 14:
        return HostileFloat(src.flag())
    return (True, "x", b"1", [1.0], object())[src.below(5)]


class HostileFloat:
    def __init__(self, raise_it):
        self.raise_it = raise_it

    def __float__(self):
        if self.raise_it:
            raise Hostile("from __float__")
        return 1.5


class HostileIndex:
    def __index__(self):
        raise Hostile("from __index__")


def _values(src, limit=64):
    n = src.below(8)
    n = (0, 1, 2, 3, 5, 8, 24, limit)[n]
    return [src.double() for _ in range(n)]


def _sequence(src, limit=64, sorted_values=False):
    """A sequence of numbers in one of the forms the conversion accepts, or
    one it must refuse."""
    values = _values(src, limit)
    if sorted_values and src.flag():
        values = sorted(v for v in values if not math.isnan(v))
    form = src.below(14)
    if form < 5:
        return values
    if form == 5:
        return tuple(values)
    if form == 6:
        return array.array("d", values)
    if form == 7:
        return memoryview(array.array("d", values))
    if np is not None and form < 12:
        with np.errstate(all="ignore"):  # casts of NaN and huge values
            return _array(src, form, values)
    if form == 12:
        return [HostileFloat(src.flag()) if src.below(4) == 0 else v for v in values]
    return (None, "abc", 3.0, {1.0: 2.0}, iter(values), [None])[src.below(6)]


def _array(src, form, values):
    a = np.array(values, dtype=np.float64)
    if form == 8:
        return a
    if form == 9:
        return np.repeat(a, 2)[::2]  # strided
    if form == 10:
        return a.astype(np.float32) if np.isfinite(a).all() else a.astype(">f8")
    return a.reshape(1, -1) if src.flag() else a.astype(np.int64) if np.isfinite(a).all() else a[::-1]


def _duration(src, limit=None):
    """A timedelta (bounded where the routine's work grows with it), or
    another type."""
    kind = src.below(12)
    if kind < 9:
        seconds = (1, 60, 900, 3600, 7200, 86400, 30, 1.5, 0)[src.below(9)] * (src.below(4) + 1)
        if limit is not None:
            seconds = min(seconds, limit)
        if src.below(8) == 0:
            seconds = -seconds
        micro = src.below(3) * 250000
        return dt.timedelta(seconds=seconds, microseconds=micro)
    if kind == 9:
        days = (999999999, -999999999, 2**31 // 86400 + 1)[src.below(3)]
        return dt.timedelta(days=days) if limit is None or days < 0 else dt.timedelta(seconds=limit)
    return (3600, 3600.0, None, "1h")[src.below(4)]


def _kind(src):
    kinds = ("discharge", "rainfall", "elevation", "volume", "", "Discharge", "discharge\0", "flow", None, 1)
    return kinds[src.below(len(kinds))]


def _series(src, cls, limit=64, step_limit=None):
    return cls(_sequence(src, limit), _duration(src, step_limit), _kind(src) if src.below(4) == 0 else
               ("rainfall" if cls is I else "discharge"))


def _curve(src, cls):
    x = _sequence(src, 12, sorted_values=True)
    y = _sequence(src, 12, sorted_values=True)
    return cls(x, y)


def _optional(src):
    return None if src.flag() else _number(src, allow_none=True)


def _outlet(src):
    which = src.below(5)
    if which == 0:
        return RU.ConstantDischargeInfo(_number(src), _optional(src), _optional(src))
    if which == 1:
        return RU.SpecifiedDischargeInfo(_series(src, C, 24, 600), _optional(src), _optional(src), _optional(src))
    if which == 2:
        return RU.ControlledDischargeInfo(_curve(src, RU.ElevationDischarge), _optional(src), _optional(src),
                                          _optional(src))
    if which == 3:
        return RU.UnControlledDischargeInfo(_curve(src, RU.ElevationDischarge), _optional(src))
    return (None, 1.0, "weir")[src.below(3)]


def _layer(src):
    count = (1, 2, 3, 0, -1, 2**64)[src.below(6)]
    return quellmar.baseflow.LinearReservoir(_duration(src, 10**6), _number(src), _number(src), count)


def _names(src, n):
    names = ("a", "b", "gate", "weir", "é", "", "a")
    return [names[src.below(len(names))] for _ in range(n)]


def _call(src):
    op = src.below(18)
    rq = quellmar
    if op == 0:
        return _series(src, C, 10**5 if src.below(16) == 0 else 64)
    if op == 1:
        series = _series(src, I)
        series.total_duration()
        return series.disaggregate((60, 900, 3600, 0, -5, 2**40, 7)[src.below(7)] if src.flag() else HostileIndex())
    if op == 2:
        curve = _curve(src, RU.ElevationStorage)
        return curve.get_storage(_number(src)), curve.get_elevation(_number(src))
    if op == 3:
        return _curve(src, RU.ElevationDischarge)
    if op == 4:
        return _outlet(src)
    if op == 5:
        layer = _layer(src)
        for name in ("gw_fraction", "initial_q", "num_reservoir")[: src.below(4)]:
            setattr(layer, name, _number(src) if name != "num_reservoir" else src.integer())
        return layer
    if op == 6:
        return rq.rainfall_loss.run_deficit_and_constant(
            _series(src, I), _number(src), _number(src), _number(src), _duration(src))
    if op == 7:
        rain = _series(src, I, 24, 3600)
        return rq.rainfall_transform.run_clark_uh(rain, _number(src), _duration(src, 20 * 3600),
                                                  _duration(src, 86400))
    if op == 8:
        layers = {name: _layer(src) for name in _names(src, src.below(4))}
        return rq.baseflow.run_linear_reservoir(_number(src), _series(src, I, 48), layers)
    if op == 9:
        inflow = _series(src, C, 64)
        reaches = src.below(6) if src.below(8) else (2**62 if not inflow.data else 3)
        return rq.reach.run_muskingum_routing(inflow, _duration(src), _number(src), reaches, _number(src))
    if op == 10:
        # one second at a time: at most about an hour of simulated time
        inflow = C(_values(src, 12), dt.timedelta(seconds=(1, 10, 60, 300)[src.below(4)]), "discharge")
        outlets = {name: _outlet(src) for name in _names(src, src.below(4))}
        return rq.reservoir.run_level_pool_routing(inflow, _number(src), _curve(src, RU.ElevationStorage), outlets)
    if op == 11:
        use_log = (False, True, None, 1)[src.below(4)]
        return rq.metrics.calculate_kge(_sequence(src), _sequence(src), use_log)
    if op == 12:
        return rq.metrics.calculate_kge(_sequence(src), _sequence(src))
    if op == 13:  # keyword arguments, unknown and missing ones included
        kwargs = {"inflow": _series(src, C, 24), "k": _duration(src), "x": _number(src),
                  "sub_reaches": src.below(4), "initial_outflow": _number(src)}
        for name in list(kwargs)[: src.below(3)]:
            del kwargs[name]
        if src.below(4) == 0:
            kwargs["extra"] = 1
        return rq.reach.run_muskingum_routing(**kwargs)
    if op == 14:  # positional argument counts
        args = [_series(src, I, 24), _number(src), _duration(src, 7200), _duration(src, 7200), 1][: src.below(6)]
        return rq.rainfall_transform.run_clark_uh(*args)
    if op == 15:  # a layer converted after its setters ran
        layer = _layer(src)
        layer.gw_fraction = _number(src)
        return rq.baseflow.run_linear_reservoir(640.0, _series(src, I, 24), {"a": layer, "b": layer})
    if op == 16:
        series = _series(src, C)
        return series.data, series.time_step, series.kind, series.total_duration()
    # objects of the wrong type for a method or descriptor
    target = (U.ContinuousTimeSeries.total_duration, RU.ElevationStorage.get_storage,
              U.IncrementalTimeSeries.disaggregate)[src.below(3)]
    return target(_number(src), 1.0) if src.flag() else target(None)


def one_input(data):
    src = Source(data)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            result = _call(src)
            touch(result)
        except DOCUMENTED:
            pass
        except Hostile:
            pass
        except PanicException as e:
            if str(e) not in KNOWN_PANICS:
                raise FuzzFault(f"PanicException with an unknown message: {e}") from e
        except BaseException as e:  # noqa: BLE001 - everything else is a fault
            raise FuzzFault(f"undocumented {type(e).__name__}: {e}") from e


def main():
    import atheris

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
