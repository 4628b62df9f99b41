"""The modules stand in floors (docs/architecture.md): each Python module
imports only modules below it, at the top of the module, so that none depends
on what stands above it and any can be imported first; each folder of the
native toolkit includes only its own floor and those below, and only the
Python boundary includes Python."""
from __future__ import annotations

import ast
import re
from pathlib import Path

import pytest

import voriviv

PACKAGE = Path(voriviv.__file__).parent

# Lower numbers stand lower; a module may import only from lower floors.
FLOORS = {
    "errors": 0, "progress": 0,
    "report": 1, "connection": 1,
    "conversions": 2,
    "_dask": 3, "verify": 3,
    "jobs": 4,
    "cli": 5,
    "__main__": 6,
}


def voriviv_imports(tree):
    """(line, module imported, inside a function?) for every import of a voriviv module."""
    found = []

    def walk(node, in_function):
        for child in ast.iter_child_nodes(node):
            inner = in_function or isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef))
            if isinstance(child, ast.ImportFrom) and child.module == "voriviv":
                found.extend((child.lineno, a.name, inner) for a in child.names
                             if a.name in FLOORS)
            elif isinstance(child, ast.ImportFrom) and (child.module or "").startswith("voriviv."):
                found.append((child.lineno, child.module.split(".")[1], inner))
            elif isinstance(child, ast.Import):
                found.extend((child.lineno, a.name.split(".")[1], inner) for a in child.names
                             if a.name.startswith("voriviv."))
            walk(child, inner)

    walk(tree, False)
    return found


@pytest.mark.parametrize("module", sorted(FLOORS))
def test_imports_point_down_and_sit_at_the_top(module):
    tree = ast.parse((PACKAGE / f"{module}.py").read_text(encoding="utf-8"))
    for line, target, in_function in voriviv_imports(tree):
        where = f"{module}.py:{line} imports voriviv.{target}"
        assert not in_function, where + " inside a function"
        if target in FLOORS:
            assert FLOORS[target] < FLOORS[module], where + ", which stands at or above it"


def test_every_module_of_the_package_has_a_floor():
    modules = {p.stem for p in PACKAGE.glob("*.py")} - {"__init__", "_pos_generic"}
    assert modules == set(FLOORS)


def test_the_command_line_still_offers_the_names_it_always_had():
    from voriviv import cli, connection, conversions, errors, jobs
    assert cli.run_conversion is conversions.run_conversion
    assert cli.connection_text is connection.connection_text
    assert cli.list_layers is conversions.list_layers
    assert cli.CONVERSIONS is conversions.CONVERSIONS
    assert cli.UsageError is errors.UsageError
    assert issubclass(jobs.JobFileError, errors.UsageError)


# --- the native toolkit -------------------------------------------------------------

SOURCE = Path(__file__).resolve().parent.parent / "src" / "voriviv" / "geofileops"
# What each folder of the toolkit may include besides itself.
INCLUDES = {
    "core": set(),
    "run": set(),
    "files": {"core"},
    "fidelity": {"core"},
    "pg": {"core", "fidelity", "pg/copy"},
    "pg/copy": {"core", "fidelity", "pg"},
    "py": {"core", "run", "files", "fidelity", "pg", "pg/copy"},
    "verify": {"core", "fidelity", "pg"},
}


def toolkit_folder(path: Path) -> str:
    return path.parent.relative_to(SOURCE / "toolkit").as_posix()


def test_the_native_toolkit_includes_point_down():
    files = sorted(p for p in (SOURCE / "toolkit").rglob("*") if p.suffix in (".hpp", ".cpp"))
    assert {toolkit_folder(p) for p in files} == set(INCLUDES)
    for path in files:
        folder = toolkit_folder(path)
        text = path.read_text(encoding="utf-8")
        for included in re.findall(r'#include "toolkit/(.+)/[^/]+\.hpp"', text):
            assert included == folder or included in INCLUDES[folder], \
                f"{path.relative_to(SOURCE)} includes toolkit/{included}"
        if folder != "py":
            assert not re.search(r"#include [<\"](nanobind|Python\.h)", text), \
                f"{path.relative_to(SOURCE)} includes Python"
