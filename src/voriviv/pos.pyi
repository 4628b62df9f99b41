"""WGS84 positions that keep themselves in the range of NDS integer coordinates.

Position: a point in degrees with NDS conversion, arithmetic, tolerant equality,
great-circle distance and bearing, metric extents and degree/minute/second text.
NDSPosition: a record of NDS integer coordinates (x, y, z).
to_nds_arrays, from_nds_arrays, distances: the same on whole arrays (needs NumPy).
"""
from typing import Any, ClassVar

import numpy
from numpy.typing import ArrayLike, NDArray

class NDSPosition:
    """A record of NDS integer coordinates (a generated data class, mutable, no hash)."""

    x: float | int
    y: float | int
    z: float | int = 0.0
    def __init__(self, x: float | int, y: float | int, z: float | int = 0.0) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class Position:
    """
    Represents a point on the Earth's surface using the WGS84 coordinate system.
    Provides methods for coordinate conversion, normalization, and distance calculations.

    x, y and z hold the numbers as given (an int latitude stays an int) until
    normalisation: x always becomes a float, y only when it is snapped or
    clamped. The constants are read through the object, so a subclass or an
    instance attribute of the same name overrides them. No hash: equality is
    tolerant (math.isclose with rel_tol=1e-12 on x, then y).
    """

    EARTH_RADIUS_IN_METERS: ClassVar[float]  # 6371000.8
    LON_NDS_DELTA: ClassVar[float]  # 360 / (2**32 - 1)
    LAT_NDS_DELTA: ClassVar[float]  # 180 / (2**31 - 1)

    x: Any
    """Longitude in degrees (a float once normalised)."""
    y: Any
    """Latitude in degrees (keeps its type unless snapped or clamped)."""
    z: Any
    """Altitude, stored as given and never read by this module."""

    def __init__(self, lon: float | int, lat: float | int, alt: Any = 0.0) -> None:
        """Store lon, lat, alt in x, y, z, then call self.normalize()."""
    def normalize(self) -> None:
        """Bring x and y into the range of NDS coordinates, in place.

        x becomes fmod(x, 360.0); a longitude within LON_NDS_DELTA of
        180 - LON_NDS_DELTA snaps onto it, 180 and above wrap down by 360, below
        -180 up by 360. A latitude within LAT_NDS_DELTA of 90 - LAT_NDS_DELTA
        snaps onto it, above it is clamped to it, below -90 to -90.0. An int
        latitude stays an int unless it is clamped. Idempotent; z is untouched.
        """
    def to_nds_coordinates(self) -> tuple[int, int]:
        """NDS integers (x, y): x / 360.0 * 2**32 and y / 180.0 * 2**31, each
        truncated toward zero. Neither normalises nor range-checks."""
    @staticmethod
    def from_nds_coordinates(x: float | int, y: float | int) -> Position:
        """A new Position from NDS integers: x and y times 360 / 2**32 degree,
        normalised (always this module's Position class, altitude 0.0)."""
    def to_nds(self) -> NDSPosition:
        """An NDSPosition(x=..., y=...) of to_nds_coordinates(); its z is 0.0."""
    def __add__(self, other: Position) -> Position: ...
    def __sub__(self, other: Position) -> Position: ...
    def __mul__(self, other: Position) -> Position: ...
    def __truediv__(self, other: Position) -> Position: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __str__(self) -> str:
        """Wgs84(lon=<str(x)>, lat=<str(y)>)"""
    def distance_to(self, other: Position) -> float:
        """Great-circle distance in metres to `other` (haversine on a sphere of
        radius EARTH_RADIUS_IN_METERS). Altitudes play no part."""
    def bearing_from(self, other: Position) -> float:
        """Initial great-circle bearing from this position toward `other`, in
        radians clockwise from north, in [-pi, pi]: north 0.0, east pi/2,
        south pi, west -pi/2."""
    @staticmethod
    def degrees_to_meters(lon_degrees: float, lat_degrees: float,
                          at_latitude: float) -> tuple[float, float]:
        """Convert degree distances to meters at a given latitude.

        Longitude distance varies by latitude (shrinks toward poles), latitude distance is constant.

        Args:
            lon_degrees: Longitude distance in degrees
            lat_degrees: Latitude distance in degrees
            at_latitude: Latitude at which to calculate (in degrees)

        Returns:
            Tuple of (width_meters, height_meters)
        """
    @staticmethod
    def nds_distance_to_meters(nds_x_distance: float | int, nds_y_distance: float | int,
                               at_latitude: float) -> tuple[float, float]:
        """Convert NDS coordinate distances to meters at a given latitude.

        Args:
            nds_x_distance: Distance in NDS x units (longitude)
            nds_y_distance: Distance in NDS y units (latitude)
            at_latitude: Latitude at which to calculate (in degrees)

        Returns:
            Tuple of (width_meters, height_meters)
        """
    def to_degree_minutes_seconds(self) -> tuple[str, str]:
        """(latitude text, longitude text) in degrees, minutes and seconds, such as
        52° 31' 12.03" N and 13° 24' 17.83" E. Degrees and minutes are
        truncated, seconds have two decimals; there is no carry, so 60.00
        seconds can appear."""
    def __getstate__(self) -> dict[str, Any]:
        """x, y, z and any other attributes, for copy and pickle."""
    def __setstate__(self, state: dict[str, Any], /) -> None:
        """Restores attributes as saved, without normalising."""

# Whole arrays at once. Inputs: arrays of one shape (buffer protocol or DLPack;
# other objects go through numpy.asarray); bool and integer elements count as
# ints, floating ones (16, 32, 64 bits) as floats, converted to float as the
# interpreter converts an int (correctly rounded, as astype(float64)); other
# dtypes raise TypeError. Different shapes raise ValueError. Results are new
# C-ordered NumPy arrays of that shape, each element bit for bit the result of
# the scalar call named below, with the class constants as built (overrides
# on Position or a subclass do not apply). An element on which the scalar call
# raises makes the whole call raise the same exception type, naming the index
# of the first such element (the flat index in C order for arrays of more than
# one dimension). The loop runs without the GIL; threads=None uses
# two threads from 2**20 elements on, an int caps the number of threads.
# Without NumPy they raise ImportError ("pip install voriviv[arrays]").

def to_nds_arrays(lon: ArrayLike, lat: ArrayLike, *,
                  threads: int | None = None) -> tuple[NDArray[numpy.int64], NDArray[numpy.int64]]:
    """NDS integers of many positions at once: int64 arrays (x, y) where
    x[i], y[i] == Position(lon[i], lat[i]).to_nds_coordinates().

    An infinite longitude raises ValueError("math domain error at index i ..."),
    a NaN ValueError("cannot convert float NaN to integer at index i ...")."""
def from_nds_arrays(x: ArrayLike, y: ArrayLike, *,
                    threads: int | None = None) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]:
    """WGS84 degrees of many NDS integer pairs at once: float64 arrays (lon, lat)
    where lon[i], lat[i] are p.x, p.y of Position.from_nds_coordinates(x[i], y[i])
    (normalised; NaN stays NaN). An infinite x raises
    ValueError("math domain error at index i ...")."""
def distances(lon1: ArrayLike, lat1: ArrayLike, lon2: ArrayLike, lat2: ArrayLike, *,
              threads: int | None = None) -> NDArray[numpy.float64]:
    """Great-circle distances in metres, a float64 array where d[i] ==
    Position(lon1[i], lat1[i]).distance_to(Position(lon2[i], lat2[i])): both
    points normalised first, as the constructor does. An infinite longitude
    raises ValueError("math domain error at index i ..."); NaN gives NaN."""
