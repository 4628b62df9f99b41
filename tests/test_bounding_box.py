"""voriviv.bounding_box: NdsBoundingBox."""
from __future__ import annotations

import dataclasses
import random
import subprocess
import sys
from types import SimpleNamespace

import pytest

from voriviv.bounding_box import NdsBoundingBox as Box
from voriviv.pos import Position
from voriviv.tileid import PackedTileId


def test_is_a_generated_dataclass():
    assert dataclasses.is_dataclass(Box)
    fields = dataclasses.fields(Box)
    assert [(f.name, f.type, f.default) for f in fields] == [
        (name, int, dataclasses.MISSING) for name in ("min_x", "min_y", "max_x", "max_y")]
    assert Box.__doc__ == "Axis-aligned bounding box in NDS coordinates (32-bit integers)."
    b = Box(1, 2, max_x=3, max_y=4)
    assert repr(b) == "NdsBoundingBox(min_x=1, min_y=2, max_x=3, max_y=4)"
    b.min_x = "anything"  # not frozen, not checked
    assert b.min_x == "anything"
    with pytest.raises(TypeError):
        Box(1, 2, 3)
    with pytest.raises(TypeError):
        hash(Box(1, 2, 3, 4))
    with pytest.raises(TypeError):
        Box(1, 2, 3, 4) < Box(1, 2, 3, 5)


def test_boxes_copy_pickle_and_take_other_attributes():
    import copy
    import pickle
    import weakref

    b = Box(1, 2, 3, 4)
    b.label = "tile"
    assert weakref.ref(b)() is b
    for c in (copy.copy(b), copy.deepcopy(b), pickle.loads(pickle.dumps(b))):
        assert c == b and c.label == "tile"
    assert dataclasses.asdict(b) == {"min_x": 1, "min_y": 2, "max_x": 3, "max_y": 4}
    assert dataclasses.replace(b, max_y=9) == Box(1, 2, 3, 9)
    del b.max_x
    with pytest.raises(AttributeError):
        b.intersects(Box(0, 0, 10, 10))


def test_equality_needs_the_same_class():
    class Sub(Box):
        pass

    assert Box(1, 2, 3, 4) == Box(1, 2, 3, 4) != Box(1, 2, 3, 5)
    assert Box(1, 2, 3, 4) != Sub(1, 2, 3, 4)
    assert Box(1, 2, 3, 4) != (1, 2, 3, 4)


def test_method_annotations_and_signatures():
    assert Box.intersects.__annotations__ == {"other": "NdsBoundingBox", "return": bool}
    assert Box.contains.__annotations__ == {"other": "NdsBoundingBox", "return": bool}
    assert Box.from_tile.__annotations__ == {"tile": "Union[PackedTileId, int]",
                                             "return": "NdsBoundingBox"}
    assert Box.from_wgs84_corners.__annotations__ == {"sw": "Position", "ne": "Position",
                                                      "return": "NdsBoundingBox"}
    assert isinstance(Box.__dict__["from_tile"], classmethod)
    assert Box.intersects.__qualname__ == "NdsBoundingBox.intersects"
    b = Box(0, 0, 10, 10)
    assert b.intersects(other=Box(5, 5, 6, 6)) and Box.contains(b, other=b)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'other'"):
        b.contains()
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        b.intersects(b, b)


# ---------------------------------------------------------------------------
# Predicates

A = Box(0, 0, 100, 100)


@pytest.mark.parametrize(
    "other, intersects",
    [
        (Box(100, 0, 200, 100), True),  # shared edge x = 100
        (Box(101, 0, 200, 100), False),  # one unit apart
        (Box(-50, 100, 0, 150), True),  # shared corner
        (Box(-50, 101, 0, 150), False),
        (Box(50, 50, 50, 500), True),  # degenerate: a vertical line through the box
        (Box(50, 101, 50, 500), False),
        (Box(-10, -10, 110, 110), True),  # encloses
        (Box(20, 20, 30, 30), True),  # inside
        (Box(0, -1, 100, -1), False),
    ],
)
def test_intersects_closed_boxes(other, intersects):
    assert A.intersects(other) is intersects
    assert other.intersects(A) is intersects
    assert A.intersects(A) is True


