"""Hand-made hostile situations the generated fuzz cannot reach by chance:
re-entrant conversions, a tampered warnings module, copying and pickling,
__class__ assignment, subclasses that dodge the constructor, exceptions that
fail to print, and sub-interpreters.  Each must end in a result or a clean
Python exception."""

import copy
import os
import pickle
import subprocess
import sys
import warnings
import weakref

import pytest

import quellmar
from fuzz_values import HOUR, RU, U, Boom, DictSub, OddStr, PanicException

C = U.ContinuousTimeSeries
I = U.IncrementalTimeSeries
LR = quellmar.baseflow.LinearReservoir
mk = quellmar.reach.run_muskingum_routing


def series():
    return C([10.0, 20.0, 30.0], HOUR, "discharge")


class TestReentrancy:
    def test_conversion_calling_back_into_the_module(self):
        class Reenter:
            def __float__(self):
                return quellmar.metrics.calculate_kge([self, 1.0], [1.0, 2.0])

        with pytest.raises(RecursionError):
            quellmar.metrics.calculate_kge([Reenter(), 1.0], [1.0, 2.0])
        # and the module still answers
        assert quellmar.metrics.calculate_kge([1.0, 2.0], [1.0, 2.0]) == pytest.approx(1.0)

    def test_setter_value_that_sets_the_same_layer(self):
        layer = LR(HOUR, 0.5, 1.0)

        class Sneaky:
            def __float__(self):
                layer.initial_q = 7.0  # a nested set while the outer one converts
                return 3.0

        layer.initial_q = Sneaky()
        assert layer.initial_q == 3.0

    def test_argument_that_changes_the_layers_of_the_same_call(self):
        layer = LR(HOUR * 12, 0.5, 1.0)
        rain = I([1.0, 0.0], HOUR, "rainfall")

        class Area:
            def __float__(self):
                layer.num_reservoir = 3
                layer.gw_fraction = 0.25
                return 640.0

        total, flows = quellmar.baseflow.run_linear_reservoir(Area(), rain, {"a": layer})
        # the layer is read after the area: the run sees the new values
        expected, _ = quellmar.baseflow.run_linear_reservoir(640.0, rain, {"a": LR(HOUR * 12, 0.25, 1.0, 3)})
        assert total.data == expected.data


class TestTamperedWarnings:
    @pytest.fixture
    def restore_warn(self):
        original = warnings.warn
        yield
        warnings.warn = original

    @pytest.mark.parametrize(
        "replacement,error",
        [(5, TypeError), (lambda *a, **k: (_ for _ in ()).throw(Boom("warn")), Boom)],
    )
    def test_broken_warn(self, restore_warn, replacement, error):
        warnings.warn = replacement
        with pytest.raises(error):
            mk(series(), HOUR, 0.7, 1, 0.0)
        # x inside the range never calls it
        assert mk(series(), HOUR, 0.2, 1, 0.0).data[0] == 0.0

    def test_warn_that_reenters(self, restore_warn):
        calls = []

        def reenter(message, *a, **k):
            calls.append(message)
            if len(calls) < 5:
                mk(series(), HOUR, 0.9, 1, 0.0)

        warnings.warn = reenter
        assert len(mk(series(), HOUR, 0.9, 1, 0.0).data) == 3
        assert len(calls) == 5

    def test_warnings_module_missing(self, restore_warn, monkeypatch):
        monkeypatch.delattr(warnings, "warn")
        with pytest.raises(AttributeError):
            mk(series(), HOUR, 0.7, 1, 0.0)
        monkeypatch.setitem(sys.modules, "warnings", None)
        with pytest.raises(ImportError):
            mk(series(), HOUR, 0.7, 1, 0.0)


INSTANCES = [
    series(),
    I([1.0], HOUR, "rainfall"),
    LR(HOUR, 0.5, 1.0),
    RU.ElevationStorage([0.0, 1.0], [0.0, 1.0]),
    RU.ElevationDischarge([0.0, 1.0], [0.0, 1.0]),
    RU.ConstantDischargeInfo(1.0),
    RU.SpecifiedDischargeInfo(series()),
    RU.ControlledDischargeInfo(RU.ElevationDischarge([0.0, 1.0], [0.0, 1.0])),
    RU.UnControlledDischargeInfo(RU.ElevationDischarge([0.0, 1.0], [0.0, 1.0])),
    quellmar.rainfall_loss.run_deficit_and_constant(I([1.0], HOUR, "rainfall"), 0.1, 1.0, 0.1, HOUR),
]


