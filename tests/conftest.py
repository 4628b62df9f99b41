"""Shared fixtures: a throwaway PostGIS server and Natural Earth inputs."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import pgserver  # noqa: E402
from data_paths import naturalearth_dir  # noqa: E402

DATA = naturalearth_dir()


@pytest.fixture(scope="session")
def pg():
    """Connection mapping of a PostGIS database alive for the whole session.

    Starts a throwaway cluster unless VORIVIV_PG_DSN names an existing server.
    """
    server = pgserver.server_from_env()
    info = server.start()
    try:
        yield info
    finally:
        server.stop()


@pytest.fixture(scope="session")
def pg_text(pg):
    """The same database as GDAL connection text."""
    return pgserver.gdal_connection_text(pg)


@pytest.fixture
def psql(pg):
    """Run SQL on the test database with psql; returns its unaligned output."""
    return lambda sql: pgserver.psql(pg, sql)


@pytest.fixture(scope="session")
def naturalearth():
    """Directory of the Natural Earth Shapefiles (read-only: never write here)."""
    if not (DATA / "naturalearth_cities.shp").exists():
        pytest.skip("Natural Earth data not found")
    return DATA


def ogr2ogr(*args: str) -> None:
    subprocess.run(["ogr2ogr", *args], check=True, capture_output=True, text=True)


def ogrinfo(*args: str) -> str:
    return subprocess.run(["ogrinfo", *args], check=True, capture_output=True,
                          text=True).stdout


@pytest.fixture(scope="session")
def ne_gdb(tmp_path_factory, naturalearth):
    """A File Geodatabase built by ogr2ogr with the cities and the countries."""
    gdb = tmp_path_factory.mktemp("ne") / "naturalearth.gdb"
    ogr2ogr("-f", "OpenFileGDB", str(gdb), str(naturalearth / "naturalearth_cities.shp"),
            "-nln", "cities")
    ogr2ogr("-f", "OpenFileGDB", "-update", str(gdb),
            str(naturalearth / "naturalearth_lowres.shp"), "-nln", "countries",
            "-nlt", "MULTIPOLYGON")
    return gdb


@pytest.fixture(autouse=True)
def thread_settings():
    """Some calls set the converter modules' threads (run_conversion, the
    command line): every test finds them as the suite started."""
    from voriviv.geofileops import gdb, shp, tab
    saved = [(m, m.GEOFILEOPS_THREADS) for m in (gdb, shp, tab)]
    yield
    for module, n in saved:
        module.set_geofileops_threads(n)
