"""Thread stress: several threads read and set the attributes of one
LinearReservoir while others run routines that take it (and other shared
arguments: a dictionary of layers, a curve, an outlet dictionary, a list of
values that a thread keeps changing).

On an interpreter with a global lock no call holds a borrow while another
thread runs, so no RuntimeError may appear at all.  On a free-threaded
interpreter running without the lock, the only RuntimeErrors allowed are the
borrow conflicts, each where it can arise: "Already borrowed" for a setter
that meets a reader, "Already mutably borrowed" for a reader (a getter, or a
routine converting its argument) that meets a setter.  Nothing may crash, and
every result must be whole.

QUELLMAR_THREAD_ROUNDS sets the calls per thread (default 400)."""

import datetime as dt
import math
import os
import sys
import sysconfig
import threading

import pytest

import quellmar
from fuzz_values import KNOWN_PANICS, PanicException, RU, U

LR = quellmar.baseflow.LinearReservoir
C = U.ContinuousTimeSeries
I = U.IncrementalTimeSeries
HOUR = dt.timedelta(hours=1)
ROUNDS = int(os.environ.get("QUELLMAR_THREAD_ROUNDS", "400"))

FREE_THREADED_BUILD = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
GIL_DISABLED = FREE_THREADED_BUILD and not getattr(sys, "_is_gil_enabled", lambda: True)()

READ_CONFLICT = "Already mutably borrowed"
WRITE_CONFLICT = "Already borrowed"

FRACTIONS = (0.0, 0.125, 0.25, 0.5)
QS = (0.0, 1.0, 2.5)
COUNTS = (1, 2, 3)


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


def test_shared_linear_reservoir():
    layer = LR(dt.timedelta(hours=12), 0.25, 1.0, 2)
    other = LR(dt.timedelta(hours=48), 0.25, 0.0, 1)
    layers = {"shared": layer, "other": other}
    rain = I([0.5, 1.0, 0.0, 0.25] * 16, HOUR, "rainfall")
    outcomes = Outcomes()

    def reader():
        for i in range(ROUNDS):
            values = guarded(outcomes, "getter", READ_CONFLICT,
                             lambda: (layer.gw_fraction, layer.initial_q, layer.num_reservoir, layer.k_duration))
            if values is not None:
                fraction, q, count, k = values
                if fraction not in FRACTIONS or q not in QS or count not in COUNTS or k != dt.timedelta(hours=12):
                    outcomes.fail(f"getter read a value nobody wrote: {values}")

    def setter(seed):
        def body():
            for i in range(ROUNDS):
                j = i + seed
                guarded(outcomes, "setter", WRITE_CONFLICT,
                        lambda: setattr(layer, "gw_fraction", FRACTIONS[j % len(FRACTIONS)]))
                guarded(outcomes, "setter", WRITE_CONFLICT, lambda: setattr(layer, "initial_q", QS[j % len(QS)]))
                guarded(outcomes, "setter", WRITE_CONFLICT,
                        lambda: setattr(layer, "num_reservoir", COUNTS[j % len(COUNTS)]))

        return body

    def runner():
        for _ in range(ROUNDS // 4):
            result = guarded(outcomes, "routine", READ_CONFLICT,
                             lambda: quellmar.baseflow.run_linear_reservoir(640.0, rain, layers))
            if result is not None:
                total, flows = result
                if len(total.data) != 64 or list(flows) != ["shared", "other"]:
                    outcomes.fail("baseflow result is not whole")
                elif any(math.isnan(v) for v in total.data):
                    outcomes.fail("baseflow result holds NaN")
            # a dictionary holding the layer twice, and the layer as a lone argument
            guarded(outcomes, "routine", READ_CONFLICT,
                    lambda: quellmar.baseflow.run_linear_reservoir(1.0, rain, {"a": layer, "b": layer}))

    run_threads([reader, reader, setter(0), setter(1), runner, runner], outcomes)
    check_conflicts(outcomes)
    # the object is still whole and usable
    assert layer.gw_fraction in FRACTIONS and layer.num_reservoir in COUNTS
    assert layer.k_duration == dt.timedelta(hours=12)


def test_shared_arguments_that_change():
    """A list being converted while another thread changes it, an outlet
    dictionary whose entries come and go, and shared immutable objects."""
    values = [1.0, 2.0, 3.0] * 20
    curve = RU.ElevationStorage([0.0, 5.0, 10.0], [0.0, 5e4, 1e5])
    inflow = C([10.0, 20.0, 30.0, 20.0], dt.timedelta(seconds=30), "discharge")
    outlets = {"c": RU.ConstantDischargeInfo(1.0)}
    spare = RU.ConstantDischargeInfo(2.0)
    outcomes = Outcomes()
    stop = threading.Event()

    def changer():
        i = 0
        while not stop.is_set() and i < ROUNDS * 50:
            i += 1
            values.append(4.0)
            values.pop()
            if len(values) > 3:
                values[i % 3] = float(i)
            outlets["spare"] = spare
            outlets.pop("spare", None)

    def converter():
        try:
            for _ in range(ROUNDS):
                s = guarded(outcomes, "routine", READ_CONFLICT, lambda: C(values, HOUR, "volume"))
                if s is not None and not 59 <= len(s.data) <= 61:
                    outcomes.fail(f"a list converted to {len(s.data)} values")
                try:
                    guarded(outcomes, "routine", READ_CONFLICT,
                            lambda: quellmar.metrics.calculate_kge(values, values))
                except ValueError as e:  # the two reads of the list may see different lengths
                    if str(e) != "Series length mismatch.":
                        outcomes.fail(f"kge: {e}")
        finally:
            stop.set()

    def router():
        for _ in range(ROUNDS // 4):
            result = guarded(outcomes, "routine", READ_CONFLICT,
                             lambda: quellmar.reservoir.run_level_pool_routing(inflow, 2.0, curve, outlets))
            if result is not None:
                names = set(result.reservoir_individual_outflows)
                if not names or not names <= {"c", "spare"}:
                    outcomes.fail(f"outlets seen: {names}")
            guarded(outcomes, "getter", READ_CONFLICT, lambda: (curve.get_storage(2.5), curve.elevation))

    run_threads([changer, converter, converter, router, router], outcomes)
    check_conflicts(outcomes)


@pytest.mark.skipif(not GIL_DISABLED, reason="needs a free-threaded interpreter running without the GIL")
def test_borrow_conflicts_leave_values_whole():
    """Without the GIL: hammer one attribute from setters and getters only,
    and check every value read is one that was written."""
    layer = LR(HOUR, 0.0, 0.0)
    outcomes = Outcomes()

    def setter():
        for i in range(ROUNDS * 5):
            guarded(outcomes, "setter", WRITE_CONFLICT, lambda: setattr(layer, "initial_q", QS[i % 3]))

    def getter():
        for _ in range(ROUNDS * 5):
            q = guarded(outcomes, "getter", READ_CONFLICT, lambda: layer.initial_q)
            if q is not None and q not in QS:
                outcomes.fail(f"read {q}")

    run_threads([setter, setter, getter, getter], outcomes)
    check_conflicts(outcomes)
