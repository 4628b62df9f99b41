"""The TAB and Shapefile converters end to end on Natural Earth data.

`files_demo(pg, workdir)` copies the Natural Earth Shapefiles into `workdir`,
loads them into PostGIS, exports the tables as MapInfo TAB files, loads those
back into a second schema, and converts between the two file formats. After
every step it prints each layer's feature count next to the count of its
source, both read with independent tools (ogrinfo, psql), and the step's time.

Run on its own it starts a throwaway PostGIS server:

    .venv/bin/python examples/files_demo.py
"""
from __future__ import annotations

import re
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path
from typing import Callable, Dict, List, Tuple

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
from data_paths import naturalearth_dir  # noqa: E402

DATA = naturalearth_dir()

from voriviv.geofileops.shp import ShapefileDatabase  # noqa: E402
from voriviv.geofileops.tab import TabFileDatabase  # noqa: E402

# The countries' pop_est is Real(24.15), which overflows PostgreSQL's
# NUMERIC(24,15); the demo's copy carries it as an integer.
def _ogr_counts(path: Path) -> Dict[str, int]:
    out = subprocess.run(["ogrinfo", "-so", "-al", str(path)], check=True,
                         capture_output=True, text=True).stdout
    names = re.findall(r"^Layer name: (.*)$", out, re.M)
    counts = [int(c) for c in re.findall(r"^Feature Count: (\d+)$", out, re.M)]
    return dict(zip(names, counts))


def _psql(pg: Dict[str, object], sql: str) -> str:
    env = {"PGHOST": str(pg["host"]), "PGPORT": str(pg.get("port", 5432)),
           "PGDATABASE": str(pg["dbname"]), "PGUSER": str(pg["user"]),
           "PGPASSWORD": str(pg["password"]), "PATH": "/usr/bin:/bin"}
    return subprocess.run(["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-c", sql],
                          env=env, check=True, capture_output=True, text=True).stdout.strip()


def _files(directory: Path, ext: str) -> Dict[str, int]:
    counts: Dict[str, int] = {}
    for f in sorted(directory.glob("*" + ext)):
        counts.update(_ogr_counts(f))
    return counts


def _tables(pg: Dict[str, object], schema: str, names: List[str]) -> Dict[str, int]:
    return {n: int(_psql(pg, f'SELECT count(*) FROM {schema}."{n}"')) for n in names}


def _step(title: str, run: Callable[[], None], check: Callable[[], Dict[str, int]],
          expected: Dict[str, int]) -> bool:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        run()
        seconds = time.perf_counter() - start
    got = check()
    ok = got == expected
    print(f"{title}  ({seconds:.2f} s)  {'OK' if ok else 'MISMATCH'}")
    if caught:
        # GDAL's warnings, forwarded by the converters (for instance values
        # too wide for a Shapefile's numeric field, which GDAL drops).
        print(f"    {len(caught)} GDAL warning(s), first: {caught[0].message}")
    for name in sorted(expected):
        print(f"    {name:<22} {got.get(name, '-'):>6} features (source {expected[name]})")
    return ok


def files_demo(pg: Dict[str, object], workdir: Path) -> bool:
    """Runs the TAB and Shapefile steps; returns True when every count matched."""
    workdir = Path(workdir)
    src = workdir / "shp"
    src.mkdir(parents=True, exist_ok=True)
    # The files as published: the countries declare pop_est as Real(24.15)
    # but hold 10-digit values, which plain translations cannot write.
    for f in list(DATA.glob("naturalearth_cities.*")) + list(DATA.glob("naturalearth_lowres.*")):
        shutil.copy(f, src / f.name.replace("naturalearth_lowres", "countries"))
    source = _files(src, ".shp")
    names = sorted(source)
    for schema in ("files_demo", "files_demo_back"):
        _psql(pg, f"DROP SCHEMA IF EXISTS {schema} CASCADE; CREATE SCHEMA {schema}")

    shp = ShapefileDatabase(src)
    tab_dir = workdir / "tab"
    tab_dir.mkdir(exist_ok=True)
    tab = TabFileDatabase(tab_dir)
    steps: List[Tuple[str, Callable[[], None], Callable[[], Dict[str, int]]]] = [
        ("Shapefiles -> PostGIS (shp2pg, schema files_demo)",
         lambda: shp.shp2pg(pg, schema="files_demo", overwrite=True),
         lambda: _tables(pg, "files_demo", names)),
        ("PostGIS -> TAB files (pg2tab)",
         lambda: tab.pg2tab(pg, schema="files_demo"),
         lambda: _files(tab_dir, ".tab")),
        ("TAB files -> PostGIS (tab2pg, schema files_demo_back)",
         lambda: tab.tab2pg(pg, schema="files_demo_back", overwrite=True),
         lambda: _tables(pg, "files_demo_back", names)),
        ("TAB files -> Shapefiles (tab2shp)",
         lambda: tab.tab2shp(workdir / "shp_from_tab"),
         lambda: _files(workdir / "shp_from_tab", ".shp")),
        ("Shapefiles -> TAB files (shp2tab)",
         lambda: shp.shp2tab(workdir / "tab_from_shp"),
         lambda: _files(workdir / "tab_from_shp", ".tab")),
        ("PostGIS -> Shapefiles (pg2shp)",
         lambda: ShapefileDatabase(workdir / "shp_from_pg", mode="create").pg2shp(
             pg, schema="files_demo_back"),
         lambda: _files(workdir, ".shp")),
    ]
    # pg2shp is bound to a path that does not exist yet, so it writes into
    # that path's parent, the work directory itself.
    ok = True
    for title, run, check in steps:
        ok &= _step(title, run, check, source)

    # Not only the counts: every country's population arrived as it was.
    def pop_sum(dataset: Path) -> int:
        out = subprocess.run(["ogrinfo", "-q", str(dataset), "-sql",
                              "SELECT SUM(pop_est) AS s FROM countries"],
                             check=True, capture_output=True, text=True).stdout
        return int(float(re.search(r"s \(Real\) = (\S+)", out).group(1)))

    sums = {"Shapefile source": pop_sum(src / "countries.shp"),
            "PostGIS (shp2pg)": int(_psql(pg, "SELECT sum(pop_est)::bigint "
                                              "FROM files_demo.countries")),
            "TAB (shp2tab)": pop_sum(workdir / "tab_from_shp" / "countries.tab")}
    same = len(set(sums.values())) == 1
    print("countries pop_est total: " + ", ".join(f"{k} {v}" for k, v in sums.items()) +
          ("  OK" if same else "  MISMATCH"))
    return ok and same


if __name__ == "__main__":
    import pgserver

    server = pgserver.server_from_env()
    info = server.start()
    try:
        with tempfile.TemporaryDirectory(prefix="files-demo-") as tmp:
            sys.exit(0 if files_demo(info, Path(tmp)) else 1)
    finally:
        server.stop()
