"""voriviv.pos: Position and NDSPosition.

Exact values are compared with ==. Where a behaviour is defined as "what these
Python expressions give", a small reference written in plain Python (`Ref`)
is the oracle for property-style loops over many inputs: it checks that the
native fast paths and the generic fallbacks agree with the interpreter to the
last bit, for floats, ints and other number types alike.
"""
from __future__ import annotations

import copy
import dataclasses
import decimal
import math
import pickle
import random
import struct
import weakref
from fractions import Fraction

import pytest

from voriviv.pos import NDSPosition, Position

TOP_LON = 179.99999991618097  # NDS x 2147483647
TOP_LAT = 89.99999991618097  # NDS y 1073741823
UNIT = 8.381903171539307e-08  # 360 / 2**32 degree


class Ref:
    """The documented algorithms as plain Python, used as an oracle."""

    LON = 360.0 / 4294967295
    LAT = 180.0 / 2147483647

    @classmethod
    def normalized(cls, x, y):
        x = math.fmod(x, 360.0)
        if abs(x - (180.0 - cls.LON)) < cls.LON:
            x = 180.0 - cls.LON
        if x >= 180.0:
            x -= 360.0
        elif x < -180.0:
            x += 360.0
        if abs(y - (90.0 - cls.LAT)) < cls.LAT:
            y = 90.0 - cls.LAT
        if y > 90.0 - cls.LAT:
            y = 90.0 - cls.LAT
        elif y < -90.0:
            y = -90.0
        return x, y

    @staticmethod
    def distance(x1, y1, x2, y2, radius=6371000.8):
        dlat = math.radians(y2 - y1)
        dlon = math.radians(x2 - x1)
        a = (math.sin(dlat / 2) ** 2
             + math.cos(math.radians(y1)) * math.cos(math.radians(y2)) * math.sin(dlon / 2) ** 2)
        return radius * (2 * math.atan2(math.sqrt(a), math.sqrt(1 - a)))

    @staticmethod
    def bearing(x1, y1, x2, y2):
        lat1, lon1, lat2, lon2 = map(math.radians, (y1, x1, y2, x2))
        y = math.sin(lon2 - lon1) * math.cos(lat2)
        x = math.cos(lat1) * math.sin(lat2) - (math.sin(lat1) * math.cos(lat2)) * math.cos(lon2 - lon1)
        return math.atan2(y, x)

    @staticmethod
    def dms(v, pos, neg):
        value = abs(v)
        degrees = int(value)
        minutes = int((value - degrees) * 60)
        seconds = ((value - degrees) - minutes / 60) * 3600
        return f"{degrees}° {minutes}' {seconds:.2f}\"" + (neg if v < 0 else pos)


