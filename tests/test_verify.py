"""voriviv verify: faithful conversions verify, tampered targets are named.

Targets are tampered with by independent writers (psql, ogr2ogr), never by
voriviv; what verify names is what those writers changed.
"""
from __future__ import annotations

import json
import shutil
import warnings
import zipfile

import pytest

from conftest import DATA, ogr2ogr, ogrinfo
from filedb_twins import schema  # noqa: F401
from voriviv import cli
from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.geofileops.shp import ShapefileDatabase
from voriviv.conversions import run_conversion
from voriviv.verify import DIFFERS, EQUAL_UP_TO_FORMAT, IDENTICAL, verify

REAL = DATA.parent / "realworld"


def quietly(fn):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return fn()


def by_layer(report):
    return {c.layer: c for c in report.layers}


def differing(report):
    """The layers of a report that differ, with what they show (for messages)."""
    return {c.layer: (c.error, c.shown) for c in report.layers if c.status == DIFFERS}


# --- tampering --------------------------------------------------------------------

def test_changes_in_a_postgis_table_are_named(pg, psql, schema, naturalearth):
    quietly(lambda: ShapefileDatabase(naturalearth).shp2pg(pg, schema=schema))
    before = by_layer(verify(str(naturalearth), _conn(pg), schema=schema))
    assert before["naturalearth_cities"].status == EQUAL_UP_TO_FORMAT
    # Points are loaded as multipoints: the only difference, once per feature.
    assert before["naturalearth_cities"].format == [
        ("single-part geometries held as multi-part ones", 243)]
    assert before["naturalearth_lowres"].status != DIFFERS

    psql(f"UPDATE {schema}.naturalearth_lowres SET name = 'Atlantis' WHERE ogc_fid = 5;"
         f"DELETE FROM {schema}.naturalearth_cities WHERE ogc_fid = 10;"
         f"UPDATE {schema}.naturalearth_cities SET wkb_geometry = ST_Multi(ST_Translate("
         f"ST_GeometryN(wkb_geometry, 1), 0.001, 0)) WHERE ogc_fid = 20")
    after = by_layer(verify(str(naturalearth), _conn(pg), schema=schema))
    lowres, cities = after["naturalearth_lowres"], after["naturalearth_cities"]
    assert lowres.status == DIFFERS and lowres.differences == 1
    # Shapefile FIDs start at 0, the loaded rows at 1.
    assert lowres.shown == [{"feature": "source FID 4", "field": "name", "what": "value",
                             "source": "United States of America", "target": "Atlantis"}]
    assert (cities.status, cities.source_features, cities.target_features) == (DIFFERS, 243, 242)
    assert cities.differences == 2
    missing, moved = cities.shown
    assert (missing["feature"], missing["what"]) == ("source FID 9",
                                                     "the feature is missing in the target")
    assert (moved["feature"], moved["field"]) == ("source FID 19", "geometry")
    assert moved["what"].startswith("point 1 (14.514969")

    # The command line says the same, exit status 1.
    assert cli.main(["verify", str(naturalearth), _conn(pg), "--schema", schema,
                     "--quiet"]) == 1


