"""Argument binding and conversion, as every callable sees it (exercised
through the series constructors, whose parameters cover the common kinds)."""

import array
import concurrent.futures
import copy
import datetime as dt
import pickle
import subprocess
import sys

import pytest

import quellmar
from helpers import panic_in_worker

C = quellmar.utils.ContinuousTimeSeries
I = quellmar.utils.IncrementalTimeSeries
HOUR = dt.timedelta(hours=1)


def data_of(value):
    return C(value, HOUR, "discharge").data


class TestBinding:
    @pytest.mark.parametrize(
        "args,kwargs,message",
        [
            ((), {}, "missing 3 required positional arguments: 'data', 'time_step', and 'kind'"),
            (([1.0],), {}, "missing 2 required positional arguments: 'time_step' and 'kind'"),
            (([1.0], HOUR), {}, "missing 1 required positional argument: 'kind'"),
            (([1.0], HOUR, "volume", 4), {}, "takes 3 positional arguments but 4 were given"),
            (([1.0], HOUR, "volume"), {"unit": "cfs"}, "got an unexpected keyword argument 'unit'"),
            (([1.0], HOUR), {"data": [2.0], "kind": "volume"}, "got multiple values for argument 'data'"),
            # keywords are examined before the positional count
            (([1.0], HOUR, "volume", 4), {"unit": 1}, "got an unexpected keyword argument 'unit'"),
        ],
    )
    def test_binding_failures(self, args, kwargs, message):
        with pytest.raises(TypeError) as e:
            C(*args, **kwargs)
        assert str(e.value) == "ContinuousTimeSeries.__new__() " + message

    def test_keywords_in_any_order(self):
        s = C(kind="rainfall", data=(3, 4), time_step=HOUR)
        assert s.data == [3.0, 4.0] and s.kind == "rainfall"
        s = I([1.0], kind="volume", time_step=HOUR)
        assert s.kind == "volume"

    def test_method_binding_names_class_and_method(self):
        with pytest.raises(TypeError, match=r"^IncrementalTimeSeries\.disaggregate\(\) got an unexpected keyword"):
            I([1.0], HOUR, "rainfall").disaggregate(step=60)


class TestVectorConversion:
    @pytest.mark.parametrize(
        "value,expected",
        [
            ([1, 2.5, True], [1.0, 2.5, 1.0]),
            ((1, 2), [1.0, 2.0]),
            (range(3), [0.0, 1.0, 2.0]),
            (b"\x01\xff", [1.0, 255.0]),
            ([], []),
            (array.array("d", [0.1, 0.2]), [0.1, 0.2]),
            (array.array("i", [4, 5]), [4.0, 5.0]),
            (memoryview(array.array("d", [7.5])), [7.5]),
            ([float("nan")], [float("nan")]),
        ],
    )
    def test_accepted(self, value, expected):
        got = data_of(value)
        assert [repr(v) for v in got] == [repr(v) for v in expected]

    @pytest.mark.parametrize(
        "value,message",
        [
            ("123", "Can't extract `str` to `Vec`"),
            (5, "'int' object is not an instance of 'Sequence'"),
            (None, "'None' is not an instance of 'Sequence'"),
            ({1: 2.0}, "'dict' object is not an instance of 'Sequence'"),
            ({1.0}, "'set' object is not an instance of 'Sequence'"),
            ((x for x in [1.0]), "'generator' object is not an instance of 'Sequence'"),
            (iter([1.0]), "'list_iterator' object is not an instance of 'Sequence'"),
            ([1.0, "x"], "must be real number, not str"),
            ([None], "must be real number, not NoneType"),
        ],
    )
    def test_refused(self, value, message):
        with pytest.raises(TypeError) as e:
            data_of(value)
        assert str(e.value) == "argument 'data': " + message

    def test_str_subclass_refused(self):
        class Name(str):
            pass

        with pytest.raises(TypeError, match="^argument 'data': Can't extract `str` to `Vec`$"):
            data_of(Name("12"))

    def test_items_through_float_and_index(self):
        class F:
            def __float__(self):
                return 2.25

        class Ix:
            def __index__(self):
                return 7

        class Sub(float):
            pass

        assert data_of([F(), Ix(), Sub(1.5)]) == [2.25, 7.0, 1.5]

    def test_int_too_large_for_a_float(self):
        with pytest.raises(OverflowError):
            data_of([10**400])

    def test_lying_or_failing_len(self):
        class Lying:
            def __init__(self, length):
                self.length = length

            def __len__(self):
                if isinstance(self.length, Exception):
                    raise self.length
                return self.length

            def __getitem__(self, i):
                if i < 3:
                    return float(i)
                raise IndexError(i)

        for length in (2**62, 0, 1, RuntimeError("no length")):
            assert data_of(Lying(length)) == [0.0, 1.0, 2.0]

    def test_failing_iteration_propagates(self):
        class Broken:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                raise KeyError("inside")

        with pytest.raises(KeyError):
            data_of(Broken())

    def test_list_changed_by_an_item_is_read_like_iter(self):
        values = [1.0, None, 3.0, 4.0]

        class Shrinker:
            def __float__(self):
                del values[2:]
                return 2.0

        values[1] = Shrinker()
        assert data_of(values) == [1.0, 2.0]

    def test_list_subclass_iterates_its_own_way(self):
        class Reversed(list):
            def __iter__(self):
                return iter(list(reversed(self)))

        assert data_of(Reversed([1.0, 2.0, 3.0])) == [3.0, 2.0, 1.0]

    def test_numpy_arrays(self):
        np = pytest.importorskip("numpy")
        base = np.array([0.5, np.nan, -np.inf, 1e300])
        assert [repr(v) for v in data_of(base)] == [repr(float(v)) for v in base]
        assert data_of(np.arange(4)) == [0.0, 1.0, 2.0, 3.0]
        assert data_of(base[::2])[0] == 0.5 and len(data_of(base[::-1])) == 4
        assert data_of(np.array([1.5], dtype=">f8")) == [1.5]
        assert data_of(np.array([1.5], dtype=np.float32)) == [1.5]
        assert data_of(np.zeros(0)) == []
        with pytest.raises(TypeError, match="^argument 'data': "):
            data_of(np.ones((2, 2)))


