import gc
import importlib.util
import os
import sys

import pytest

# The packages of the `test` extra (pyproject.toml).  A missing one stops the
# run here, naming it, instead of quietly skipping the tests that use it.
# Checks that run a chosen part of the suite in an environment of their own
# (tools/tsan.sh) name what they leave out in QUELLMAR_TESTS_WITHOUT.
TEST_PACKAGES = ("pytest", "hypothesis", "numpy", "scipy", "pandas", "dask", "distributed", "mypy", "matplotlib")


def pytest_configure(config):
    left_out = set(os.environ.get("QUELLMAR_TESTS_WITHOUT", "").split())
    missing = [name for name in TEST_PACKAGES if name not in left_out and importlib.util.find_spec(name) is None]
    if missing:
        raise pytest.UsageError(
            f"the tests need {', '.join(missing)}: install them with "
            "`python -m pip install \".[test]\"` (see README.md)"
        )


def _refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


@pytest.fixture
def no_leak():
    """check(call, *objects): runs `call` many times (it may raise) and asserts
    that the reference counts of `objects` are unchanged afterwards."""

    def check(call, *objects, repeat=200):
        def run():
            try:
                call()
            except BaseException:  # PanicException derives from BaseException
                pass

        run()  # warm caches created once per process
        gc.collect()
        before = _refcounts(objects)
        for _ in range(repeat):
            run()
        gc.collect()
        assert _refcounts(objects) == before

    return check
