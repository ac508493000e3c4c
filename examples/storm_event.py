"""A storm event from rainfall to a reservoir, with quellmar
=========================================================

    python examples/storm_event.py [--figure PATH] [--show]

The study, step by step:

1. A 6-hour design storm, built in code by the alternating block method from
   an intensity-duration relation, in hourly blocks followed by 30 dry hours,
   then disaggregated to 15-minute depths.
2. The deficit-and-constant loss model splits it into excess and loss.
3. The Clark unit hydrograph turns the excess into direct runoff.
4. The loss recharges two groundwater layers (linear reservoirs), whose
   outflow is the baseflow.
5. Direct runoff plus baseflow is routed down a channel reach (Muskingum).
6. The routed flow enters a reservoir with an ungated spillway and a gated
   outlet (level pool routing at a one-second step).
7. The reservoir outflow is scored (Kling-Gupta efficiency) against an
   "observed" series that the script synthesises deterministically.

It prints a summary table: peaks, their times, volumes and the reservoir's
volume balance.  With --figure PATH it also draws the hyetograph, the
hydrographs and the reservoir elevation into PATH (PNG); --show draws it
in a window.  The figure needs matplotlib, nothing else here does.

Units: depths in inches, areas in acres, flows in cubic feet per second
(cfs), storage in cubic feet, elevations in feet; volumes are reported in
acre-feet (1 acre-foot = 43,560 cubic feet).
"""

import argparse
import math
import sys
from datetime import timedelta

import quellmar

ru = quellmar.reservoir.reservoir_utils

# --- the setting ----------------------------------------------------------

BASIN_AREA = 12_800.0  # acres (20 square miles)
STORM_HOURS = 6
DRY_HOURS = 30  # simulated after the rain ends, for the recessions
STEP = timedelta(minutes=15)  # the study's time step
STEP_S = int(STEP.total_seconds())

# Loss model.
INITIAL_DEFICIT = 1.0  # in
MAX_DEFICIT = 1.5  # in
CONSTANT_LOSS = 0.2  # in/h
TIME_TO_DRY = timedelta(days=3)

# Clark transform.
TC = timedelta(hours=4)
STORAGE_R = timedelta(minutes=30)

# Groundwater layers: name -> (k, share of the loss, initial flow in cfs, stages).
LAYERS = {
    "interflow": (timedelta(hours=12), 0.15, 15.0, 1),
    "groundwater": (timedelta(hours=72), 0.35, 45.0, 2),
}

# Channel reach.
REACH_K = timedelta(hours=2)
REACH_X = 0.2
SUB_REACHES = 4

# Reservoir.
CREST = 500.0  # ft, spillway crest
CREST_LENGTH = 60.0  # ft
WEIR_C = 3.1  # ogee weir coefficient (ft^0.5/s)
GATE_INVERT = 482.0  # ft
GATE_CAP = 300.0  # cfs, the largest release the operators allow
INITIAL_ELEVATION = 496.0  # ft
TOP = 520.0  # ft, top of the rating tables
CUBIC_FEET_PER_ACRE_FOOT = 43_560.0


def design_storm():
    """A 6-hour design storm by the alternating block method.

    Hourly depths come from the intensity-duration relation
    i = 60 / (t + 12)^0.8 (i in inches per hour, t in minutes): block k is
    the depth of the k-hour storm less that of the (k-1)-hour storm.  The
    largest block is put in the third hour and the others alternate after and
    before it.  Thirty dry hours follow.
    """

    def depth(hours):
        minutes = 60.0 * hours
        return 60.0 / (minutes + 12.0) ** 0.8 * hours

    blocks = [depth(k) - depth(k - 1) for k in range(1, STORM_HOURS + 1)]
    order = [2, 3, 1, 4, 0, 5]  # hour slots, largest block first
    hourly = [0.0] * STORM_HOURS
    for block, slot in zip(blocks, order):
        hourly[slot] = block
    hourly += [0.0] * DRY_HOURS
    return quellmar.utils.IncrementalTimeSeries(hourly, timedelta(hours=1), "rainfall")


