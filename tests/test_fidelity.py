"""Every value arrives: conversions of files that other tools wrote.

The inputs are the public samples in shared/data/realworld (File Geodatabases
written by Esri software, Shapefiles written by pyshp and others, MapInfo files)
and the Natural Earth countries. Sources and results are read cell by cell with
GDAL's own Python bindings in a separate interpreter (fidelity.py), never with
voriviv: what a target format cannot hold must be announced by a warning that
names layer and field; everything else must arrive unchanged.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import time
import warnings
import zipfile
from pathlib import Path

import pytest

import fidelity
from conftest import DATA, ogr2ogr, ogrinfo, pgserver
from filedb_twins import schema  # noqa: F401
import voriviv.geofileops.gdb as gdb_module
import voriviv.geofileops.shp as shp_module
import voriviv.geofileops.tab as tab_module
from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.geofileops.shp import ShapefileDatabase
from voriviv.geofileops.tab import TabFileDatabase

REAL = DATA.parent / "realworld"

pytestmark = pytest.mark.skipif(
    not (REAL.is_dir() and fidelity.need_tools()),
    reason="real-world samples or GDAL's Python bindings (python3-gdal) missing")


def caught(fn):
    """Runs fn, returning the texts of the RuntimeWarnings it issued."""
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        fn()
    return [str(x.message) for x in w if issubclass(x.category, RuntimeWarning)]


@pytest.fixture(scope="module")
def gdbs(tmp_path_factory):
    out = tmp_path_factory.mktemp("gdb")
    for z in (REAL / "gdb").glob("*.gdb.zip"):
        with zipfile.ZipFile(z) as f:
            f.extractall(out)
    return out


@pytest.fixture(scope="module")
def loaded(gdbs, pg):
    """testopenfilegdb.gdb loaded into its own schema by gdb2pg."""
    name = "fid_gdb"
    pgserver.psql(pg, f"DROP SCHEMA IF EXISTS {name} CASCADE; CREATE SCHEMA {name}")
    GeoFileDatabase(gdbs / "testopenfilegdb.gdb").gdb2pg(pg, schema=name)
    yield name
    pgserver.psql(pg, f"DROP SCHEMA IF EXISTS {name} CASCADE")


def pg_source(pg, schema_name):
    return pgserver.gdal_connection_text(pg) + f" schemas={schema_name}"


def assert_same(src, dst, **kw):
    """Every layer of src arrives in dst (names compared case-insensitively)."""
    a, b = fidelity.dump(src), fidelity.dump(dst, open_options=["LIST_ALL_TABLES=YES"])
    lower = {k.lower(): k for k in b}
    missing = [n for n in a if n.lower() not in lower]
    assert not missing, f"layers missing in {dst}: {missing}"
    diffs = {n: fidelity.differences(a[n], b[lower[n.lower()]], **kw) for n in a}
    assert {n: d for n, d in diffs.items() if d} == {}


# --- attribute-only tables -----------------------------------------------------

ATTRIBUTE_ONLY = {"none", "big_layer", "no_field"}


def test_every_export_lists_attribute_only_tables(loaded, pg, gdbs, tmp_path):
    gdb = GeoFileDatabase(tmp_path / "back.gdb", mode="create")
    assert ATTRIBUTE_ONLY <= set(gdb.get_layers_from_db(pg, schema=loaded))

    gdb.pg2gdb(pg, schema=loaded)
    # Everything gdb2pg wrote comes back: the round trip loses no table and
    # no value (geodatabase -> PostgreSQL -> geodatabase).
    assert_same(pg_source(pg, loaded), tmp_path / "back.gdb")

    feat = GeoFileDatabase(tmp_path / "feat.gdb", mode="create")
    feat.pg2gdbf(pg, {"plain": ["none", "big_layer"]}, schema=loaded)
    assert set(fidelity.dump(tmp_path / "feat.gdb")) == {"none", "big_layer"}

    (tmp_path / "shp").mkdir()
    caught(lambda: ShapefileDatabase(tmp_path / "shp").pg2shp(
        pg, schema=loaded, tables=sorted(ATTRIBUTE_ONLY)))
    (tmp_path / "tab").mkdir()
    caught(lambda: TabFileDatabase(tmp_path / "tab").pg2tab(
        pg, schema=loaded, tables=sorted(ATTRIBUTE_ONLY)))
    for out, ext in ((tmp_path / "shp", ".dbf"), (tmp_path / "tab", ".tab")):
        for name in ATTRIBUTE_ONLY:
            layer = fidelity.dump(out / (name + ext))
            src = fidelity.dump(pg_source(pg, loaded), name)[name]
            assert len(next(iter(layer.values()))["features"]) == len(src["features"]), name


# --- characters ------------------------------------------------------------------

def test_shapefile_outputs_keep_every_character(pg, schema, tmp_path):
    gre = REAL / "shp" / "gre"
    ShapefileDatabase(gre).shp2pg(pg, schema=schema)
    out = tmp_path / "out"
    out.mkdir()
    ShapefileDatabase(out).pg2shp(pg, schema=schema)
    assert (out / "gre.cpg").read_text() == "UTF-8"
    assert_same(gre / "gre.shp", out / "gre.shp")
    names = fidelity.dump(out / "gre.shp")["gre"]["features"][0]["attrs"]
    assert "Гренада" in names and any("கிரெனடா" in str(v) for v in names)

    # Text from a Windows-1251 MapInfo file, through TAB to Shapefile.
    tab = tmp_path / "win1251.tab"
    ogr2ogr("-f", "MapInfo File", "-lco", "ENCODING=CP1251", str(tab),
            str(REAL / "mif" / "win1251_text.mif"))
    caught(lambda: TabFileDatabase(tab).tab2shp(tmp_path / "shp"))
    assert_same(tab, tmp_path / "shp" / "win1251.shp")


def test_text_filling_its_field_to_the_last_byte_arrives(pg, schema, tmp_path):
    odd = REAL / "shp" / "pyshp_odd"
    caught(lambda: ShapefileDatabase(odd).shp2pg(pg, schema=schema))
    for f in odd.glob("*.shp"):
        assert_same(f, pg_source(pg, schema) + f" tables={f.stem.lower()}")
    caught(lambda: ShapefileDatabase(tmp_path, mode="create").pg2shp(pg, schema=schema))
    assert_same(odd / "polygon_utf8.shp", tmp_path / "polygon_utf8.shp")


def test_gdal_messages_with_invalid_utf8_arrive_as_gdal_wrote_them(pg, schema, tmp_path):
    csv = tmp_path / "names.csv"
    csv.write_text('WKT,id,name\n"POINT (1 2)",1,Гренада\n', encoding="utf-8")
    ogr2ogr("-f", "ESRI Shapefile", "-lco", "ENCODING=CP1251", str(tmp_path / "bad.shp"), str(csv))
    (tmp_path / "bad.cpg").write_text("UTF-8")  # a lie: the bytes are CP1251
    # GDAL refuses the text and quotes its bytes; the message arrives with
    # those bytes escaped, not as a UnicodeDecodeError.
    with pytest.raises(RuntimeError, match=r"^Layer 'bad': Non UTF-8 content.*\\xc3\\xf0"):
        caught(lambda: ShapefileDatabase(tmp_path / "bad.shp").shp2pg(pg, schema=schema))


# --- coordinates -------------------------------------------------------------------

def test_tab_outputs_without_coordinate_system_keep_their_coordinates(tmp_path, pg, schema):
    odd = REAL / "shp" / "pyshp_odd"
    caught(lambda: ShapefileDatabase(odd / "polygon_utf8.shp").shp2tab(tmp_path))
    src = fidelity.dump(odd / "polygon_utf8.shp")["polygon_utf8"]
    dst = fidelity.dump(tmp_path / "polygon_utf8.tab")["polygon_utf8"]
    assert src["srs"] is None
    for a, b in zip(src["features"], dst["features"]):
        assert fidelity.same_geometry(a["geom"], b["geom"], rel=1e-6, dims=False) == ""

    # A NonEarth MapInfo file of every object type, through PostGIS back to TAB.
    tab = tmp_path / "all" / "all_geoms.tab"
    tab.parent.mkdir()
    ogr2ogr("-f", "MapInfo File", str(tab), str(REAL / "mif" / "all_geoms.mif"))
    caught(lambda: TabFileDatabase(tab).tab2pg(pg, schema=schema))
    back = tmp_path / "back"
    back.mkdir()
    caught(lambda: TabFileDatabase(back).pg2tab(pg, schema=schema))
    a = fidelity.dump(tab)["all_geoms"]["features"]
    b = fidelity.dump(back / "all_geoms.tab")["all_geoms"]["features"]
    assert len(a) == len(b)
    for x, y in zip(a, b):
        assert fidelity.same_geometry(x["geom"], y["geom"], rel=1e-6, dims=False) == ""


@pytest.fixture(scope="module")
def austria(tmp_path_factory, naturalearth):
    """Natural Earth clipped to Austria in MGI / Austria Lambert (EPSG:31287), metres.

    layers/: countries (9 multipolygons), their borders (multilines), cities
    (3 points); one/vienna.shp: a single point, the degenerate extent.
    """
    d = tmp_path_factory.mktemp("austria")
    (d / "layers").mkdir()
    (d / "one").mkdir()
    clip = ("-clipsrc", "9.5", "46.3", "17.2", "49.1", "-t_srs", "EPSG:31287")
    shp = ("-f", "ESRI Shapefile")
    ogr2ogr(*shp, str(d / "layers" / "countries.shp"),
            str(naturalearth / "naturalearth_lowres.shp"), *clip, "-select", "name,iso_a3",
            "-nlt", "MULTIPOLYGON")
    ogr2ogr(*shp, str(d / "layers" / "borders.shp"), str(d / "layers" / "countries.shp"),
            "-nlt", "MULTILINESTRING")
    ogr2ogr(*shp, str(d / "layers" / "cities.shp"), str(naturalearth / "naturalearth_cities.shp"),
            *clip)
    ogr2ogr(*shp, str(d / "one" / "vienna.shp"), str(d / "layers" / "cities.shp"),
            "-where", "name = 'Vienna'")
    return d


def layer_totals(layer):
    """Total area, total length and envelope (min x, max x, min y, max y) of a dumped layer."""
    geoms = [f["geom"] for f in layer["features"] if f["geom"] and not f["geom"]["empty"]]
    envs = [g["envelope"] for g in geoms]
    return [sum(g["area"] for g in geoms), sum(g["length"] for g in geoms),
            min(e[0] for e in envs), max(e[1] for e in envs),
            min(e[2] for e in envs), max(e[3] for e in envs)]


def largest_shift(a, b):
    """The largest difference of a feature's envelope coordinates between two dumped layers."""
    return max(abs(u - v) for x, y in zip(a["features"], b["features"])
               for u, v in zip(x["geom"]["envelope"][:4], y["geom"]["envelope"][:4]))


