"""Physical properties that hold whatever the code looks like: volumes
conserved, storage closed against inflow and outflow, a linear reservoir's
decay.  (The Clark unit hydrograph's volume against the kept fraction that the
guide tabulates is checked with the example that prints the table,
tests/test_example.py.)"""

import math
from datetime import timedelta

import pytest

import quellmar

ru = quellmar.reservoir.reservoir_utils
ContinuousTimeSeries = quellmar.utils.ContinuousTimeSeries
SECOND = timedelta(seconds=1)
HOUR = timedelta(hours=1)


def hydrograph(n, base, peak, rise):
    """A smooth single-peaked hydrograph of n values over a base flow."""
    return [base + peak * (i / rise) ** 2 * math.exp(2.0 * (1.0 - i / rise)) for i in range(n)]


def test_level_pool_storage_change_is_inflow_minus_outflow_with_every_outlet_kind_active():
    # Two hours at a one-second step, so that every simulated second is a result value:
    # value k (k >= 1) of the storage is the state after the second ending at t = k + 1,
    # whose inflow is the trapezoid of I(t - 1) and I(t) (I[0] for the first, at t = 2)
    # and whose outflow is total outflow value k.
    n = 7201
    inflow = hydrograph(n, 200.0, 3000.0, 1500.0)
    elevations = [100.0 + 0.5 * i for i in range(21)]
    pool = ru.ElevationStorage(elevations, [2.0e6 * i + 1.0e5 * i * i for i in range(21)])
    spill_e = [101.0 + 0.2 * i for i in range(41)]
    outlets = {
        "gate": ru.ControlledDischargeInfo(ru.ElevationDischarge([100.0, 103.0, 110.0], [0.0, 900.0, 2500.0]),
                                           maximum_release=700.0),
        "spillway": ru.UnControlledDischargeInfo(ru.ElevationDischarge(spill_e, [30.0 * i ** 1.5 for i in range(41)])),
        "schedule": ru.SpecifiedDischargeInfo(ContinuousTimeSeries([50.0, 400.0, 150.0], HOUR, "discharge"),
                                              maximum_release=300.0),
        "constant": ru.ConstantDischargeInfo(75.0),
    }
    result = quellmar.reservoir.run_level_pool_routing(
        ContinuousTimeSeries(inflow, SECOND, "discharge"), 102.0, pool, outlets)
    storage = result.reservoir_storage.data
    flows = {name: s.data for name, s in result.reservoir_individual_outflows.items()}
    assert list(flows) == list(outlets) and len(storage) == n - 1
    # Every outlet releases through the whole run (the spillway above its crest), and the
    # caps bind part of the time.
    assert all(min(q[1:]) > 0.0 for q in flows.values())
    assert 0 < sum(q == 700.0 for q in flows["gate"]) < n - 1
    assert 0 < sum(q == 300.0 for q in flows["schedule"]) < n - 1
    assert min(storage) > 0.0  # the floor at zero never acts
    # The total is the sum of the outlets in the dictionary's order.
    for k, total in enumerate(result.reservoir_total_outflow.data):
        q = 0.0
        for name in outlets:
            q += flows[name][k]
        assert total == q
    inflow_volume = math.fsum([(inflow[0] + inflow[2]) * 0.5] + [(inflow[t - 1] + inflow[t]) * 0.5
                                                                  for t in range(3, n)])
    outflow_volume = math.fsum(q for name in outlets for q in flows[name][1:])
    change = storage[-1] - storage[0]
    # Each of the 7,199 seconds rounds its update; their errors, of either sign, leave the
    # balance a few dozen ulps of the storage off at most.
    assert abs(change - (inflow_volume - outflow_volume)) <= 64 * math.ulp(max(storage))



@pytest.mark.parametrize("x, sub_reaches", [(0.0, 1), (0.2, 3), (0.45, 8)])
def test_muskingum_conserves_volume_over_a_long_recession(x, sub_reaches):
    # A storm over a base flow, then nine days of recession back to the base: the
    # reach ends as it began, so what left it is what entered.
    inflow = hydrograph(240, 40.0, 900.0, 8.0)
    routed = quellmar.reach.run_muskingum_routing(
        ContinuousTimeSeries(inflow, HOUR, "discharge"), timedelta(hours=6), x, sub_reaches, inflow[0]).data
    assert abs(routed[-1] - 40.0) < 1e-6
    assert max(routed) < max(inflow)  # attenuated
    assert math.fsum(routed) == pytest.approx(math.fsum(inflow), rel=1e-12)


def test_muskingum_with_x_zero_is_a_linear_reservoir():
    # With x = 0 the reach stores S = K O, and dS/dt = I - O: without inflow the outflow
    # decays as O0 exp(-t / K).  The routing integrates that by the trapezoid rule, whose
    # error per step is a factor exp(h^3 / 12) to leading order, h = dt / K.
    k_hours, dt_hours, o0 = 10.0, 1.0, 500.0
    routed = quellmar.reach.run_muskingum_routing(
        ContinuousTimeSeries([0.0] * 49, HOUR, "discharge"), timedelta(hours=k_hours), 0.0, 1, o0).data
    h = dt_hours / k_hours
    for n, o in enumerate(routed):
        exact = o0 * math.exp(-n * h)
        assert abs(o / exact - 1.0) <= n * h ** 3 / 12.0 * 1.01 + 1e-15
    assert routed[48] / (o0 * math.exp(-48 * h)) < 1.0 - 48 * h ** 3 / 12.0 * 0.99  # the trapezoid's own error
