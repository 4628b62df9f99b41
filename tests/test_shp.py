"""ShapefileDatabase on copies of the Natural Earth Shapefiles."""
from __future__ import annotations

import os
import shutil
import warnings
import zipfile

import pytest

from conftest import DATA, ogr2ogr, ogrinfo
from filedb_twins import SHP, layers, make_layer, schema, threads  # noqa: F401
from voriviv.geofileops.shp import ShapefileDatabase


@pytest.fixture
def ne_shp(tmp_path, naturalearth):
    """A private copy of the Natural Earth Shapefiles (never write into the shared data)."""
    d = tmp_path / "ne"
    d.mkdir()
    for f in naturalearth.iterdir():
        if f.stem in ("naturalearth_cities", "naturalearth_lowres"):
            shutil.copy(f, d)
    return d


def test_shp2pg_widens_the_countries_field_too_narrow_for_its_values(ne_shp, pg, psql, schema,
                                                                      threads):
    # pop_est is declared Real(24.15) but holds 10-digit values: the column is
    # widened for that layer, with a warning naming layer and field.
    threads(SHP, 2)
    obj = ShapefileDatabase(ne_shp)
    with pytest.warns(RuntimeWarning, match="Layer 'naturalearth_lowres', field 'pop_est'"):
        obj.shp2pg(pg, schema=schema)
    assert psql(f"SELECT count(*), min(GeometryType(wkb_geometry)), min(ST_SRID(wkb_geometry)) "
                f"FROM {schema}.naturalearth_cities") == "243|MULTIPOINT|4326"
    assert psql(f"SELECT count(*) FROM {schema}.naturalearth_cities "
                f"WHERE name = 'Vatican City'") == "1"
    assert psql(f"SELECT count(*), sum(pop_est)::bigint, max(pop_est)::bigint "
                f"FROM {schema}.naturalearth_lowres") == "177|7654092021|1397715000"


def test_shp2pg_keeps_m_values_of_shapes_after_a_first_without(tmp_path, pg, psql, schema):
    # ogr2ogr writes the sample's first five multipoints with M "no data"
    # (below -1e38) and the last two with M -100000.0002; GDAL's default
    # reading takes the layer's M from the first shape only.
    sample = DATA.parent / "realworld" / "gdb" / "multipointtest.gdb.zip"
    if not sample.exists():
        pytest.skip("real-world samples missing")
    with zipfile.ZipFile(sample) as z:
        z.extractall(tmp_path)
    shp = tmp_path / "shp"
    ogr2ogr(str(shp), str(tmp_path / "multipointtest.gdb"), "mpointz")
    assert "MULTIPOINT Z ((-73.9294531389999" in ogrinfo("-q", str(shp / "mpointz.shp"), "mpointz")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        ShapefileDatabase(shp).shp2pg(pg, schema=schema)
    m = psql(f"SELECT ST_M(ST_GeometryN(wkb_geometry, 1)) FROM {schema}.mpointz "
             "ORDER BY ogc_fid").splitlines()
    assert m[5:] == ["-100000.0002", "-100000.0002"]
    assert all(float(v) < -1e38 for v in m[:5])


def test_pg2shp_writes_next_to_a_bound_shapefile(ne_shp, tmp_path, pg, psql, schema):
    ShapefileDatabase(ne_shp).shp2pg(pg, schema=schema, tables=["naturalearth_cities"])
    psql(f"ALTER TABLE {schema}.naturalearth_cities RENAME TO cities")
    out = tmp_path / "out"
    out.mkdir()
    bound = out / "cities.shp"
    for ext in (".shp", ".shx", ".dbf", ".prj", ".cpg", ".shp.xml"):
        (out / ("cities" + ext)).write_text("stale")
    (out / "citiesx.shp").write_text("keep")

    # The stale companions are removed first, or GDAL would trip over them.
    ShapefileDatabase(bound).pg2shp(pg, schema=schema)
    assert not (out / "cities.shp.xml").exists()
    assert (out / "citiesx.shp").read_text() == "keep"
    (out / "cities.shp.xml").write_text("stale")
    ShapefileDatabase(bound).pg2shp(pg, schema=schema, overwrite=False)
    assert (out / "cities.shp.xml").read_text() == "stale"
    assert layers(bound) == {"cities": 243}
    info = ogrinfo("-al", "-q", "-where", "name = 'Vatican City'", str(bound))
    assert "MULTIPOINT" in info or "POINT" in info


def test_shp2tab_names_output_by_the_first_layer(ne_shp, tmp_path, threads):
    threads(SHP, 2)
    # A directory named a.shp is listed with the files and opens as a
    # dataset whose first layer is b.
    (ne_shp / "a.shp").mkdir()
    make_layer(ne_shp / "a.shp" / "b.shp", 4, "ESRI Shapefile")
    out = tmp_path / "tab"
    ShapefileDatabase(ne_shp).shp2tab(out, tables=["a", "naturalearth_cities"])
    assert sorted(os.listdir(out)) == sorted(
        n + e for n in ("b", "naturalearth_cities") for e in (".tab", ".dat", ".map", ".id"))
    assert layers(out / "b.tab") == {"b": 4}
    assert layers(out / "naturalearth_cities.tab") == {"naturalearth_cities": 243}
