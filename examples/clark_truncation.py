"""What the Clark unit hydrograph keeps, and what it cuts
======================================================

    python examples/clark_truncation.py [--figure PATH] [--show]

`run_clark_uh` keeps n = ceil(tc / dt) ordinates of the unit hydrograph: the
linear reservoir's recession after the time of concentration is not carried.
This script rebuilds the translation hydrograph from the time-area curve,
routes it through the same linear reservoir (Muskingum routing with x = 0,
which is what the transform uses) for long enough to drain it, and compares:
the first n ordinates are those of `run_clark_uh`, bit for bit; the rest is
the recession that the unit hydrograph leaves out.  It prints both and the
runoff depth of each per inch of excess.

What is kept depends on the storage coefficient R against tc far more than
on the step: the script also prints the depth per inch of excess kept by
`run_clark_uh` against R / tc for several tc / dt.  With --figure PATH it
draws both into PATH, with --show in a window (needs matplotlib).
"""

import argparse
import math
import sys
from datetime import timedelta

import quellmar

STEP = timedelta(hours=1)
TC = timedelta(hours=3)
STORAGE_R = timedelta(hours=1)
AREA = 640.0  # acres, one square mile
DRAIN_STEPS = 12  # steps routed after tc, to show the recession


def translation_ordinates(tc_s, dt):
    """The translation hydrograph (cfs) of one inch over AREA: increments of
    the time-area curve A(t) = 1.414 t^1.5 below t = 0.5, 1 - 1.414 (1 - t)^1.5
    above, times AREA x 1.00833 / (dt in hours)."""
    n = math.ceil(tc_s / dt)
    ordinates, previous = [], 0.0
    for i in range(1, n + 1):
        t = min(dt * i / tc_s, 1.0)
        area = 1.414 * t**1.5 if t < 0.5 else (1.0 - t) ** 1.5 * -1.414 + 1.0
        ordinates.append((area - previous) * AREA * 1.00833 / (dt / 3600))
        previous = area
    return ordinates


def compare():
    dt = STEP.total_seconds()
    one_inch = quellmar.utils.IncrementalTimeSeries([1.0], STEP, "rainfall")
    kept = quellmar.rainfall_transform.run_clark_uh(one_inch, AREA, TC, STORAGE_R).data
    u = translation_ordinates(TC.total_seconds(), dt)
    inflow = quellmar.utils.ContinuousTimeSeries(u + [0.0] * DRAIN_STEPS, STEP, "discharge")
    full = quellmar.reach.run_muskingum_routing(inflow, STORAGE_R, 0.0, 1, 0.0).data
    return kept, full


def depth(flow):
    """Runoff depth (in) over AREA of a flow series (cfs), one step per value."""
    return sum(flow) * STEP.total_seconds() / (AREA * 43_560.0 / 12.0)


# The kept fraction against R / tc, one curve per tc / dt.
RATIOS = [0.03125 * 2 ** (k / 4) for k in range(29)]  # R / tc from 1/32 to 4
STEPS_PER_TC = [2, 4, 8, 24, 120]  # tc / dt
TABLE_TC = timedelta(hours=2)  # the table of the guide: tc 2 h
TABLE_R = [timedelta(minutes=15), timedelta(minutes=90)]
TABLE_DT = [timedelta(minutes=60), timedelta(minutes=15), timedelta(minutes=1)]


def kept_fraction(tc, storage_r, step):
    """Runoff depth per inch of excess of the unit hydrograph that
    `run_clark_uh` returns for one inch in one step of `step`."""
    one_inch = quellmar.utils.IncrementalTimeSeries([1.0], step, "rainfall")
    uh = quellmar.rainfall_transform.run_clark_uh(one_inch, AREA, tc, storage_r).data
    return sum(uh) * step.total_seconds() / (AREA * 43_560.0 / 12.0)


def kept_curves():
    """{tc / dt: [kept fraction for each R / tc of RATIOS]}, with tc = 2 h."""
    tc_s = TABLE_TC.total_seconds()
    return {per_tc: [kept_fraction(TABLE_TC, timedelta(seconds=ratio * tc_s), timedelta(seconds=tc_s / per_tc))
                     for ratio in RATIOS]
            for per_tc in STEPS_PER_TC}


def kept_table():
    lines = [f"runoff per inch of excess kept by run_clark_uh, tc = {TABLE_TC.total_seconds() / 3600:g} h",
             "",
             f"{'storage_r':>9}  " + "  ".join(f"{'dt ' + str(int(dt.total_seconds() // 60)) + ' min':>10}"
                                               for dt in TABLE_DT)]
    for r in TABLE_R:
        row = "  ".join(f"{kept_fraction(TABLE_TC, r, dt):>10.3f}" for dt in TABLE_DT)
        lines.append(f"{str(int(r.total_seconds() // 60)) + ' min':>9}  {row}")
    return "\n".join(lines)