class TestObjectProtocols:
    @pytest.mark.parametrize("obj", INSTANCES, ids=lambda o: type(o).__name__)
    @pytest.mark.parametrize("operation", [copy.copy, copy.deepcopy, pickle.dumps, weakref.ref, vars])
    def test_refused_cleanly(self, obj, operation):
        with pytest.raises(TypeError):
            operation(obj)

    def test_subclass_instances_refuse_copying_too(self):
        class Sub(C):
            pass

        s = Sub([1.0], HOUR, "volume")
        for operation in (copy.copy, copy.deepcopy, pickle.dumps):
            with pytest.raises(TypeError):
                operation(s)
        assert weakref.ref(s)() is s  # a Python subclass has a weakref slot

    def test_class_assignment(self):
        class A(C):
            pass

        class A2(C):
            pass

        class B(I):
            pass

        class S(RU.ElevationStorage):
            __slots__ = ()

        class D(RU.ElevationDischarge):
            __slots__ = ()

        a = A([1.0, 2.0], HOUR, "volume")
        for target in (B, I, C):
            with pytest.raises(TypeError):
                a.__class__ = target
        with pytest.raises(TypeError):
            S([0.0, 1.0], [0.0, 1.0]).__class__ = D
        a.__class__ = A2  # same layout: allowed, and the value is intact
        assert type(a) is A2 and a.data == [1.0, 2.0]
        with pytest.raises(TypeError):
            series().__class__ = A

    def test_constructors_cannot_be_dodged(self):
        class Raw(C):
            def __new__(cls):
                return object.__new__(cls)

        class Other(C):
            def __new__(cls):
                return C.__new__(I, [1.0], HOUR, "volume")

        class Result(type(INSTANCES[-1])):
            pass

        for make in (Raw, Other, Result, lambda: object.__new__(Result), lambda: Result.__new__(Result)):
            with pytest.raises(TypeError):
                make()
        with pytest.raises(TypeError):
            type("Sub", (LR,), {})


class TestOddArguments:
    def test_dict_subclass_is_read_by_its_real_entries(self):
        layers = DictSub(a=LR(HOUR * 12, 0.5, 0.0))
        total, flows = quellmar.baseflow.run_linear_reservoir(640.0, I([1.0], HOUR, "rainfall"), layers)
        assert list(flows) == ["a"] and type(flows) is dict

    def test_keys_whose_equality_lies(self):
        outlets = {OddStr("c"): RU.ConstantDischargeInfo(1.0), "d": RU.ConstantDischargeInfo(2.0)}
        result = quellmar.reservoir.run_level_pool_routing(
            C([1.0, 1.0, 1.0], HOUR, "discharge"), 5.0, RU.ElevationStorage([0.0, 10.0], [0.0, 1e6]), outlets)
        assert list(result.reservoir_individual_outflows) == ["c", "d"]
        assert all(type(k) is str for k in result.reservoir_individual_outflows)

    def test_type_error_whose_message_cannot_be_printed(self):
        class Unprintable:
            def __str__(self):
                raise Boom("__str__")

        class Bad:
            def __float__(self):
                raise TypeError(Unprintable())

        with pytest.raises(Boom):
            C([Bad()], HOUR, "volume")

    def test_base_exception_from_a_hook_passes_unchanged(self):
        class Stop(BaseException):
            pass

        class Bad:
            def __index__(self):
                raise Stop()

        with pytest.raises(Stop):
            I([1.0], HOUR, "rainfall").disaggregate(Bad())
        with pytest.raises(Stop):
            LR(HOUR, 0.5, 1.0, Bad())

    def test_panic_exception_is_not_an_exception(self):
        with pytest.raises(PanicException) as e:
            mk(C([], HOUR, "discharge"), HOUR, 0.2, 10**18, 0.0)  # ends at the first segment
        assert not isinstance(e.value, Exception)


SUBINTERPRETER_CODE = """
import sys
sys.path[:0] = {path!r}
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    try:
        import _interpreters as interpreters
    except ImportError:
        print("no subinterpreters")
        raise SystemExit(0)
import quellmar
code = '''
import sys
sys.path[:0] = {path!r}
try:
    import quellmar, datetime as dt
except ImportError as e:
    print("refused:", e)
else:
    class Sub(quellmar.utils.ContinuousTimeSeries):
        pass
    s = Sub([1.0, 2.0], dt.timedelta(hours=1), "discharge")
    quellmar.reach.run_muskingum_routing(s, dt.timedelta(hours=1), 0.2, 1, 0.0)
    try:
        quellmar.reservoir.reservoir_utils.ElevationStorage([], []).get_storage(1.0)
    except BaseException as e:
        print("panic in sub-interpreter:", type(e).__name__)
'''
for _ in range(3):
    i = interpreters.create()
    interpreters.run_string(i, code)
    interpreters.destroy(i)
import datetime as dt
s = quellmar.utils.ContinuousTimeSeries([1.0, 2.0], dt.timedelta(hours=1), "discharge")
print("main:", quellmar.reach.run_muskingum_routing(s, dt.timedelta(hours=1), 0.2, 1, 0.0).data)
"""


def test_legacy_subinterpreters():
    """Sub-interpreters sharing the main GIL: on 3.11 the module loads and
    works in them (sharing its type objects); from 3.12 it refuses to load
    there.  Either way the process survives and the main interpreter works."""
    path = [os.path.dirname(quellmar.__file__)]
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER_CODE.format(path=path)], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    if "no subinterpreters" not in run.stdout:
        assert "main: [0.0, 1.0]" in run.stdout
        if sys.version_info < (3, 12):
            assert run.stdout.count("panic in sub-interpreter: PanicException") == 3
        else:
            assert run.stdout.count("refused:") == 3
