"""Leak checks: every routine's success path and its error paths, repeated
many times after a warm-up, must leave the reference counts of the argument
objects (and of their elements), the number of interpreter memory blocks, the
bytes the C allocator holds and the process's resident memory where they were.

QUELLMAR_LEAK_ITERATIONS sets the repetitions per case (default 2000)."""

import ctypes
import ctypes.util
import datetime as dt
import gc
import os
import sys
import warnings

import pytest

if sys.platform == "win32":
    pytest.skip("the leak checks read resident memory from /proc/self/statm and the C heap through glibc's "
                "mallinfo2", allow_module_level=True)

import quellmar  # noqa: E402
from fuzz_values import (  # noqa: E402
    FloatRaises,
    HOUR,
    IncrementalSub,
    ContinuousSub,
    PanicException,
    RU,
    U,
    np,
)

C = U.ContinuousTimeSeries
I = U.IncrementalTimeSeries
LR = quellmar.baseflow.LinearReservoir
ITERATIONS = int(os.environ.get("QUELLMAR_LEAK_ITERATIONS", "2000"))
WARMUP = 500
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# Figures of the last run, written out on request (tools/run_checks.sh).
TOTALS = {"cases": 0, "calls": 0}


@pytest.fixture(scope="module", autouse=True)
def _report_totals():
    yield
    path = os.environ.get("QUELLMAR_FUZZ_REPORT")
    if path:
        with open(path, "a") as out:
            out.write("leak cases={cases} calls={calls}\n".format(**TOTALS))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _malloc_in_use_function():
    if UNDER_ASAN:
        return None  # the sanitizer's allocator keeps its own books
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    mallinfo2.restype = _Mallinfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


malloc_in_use = _malloc_in_use_function()


def members(obj):
    """The argument and the objects inside it whose counts a leak would raise."""
    out = [obj]
    if isinstance(obj, (list, tuple)):
        out.extend(obj)
    elif isinstance(obj, dict):
        for k, v in obj.items():
            out.extend((k, v))
    return out