def coordinates_kept(src, dst, rel=1e-7, per_feature=True):
    """Asserts dst's layer totals (and, per_feature, each geometry's area, length
    and envelope) within rel of src's; returns both dumped layers."""
    (a,), (b,) = fidelity.dump(src).values(), fidelity.dump(dst).values()
    assert len(a["features"]) == len(b["features"]) > 0
    if per_feature:
        assert fidelity.differences(a, b, dims=False, geom_rel=rel) == []
    for x, y in zip(layer_totals(a), layer_totals(b)):
        assert x == pytest.approx(y, rel=rel)
    return a, b


def test_tab_outputs_in_a_projected_system_keep_their_coordinates(austria, tmp_path):
    # GDAL's default bounds for this projection resolve it to centimetres
    # (points move by up to 1.5 cm), the smaller countries' areas by 3e-7.
    caught(lambda: ShapefileDatabase(austria / "layers").shp2tab(tmp_path))
    for name in ("countries", "borders"):
        coordinates_kept(austria / "layers" / f"{name}.shp", tmp_path / f"{name}.tab")
    a, b = coordinates_kept(austria / "layers" / "cities.shp", tmp_path / "cities.tab")
    assert largest_shift(a, b) < 1e-3
    # One point: its bounds still span something, and hold it to the micrometre.
    caught(lambda: ShapefileDatabase(austria / "one" / "vienna.shp").shp2tab(tmp_path / "one"))
    a, b = coordinates_kept(austria / "one" / "vienna.shp", tmp_path / "one" / "vienna.tab")
    assert largest_shift(a, b) < 1e-6


