"""ContinuousTimeSeries and IncrementalTimeSeries: construction, reading,
total_duration and disaggregate."""

import datetime as dt

import pytest

import quellmar

C = quellmar.utils.ContinuousTimeSeries
I = quellmar.utils.IncrementalTimeSeries
HOUR = dt.timedelta(hours=1)
BOTH = pytest.mark.parametrize("cls", [C, I], ids=["continuous", "incremental"])


@BOTH
def test_fields_read_back_as_new_objects(cls):
    s = cls((1, 2.5, True), HOUR, "discharge")
    assert s.data == [1.0, 2.5, 1.0]
    assert all(type(v) is float for v in s.data)
    first = s.data
    first.append(99.0)
    assert s.data == [1.0, 2.5, 1.0]
    assert s.data is not s.data
    assert s.time_step == dt.timedelta(seconds=3600) and type(s.time_step) is dt.timedelta
    assert s.kind == "discharge" and type(s.kind) is str


@BOTH
@pytest.mark.parametrize(
    "step,expected",
    [
        (dt.timedelta(seconds=1), dt.timedelta(seconds=1)),
        (dt.timedelta(seconds=90.5), dt.timedelta(seconds=90)),
        (dt.timedelta(seconds=1.9), dt.timedelta(seconds=1)),
        (dt.timedelta(days=1), dt.timedelta(days=1)),
        (dt.timedelta(seconds=100000), dt.timedelta(days=1, seconds=13600)),
        (dt.timedelta(days=999999999), dt.timedelta(seconds=2147483647)),  # saturates
    ],
)
def test_time_step_whole_seconds(cls, step, expected):
    assert cls([1.0], step, "rainfall").time_step == expected


@BOTH
@pytest.mark.parametrize("step", [dt.timedelta(0), dt.timedelta(milliseconds=999)])
def test_time_step_below_one_second(cls, step):
    with pytest.raises(ValueError, match=r"^time_step must be > 0$"):
        cls([1.0], step, "volume")


@BOTH
def test_negative_time_step(cls):
    with pytest.raises(ValueError, match="^`time_step` is negative: a negative timedelta cannot be converted to a duration$"):
        cls([1.0], dt.timedelta(seconds=-1), "volume")


@BOTH
@pytest.mark.parametrize("kind", ["flow", "Discharge", " discharge", "discharge ", ""])
def test_kind_refused_verbatim(cls, kind):
    with pytest.raises(ValueError) as e:
        cls([1.0], HOUR, kind)
    assert str(e.value) == f'kind must be one of ["discharge", "rainfall", "elevation", "volume"]; got \'{kind}\''


@BOTH
@pytest.mark.parametrize("kind", ["discharge", "rainfall", "elevation", "volume"])
def test_allowed_kinds(cls, kind):
    assert cls([], HOUR, kind).kind == kind


@BOTH
def test_order_of_checks(cls):
    # time_step's type before kind; kind before the time step's value.
    with pytest.raises(TypeError, match="^argument 'time_step': 'int' object is not an instance of 'timedelta'$"):
        cls([1.0], 3600, "flow")
    with pytest.raises(ValueError, match="^kind must be one of"):
        cls([1.0], dt.timedelta(0), "flow")
    with pytest.raises(ValueError, match="^kind must be one of"):
        cls([1.0], dt.timedelta(seconds=-5), "flow")
    # data before everything
    with pytest.raises(TypeError, match="^argument 'data'"):
        cls("abc", 3600, 5)


def test_total_duration():
    assert C([], HOUR, "discharge").total_duration() == -3600
    assert I([], HOUR, "rainfall").total_duration() == 0
    assert C([5.0], HOUR, "discharge").total_duration() == 0
    three = dict(data=[1.0, 2.0, 3.0], time_step=dt.timedelta(seconds=900), kind="discharge")
    assert C(**three).total_duration() == 1800
    assert I(**three).total_duration() == 2700
    # 64-bit arithmetic: no wrap-around at the 32-bit limit
    big = I([0.0] * 3, dt.timedelta(seconds=2147483647), "rainfall")
    assert big.total_duration() == 3 * 2147483647
    assert type(C([1.0], HOUR, "discharge").total_duration()) is int


class TestDisaggregate:
    def test_spreads_each_interval(self):
        s = I([4.0, 0.0], HOUR, "volume")
        d = s.disaggregate(900)
        assert type(d) is I
        assert d.data == [1.0] * 4 + [0.0] * 4
        assert d.time_step == dt.timedelta(seconds=900)
        assert d.kind == "volume"
        assert s.data == [4.0, 0.0] and s.time_step == HOUR

    def test_factor_times_value(self):
        # (target / step) * v, not v / ratio
        values = [0.3, 0.7, 1e-3, 123.456]
        d = I(values, dt.timedelta(seconds=3600 * 7), "rainfall").disaggregate(3600)
        assert d.data == [(3600 / 25200) * v for v in values for _ in range(7)]

    @pytest.mark.parametrize("target", [3600, 1800, 30])
    def test_accepted(self, target):
        d = I([1.0], HOUR, "rainfall").disaggregate(target)
        assert len(d.data) == 3600 // target

    def test_bounds(self):
        s = I([1.0], dt.timedelta(seconds=60), "rainfall")
        assert len(s.disaggregate(30).data) == 2
        with pytest.raises(ValueError, match=r"^target_step must be >= 30 seconds\.$"):
            s.disaggregate(29)

    @pytest.mark.parametrize("target", [7200, 700])
    def test_not_a_multiple(self, target):
        with pytest.raises(ValueError) as e:
            I([1.0], HOUR, "rainfall").disaggregate(target)
        assert str(e.value) == f"Original time_step (3600) must be a multiple of target_step ({target})."

    def test_empty_series(self):
        d = I([], HOUR, "rainfall").disaggregate(600)
        assert d.data == [] and d.time_step == dt.timedelta(seconds=600)

    def test_subclass_receiver_gives_base_class(self):
        class Storm(I):
            pass

        d = Storm([2.0], HOUR, "rainfall").disaggregate(1800)
        assert type(d) is I

    @pytest.mark.parametrize(
        "target,exc,message",
        [
            (2**31, OverflowError, "out of range integral type conversion attempted"),
            (-(2**31) - 1, OverflowError, "out of range integral type conversion attempted"),
            (2**63, OverflowError, "Python int too large to convert to C long"),
            (900.0, TypeError, "argument 'target_step': 'float' object cannot be interpreted as an integer"),
            ("900", TypeError, "argument 'target_step': 'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_conversion_failures(self, target, exc, message):
        with pytest.raises(exc) as e:
            I([1.0], HOUR, "rainfall").disaggregate(target)
        assert str(e.value) == message

    def test_keyword_and_binding(self):
        s = I([1.0], HOUR, "rainfall")
        assert s.disaggregate(target_step=1800).data == [0.5, 0.5]
        with pytest.raises(TypeError, match=r"^IncrementalTimeSeries\.disaggregate\(\) missing 1 required"):
            s.disaggregate()
        with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given$"):
            s.disaggregate(1800, 900)

    def test_absurd_size_raises_memory_error(self):
        s = I([1.0] * 1000, dt.timedelta(seconds=2147483640), "rainfall")
        with pytest.raises(MemoryError):
            s.disaggregate(30)

    def test_continuous_has_no_disaggregate(self):
        assert not hasattr(C([1.0], HOUR, "discharge"), "disaggregate")


def test_series_types_are_unrelated():
    assert not issubclass(C, I) and not issubclass(I, C)
