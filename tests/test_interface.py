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
