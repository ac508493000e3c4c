"""Series as buffers: numpy and memoryview read a series' values in place,
read-only, and keep the series alive; arrays given to a constructor are
copied once.  Nothing else about the series classes changes."""

import ctypes
import datetime as dt
import gc
import pickle
import sys
import threading

import pytest

import quellmar

np = pytest.importorskip("numpy")

C = quellmar.utils.ContinuousTimeSeries
I = quellmar.utils.IncrementalTimeSeries
HOUR = dt.timedelta(hours=1)
VALUES = [0.5, 2.0, float("nan"), -0.0, 1e300, 7.25]


class Gauge(C):
    pass


class Storm(I):
    pass


def address(a):
    return a.__array_interface__["data"][0]


@pytest.fixture(params=[C, I, Gauge, Storm], ids=lambda c: c.__name__)
def series(request):
    kind = "discharge" if issubclass(request.param, C) else "rainfall"
    return request.param(VALUES, HOUR, kind)


class TestBuffer:
    def test_shape_format_and_values(self, series):
        m = memoryview(series)
        assert (m.format, m.itemsize, m.ndim, m.shape, m.strides) == ("d", 8, 1, (6,), (8,))
        assert m.readonly and m.c_contiguous and m.nbytes == 48
        assert m.obj is series
        a = np.asarray(series)
        assert a.dtype == np.float64 and a.shape == (6,) and a.flags.c_contiguous
        # bit for bit what .data holds (NaN, -0.0 and large values included)
        assert a.tobytes() == m.tobytes() == np.array(series.data).tobytes()

    def test_no_copy(self, series):
        a, b, m = np.asarray(series), np.asarray(series), memoryview(series)
        assert np.shares_memory(a, b) and np.shares_memory(a, m)
        assert address(a) == address(b) == address(np.asarray(m))
        assert not np.shares_memory(a, np.array(series.data))

    def test_read_only(self, series):
        a, m = np.asarray(series), memoryview(series)
        assert not a.flags.writeable and m.readonly
        with pytest.raises(ValueError, match="read-only"):
            a[0] = 1.0
        with pytest.raises(ValueError):
            a.setflags(write=True)
        with pytest.raises(TypeError, match="cannot modify read-only memory"):
            m[0] = 1.0
        with pytest.raises(TypeError, match="not writable"):
            (ctypes.c_double * 6).from_buffer(series)  # asks for a writable buffer
        assert series.data[:2] == [0.5, 2.0]
        b = np.array(series)  # an explicit copy is the caller's own, writable
        b[0] = 9.0
        assert b.flags.writeable and series.data[0] == 0.5

    def test_views_keep_the_series_alive(self):
        s = Gauge([1.0, 2.0, 3.0], HOUR, "discharge")
        s.label = "upstream"
        a, m = np.asarray(s), memoryview(s)[1:]
        del s
        gc.collect()
        _ = [C([99.0] * 3, HOUR, "discharge") for _ in range(100)]  # reuse of freed memory would show
        assert a.tolist() == [1.0, 2.0, 3.0] and m.tolist() == [2.0, 3.0]
        assert a.base.obj.label == "upstream"  # the view holds the series itself

    def test_empty(self):
        for cls in (C, I):
            s = cls([], HOUR, "discharge")
            m, a = memoryview(s), np.asarray(s)
            assert (len(m), m.shape, m.format, m.tobytes()) == (0, (0,), "d", b"")
            assert a.shape == (0,) and a.dtype == np.float64 and a.sum() == 0.0

    def test_reference_counts_flat(self, series):
        before = sys.getrefcount(series)
        views = [memoryview(series) for _ in range(10)]
        assert sys.getrefcount(series) == before + 10
        del views
        for _ in range(500):
            np.asarray(series).sum()
            memoryview(series).tobytes()
            with pytest.raises(TypeError):
                (ctypes.c_double * 6).from_buffer(series)
        gc.collect()
        assert sys.getrefcount(series) == before

    def test_exports_release_their_memory(self, series):
        import tracemalloc

        for _ in range(10):
            memoryview(series).release()
        tracemalloc.start()
        try:
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(20_000):
                memoryview(series).release()
            grown = tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()
        assert grown < 20_000 * 16 // 4  # the shape block of every view is freed

    def test_routine_results(self):
        inflow = C([10.0, 20.0, 30.0, 20.0, 10.0], HOUR, "discharge")
        routed = quellmar.reach.run_muskingum_routing(inflow, HOUR, 0.2, 1, 10.0)
        assert np.asarray(routed).tolist() == routed.data
        excess = I([0.0, 0.5, 1.0, 0.25], HOUR, "rainfall")
        hydrograph = quellmar.rainfall_transform.run_clark_uh(excess, 640.0, 3 * HOUR, 2 * HOUR)
        assert np.asarray(hydrograph).tolist() == hydrograph.data
        result = quellmar.rainfall_loss.run_deficit_and_constant(excess, 0.2, 1.0, 0.1, 12 * HOUR)
        loss = np.asarray(result.loss)  # a field read gives a new series; the view keeps it
        del result
        assert loss.tolist() == quellmar.rainfall_loss.run_deficit_and_constant(
            excess, 0.2, 1.0, 0.1, 12 * HOUR).loss.data

    def test_views_read_from_several_threads(self):
        s = C(np.linspace(0.0, 1.0, 50_001), HOUR, "discharge")
        want = np.array(s.data).tobytes()
        errors = []
        barrier = threading.Barrier(4)

        def reader():
            barrier.wait()
            try:
                for _ in range(200):
                    a, m = np.asarray(s), memoryview(s)
                    if a.tobytes() != want or not np.shares_memory(a, m):
                        errors.append("values differ")
                    del a, m
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))

        refs = sys.getrefcount(s)
        threads = [threading.Thread(target=reader) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert sys.getrefcount(s) == refs

    def test_nothing_else_changes(self, series):
        cls = type(series)
        with pytest.raises(TypeError):
            len(series)
        with pytest.raises(TypeError):
            iter(series)
        with pytest.raises(TypeError):
            series[0]
        if cls in (C, I):
            with pytest.raises(TypeError, match="cannot pickle"):
                pickle.dumps(series)
        assert repr(series).startswith(f"<{cls.__module__}.{cls.__qualname__} object at 0x")
        first, second = series.data, series.data
        assert first is not second and first[:2] == [0.5, 2.0]
        first[0] = 5.0
        assert np.asarray(series)[0] == 0.5
        # not a sequence, but its buffer makes it a values argument, as its
        # array or memoryview is, with the same values
        bits = np.asarray(series).tobytes()
        assert np.array(C(series, HOUR, "discharge").data).tobytes() == bits
        kge = quellmar.metrics.calculate_kge
        finite = C(series.data[:2], HOUR, "discharge")
        assert kge(finite, finite) == kge(finite.data, finite.data)

    def test_memoryviews_as_arguments(self):
        sim = C([1.0, 2.0, 3.0], HOUR, "discharge")
        obs = C([1.0, 2.0, 4.0], HOUR, "discharge")
        kge = quellmar.metrics.calculate_kge
        assert kge(memoryview(sim), np.asarray(obs)) == kge(sim.data, obs.data)

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ exists from 3.12 on")
    def test_buffer_dunder(self, series):
        import inspect

        m = series.__buffer__(inspect.BufferFlags.FULL_RO)
        assert isinstance(m, memoryview) and m.tolist()[:2] == [0.5, 2.0]
        m.release()
        raw = series.__buffer__(inspect.BufferFlags.SIMPLE)  # no format asked: plain bytes
        assert (raw.format, raw.nbytes) == ("B", 48)
        with pytest.raises(BufferError, match=r"^Object is not writable\.$"):
            series.__buffer__(inspect.BufferFlags.WRITABLE)


class TestArraysIn:
    """A numpy array given as values is copied once into the series; every
    layout and dtype gives exactly the values that its list would."""

    def test_one_copy_not_shared(self):
        a = np.linspace(1.0, 2.0, 11)
        s = C(a, HOUR, "discharge")
        assert not np.shares_memory(np.asarray(s), a)
        a[:] = 0.0
        assert s.data == np.linspace(1.0, 2.0, 11).tolist()

    @pytest.mark.parametrize(
        "make",
        [
            lambda a: a,
            lambda a: a[::3],
            lambda a: a[::-1],
            lambda a: a.reshape(4, 5)[:, 2],  # a column
            lambda a: np.broadcast_to(a[3], (7,)),  # stride 0
            lambda a: a.astype(">f8"),  # not native: item by item
            lambda a: a.astype(np.float32),
            lambda a: np.arange(-10, 10, dtype=np.int64) * 123_456_789_012,
            lambda a: memoryview(a)[::2],
            lambda a: np.array([], dtype=np.float64)[::2],
        ],
        ids=["contiguous", "step3", "reversed", "column", "stride0", "big-endian", "float32", "int64",
             "memoryview-step2", "empty-strided"],
    )
    def test_layouts_and_dtypes(self, make):
        rng = np.random.default_rng(3)
        a = rng.normal(0.0, 1e3, 20)
        a[5], a[6] = np.nan, -0.0
        given = make(a)
        want = np.array([float(v) for v in given.tolist()], dtype=np.float64)
        got = np.asarray(C(given, HOUR, "discharge"))
        assert got.tobytes() == want.tobytes()

    def test_two_dimensional_refused(self):
        with pytest.raises(TypeError, match="^argument 'data': "):
            C(np.zeros((2, 2)), HOUR, "discharge")

    def test_muskingum_arrays_in_and_out(self):
        rng = np.random.default_rng(5)
        flows = 100.0 + rng.gamma(2.0, 30.0, 5000)
        routed = quellmar.reach.run_muskingum_routing(C(flows, HOUR, "discharge"), 3 * HOUR, 0.2, 1, flows[0])
        out = np.asarray(routed)
        want = quellmar.reach.run_muskingum_routing(C(flows.tolist(), HOUR, "discharge"), 3 * HOUR, 0.2, 1,
                                                    float(flows[0])).data
        assert out.tobytes() == np.array(want).tobytes()