def report(kept, full):
    lines = [f"Clark unit hydrograph, tc = {TC.total_seconds() / 3600:g} h, "
             f"R = {STORAGE_R.total_seconds() / 3600:g} h, {AREA:g} acres, hourly steps",
             "",
             f"{'hour':>4}  {'run_clark_uh':>12}  {'reservoir drained':>17}"]
    for j, q in enumerate(full):
        ours = f"{kept[j]:12.3f}" if j < len(kept) else f"{'(cut)':>12}"
        lines.append(f"{j:>4}  {ours}  {q:17.3f}")
    lines += ["",
              f"runoff per inch of excess: {depth(kept):.3f} in kept, {depth(full):.3f} in when drained",
              f"the first {len(kept)} ordinates agree bit for bit: {full[:len(kept)] == kept}"]
    return "\n".join(lines)


def draw_figure(kept, full):
    """The unit hydrograph against the drained reservoir, and what is kept against R / tc."""
    import matplotlib.pyplot as plt

    fig, (ax, kept_ax) = plt.subplots(1, 2, figsize=(13, 4.6), gridspec_kw={"width_ratios": [1.15, 1]})
    hours = list(range(len(full)))
    ax.plot(hours, full, color="#9ecae1", marker="o", linestyle="--",
            label=f"linear reservoir drained ({depth(full):.2f} in per inch)")
    ax.plot(hours[: len(kept)], kept, color="#08519c", marker="o", linewidth=2,
            label=f"run_clark_uh: n = ceil(tc / dt) = {len(kept)} ordinates ({depth(kept):.2f} in per inch)")
    ax.axvline(len(kept) - 1, color="grey", linewidth=1, linestyle=":")
    ax.annotate("recession cut here", xy=(len(kept) - 1, kept[-1]), xytext=(len(kept) + 2.5, 0.55 * max(full)),
                arrowprops={"arrowstyle": "->", "color": "grey"})
    ax.set_xlabel("hours after the inch of excess")
    ax.set_ylabel("discharge (cfs)")
    ax.set_title(f"Clark unit hydrograph, tc {TC.total_seconds() / 3600:g} h, R {STORAGE_R.total_seconds() / 3600:g} h, one square mile")
    ax.set_ylim(0, 1.3 * max(full))
    ax.grid(alpha=0.3)
    ax.legend(loc="upper right", fontsize="small")

    shades = ["#c6dbef", "#9ecae1", "#6baed6", "#3182bd", "#08519c"]
    for (per_tc, fractions), shade in zip(kept_curves().items(), shades):
        kept_ax.plot(RATIOS, fractions, color=shade, linewidth=2, label=f"tc / dt = {per_tc}")
    kept_ax.set_xscale("log", base=2)
    kept_ax.set_xticks([1 / 32, 1 / 8, 1 / 2, 2], ["1/32", "1/8", "1/2", "2"])
    kept_ax.set_xlabel("storage_r / tc")
    kept_ax.set_ylabel("runoff kept per inch of excess (in)")
    kept_ax.set_title("What run_clark_uh keeps: set by R / tc, barely by the step")
    kept_ax.set_ylim(0, 1)
    kept_ax.grid(alpha=0.3, which="both")
    kept_ax.legend(loc="lower left", fontsize="small")
    fig.tight_layout()
    return fig


def save_figure(kept, full, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = draw_figure(kept, full)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--figure", metavar="PATH", help="save the figure as PNG to PATH (needs matplotlib)")
    parser.add_argument("--show", action="store_true", help="draw the figure in a window (needs matplotlib)")
    args = parser.parse_args(argv)
    kept, full = compare()
    print(report(kept, full))
    print()
    print(kept_table())
    if args.figure:
        try:
            save_figure(kept, full, args.figure)
        except ImportError:
            print("--figure needs matplotlib: python -m pip install matplotlib", file=sys.stderr)
            return 1
        print(f"\nFigure saved to {args.figure}")
    if args.show:
        import matplotlib.pyplot as plt

        draw_figure(kept, full)
        plt.show()
    return 0


if __name__ == "__main__":
    # A failure exits non-zero; success returns, so that the gallery of the
    # documentation, which runs this file inside Sphinx's own process, goes on.
    if status := main():
        sys.exit(status)
