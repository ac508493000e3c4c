"""The plain C++ core and kernels build and pass their checks without Python
(no Python include path is given: a Python header anywhere in them fails the build)."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"


def python_free_sources():
    """Every source of src/core/ and of the kernels: all of src/ but the binding
    layer, the module's entry points and the submodules' Python faces (init_*)."""
    sources = sorted(p for p in SRC.rglob("*.cpp")
                     if p.parts[len(SRC.parts)] != "binding" and p.name != "module.cpp"
                     and not p.name.startswith("init_"))
    assert any(p.parent == SRC / "core" for p in sources)
    return sources


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
@pytest.mark.parametrize("program", ["test_core.cpp", "test_reservoir_lookups.cpp"])
def test_core_checks(tmp_path, program):
    """test_core: formatting, durations, the allocation guard, series and
    interpolation; test_reservoir_lookups: lookups that remember their segment,
    outlet evaluators and batch sampling against fresh lookups, bit for bit."""
    exe = tmp_path / program.removesuffix(".cpp")
    cmd = ["g++", "-std=c++20", "-O1", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror", f"-I{SRC}",
           str(ROOT / "tests" / "cpp" / program), *map(str, python_free_sources()), "-o", str(exe)]
    subprocess.run(cmd, check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "0 failed" in run.stdout
