"""Packed NDS tile ids: PackedTileId and the NDS corners of its tile;
packed_tile_ids: the tiles of whole arrays of NDS points (needs NumPy).
"""
from typing import SupportsIndex

import numpy
from numpy.typing import ArrayLike, NDArray

class PackedTileId:
    """A packed NDS tile number: a marker bit at position 16 + level above the
    Morton-interleaved tile number (column bits at even, row bits at odd
    positions). Levels 0 to 15; a level-L tile is 2**(31 - L) NDS units wide
    and high. Level 0 has two tiles, 65536 (x >= 0) and 65537 (x < 0), each
    spanning all latitudes.

    Corners are NDS integer pairs (x, y). The south-west corner is the
    smallest point of the tile; the north-east corner is INCLUSIVE, the
    largest point still inside it (south-west + size - 1 on both axes). So
    neighbouring tiles' corner boxes are one unit apart and never overlap,
    and every corner is a valid NDS coordinate.
    """

    def __init__(self, packed: SupportsIndex) -> None:
        """Tile of a packed tile number (65536 .. 4294967295); ValueError otherwise."""
    @staticmethod
    def containing(x: SupportsIndex, y: SupportsIndex, level: SupportsIndex) -> PackedTileId:
        """The tile of level `level` (0 to 15) that holds the NDS point (x, y):
        its column and row are the high bits of x and y. ValueError for a
        level outside 0..15 or a point outside the NDS range (x in
        -2**31 .. 2**31 - 1, y in -2**30 .. 2**30 - 1); TypeError for a
        float."""
    @property
    def packed(self) -> int:
        """The packed tile number."""
    @property
    def level(self) -> int:
        """Level, 0 to 15."""
    @property
    def size(self) -> int:
        """Side length in NDS units, 2**(31 - level)."""
    def south_west_corner(self) -> tuple[int, int]:
        """(x, y) of the tile's south-west corner: its smallest NDS coordinates."""
    def north_east_corner(self) -> tuple[int, int]:
        """(x, y) of the tile's north-east corner, inclusive: its largest NDS
        coordinates, south-west + (size - 1)."""
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

def packed_tile_ids(x: ArrayLike, y: ArrayLike, level: SupportsIndex, *,
                    threads: int | None = None) -> NDArray[numpy.int64]:
    """Packed tile ids of many NDS points at once: an int64 array where
    ids[i] == PackedTileId.containing(x[i], y[i], level).packed.

    x and y are NDS integer coordinates (as voriviv.pos.to_nds_arrays returns
    them), arrays of one shape (buffer protocol or DLPack; other objects go
    through numpy.asarray) of bool or integer dtype; floating and other dtypes
    raise TypeError, as PackedTileId refuses a float. A point outside the NDS
    range raises ValueError naming the index of the first one; so does a level
    outside 0..15. Different shapes raise ValueError. Runs without the GIL;
    threads=None uses two threads from 2**20 elements on. Without NumPy:
    ImportError ("pip install voriviv[arrays]")."""