def reservoir_curves():
    """Elevation-storage and the two outlet ratings.

    The pool's surface grows linearly from 60 acres at elevation 480 ft by
    4 acres per foot; storage is its integral, in cubic feet.  The spillway is
    a weir, Q = C L H^1.5 above the crest.  The gated conduit releases
    Q = 55 sqrt(h) above its invert (h in feet), capped at GATE_CAP.
    """
    elevations = [480.0 + 0.5 * i for i in range(int((TOP - 480.0) / 0.5) + 1)]
    storage = [
        (60.0 * (e - 480.0) + 2.0 * (e - 480.0) ** 2) * CUBIC_FEET_PER_ACRE_FOOT for e in elevations
    ]
    pool = ru.ElevationStorage(elevations, storage)

    heads = [0.25 * i for i in range(int((TOP - CREST) / 0.25) + 1)]
    spillway = ru.ElevationDischarge([CREST + h for h in heads], [WEIR_C * CREST_LENGTH * h**1.5 for h in heads])

    gate_elevations = [GATE_INVERT + 0.5 * i for i in range(int((TOP - GATE_INVERT) / 0.5) + 1)]
    conduit = ru.ElevationDischarge(gate_elevations, [55.0 * math.sqrt(e - GATE_INVERT) for e in gate_elevations])
    outlets = {
        "spillway": ru.UnControlledDischargeInfo(spillway),
        "gate": ru.ControlledDischargeInfo(conduit, maximum_release=GATE_CAP),
    }
    return pool, outlets


def observed_outflow(simulated):
    """A deterministic stand-in for gauged outflow: the simulated outflow
    half an hour late, 6 % high, with a periodic gauge error of +-4 %."""
    lag = 2
    return [
        1.06 * simulated[max(i - lag, 0)] * (1.0 + 0.04 * math.sin(2.0 * math.pi * i / 11.0))
        for i in range(len(simulated))
    ]


def run_study():
    """Runs the whole chain and returns its series (lists of floats, 15-min
    steps) and results in a dict."""
    storm = design_storm()
    rain = storm.disaggregate(STEP_S)  # 15-minute depths, same total
    m = len(rain.data)

    loss = quellmar.rainfall_loss.run_deficit_and_constant(
        rain, INITIAL_DEFICIT, MAX_DEFICIT, CONSTANT_LOSS, TIME_TO_DRY
    )

    direct = quellmar.rainfall_transform.run_clark_uh(loss.excess, BASIN_AREA, TC, STORAGE_R)
    # m + n - 1 values: the last n - 1 come from the dry tail's zero depths.
    direct_flow = direct.data[:m]
    assert not any(direct.data[m:]), "the storm's dry tail is too short"

    layers = {
        name: quellmar.baseflow.LinearReservoir(k, share, q0, stages)
        for name, (k, share, q0, stages) in LAYERS.items()
    }
    baseflow, layer_flows = quellmar.baseflow.run_linear_reservoir(BASIN_AREA, loss.loss, layers)

    # Direct runoff plus baseflow at the head of the reach.
    reach_in = [d + b for d, b in zip(direct_flow, baseflow.data)]
    reach_in_series = quellmar.utils.ContinuousTimeSeries(reach_in, STEP, "discharge")
    reach_out = quellmar.reach.run_muskingum_routing(
        reach_in_series, REACH_K, REACH_X, SUB_REACHES, reach_in[0]
    )

    pool, outlets = reservoir_curves()
    routed = quellmar.reservoir.run_level_pool_routing(reach_out, INITIAL_ELEVATION, pool, outlets)

    outflow = routed.reservoir_total_outflow.data
    observed = observed_outflow(outflow)
    return {
        "storm": storm,
        "rain": rain.data,
        "excess": loss.excess.data,
        "loss": loss.loss.data,
        "deficit": loss.deficit.data,
        "direct": direct_flow,
        "baseflow": baseflow.data,
        "layers": {name: s.data for name, s in layer_flows.items()},
        "reach_in": reach_in,
        "reach_out": reach_out.data,
        "storage": routed.reservoir_storage.data,
        "elevation": routed.reservoir_elevation.data,
        "outflow": outflow,
        "outlets": {name: s.data for name, s in routed.reservoir_individual_outflows.items()},
        "observed": observed,
        "kge": quellmar.metrics.calculate_kge(outflow, observed),
        "kge_log": quellmar.metrics.calculate_kge(outflow, observed, use_log=True),
        "unit_depth": unit_hydrograph_depth(),
    }