def same(a, b):
    """Identical floats (sign of zero and NaN included) or equal others of one type."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    return type(a) is type(b) and a == b


def at(x, y):
    """A position with x and y assigned as they are (no normalisation)."""
    p = Position(0, 0)
    p.x, p.y = x, y
    return p


def random_doubles(rng, n):
    """Finite doubles of every magnitude, from random bit patterns."""
    out = []
    while len(out) < n:
        v = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(v):
            out.append(v)
    return out


# ---------------------------------------------------------------------------
# Normalisation


@pytest.mark.parametrize(
    "lon, lat, x, y",
    [
        (180, 90, TOP_LON, TOP_LAT),
        (-180, -90, -180.0, -90),  # an int latitude in range stays an int
        (540, 0, TOP_LON, 0),
        (-540, 0, -180.0, 0),
        (190, 100, -170.0, TOP_LAT),
        (-190, -100, 170.0, -90.0),
        (-360, 0, -0.0, 0),
        (10, 20, 10.0, 20),
        (-180.0000001, 0, -180.0000001 + 360.0, 0),  # wraps below -180, not snapped
        (179.99999983236194, 89.99999983236194, TOP_LON, TOP_LAT),  # lower edges of the snap zones
        (math.nextafter(179.99999983236194, 0), math.nextafter(89.99999983236194, 0),
         math.nextafter(179.99999983236194, 0), math.nextafter(89.99999983236194, 0)),
        (0.0, math.inf, 0.0, TOP_LAT),
        (0.0, -math.inf, 0.0, -90.0),
        (True, False, 1.0, False),
    ],
)
def test_normalisation_snaps_wraps_and_clamps(lon, lat, x, y):
    p = Position(lon, lat)
    assert same(p.x, x) and same(p.y, y)
    assert p.z == 0.0


def test_the_constants_and_the_top_values_they_give():
    assert Position.EARTH_RADIUS_IN_METERS == 6371000.8
    assert Position.LON_NDS_DELTA == 360 / 4294967295
    assert Position.LAT_NDS_DELTA == 180 / 2147483647
    assert 180.0 - Position.LON_NDS_DELTA == TOP_LON == 180 - 360 / 2**32
    assert 90.0 - Position.LAT_NDS_DELTA == TOP_LAT == 90 - 180 / 2**31


def test_normalisation_matches_the_reference_and_is_idempotent():
    rng = random.Random(4)
    lons = random_doubles(rng, 300) + [rng.uniform(-1000, 1000) for _ in range(300)]
    lats = random_doubles(rng, 300) + [rng.uniform(-200, 200) for _ in range(300)]
    lons += [rng.randint(-10**6, 10**6) for _ in range(100)] + [Fraction(rng.randint(-10**6, 10**6), 7)
                                                                for _ in range(50)]
    lats += [rng.randint(-200, 200) for _ in range(100)] + [Fraction(rng.randint(-10**4, 10**4), 9)
                                                          for _ in range(50)]
    for lon, lat in zip(lons, lats):
        p = Position(lon, lat, "alt")
        x, y = Ref.normalized(lon, lat)
        assert same(p.x, x) and same(p.y, y), (lon, lat)
        p.normalize()
        assert same(p.x, x) and same(p.y, y), (lon, lat)
        assert p.z == "alt"


def test_nan_passes_through_and_bad_values_raise_the_interpreters_errors():
    p = Position(math.nan, math.nan)
    assert math.isnan(p.x) and math.isnan(p.y)
    with pytest.raises(ValueError, match="^math domain error$"):
        Position(math.inf, 0)
    with pytest.raises(TypeError, match="must be real number, not str"):
        Position("1", 0)
    with pytest.raises(TypeError, match="unsupported operand"):
        Position(0, "1")
    with pytest.raises(OverflowError, match="int too large to convert to float"):
        Position(0, 10**400)


def test_assignments_are_kept_until_normalize_is_called():
    p = Position(10, 20)
    p.x, p.y = 400, 100
    assert (p.x, p.y) == (400, 100)
    p.normalize()
    assert same(p.x, 40.0) and same(p.y, TOP_LAT)


# ---------------------------------------------------------------------------
# NDS integers


@pytest.mark.parametrize(
    "lon, lat, nds",
    [
        (180, 90, (2147483647, 1073741823)),
        (-180, -90, (-2147483648, -1073741824)),
        (10, 20, (119304647, 238609294)),
        (-5e-08, -5e-08, (0, 0)),  # truncation toward zero
        (-360, 0, (0, 0)),
    ],
)
def test_to_nds_coordinates(lon, lat, nds):
    got = Position(lon, lat).to_nds_coordinates()
    assert got == nds and all(type(v) is int for v in got)


@pytest.mark.parametrize(
    "nds_in, nds_out",
    [
        ((2147483645, 0), (2147483645, 0)),
        ((2147483646, 1073741822), (2147483647, 1073741823)),  # the unit below the top snaps
        ((2147483648, 1073741824), (2147483647, 1073741823)),  # 180 degrees, north of the top
        ((4294967296, -1073741825), (0, -1073741824)),
        ((-2147483648, -1073741824), (-2147483648, -1073741824)),
    ],
)
def test_from_nds_coordinates_folds_out_of_range_values(nds_in, nds_out):
    assert Position.from_nds_coordinates(*nds_in).to_nds_coordinates() == nds_out


def test_nds_round_trip_over_random_integers_in_range():
    rng = random.Random(31)
    xs = [rng.randint(-2**31, 2**31 - 1) for _ in range(20000)] + [-2**31, -1, 0, 1, 2**31 - 3]
    ys = [rng.randint(-2**30, 2**30 - 1) for _ in range(20000)] + [-2**30, -1, 0, 1, 2**30 - 3]
    for x, y in zip(xs, ys):
        assert Position.from_nds_coordinates(x, y).to_nds_coordinates() == (x, y)


def test_from_nds_coordinates_values():
    p = Position.from_nds_coordinates(1, 1)
    assert same(p.x, UNIT) and same(p.y, UNIT) and p.z == 0.0
    assert same(Position.from_nds_coordinates(4294967296, 0).x, 0.0)
    assert Position.from_nds_coordinates(y=2, x=1).to_nds_coordinates() == (1, 2)
    # Floats and other numbers scale the same way.
    assert same(Position.from_nds_coordinates(0.5, Fraction(1, 2)).y, 0.5 * UNIT)


def test_to_nds_coordinates_raises_for_nan_and_infinity_and_is_unbounded():
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        Position(math.nan, 0).to_nds_coordinates()
    with pytest.raises(OverflowError, match="cannot convert float infinity to integer"):
        at(0.0, math.inf).to_nds_coordinates()
    assert at(1e300, 0).to_nds_coordinates()[0] == int(1e300 / 360.0 * 4294967296)
    assert at(10**20, 0).to_nds_coordinates()[0] == int(10**20 / 360.0 * 4294967296)
    assert at(Fraction(1, 3), 0).to_nds_coordinates()[0] == int(Fraction(1, 3) / 360.0 * 4294967296)


def test_to_nds_builds_an_nds_position_record():
    r = Position(10, 20, 100).to_nds()
    assert type(r) is NDSPosition
    assert (r.x, r.y, r.z) == (119304647, 238609294, 0.0)
    assert repr(r) == "NDSPosition(x=119304647, y=238609294, z=0.0)"


def test_nds_position_is_a_plain_dataclass():
    assert dataclasses.is_dataclass(NDSPosition)
    fields = dataclasses.fields(NDSPosition)
    assert [f.name for f in fields] == ["x", "y", "z"]
    assert all(f.type == float | int for f in fields)
    assert fields[2].default == 0.0 and fields[0].default is dataclasses.MISSING
    assert NDSPosition(1, 2) == NDSPosition(x=1, y=2, z=0.0) != NDSPosition(1, 2, 3)
    assert NDSPosition.__hash__ is None
    r = NDSPosition(1, 2)
    r.x = 5
    assert r.x == 5 and NDSPosition.__module__ == "voriviv.pos"


# ---------------------------------------------------------------------------
# Operators and equality


def test_arithmetic_is_component_wise_and_normalised():
    assert same((Position(170, 0) + Position(20, 0)).x, -170.0)
    assert same((Position(0, 80) + Position(0, 20)).y, TOP_LAT)
    p = Position(1, 2, 3) + Position(4, 5, 6)
    assert type(p) is Position and same(p.x, 5.0) and same(p.y, 7) and p.z == 0.0
    assert same((Position(10, 20) - Position(4, 5)).y, 15)
    q = Position(10, 20) * Position(2, 0.5)
    assert same(q.x, 20.0) and same(q.y, 10.0)
    d = Position(10, 20) / Position(4, 8)
    assert same(d.x, 2.5) and same(d.y, 2.5)  # int / int is a float
    a, b = Position(30.5, 10.25), Position(7.125, -3.5)
    assert same((a - b).x, 30.5 - 7.125) and same((a * b).y, 10.25 * -3.5)
    assert (a.x, a.y) == (30.5, 10.25)  # operands are untouched


def test_operator_errors():
    p = Position(10, 20)
    with pytest.raises(ZeroDivisionError):
        p / Position(0, 1)
    with pytest.raises(ZeroDivisionError):
        Position(1, 1) / Position(1, 0)  # int / int
    with pytest.raises(AttributeError):
        p + 1
    with pytest.raises(TypeError, match="unsupported operand type"):
        1 + p  # no reflected forms
    with pytest.raises(TypeError):
        p < p
    for name in ("__radd__", "__rsub__", "__rmul__", "__rtruediv__", "__iadd__"):
        assert not hasattr(Position, name)


def test_equality_is_tolerant_in_x_and_y_only():
    assert Position(10, 20) == Position(10.000000000001, 20)
    assert Position(0, 0) != Position(1e-300, 0)  # no absolute tolerance
    assert Position(1, 2, 3) == Position(1, 2, 4)
    assert not (Position(1, 2) != Position(1, 2))
    assert Position(10, 20) != Position(10.00000001, 20)
    with pytest.raises(AttributeError):
        Position(1, 2) == 5  # noqa: B015
    # The second comparison only runs when the first holds.
    class OnlyX:
        x = 99.0
    assert (Position(1, 2) == OnlyX()) is False
    with pytest.raises(TypeError):
        hash(Position(1, 2))
    assert Position.__hash__ is None


# ---------------------------------------------------------------------------
# Text


def test_text_form():
    assert str(Position(10, 20)) == "Wgs84(lon=10.0, lat=20)"
    assert str(Position.from_nds_coordinates(1, 1)) == \
        "Wgs84(lon=8.381903171539307e-08, lat=8.381903171539307e-08)"
    assert str(Position(-360, -1e-5)) == "Wgs84(lon=-0.0, lat=-1e-05)"
    assert str(at(10**30, True)) == f"Wgs84(lon={10**30}, lat=True)"
    assert str(at(Fraction(1, 3), math.nan)) == "Wgs84(lon=1/3, lat=nan)"
    assert repr(Position(1, 2)).startswith("<voriviv.pos.Position object at ")


def test_text_form_writes_floats_like_str():
    rng = random.Random(8)
    values = random_doubles(rng, 20000) + [1e16, 9999999999999998.0, 1e-4, 0.0001234, 1e-5, 5e-324,
                                           -math.inf, 1.7976931348623157e308, 123456789.0, 0.1]
    values += [rng.uniform(-180, 180) for _ in range(2000)]
    for a, b in zip(values, values[1:] + values[:1]):
        assert str(at(a, b)) == f"Wgs84(lon={a!s}, lat={b!s})"
    ints = [rng.randint(-2**63, 2**63 - 1) for _ in range(200)] + [-2**63, 2**63 - 1, 2**64]
    for n in ints:
        assert str(at(n, -n)) == f"Wgs84(lon={n}, lat={-n})"


# ---------------------------------------------------------------------------
# Distances, bearings, metres, degree/minute/second text


def test_distances():
    o = Position(0, 0)
    assert o.distance_to(Position(1, 0)) == 111194.94060719275
    assert o.distance_to(Position(0, 1)) == 111194.94060719275
    assert o.distance_to(Position(179.99999991618097, 0)) == 20015089.309294693
    assert o.distance_to(o) == 0.0
    # Across the antimeridian: 359 degrees apart is 1 degree apart.
    assert Position(-179.5, 0).distance_to(Position(179.5, 0)) == \
        pytest.approx(o.distance_to(Position(1, 0)), rel=1e-12)
    assert math.isnan(at(math.nan, 0).distance_to(o))
    with pytest.raises(ValueError, match="math domain error"):
        at(0, math.inf).distance_to(o)


def test_bearings():
    o = Position(0, 0)
    assert o.bearing_from(Position(0, 1)) == 0.0
    assert o.bearing_from(Position(1, 0)) == 1.5707963267948966
    assert o.bearing_from(Position(0, -1)) == 3.141592653589793
    assert o.bearing_from(Position(-1, 0)) == -1.5707963267948966
    assert Position(13.4, 52.5).bearing_from(Position(13.4, 52.5)) == 0.0
    assert math.isnan(o.bearing_from(at(math.nan, 0)))
    with pytest.raises(AttributeError):
        o.bearing_from(object())


def test_distance_and_bearing_match_the_reference():
    rng = random.Random(12)
    for _ in range(5000):
        a = Position(rng.uniform(-180, 180), rng.uniform(-90, 90))
        b = Position(rng.uniform(-180, 180), rng.uniform(-90, 90))
        assert same(a.distance_to(b), Ref.distance(a.x, a.y, b.x, b.y))
        assert same(a.bearing_from(b), Ref.bearing(a.x, a.y, b.x, b.y))
    # Int and Fraction coordinates take the generic path.
    for _ in range(300):
        a = at(rng.randint(-180, 180), rng.randint(-90, 90))
        b = at(Fraction(rng.randint(-1800, 1800), 10), rng.randint(-90, 90))
        assert same(a.distance_to(b), Ref.distance(a.x, a.y, b.x, b.y))
        assert same(b.bearing_from(a), Ref.bearing(b.x, b.y, a.x, a.y))



def fma(a, b, c):
    """a * b + c rounded once, as a fused multiply-add computes it."""
    return float(Fraction(a) * Fraction(b) + Fraction(c))


def test_no_fused_multiply_add():
    # The haversine term and the bearing's x are a * b + c shapes that a
    # compiler contracts into one fused operation unless told not to. Pick
    # points where the fused forms give another result and check that the
    # native code gives the interpreter's (unfused) one.
    rng = random.Random(21)
    fused_differs = 0
    for _ in range(3000):
        x1, y1, x2, y2 = (rng.uniform(-180, 180), rng.uniform(-90, 90),
                          rng.uniform(-180, 180), rng.uniform(-90, 90))
        a, b = Position(x1, y1), Position(x2, y2)
        x1, y1, x2, y2 = a.x, a.y, b.x, b.y

        s1 = math.sin(math.radians(y2 - y1) / 2) ** 2
        s2 = math.sin(math.radians(x2 - x1) / 2) ** 2
        c = math.cos(math.radians(y1)) * math.cos(math.radians(y2))
        h = fma(c, s2, s1)
        fused_distance = 6371000.8 * (2 * math.atan2(math.sqrt(h), math.sqrt(1 - h)))

        lat1, lon1, lat2, lon2 = map(math.radians, (y1, x1, y2, x2))
        y = math.sin(lon2 - lon1) * math.cos(lat2)
        t = math.sin(lat1) * math.cos(lat2)
        fused_x = (fma(-t, math.cos(lon2 - lon1), math.cos(lat1) * math.sin(lat2)),
                   fma(math.cos(lat1), math.sin(lat2), -(t * math.cos(lon2 - lon1))))

        distance, bearing = Ref.distance(x1, y1, x2, y2), Ref.bearing(x1, y1, x2, y2)
        if fused_distance != distance:
            fused_differs += 1
            assert same(a.distance_to(b), distance)
        if any(math.atan2(y, fx) != bearing for fx in fused_x):
            fused_differs += 1
            assert same(a.bearing_from(b), bearing)
    assert fused_differs > 100

def test_metre_conversions():
    assert Position.degrees_to_meters(1, 1, 60) == (55660.000000000015, 111320.0)
    assert Position.degrees_to_meters(-2, -3, 0) == (222640.0, 333960.0)
    assert Position.degrees_to_meters(1, 1, 90)[0] == 6.816384084054168e-12
    assert Position.degrees_to_meters(1, 1, 120)[0] == -55659.99999999998
    assert Position(0, 0).degrees_to_meters(lon_degrees=1, lat_degrees=1, at_latitude=60) == \
        (55660.000000000015, 111320.0)
    assert Position.nds_distance_to_meters(16777216, 8388608, 0.0) == (156543.75, 78271.875)
    assert Position.nds_distance_to_meters(2**70, 1.5, 0) == \
        Position.degrees_to_meters(2**70 / 4294967296 * 360.0, 1.5 / 2147483648 * 180.0, 0)
    assert Position.degrees_to_meters(Fraction(1, 3), True, 0) == \
        (abs(Fraction(1, 3)) * 111320.0 * 1.0, 111320.0)
    with pytest.raises(TypeError, match="bad operand type for abs"):
        Position.degrees_to_meters("1", 1, 0)
    with pytest.raises(ValueError, match="math domain error"):
        Position.degrees_to_meters(1, 1, math.inf)


def test_metre_conversion_docs():
    doc = Position.degrees_to_meters.__doc__
    assert doc.startswith("Convert degree distances to meters at a given latitude.")
    assert "Longitude distance varies by latitude (shrinks toward poles), latitude distance is " \
           "constant." in doc and "Tuple of (width_meters, height_meters)" in doc
    doc = Position.nds_distance_to_meters.__doc__
    assert doc.startswith("Convert NDS coordinate distances to meters at a given latitude.")
    assert "Tuple of (width_meters, height_meters)" in doc


@pytest.mark.parametrize(
    "lon, lat, texts",
    [
        (13.404954, 52.520008, ('52° 31\' 12.03" N', '13° 24\' 17.83" E')),
        (1.2, 0, ('0° 0\' 0.00" N', '1° 11\' 60.00" E')),
        (-0.35, -0.0, ('0° 0\' 0.00" N', '0° 21\' 0.00" W')),
        (180, 90, ('89° 59\' 60.00" N', '179° 59\' 60.00" E')),
        (10, 20, ('20° 0\' 0.00" N', '10° 0\' 0.00" E')),
        (10, -7, ('7° 0\' 0.00" S', '10° 0\' 0.00" E')),
    ],
)
def test_degree_minute_second_text(lon, lat, texts):
    assert Position(lon, lat).to_degree_minutes_seconds() == texts


def test_degree_minute_second_text_matches_the_reference():
    rng = random.Random(5)
    values = [rng.uniform(-180, 180) for _ in range(20000)] + random_doubles(rng, 2000)
    values += [k / 3600 for k in range(-4000, 4000)] + [k / 60 for k in range(-300, 300)]
    values += [rng.randint(-10**30, 10**30) for _ in range(50)] + [Fraction(-61, 2), -2**63, 2**63]
    for v in values:
        assert at(v, v).to_degree_minutes_seconds() == (Ref.dms(v, " N", " S"), Ref.dms(v, " E", " W"))


def test_degree_minute_second_text_of_nan_and_infinity():
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        at(0, math.nan).to_degree_minutes_seconds()
    # int() of an infinity raises OverflowError in the interpreter.
    with pytest.raises(OverflowError, match="cannot convert float infinity to integer"):
        at(math.inf, 0).to_degree_minutes_seconds()


# ---------------------------------------------------------------------------
# The class as a Python class


def test_class_surface():
    assert Position.__doc__ == (
        "Represents a point on the Earth's surface using the WGS84 coordinate system.\n"
        "Provides methods for coordinate conversion, normalization, and distance calculations.")
    assert Position.__module__ == "voriviv.pos" and Position.__name__ == "Position"
    p = Position(lon=1, lat=2, alt=3)
    assert (p.x, p.y, p.z) == (1.0, 2, 3)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'lat'"):
        Position(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'height'"):
        Position(1, 2, height=3)
    with pytest.raises(TypeError, match="takes from 3 to 4 positional arguments but 5 were given"):
        Position(1, 2, 3, 4)
    with pytest.raises(TypeError, match="multiple values for argument 'lon'"):
        Position(1, lon=2)
    with pytest.raises(TypeError):
        Position(0, 0).distance_to()


def test_attributes_copy_pickle_and_weakref():
    p = Position(10, 20, 100)
    p.name = "x"
    del p.z
    with pytest.raises(AttributeError, match="'Position' object has no attribute 'z'"):
        p.z
    p.z = 5
    q = pickle.loads(pickle.dumps(p))
    assert (q.x, q.y, q.z, q.name) == (10.0, 20, 5, "x")
    p.x = 1000  # not normalised by copy either
    c = copy.deepcopy(p)
    assert type(c) is Position and c.x == 1000 and c.name == "x"
    assert weakref.ref(p)() is p
    del p.x
    with pytest.raises(AttributeError):
        p.to_nds_coordinates()


class Shifted(Position):
    """Normalises, then moves one degree east."""

    def normalize(self):
        super().normalize()
        self.x += 1.0


class Coarse(Position):
    LON_NDS_DELTA = 1.0
    LAT_NDS_DELTA = 0.5


def test_subclass_normalize_and_constants_are_used():
    assert Shifted(10, 20).x == 11.0
    s = Shifted(lat=20, alt=5, lon=10)
    assert (s.x, s.y, s.z) == (11.0, 20, 5)
    p = Position.__new__(Position)
    Position.__init__(p, 190, 100)  # explicit __init__ on a bare instance
    assert (p.x, p.y) == (-170.0, TOP_LAT)
    c = Coarse(179.5, 89.6)  # within 1.0 of 179.0 and within 0.5 of 89.5
    assert (c.x, c.y) == (179.0, 89.5)
    assert Coarse(-179.5, -90.5).x == -179.5


def test_instance_attributes_override_class_constants():
    p = Position(0, 0)
    p.LON_NDS_DELTA = 1.0
    p.x = 179.5
    p.normalize()
    assert p.x == 179.0
    p.EARTH_RADIUS_IN_METERS = 1
    assert same(p.distance_to(Position(0, 0)), Ref.distance(179.0, 0, 0, 0, radius=1))
    p.LAT_NDS_DELTA = Fraction(1, 2)  # not a float: the generic path
    p.y = 89.75
    p.normalize()
    assert p.y == 89.5



def test_normalisation_with_constants_of_other_number_types():
    class FracRef(Ref):
        LON = Fraction(1, 3)
        LAT = Fraction(1, 4)

    class Frac(Position):
        LON_NDS_DELTA = Fraction(1, 3)
        LAT_NDS_DELTA = Fraction(1, 4)

    rng = random.Random(17)
    cases = [(179.8, 89.8), (180, 90), (-180.2, -95), (540.0, 89.7), (10, Fraction(359, 4)), (0.0, 95)]
    cases += [(rng.uniform(-400, 400), rng.uniform(-100, 100)) for _ in range(300)]
    for lon, lat in cases:
        p = Frac(lon, lat)
        x, y = FracRef.normalized(lon, lat)
        assert same(p.x, x) and same(p.y, y), (lon, lat)

    class Dec(Position):
        LAT_NDS_DELTA = decimal.Decimal("0.5")

    with pytest.raises(TypeError):
        Dec(0.0, 10.0)

def test_subclass_results_and_overrides():
    class Sub(Position):
        def to_nds_coordinates(self):
            return (1, 2)

        @staticmethod
        def degrees_to_meters(lon_degrees, lat_degrees, at_latitude):
            return "overridden"

        def __eq__(self, other):
            return True

    s = Sub(1, 2)
    assert type(s) is Sub
    assert type(Sub.from_nds_coordinates(1, 2)) is Position
    assert type(s + s) is Position and type(Position(1, 2) - s) is Position
    assert s.to_nds() == NDSPosition(1, 2)
    assert Sub.nds_distance_to_meters(16777216, 8388608, 0.0) == (156543.75, 78271.875)
    assert s == object() and not (s != object())  # != follows the override


def test_instance_override_of_a_method_is_used():
    p = Position(0, 0)
    p.to_nds_coordinates = lambda: [7, 8]
    assert p.to_nds() == NDSPosition(7, 8)
    p.to_nds_coordinates = lambda: (1, 2, 3)
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        p.to_nds()
    p.to_nds_coordinates = lambda: iter([1])
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        p.to_nds()


def test_changes_to_the_class_itself_take_effect(monkeypatch):
    monkeypatch.setattr(Position, "LON_NDS_DELTA", 1.0)
    assert Position(179.5, 0).x == 179.0
    calls = []
    original = Position.normalize
    monkeypatch.setattr(Position, "normalize", lambda self: calls.append(original(self)))
    Position(1, 2)
    Position.from_nds_coordinates(1, 2)
    assert len(calls) == 2
    monkeypatch.setattr(Position, "degrees_to_meters", staticmethod(lambda *a: a))
    assert Position.nds_distance_to_meters(4294967296, 0, 5) == (360.0, 0.0, 5)
    monkeypatch.undo()
    assert Position(179.5, 0).x == 179.5


# ---------------------------------------------------------------------------
# Stubs


@pytest.mark.parametrize("module_name", ["pos", "bounding_box", "tileid"])
def test_stub_names_and_parameters_match_the_module(module_name):
    import ast
    import importlib
    import inspect
    from pathlib import Path

    module = importlib.import_module(f"voriviv.{module_name}")
    stub = ast.parse((Path(module.__file__).parent / f"{module_name}.pyi").read_text())
    checked = 0
    for cls_node in (n for n in stub.body if isinstance(n, ast.ClassDef)):
        cls = getattr(module, cls_node.name)
        for fn in (n for n in cls_node.body if isinstance(n, ast.FunctionDef)):
            attr = getattr(cls, fn.name)
            if isinstance(attr, property) or fn.name.startswith("__"):
                continue
            stub_params = [a.arg for a in fn.args.args if a.arg not in ("self", "cls")]
            try:
                params = list(inspect.signature(attr).parameters)
            except ValueError:  # nanobind functions: the signature heads the docstring
                head = attr.__doc__.splitlines()[0]
                params = [p.split(":")[0].strip() for p in head[head.index("(") + 1:head.index(")")].split(",")]
            real = [p for p in params if p and p not in ("self", "cls")]
            assert real == stub_params, (cls_node.name, fn.name)
            checked += 1
    assert checked >= 2
