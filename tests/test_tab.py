"""TabFileDatabase on Natural Earth data turned into TAB files by ogr2ogr."""
from __future__ import annotations

import os

import pytest

from conftest import ogr2ogr, ogrinfo
from filedb_twins import TAB, layers, make_layer, schema, threads  # noqa: F401
from voriviv.geofileops.tab import TabFileDatabase

COUNTRIES_SQL = ("SELECT CAST(pop_est AS integer(20)) AS pop_est, continent, name, iso_a3 "
                 "FROM naturalearth_lowres")


@pytest.fixture(scope="module")
def ne_tab(tmp_path_factory, naturalearth):
    """cities.tab (243 points) and countries.tab (177 polygons, pop_est as integer)."""
    d = tmp_path_factory.mktemp("ne_tab")
    ogr2ogr("-f", "MapInfo File", str(d / "cities.tab"),
            str(naturalearth / "naturalearth_cities.shp"))
    ogr2ogr("-f", "MapInfo File", str(d / "countries.tab"),
            str(naturalearth / "naturalearth_lowres.shp"), "-sql", COUNTRIES_SQL)
    return d


def test_tab2pg_and_back(ne_tab, tmp_path, pg, psql, schema, threads):
    threads(TAB, 2)
    TabFileDatabase(ne_tab).tab2pg(pg, schema=schema)
    assert psql(f"SELECT count(*), min(GeometryType(wkb_geometry)) FROM {schema}.cities") == \
        "243|MULTIPOINT"
    assert psql(f"SELECT count(*), count(DISTINCT GeometryType(wkb_geometry)) "
                f"FROM {schema}.countries") == "177|1"
    assert psql(f"SELECT pop_est FROM {schema}.countries WHERE iso_a3 = 'FRA'") == "67059887"
    assert psql(f"SELECT count(*) FROM {schema}.cities WHERE name = 'Vatican City'") == "1"

    out = tmp_path / "out"
    out.mkdir()
    TabFileDatabase(out).pg2tab(pg, schema=schema)
    assert sorted(os.listdir(out)) == sorted(
        n + e for n in ("cities", "countries") for e in TAB.companions)
    assert layers(out / "cities.tab") == {"cities": 243}
    assert layers(out / "countries.tab") == {"countries": 177}
    info = ogrinfo("-al", "-q", "-where", "iso_a3 = 'FRA'", str(out / "countries.tab"))
    assert "name (String) = France" in info


def test_tab2shp_natural_earth(ne_tab, tmp_path, threads):
    threads(TAB, 2)
    TabFileDatabase(ne_tab / "countries.tab").tab2shp(tmp_path)
    assert sorted(os.listdir(tmp_path))[:4] == ["countries.cpg", "countries.dbf", "countries.prj",
                                                "countries.shp"]
    assert layers(tmp_path / "countries.shp") == {"countries": 177}
    TabFileDatabase(ne_tab).tab2shp(tmp_path, tables=["cities"])
    assert layers(tmp_path / "cities.shp") == {"cities": 243}
    src = ogrinfo("-so", "-al", str(ne_tab / "cities.tab"))
    dst = ogrinfo("-so", "-al", str(tmp_path / "cities.shp"))
    extent = [line for line in src.splitlines() if line.startswith("Extent")]
    assert extent and extent == [line for line in dst.splitlines() if line.startswith("Extent")]


def test_tab2shp_names_output_by_the_first_layer(tmp_path):
    # A directory called a.tab is listed like a file and opens as a dataset
    # whose first layer is b.
    src = tmp_path / "src"
    (src / "a.tab").mkdir(parents=True)
    make_layer(src / "a.tab" / "b.tab", 3, "MapInfo File")
    out = tmp_path / "out"
    out.mkdir()
    (out / "b.stale").write_text("x")
    (out / "a.shp").write_text("x")
    TabFileDatabase(src).tab2shp(out)
    assert layers(out / "b.shp") == {"b": 3}
    assert not (out / "b.stale").exists()
    assert (out / "a.shp").read_text() == "x"
