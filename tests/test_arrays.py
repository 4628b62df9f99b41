"""Array versions of the coordinate functions, element by element against the
scalar API (Position, PackedTileId.containing) as the oracle.

to_nds_arrays is compared on all of 10 million random points plus the edge
cases; the other functions on a million random elements plus their edge
cases (a Python loop over all 10 million for each would add half a minute to
the suite). Floats are compared by their bits, so -0.0 and NaN count too.
"""
from __future__ import annotations

import ast
import itertools
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import voriviv.pos
import voriviv.tileid
from voriviv.pos import Position, distances, from_nds_arrays, to_nds_arrays
from voriviv.tileid import PackedTileId, packed_tile_ids

N = 10_000_000
CHUNK = 500_000
UNIT = 360 / 2**32
TOP_LON = 180 - UNIT
TOP_LAT = 90 - UNIT
INF, NAN = float("inf"), float("nan")

# Range ends, snap zones, poles, antimeridian, signed zeros, far-out values.
EDGE_LON = [-180.0, 180.0, -180.0 - 1e-9, -180.0 + UNIT, TOP_LON, TOP_LON - UNIT, TOP_LON - 2 * UNIT,
            180.0 - 1e-12, 180.0 + 1e-12, 179.99999995, 360.0, -360.0, 540.0, -540.0, 719.99999999,
            0.0, -0.0, 5e-324, -5e-324, 1e-300, 1e300, -1e300, 2.0**53 + 1, -(2.0**63)]
EDGE_LAT = [-90.0, 90.0, -90.0 - 1e-9, 90.0 + 1e-9, TOP_LAT, TOP_LAT - UNIT, TOP_LAT - UNIT / 2,
            89.99999995, 0.0, -0.0, 45.0, -45.0, INF, -INF, 1e300, -1e300]


def bits(a):
    a = np.ascontiguousarray(a)
    return a.view(np.int64) if a.dtype == np.float64 else a