def run_case(fn, args, kwargs, expect):
    """Runs one case ITERATIONS times; returns what grew."""

    def once():
        try:
            fn(*args, **kwargs)
        except expect:
            pass

    # (None, the booleans and the small integers are shared by everything:
    # their counts move anyway.  Interned strings such as 'discharge' are
    # shared too: an object of an earlier test freed meanwhile moves their
    # count by one or two, so only a drift that grows with the number of
    # calls counts, as a reference kept or dropped per call would.)
    watched = [m for a in list(args) + list(kwargs.values()) for m in members(a)
               if m is not None and type(m) is not bool and not (type(m) is int and -5 <= m <= 256)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # the outcome is the one expected
        if expect != ():
            with pytest.raises(expect):
                fn(*args, **kwargs)
        for _ in range(WARMUP):
            once()
        gc.collect()
        counts = [sys.getrefcount(m) for m in watched]
        blocks = sys.getallocatedblocks()
        heap = malloc_in_use() if malloc_in_use else 0
        rss = rss_bytes()
        for _ in range(ITERATIONS):
            once()
        gc.collect()
        grown = {
            "refcounts": [(repr(m)[:40], after - before) for m, before, after in
                          zip(watched, counts, [sys.getrefcount(m) for m in watched])
                          if abs(after - before) >= ITERATIONS // 8],
            "blocks": sys.getallocatedblocks() - blocks,
            "heap": (malloc_in_use() - heap) if malloc_in_use else 0,
            "rss": rss_bytes() - rss,
        }
    TOTALS["cases"] += 1
    TOTALS["calls"] += ITERATIONS + WARMUP
    return grown


# ---------------------------------------------------------------------------
# The cases: (id, callable, args, kwargs, expected exception or ())

DATA = [float(i % 13) * 0.5 for i in range(64)]
RAIN = [0.0, 0.25, 1.0, 0.5, 0.0, 0.1] * 10


def with_error_filter(fn, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        return fn(*args)


def cases():
    R = RU
    curve = R.ElevationDischarge([100.0, 105.0, 110.0], [0.0, 20.0, 50.0])
    storage = R.ElevationStorage([0.0, 5.0, 10.0], [0.0, 5e4, 1e5])
    flow = C([10.0, 20.0, 30.0, 20.0, 10.0] * 4, dt.timedelta(seconds=60), "discharge")
    release = C([5.0, 6.0, 7.0] * 10, dt.timedelta(seconds=60), "discharge")
    outlets = {
        "constant": R.ConstantDischargeInfo(2.0, 0.5, 9.0),
        "specified": R.SpecifiedDischargeInfo(release, None, None, 6.5),
        "controlled": R.ControlledDischargeInfo(R.ElevationDischarge([0.0, 10.0], [0.0, 5.0]), maximum_release=4.0),
        "spillway": R.UnControlledDischargeInfo(R.ElevationDischarge([8.0, 10.0], [0.0, 100.0]), -0.5),
    }
    rain = I(RAIN, HOUR, "rainfall")
    layers = {"fast": LR(dt.timedelta(hours=6), 0.3, 1.0, 2), "slow": LR(dt.timedelta(hours=48), 0.5, 2.0, 3)}
    reservoir = LR(dt.timedelta(hours=12), 0.4, 1.5)
    empty = C([], HOUR, "discharge")
    short = C([1.0, 1.0], dt.timedelta(seconds=60), "discharge")
    run_lp = quellmar.reservoir.run_level_pool_routing
    mk = quellmar.reach.run_muskingum_routing
    kge = quellmar.metrics.calculate_kge
    baseflow = quellmar.baseflow.run_linear_reservoir
    loss = quellmar.rainfall_loss.run_deficit_and_constant
    clark = quellmar.rainfall_transform.run_clark_uh
    result = run_lp(flow, 2.0, storage, outlets)
    loss_result = loss(rain, 0.5, 1.0, 0.1, HOUR)
    out = [
        # time series
        ("series", C, (DATA, HOUR, "discharge"), {}, ()),
        ("series-subclass", ContinuousSub, (tuple(DATA), HOUR, "discharge"), {}, ()),
        ("series-keywords", I, (), {"kind": "rainfall", "data": DATA, "time_step": HOUR}, ()),
        ("series-str-data", C, ("text", HOUR, "discharge"), {}, TypeError),
        ("series-bad-item", C, ([1.0, "x"], HOUR, "discharge"), {}, TypeError),
        ("series-raising-item", C, ([1.0, FloatRaises()], HOUR, "discharge"), {}, Exception),
        ("series-int-step", C, (DATA, 3600, "discharge"), {}, TypeError),
        ("series-not-sequence", C, (5, HOUR, "discharge"), {}, TypeError),
        ("series-kind-type", I, (DATA, HOUR, 5), {}, TypeError),
        ("series-bad-kind", C, (DATA, HOUR, "flow"), {}, ValueError),
        ("series-negative-step", C, (DATA, dt.timedelta(seconds=-1), "volume"), {}, ValueError),
        ("series-zero-step", C, (DATA, dt.timedelta(0), "volume"), {}, ValueError),
        ("series-missing", C, (DATA,), {}, TypeError),
        ("series-unknown-keyword", C, (DATA, HOUR, "volume"), {"unit": "cfs"}, TypeError),
        ("series-twice", C, (DATA, HOUR), {"data": DATA, "kind": "volume"}, TypeError),
        ("series-data", lambda s: s.data, (flow,), {}, ()),
        ("series-time-step", lambda s: s.time_step, (flow,), {}, ()),
        ("series-kind", lambda s: s.kind, (flow,), {}, ()),
        ("total-duration", lambda s: s.total_duration(), (rain,), {}, ()),
        ("disaggregate", lambda s, t: s.disaggregate(t), (rain, 900), {}, ()),
        ("disaggregate-short", lambda s, t: s.disaggregate(t), (rain, 29), {}, ValueError),
        ("disaggregate-multiple", lambda s, t: s.disaggregate(t), (rain, 700), {}, ValueError),
        ("disaggregate-overflow", lambda s, t: s.disaggregate(t), (rain, 2**31), {}, OverflowError),
        ("disaggregate-type", lambda s, t: s.disaggregate(t), (rain, "60"), {}, TypeError),
        # rating curves
        ("storage-curve", R.ElevationStorage, (DATA[:1] + [1.0, 2.0], [0.0, 1.0, 2.0]), {}, ()),
        ("storage-curve-length", R.ElevationStorage, ([1.0, 2.0], [0.0]), {}, ValueError),
        ("storage-curve-order", R.ElevationStorage, ([2.0, 1.0], [0.0, 1.0]), {}, ValueError),
        ("storage-curve-storage-order", R.ElevationStorage, ([1.0, 2.0], [1.0, 1.0]), {}, ValueError),
        ("get-storage", lambda c, x: c.get_storage(x), (storage, 2.5), {}, ()),
        ("get-storage-range", lambda c, x: c.get_storage(x), (storage, 11.0), {}, ValueError),
        ("get-storage-nan", lambda c, x: c.get_storage(x), (storage, float("nan")), {}, PanicException),
        ("get-elevation", lambda c, x: c.get_elevation(x), (storage, 7e4), {}, ()),
        ("get-elevation-range", lambda c, x: c.get_elevation(x), (storage, -1.0), {}, ValueError),
        ("get-storage-type", lambda c, x: c.get_storage(x), (storage, "1"), {}, TypeError),
        ("get-elevation-short-curve", lambda c, x: c.get_elevation(x), (R.ElevationStorage([1.0], [2.0]), 2.0), {},
         PanicException),
        ("discharge-curve", R.ElevationDischarge, ([1.0, 2.0, 3.0], [0.0, 0.0, 4.0]), {}, ()),
        ("discharge-curve-short", R.ElevationDischarge, ([1.0], [0.0]), {}, ValueError),
        ("discharge-curve-length", R.ElevationDischarge, ([1.0, 2.0], [0.0]), {}, ValueError),
        ("discharge-curve-elevation-order", R.ElevationDischarge, ([2.0, 1.0], [0.0, 1.0]), {}, ValueError),
        ("discharge-curve-order", R.ElevationDischarge, ([1.0, 2.0], [1.0, 0.0]), {}, ValueError),
        ("curve-attributes", lambda c: (c.elevation, c.discharge), (curve,), {}, ()),
        # outlets
        ("constant-outlet", R.ConstantDischargeInfo, (5.0, 1.0, None), {}, ()),
        ("constant-outlet-type", R.ConstantDischargeInfo, ("5",), {}, TypeError),
        ("specified-outlet", R.SpecifiedDischargeInfo, (release,), {"maximum_release": 3.0}, ()),
        ("specified-outlet-type", R.SpecifiedDischargeInfo, (rain,), {}, TypeError),
        ("controlled-outlet", R.ControlledDischargeInfo, (curve, 90.0, 120.0, 30.0), {}, ()),
        ("controlled-outlet-type", R.ControlledDischargeInfo, (storage,), {}, TypeError),
        ("uncontrolled-outlet", R.UnControlledDischargeInfo, (curve, 2.0), {}, ()),
        ("uncontrolled-outlet-type", R.UnControlledDischargeInfo, (curve, "2"), {}, TypeError),
        ("outlet-gate-type", R.ConstantDischargeInfo, (5.0,), {"maximum_elevation": [1.0]}, TypeError),
        ("result-record-constructor", type(result), (), {}, TypeError),
        ("outlet-attributes", lambda o: [getattr(o, a) for a in ("elevation_discharge", "minimum_elevation",
                                                                   "maximum_elevation", "maximum_release")],
         (outlets["controlled"],), {}, ()),
        ("specified-attributes", lambda o: (o.discharge, o.maximum_release), (outlets["specified"],), {}, ()),
        # level pool routing
        ("level-pool", run_lp, (flow, 2.0, storage, outlets), {}, ()),
        ("level-pool-result", lambda r: (r.reservoir_storage, r.reservoir_elevation, r.reservoir_total_outflow,
                                         r.reservoir_individual_outflows), (result,), {}, ()),
        ("level-pool-initial-range", run_lp, (flow, 11.0, storage, outlets), {}, ValueError),
        ("level-pool-outlet-error", run_lp, (flow, 2.0, storage,
                                             {"c": R.ControlledDischargeInfo(R.ElevationDischarge([0.0, 1.0],
                                                                                                  [0.0, 1.0]))}),
         {}, ValueError),
        ("level-pool-release-too-short", run_lp, (flow, 2.0, storage, {"s": R.SpecifiedDischargeInfo(short)}), {},
         ValueError),
        ("level-pool-spillway-above", run_lp, (flow, 9.5, storage,
                                               {"u": R.UnControlledDischargeInfo(R.ElevationDischarge([0.0, 9.0],
                                                                                                      [0.0, 1.0]))}),
         {}, ValueError),
        ("level-pool-nan-elevation", run_lp, (flow, float("nan"), storage, outlets), {}, PanicException),
        ("level-pool-overflowing", run_lp, (C([1e6] * 4, dt.timedelta(seconds=60), "discharge"), 2.0, storage, {}),
         {}, ValueError),
        ("level-pool-empty-inflow", run_lp, (empty, 2.0, storage, outlets), {}, PanicException),
        ("level-pool-not-outlet", run_lp, (flow, 2.0, storage, {"a": outlets["constant"], "b": 1.5}), {}, TypeError),
        ("level-pool-key", run_lp, (flow, 2.0, storage, {1: outlets["constant"]}), {}, TypeError),
        ("level-pool-surrogate-key", run_lp, (flow, 2.0, storage, {"\ud800": outlets["constant"]}), {},
         UnicodeEncodeError),
        ("level-pool-list", run_lp, (flow, 2.0, storage, list(outlets.values())), {}, TypeError),
        # Muskingum
        ("muskingum", mk, (flow, HOUR, 0.2, 3, 1.0), {}, ()),
        ("muskingum-subclass", mk, (ContinuousSub(DATA, HOUR, "discharge"), HOUR, 0.2, 1, 1.0), {}, ()),
        ("muskingum-warning", mk, (flow, HOUR, 0.7, 1, 1.0), {}, ()),
        ("muskingum-warning-raised", with_error_filter, (mk, flow, HOUR, 0.7, 1, 1.0), {}, UserWarning),
        ("muskingum-negative-k", mk, (flow, -HOUR, 0.2, 1, 1.0), {}, ValueError),
        ("muskingum-empty", mk, (empty, HOUR, 0.2, 1, 1.0), {}, PanicException),
        ("muskingum-k-type", mk, (flow, 3600, 0.2, 1, 1.0), {}, TypeError),
        ("muskingum-overflow", mk, (flow, HOUR, 0.2, 2**64, 1.0), {}, OverflowError),
        # Clark
        ("clark", clark, (rain, 640.0, dt.timedelta(hours=5), HOUR), {}, ()),
        ("clark-subclass", clark, (IncrementalSub(RAIN, HOUR, "rainfall"), 1.0, dt.timedelta(hours=3), HOUR), {}, ()),
        ("clark-zero-tc", clark, (rain, 640.0, dt.timedelta(0), HOUR), {}, ()),
        ("clark-negative-tc", clark, (rain, 640.0, -HOUR, HOUR), {}, ValueError),
        ("clark-negative-storage", clark, (rain, 640.0, HOUR, -HOUR), {}, ValueError),
        ("clark-huge-tc", clark, (I([1.0], dt.timedelta(seconds=1), "rainfall"), 1.0, dt.timedelta.max, HOUR), {},
         MemoryError),
        ("clark-type", clark, (rain, "640", HOUR, HOUR), {}, TypeError),
        # deficit and constant
        ("deficit", loss, (rain, 0.5, 1.0, 0.125, HOUR), {}, ()),
        ("deficit-result", lambda r: (r.excess, r.loss, r.deficit), (loss_result,), {}, ()),
        ("deficit-negative", loss, (rain, 0.5, 1.0, 0.125, -HOUR), {}, ValueError),
        ("deficit-type", loss, (rain, 0.5, 1.0, 0.125, 3600.0), {}, TypeError),
        # baseflow
        ("layer", LR, (dt.timedelta(hours=12), 0.3, 5.0), {"num_reservoir": 2}, ()),
        ("layer-k", LR, (dt.timedelta(0), 0.3, 5.0), {}, ValueError),
        ("layer-k-negative", LR, (-HOUR, 0.3, 5.0), {}, ValueError),
        ("layer-k-type", LR, (3600, 0.3, 5.0), {}, TypeError),
        ("layer-fraction", LR, (HOUR, 1.5, 5.0), {}, ValueError),
        ("layer-count", LR, (HOUR, 0.5, 5.0, 0), {}, ValueError),
        ("layer-count-type", LR, (HOUR, 0.5, 5.0, None), {}, TypeError),
        ("layer-count-negative", LR, (HOUR, 0.5, 5.0, -1), {}, OverflowError),
        ("layer-attributes", lambda r: (r.k_duration, r.gw_fraction, r.initial_q, r.num_reservoir), (reservoir,),
         {}, ()),
        ("layer-set", lambda r, v: setattr(r, "initial_q", v), (reservoir, 2.5), {}, ()),
        ("layer-set-count", lambda r, v: setattr(r, "num_reservoir", v), (reservoir, 3), {}, ()),
        ("layer-set-type", lambda r, v: setattr(r, "gw_fraction", v), (reservoir, "0.5"), {}, TypeError),
        ("layer-set-raising", lambda r, v: setattr(r, "gw_fraction", v), (reservoir, FloatRaises()), {}, Exception),
        ("layer-delete", lambda r: delattr(r, "initial_q"), (reservoir,), {}, AttributeError),
        ("baseflow", baseflow, (640.0, rain, layers), {}, ()),
        ("baseflow-no-layers", baseflow, (640.0, rain, {}), {}, ()),
        ("baseflow-fraction", baseflow, (640.0, rain, {"a": LR(HOUR * 6, 0.75, 0.0), "b": LR(HOUR * 6, 0.5, 0.0)}),
         {}, ValueError),
        ("baseflow-stability", baseflow, (640.0, rain, {"a": LR(dt.timedelta(seconds=1800), 0.5, 0.0, 2)}), {},
         ValueError),
        ("baseflow-value", baseflow, (640.0, rain, {"a": 1.0}), {}, TypeError),
        ("baseflow-key", baseflow, (640.0, rain, {2: reservoir}), {}, TypeError),
        ("baseflow-rainfall", baseflow, (640.0, flow, layers), {}, TypeError),
        # KGE
        ("kge", kge, (DATA, DATA[::-1]), {}, ()),
        ("kge-log", kge, (DATA, DATA[::-1], True), {}, ()),
        ("kge-tuples", kge, (tuple(DATA), tuple(DATA)), {"use_log": False}, ()),
        ("kge-empty", kge, (DATA, []), {}, ValueError),
        ("kge-mismatch", kge, (DATA, DATA[1:]), {}, ValueError),
        ("kge-bool", kge, (DATA, DATA, 1), {}, TypeError),
        ("kge-generator", kge, ((x for x in DATA), DATA), {}, TypeError),
    ]
    if np is not None:
        arr = np.array(DATA)
        out += [
            ("kge-numpy", kge, (arr, arr[::-1].copy()), {}, ()),
            ("kge-numpy-strided", kge, (arr[::2], arr[1::2]), {}, ()),
            ("kge-numpy-float32", kge, (arr.astype(np.float32), arr), {}, ()),
            ("kge-numpy-2d", kge, (arr.reshape(8, 8), arr), {}, TypeError),
            ("series-numpy", C, (arr, HOUR, "volume"), {}, ()),
            ("kge-numpy-bool", kge, (arr, arr, np.bool_(True)), {}, ()),
        ]
    return out


CASES = cases()


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_no_leak(case):
    _, fn, args, kwargs, expect = case
    grown = run_case(fn, args, kwargs, expect)
    assert grown["refcounts"] == [], grown
    # An object lost per call would add ITERATIONS blocks; the interpreter's
    # free lists and caches move by a few dozen blocks, and settle.
    assert grown["blocks"] < ITERATIONS // 8, grown
    # C++ allocations: a lost vector of even one double per call shows here.
    assert grown["heap"] < ITERATIONS * 4, grown
    if not UNDER_ASAN:
        assert grown["rss"] < 1024 * 1024, grown


def test_the_detectors_see_a_leak():
    """A Python object kept per call, and a malloc'd block lost per call, are
    both reported: the checks above would catch the module doing either."""
    kept = []
    token = object()
    grown = run_case(lambda x: kept.append([x]), (token,), {}, ())
    assert grown["refcounts"] and grown["blocks"] >= ITERATIONS
    if malloc_in_use is not None:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        libc.malloc.restype = ctypes.c_void_p
        grown = run_case(lambda n: libc.malloc(n), (64,), {}, ())
        assert grown["heap"] >= ITERATIONS * 64
