"""Axis-aligned NDS bounding boxes: NdsBoundingBox, built from four NDS integers,
from a packed NDS tile or from two WGS84 corner positions, and tested for
intersection and containment (closed boxes: shared edges and corners count).
"""
from typing import TYPE_CHECKING, ClassVar, Union

if TYPE_CHECKING:
    from voriviv.pos import Position
    from voriviv.tileid import PackedTileId

class NdsBoundingBox:
    """Axis-aligned bounding box in NDS coordinates (32-bit integers).

    A generated data class: fields min_x, min_y, max_x, max_y (no defaults,
    not checked, writable), equality with boxes of exactly the same class, no
    hash, no ordering. The fields are stored in slots; instances still take
    other attributes and weak references.
    """

    min_x: int
    min_y: int
    max_x: int
    max_y: int
    def __init__(self, min_x: int, min_y: int, max_x: int, max_y: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def intersects(self, other: 'NdsBoundingBox') -> bool:
        """True when the two closed boxes share at least one point (edges and
        corners included). `other` needs only min_x, min_y, max_x and max_y."""
    def contains(self, other: 'NdsBoundingBox') -> bool:
        """True when `other` lies wholly inside this box, edges included (every
        box contains itself). `other` needs only min_x, min_y, max_x and max_y."""
    @classmethod
    def from_tile(cls, tile: 'Union[PackedTileId, int]') -> 'NdsBoundingBox':
        """The box of an NDS tile: a voriviv.tileid.PackedTileId, or an int taken as
        a packed tile number. Its south-west corner gives (min_x, min_y), its
        north-east corner (max_x, max_y). Imports voriviv.tileid at every call."""
    @classmethod
    def from_wgs84_corners(cls, sw: 'Position', ne: 'Position') -> 'NdsBoundingBox':
        """The box from two WGS84 positions: NDS coordinates of `sw` as the minimum,
        of `ne` as the maximum, used as they are (swapped corners give a box
        whose minimum exceeds its maximum)."""
