"""Threads sharing the module's state, written for ThreadSanitizer
(tools/tsan.sh runs this file with more rounds against a module and a
free-threaded interpreter both built with -fsanitize=thread) and run with a
small budget in every ordinary suite:

- every routine, getter and setter of one shared LinearReservoir at once;
- first use of the once-created state (the classes' type objects, the
  PanicException type, the datetime C API) by many threads at the same
  moment, each in a fresh interpreter process, where first use is real;
- numpy arrays, lists and outlet dictionaries that other threads change while
  they are converted;
- result lists, result records and array views read from many threads.

On an interpreter with a global lock no call holds a borrow while another
thread runs, so no RuntimeError may appear at all.  On a free-threaded
interpreter running without the lock, the only RuntimeErrors allowed are the
borrow conflicts, each where it can arise: "Already borrowed" for a setter
that meets a reader, "Already mutably borrowed" for a reader (a getter, or a
routine converting its argument) that meets a setter.  Nothing may crash, and
every result must be whole.

QUELLMAR_THREAD_ROUNDS sets the calls per thread (default 60) and
QUELLMAR_STRESS_PROCESSES the fresh processes per first-use case (default 2).
"""

import datetime as dt
import math
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading

import numpy as np
import pytest

import quellmar
from fuzz_values import KNOWN_PANICS, PanicException, RU, U

LR = quellmar.baseflow.LinearReservoir
C = U.ContinuousTimeSeries
I = U.IncrementalTimeSeries
HOUR = dt.timedelta(hours=1)
ROUNDS = int(os.environ.get("QUELLMAR_THREAD_ROUNDS", "60"))
PROCESSES = int(os.environ.get("QUELLMAR_STRESS_PROCESSES", "2"))
THREADS = 8

FREE_THREADED_BUILD = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
GIL_DISABLED = FREE_THREADED_BUILD and not getattr(sys, "_is_gil_enabled", lambda: True)()

READ_CONFLICT = "Already mutably borrowed"
WRITE_CONFLICT = "Already borrowed"


class Outcomes:
    def __init__(self):
        self.lock = threading.Lock()
        self.conflicts = {}
        self.failures = []
        self.calls = 0

    def conflict(self, role, message):
        with self.lock:
            self.conflicts[(role, message)] = self.conflicts.get((role, message), 0) + 1

    def fail(self, text):
        with self.lock:
            self.failures.append(text)


