"""What the TAB and Shapefile test suites share: a description of each twin
class, synthetic layers written by ogr2ogr, independent checks of outputs
(ogrinfo), and a fresh PostgreSQL schema per test."""
from __future__ import annotations

import hashlib
import json
import re
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Dict

import pytest

from conftest import ogr2ogr, ogrinfo
import voriviv.geofileops.shp as shp_module
import voriviv.geofileops.tab as tab_module


@dataclass(frozen=True)
class Twin:
    module: ModuleType
    cls: type
    path_attr: str
    iter_name: str
    ext: str            # the location's files
    driver: str
    other_ext: str      # files written by to_other
    other_driver: str
    to_pg: str
    from_pg: str
    to_other: str
    open_failure: str
    no_layer: str
    companions: tuple   # what GDAL writes for one layer in this format

    def __str__(self) -> str:
        return self.cls.__name__

    def iter_files(self, obj, *args, **kwargs):
        return getattr(obj, self.iter_name)(*args, **kwargs)

    def call(self, obj, method: str, *args, **kwargs):
        return getattr(obj, getattr(self, method))(*args, **kwargs)


TAB = Twin(tab_module, tab_module.TabFileDatabase, "tab_path", "_iter_tabfiles", ".tab",
           "MapInfo File", ".shp", "ESRI Shapefile", "tab2pg", "pg2tab", "tab2shp",
           "Failed to open TAB file: ", "TAB file has no layer: ",
           (".tab", ".dat", ".map", ".id"))
SHP = Twin(shp_module, shp_module.ShapefileDatabase, "shp_path", "_iter_shapefiles", ".shp",
           "ESRI Shapefile", ".tab", "MapInfo File", "shp2pg", "pg2shp", "shp2tab",
           "Failed to open shapefile: ", "Shapefile has no layer: ",
           (".shp", ".shx", ".dbf"))
TWINS = [TAB, SHP]


def geojson(path: Path, n: int, name: str | None = None, start: int = 0) -> Path:
    """A GeoJSON file of n points with an integer id and a text label."""
    doc = {"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {"id": start + i, "label": f"f{start + i}"},
         "geometry": {"type": "Point", "coordinates": [(start + i) % 360 - 180, i % 90]}}
        for i in range(n)]}
    if name is not None:
        doc["name"] = name
    path.write_text(json.dumps(doc))
    return path


def make_layer(path: Path, n: int, driver: str, start: int = 0) -> Path:
    """A one-layer file in `driver`'s format with n points, written by ogr2ogr."""
    src = geojson(path.parent / (path.name + ".src.geojson"), n, start=start)
    ogr2ogr("-f", driver, str(path), str(src), "-nln", path.stem)
    src.unlink()
    return path


def layers(path: Path) -> Dict[str, int]:
    """Layer name -> feature count of a dataset, as ogrinfo reports them."""
    out = ogrinfo("-so", "-al", str(path))
    names = re.findall(r"^Layer name: (.*)$", out, re.M)
    counts = [int(c) for c in re.findall(r"^Feature Count: (\d+)$", out, re.M)]
    return dict(zip(names, counts))


def field_values(path: Path, field: str) -> list:
    """Values of one attribute in feature order, as ogrinfo prints them."""
    out = ogrinfo("-al", "-q", str(path))
    return re.findall(rf"^\s+{field} \(\w+\) = (.*)$", out, re.M)


@pytest.fixture(params=TWINS, ids=str)
def twin(request) -> Twin:
    return request.param


@pytest.fixture
def threads():
    """Sets GEOFILEOPS_THREADS of a converter module for one test."""
    saved = {m: m.GEOFILEOPS_THREADS for m in (tab_module, shp_module)}

    def set_threads(twin: Twin, n: int) -> None:
        twin.module.set_geofileops_threads(n)

    yield set_threads
    for m, n in saved.items():
        m.GEOFILEOPS_THREADS = n


@pytest.fixture
def schema(psql, request) -> str:
    """A fresh, empty schema for one test, dropped afterwards."""
    name = "t_" + hashlib.sha1(request.node.nodeid.encode()).hexdigest()[:12]
    psql(f"DROP SCHEMA IF EXISTS {name} CASCADE; CREATE SCHEMA {name}")
    yield name
    psql(f"DROP SCHEMA IF EXISTS {name} CASCADE")


def points_table(psql, schema: str, table: str, n: int) -> None:
    """<schema>."<table>" with n points (id, label, geom in EPSG:4326)."""
    psql(f'CREATE TABLE {schema}."{table}" AS SELECT g AS id, \'p\' || g AS label, '
         f"ST_SetSRID(ST_MakePoint(g % 360 - 180, g % 90), 4326)::geometry(Point, 4326) AS geom "
         f"FROM generate_series(1, {n}) g")