def assert_same(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    diff = np.flatnonzero(bits(got).ravel() != bits(want).ravel())
    assert diff.size == 0, f"{diff.size} elements differ, first at {diff[0]}: {got.ravel()[diff[0]]!r} != {want.ravel()[diff[0]]!r}"


def scalar_nds(lons, lats):
    """Position(lon, lat).to_nds_coordinates() for each pair, as two int64 arrays."""
    flat = np.fromiter(itertools.chain.from_iterable(
        Position(a, b).to_nds_coordinates() for a, b in zip(lons, lats)), np.int64, 2 * len(lons))
    return flat[0::2], flat[1::2]


def scalar_from_nds(xs, ys):
    flat = []
    for a, b in zip(xs, ys):
        p = Position.from_nds_coordinates(a, b)
        flat += (p.x, p.y)
    flat = np.array(flat, dtype=np.float64)
    return flat[0::2], flat[1::2]


def scalar_distances(x1, y1, x2, y2):
    return np.array([Position(a, b).distance_to(Position(c, d)) for a, b, c, d in zip(x1, y1, x2, y2)],
                    dtype=np.float64)


@pytest.fixture(scope="module")
def points():
    rng = np.random.default_rng(20261208)
    lon = rng.uniform(-540.0, 540.0, N)
    lat = rng.uniform(-95.0, 95.0, N)
    return lon, lat


# ---------------------------------------------------------------------------
# Every element as the scalar call gives it


def test_to_nds_arrays_on_ten_million_points(points):
    lon, lat = points
    x, y = to_nds_arrays(lon, lat)
    assert x.dtype == y.dtype == np.int64 and x.shape == (N,)
    for s in range(0, N, CHUNK):
        want_x, want_y = scalar_nds(lon[s:s + CHUNK].tolist(), lat[s:s + CHUNK].tolist())
        assert_same(x[s:s + CHUNK], want_x)
        assert_same(y[s:s + CHUNK], want_y)
    # One thread and the automatic split agree.
    x1, y1 = to_nds_arrays(lon[:3_000_000], lat[:3_000_000], threads=1)
    assert_same(x1, x[:3_000_000])
    assert_same(y1, y[:3_000_000])


def test_to_nds_arrays_edge_cases():
    lon, lat = zip(*itertools.product(EDGE_LON, EDGE_LAT))
    x, y = to_nds_arrays(np.array(lon), np.array(lat))
    want_x, want_y = scalar_nds(lon, lat)
    assert_same(x, want_x)
    assert_same(y, want_y)
    # The range ends by hand: +180 is the top unit, -180 stays, the top latitude is 2**30 - 1.
    x, y = to_nds_arrays([180.0, -180.0, 0.0], [90.0, -90.0, INF])
    assert x.tolist() == [2**31 - 1, -2**31, 0] and y.tolist() == [2**30 - 1, -2**30, 2**30 - 1]


def edge_pairs_in_every_lane():
    """The edge pairs whose longitude lies in (-360, 360) and whose latitude is
    not NaN (the pairs the vector loop takes), each pair at every position of a
    group of four, with an out-of-range pair in between so that vector groups
    and the element-by-element path alternate."""
    pairs = [(a, b) for a, b in itertools.product(EDGE_LON, EDGE_LAT) if abs(a) < 360 and b == b]
    lon, lat = [], []
    for shift in range(4):
        lon += [0.0] * shift + [p[0] for p in pairs] + [1e300]
        lat += [0.0] * shift + [p[1] for p in pairs] + [0.0]
    return np.array(lon), np.array(lat)


def test_edge_cases_inside_the_vector_loop():
    lon, lat = edge_pairs_in_every_lane()
    x, y = to_nds_arrays(lon, lat)
    want_x, want_y = scalar_nds(lon.tolist(), lat.tolist())
    assert_same(x, want_x)
    assert_same(y, want_y)


def test_the_baseline_loop_gives_the_same_results(points, tmp_path):
    """On a processor with AVX2 the array functions use their four-lane loops;
    VORIVIV_NO_AVX2 makes a process use the baseline (two-lane) ones, which
    must agree bit for bit."""
    lon, lat = points
    lon, lat = np.concatenate([lon[:2_000_000], edge_pairs_in_every_lane()[0]]), \
        np.concatenate([lat[:2_000_000], edge_pairs_in_every_lane()[1]])
    np.save(tmp_path / "lon.npy", lon)
    np.save(tmp_path / "lat.npy", lat)
    code = f"""
        import numpy as np
        from voriviv.pos import to_nds_arrays
        d = {str(tmp_path)!r}
        x, y = to_nds_arrays(np.load(d + "/lon.npy"), np.load(d + "/lat.npy"))
        np.save(d + "/x.npy", x)
        np.save(d + "/y.npy", y)
    """
    env = dict(os.environ, VORIVIV_NO_AVX2="1")
    subprocess.run([sys.executable, "-c", textwrap.dedent(code)], check=True, env=env)
    x, y = to_nds_arrays(lon, lat)
    assert_same(np.load(tmp_path / "x.npy"), x)
    assert_same(np.load(tmp_path / "y.npy"), y)


def test_integer_and_other_dtypes_convert_like_python_numbers():
    rng = np.random.default_rng(7)
    ints = np.concatenate([rng.integers(-1000, 1000, 5000), [2**53 + 1, 2**62 + 2**9 + 1, -2**63, 2**63 - 1, 90, -90, 180, -180]])
    lat = np.concatenate([rng.integers(-100, 100, 5000), [90, -90, 91, -91, 0, 1, 2**63 - 1, -2**63]])
    x, y = to_nds_arrays(ints, lat)
    want = scalar_nds(ints.tolist(), lat.tolist())  # Python ints into Position
    assert_same(x, want[0])
    assert_same(y, want[1])
    # Unsigned beyond int64, small ints, bools, float16/32: each as the Python number it stands for.
    for a, b in [(np.array([2**64 - 1, 2**63 + 2**11 + 1, 7], np.uint64), np.array([1, 2, 3], np.uint8)),
                 (np.array([-128, 127, 0], np.int8), np.array([True, False, True])),
                 (np.array([1.1, 179.99, -0.0, np.inf], np.float32)[:3], np.array([89.9, -90.5, 0.1], np.float16))]:
        x, y = to_nds_arrays(a, b)
        want = scalar_nds([v.item() if a.dtype.kind != "f" else float(v) for v in a],
                          [v.item() if b.dtype.kind != "f" else float(v) for v in b])
        assert_same(x, want[0])
        assert_same(y, want[1])


def test_from_nds_arrays_matches_the_scalar_call(points):
    rng = np.random.default_rng(8)
    x = rng.integers(-2**33, 2**33, 1_000_000)  # beyond the range too: it folds
    y = rng.integers(-2**31, 2**31, 1_000_000)
    edges = [0, 1, -1, 2**31 - 1, 2**31 - 2, -2**31, 2**31, 2**32, 2**30 - 1, 2**30, -2**30, -2**30 - 1,
             2**53 + 1, 2**62, -2**63, 2**63 - 1]
    ex, ey = map(list, zip(*itertools.product(edges, edges)))
    x = np.concatenate([x, ex]).astype(np.int64)
    y = np.concatenate([y, ey]).astype(np.int64)
    lon, lat = from_nds_arrays(x, y)
    want = scalar_from_nds(x.tolist(), y.tolist())
    assert_same(lon, want[0])
    assert_same(lat, want[1])
    # Floats, NaN included (it passes through as in the scalar call).
    fx = np.array([0.5, -2.5e9, NAN, 1e20, -0.0]), np.array([NAN, 3.7, 1.0, -1e20, 2**30 - 0.5])
    assert_same(np.stack(from_nds_arrays(*fx)), np.stack(scalar_from_nds(*(a.tolist() for a in fx))))
    # Round trip of the 10 million points through NDS integers.
    x, y = to_nds_arrays(*points)
    lon, lat = from_nds_arrays(x, y)
    assert_same(to_nds_arrays(lon, lat)[0], x)


def test_distances_match_distance_to(points):
    lon, lat = (a[:1_000_000] for a in points)
    lon2, lat2 = np.roll(lon, 1), np.roll(lat, 7)
    assert_same(distances(lon, lat, lon2, lat2),
                scalar_distances(lon.tolist(), lat.tolist(), lon2.tolist(), lat2.tolist()))
    # Poles, antimeridian, antipodes, equal points, ints.
    cases = [(179.9, 0.0, -179.9, 0.0), (0.0, 90.0, 0.0, -90.0), (0.0, 0.0, 180.0, 0.0), (10.0, 20.0, 10.0, 20.0),
             (-180.0, 89.99, 180.0, 89.99), (0.0, INF, 0.0, -INF), (45.0, 1e300, -135.0, -1e300),
             (1.0, NAN, 2.0, 3.0), (3, 4, 5, 6), (360, -90, 0, 90)]
    cols = [list(c) for c in zip(*cases)]
    assert_same(distances(*(np.array(c, dtype=float) for c in cols)), scalar_distances(*cols))
    assert_same(distances(*(np.array(c[-2:], dtype=np.int64) for c in cols)), scalar_distances(*(c[-2:] for c in cols)))


def test_packed_tile_ids_match_the_scalar_tile_and_its_corners():
    rng = np.random.default_rng(9)
    x = rng.integers(-2**31, 2**31, 200_000)
    y = rng.integers(-2**30, 2**30, 200_000)
    edges_x = [-2**31, 2**31 - 1, 0, -1, 2**16, 2**16 - 1]
    edges_y = [-2**30, 2**30 - 1, 0, -1, 2**16, 2**16 - 1]
    ex, ey = map(list, zip(*itertools.product(edges_x, edges_y)))
    x = np.concatenate([x, ex]).astype(np.int64)
    y = np.concatenate([y, ey]).astype(np.int64)
    xs, ys = x.tolist(), y.tolist()
    for level in range(16):
        ids = packed_tile_ids(x, y, level)
        assert_same(ids, np.array([PackedTileId.containing(a, b, level).packed for a, b in zip(xs, ys)], np.int64))
        # Independently of the packing: the tile's corner box holds the point.
        for i in list(range(0, len(xs), 997)) + list(range(len(xs) - len(ex), len(xs))):
            t = PackedTileId(int(ids[i]))
            (x0, y0), (x1, y1) = t.south_west_corner(), t.north_east_corner()
            assert t.level == level and x0 <= xs[i] <= x1 and y0 <= ys[i] <= y1
    # Narrow integer dtypes and the output of to_nds_arrays.
    assert_same(packed_tile_ids(np.array([-1, 5], np.int8), np.array([3, 0], np.uint16), 15),
                np.array([PackedTileId.containing(-1, 3, 15).packed, PackedTileId.containing(5, 0, 15).packed]))
    nx, ny = to_nds_arrays([13.4, -74.0], [52.5, 40.7])
    assert packed_tile_ids(nx, ny, 13).tolist() == [
        PackedTileId.containing(*Position(13.4, 52.5).to_nds_coordinates(), 13).packed,
        PackedTileId.containing(*Position(-74.0, 40.7).to_nds_coordinates(), 13).packed]


def test_layouts_shapes_and_sources():
    rng = np.random.default_rng(10)
    grid = rng.uniform(-200, 200, (300, 400))
    lat = rng.uniform(-95, 95, (400, 300)).T  # Fortran order
    want = to_nds_arrays(np.ascontiguousarray(grid), np.ascontiguousarray(lat))
    got = to_nds_arrays(grid, lat)
    assert got[0].shape == (300, 400) and got[0].flags.c_contiguous
    assert_same(got[0], want[0])
    assert_same(got[1], want[1])
    # Reversed, strided, read-only, big-endian, lists, 0-d, empty.
    column = grid[:, 3]
    assert_same(to_nds_arrays(column[::-1], lat[::-1, 0])[0], to_nds_arrays(column[::-1].copy(), lat[::-1, 0].copy())[0])
    ro = grid[::3, ::-2].copy(order="F")
    ro.flags.writeable = False
    assert_same(to_nds_arrays(ro, ro)[0], to_nds_arrays(np.ascontiguousarray(ro), ro)[0])
    assert_same(to_nds_arrays(grid[:, 5].astype(">f8"), grid[:, 7])[1], to_nds_arrays(grid[:, 5], grid[:, 7])[1])
    assert to_nds_arrays([180.0, 1], (90, 0))[0].tolist() == [2**31 - 1, 11930464]
    x, y = to_nds_arrays(180.0, 90.0)
    assert x.shape == () and int(x) == 2**31 - 1
    assert to_nds_arrays(np.empty(0), np.empty(0))[0].shape == (0,)

    class DLPackOnly:  # no buffer protocol
        def __init__(self, a):
            self.a = a

        def __dlpack__(self, **kw):
            return self.a.__dlpack__(**kw)

        def __dlpack_device__(self):
            return self.a.__dlpack_device__()

    v = grid[0]
    assert_same(distances(DLPackOnly(v), v, v, DLPackOnly(v[::-1].copy())), distances(v, v, v, v[::-1]))


def test_the_loop_runs_without_the_gil(points):
    import threading
    import time

    lon, lat = points
    span = {}

    def work():
        span["start"] = time.perf_counter()
        to_nds_arrays(lon, lat, threads=1)
        span["end"] = time.perf_counter()

    worker = threading.Thread(target=work)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    # Reading the inputs and making the outputs holds the GIL only briefly;
    # the main thread keeps running through the middle of the call.
    start, end = span["start"], span["end"]
    middle = [t for t in ticks if start + (end - start) * 0.25 < t < end - (end - start) * 0.25]
    assert len(middle) > 100


# ---------------------------------------------------------------------------
# Errors


def test_bad_elements_raise_the_scalar_exception_with_the_first_index():
    lon, lat = np.zeros(3_000_000), np.zeros(3_000_000)
    lon[2_900_000] = INF  # in the second thread's half
    lat[1_000_001] = NAN
    with pytest.raises(ValueError, match=r"^cannot convert float NaN to integer at index 1000001 \(lon=0.0, lat=nan\)"):
        to_nds_arrays(lon, lat, threads=2)
    with pytest.raises(ValueError, match=r"^math domain error at index 2900000 \(lon=inf, lat=0.0\)"):
        to_nds_arrays(lon, np.zeros(3_000_000))
    for call in (lambda: Position(INF, 0.0), lambda: Position(NAN, 0.0).to_nds_coordinates()):
        with pytest.raises(ValueError):  # the scalar API raises the same type
            call()
    with pytest.raises(ValueError, match=r"^math domain error at index 1 \(x=-inf, y=0.0\)"):
        from_nds_arrays([0.0, -INF], [0.0, 0.0])
    with pytest.raises(ValueError, match=r"^math domain error at index 2 \(lon1=0.0, lat1=0.0, lon2=inf, lat2=1.0\)"):
        distances([0.0] * 3, [0.0] * 3, [0.0, 1.0, INF], [1.0] * 3)
    with pytest.raises(ValueError, match=r"^not an NDS point: \(2147483648, 0\) .* at index 1$"):
        packed_tile_ids(np.array([0, 2**31]), np.array([0, 0]), 3)
    with pytest.raises(ValueError, match=r"^not an NDS point: \(0, 18446744073709551615\)"):
        packed_tile_ids(np.array([0], np.uint64), np.array([2**64 - 1], np.uint64), 3)
    with pytest.raises(ValueError, match=r"^not an NDS point: \(0, -1073741825\)"):
        PackedTileId.containing(0, -2**30 - 1, 1)
    for level in (16, -1, 2**70):
        with pytest.raises(ValueError, match=f"^tile level must be 0 to 15, not {level}$"):
            packed_tile_ids([0], [0], level)
        with pytest.raises(ValueError, match=f"^tile level must be 0 to 15, not {level}$"):
            PackedTileId.containing(0, 0, level)


def test_shapes_must_match():
    with pytest.raises(ValueError, match=r"different shapes: lon has shape \(3,\), lat has shape \(2,\)"):
        to_nds_arrays(np.zeros(3), np.zeros(2))
    with pytest.raises(ValueError, match=r"lon1 has shape \(2, 3\), lat2 has shape \(3, 2\)"):
        distances(np.zeros((2, 3)), np.zeros((2, 3)), np.zeros((2, 3)), np.zeros((3, 2)))
    with pytest.raises(ValueError, match="different shapes"):
        packed_tile_ids([1, 2], [[1, 2]], 0)
    with pytest.raises(ValueError, match="threads must be at least 1"):
        from_nds_arrays([1], [2], threads=0)


@pytest.mark.parametrize("bad", [np.array([1 + 2j]), np.array(["1.0"]), np.array([1.0], dtype=object),
                                 np.array(["2026-01-01"], dtype="datetime64[D]"), [None]])
def test_unsupported_dtypes_raise_type_error(bad):
    for call in (lambda: to_nds_arrays(bad, [1.0]), lambda: from_nds_arrays([1], bad),
                 lambda: distances([1.0], [1.0], [1.0], bad), lambda: packed_tile_ids(bad, [1], 2)):
        with pytest.raises(TypeError):
            call()


def test_tile_ids_refuse_floats_like_the_scalar_tile():
    with pytest.raises(TypeError, match=r"^y: expected an array of integers, not dtype float64$"):
        packed_tile_ids(np.array([1]), np.array([1.0]), 3)
    with pytest.raises(TypeError):
        PackedTileId.containing(1, 1.0, 3)


# ---------------------------------------------------------------------------
# NumPy stays optional


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_the_scalar_api_does_not_import_numpy():
    r = run_python("""
        import sys
        import voriviv.pos, voriviv.tileid, voriviv.bounding_box
        from voriviv.pos import Position
        Position(1.0, 2.0).to_nds_coordinates()
        voriviv.tileid.PackedTileId.containing(0, 0, 3)
        assert "numpy" not in sys.modules, "numpy imported"
    """)
    assert r.returncode == 0, r.stderr


def test_without_numpy_the_array_functions_say_how_to_install_it():
    r = run_python("""
        import sys
        sys.modules["numpy"] = None  # import numpy now fails
        from voriviv.pos import Position, to_nds_arrays, from_nds_arrays, distances
        from voriviv.tileid import packed_tile_ids
        calls = [lambda: to_nds_arrays([1.0], [2.0]), lambda: from_nds_arrays([1], [2]),
                 lambda: distances([1.0], [2.0], [3.0], [4.0]), lambda: packed_tile_ids([1], [2], 3)]
        for call in calls:
            try:
                call()
            except ImportError as e:
                assert "pip install voriviv[arrays]" in str(e), str(e)
            else:
                raise AssertionError("no ImportError")
        assert Position(1.0, 2.0).to_nds_coordinates() == (11930464, 23860929)
    """)
    assert r.returncode == 0, r.stderr


# ---------------------------------------------------------------------------
# Stubs


@pytest.mark.parametrize("module", [voriviv.pos, voriviv.tileid])
def test_stub_functions_match_the_module(module):
    stub = ast.parse((Path(module.__file__).parent / (module.__name__.split(".")[-1] + ".pyi")).read_text())
    functions = [n for n in stub.body if isinstance(n, ast.FunctionDef)]
    assert functions
    for fn in functions:
        want = [a.arg for a in fn.args.args] + (["*"] if fn.args.kwonlyargs else []) + [a.arg for a in fn.args.kwonlyargs]
        head = getattr(module, fn.name).__doc__.splitlines()[0]
        real = [p.split(":")[0].split("=")[0].strip() for p in head[head.index("(") + 1:head.index(")")].split(",")]
        assert real == want, fn.name