class TestArgumentErrorWrapping:
    def test_type_error_keeps_its_cause(self):
        cause = KeyError("original")

        class Bad:
            def __float__(self):
                raise TypeError("cannot convert") from cause

        with pytest.raises(TypeError) as e:
            data_of([Bad()])
        assert str(e.value) == "argument 'data': cannot convert"
        assert e.value.__cause__ is cause

    def test_type_error_without_cause(self):
        class Bad:
            def __float__(self):
                raise TypeError("plain")

        with pytest.raises(TypeError) as e:
            data_of([Bad()])
        assert e.value.__cause__ is None

    @pytest.mark.parametrize("exc", [ValueError("v"), ZeroDivisionError("z"), OverflowError("o")])
    def test_other_failures_pass_unchanged(self, exc):
        class Bad:
            def __float__(self):
                raise exc

        with pytest.raises(type(exc)) as e:
            data_of([Bad()])
        assert e.value is exc

    def test_type_error_subclass_passes_unchanged(self):
        class MyTypeError(TypeError):
            pass

        class Bad:
            def __float__(self):
                raise MyTypeError("mine")

        with pytest.raises(MyTypeError, match="^mine$"):
            data_of([Bad()])


class TestScalarKinds:
    def test_timedelta_subclass_accepted(self):
        class Step(dt.timedelta):
            pass

        assert C([1.0], Step(minutes=5), "volume").time_step == dt.timedelta(minutes=5)

    @pytest.mark.parametrize("step", [3600, 3600.0, None, "1h"])
    def test_timedelta_refused(self, step):
        with pytest.raises(TypeError) as e:
            C([1.0], step, "volume")
        name = "None' is" if step is None else f"{type(step).__name__}' object is"
        assert str(e.value) == f"argument 'time_step': '{name} not an instance of 'timedelta'"

    def test_str_subclass_accepted_for_text(self):
        class Kind(str):
            pass

        s = C([1.0], HOUR, Kind("volume"))
        assert type(s.kind) is str and s.kind == "volume"

    def test_text_without_utf8_form(self):
        with pytest.raises(UnicodeEncodeError):
            C([1.0], HOUR, "\ud800")

    def test_numpy_bool_by_name_and_module(self):
        kge = quellmar.metrics.calculate_kge
        sim, obs = [1.0, 2.0, 3.0], [1.0, 2.0, 4.0]

        def scalar(name, module, truth=True):
            cls = type(name, (), {"__bool__": lambda self: truth})
            cls.__module__ = module
            return cls()

        # numpy 1 and 2 names, whatever the C-level name of the type
        for name in ("bool_", "bool"):
            assert kge(sim, obs, scalar(name, "numpy")) == kge(sim, obs, True)
            assert kge(sim, obs, scalar(name, "numpy", False)) == kge(sim, obs, False)
        for name, module in [("bool_", "numpyx"), ("bool_", "numpy.core"), ("Bool_", "numpy"),
                             ("bool8", "numpy"), ("int_", "numpy"), ("bool_", None)]:
            obj = scalar(name, module)
            with pytest.raises(TypeError) as e:
                kge(sim, obs, obj)
            assert str(e.value) == f"argument 'use_log': '{name}' object is not an instance of 'bool'"

    def test_numpy_bool_whose_module_cannot_be_read(self):
        class Meta(type):
            @property
            def __module__(cls):
                raise RuntimeError("no module")

        class bool_(metaclass=Meta):  # noqa: N801 - the name is the point
            pass

        with pytest.raises(TypeError, match="object is not an instance of 'bool'$"):
            quellmar.metrics.calculate_kge([1.0], [1.0], bool_())

    def test_bool_passes_as_index(self):
        with pytest.raises(ValueError, match="^target_step must be >= 30 seconds.$"):
            I([1.0], HOUR, "rainfall").disaggregate(True)


