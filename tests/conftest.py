import gc
import sys

import pytest


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