def test_a_feature_dropped_from_a_tab_file_is_named(tmp_path, naturalearth, capsys):
    out = tmp_path / "tab"
    quietly(lambda: ShapefileDatabase(naturalearth / "naturalearth_cities.shp").shp2tab(out))
    assert cli.main(["verify", str(naturalearth / "naturalearth_cities.shp"), str(out),
                     "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["layers"][0]["status"] == IDENTICAL

    # ogr2ogr writes the layer again without Vaduz, its third feature.
    tab = out / "naturalearth_cities.tab"
    shutil.move(tab, tmp_path / "orig.tab")
    for ext in ("dat", "map", "id"):
        shutil.move(out / f"naturalearth_cities.{ext}", tmp_path / f"orig.{ext}")
    ogr2ogr("-f", "MapInfo File", str(tab), str(tmp_path / "orig.tab"), "-nln",
            "naturalearth_cities", "-where", "name <> 'Vaduz'")
    check = verify(str(naturalearth / "naturalearth_cities.shp"), str(out)).layers[0]
    assert (check.status, check.source_features, check.target_features) == (DIFFERS, 243, 242)
    # TAB files are matched by order; the features after Vaduz are found
    # again one place earlier, so Vaduz is the only difference.
    assert check.differences == 1
    assert check.shown == [{"feature": "feature 3 (source FID 2)", "field": "",
                            "what": "the feature is missing in the target",
                            "source": "", "target": ""}]


def test_a_field_dropped_from_a_shapefile_is_named(tmp_path, ne_gdb):
    out = tmp_path / "shp"
    quietly(lambda: GeoFileDatabase(ne_gdb).gdb2shape(out, tables=["countries"]))
    assert verify(str(ne_gdb), str(out), tables=["countries"]).layers[0].status != DIFFERS
    ogr2ogr(str(tmp_path / "cut.shp"), str(out / "countries.shp"), "-select",
            "pop_est,continent,name,gdp_md_est")
    for f in out.glob("countries.*"):
        f.unlink()
    for f in tmp_path.glob("cut.*"):
        f.rename(out / ("countries" + f.suffix))
    assert "iso_a3" not in ogrinfo("-so", str(out / "countries.shp"), "countries")
    check = verify(str(ne_gdb), str(out), tables=["countries"]).layers[0]
    assert check.status == DIFFERS
    assert check.shown == [{"feature": "", "field": "iso_a3",
                            "what": "the field is missing in the target",
                            "source": "", "target": ""}]


def test_a_missing_target_layer_and_usage_errors(tmp_path, naturalearth, pg):
    report = verify(str(naturalearth), str(tmp_path))
    assert {c.status for c in report.layers} == {DIFFERS}
    assert report.layers[0].error == "the layer is missing in the target"
    assert report.exit_code == 1
    assert cli.main(["verify", str(naturalearth), str(tmp_path / "nowhere")]) == 2
    assert cli.main(["verify", _conn(pg), _conn(pg)]) == 2


# --- faithful conversions of real-world samples ------------------------------------

def _conn(pg):
    return "PG:host={host} port={port} dbname={dbname} user={user} password={password}".format(
        **pg)


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    """The real-world samples: geodatabases, Shapefiles and MapInfo files as TAB."""
    root = tmp_path_factory.mktemp("samples")
    for z in sorted((REAL / "gdb").glob("*.gdb.zip")):
        with zipfile.ZipFile(z) as f:
            f.extractall(root / "gdb")
    shp = root / "shp"
    shp.mkdir()
    for d in sorted((REAL / "shp").iterdir()):
        if d.is_dir():
            for f in d.iterdir():
                if f.suffix.lower() in (".shp", ".shx", ".dbf", ".cpg", ".prj"):
                    shutil.copy(f, shp / f.name)
    tab = root / "tab"
    tab.mkdir()
    for mif in sorted((REAL / "mif").glob("*.mif")):
        ogr2ogr("-f", "MapInfo File", str(tab / f"{mif.stem}.tab"), str(mif))
    return root


pytestmark = pytest.mark.skipif(not REAL.is_dir(), reason="real-world samples missing")


# Each family of samples: how to name it, its location, and the conversions
# from it into a file target and into PostgreSQL.
FAMILIES = {
    "innerRing.gdb": ("gdb/innerRing.gdb", "gdb2shape", "gdb2pg"),
    "multipointtest.gdb": ("gdb/multipointtest.gdb", "gdb2shape", "gdb2pg"),
    "testopenfilegdb.gdb": ("gdb/testopenfilegdb.gdb", "gdb2shape", "gdb2pg"),
    "shapefiles": ("shp", "shp2tab", "shp2pg"),
    "tab files": ("tab", "tab2shp", "tab2pg"),
}


@pytest.mark.parametrize("family", list(FAMILIES))
def test_every_conversion_of_the_real_world_samples_verifies(family, samples, pg, schema,
                                                             tmp_path):
    where, to_file, to_pg = FAMILIES[family]
    source, conn = str(samples / where), _conn(pg)
    runs = [(to_file, source, str(tmp_path / "files")), (to_pg, source, conn),
            ("pg2gdb", conn, str(tmp_path / "back.gdb")), ("pg2shp", conn, str(tmp_path / "shp")),
            ("pg2tab", conn, str(tmp_path / "tab"))]
    failures, refused = {}, {}
    for command, src, dst in runs:
        report = quietly(lambda: run_conversion(command, src, dst, schema=schema,
                                                overwrite=True if dst == conn else None))
        arrived = [r.layer for r in report.records() if r.status == "finished"]
        refused.update({f"{command} {r.layer}": r.error for r in report.records()
                        if r.status == "failed"})
        checked = verify(src, dst, schema=schema, tables=arrived,
                         target_kind=_TARGET_KIND.get(command))
        assert len(checked.layers) == len(arrived), command
        if differing(checked):
            failures[command] = differing(checked)
        if command == "gdb2pg" and family == "testopenfilegdb.gdb":
            # A multipatch (a collection of meshes and polygons) arrives as it was.
            assert by_layer(checked)["multipatch"].status == IDENTICAL
    assert failures == {}
    # Layers a conversion refuses, saying why, are not verified.
    assert {k: v.split(";")[0] for k, v in refused.items()} == REFUSED.get(family, {})


# What the conversions refuse of the samples, with GDAL's reason. The
# Shapefiles' M values of "no data" (below -1e38) are loaded into PostgreSQL as
# numbers, which a File Geodatabase cannot store; a layer of several geometry
# types fits no Shapefile and no geodatabase layer.
REFUSED = {
    "shapefiles": {
        "pg2gdb multipointm": "Layer 'multipointm': Bad M value",
        "pg2gdb pointz_cp1252": "Layer 'pointz_cp1252': Bad M value",
        "pg2gdb polylinezm": "Layer 'polylinezm': Cannot encode M value",
    },
    "tab files": {
        "tab2shp all_geoms":
            "Layer 'all_geoms': Attempt to write non-point (LINESTRING) geometry to point "
            "shapefile.",
        "pg2gdb all_geoms": "Layer 'all_geoms': Unsupported geometry type",
        "pg2shp all_geoms":
            "Layer 'all_geoms': Attempt to write non-multipoint (MULTILINESTRING) geometry to "
            "multipoint shapefile.",
    },
}

# A directory written by a conversion holds one kind of file.
_TARGET_KIND = {"pg2shp": "shp", "pg2tab": "tab", "gdb2shape": "shp", "tab2shp": "shp",
                "shp2tab": "tab"}


def test_verify_leaves_the_modules_thread_setting(tmp_path, naturalearth):
    from voriviv.geofileops import gdb as gdb_module
    saved = gdb_module.GEOFILEOPS_THREADS
    gdb_module.set_geofileops_threads(1)
    try:
        report = verify(str(naturalearth), str(tmp_path), threads=2)
        assert report.threads == 2
        assert gdb_module.GEOFILEOPS_THREADS == 1
    finally:
        gdb_module.set_geofileops_threads(saved)
