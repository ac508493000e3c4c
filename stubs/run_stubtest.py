"""Check the quellmar type stubs against the compiled module.

    python stubs/run_stubtest.py [--checkout] [stubtest options]

Runs mypy's stubtest on the installed quellmar and its stub package
`quellmar-stubs` (shipped in the same wheel).  With --checkout it checks the
stubs of this checkout instead of the installed ones (for a module built in
place and found through PYTHONPATH).

The submodules of quellmar are attributes of the extension module, not
importable modules, and their stubs live in private files (`_reach.pyi`, ...)
bound under the public names in `__init__.pyi`.  stubtest imports every module
it finds a stub for, so this wrapper first enters each submodule object in
sys.modules under its stub's name.  Nothing else is patched: stubtest then
compares every stub with the real object.
"""

import os
import pathlib
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
ALLOWLIST = HERE / "stubtest-allowlist.txt"


def register_submodules():
    import quellmar

    aliases = {
        "quellmar._utils": quellmar.utils,
        "quellmar._reach": quellmar.reach,
        "quellmar._reservoir": quellmar.reservoir,
        "quellmar._reservoir_utils": quellmar.reservoir.reservoir_utils,
        "quellmar._rainfall_transform": quellmar.rainfall_transform,
        "quellmar._rainfall_loss": quellmar.rainfall_loss,
        "quellmar._baseflow": quellmar.baseflow,
        "quellmar._metrics": quellmar.metrics,
    }
    missing = sorted(set(quellmar.__all__) - {name.split("._")[1] for name in aliases})
    if missing:
        sys.exit(f"run_stubtest: submodules without a stub file: {missing}")
    sys.modules.update(aliases)


def main(argv):
    args = list(argv)
    checkout = "--checkout" in args
    if checkout:
        args.remove("--checkout")
    if not any(not a.startswith("-") for a in args):
        args.insert(0, "quellmar")
    if ALLOWLIST.exists() and "--allowlist" not in args:
        args += ["--allowlist", str(ALLOWLIST)]

    tmp = tempfile.TemporaryDirectory(prefix="quellmar-stubtest-")
    if "--mypy-config-file" not in args:
        # mypy's cache goes there too, not into the working directory.
        config = os.path.join(tmp.name, "mypy.ini")
        with open(config, "w") as f:
            f.write(f"[mypy]\ncache_dir = {os.path.join(tmp.name, 'cache')}\n")
        args += ["--mypy-config-file", config]
    if checkout:
        # mypy looks for `quellmar-stubs` only among installed packages; for
        # the checkout, present the stub directory as package `quellmar`.
        os.symlink(HERE / "quellmar-stubs", os.path.join(tmp.name, "quellmar"))
        os.environ["MYPYPATH"] = os.pathsep.join(
            p for p in (tmp.name, os.environ.get("MYPYPATH")) if p
        )
    register_submodules()

    from mypy import stubtest

    try:
        return stubtest.test_stubs(stubtest.parse_options(args))
    finally:
        tmp.cleanup()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
