"""WGS84 positions that keep themselves in the range of NDS integer coordinates.

Position: a point in degrees with NDS conversion, arithmetic, tolerant equality,
great-circle distance and bearing, metric extents and degree/minute/second text.
NDSPosition: a record of NDS integer coordinates (x, y, z).
"""
from typing import Any, ClassVar

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