class TestNoLeaks:
    def test_failing_constructions(self, no_leak):
        data = [1.0, 2.0, 3.0]
        item = 2.5
        step = dt.timedelta(hours=1)
        bad_kind = "flow"
        no_leak(lambda: C(data, step, bad_kind), data, step, bad_kind)
        no_leak(lambda: C([item, "x"], step, "volume"), item)
        no_leak(lambda: C(data, 3600, "volume"), data)
        no_leak(lambda: C(data, step, "volume", 1), data, step)
        no_leak(lambda: C(data, dt.timedelta(0), "volume"), data)

    def test_successful_use(self, no_leak):
        data = [1.0, 2.0]
        step = dt.timedelta(hours=1)
        s = I(data, step, "rainfall")
        no_leak(lambda: I(data, step, "rainfall"), data, step)
        no_leak(lambda: (s.data, s.time_step, s.kind, s.total_duration(), s.disaggregate(600)), s)
        no_leak(lambda: s.disaggregate(7), s)


class TestPanicException:
    @staticmethod
    def panic():
        empty = C([], HOUR, "discharge")
        try:
            quellmar.reach.run_muskingum_routing(empty, HOUR, 0.2, 1, 0.0)
        except BaseException as e:  # noqa: B036 - the point is what it derives from
            return e
        raise AssertionError("no failure")

    def test_type_facts(self):
        exc = self.panic()
        cls = type(exc)
        assert cls.__name__ == "PanicException" and cls.__module__ == "ostrel_runtime"
        assert cls.__bases__ == (BaseException,)
        assert not isinstance(exc, Exception)
        assert "BaseException" in cls.__doc__
        assert exc.args == ("index out of bounds: the len is 0 but the index is 0",)
        assert str(exc) == "index out of bounds: the len is 0 but the index is 0"
        assert type(self.panic()) is cls  # created once

    def test_not_an_attribute_of_any_module(self):
        cls = type(self.panic())
        modules = [quellmar] + [getattr(quellmar, n) for n in quellmar.__all__]
        modules.append(quellmar.reservoir.reservoir_utils)
        for module in modules:
            assert all(getattr(module, name) is not cls for name in dir(module))

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickles_as_the_same_type(self, protocol):
        exc = self.panic()
        exc.add_note("while routing reach 7")
        back = pickle.loads(pickle.dumps(exc, protocol))
        assert type(back) is type(exc)
        assert back.args == exc.args and str(back) == str(exc)
        assert back.__notes__ == ["while routing reach 7"]
        assert type(copy.copy(exc)) is type(exc) and copy.deepcopy(exc).args == exc.args

    def test_unpickled_where_no_panic_happened_yet(self):
        data = pickle.dumps(self.panic())
        code = (
            "import pickle, sys\n"
            "e = pickle.loads(sys.stdin.buffer.read())\n"
            "t = type(e)\n"
            "print(t.__module__, t.__name__, t.__bases__ == (BaseException,), e.args[0])\n"
        )
        run = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, check=True)
        assert run.stdout.decode().strip() == (
            "ostrel_runtime PanicException True index out of bounds: the len is 0 but the index is 0"
        )

    def test_reaches_the_caller_from_a_worker_process(self):
        cls = type(self.panic())
        with concurrent.futures.ProcessPoolExecutor(1) as pool:
            future = pool.submit(panic_in_worker, 3)
            with pytest.raises(BaseException) as info:
                future.result()
        exc = info.value
        assert type(exc) is cls
        assert str(exc) == "index out of bounds: the len is 0 but the index is 0"
        assert exc.__notes__ == ["member 3"]
        assert "run_muskingum_routing" in str(exc.__cause__)  # the worker's traceback

    def test_rebuild_helper_is_not_exported(self):
        assert "_rebuild_panic" not in quellmar.__all__
        assert quellmar._rebuild_panic.__module__ == "quellmar"
        exc = quellmar._rebuild_panic("message")
        assert type(exc) is type(self.panic()) and exc.args == ("message",)

    def test_passes_through_except_exception(self):
        with pytest.raises(BaseException) as info:
            try:
                quellmar.reach.run_muskingum_routing(C([], HOUR, "discharge"), HOUR, 0.2, 1, 0.0)
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught as an Exception")
        assert type(info.value).__name__ == "PanicException"


