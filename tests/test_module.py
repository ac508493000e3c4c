"""Module tree, registration and class facts."""

import importlib
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import quellmar
from helpers import load_standalone

# The table of submodules (name, initialiser, standalone entry module or not),
# read from the one place that lists them.
TABLE = re.findall(r"^ *QUELLMAR_SUBMODULE\(X, (\w+), (\w+), ([01])\)",
                   (pathlib.Path(__file__).resolve().parent.parent / "src" / "binding" / "submodules.hpp").read_text(),
                   re.MULTILINE)
SUBMODULES = [name for name, _, _ in TABLE]
STANDALONE = {initialiser: name for name, initialiser, standalone in TABLE if standalone == "1"}


def test_top_level_tree():
    assert quellmar.__all__ == SUBMODULES
    assert quellmar.__doc__ == ""
    for name in SUBMODULES:
        sub = getattr(quellmar, name)
        assert sub.__name__ == name
        assert sub.__doc__ is None
        assert name not in sys.modules and f"quellmar.{name}" not in sys.modules


def test_submodules_are_not_importable_by_dotted_path():
    from quellmar import reach  # noqa: F401  (attribute access works)

    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("quellmar.reach")
    with pytest.raises(ModuleNotFoundError):
        exec("from quellmar.reach import run_muskingum_routing", {})


def test_utils_contents_and_class_facts():
    utils = quellmar.utils
    assert utils.__all__ == ["ContinuousTimeSeries", "IncrementalTimeSeries"]
    for cls in (utils.ContinuousTimeSeries, utils.IncrementalTimeSeries):
        assert cls.__module__ == "builtins"
        assert cls.__name__ == cls.__qualname__ == cls.__name__.split(".")[-1]
        assert cls.__bases__ == (object,)
        assert not hasattr(cls, "__dictoffset__") or cls.__dictoffset__ == 0
        assert cls.__weakrefoffset__ == 0
    assert utils.ContinuousTimeSeries.__text_signature__ == "(data, time_step, kind)"
    assert utils.IncrementalTimeSeries.__text_signature__ == "(data, time_step, kind)"
    assert utils.IncrementalTimeSeries.disaggregate.__text_signature__ == "($self, target_step)"
    assert utils.ContinuousTimeSeries.total_duration.__text_signature__ == "($self)"


def test_every_callable_carries_a_text_signature():
    for name in SUBMODULES:
        sub = getattr(quellmar, name)
        for attr in getattr(sub, "__all__", []):
            obj = getattr(sub, attr)
            if callable(obj) and not isinstance(obj, type):
                assert obj.__module__ == name
                assert obj.__text_signature__ is not None, attr


def test_reimport_keeps_type_objects():
    cls = quellmar.utils.ContinuousTimeSeries
    saved = sys.modules.pop("quellmar")
    try:
        again = importlib.import_module("quellmar")
        assert again is not saved
        assert again.utils is not saved.utils
        assert again.utils.ContinuousTimeSeries is cls
    finally:
        sys.modules["quellmar"] = saved


@pytest.mark.parametrize("entry,submodule", sorted(STANDALONE.items()))
def test_standalone_entry_modules(entry, submodule):
    module = load_standalone(entry)
    assert module.__name__ == entry
    assert module.__doc__ == ""
    original = getattr(quellmar, submodule)
    assert getattr(module, "__all__", []) == getattr(original, "__all__", [])
    for name in getattr(original, "__all__", []):
        here, there = getattr(module, name), getattr(original, name)
        if isinstance(there, type):
            assert here is there  # one type object per class per process
        elif callable(there):
            assert here is not there and here.__name__ == there.__name__
            assert here.__module__ == entry


def test_there_is_no_utils_entry_point():
    with pytest.raises(ImportError):
        load_standalone("init_utils")


def test_no_instance_dict_or_weakref():
    import datetime

    s = quellmar.utils.ContinuousTimeSeries([1.0], datetime.timedelta(hours=1), "discharge")
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(s)
    with pytest.raises(AttributeError):
        s.data = [2.0]
    with pytest.raises((AttributeError, TypeError)):
        quellmar.utils.ContinuousTimeSeries.data = 5  # class attributes are immutable


def test_subclass_instances():
    import datetime

    class Gauge(quellmar.utils.ContinuousTimeSeries):
        pass

    g = Gauge([1.0, 2.0], datetime.timedelta(minutes=15), "discharge")
    assert type(g) is Gauge
    assert g.data == [1.0, 2.0]
    g.label = "upstream"  # the subclass has its own __dict__
    assert g.label == "upstream"


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.skipif(sys.platform == "win32", reason="reads ELF dynamic symbols; tools/wheel-windows.sh checks the PE exports")
def test_exports_exactly_the_entry_points():
    out = subprocess.run(["nm", "-D", "--defined-only", quellmar.__file__], capture_output=True, text=True,
                         check=True).stdout
    names = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    assert names == sorted(["PyInit_quellmar", *(f"PyInit_{n}" for n in STANDALONE)])


@pytest.mark.skipif(sys.version_info < (3, 13), reason="isolated sub-interpreters are exercised on 3.13+")
def test_isolated_subinterpreter_import_fails_cleanly():
    code = (
        "import _interpreters\n"
        "interp = _interpreters.create()\n"
        "err = _interpreters.run_string(interp, 'import quellmar')\n"
        "print('refused' if err is not None else 'loaded')\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "refused"


def test_gil_stays_disabled_on_free_threaded_builds():
    if not hasattr(sys, "_is_gil_enabled") or sys._is_gil_enabled():
        pytest.skip("not a free-threaded interpreter running without the GIL")
    run = subprocess.run([sys.executable, "-c", "import sys, quellmar; print(sys._is_gil_enabled())"],
                         capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "False"