def unit_hydrograph_depth():
    """The runoff depth (in) of the Clark unit hydrograph for one inch of excess.

    Below 1 because only ceil(tc / dt) ordinates are kept: the linear
    reservoir's recession beyond them is cut."""
    one_inch = quellmar.utils.IncrementalTimeSeries([1.0], STEP, "rainfall")
    uh = quellmar.rainfall_transform.run_clark_uh(one_inch, BASIN_AREA, TC, STORAGE_R)
    # Each ordinate stands for one step of flow, as in the convolution.
    return sum(uh.data) * STEP_S / depth_volume(1.0)


# --- volumes ----------------------------------------------------------------


def flow_volume(flow, step=STEP_S):
    """Volume (cubic feet) under a flow series (cfs): the trapezoid rule, exact
    for the straight lines between the points of a continuous series."""
    return step * (sum(flow) - 0.5 * (flow[0] + flow[-1])) if len(flow) > 1 else 0.0


def depth_volume(depth_in):
    """Volume (cubic feet) of a depth (inches) over the basin."""
    return depth_in / 12.0 * BASIN_AREA * CUBIC_FEET_PER_ACRE_FOOT


def reservoir_balance(inflow, outflow, storage, step=STEP_S):
    """The reservoir's volume balance over its routing window.

    Level pool routing integrates from one inflow step to the end: its output
    value k stands at time (k + 1) * step, and the inflow before the first
    step enters only through the first inflow value.  So the inflow volume is
    taken over the same window, from the second inflow value on.  Returns
    cubic feet: (inflow volume, outflow volume, storage change, residual).
    """
    volume_in = flow_volume(inflow[1:], step)
    volume_out = flow_volume(outflow, step)
    change = storage[-1] - storage[0]
    return volume_in, volume_out, change, volume_in - volume_out - change


# --- report -------------------------------------------------------------------


def clock(index, offset=0):
    """'h:mm' after the start of the storm, for a value at 15-min index."""
    minutes = (index + offset) * STEP_S // 60
    return f"{minutes // 60:d}:{minutes % 60:02d}"


def peak(values, offset=0):
    i = max(range(len(values)), key=values.__getitem__)
    return values[i], clock(i, offset)


def summary(study):
    af = CUBIC_FEET_PER_ACRE_FOOT
    per_hour = 3600 / STEP_S
    unit_depth = depth_volume(1.0)
    lines = []
    add = lines.append

    add(f"Storm event on a {BASIN_AREA:,.0f}-acre basin, {STEP_S // 60}-minute steps")
    add("")
    add(f"{'series':<27} {'peak':>12} {'at h:mm':>8} {'volume ac-ft':>13} {'depth in':>9}")
    add("-" * 72)

    def row(name, top, unit, when, volume):
        add(f"{name:<27} {top:>8,.{3 if unit == 'in/h' else 0}f} {unit:<4}"
            f"{when:>8} {volume / af:>13,.0f} {volume / unit_depth:>9.3f}")

    def depth_row(name, values):
        top, when = peak(values)
        row(name, top * per_hour, "in/h", when, depth_volume(sum(values)))

    def flow_row(name, values, offset=0):
        top, when = peak(values, offset)
        row(name, top, "cfs", when, flow_volume(values))

    depth_row("gross rainfall", study["rain"])
    depth_row("infiltration loss", study["loss"])
    depth_row("excess rainfall", study["excess"])
    flow_row("direct runoff (Clark)", study["direct"])
    for name, values in study["layers"].items():
        flow_row(f"baseflow, {name}", values)
    flow_row("reach inflow", study["reach_in"])
    flow_row("reach outflow (Muskingum)", study["reach_out"])
    # Reservoir outputs: value k stands at (k + 1) steps.
    flow_row("reservoir outflow", study["outflow"], offset=1)
    for name, values in study["outlets"].items():
        flow_row(f"  {name}", values, offset=1)
    flow_row("observed outflow", study["observed"], offset=1)
    top, when = peak(study["elevation"], offset=1)
    add(f"{'reservoir elevation':<27} {top:>8.2f} ft  {when:>8}   (spillway crest {CREST:g} ft, start {INITIAL_ELEVATION:g} ft)")
    add("")
    add("Times are from the start of the storm; for rainfall, the start of the interval.")
    add(
        f"The Clark unit hydrograph yields {study['unit_depth']:.3f} in of runoff per inch of excess:"
    )
    add(f"its recession past tc = {TC.total_seconds() / 3600:g} h is cut (docs/guide/clark.md).")
    add("")

    volume_in, volume_out, change, residual = reservoir_balance(
        study["reach_out"], study["outflow"], study["storage"]
    )
    add(f"Reservoir volume balance, {clock(1)} to {clock(len(study['storage']))}")
    add(f"  inflow volume                  {volume_in / af:>12,.3f} ac-ft")
    add(f"  outflow volume                 {volume_out / af:>12,.3f} ac-ft")
    add(f"  storage change                 {change / af:>12,.3f} ac-ft")
    add(f"  inflow - outflow - change      {residual:>12,.0f} cu ft ({residual / volume_in:.1e} of the inflow)")
    add("")
    add("Reservoir outflow against the observed series")
    add(f"  Kling-Gupta efficiency         {study['kge']:>8.3f}")
    add(f"  the same on logarithms         {study['kge_log']:>8.3f}")
    return "\n".join(lines)