@pytest.mark.parametrize(
    "other, contained",
    [
        (A, True),
        (Box(0, 0, 100, 50), True),  # shares three edges
        (Box(10, 10, 20, 20), True),
        (Box(-1, 0, 100, 100), False),
        (Box(0, -1, 100, 100), False),
        (Box(0, 0, 101, 100), False),
        (Box(0, 0, 100, 101), False),
        (Box(-10, -10, 110, 110), False),
    ],
)
def test_contains_edges_included(other, contained):
    assert A.contains(other) is contained


def test_predicates_against_interval_arithmetic():
    rng = random.Random(41)

    def box():
        x0, x1 = sorted(rng.randint(-2**31, 2**31 - 1) >> rng.randint(0, 31) for _ in range(2))
        y0, y1 = sorted(rng.randint(-2**30, 2**30 - 1) >> rng.randint(0, 30) for _ in range(2))
        return Box(x0, y0, x1, y1)

    for _ in range(20000):
        a, b = box(), box()
        overlap = a.min_x <= b.max_x and b.min_x <= a.max_x and a.min_y <= b.max_y and b.min_y <= a.max_y
        inside = a.min_x <= b.min_x and b.max_x <= a.max_x and a.min_y <= b.min_y and b.max_y <= a.max_y
        assert a.intersects(b) is overlap and b.intersects(a) is overlap
        assert a.contains(b) is inside


def test_predicates_compare_any_numbers():
    big = 2**100
    assert Box(-big, -big, big, big).contains(A)
    assert not A.contains(Box(-big, 0, 0, 0))
    assert Box(0.5, 0.5, 1.5, 1.5).intersects(Box(1.5, 1.5, 3, 3))
    assert not Box(0.5, 0.5, 1.5, 1.5).intersects(Box(1.75, 0, 3, 3))


def test_other_needs_only_the_attributes_it_is_asked_for():
    assert A.intersects(SimpleNamespace(min_x=0, min_y=0, max_x=1, max_y=1))
    # The first separation decides: max_x < other.min_x, nothing else is read.
    assert A.intersects(SimpleNamespace(min_x=500)) is False
    assert A.contains(SimpleNamespace(min_x=-1)) is False
    with pytest.raises(AttributeError, match="max_x"):
        A.intersects(SimpleNamespace(min_x=50))
    with pytest.raises(AttributeError):
        A.contains(object())
    # A strange comparison result is used through its truth value.
    class Odd:
        def __lt__(self, other):
            raise RuntimeError("compared")
    with pytest.raises(RuntimeError, match="compared"):
        Box(Odd(), 0, Odd(), 0).intersects(A)


# ---------------------------------------------------------------------------
# Constructors


def test_from_tile_with_int_or_tile_object():
    for packed in (65536, 65537, 536870939, 4294967295):
        by_int = Box.from_tile(packed)
        by_tile = Box.from_tile(PackedTileId(packed))
        assert by_int == by_tile
        t = PackedTileId(packed)
        assert (by_int.min_x, by_int.min_y) == t.south_west_corner()
        assert (by_int.max_x, by_int.max_y) == t.north_east_corner()
    assert Box.from_tile(65536) == Box(0, -2**30, 2**31 - 1, 2**30 - 1)
    assert Box.from_tile(tile=65536) == Box.from_tile(65536)
    with pytest.raises(ValueError, match="not a packed NDS tile id"):
        Box.from_tile(True)  # a bool is an int: made a PackedTileId, not used as a tile


