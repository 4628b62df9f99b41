"""The converter modules' Python face: written once in _interface.py, installed
at import, and the shipped stubs generated from it."""
from __future__ import annotations

import importlib
from pathlib import Path

import pytest

from voriviv.geofileops import _interface


@pytest.mark.parametrize("short", ["gdb", "tab", "shp"])
def test_shipped_stub_is_the_generated_one(short):
    module = importlib.import_module(f"voriviv.geofileops.{short}")
    shipped = Path(module.__file__).with_name(f"{short}.pyi").read_text()
    assert shipped == _interface.stub_text(module), (
        "stale stub: run python -m voriviv.geofileops._interface src/voriviv/geofileops")


@pytest.mark.parametrize("words", [_interface.TAB, _interface.SHP], ids=["tab", "shp"])
def test_twin_members_bind_under_the_formats_names(words, tmp_path):
    module = importlib.import_module(f"voriviv.geofileops.{words.module}")
    cls = getattr(module, words.cls)
    # Constructed through the native __init__, and through the documented one.
    obj = cls(**{words.path: tmp_path / "x", "mode": "create"})
    assert getattr(obj, words.path) == tmp_path / "x"
    obj = cls.__new__(cls)
    cls.__init__(obj, **{words.path: tmp_path / "y"}, mode="create")
    assert getattr(obj, words.path) == tmp_path / "y"
    with pytest.raises(TypeError, match=rf"^{words.cls}\.__init__\(\) got an unexpected "
                                        r"keyword argument 'path'$"):
        cls.__init__(obj, path=tmp_path, mode="create")
    with pytest.raises(TypeError, match=rf"^{words.cls}\.{words.to_other}\(\) takes 2 "
                                        r"positional arguments but 3 were given$"):
        getattr(obj, words.to_other)(tmp_path, ["a"])
    # The docstrings speak of the format itself.
    assert words.noun in getattr(cls, words.to_pg).__doc__
    assert "{" not in getattr(cls, words.to_other).__doc__


# Every member's parameters as the converter classes promise them: (name,
# kind, default) in order, the progress keyword being our addition. A
# renamed, reordered or re-kinded parameter breaks callers that pass it by
# keyword or position.
P, K = "POSITIONAL_OR_KEYWORD", "KEYWORD_ONLY"
_NONE = object()
_CONNECTION = [("connection", P, _NONE)]
_GDB_MEMBERS = {
    "__init__": [("self", P, _NONE), ("gdb_path", P, _NONE), ("mode", P, "open")],
    "_open_gdb": [("self", P, _NONE), ("update", P, False)],
    "_pg_connection_string": [("connection", P, _NONE), ("schema", P, "public")],
    "_list_layers": [("ds", P, _NONE), ("tables", P, None)],
    "gdb2pg": [("self", P, _NONE), *_CONNECTION, ("schema", K, "public"),
               ("overwrite", K, False), ("tables", K, None), ("progress", K, None)],
    "pg2gdb": [("self", P, _NONE), *_CONNECTION, ("schema", K, "public"), ("tables", K, None),
               ("mode", K, None), ("progress", K, None)],
    "pg2gdbf": [("self", P, _NONE), *_CONNECTION, ("feature_mapping", P, _NONE),
                ("schema", K, "public"), ("mode", K, None), ("progress", K, None)],
    "gdb2shape": [("self", P, _NONE), ("output_dir", P, _NONE), ("tables", K, None),
                  ("progress", K, None)],
    "_run_parallel": [("items", P, _NONE), ("func", P, _NONE)],
    "get_layers_from_db": [("self", P, _NONE), *_CONNECTION, ("schema", P, "public")],
}


def _file_members(words):
    return {
        "__init__": [("self", P, _NONE), (words.path, P, _NONE), ("mode", P, "open")],
        "_pg_connection_string": [("connection", P, _NONE), ("schema", P, "public")],
        "_list_layers": [("ds", P, _NONE), ("tables", P, None)],
        "_run_parallel": [("items", P, _NONE), ("func", P, _NONE)],
        "_cleanup_sidecar": [("path", P, _NONE)],
        words.iter: [("self", P, _NONE), ("tables", P, None)],
        words.to_pg: [("self", P, _NONE), *_CONNECTION, ("schema", K, "public"),
                      ("overwrite", K, False), ("tables", K, None), ("progress", K, None)],
        words.from_pg: [("self", P, _NONE), *_CONNECTION, ("schema", K, "public"),
                        ("tables", K, None), ("overwrite", K, True), ("progress", K, None)],
        words.to_other: [("self", P, _NONE), ("output_dir", P, _NONE), ("tables", K, None),
                         ("overwrite", K, True), ("progress", K, None)],
    }


def _signature_rows(function):
    import inspect
    return [(p.name, p.kind.name, _NONE if p.default is p.empty else p.default)
            for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize("short", ["gdb", "tab", "shp"])
def test_every_member_has_the_promised_parameters(short):
    module = importlib.import_module(f"voriviv.geofileops.{short}")
    if short == "gdb":
        cls, members = module.GeoFileDatabase, _GDB_MEMBERS
    else:
        words = {"tab": _interface.TAB, "shp": _interface.SHP}[short]
        cls, members = getattr(module, words.cls), _file_members(words)
    for name, expected in members.items():
        # Looked up through the class: class and static methods lose cls.
        assert _signature_rows(getattr(cls, name)) == expected, name
    assert _signature_rows(module.set_geofileops_threads) == [("n", P, _NONE)]


@pytest.mark.parametrize("short,cls", [("tab", "TabFileDatabase"), ("shp", "ShapefileDatabase")])
def test_cleanup_sidecar_takes_its_path_by_keyword(short, cls, tmp_path):
    klass = getattr(importlib.import_module(f"voriviv.geofileops.{short}"), cls)
    for name in ("roads.tab", "roads.dat", "roads.shp", "other.dat"):
        (tmp_path / name).write_text("x")
    klass._cleanup_sidecar(path=tmp_path / "roads.whatever")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["other.dat"]