# --- figure -------------------------------------------------------------------


def draw_figure(study):
    """Hyetograph, hydrographs and reservoir elevation, one above the other."""
    import matplotlib.pyplot as plt

    hours = STEP_S / 3600
    t_rain = [i * hours for i in range(len(study["rain"]))]
    t_flow = [i * hours for i in range(len(study["reach_in"]))]
    t_res = [(k + 1) * hours for k in range(len(study["outflow"]))]
    per_hour = 1 / hours

    fig, (ax_rain, ax_flow, ax_elev) = plt.subplots(
        3, 1, figsize=(9, 9), sharex=True, gridspec_kw={"height_ratios": [1, 2, 1.2]}
    )
    ax_rain.bar(t_rain, [r * per_hour for r in study["rain"]], width=hours, align="edge",
                color="#9ecae1", label="gross rainfall")
    ax_rain.bar(t_rain, [r * per_hour for r in study["excess"]], width=hours, align="edge",
                color="#08519c", label="excess")
    ax_rain.invert_yaxis()
    ax_rain.set_ylabel("rainfall (in/h)")
    ax_rain.legend(loc="lower right")
    ax_rain.set_title(f"Storm event on a {BASIN_AREA:,.0f}-acre basin")

    ax_flow.plot(t_flow, study["reach_in"], color="#6baed6", label="direct runoff + baseflow (reach inflow)")
    ax_flow.plot(t_flow, study["baseflow"], color="#74c476", linestyle="--", label="baseflow")
    ax_flow.plot(t_flow, study["reach_out"], color="#2171b5", label="reach outflow = reservoir inflow")
    ax_flow.plot(t_res, study["outflow"], color="#cb181d", linewidth=2, label="reservoir outflow")
    ax_flow.plot(t_res, study["outlets"]["spillway"], color="#fd8d3c", linestyle=":", label="spillway")
    ax_flow.plot(t_res, study["outlets"]["gate"], color="#a63603", linestyle=":", label="gated outlet")
    ax_flow.plot(t_res, study["observed"], color="black", linestyle="none", marker=".", markersize=3,
                 label=f"observed (synthetic), KGE {study['kge']:.2f}")
    ax_flow.set_ylabel("discharge (cfs)")
    ax_flow.set_ylim(bottom=0)
    ax_flow.legend(loc="upper right")

    ax_elev.plot(t_res, study["elevation"], color="#54278f", label="pool elevation")
    ax_elev.axhline(CREST, color="grey", linestyle="--", linewidth=1, label="spillway crest")
    ax_elev.set_ylabel("elevation (ft)")
    ax_elev.set_xlabel("hours from the start of the storm")
    ax_elev.legend(loc="lower right")
    ax_elev.set_xlim(0, t_flow[-1])
    for ax in (ax_rain, ax_flow, ax_elev):
        ax.grid(alpha=0.3)
    fig.tight_layout()
    return fig


def save_figure(study, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = draw_figure(study)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--figure", metavar="PATH", help="save the figure as PNG to PATH (needs matplotlib)")
    parser.add_argument("--show", action="store_true", help="draw the figure in a window (needs matplotlib)")
    args = parser.parse_args(argv)

    study = run_study()
    print(summary(study))
    if args.figure:
        try:
            save_figure(study, args.figure)
        except ImportError:
            print("--figure needs matplotlib: python -m pip install matplotlib", file=sys.stderr)
            return 1
        print(f"\nFigure saved to {args.figure}")
    if args.show:
        import matplotlib.pyplot as plt

        draw_figure(study)
        plt.show()
    return 0


if __name__ == "__main__":
    # A failure exits non-zero; success returns, so that the gallery of the
    # documentation, which runs this file inside Sphinx's own process, goes on.
    if status := main():
        sys.exit(status)
