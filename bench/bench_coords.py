"""Per-call times of voriviv.pos / voriviv.bounding_box against plain Python.

The baseline classes below do the same arithmetic as the native ones, written
as ordinary Python classes; both sides run in this one process on the same
inputs. Prints a table of nanoseconds per call and the speed-up ratio
(baseline time / native time), with the goal for each row. Nothing is asserted.

    .venv/bin/python bench/bench_coords.py [--quick]
"""
from __future__ import annotations

import dataclasses
import math
import os
import sys
import timeit

from voriviv.bounding_box import NdsBoundingBox
from voriviv.pos import Position


# --------------------------------------------------------------------------
# Baseline: plain Python with the same arithmetic


class PyPosition:
    EARTH_RADIUS_IN_METERS = 6371000.8
    LON_NDS_DELTA = 360.0 / 4294967295
    LAT_NDS_DELTA = 180.0 / 2147483647

    def __init__(self, lon, lat, alt=0.0):
        self.x = lon
        self.y = lat
        self.z = alt
        self.normalize()

    def normalize(self):
        self.x = math.fmod(self.x, 360.0)
        if abs(self.x - (180.0 - self.LON_NDS_DELTA)) < self.LON_NDS_DELTA:
            self.x = 180.0 - self.LON_NDS_DELTA
        if self.x >= 180.0:
            self.x -= 360.0
        elif self.x < -180.0:
            self.x += 360.0
        if abs(self.y - (90.0 - self.LAT_NDS_DELTA)) < self.LAT_NDS_DELTA:
            self.y = 90.0 - self.LAT_NDS_DELTA
        if self.y > 90.0 - self.LAT_NDS_DELTA:
            self.y = 90.0 - self.LAT_NDS_DELTA
        elif self.y < -90.0:
            self.y = -90.0

    def to_nds_coordinates(self):
        return int(self.x / 360.0 * 4294967296), int(self.y / 180.0 * 2147483648)

    @staticmethod
    def from_nds_coordinates(x, y):
        lon_mult = 360.0 / 4294967296
        lat_mult = 180.0 / 2147483648
        return PyPosition(x * lon_mult, y * lat_mult)

    def distance_to(self, other):
        dlat = math.radians(other.y - self.y)
        dlon = math.radians(other.x - self.x)
        a = (math.sin(dlat / 2) ** 2
             + math.cos(math.radians(self.y)) * math.cos(math.radians(other.y))
             * math.sin(dlon / 2) ** 2)
        c = 2 * math.atan2(math.sqrt(a), math.sqrt(1 - a))
        return self.EARTH_RADIUS_IN_METERS * c

    def bearing_from(self, other):
        lat1 = math.radians(self.y)
        lon1 = math.radians(self.x)
        lat2 = math.radians(other.y)
        lon2 = math.radians(other.x)
        y = math.sin(lon2 - lon1) * math.cos(lat2)
        x = (math.cos(lat1) * math.sin(lat2)
             - (math.sin(lat1) * math.cos(lat2)) * math.cos(lon2 - lon1))
        return math.atan2(y, x)

    def to_degree_minutes_seconds(self):
        def convert(value):
            degrees = int(value)
            minutes = int((value - degrees) * 60)
            seconds = ((value - degrees) - minutes / 60) * 3600
            return f"{degrees}° {minutes}' {seconds:.2f}\""

        lat = convert(abs(self.y)) + (" S" if self.y < 0 else " N")
        lon = convert(abs(self.x)) + (" W" if self.x < 0 else " E")
        return lat, lon

    def __str__(self):
        return f"Wgs84(lon={self.x}, lat={self.y})"


@dataclasses.dataclass
class PyBox:
    min_x: int
    min_y: int
    max_x: int
    max_y: int

    def intersects(self, other):
        if self.max_x < other.min_x:
            return False
        if self.min_x > other.max_x:
            return False
        if self.max_y < other.min_y:
            return False
        if self.min_y > other.max_y:
            return False
        return True

    def contains(self, other):
        return (self.min_x <= other.min_x and self.max_x >= other.max_x
                and self.min_y <= other.min_y and self.max_y >= other.max_y)

    @classmethod
    def from_wgs84_corners(cls, sw, ne):
        sw_x, sw_y = sw.to_nds_coordinates()
        ne_x, ne_y = ne.to_nds_coordinates()
        return cls(sw_x, sw_y, ne_x, ne_y)


# --------------------------------------------------------------------------


def per_call_ns(stmt: str, plain: dict, native: dict, number: int, repeat: int):
    """Best per-call time of `stmt` in each environment, in nanoseconds.

    The two sides are timed in alternating rounds so that a change of machine
    load between rounds affects both alike.
    """
    t_plain = timeit.Timer(stmt, globals=plain)
    t_native = timeit.Timer(stmt, globals=native)
    best_plain = best_native = math.inf
    for _ in range(repeat):
        best_plain = min(best_plain, t_plain.timeit(number))
        best_native = min(best_native, t_native.timeit(number))
    return best_plain / number * 1e9, best_native / number * 1e9


def main() -> int:
    quick = "--quick" in sys.argv
    number, repeat = (20_000, 5) if quick else (100_000, 15)

    def env(P, B):
        p, q = P(13.404954, 52.520008), P(2.352222, 48.856614)
        b1, b2 = B(0, 0, 1000, 1000), B(500, 500, 1500, 1500)
        inner = B(100, 100, 200, 200)
        return {"P": P, "B": B, "p": p, "q": q, "b1": b1, "b2": b2, "inner": inner,
                "sw": P(13.0, 52.0), "ne": P(14.0, 53.0)}

    native, plain = env(Position, NdsBoundingBox), env(PyPosition, PyBox)
    rows = [
        # (label, statement, goal: minimum speed-up)
        ("Position(lon, lat)", "P(13.404954, 52.520008)", 5.0),
        ("to_nds_coordinates()", "p.to_nds_coordinates()", 5.0),
        ("from_nds_coordinates()", "P.from_nds_coordinates(159910000, 626580000)", 5.0),
        ("distance_to()", "p.distance_to(q)", 5.0),
        ("bearing_from()", "p.bearing_from(q)", 5.0),
        ("str()", "str(p)", 5.0),
        ("to_degree_minutes_seconds()", "p.to_degree_minutes_seconds()", 5.0),
        ("NdsBoundingBox.intersects", "b1.intersects(b2)", 1.0),
        ("NdsBoundingBox.contains", "b1.contains(inner)", 1.0),
        ("NdsBoundingBox.from_wgs84_corners", "B.from_wgs84_corners(sw, ne)", 1.0),
    ]
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"Python {sys.version.split()[0]}, load average {load:.2f} at start;"
          f" {number} calls per timing, best of {repeat} alternating rounds.\n")
    print(f"{'operation':36s} {'python ns':>10s} {'native ns':>10s} {'ratio':>7s} {'goal':>6s}")
    missed = 0
    for label, stmt, goal in rows:
        t_py, t_nat = per_call_ns(stmt, plain, native, number, repeat)
        ratio = t_py / t_nat
        flag = "" if ratio >= goal else "  below goal"
        missed += ratio < goal
        print(f"{label:36s} {t_py:10.1f} {t_nat:10.1f} {ratio:6.2f}x {goal:5.1f}x{flag}")
    print(f"\n{len(rows) - missed} of {len(rows)} operations at or above their goal.")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
