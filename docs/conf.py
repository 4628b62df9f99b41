"""Sphinx configuration of the voriviv documentation.

Built by ``make docs`` (offline, warnings are errors). autodoc imports the
installed package, whose native converter modules carry their public
signatures and docstrings; the command-line page is rendered from the
argparse parser of ``voriviv.cli`` at build time (``_ext/cli_help.py``).
"""
from __future__ import annotations

import importlib
import re
import sys
from pathlib import Path

import voriviv

# The modules documented are imported here, before autodoc looks for them:
# autodoc then reads the installed modules themselves (their Python face with
# the public signatures and docstrings), not the .pyi stubs beside the native
# ones, which it would otherwise execute as Python in their place.
DOCUMENTED = ["voriviv.geofileops.gdb", "voriviv.geofileops.tab", "voriviv.geofileops.shp",
              "voriviv.pos", "voriviv.bounding_box", "voriviv.tileid", "voriviv.jobs",
              "voriviv.conversions", "voriviv.connection", "voriviv.report",
              "voriviv.progress", "voriviv.errors", "voriviv.cli"]
for _name in DOCUMENTED:
    importlib.import_module(_name)

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "voriviv"
author = "the voriviv authors"
copyright = "the voriviv authors"
release = version = voriviv.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "cli_help",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

# Every reference must resolve: a broken one fails the build (-W).
nitpicky = True

# Headings up to ### are link targets: [text](page.md#heading-text).
myst_heading_anchors = 3

autodoc_default_options = {
    "members": True,
    "undoc-members": True,
    "show-inheritance": True,
}
autodoc_member_order = "bysource"
# A class shows its docstring and its __init__'s (what binding a converter checks).
autoclass_content = "both"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True
autodoc_docstring_signature = True

# The docstrings are plain reStructuredText (no Google or NumPy sections), so
# napoleon is not used: it would read "Description : ..." and "How errors
# name the job: '...'" as types.

html_theme = "furo"
html_title = f"voriviv {release}"
html_static_path: list = []


# Names the build cannot link offline (no intersphinx): the standard library's
# and third-party types in signatures, and the private Dask runner.
nitpick_ignore_regex = [
    ("py:class", r"(pathlib|os|types|typing|collections\.abc|numpy|numpy\.typing|dask|distributed)\..*"),
    ("py:class", r"(ArrayLike|NDArray|SupportsIndex|PathLike)"),
    ("py:mod", r"voriviv\._dask"),
]

_DESCRIPTION = re.compile(r"^Description\s*:\s*")


def _clean_docstring(app, what, name, obj, options, lines):
    """The converter modules' docstrings begin "Description : ": shown without it.
    A module constant (a dict, a tuple) has no docstring of its own: the one of
    its type (dict's, tuple's) is not shown in its place."""
    if what == "data" and "\n".join(lines).strip() == (type(obj).__doc__ or "").strip():
        lines[:] = []
    lines[:] = [_DESCRIPTION.sub("", line) for line in lines]
    if what == "class":
        # A NamedTuple's generated __new__ docstring says nothing the signature does not.
        lines[:] = [line for line in lines if not line.startswith("Create new instance of ")]


def _clean_signature(app, what, name, obj, options, signature, return_annotation):
    """A native class's constructor signature, as nanobind writes it, begins with self."""
    if what == "class" and signature and signature.startswith("(self, "):
        return "(" + signature[len("(self, "):], return_annotation
    return None


def setup(app):
    app.connect("autodoc-process-docstring", _clean_docstring)
    app.connect("autodoc-process-signature", _clean_signature)
