"""The parameter tables of the binding layer, checked by the compiler: the
text signatures they render, and the tables that must be refused (more
parameters than the argument capacity, a required parameter after an
optional one, a None default on a kind that cannot be absent), and the
bodies that must be refused (positional parameters, which could be swapped,
and a name that is not in the table)."""

import pathlib
import shutil
import subprocess
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests" / "cpp" / "param_tables.cpp"

pytestmark = pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")


def compile_tables(*defines):
    command = ["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", f"-I{ROOT / 'src'}",
               f"-I{sysconfig.get_paths()['include']}", *(f"-D{d}" for d in defines), str(SOURCE)]
    return subprocess.run(command, capture_output=True, text=True)


def test_rendered_signatures_and_counts():
    done = compile_tables()
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("define, message", [
    ("BAD_TOO_MANY", "more parameters than Args can hold"),
    ("BAD_REQUIRED_AFTER_OPTIONAL", "the required parameters come first"),
    ("BAD_NONE_DEFAULT", "a parameter whose default is None converts into a std::optional"),
    ("BAD_SWAPPED_BODY", "a body takes its table's Values and reads each argument by name"),
    ("BAD_UNKNOWN_NAME", "the table has no parameter of this name"),
])
def test_refused_tables(define, message):
    done = compile_tables(define)
    assert done.returncode != 0
    assert message in done.stderr