@pytest.mark.parametrize("length", [2**62, 2**70])
def test_sized_sequence_too_large_to_hold_fails_early(length):
    """A length that could never be held is believed once 2**20 values have
    been read and more keep coming; a sequence that only claims it is read."""
    reads = []

    class Claims:
        def __init__(self, real):
            self.real = real

        def __len__(self):
            return length

        def __getitem__(self, i):
            if i >= self.real:
                raise IndexError(i)
            reads.append(i)
            return 1.0

    with pytest.raises(MemoryError):
        quellmar.utils.ContinuousTimeSeries(Claims(2**62), HOUR, "discharge")
    assert len(reads) == 2**20 + 1
    assert quellmar.utils.ContinuousTimeSeries(Claims(3), HOUR, "discharge").data == [1.0, 1.0, 1.0]


def _long_muskingum():
    # 1.25e11 sweeps of eight segments: hours, unless interrupted
    return quellmar.reach.run_muskingum_routing(C([1.0, 2.0, 3.0], HOUR, "discharge"), HOUR, 0.2, 10**12, 1.0)


def _long_level_pool():
    # ten years of hourly inflow: 3.2e8 simulated seconds, seconds of work
    ru = quellmar.reservoir.reservoir_utils
    return quellmar.reservoir.run_level_pool_routing(
        C([10.0] * (24 * 365 * 10), HOUR, "discharge"), 50.0, ru.ElevationStorage([0, 100], [0, 1e15]),
        {"c": ru.ConstantDischargeInfo(10.0)})


@pytest.mark.skipif(sys.platform == "win32", reason="sends itself SIGINT with os.kill, a POSIX signal")
@pytest.mark.parametrize("long_run", [_long_muskingum, _long_level_pool], ids=["muskingum", "level_pool"])
def test_ctrl_c_stops_a_long_run(long_run):
    """A real SIGINT (the C-level flag, as a terminal's Ctrl-C sets it) reaches
    a run that works without the interpreter lock within a fraction of a
    second as KeyboardInterrupt; the module works normally afterwards."""
    import os
    import signal
    import threading
    import time

    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.3, interrupt)
    try:
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            long_run()
        arrived = time.monotonic()
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    # about a millisecond on an idle machine; the bound leaves room for a busy one
    assert arrived - sent[0] < 1.0
    assert quellmar.reach.run_muskingum_routing(C([1.0, 2.0], HOUR, "discharge"), HOUR, 0.2, 3, 1.0).data[0] == 1.0
