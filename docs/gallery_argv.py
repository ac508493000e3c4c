"""Command-line arguments of the examples when the gallery runs them
(named in conf.py by its qualified name, so that Sphinx can cache the
configuration)."""

import os


def example_argv(gallery_conf, script_vars):
    """The figures are drawn and left open for the gallery to collect
    (--show); the ensemble leaves out the Dask cluster, which the docs extra
    does not install."""
    name = os.path.basename(script_vars["src_file"])
    return {"ensemble.py": ["--no-dask"], "ensemble_members.py": []}.get(name, ["--show"])
