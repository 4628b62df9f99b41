"""voriviv.tileid: PackedTileId and the corners of its tile.

Tile ids below are worked out by hand: packed = 2**(16 + level) + number,
where the number interleaves the column bits (even positions) with the row
bits (odd positions). The north-east corner is inclusive.
"""
from __future__ import annotations

import operator
import pickle
import random

import pytest

from voriviv.bounding_box import NdsBoundingBox as Box
from voriviv.tileid import PackedTileId

L13 = 2**18  # side of a level-13 tile in NDS units


def corners(packed):
    t = PackedTileId(packed)
    return t.south_west_corner(), t.north_east_corner()


def test_level_zero_halves_span_all_latitudes():
    assert corners(65536) == ((0, -2**30), (2**31 - 1, 2**30 - 1))  # east
    assert corners(65537) == ((-2**31, -2**30), (-1, 2**30 - 1))  # west
    assert PackedTileId(65537).level == 0 and PackedTileId(65537).size == 2**31


def test_level_one_quadrants():
    # number = row << 1 | column for one bit each (column bit 1 at position 2).
    base = 2**17
    assert corners(base + 0b000) == ((0, 0), (2**30 - 1, 2**30 - 1))
    assert corners(base + 0b010) == ((0, -2**30), (2**30 - 1, -1))  # row -1
    assert corners(base + 0b100) == ((-2**31, 0), (-2**30 - 1, 2**30 - 1))  # column -2
    assert corners(base + 0b111) == ((-2**30, -2**30), (-1, -1))  # column -1, row -1


def test_a_level_13_tile_and_its_neighbours():
    # Column 5 = 0b101 and row 3 = 0b11 interleave to 0b11011 = 27.
    tile = 2**29 + 27
    assert corners(tile) == ((5 * L13, 3 * L13), (6 * L13 - 1, 4 * L13 - 1))
    # East: column 6 = 0b110, row 3 -> 0b11110 = 30. North: column 5, row 4 = 0b100 -> 0b110001 = 49.
    east, north = 2**29 + 30, 2**29 + 49
    assert corners(east) == ((6 * L13, 3 * L13), (7 * L13 - 1, 4 * L13 - 1))
    assert corners(north) == ((5 * L13, 4 * L13), (6 * L13 - 1, 5 * L13 - 1))
    # Neighbours share an edge: inclusive corners one unit apart, no overlap.
    a, e, n = Box.from_tile(tile), Box.from_tile(east), Box.from_tile(north)
    assert e.min_x == a.max_x + 1 and (e.min_y, e.max_y) == (a.min_y, a.max_y)
    assert n.min_y == a.max_y + 1 and (n.min_x, n.max_x) == (a.min_x, a.max_x)
    assert not a.intersects(e) and not a.intersects(n)


def test_tiles_around_the_origin():
    assert corners(2**29) == ((0, 0), (L13 - 1, L13 - 1))
    # Column and row all ones (-1): 27 bits set.
    assert corners(2**29 + 2**27 - 1) == ((-L13, -L13), (-1, -1))
    # Level 15, the largest packed id: the same quadrant at 2**16 units.
    assert corners(2**32 - 1) == ((-2**16, -2**16), (-1, -1))
    t = PackedTileId(2**32 - 1)
    assert (t.level, t.size, t.packed) == (15, 2**16, 2**32 - 1)


def test_corners_of_random_tiles_follow_the_packing():
    rng = random.Random(13)
    for _ in range(3000):
        level = rng.randint(1, 15)
        size = 2**(31 - level)
        column = rng.randint(-2**level, 2**level - 1)
        row = rng.randint(-2**(level - 1), 2**(level - 1) - 1)
        number = 0
        for bit in range(level + 1):
            number |= ((column >> bit) & 1) << (2 * bit)
        for bit in range(level):
            number |= ((row >> bit) & 1) << (2 * bit + 1)
        t = PackedTileId(2**(16 + level) + number)
        assert t.level == level
        assert t.south_west_corner() == (column * size, row * size)
        assert t.north_east_corner() == ((column + 1) * size - 1, (row + 1) * size - 1)
        assert -2**31 <= column * size and (column + 1) * size - 1 < 2**31
        assert -2**30 <= row * size and (row + 1) * size - 1 < 2**30


@pytest.mark.parametrize("bad", [0, 65535, -65536, 2**32, 2**70])
def test_invalid_packed_ids(bad):
    with pytest.raises(ValueError, match="not a packed NDS tile id"):
        PackedTileId(bad)


def test_value_behaviour():
    with pytest.raises(TypeError):
        PackedTileId("65536")
    with pytest.raises(TypeError):
        PackedTileId(65536.0)
    t = PackedTileId(packed=65536)
    assert t == PackedTileId(65536) != PackedTileId(65537)
    assert (t == 65536) is False
    assert len({t, PackedTileId(65536), PackedTileId(65537)}) == 2
    assert int(t) == operator.index(t) == 65536
    assert repr(t) == "PackedTileId(65536)"
    assert pickle.loads(pickle.dumps(PackedTileId(536870939))) == PackedTileId(536870939)


def test_containing_finds_the_tile_of_any_point_in_it():
    # Hand-worked: column 5, row 3 at level 13 is 2**29 + 27 (see above).
    assert PackedTileId.containing(5 * L13, 3 * L13, 13) == PackedTileId(2**29 + 27)
    assert PackedTileId.containing(6 * L13 - 1, 4 * L13 - 1, 13) == PackedTileId(2**29 + 27)
    assert PackedTileId.containing(6 * L13, 3 * L13, 13) == PackedTileId(2**29 + 30)  # east
    assert PackedTileId.containing(-1, 2**30 - 1, 0).packed == 65537
    assert PackedTileId.containing(2**31 - 1, -2**30, 0).packed == 65536
    rng = random.Random(14)
    for _ in range(2000):
        # Any packed id in range, also one with stray bits between the tile
        # number and the marker: the tile found has the same corners.
        t = PackedTileId(rng.randrange(2**16, 2**32))
        (x0, y0), (x1, y1) = corners = t.south_west_corner(), t.north_east_corner()
        for x, y in ((x0, y0), (x1, y1), (rng.randint(x0, x1), rng.randint(y0, y1))):
            found = PackedTileId.containing(x, y, t.level)
            assert found.level == t.level
            assert (found.south_west_corner(), found.north_east_corner()) == corners
        if x1 < 2**31 - 1:
            assert PackedTileId.containing(x1 + 1, y0, t.level).south_west_corner() == (x1 + 1, y0)
    assert PackedTileId.containing(x=0, y=0, level=15).packed == 2**31
