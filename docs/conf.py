"""Sphinx configuration of quellmar's documentation site.

Build: python -m sphinx -W -n --keep-going -b html docs docs/_build/html
(tools/docs.sh builds it and checks it in a browser).

The API reference is read from the installed, compiled module: its
submodules are attributes of the extension module, reached by autodoc
through `quellmar`, with signatures from each object's __text_signature__.
The example gallery runs examples/*.py at build time and draws their figures.
"""

import os
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLES = HERE.parent / "examples"
# examples/ensemble.py imports its worker module by name, here and in the
# worker processes it starts (they inherit sys.path).
sys.path.insert(0, str(EXAMPLES))
sys.path.insert(0, str(HERE))  # gallery_argv

import quellmar  # noqa: E402  (the installed module, not a source tree)

project = "quellmar"
author = "the quellmar developers"
copyright = "the quellmar developers, BSD-3-Clause"
release = version = "0.1.0"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "reliability.md", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.md5", "auto_examples/*.json"]
# docs/reliability.md is the CI's own notes, linked from the README, not a page.

myst_enable_extensions = ["colon_fence", "deflist", "dollarmath"]
# Double hyphens stay as written (command-line options), quotes are curled.
smartquotes_action = "qe"
# `name` in the docstrings (reST) is code, as in the Markdown pages.
default_role = "code"
toc_object_entries_show_parents = "hide"
myst_heading_anchors = 3

# --- API reference ----------------------------------------------------------
# docs/api names every member of a class, in the order the module registers
# them, and says what an attribute without a docstring holds.
autodoc_default_options = {}
autodoc_typehints = "none"
autodoc_class_signature = "mixed"
add_module_names = False
napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_rtype = False
# "Fields:" in the rating curves' docstrings lists their attributes.
napoleon_custom_sections = [("Fields", "params_style")]
# The docstrings name Python's own types; with no network for intersphinx,
# these are plain names rather than links.
nitpick_ignore = [
    ("py:exc", name) for name in ("ValueError", "TypeError", "UserWarning", "BaseException", "Exception")
] + [("py:class", name) for name in ("timedelta", "datetime.timedelta", "float", "int", "bool", "dict",
                                       "list", "str", "tuple")]

# --- gallery ----------------------------------------------------------------


sphinx_gallery_conf = {
    "examples_dirs": str(EXAMPLES),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r".*\.py$",
    "ignore_pattern": r"__init__\.py$",
    "reset_argv": "gallery_argv.example_argv",
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "download_all_examples": False,
    "show_memory": False,
    "min_reported_time": 3600,
    "remove_config_comments": True,
    "plot_gallery": "True",
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "capture_repr": (),
}

# --- HTML -------------------------------------------------------------------
html_theme = "pydata_sphinx_theme"
html_title = "quellmar"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version", "theme-version"],
}
html_sidebars = {"index": [], "si-units": []}
html_static_path = ["_static"]
html_favicon = "_static/quellmar.svg"
# The theme reads the colour mode from the page; without one it logs an error
# in the console on a first visit.
html_context = {"default_mode": "light"}
html_show_sourcelink = False
html_copy_source = False
