"""The worked storm event (examples/storm_event.py), end to end."""

import importlib.util
import os
import pathlib
import struct
import subprocess
import sys
from datetime import timedelta

import pytest

import quellmar

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "storm_event.py"
ru = quellmar.reservoir.reservoir_utils

# Runs the example with matplotlib unimportable, whether or not it is installed.
WITHOUT_MATPLOTLIB = (
    "import runpy, sys; sys.modules['matplotlib'] = None; "
    "sys.argv = [sys.argv[1]] + sys.argv[2:]; runpy.run_path(sys.argv[0], run_name='__main__')"
)


def run_example(*args, block_matplotlib=False):
    command = [sys.executable]
    command += ["-c", WITHOUT_MATPLOTLIB] if block_matplotlib else []
    command += [str(EXAMPLE), *args]
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True, timeout=120, env=dict(os.environ))


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("storm_event", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def study(example):
    return example.run_study()


def test_readme_command_runs_without_matplotlib():
    done = run_example(block_matplotlib=True)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    out = done.stdout
    for heading in ("gross rainfall", "direct runoff (Clark)", "reach outflow (Muskingum)",
                    "reservoir outflow", "Reservoir volume balance", "Kling-Gupta efficiency"):
        assert heading in out
    assert "Figure saved" not in out


def test_output_is_reproducible():
    first, second = run_example(), run_example()
    assert first.returncode == second.returncode == 0
    assert first.stdout == second.stdout


def test_figure_without_matplotlib_is_refused(tmp_path):
    target = tmp_path / "event.png"
    done = run_example("--figure", str(target), block_matplotlib=True)
    assert done.returncode == 1
    assert "--figure needs matplotlib" in done.stderr
    assert "Reservoir volume balance" in done.stdout  # the table comes first
    assert not target.exists()


def test_figure_with_matplotlib(tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / "event.png"
    done = run_example("--figure", str(target))
    assert done.returncode == 0, done.stderr
    assert f"Figure saved to {target}" in done.stdout
    data = target.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    assert (width, height) == (990, 990)


def test_reservoir_volume_balance(example, study):
    volume_in, volume_out, change, residual = example.reservoir_balance(
        study["reach_out"], study["outflow"], study["storage"]
    )
    assert volume_in > volume_out > 0 and change > 0
    assert residual == volume_in - volume_out - change
    # The routing integrates every second; the volumes come from the
    # 15-minute records: they agree to about 1e-5 here.
    assert abs(residual) < 1e-4 * volume_in
    # The printed balance is this one.
    assert f"{residual:>12,.0f} cu ft" in example.summary(study)


def test_chain_is_consistent(example, study):
    n = len(study["rain"])
    assert n == 4 * (example.STORM_HOURS + example.DRY_HOURS)
    # Rainfall splits into excess and loss, step by step.
    for r, e, l in zip(study["rain"], study["excess"], study["loss"]):
        assert e + l == pytest.approx(r, abs=1e-12)
    # The reach carries direct runoff plus baseflow; the reservoir records one
    # value fewer than it receives.
    assert study["reach_in"] == [d + b for d, b in zip(study["direct"], study["baseflow"])]
    assert len(study["reach_out"]) == n
    assert len(study["outflow"]) == len(study["storage"]) == len(study["elevation"]) == n - 1
    assert list(study["outlets"]) == ["spillway", "gate"]  # the dict's own order
    assert list(study["layers"]) == ["interflow", "groundwater"]
    for k, total in enumerate(study["outflow"]):
        assert total == study["outlets"]["spillway"][k] + study["outlets"]["gate"][k]
    # Direct runoff volume = excess depth times the unit hydrograph's depth.
    direct_depth = example.flow_volume(study["direct"]) / example.depth_volume(1.0)
    assert direct_depth == pytest.approx(sum(study["excess"]) * study["unit_depth"], rel=1e-9)
    assert 0.85 < study["unit_depth"] < 1.0
    # The spillway runs, and the pool stays within its rating tables.
    assert max(study["outlets"]["spillway"]) > 0
    assert example.CREST < max(study["elevation"]) < example.TOP
    assert 0.5 < study["kge"] < 1.0


@pytest.mark.parametrize(
    "inflow",
    [
        [50.0] * 6,  # steady: the balance closes exactly
        [0.0, 40.0, 80.0, 60.0, 30.0, 10.0],  # piecewise linear
    ],
)
def test_balance_window_matches_the_routing(example, inflow):
    # With a constant outlet the routing's own volumes are known exactly:
    # inflow volume over the window from one step to the end (trapezoids,
    # exact for straight lines), except that the first second pairs I[0], not
    # I[1], with the inflow one second later.
    step = 60
    curve = ru.ElevationStorage([0.0, 100.0], [0.0, 1e7])
    series = quellmar.utils.ContinuousTimeSeries(inflow, timedelta(seconds=step), "discharge")
    result = quellmar.reservoir.run_level_pool_routing(series, 50.0, curve, {"c": ru.ConstantDischargeInfo(20.0)})
    outflow = result.reservoir_total_outflow.data
    assert outflow == [20.0] * (len(inflow) - 1)
    volume_in, volume_out, change, residual = example.reservoir_balance(
        inflow, outflow, result.reservoir_storage.data, step
    )
    assert volume_out == 20.0 * step * (len(inflow) - 2)
    # The routing stored (I[0] - I[1]) / 2 more than the trapezoids hold.
    assert residual == pytest.approx((inflow[1] - inflow[0]) / 2, abs=1e-6)


def test_clark_truncation_example(tmp_path):
    path = ROOT / "examples" / "clark_truncation.py"
    spec = importlib.util.spec_from_file_location("clark_truncation", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    kept, full = module.compare()
    # The rebuilt translation hydrograph, routed on, starts with exactly the
    # transform's ordinates, and drains.
    assert len(kept) == 3 and full[:3] == kept
    assert full[-1] < 1e-2 * max(full)
    assert round(module.depth(kept), 3) == 0.566 and round(module.depth(full), 3) == 0.864
    # What is kept: set by R / tc, barely by the step (the guide's table)
    table = [[round(module.kept_fraction(module.TABLE_TC, r, dt), 3) for dt in module.TABLE_DT]
             for r in module.TABLE_R]
    assert table == [[0.667, 0.884, 0.917], [0.25, 0.435, 0.46]]
    args = ["--figure", str(tmp_path / "uh.png")] if importlib.util.find_spec("matplotlib") else []
    done = subprocess.run([sys.executable, str(path), *args], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "agree bit for bit: True" in done.stdout
    if args:
        assert (tmp_path / "uh.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_calibration_example_recovers_k_and_x():
    path = ROOT / "examples" / "calibration.py"
    spec = importlib.util.spec_from_file_location("calibration", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    inflow = module.upstream_flood()
    observed = module.observed_outflow(inflow)
    k_hours, x, score = module.calibrate(inflow, observed)
    # Within the noise of the true reach, and at least as good a fit as it.
    assert abs(k_hours - module.TRUE_K_HOURS) < 0.25 and abs(x - module.TRUE_X) < 0.03
    assert score >= module.kge(inflow, observed, module.TRUE_K_HOURS, module.TRUE_X)
