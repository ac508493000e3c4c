"""Comparisons, checks and loaders shared by the test modules.  The
plain-Python reference models live beside them in reference.py."""

import importlib.machinery
import importlib.util
import math
import os
import sys

import pytest

import quellmar


def same(a, b):
    """Equal bit for bit, treating every NaN alike (-0.0 differs from 0.0)."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def same_values(a, b):
    """Element-wise `same` of two sequences of the same length."""
    return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))


def assert_same(got, want):
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        assert same(g, w), (i, g, w)


def panic_of(call):
    """Runs `call`, which must fail with PanicException; returns the exception."""
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert not isinstance(exc, Exception)
    return exc


def physical_memory_bytes():
    """The machine's physical memory, as the module's own allocation guard sees it."""
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes

        class MemoryStatusEx(ctypes.Structure):
            _fields_ = [("dwLength", wintypes.DWORD), ("dwMemoryLoad", wintypes.DWORD),
                        *((name, ctypes.c_ulonglong) for name in
                          ("ullTotalPhys", "ullAvailPhys", "ullTotalPageFile", "ullAvailPageFile",
                           "ullTotalVirtual", "ullAvailVirtual", "ullAvailExtendedVirtual"))]

        status = MemoryStatusEx(dwLength=ctypes.sizeof(MemoryStatusEx))
        if not ctypes.windll.kernel32.GlobalMemoryStatusEx(ctypes.byref(status)):
            raise ctypes.WinError()
        return status.ullTotalPhys
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")


def load_standalone(name):
    """A fresh standalone entry module (init_reach, ...) of the built extension."""
    loader = importlib.machinery.ExtensionFileLoader(name, quellmar.__file__)
    spec = importlib.util.spec_from_file_location(name, quellmar.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def panic_in_worker(tag):
    """Run in a worker process: routing an empty inflow panics there."""
    import datetime as dt

    import quellmar

    empty = quellmar.utils.ContinuousTimeSeries([], dt.timedelta(hours=1), "discharge")
    try:
        quellmar.reach.run_muskingum_routing(empty, dt.timedelta(hours=1), 0.2, 1, 0.0)
    except BaseException as e:  # noqa: B036 - PanicException is a BaseException
        e.add_note(f"member {tag}")
        raise
