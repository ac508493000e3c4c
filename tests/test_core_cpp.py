"""The plain C++ core builds and passes its checks without Python."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
CORE = ["error.cpp", "platform.cpp", "format.cpp", "duration.cpp", "utils/time_series.cpp", "utils/general.cpp"]


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_core_checks(tmp_path):
    exe = tmp_path / "test_core"
    cmd = ["g++", "-std=c++20", "-O1", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror",
           f"-I{SRC}", str(ROOT / "tests" / "cpp" / "test_core.cpp"), *(str(SRC / f) for f in CORE), "-o", str(exe)]
    subprocess.run(cmd, check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "0 failed" in run.stdout


RESERVOIR = ["reservoir_routing/reservoir_utils/discharge_source.cpp",
             "reservoir_routing/reservoir_utils/specified_discharge.cpp",
             "reservoir_routing/reservoir_utils/controlled_discharge.cpp",
             "reservoir_routing/reservoir_utils/elevation_discharge.cpp",
             "reservoir_routing/reservoir_utils/elevation_storage.cpp"]


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_reservoir_lookup_checks(tmp_path):
    """Lookups that remember their segment, outlet evaluators and batch
    sampling against fresh lookups, bit for bit."""
    exe = tmp_path / "test_reservoir_lookups"
    cmd = ["g++", "-std=c++20", "-O1", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror", f"-I{SRC}",
           str(ROOT / "tests" / "cpp" / "test_reservoir_lookups.cpp"), *(str(SRC / f) for f in CORE + RESERVOIR),
           "-o", str(exe)]
    subprocess.run(cmd, check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "0 failed" in run.stdout
