"""The type stubs (stubs/quellmar-stubs) against the compiled module.

The full check is mypy's stubtest (stubs/run_stubtest.py) plus a strict mypy
run over tests/typecheck/usage.py; CI runs both, and so do the last tests here
when mypy is installed.  The others need nothing beyond the module.
"""

import ast
import filecmp
import importlib.metadata
import inspect
import os
import pathlib
import runpy
import subprocess
import sys

import pytest

import quellmar

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs" / "quellmar-stubs"
USAGE = ROOT / "tests" / "typecheck" / "usage.py"

# Runtime module -> the stub file that describes it.
STUB_FILES = {
    "quellmar": "__init__.pyi",
    "quellmar.utils": "_utils.pyi",
    "quellmar.reach": "_reach.pyi",
    "quellmar.reservoir": "_reservoir.pyi",
    "quellmar.reservoir.reservoir_utils": "_reservoir_utils.pyi",
    "quellmar.rainfall_transform": "_rainfall_transform.pyi",
    "quellmar.rainfall_loss": "_rainfall_loss.pyi",
    "quellmar.baseflow": "_baseflow.pyi",
    "quellmar.metrics": "_metrics.pyi",
}


def runtime_module(dotted):
    module = quellmar
    for part in dotted.split(".")[1:]:
        module = getattr(module, part)
    return module


def stub_tree(dotted):
    return ast.parse((STUBS / STUB_FILES[dotted]).read_text())


def stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    return None


def test_every_module_has_a_stub_with_its_names():
    seen = set()
    for dotted in STUB_FILES:
        module = runtime_module(dotted)
        assert stub_all(stub_tree(dotted)) == module.__all__, dotted
        seen.add(dotted)
        seen.update(f"{dotted}.{name}" for name in module.__all__ if inspect.ismodule(getattr(module, name)))
    assert seen == set(STUB_FILES)


@pytest.mark.parametrize("dotted", [name for name in STUB_FILES if name != "quellmar"])
def test_stub_properties_name_the_runtime_attributes(dotted):
    module = runtime_module(dotted)
    classes = {node.name: node for node in stub_tree(dotted).body if isinstance(node, ast.ClassDef)}
    for name in module.__all__:
        obj = getattr(module, name)
        if inspect.isclass(obj):
            for attr, value in vars(obj).items():
                if inspect.isgetsetdescriptor(value):
                    assert f"def {attr}(self)" in ast.unparse(classes[name]), f"{dotted}.{name}.{attr}"


NO_DEFAULT = inspect.Parameter.empty


def stub_parameters(body):
    """name -> one [(parameter, default)] per def of that name in `body` (each
    overload), without self/cls; the default is the literal's value, or
    NO_DEFAULT."""
    found = {}
    for node in body:
        if not isinstance(node, ast.FunctionDef):
            continue
        decorators = {d.attr if isinstance(d, ast.Attribute) else getattr(d, "id", None) for d in node.decorator_list}
        if "property" in decorators or "setter" in decorators:
            continue
        a = node.args
        positional = a.posonlyargs + a.args
        defaults = [NO_DEFAULT] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
        params = list(zip((p.arg for p in positional), defaults))
        params += [(p.arg, NO_DEFAULT if d is None else ast.literal_eval(d)) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
        if params[:1] in ([("self", NO_DEFAULT)], [("cls", NO_DEFAULT)]):
            params = params[1:]
        found.setdefault(node.name, []).append(params)
    return found



def runtime_parameters(obj):
    """[(parameter, default)] from the text signature of `obj`'s docstring."""
    return [(name, p.default) for name, p in inspect.signature(obj).parameters.items()
            if name not in ("self", "$self")]


def runtime_callables(dotted):
    """(label, runtime object, stub parameter lists) of every callable in a
    submodule: its functions, its constructors and its methods."""
    module = runtime_module(dotted)
    tree = stub_tree(dotted)
    functions = stub_parameters(tree.body)
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    for name in module.__all__:
        obj = getattr(module, name)
        if inspect.isbuiltin(obj):
            yield f"{dotted}.{name}", obj, functions[name]
        elif inspect.isclass(obj):
            members = stub_parameters(classes[name].body)
            if obj.__text_signature__ is not None:
                yield f"{dotted}.{name}", obj, members["__new__"]
            for attr, value in vars(obj).items():
                if inspect.ismethoddescriptor(value) and not attr.startswith("__"):
                    yield f"{dotted}.{name}.{attr}", value, members[attr]


@pytest.mark.parametrize("dotted", [name for name in STUB_FILES if name != "quellmar"])
def test_text_signatures_and_stubs_agree_on_parameters_and_defaults(dotted):
    checked = 0
    for label, obj, stub_forms in runtime_callables(dotted):
        want = runtime_parameters(obj)
        for form in stub_forms:
            # Same names in the same order, the same ones optional, and
            # equal defaults of the same type (False is not 0, None is not ...).
            assert [n for n, _ in form] == [n for n, _ in want], label
            for (name, stub_default), (_, default) in zip(form, want):
                assert type(stub_default) is type(default) and stub_default == default, f"{label}({name})"
        checked += 1
    assert checked > 0


def test_usage_file_runs():
    # Its misuses, errors for the type checker, must fail at run time too.
    runpy.run_path(str(USAGE), run_name="__main__")
    assert "quellmar.reach" not in sys.modules


def installed_from_distribution():
    """True when the imported quellmar belongs to an installed distribution."""
    try:
        dist = importlib.metadata.distribution("quellmar")
    except importlib.metadata.PackageNotFoundError:
        return False
    module = pathlib.Path(quellmar.__file__).resolve()
    return any(pathlib.Path(dist.locate_file(f)).resolve() == module for f in dist.files or [])


def installed_stubs():
    return pathlib.Path(quellmar.__file__).resolve().parent / "quellmar-stubs"


def test_wheel_ships_the_stubs():
    if not installed_from_distribution():
        pytest.skip("quellmar is not imported from an installed distribution")
    shipped = installed_stubs()
    names = sorted(p.name for p in STUBS.iterdir())
    assert sorted(p.name for p in shipped.iterdir() if p.suffix == ".pyi") == names
    match, mismatch, errors = filecmp.cmpfiles(STUBS, shipped, names, shallow=False)
    assert (mismatch, errors) == ([], [])


@pytest.fixture
def mypy_env(tmp_path):
    """Environment in which mypy sees the stubs for the imported quellmar:
    the installed ones, or else those of this checkout."""
    pytest.importorskip("mypy")
    env = dict(os.environ)
    if not installed_stubs().is_dir():
        (tmp_path / "path").mkdir()
        os.symlink(STUBS, tmp_path / "path" / "quellmar")
        env["MYPYPATH"] = str(tmp_path / "path")
    return env


def test_stubtest(mypy_env):
    command = [sys.executable, str(ROOT / "stubs" / "run_stubtest.py")]
    if "MYPYPATH" in mypy_env:
        command.append("--checkout")
    done = subprocess.run(command, capture_output=True, text=True, env=mypy_env, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_usage_type_checks(mypy_env, tmp_path):
    command = [sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores",
               "--cache-dir", str(tmp_path / "cache"), str(USAGE)]
    done = subprocess.run(command, capture_output=True, text=True, env=mypy_env, cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
