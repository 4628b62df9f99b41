"""The array functions against a Python loop over the scalar calls.

Both sides run in this one process on the same random points (longitudes
uniform in [-180, 180), latitudes in [-90, 90)). The array call runs on all
N points (10 million) on one thread (threads=1) and as called by default
(threads=None: two threads on a 2-core machine); the loop runs on the first
LOOP points (1 million) with the inputs already in Python lists, and its
time is scaled by N / LOOP. Loop and array calls alternate in 3 rounds
(each loop once, each array call twice per round); the best time counts. The to_nds loop is also
timed straight over the arrays' elements (NumPy scalars), the loop a caller
holding arrays would write. NumPy's astype(int64) of the two inputs is
timed as the floor for making two new int64 arrays. Rates are given by wall clock and, for one
thread, by process CPU time (the machine may be shared; CPU time is what one
core gives). Nothing is asserted. Goals: to_nds_arrays at least 100x the
loop, and at least 50 million points per second on one core.

    .venv/bin/python bench/bench_arrays.py [--quick]
"""
from __future__ import annotations

import sys
import time

import numpy as np

from voriviv.pos import Position, distances, from_nds_arrays, to_nds_arrays
from voriviv.tileid import PackedTileId, packed_tile_ids

QUICK = "--quick" in sys.argv
N = 1_000_000 if QUICK else 10_000_000
LOOP = 200_000 if QUICK else 1_000_000


ROUNDS = 3  # rounds of: each loop once, each array call twice


class Best:
    """Smallest wall and CPU seconds seen per measured call. Calls are made
    in interleaved rounds so that every side meets the same machine load."""

    def __init__(self):
        self.wall, self.cpu = {}, {}

    def run(self, key, fn):
        w, c = time.perf_counter(), time.process_time()
        result = fn()
        w, c = time.perf_counter() - w, time.process_time() - c
        del result
        self.wall[key] = min(self.wall.get(key, w), w)
        self.cpu[key] = min(self.cpu.get(key, c), c)


def main():
    rng = np.random.default_rng(2026)
    lon = rng.uniform(-180.0, 180.0, N)
    lat = rng.uniform(-90.0, 90.0, N)
    lon2, lat2 = np.roll(lon, 1), np.roll(lat, 1)
    x, y = to_nds_arrays(lon, lat)
    lons, lats = lon[:LOOP].tolist(), lat[:LOOP].tolist()
    lons2, lats2 = lon2[:LOOP].tolist(), lat2[:LOOP].tolist()
    xs, ys = x[:LOOP].tolist(), y[:LOOP].tolist()
    lon_part, lat_part = lon[:LOOP], lat[:LOOP]
    scale = N / LOOP

    rows = [
        ("to_nds_arrays", lambda t: to_nds_arrays(lon, lat, threads=t),
         lambda: [Position(a, b).to_nds_coordinates() for a, b in zip(lons, lats)]),
        ("from_nds_arrays", lambda t: from_nds_arrays(x, y, threads=t),
         lambda: [Position.from_nds_coordinates(a, b) for a, b in zip(xs, ys)]),
        ("distances", lambda t: distances(lon, lat, lon2, lat2, threads=t),
         lambda: [Position(a, b).distance_to(Position(c, d)) for a, b, c, d in zip(lons, lats, lons2, lats2)]),
        ("packed_tile_ids (level 13)", lambda t: packed_tile_ids(x, y, 13, threads=t),
         lambda: [PackedTileId.containing(a, b, 13).packed for a, b in zip(xs, ys)]),
    ]
    extra = {
        # The same loop straight over the arrays (NumPy scalars, a float subclass).
        "numpy loop": lambda: [Position(a, b).to_nds_coordinates() for a, b in zip(lon_part, lat_part)],
        # A floor for any function returning two new int64 arrays: NumPy's own
        # conversion of the inputs, without any arithmetic.
        "floor": lambda: (lon.astype(np.int64), lat.astype(np.int64)),
    }
    print(f"{N:,} points; Python loop on {LOOP:,} points, scaled by {scale:g}; best of {ROUNDS} interleaved rounds\n")
    head = f"{'function':28} {'loop s':>8} {'1 thread s':>10} {'M pts/s':>8} {'CPU M/s':>8} {'speed-up':>9}" \
           f" {'auto s':>11} {'M pts/s':>8}"
    print(head)
    print("-" * len(head))
    b = Best()
    for name, array_call, loop in rows:
        for _ in range(ROUNDS):
            b.run((name, "loop"), loop)
            if name == "to_nds_arrays":
                b.run("numpy loop", extra["numpy loop"])
            for _ in range(2):
                b.run((name, 1), lambda: array_call(1))
                b.run((name, None), lambda: array_call(None))
                if name == "to_nds_arrays":
                    b.run("floor", extra["floor"])
        loop_wall = b.wall[(name, "loop")] * scale
        one_wall, one_cpu, auto_wall = b.wall[(name, 1)], b.cpu[(name, 1)], b.wall[(name, None)]
        print(f"{name:28} {loop_wall:8.2f} {one_wall:10.4f} {N / one_wall / 1e6:8.1f} {N / one_cpu / 1e6:8.1f}"
              f" {loop_wall / one_wall:8.0f}x {auto_wall:11.4f} {N / auto_wall / 1e6:8.1f}")

    name = "to_nds_arrays"
    loop_wall, numpy_loop = b.wall[(name, "loop")] * scale, b.wall["numpy loop"] * scale
    one_wall, one_cpu, auto_wall = b.wall[(name, 1)], b.cpu[(name, 1)], b.wall[(name, None)]
    floor_wall = b.wall["floor"]
    rate, cpu_rate = N / one_wall, N / one_cpu
    print()
    print(f"to_nds_arrays, one thread: {rate / 1e6:.1f} million points/s by wall clock, "
          f"{cpu_rate / 1e6:.1f} million/s by CPU time (goal >= 50): "
          f"{'met' if max(rate, cpu_rate) >= 50e6 else 'MISSED'}")
    print(f"floor: NumPy lon.astype(int64), lat.astype(int64) takes {floor_wall:.3f} s "
          f"({N / floor_wall / 1e6:.1f} million points/s); to_nds_arrays on one thread takes "
          f"{one_wall / floor_wall:.2f}x that")
    for label, loop_s in (("lists of floats", loop_wall), ("the arrays' elements", numpy_loop)):
        for threads, array_s in (("1 thread", one_wall), ("threads=None", auto_wall)):
            speedup = loop_s / array_s
            print(f"to_nds_arrays ({threads}, {array_s:.3f} s) vs loop over Position(...).to_nds_coordinates()"
                  f" on {label} ({loop_s:.2f} s): {speedup:.0f}x (goal >= 100x): "
                  f"{'met' if speedup >= 100 else 'MISSED'}")


if __name__ == "__main__":
    main()