def test_from_tile_accepts_any_tile_object_and_checks_its_corners():
    class Tile:
        def __init__(self, sw, ne):
            self.sw, self.ne = sw, ne

        def south_west_corner(self):
            return self.sw

        def north_east_corner(self):
            return self.ne

    assert Box.from_tile(Tile([1, 2], iter((3, 4)))) == Box(1, 2, 3, 4)
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        Box.from_tile(Tile((1, 2, 3), (3, 4)))
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        Box.from_tile(Tile((1, 2), (3,)))
    with pytest.raises(ValueError, match="^need more than 0 values to unpack$"):
        Box.from_tile(Tile((), (3, 4)))
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        Box.from_tile(Tile(1, (3, 4)))
    with pytest.raises(AttributeError):
        Box.from_tile("not a tile")
    with pytest.raises(ValueError):
        Box.from_tile(5)  # PackedTileId's own error


def test_from_tile_imports_tileid_at_every_call(monkeypatch):
    tile = PackedTileId(65536)
    monkeypatch.setitem(sys.modules, "voriviv.tileid", None)
    with pytest.raises(ImportError):
        Box.from_tile(tile)  # even with a tile object
    monkeypatch.setitem(sys.modules, "voriviv.tileid", SimpleNamespace(__name__="voriviv.tileid"))
    with pytest.raises(ImportError, match="cannot import name 'PackedTileId'"):
        Box.from_tile(tile)
    seen = []
    fake = SimpleNamespace(__name__="voriviv.tileid",
                           PackedTileId=lambda n: seen.append(n) or tile)
    monkeypatch.setitem(sys.modules, "voriviv.tileid", fake)
    assert Box.from_tile(7) == Box.from_tile(tile) and seen == [7]


def test_from_wgs84_corners():
    b = Box.from_wgs84_corners(Position(10, 20), Position(180, 90))
    assert b == Box(119304647, 238609294, 2147483647, 1073741823)
    swapped = Box.from_wgs84_corners(Position(180, 90), Position(10, 20))
    assert swapped.min_x > swapped.max_x and swapped.min_y > swapped.max_y
    assert Box.from_wgs84_corners(ne=Position(1, 1), sw=Position(0, 0)).max_x == 11930464
    duck = SimpleNamespace(to_nds_coordinates=lambda: [5, 6])
    assert Box.from_wgs84_corners(duck, duck) == Box(5, 6, 5, 6)
    with pytest.raises(ValueError, match="too many values"):
        Box.from_wgs84_corners(duck, SimpleNamespace(to_nds_coordinates=lambda: (1, 2, 3)))
    with pytest.raises(ValueError):
        Box.from_wgs84_corners(Position(float("nan"), 0), duck)


def test_class_methods_build_the_invoking_class():
    class Sub(Box):
        pass

    assert type(Sub.from_tile(65536)) is Sub
    assert type(Sub.from_wgs84_corners(Position(0, 0), Position(1, 1))) is Sub
    assert type(Sub(0, 0, 1, 1).from_tile(65537)) is Sub


def test_import_loads_neither_tileid_nor_pos():
    code = ("import sys, voriviv.bounding_box as b; "
            "print('voriviv.tileid' in sys.modules, 'voriviv.pos' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


def test_changes_to_the_class_and_subclass_properties_take_effect(monkeypatch):
    class Wide(Box):
        max_x = property(lambda self: 10**9, lambda self, value: None)

    w = Wide(0, 0, 0, 0)
    assert w.intersects(Box(500, 0, 600, 0)) and not Box(0, 0, 0, 0).intersects(Box(500, 0, 600, 0))
    slot = Box.__dict__["max_x"]
    monkeypatch.setattr(Box, "max_x", property(lambda self: 10**9, slot.__set__))
    assert Box(0, 0, 0, 0).intersects(Box(500, 0, 600, 0))
    monkeypatch.undo()
    assert not Box(0, 0, 0, 0).intersects(Box(500, 0, 600, 0))
