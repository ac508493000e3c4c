"""The module's own exp, log and x^1.5: correctly rounded, and the only ones
the built extension uses."""
import pathlib
import random
import shutil
import struct
import subprocess
import sys

import pytest
from mpmath import mp, mpf

import quellmar

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import verify_math  # noqa: E402  (the argument sets and hard cases of the full check)

COUNT = 30_000  # per function; tools/verify_math.py runs 10^7 against MPFR


def correctly_rounded(name, x):
    """The double nearest to f(x) (ties to even), subnormals included, by mpmath."""
    if x != x:
        return x
    if name == "exp":
        if x == float("inf"):
            return x
        if x == float("-inf"):
            return 0.0
        if x > 710:
            return float("inf")
        if x < -746:
            return 0.0
        v = mp.exp(mpf(x))
    elif name == "log":
        if x < 0:
            return float("nan")
        if x == 0:
            return float("-inf")
        if x == float("inf"):
            return x
        v = mp.log(mpf(x))
    else:
        if x < 0:
            return float("nan")
        if x == float("inf"):
            return x
        v = mpf(x) ** mpf(1.5)
    if v == 0:
        return 0.0
    # Round to the subnormal grid below 2^-1022, to 53 bits above.
    m, e = mp.frexp(v)
    step = mpf(2) ** max(e - 53, -1074)
    n = mp.nint(v / step)  # mpmath's nint rounds ties to even
    return float(n * step) if n * step < mpf(2) ** 1024 else float("inf")


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    if shutil.which("g++") is None:
        pytest.skip("needs g++")
    return verify_math.build(tmp_path_factory.mktemp("cr_math"))


@pytest.mark.parametrize("name", ["exp", "log", "pow15", "log_array", "exp_accurate", "log_accurate", "pow15_exact"])
def test_correctly_rounded(driver, tmp_path, name):
    base = name.split("_")[0]
    count = COUNT if name == base else COUNT // 3 if name == "log_array" else COUNT // 10
    xs = verify_math.arguments(base, count, random.Random(7))
    got = verify_math.run(driver, name, xs, tmp_path)
    mp.prec = 200
    bad = [(x.hex(), g.hex(), correctly_rounded(base, x).hex())
           for x, g in zip(xs, got) if not verify_math.same(g, correctly_rounded(base, x))]
    assert bad == []


def test_no_maths_library_function_imported():
    """Results must not depend on the platform's exp, log or pow."""
    if shutil.which("nm") is None:
        pytest.skip("needs nm")
    path = pathlib.Path(quellmar.__file__)
    with open(path, "rb") as f:
        if f.read(4) != b"\x7fELF":
            pytest.skip("not an ELF file")
    out = subprocess.run(["nm", "-D", "--undefined-only", str(path)], capture_output=True, text=True,
                         check=True).stdout
    names = {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}
    banned = {f"{base}{suffix}" for base in ("exp", "log", "pow") for suffix in ("", "f", "l", "f64", "f128")}
    banned |= {f"__{n}_finite" for n in list(banned)}
    assert sorted(names & banned) == []