def test_tab_outputs_in_longitude_latitude_keep_their_coordinates(naturalearth, tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    countries = str(naturalearth / "naturalearth_lowres.shp")
    ogr2ogr("-f", "ESRI Shapefile", str(src / "africa.shp"), countries,
            "-where", "continent = 'Africa'", "-select", "name,iso_a3")
    ogr2ogr("-f", "ESRI Shapefile", str(src / "world.shp"), countries, "-select", "name,iso_a3")
    caught(lambda: ShapefileDatabase(src).shp2tab(tmp_path))
    coordinates_kept(src / "africa.shp", tmp_path / "africa.tab")
    # GDAL's default bounds (-1000..1000 degrees) resolve 1e-6 degrees; bounds
    # round the world resolve 1.8e-7 (read back rounded to 1e-7), too coarse
    # for the smallest countries' areas at 1e-7 but finer than the default.
    a, b = coordinates_kept(src / "world.shp", tmp_path / "world.tab", per_feature=False)
    assert largest_shift(a, b) < 2e-7


def test_pg2tab_in_a_projected_system_keeps_coordinates(austria, pg, schema, tmp_path):
    # Loaded by ogr2ogr, so that only the export is voriviv's.
    for name, kind in (("countries", "MULTIPOLYGON"), ("borders", "MULTILINESTRING")):
        ogr2ogr("-f", "PostgreSQL", pgserver.gdal_connection_text(pg),
                str(austria / "layers" / f"{name}.shp"), "-nln", f"{schema}.{name}",
                "-nlt", kind)
    caught(lambda: TabFileDatabase(tmp_path).pg2tab(pg, schema=schema))
    for name in ("countries", "borders"):
        coordinates_kept(austria / "layers" / f"{name}.shp", tmp_path / f"{name}.tab")


# --- declared widths -------------------------------------------------------------

def test_countries_arrive_whole_in_postgis_and_tab(pg, schema, tmp_path, naturalearth):
    countries = naturalearth / "naturalearth_lowres.shp"
    for fn in (lambda: ShapefileDatabase(countries).shp2pg(pg, schema=schema),
               lambda: ShapefileDatabase(countries).shp2tab(tmp_path)):
        got = caught(fn)
        assert [m for m in got if "field 'pop_est'" in m and "declared width 24.15" in m]
    src = fidelity.dump(countries)["naturalearth_lowres"]
    for dst in (pg_source(pg, schema), tmp_path / "naturalearth_lowres.tab"):
        d = fidelity.dump(dst, "naturalearth_lowres")["naturalearth_lowres"]
        col = [f[0].lower() for f in d["fields"]].index("pop_est")
        assert [f["attrs"][col] for f in d["features"]] == \
            [f["attrs"][col] for f in src["features"]]
    assert_same(countries, pg_source(pg, schema))


# --- what a format cannot hold ----------------------------------------------------

def test_shapefile_losses_are_announced_per_layer_and_field(gdbs, tmp_path):
    out = tmp_path / "shp"
    got = caught(lambda: GeoFileDatabase(gdbs / "testopenfilegdb.gdb").gdb2shape(out))
    # Every layer arrived, the binary and multipatch ones included.
    src = fidelity.dump(gdbs / "testopenfilegdb.gdb")
    assert {p.stem for p in out.glob("*.dbf")} == set(src)
    assert "Layer 'point', field 'adate': Shapefiles hold no time of day; 5 value(s) keep " \
           "only their date" in got
    assert "Layer 'point', field 'binary': Shapefiles hold no binary values; 5 value(s) " \
           "written as hexadecimal text" in got
    assert "Layer 'hole', field 'str2': Shapefiles cannot tell blank text from NULL; 8 blank " \
           "value(s) read back as NULL" in got
    assert all(m.startswith("Layer '") for m in got)
    # What was not announced arrived.
    d = fidelity.differences(src["point"], fidelity.dump(out / "point.shp")["point"],
                             skip_fields=("adate", "binary", "binary2"))
    assert d == []


def test_tab_losses_are_announced(tmp_path):
    odd = REAL / "shp" / "pyshp_odd"
    got = caught(lambda: ShapefileDatabase(odd).shp2tab(tmp_path))
    assert any(m.startswith("Layer 'polylinezm': MapInfo TAB files hold no Z or M values")
               for m in got)
    assert any(m.startswith("Layer 'multipointm': GDAL's MapInfo writer stores each point")
               for m in got)
    assert "Layer 'polygon_utf8', field 'order': MapInfo TAB files hold no NULL; 1 NULL " \
           "value(s) read back as empty text or zero" in got
    # The wide integers and the values of the too-narrow fields arrive.
    src = fidelity.dump(odd / "pointz_cp1252.shp")["pointz_cp1252"]
    dst = fidelity.dump(tmp_path / "pointz_cp1252.tab")["pointz_cp1252"]
    for a, b in zip(src["features"], dst["features"]):
        assert [v for v in a["attrs"] if v is not None] == \
            [v for v, s in zip(b["attrs"], a["attrs"]) if s is not None]


def test_tin_arrives_as_polygons_with_a_warning(pg, schema, psql, tmp_path):
    tin = REAL / "shp" / "test_tin"
    got = caught(lambda: ShapefileDatabase(tin).shp2pg(pg, schema=schema))
    assert any(m.startswith("Layer 'test_tin': TIN and polyhedral surface") for m in got)
    assert psql(f"SELECT ST_AsText(wkb_geometry) FROM {schema}.test_tin") == \
        "MULTIPOLYGON Z (((0 0 0,0 0 1,0 1 0,0 0 0)),((0 0 0,0 1 0,1 1 0,0 0 0)))"
    caught(lambda: ShapefileDatabase(tin).shp2tab(tmp_path))
    feats = fidelity.dump(tmp_path / "test_tin.tab")["test_tin"]["features"]
    assert [f["geom"]["type"] for f in feats] in (["Multi Polygon"], ["Polygon"])


# --- failures name their layer ---------------------------------------------------

def test_gdal_failures_name_their_layer(pg, schema, psql, tmp_path):
    psql(f"CREATE TABLE {schema}.arr (id int PRIMARY KEY, vals int[]); "
         f"INSERT INTO {schema}.arr VALUES (1, '{{1,2}}')")
    with pytest.raises(RuntimeError, match=r"^Layer 'arr': "):
        caught(lambda: TabFileDatabase(tmp_path).pg2tab(pg, schema=schema))


def test_long_text_and_nulls_are_cut_or_kept_as_announced(pg, schema, psql, tmp_path):
    psql(f"CREATE TABLE {schema}.txt (id int PRIMARY KEY, t text, d date, n int); "
         f"INSERT INTO {schema}.txt VALUES (1, repeat('Ж', 100), NULL, NULL), "
         f"(2, repeat('x', 253) || 'Ж', '2020-02-29', 7), (3, '', NULL, 1)")
    (tmp_path / "shp").mkdir()
    shp = caught(lambda: ShapefileDatabase(tmp_path / "shp").pg2shp(pg, schema=schema))
    (tmp_path / "tab").mkdir()
    tab = caught(lambda: TabFileDatabase(tmp_path / "tab").pg2tab(pg, schema=schema))
    assert "Layer 'txt', field 't': 1 value(s) longer than 254 bytes cut to 254 bytes (at a " \
           "character boundary)" in shp
    assert "Layer 'txt', field 't': Shapefiles cannot tell blank text from NULL; 1 blank " \
           "value(s) read back as NULL" in shp
    assert any(m.startswith("Layer 'txt', field 't': 1 value(s) longer than 254 bytes") for m in tab)
    assert "Layer 'txt', field 'n': MapInfo TAB files hold no NULL; 1 NULL value(s) read back " \
           "as empty text or zero" in tab
    assert not [m for m in tab if "field 'd'" in m]  # NULL dates survive in TAB

    s = fidelity.dump(tmp_path / "shp" / "txt.dbf")["txt"]["features"]
    # id is the tables' FID column, so the fields are t, d, n.
    assert [f["attrs"][0] for f in s] == ["Ж" * 100, "x" * 253, None]
    t = fidelity.dump(tmp_path / "tab" / "txt.tab")["txt"]["features"]
    assert t[0]["attrs"][0] == "Ж" * 100
    assert [f["attrs"][1] for f in t] == [None, "2020/02/29", None]
    assert [f["attrs"][2] for f in t] == [0, 7, 1]


def test_numbers_no_target_field_can_hold_are_announced(pg, schema, psql, tmp_path):
    psql(f"CREATE TABLE {schema}.num (id int PRIMARY KEY, big bigint, huge double precision, "
         f"small double precision, vast double precision); INSERT INTO {schema}.num VALUES "
         f"(1, 9007199254740993, 1e30, 0.5, 1), (2, -9223372036854775808, 1, -2.25, 1e300), "
         f"(3, 7, 2, 3, -4.5)")
    (tmp_path / "shp").mkdir()
    shp = caught(lambda: ShapefileDatabase(tmp_path / "shp").pg2shp(pg, schema=schema))
    # 1e30 needs a field 47 characters wide, which it gets; 1e300 needs more
    # than any dBASE field holds (GDAL's writer cuts it without a word).
    assert "Layer 'num', field 'vast': 1 value(s) need more than 255 characters, more than " \
           "a Shapefile number field holds; their digits beyond that are cut" in shp
    assert not [m for m in shp if "field 'small'" in m or "field 'big'" in m or "huge" in m]
    (tmp_path / "tab").mkdir()
    tab = caught(lambda: TabFileDatabase(tmp_path / "tab").pg2tab(pg, schema=schema))
    assert "Layer 'num', field 'big': MapInfo TAB files hold no 64-bit integers; 2 value(s) " \
           "beyond 2^53 are written as the nearest double" in tab
    d = fidelity.dump(tmp_path / "shp" / "num.dbf")["num"]
    rows = d["features"]
    assert [f["attrs"][1] for f in rows] == [1e30, 1, 2]
    assert [f["attrs"][2] for f in rows] == [0.5, -2.25, 3]
    assert [f["attrs"][3] for f in rows][::2] == [1, -4.5]


def test_shapefile_number_fields_are_as_wide_as_their_values(tmp_path, naturalearth, ne_gdb,
                                                             pg, schema):
    """Real(24.15) cannot hold 10-digit values with 15 decimals: the field is
    widened to what the values need, and no value is reported as cut."""
    countries = naturalearth / "naturalearth_lowres.shp"
    ShapefileDatabase(countries).shp2tab(tmp_path / "tab")
    ShapefileDatabase(countries).shp2pg(pg, schema=schema)
    runs = {
        "gdb2shape": lambda out: GeoFileDatabase(ne_gdb).gdb2shape(out, tables=["countries"]),
        "tab2shp": lambda out: TabFileDatabase(tmp_path / "tab").tab2shp(out),
        "pg2shp": lambda out: ShapefileDatabase(out).pg2shp(pg, schema=schema),
    }
    src = fidelity.dump(countries)["naturalearth_lowres"]
    pop = [f[0] for f in src["fields"]].index("pop_est")
    want = [f["attrs"][pop] for f in src["features"]]
    for name, run in runs.items():
        out = tmp_path / name
        out.mkdir()
        got = caught(lambda: run(out))
        assert not [m for m in got if "pop_est" in m], (name, got)
        (dbf,) = out.glob("*.dbf")
        info = ogrinfo("-so", "-al", str(dbf))
        assert "pop_est: Real (26.15)" in info, (name, info)
        d = next(iter(fidelity.dump(dbf).values()))
        col = [f[0] for f in d["fields"]].index("pop_est")
        assert [f["attrs"][col] for f in d["features"]] == want, name


# --- one read per layer ------------------------------------------------------------

def file_target_runs(gdbs, pg, loaded, tmp_path):
    """Every conversion into Shapefiles or TAB files on the real-world samples:
    (name, run into an output directory, output files' pattern)."""
    odd = REAL / "shp" / "pyshp_odd"
    tab_src = tmp_path / "tab_src"
    tab_src.mkdir()
    for mif in ("all_geoms", "single_field", "win1251_text"):
        ogr2ogr("-f", "MapInfo File", str(tab_src / f"{mif}.tab"), str(REAL / "mif" / f"{mif}.mif"))
    runs = [(f"gdb2shape {g.name}", lambda out, g=g: GeoFileDatabase(g).gdb2shape(out), "*.dbf")
            for g in sorted(gdbs.glob("*.gdb"))]
    runs += [(f"shp2tab {d.name}", lambda out, d=d: ShapefileDatabase(d).shp2tab(out), "*.tab")
             for d in sorted((REAL / "shp").iterdir()) if d.is_dir() and d != odd]
    runs += [
        ("shp2tab", lambda out: ShapefileDatabase(odd).shp2tab(out), "*.tab"),
        ("tab2shp", lambda out: TabFileDatabase(tab_src).tab2shp(out), "*.dbf"),
        ("pg2shp", lambda out: ShapefileDatabase(out).pg2shp(pg, schema=loaded), "*.dbf"),
        ("pg2tab", lambda out: TabFileDatabase(out).pg2tab(pg, schema=loaded), "*.tab"),
    ]
    return runs


def test_one_read_per_layer_writes_what_the_plan_read_first_writes(gdbs, pg, loaded, tmp_path,
                                                                    monkeypatch):
    """The layer read once (its plan made from what the translation saw) gives
    the same files and the same warnings, texts and counts, as the plan that
    reads the layer before translating it. One layer at a time, so that the
    warnings of several layers come in one order."""
    for module in (gdb_module, shp_module, tab_module):
        module.set_geofileops_threads(1)
    for name, run, pattern in file_target_runs(gdbs, pg, loaded, tmp_path):
        results = {}
        for mode in ("0", "1"):
            monkeypatch.setenv("VORIVIV_BENCH_ONE_PASS", mode)
            out = tmp_path / f"{name.replace(' ', '_')}_{mode}"
            out.mkdir()
            failure = None
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter("always")
                try:
                    run(out)
                except Exception as e:  # noqa: BLE001 - a layer that fails must fail alike
                    failure = f"{type(e).__name__}: {e}"
            warned = [str(x.message) for x in w if issubclass(x.category, RuntimeWarning)]
            dumps = {p.name: fidelity.dump(p) for p in sorted(out.glob(pattern))}
            results[mode] = (warned, failure, dumps)
        assert results["1"][0] == results["0"][0], name
        assert results["1"][1] == results["0"][1], name
        assert results["1"][2] == results["0"][2], name
        assert results["1"][2], name


def test_a_value_that_outgrows_its_field_mid_layer_is_written_again_whole(tmp_path):
    """The declared width fits the first 1,000 values, not the last: the layer
    read once is written a second time with the plan of all its values."""
    src = tmp_path / "src.shp"
    script = (
        "from osgeo import ogr\n"
        "ds = ogr.GetDriverByName('ESRI Shapefile').CreateDataSource(%r)\n"
        "lyr = ds.CreateLayer('src', None, ogr.wkbPoint)\n"
        "f = ogr.FieldDefn('amount', ogr.OFTReal); f.SetWidth(12); f.SetPrecision(2)\n"
        "lyr.CreateField(f)\n"
        "t = ogr.FieldDefn('label', ogr.OFTString); t.SetWidth(5); lyr.CreateField(t)\n"
        "for i in range(1001):\n"
        "    ft = ogr.Feature(lyr.GetLayerDefn())\n"
        "    ft.SetField('amount', 1234567890123.25 if i == 1000 else i + 0.25)\n"
        "    ft.SetField('label', 'x' * 200 if i == 1000 else 'p%%d' %% (i %% 100))\n"
        "    ft.SetGeometry(ogr.CreateGeometryFromWkt('POINT (%%d 1)' %% i))\n"
        "    lyr.CreateFeature(ft)\n" % str(src))
    subprocess.run([fidelity.SYSTEM_PYTHON, "-c", script], check=True)
    out = tmp_path / "out"
    warned = caught(lambda: ShapefileDatabase(src).shp2tab(out))
    assert any("field 'amount'" in w and "cannot hold 1 of the layer's values" in w
               for w in warned), warned
    a = fidelity.dump(src)["src"]["features"]
    b = fidelity.dump(out / "src.tab")["src"]["features"]
    assert len(b) == 1001
    assert [f["attrs"] for f in b] == [f["attrs"] for f in a]


def test_gdal_warnings_before_a_layer_fails_are_kept(tmp_path, monkeypatch):
    """A layer that fails in its read-once pass keeps the warnings GDAL gave
    before it failed, as it does when its plan reads it first."""
    src = tmp_path / "src" / "mixed.tab"
    src.parent.mkdir()
    script = (
        "from osgeo import ogr\n"
        "ds = ogr.GetDriverByName('MapInfo File').CreateDataSource(%r)\n"
        "lyr = ds.CreateLayer('mixed', None, ogr.wkbUnknown)\n"
        "lyr.CreateField(ogr.FieldDefn('a_rather_long_field_name', ogr.OFTString))\n"
        "for wkt in ('POINT (1 2)', 'LINESTRING (0 0,1 1)'):\n"
        "    f = ogr.Feature(lyr.GetLayerDefn())\n"
        "    f.SetField(0, 'x')\n"
        "    f.SetGeometry(ogr.CreateGeometryFromWkt(wkt))\n"
        "    lyr.CreateFeature(f)\n" % str(src))
    subprocess.run([fidelity.SYSTEM_PYTHON, "-c", script], check=True)
    got = {}
    for mode in ("0", "1"):
        monkeypatch.setenv("VORIVIV_BENCH_ONE_PASS", mode)
        with warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("always")
            with pytest.raises(RuntimeError, match="non-point"):
                TabFileDatabase(src).tab2shp(tmp_path / f"out{mode}")
        got[mode] = [str(x.message) for x in w if issubclass(x.category, RuntimeWarning)]
    assert any("Normalized/laundered field name" in m for m in got["0"]), got
    assert got["1"] == got["0"]


def _rows_read_by_scans(pg, schema: str, table: str) -> int:
    """Rows the server's sequential scans of the table have read so far, once
    the sessions that read it have reported (they do as they end)."""
    sql = ("SELECT pg_stat_clear_snapshot(); SELECT coalesce(seq_tup_read, 0) "
           f"FROM pg_stat_user_tables WHERE schemaname = '{schema}' AND relname = '{table}'")
    last, stable_since = None, time.monotonic()
    while time.monotonic() - stable_since < 1.5:
        now = int(pgserver.psql(pg, sql).split()[-1])
        if now != last:
            last, stable_since = now, time.monotonic()
        time.sleep(0.1)
    return last


@pytest.mark.parametrize("method", ["pg2shp", "pg2tab"])
def test_a_table_is_streamed_once_into_files(pg, tmp_path, monkeypatch, method):
    """Read once, a table costs the server one full read less than when the
    plan reads it first: the plan's sizes come from aggregates on the server,
    and the rows are streamed only by the translation. (A text and two number
    fields, whose aggregates the server names alike, must not be taken one
    for another: a wrong size made the layer be written twice.)"""
    n = 3000
    schema = f"once_{method}"
    pgserver.psql(pg, f"DROP SCHEMA IF EXISTS {schema} CASCADE; CREATE SCHEMA {schema}; "
                      f"CREATE TABLE {schema}.t (id serial PRIMARY KEY, label varchar(12), "
                      f"amount numeric(12,2), share float8, geom geometry(Point, 4326)); "
                      f"INSERT INTO {schema}.t (label, amount, share, geom) SELECT 'p' || g, "
                      f"g * 1000.25, g / 7.0, ST_SetSRID(ST_MakePoint(g % 90, g % 45), 4326) "
                      f"FROM generate_series(1, {n}) g")
    try:
        read = {}
        for mode in ("0", "1"):
            monkeypatch.setenv("VORIVIV_BENCH_ONE_PASS", mode)
            out = tmp_path / mode
            out.mkdir()
            before = _rows_read_by_scans(pg, schema, "t")
            db = (ShapefileDatabase if method == "pg2shp" else TabFileDatabase)(out)
            getattr(db, method)(pg, schema=schema)
            read[mode] = _rows_read_by_scans(pg, schema, "t") - before
            ext = "dbf" if method == "pg2shp" else "tab"
            assert len(fidelity.dump(out / f"t.{ext}")["t"]["features"]) == n
        assert read["1"] == read["0"] - n, read
    finally:
        pgserver.psql(pg, f"DROP SCHEMA IF EXISTS {schema} CASCADE")


def test_a_table_exported_to_a_geodatabase_is_read_once(pg, tmp_path):
    """pg2gdb streams each table once: the progress total is the server's
    estimate of the rows, not a count that reads the table again."""
    n = 3000
    schema = "once_gdb"
    pgserver.psql(pg, f"DROP SCHEMA IF EXISTS {schema} CASCADE; CREATE SCHEMA {schema}; "
                      f"CREATE TABLE {schema}.t AS SELECT g AS id, 'p' || g AS label, "
                      f"ST_SetSRID(ST_MakePoint(g % 90, g % 45), 4326)::geometry(Point, 4326) "
                      f"AS geom FROM generate_series(1, {n}) g")
    try:
        before = _rows_read_by_scans(pg, schema, "t")
        events = []
        GeoFileDatabase(tmp_path / "out.gdb", "create").pg2gdb(pg, schema=schema,
                                                               progress=events.append)
        assert _rows_read_by_scans(pg, schema, "t") - before == n
        assert [e.total for e in events if e.kind == "finished"] == [n]
        assert len(fidelity.dump(tmp_path / "out.gdb")["t"]["features"]) == n
    finally:
        pgserver.psql(pg, f"DROP SCHEMA IF EXISTS {schema} CASCADE")
