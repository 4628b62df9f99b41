"""The main job, end to end, on the Natural Earth data.

1. Build a File Geodatabase (cities, countries) from the Natural Earth Shapefiles.
2. gdb2pg: load it into a PostGIS schema, in parallel.
3. pg2gdbf: export the schema into a new geodatabase grouped into feature datasets.
4. gdb2shape: turn that geodatabase into a directory of Shapefiles.
5. The TAB and Shapefile converters: Shapefiles -> PostGIS -> TAB -> PostGIS, and
   between the two file formats (examples/files_demo.py).

Every step prints its layers, their feature counts checked against the source
(with psql and ogrinfo, not with voriviv itself) and its time.

A throwaway PostGIS server is started and stopped, unless VORIVIV_PG_DSN holds
the libpq connection text of your own server (``host=... dbname=... user=...
password=...``).
"""
from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
import pgserver  # noqa: E402
from data_paths import naturalearth_dir  # noqa: E402

from voriviv.geofileops import gdb  # noqa: E402

DATA = naturalearth_dir()
SCHEMA = "demo"


def ogr_counts(path: Path) -> dict:
    """Layer -> feature count, as ogrinfo reports them."""
    out = subprocess.run(["ogrinfo", "-al", "-so", str(path)], check=True,
                         capture_output=True, text=True).stdout
    names = re.findall(r"^Layer name: (.+)$", out, re.M)
    counts = [int(c) for c in re.findall(r"^Feature Count: (\d+)$", out, re.M)]
    return dict(zip(names, counts))


def report(step: str, seconds: float, expected: dict, got: dict, caught=()) -> bool:
    print(f"\n{step}  ({seconds:.2f} s)")
    ok = True
    for layer, n in expected.items():
        m = got.get(layer)
        status = "ok" if m == n else "MISMATCH"
        ok &= m == n
        print(f"  {layer:<12} source {n:>6}  target {m if m is not None else '-':>6}  {status}")
    if caught:
        print(f"  GDAL warned {len(caught)} time(s), first: {caught[0].message}")
    return ok


def main() -> int:
    server = pgserver.server_from_env()
    print("starting PostGIS ..." if isinstance(server, pgserver.ThrowawayPostgis)
          else "using VORIVIV_PG_DSN")
    info = server.start()
    ok = True
    try:
        work = Path(tempfile.mkdtemp(prefix="voriviv-demo-"))
        src = work / "naturalearth.gdb"
        subprocess.run(["ogr2ogr", "-f", "OpenFileGDB", str(src),
                        str(DATA / "naturalearth_cities.shp"), "-nln", "cities"], check=True, capture_output=True)
        subprocess.run(["ogr2ogr", "-f", "OpenFileGDB", "-update", str(src),
                        str(DATA / "naturalearth_lowres.shp"), "-nln", "countries",
                        "-nlt", "MULTIPOLYGON"], check=True, capture_output=True)
        source = ogr_counts(src)
        gdb.set_geofileops_threads(2)
        print(f"input geodatabase {src} with {source}, threads={gdb.GEOFILEOPS_THREADS}")

        pgserver.psql(info, f"DROP SCHEMA IF EXISTS {SCHEMA} CASCADE; CREATE SCHEMA {SCHEMA}")
        t0 = time.perf_counter()
        gdb.GeoFileDatabase(src).gdb2pg(info, schema=SCHEMA, overwrite=True)
        t = time.perf_counter() - t0
        loaded = {name: int(pgserver.psql(info, f"SELECT count(*) FROM {SCHEMA}.{name}"))
                  for name in source}
        ok &= report(f"gdb2pg -> PostGIS schema '{SCHEMA}'", t, source, loaded)

        grouped = work / "grouped.gdb"
        t0 = time.perf_counter()
        gdb.GeoFileDatabase(grouped, "create").pg2gdbf(
            info, {"places": ["cities"], "admin": ["countries"]}, schema=SCHEMA)
        t = time.perf_counter() - t0
        ok &= report("pg2gdbf -> geodatabase with feature datasets places/admin", t, source,
                     ogr_counts(grouped))

        shp_dir = work / "shapefiles"
        t0 = time.perf_counter()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            gdb.GeoFileDatabase(grouped).gdb2shape(shp_dir)
        t = time.perf_counter() - t0
        ok &= report(f"gdb2shape -> {shp_dir}", t, source, ogr_counts(shp_dir), caught)

        print()
        from files_demo import files_demo  # the TAB and Shapefile converters
        from voriviv.geofileops import shp, tab
        shp.set_geofileops_threads(2)
        tab.set_geofileops_threads(2)
        ok &= files_demo(info, work / "files")
    finally:
        server.stop()
    print("\nevery layer arrived with all its features" if ok
          else "\nSOME LAYERS DID NOT ARRIVE WITH ALL THEIR FEATURES")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    sys.exit(main())
