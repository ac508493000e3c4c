"""Ensemble members of the storm-event chain: parameters in, numbers out
=====================================================================

This module holds the worker side of examples/ensemble.py.  A worker thread,
a worker process of concurrent.futures or a Dask worker imports it by name,
so it must be importable there: examples/ensemble.py runs from this folder
(Python puts a script's folder first on sys.path, and worker processes
started by multiprocessing, Dask's among them, get the parent's sys.path).

What crosses between processes is plain data only:

* in: a 2-D float64 array of parameters, one row per member (`PARAMETERS`
  names the columns);
* out: a 2-D float64 array, one row of `OUTPUTS` per member.

quellmar's series, curves, outlets and layers define no pickling, so they
cannot be sent to another process.  They are built here, in the process that
uses them, from the parameters; what each process builds once (the storm,
the reservoir's curves and outlets, the observed series) is kept in a cache.
"""

import functools
from datetime import timedelta

import numpy as np

import quellmar
import storm_event as study

EVENT_HOURS = 48
STEP = study.STEP  # 15 minutes: 192 values a series
STEP_S = study.STEP_S

# One column per parameter, in this order.
PARAMETERS = (
    "rain_scale",  # multiplies the design storm's depths
    "constant_loss",  # in/h
    "tc_hours",  # Clark time of concentration
    "storage_r_hours",  # Clark storage coefficient
    "groundwater_share",  # gw_fraction of the slow layer
    "reach_k_hours",  # Muskingum k of the whole reach
    "reach_x",  # Muskingum weighting factor
    "initial_elevation",  # ft, the pool at the start
)
# What each member returns, one column each.
OUTPUTS = ("kge", "peak_outflow", "peak_elevation", "final_storage")

# The example's own study, as one row of parameters.
NOMINAL = (
    1.0,
    study.CONSTANT_LOSS,
    study.TC / timedelta(hours=1),
    study.STORAGE_R / timedelta(hours=1),
    study.LAYERS["groundwater"][1],
    study.REACH_K / timedelta(hours=1),
    study.REACH_X,
    study.INITIAL_ELEVATION,
)
# Uniform sampling ranges of the Monte Carlo ensemble.
LOW = (0.7, 0.1, 3.0, 0.25, 0.2, 1.0, 0.1, 494.0)
HIGH = (1.3, 0.3, 5.0, 1.0, 0.5, 3.0, 0.3, 498.0)


def sample_parameters(count, seed=2026):
    """`count` rows of parameters drawn uniformly between LOW and HIGH."""
    rng = np.random.default_rng(seed)
    return rng.uniform(LOW, HIGH, size=(count, len(PARAMETERS)))


@functools.cache
def _storm_depths():
    """The design storm at 15-minute steps, padded with dry hours to 48 h."""
    storm = study.design_storm().disaggregate(STEP_S)
    depths = np.zeros(EVENT_HOURS * 3600 // STEP_S)
    depths[: len(storm.data)] = storm.data
    return depths


@functools.cache
def _reservoir():
    return study.reservoir_curves()


@functools.cache
def _observed():
    """The "observed" outflow: the example's synthetic gauge record of the
    nominal member's outflow."""
    outflow = np.asarray(route_member(NOMINAL).reservoir_total_outflow)
    return np.array(study.observed_outflow(outflow.tolist()))


def route_member(params):
    """Runs the whole chain for one row of parameters and returns the
    reservoir's LevelPoolResult (n - 1 values a series, value k standing
    at (k + 1) steps)."""
    rain_scale, constant_loss, tc_h, storage_r_h, gw_share, k_h, x, elevation = (float(p) for p in params)
    rain = quellmar.utils.IncrementalTimeSeries(rain_scale * _storm_depths(), STEP, "rainfall")
    m = len(rain.data)

    loss = quellmar.rainfall_loss.run_deficit_and_constant(
        rain, study.INITIAL_DEFICIT, study.MAX_DEFICIT, constant_loss, study.TIME_TO_DRY
    )
    direct = quellmar.rainfall_transform.run_clark_uh(
        loss.excess, study.BASIN_AREA, timedelta(hours=tc_h), timedelta(hours=storage_r_h)
    )
    layers = {}
    for name, (k, share, q0, stages) in study.LAYERS.items():
        layers[name] = quellmar.baseflow.LinearReservoir(
            k, gw_share if name == "groundwater" else share, q0, stages
        )
    baseflow, _ = quellmar.baseflow.run_linear_reservoir(study.BASIN_AREA, loss.loss, layers)

    # Clark's m + n - 1 values: the first m line up with the rainfall, the
    # last n - 1 fall past the end of the event, in its dry hours.
    runoff = np.asarray(direct)
    if runoff[m:].any():
        raise ValueError("the event's dry tail is too short for the runoff")
    reach_in = runoff[:m] + np.asarray(baseflow)
    inflow = quellmar.utils.ContinuousTimeSeries(reach_in, STEP, "discharge")
    reach_out = quellmar.reach.run_muskingum_routing(inflow, timedelta(hours=k_h), x, study.SUB_REACHES, reach_in[0])

    pool, outlets = _reservoir()
    return quellmar.reservoir.run_level_pool_routing(reach_out, elevation, pool, outlets)


def run_member(params):
    """One member: the numbers of OUTPUTS, as a tuple of floats."""
    routed = route_member(params)
    outflow = np.asarray(routed.reservoir_total_outflow)
    return (
        quellmar.metrics.calculate_kge(outflow, _observed()),
        float(outflow.max()),
        float(np.asarray(routed.reservoir_elevation).max()),
        float(np.asarray(routed.reservoir_storage)[-1]),
    )


def run_batch(batch):
    """A batch of members, one row of parameters each: one row of OUTPUTS
    each, as a new float64 array."""
    return np.array([run_member(row) for row in batch], dtype=np.float64).reshape(len(batch), len(OUTPUTS))