def run_threads(workers, outcomes):
    barrier = threading.Barrier(len(workers))
    errors = []

    def wrap(body):
        def run():
            barrier.wait()
            try:
                body()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))

        return run

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # interleave as finely as the lock allows
    try:
        threads = [threading.Thread(target=wrap(body)) for body in workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == [], errors
    assert outcomes.failures == [], outcomes.failures[:10]


def guarded(outcomes, role, allowed, call):
    """Runs call; a RuntimeError must be the conflict this role may meet."""
    try:
        return call()
    except RuntimeError as e:
        if type(e) is not RuntimeError or str(e) != allowed:
            outcomes.fail(f"{role}: {type(e).__name__}: {e}")
        else:
            outcomes.conflict(role, str(e))
    except PanicException as e:
        if str(e) not in KNOWN_PANICS:
            outcomes.fail(f"{role}: PanicException: {e}")
    return None


def check_conflicts(outcomes):
    if not GIL_DISABLED:
        assert outcomes.conflicts == {}, outcomes.conflicts
    else:
        for role, message in outcomes.conflicts:
            assert (role == "setter") == (message == WRITE_CONFLICT), (role, message)


def buffers_exported():
    try:
        memoryview(C([1.0], HOUR, "volume"))
    except TypeError:
        return False
    return True


def test_one_layer_every_routine_getter_and_setter():
    """One LinearReservoir read, written and routed through by every road
    at once, beside the other routines on shared inputs."""
    layer = LR(dt.timedelta(hours=6), 0.25, 1.0, 2)
    other = LR(dt.timedelta(hours=48), 0.25, 0.0, 1)
    rain = I([0.5, 1.0, 0.0, 0.25] * 8, HOUR, "rainfall")
    inflow = C([10.0, 40.0, 90.0, 60.0, 30.0, 15.0] * 4, HOUR, "discharge")
    pool = RU.ElevationStorage([0.0, 5.0, 10.0], [0.0, 5e5, 1e6])
    outlets = {"weir": RU.UnControlledDischargeInfo(RU.ElevationDischarge([0.0, 10.0], [0.0, 50.0]))}
    short = C([5.0, 6.0], dt.timedelta(seconds=20), "discharge")
    outcomes = Outcomes()

    def routines():
        return {
            "muskingum": quellmar.reach.run_muskingum_routing(inflow, HOUR, 0.2, 2, 10.0).data,
            "clark": quellmar.rainfall_transform.run_clark_uh(rain, 640.0, 3 * HOUR, HOUR).data,
            "loss": quellmar.rainfall_loss.run_deficit_and_constant(rain, 0.5, 1.0, 0.1, 2 * HOUR).excess.data,
            "pool": quellmar.reservoir.run_level_pool_routing(short, 2.0, pool, outlets).reservoir_storage.data,
            "kge": quellmar.metrics.calculate_kge(inflow.data, inflow.data[::-1]),
        }

    reference = routines()

    def getters():
        for _ in range(ROUNDS):
            values = guarded(outcomes, "getter", READ_CONFLICT,
                             lambda: (layer.k_duration, layer.gw_fraction, layer.initial_q, layer.num_reservoir))
            if values is not None and (values[0] != dt.timedelta(hours=6) or values[1] not in (0.25, 0.5)
                                       or values[2] not in (1.0, 3.0) or values[3] not in (1, 2)):
                outcomes.fail(f"getter read {values}")

    def setters():
        for i in range(ROUNDS):
            guarded(outcomes, "setter", WRITE_CONFLICT, lambda: setattr(layer, "gw_fraction", (0.25, 0.5)[i % 2]))
            guarded(outcomes, "setter", WRITE_CONFLICT, lambda: setattr(layer, "initial_q", (1.0, 3.0)[i % 2]))
            guarded(outcomes, "setter", WRITE_CONFLICT, lambda: setattr(layer, "num_reservoir", (1, 2)[i % 2]))

    def baseflow():
        # the layer twice in one dictionary, and beside a layer of its own
        for layers in [{"a": layer, "b": layer}, {"a": layer, "b": other}] * (ROUNDS // 4):
            result = guarded(outcomes, "routine", READ_CONFLICT,
                             lambda: quellmar.baseflow.run_linear_reservoir(640.0, rain, layers))
            if result is not None and (len(result[0].data) != 32 or list(result[1]) != ["a", "b"]):
                outcomes.fail("baseflow result is not whole")
            elif result is not None and any(math.isnan(v) for v in result[0].data):
                outcomes.fail("baseflow result holds NaN")

    def others():
        for _ in range(ROUNDS // 2):
            got = routines()
            if got != reference:
                outcomes.fail("a routine on shared inputs gave another result")

    run_threads([getters, getters, setters, setters, baseflow, baseflow, others, others], outcomes)
    check_conflicts(outcomes)


def test_getters_and_setters_in_tight_loops():
    """Two setters and two getters of one LinearReservoir, nothing else in
    their loops, so that the calls overlap as often as the machine allows."""
    layer = LR(HOUR, 0.25, 1.0, 1)
    outcomes = Outcomes()
    n = ROUNDS * 100

    def setter():
        for i in range(n):
            try:
                layer.initial_q = (1.0, 3.0)[i & 1]
                layer.gw_fraction = (0.25, 0.5)[i & 1]
            except RuntimeError as e:
                if str(e) != WRITE_CONFLICT:
                    outcomes.fail(f"setter: {e}")

    def getter():
        for _ in range(n):
            try:
                q, f = layer.initial_q, layer.gw_fraction
            except RuntimeError as e:
                if str(e) != READ_CONFLICT:
                    outcomes.fail(f"getter: {e}")
                continue
            if q not in (1.0, 3.0) or f not in (0.25, 0.5):
                outcomes.fail(f"read {q}, {f}")

    run_threads([setter, setter, getter, getter], outcomes)


# Each case runs in a new interpreter: THREADS threads wait at a barrier and
# then make, all at once, the first call that needs the once-created state.
FIRST_USE = {
    # The classes' type objects: the top-level module and the standalone
    # entry modules register the same classes, each from its own thread.
    "type objects": """
        import importlib.machinery, importlib.util, os, sys
        path = os.environ["QUELLMAR_MODULE_PATH"]
        names = ["quellmar", "init_reach", "init_transform", "init_loss", "init_metrics",
                 "init_reservoir", "init_baseflow", "quellmar"]
        loaded = [None] * THREADS
        def work(i):
            name = names[i % len(names)]
            if name == "quellmar":
                import quellmar as module
            else:
                loader = importlib.machinery.ExtensionFileLoader(name, path)
                spec = importlib.util.spec_from_file_location(name, path, loader=loader)
                module = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(module)
            loaded[i] = module
        def check():
            import quellmar
            series = quellmar.utils.ContinuousTimeSeries
            for m in loaded:
                for sub in ("utils", "reach", "rainfall_transform", "baseflow"):
                    if hasattr(m, sub) and hasattr(getattr(m, sub), "ContinuousTimeSeries"):
                        assert getattr(m, sub).ContinuousTimeSeries is series
                if hasattr(m, "ContinuousTimeSeries"):
                    assert m.ContinuousTimeSeries is series
    """,
    # PanicException, created at the first internal failure.
    "PanicException": """
        import datetime, quellmar
        minute = datetime.timedelta(minutes=1)
        empty = quellmar.utils.ContinuousTimeSeries([], minute, "discharge")
        raised = [None] * THREADS
        def work(i):
            try:
                quellmar.reach.run_muskingum_routing(empty, minute, 0.2, 1, 0.0)
            except BaseException as e:
                raised[i] = e
        def check():
            kinds = {type(e) for e in raised}
            assert len(kinds) == 1, kinds
            kind = kinds.pop()
            assert kind.__name__ == "PanicException" and issubclass(kind, BaseException)
            assert all(str(e) == "index out of bounds: the len is 0 but the index is 0" for e in raised)
    """,
    # The datetime C API, imported at the first timedelta taken or made.
    "datetime API": """
        import datetime, quellmar
        made = [None] * THREADS
        def work(i):
            if i % 2:
                layer = quellmar.baseflow.LinearReservoir(datetime.timedelta(hours=i), 0.5, 0.0)
                made[i] = layer.k_duration
            else:
                step = datetime.timedelta(seconds=3600 * i + 1)
                made[i] = quellmar.utils.ContinuousTimeSeries([1.0], step, "volume").time_step
        def check():
            for i, value in enumerate(made):
                assert value == (datetime.timedelta(hours=i) if i % 2 else datetime.timedelta(seconds=3600 * i + 1))
    """,
}

FIRST_USE_MAIN = """
import sys, threading
THREADS = {threads}
{body}
barrier = threading.Barrier(THREADS)
errors = []
def run(i):
    barrier.wait()
    try:
        work(i)
    except BaseException as e:
        errors.append(repr(e))
threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert errors == [], errors
check()
print("first use ok")
"""


@pytest.mark.parametrize("case", sorted(FIRST_USE))
def test_first_use_from_many_threads(case):
    script = FIRST_USE_MAIN.format(threads=THREADS, body=textwrap.dedent(FIRST_USE[case]))
    env = dict(os.environ, QUELLMAR_MODULE_PATH=quellmar.__file__)
    for _ in range(PROCESSES):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=600)
        assert done.returncode == 0 and done.stdout.strip() == "first use ok", done.stdout + done.stderr


def test_arrays_and_lists_changed_while_converted():
    """Other threads write into a numpy array, grow, shrink and rewrite a
    list, and add and remove an outlet while they are converted; every
    conversion takes values that were there (no torn double, no lost or
    invented item or outlet)."""
    allowed = {1.0, 2.0, 3.0, 4.0, 5.0}
    array = np.array([1.0, 2.0, 3.0] * 40)
    strided = np.array([1.0, 2.0, 3.0] * 80)[::2]  # copied item by item
    values = [1.0, 2.0, 3.0] * 40
    curve = RU.ElevationStorage([0.0, 5.0, 10.0], [0.0, 5e4, 1e5])
    inflow = C([10.0, 20.0, 30.0, 20.0], dt.timedelta(seconds=30), "discharge")
    outlets = {"c": RU.ConstantDischargeInfo(1.0)}
    spare = RU.ConstantDischargeInfo(2.0)
    stop = threading.Event()
    outcomes = Outcomes()

    def array_writer():
        i = 0
        while not stop.is_set():
            i += 1
            array[i % array.size] = (4.0, 5.0)[i % 2]
            strided[i % strided.size] = (4.0, 5.0)[i % 2]

    def list_changer():
        i = 0
        while not stop.is_set():
            i += 1
            values.append(4.0)
            values[i % 100] = 5.0
            values.pop()
            if i % 7 == 0:
                values.insert(3, 2.0)
                del values[3]
            outlets["spare"] = spare
            outlets.pop("spare", None)

    def converter():
        for _ in range(ROUNDS):
            for source, lengths in ((array, {120}), (strided, {120}), (values, {120, 121})):
                data = C(source, HOUR, "volume").data
                if len(data) not in lengths or not set(data) <= allowed:
                    outcomes.fail(f"converted {len(data)} values, {set(data) - allowed} never written")
            try:
                quellmar.metrics.calculate_kge(values, array)
            except ValueError as e:  # the list may be one longer at that moment
                if str(e) != "Series length mismatch.":
                    outcomes.fail(f"kge: {e}")
            except BaseException as e:  # noqa: BLE001 - a panic is a documented outcome here
                if str(e) not in KNOWN_PANICS:
                    outcomes.fail(f"kge: {type(e).__name__}: {e}")

    def converters():
        try:
            converter()
        finally:
            stop.set()

    def router():
        for _ in range(ROUNDS):
            result = guarded(outcomes, "routine", READ_CONFLICT,
                             lambda: quellmar.reservoir.run_level_pool_routing(inflow, 2.0, curve, outlets))
            if result is not None:
                names = set(result.reservoir_individual_outflows)
                if not names or not names <= {"c", "spare"}:
                    outcomes.fail(f"outlets seen: {names}")
            guarded(outcomes, "getter", READ_CONFLICT, lambda: (curve.get_storage(2.5), curve.elevation))

    run_threads([array_writer, list_changer, converters, converter, converter, router], outcomes)
    check_conflicts(outcomes)


def test_results_read_from_many_threads():
    """One result record and its series, read at once by many threads: every
    read gives a new, equal list (never the same one twice)."""
    inflow = C([10.0, 40.0, 90.0, 60.0, 30.0, 15.0] * 5, dt.timedelta(seconds=30), "discharge")
    pool = RU.ElevationStorage([0.0, 5.0, 10.0], [0.0, 5e4, 1e5])
    outlets = {"gate": RU.ConstantDischargeInfo(20.0), "weir": RU.ConstantDischargeInfo(5.0)}
    result = quellmar.reservoir.run_level_pool_routing(inflow, 2.0, pool, outlets)
    routed = quellmar.reach.run_muskingum_routing(inflow, dt.timedelta(minutes=2), 0.2, 2, 10.0)
    expected = (result.reservoir_storage.data, result.reservoir_elevation.data,
                result.reservoir_total_outflow.data, {k: v.data for k, v in result.reservoir_individual_outflows.items()},
                routed.data)
    outcomes = Outcomes()

    def reader():
        previous = None
        for _ in range(ROUNDS):
            got = (result.reservoir_storage.data, result.reservoir_elevation.data,
                   result.reservoir_total_outflow.data,
                   {k: v.data for k, v in result.reservoir_individual_outflows.items()}, routed.data)
            if got != expected:
                outcomes.fail("a result read differently")
            if previous is not None and got[4] is previous:
                outcomes.fail(".data gave the same list twice")
            previous = got[4]
            if math.isnan(sum(got[4])):
                outcomes.fail("NaN in a routed result")

    run_threads([reader] * THREADS, outcomes)


@pytest.mark.skipif(not buffers_exported(), reason="series do not export buffers in this build")
def test_array_views_read_from_many_threads():
    """Views of one series (np.asarray, memoryview) taken, read and released
    by many threads at once; the series outlives every view."""
    series = quellmar.reach.run_muskingum_routing(
        C([10.0, 40.0, 90.0, 60.0, 30.0, 15.0] * 50, HOUR, "discharge"), HOUR, 0.2, 2, 10.0)
    expected = series.data
    outcomes = Outcomes()

    def reader():
        for i in range(ROUNDS):
            view = np.asarray(series) if i % 2 else np.asarray(memoryview(series))
            if view.tolist() != expected or view.flags.writeable:
                outcomes.fail("a view read differently or is writable")
            with memoryview(series) as m:
                if m.tolist() != expected:
                    outcomes.fail("a memoryview read differently")

    run_threads([reader] * THREADS, outcomes)
    assert series.data == expected
