"""The COPY load produces the tables of the GDAL load.

Every source is loaded twice, once as by default (rows through COPY) and once
with VORIVIV_BENCH_PG_COPY=0 (GDAL's translation); both tables are then read with
pg_dump and psql, never with voriviv: the same definition (modulo the schema
name), the same rows in FID order and the same sequence state. Doubles are
compared to GDAL's 15 significant digits: the COPY load keeps all of theirs.
"""
from __future__ import annotations

import warnings
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import zipfile
from pathlib import Path

import pytest

import fidelity
from conftest import DATA, ogr2ogr, pgserver
from filedb_twins import schema  # noqa: F401
from voriviv.geofileops import gdb as gdb_module
from voriviv.geofileops import shp as shp_module
from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.geofileops.shp import ShapefileDatabase
from voriviv.geofileops.tab import TabFileDatabase


@pytest.fixture(autouse=True)
def copy_load_on(monkeypatch):
    """The COPY load is the default: every test here runs without the switch."""
    monkeypatch.delenv("VORIVIV_BENCH_PG_COPY", raising=False)


REAL = DATA.parent / "realworld"

pytestmark = pytest.mark.skipif(
    not (shutil.which("pg_dump") and fidelity.need_tools()),
    reason="pg_dump, ogr2ogr or GDAL's Python bindings (python3-gdal) missing")


def run_text(argv, env) -> str:
    return subprocess.run(argv, env=env, check=True, capture_output=True, text=True).stdout


def table_image(pg, schema: str, table: str, physical: bool = True):
    """(definition, rows, sequence state) of schema.table, schema-neutral. The
    rows are listed in FID order, and with `physical` with their places in the
    table too (the order a reader without ORDER BY sees)."""
    env = dict(os.environ, **pgserver.libpq_env(pg))
    ddl = run_text(["pg_dump", "--schema-only", "-t", f'{schema}."{table}"'], env)
    lines = [line.replace(f"{schema}.", "S.").replace(f"Schema: {schema};", "Schema: S;")
             for line in ddl.splitlines() if not line.startswith(("\\restrict", "\\unrestrict"))]
    # Doubles are printed with 15 significant digits: the COPY load keeps
    # every digit of a double, GDAL's sends 15 (test_doubles_arrive_exactly).
    rows = run_text(["psql", "-qAtX", "-c", "SET extra_float_digits = 0", "-c",
                     f'COPY (SELECT {"ctid, " if physical else ""}* FROM {schema}."{table}" '
                     f'ORDER BY {2 if physical else 1}) TO STDOUT'], env)
    seq = run_text(["psql", "-qAtX", "-c",
                    # last_value is NULL until the sequence is first used
                    "SELECT sequencename, last_value FROM pg_sequences "
                    f"WHERE schemaname = '{schema}' AND sequencename LIKE '{table}%' "
                    "ORDER BY 1"], env)
    return "\n".join(lines), rows, seq


def tables(psql, schema: str):
    return psql(f"SELECT tablename FROM pg_tables WHERE schemaname = '{schema}' "
                "ORDER BY 1").split("\n")


def index_built_after_rows(psql, schema: str, table: str) -> bool:
    """Whether the table's spatial index was built on its rows (an index built
    on the empty table, then filled row by row, counts no tuples)."""
    out = psql(f"SELECT i.reltuples FROM pg_index x JOIN pg_class i ON i.oid = x.indexrelid "
               f"WHERE x.indrelid = '{schema}.\"{table}\"'::regclass AND NOT x.indisprimary")
    return out.strip() != "" and float(out) > 0


@pytest.fixture
def both(pg, psql, monkeypatch, request):
    """load(fn) runs fn(schema) with the COPY load and with GDAL's, each into a
    fresh schema, and returns the two schema names."""
    names = []

    def load(fn):
        stem = "".join(c if c.isalnum() else "_" for c in request.node.name[-20:].lower())
        fast, gdal = (f"cp_{stem}_{len(names)}_{k}" for k in ("fast", "gdal"))
        for name, flag in ((fast, None), (gdal, "0")):
            psql(f"DROP SCHEMA IF EXISTS {name} CASCADE; CREATE SCHEMA {name}")
            names.append(name)
            if flag is None:
                monkeypatch.delenv("VORIVIV_BENCH_PG_COPY", raising=False)
            else:
                monkeypatch.setenv("VORIVIV_BENCH_PG_COPY", flag)
            fn(name)
        monkeypatch.delenv("VORIVIV_BENCH_PG_COPY", raising=False)
        return fast, gdal

    yield load
    for name in names:
        psql(f"DROP SCHEMA IF EXISTS {name} CASCADE")


def assert_same_tables(pg, psql, fast: str, gdal: str):
    expected = tables(psql, gdal)
    assert tables(psql, fast) == expected
    for t in expected:
        assert table_image(pg, fast, t) == table_image(pg, gdal, t), t


# --- sources -------------------------------------------------------------------

@pytest.fixture(scope="module")
def real_gdbs(tmp_path_factory):
    out = tmp_path_factory.mktemp("gdb")
    for z in sorted((REAL / "gdb").glob("*.gdb.zip")):
        with zipfile.ZipFile(z) as f:
            f.extractall(out)
    return sorted(out.glob("*.gdb"))


@pytest.fixture(scope="module")
def real_tabs(tmp_path_factory):
    """The MIF samples as TAB files, written by ogr2ogr."""
    out = tmp_path_factory.mktemp("tab")
    for mif in sorted((REAL / "mif").glob("*.mif")):
        ogr2ogr("-f", "MapInfo File", str(out / (mif.stem + ".tab")), str(mif))
    return out


SYNTHETIC = textwrap.dedent('''
    import sys
    from osgeo import ogr, osr
    ogr.UseExceptions()
    driver, path = sys.argv[1], sys.argv[2]
    ds = ogr.GetDriverByName(driver).CreateDataSource(path)
    srs = osr.SpatialReference(); srs.ImportFromEPSG(4326)
    gdb = driver == "OpenFileGDB"

    position = {}  # field name as asked for -> index (drivers may rename fields)

    def layer(name, gtype, fields):
        lyr = ds.CreateLayer(name, srs, gtype, options=[] if gdb else ["ENCODING=UTF-8"])
        position.clear()
        for i, (fname, ftype, sub, width) in enumerate(fields):
            position[fname] = i
            fd = ogr.FieldDefn(fname, ftype)
            if sub is not None:
                fd.SetSubType(sub)
            if width:
                fd.SetWidth(width)
            lyr.CreateField(fd)
        return lyr

    def add(lyr, wkt, **values):
        f = ogr.Feature(lyr.GetLayerDefn())
        for name, v in values.items():
            k = position[name]
            if v is None:
                f.SetFieldNull(k)
            elif isinstance(v, bytes):
                f.SetFieldBinaryFromHexString(k, v.hex())
            elif isinstance(v, tuple):
                f.SetField(k, *v)
            else:
                f.SetField(k, v)
        if wkt is not None:
            f.SetGeometry(ogr.CreateGeometryFromWkt(wkt))
        lyr.CreateFeature(f)

    fields = [("Small-Int", ogr.OFTInteger, ogr.OFSTInt16 if gdb else None, 0),
              ("int_value", ogr.OFTInteger, None, 0),
              ("BIG#value", ogr.OFTInteger64 if not gdb else ogr.OFTInteger, None, 0),
              ("real_value", ogr.OFTReal, None, 0),
              ("float_v", ogr.OFTReal, ogr.OFSTFloat32 if gdb else None, 0),
              ("Text'Name", ogr.OFTString, None, 40),
              ("day", ogr.OFTDate if not gdb else ogr.OFTDateTime, None, 0)]
    if gdb:
        fields += [("stamp", ogr.OFTDateTime, None, 0), ("blob", ogr.OFTBinary, None, 0)]
    values = [dict(), dict()]
    lyr = layer("Every-Type", ogr.wkbPolygon, fields)
    add(lyr, "POLYGON ((0 0,1 0,1 1,0 0))", **{"Small-Int": 7, "int_value": -2147483647,
        "BIG#value": 2147483647, "real_value": 1.0 / 3, "float_v": 0.1,
        "Text'Name": "caf\\u00e9 \\u0416\\u4e2d tab\\there \\\\ back\\nline",
        "day": (2020, 2, 29, 0, 0, 0, 0), **({"stamp": (1999, 12, 31, 23, 59, 58.5, 100),
                                               "blob": b"\\x00\\xffabc"} if gdb else {})})
    add(lyr, None, **{"Small-Int": None, "int_value": None, "BIG#value": None,
        "real_value": None, "float_v": None, "Text'Name": None, "day": None,
        **({"stamp": None, "blob": None} if gdb else {})})
    add(lyr, "POLYGON EMPTY", **{"real_value": 1e300, "Text'Name": "", "int_value": 0})
    add(lyr, "MULTIPOLYGON (((10 10,11 10,11 11,10 10)),((20 20,21 20,21 21,20 20)))",
        **{"real_value": -0.0, "Text'Name": "  blanks  "})

    lyr = layer("Z and M", ogr.wkbLineStringZM, [("n", ogr.OFTInteger, None, 0)])
    add(lyr, "LINESTRING ZM (0 0 1 2,1 1 3 4)", n=1)
    add(lyr, "MULTILINESTRING ZM ((0 0 1 2,1 1 3 4),(5 5 5 5,6 6 6 6))", n=2)
    add(lyr, None, n=3)

    lyr = layer("points_z", ogr.wkbPoint25D, [("label", ogr.OFTString, None, 0)])
    for i in range(25):
        add(lyr, f"POINT Z ({i * 1.5} {-i / 7} {i})", label=f"p{i}")
    add(lyr, "POINT Z (-179.999999999 89.123456789012 -1e5)", label="extreme")

    # Only integer, double and text columns: rows in COPY's binary format.
    lyr = layer("Plain values", ogr.wkbLineString,
                [("n", ogr.OFTInteger, None, 0),
                 ("big", ogr.OFTInteger64 if not gdb else ogr.OFTInteger, None, 0),
                 ("x", ogr.OFTReal, None, 0), ("s", ogr.OFTString, None, 12)])
    doubles = [1.0 / 3, 0.1 + 0.2, 1e300, -0.0, 5e-324, 2.0 ** 53 + 2, 123456789.123456789,
               -2.5e-308] + ([float("nan"), float("inf"), float("-inf")] if gdb else [])
    texts = ["tab\\there", "back\\\\slash", "new\\nline", "\\u00e9\\u4e2d", "", "plain"]
    for i, x in enumerate(doubles):
        add(lyr, f"LINESTRING ({i} 0,{i} 1.5)", n=-2147483647 + i, big=2147483647 - i, x=x,
            s=texts[i % len(texts)])
    add(lyr, None, n=None, big=None, x=None, s=None)
    ds = None
''')


@pytest.fixture(scope="module")
def synthetic(tmp_path_factory):
    """Synthetic sources written by GDAL's Python bindings: a File Geodatabase
    and Shapefiles with every field type these formats hold, NULLs, empty and
    null geometries, Z/M, single and multi-part geometries in one layer,
    non-ASCII text and names PostgreSQL must launder."""
    out = tmp_path_factory.mktemp("synthetic")
    script = out / "make.py"
    script.write_text(SYNTHETIC)
    subprocess.run([fidelity.SYSTEM_PYTHON, str(script), "OpenFileGDB", str(out / "syn.gdb")],
                   check=True, capture_output=True)
    (out / "shp").mkdir()
    subprocess.run([fidelity.SYSTEM_PYTHON, str(script), "ESRI Shapefile", str(out / "shp")],
                   check=True, capture_output=True)
    return out


# --- the same tables -------------------------------------------------------------

def test_real_world_geodatabases(pg, psql, both, real_gdbs):
    for path in real_gdbs:
        fast, gdal = both(lambda s: GeoFileDatabase(path).gdb2pg(pg, schema=s))
        assert_same_tables(pg, psql, fast, gdal)


@pytest.mark.parametrize("folder", ["gre", "coutwildrnp", "pyshp_odd", "test_tin"])
def test_real_world_shapefiles(pg, psql, both, folder):
    fast, gdal = both(lambda s: ShapefileDatabase(REAL / "shp" / folder).shp2pg(pg, schema=s))
    assert_same_tables(pg, psql, fast, gdal)


def test_real_world_tab_files(pg, psql, both, real_tabs):
    fast, gdal = both(lambda s: TabFileDatabase(real_tabs).tab2pg(pg, schema=s))
    assert_same_tables(pg, psql, fast, gdal)


def test_natural_earth(pg, psql, both, naturalearth, ne_gdb):
    fast, gdal = both(lambda s: ShapefileDatabase(naturalearth).shp2pg(pg, schema=s))
    assert_same_tables(pg, psql, fast, gdal)
    # pop_est is widened for this layer; its rows still go through COPY.
    assert index_built_after_rows(psql, fast, "naturalearth_lowres")
    fast, gdal = both(lambda s: GeoFileDatabase(ne_gdb).gdb2pg(pg, schema=s))
    assert_same_tables(pg, psql, fast, gdal)
    assert index_built_after_rows(psql, fast, "countries")


def test_synthetic_layers(pg, psql, both, synthetic):
    fast, gdal = both(lambda s: GeoFileDatabase(synthetic / "syn.gdb").gdb2pg(pg, schema=s))
    assert_same_tables(pg, psql, fast, gdal)
    assert len(tables(psql, fast)) == 4
    assert all(index_built_after_rows(psql, fast, t) for t in tables(psql, fast))
    fast, gdal = both(lambda s: ShapefileDatabase(synthetic / "shp").shp2pg(pg, schema=s))
    assert_same_tables(pg, psql, fast, gdal)
    assert all(index_built_after_rows(psql, fast, t) for t in tables(psql, fast))


def test_overwrite_replaces_and_refusal_keeps_the_table(pg, psql, naturalearth, schema):
    db = ShapefileDatabase(naturalearth)
    db.shp2pg(pg, schema=schema, tables=["naturalearth_cities"])
    psql(f"DELETE FROM {schema}.naturalearth_cities WHERE ogc_fid > 5")
    with pytest.raises(RuntimeError, match="already exists"):
        db.shp2pg(pg, schema=schema, tables=["naturalearth_cities"])
    assert psql(f"SELECT count(*) FROM {schema}.naturalearth_cities") == "5"
    db.shp2pg(pg, schema=schema, tables=["naturalearth_cities"], overwrite=True)
    assert psql(f"SELECT count(*), max(ogc_fid) FROM {schema}.naturalearth_cities") == "243|243"


# --- one layer, several streams ----------------------------------------------------

@pytest.fixture(scope="module")
def big_sources(tmp_path_factory):
    """One layer of 50,000 points with NULLs and gaps in its FIDs, as a
    Shapefile and as a File Geodatabase."""
    out = tmp_path_factory.mktemp("big")
    script = out / "make.py"
    script.write_text(textwrap.dedent('''
        import sys
        from osgeo import ogr, osr
        ogr.UseExceptions()
        srs = osr.SpatialReference(); srs.ImportFromEPSG(4326)
        for driver, path in (("ESRI Shapefile", sys.argv[1] + "/big.shp"),
                             ("OpenFileGDB", sys.argv[1] + "/big.gdb")):
            ds = ogr.GetDriverByName(driver).CreateDataSource(path)
            lyr = ds.CreateLayer("big", srs, ogr.wkbPoint)
            lyr.CreateField(ogr.FieldDefn("label", ogr.OFTString))
            lyr.StartTransaction()
            for i in range(50000):
                f = ogr.Feature(lyr.GetLayerDefn())
                if i % 11:
                    f.SetField("label", "p%d" % i)
                f.SetGeometry(ogr.CreateGeometryFromWkt("POINT (%d %f)" % (i % 360 - 180, i / 1e3)))
                lyr.CreateFeature(f)
            lyr.CommitTransaction()
            if driver == "OpenFileGDB":
                for fid in (3, 4, 25001):
                    lyr.DeleteFeature(fid)
            ds = None
    '''))
    (out / "shp").mkdir()
    subprocess.run([fidelity.SYSTEM_PYTHON, str(script), str(out / "shp")], check=True,
                   capture_output=True)
    shutil.move(str(out / "shp" / "big.gdb"), str(out / "big.gdb"))
    return out


@pytest.mark.parametrize("kind", ["shp", "gdb"])
def test_one_layer_split_across_threads_gives_the_same_table(pg, psql, both, big_sources, kind,
                                                             monkeypatch):
    module = shp_module if kind == "shp" else gdb_module
    # Two parts even where half the machine's cores would be one.
    monkeypatch.setenv("VORIVIV_PG_COPY_PARTS", "2")
    before = module.GEOFILEOPS_THREADS

    def load(threads):
        def go(s):
            module.set_geofileops_threads(threads)
            if kind == "shp":
                ShapefileDatabase(big_sources / "shp").shp2pg(pg, schema=s)
            else:
                GeoFileDatabase(big_sources / "big.gdb").gdb2pg(pg, schema=s)
        return go

    try:
        one, _ = both(load(1))
        two, gdal = both(load(2))
    finally:
        module.set_geofileops_threads(before)
    # Two streams fill the table's pages side by side: the same rows, FIDs and
    # definition, but not in the same places.
    assert table_image(pg, one, "big") == table_image(pg, gdal, "big")
    assert table_image(pg, two, "big", physical=False) == \
        table_image(pg, one, "big", physical=False)


# --- Ctrl-C ---------------------------------------------------------------------------

def test_ctrl_c_stops_a_running_copy_and_leaves_no_table(pg, psql, big_sources, schema):
    script = textwrap.dedent(f"""
        import sys
        from voriviv.geofileops import shp
        shp.set_geofileops_threads(2)
        db = shp.ShapefileDatabase({str(big_sources / 'shp')!r})
        print('ready', flush=True)
        try:
            for i in range(1000):
                db.shp2pg({dict(pg)!r}, schema={schema!r}, overwrite=True)
                print('loaded', flush=True)
            print('finished')
        except KeyboardInterrupt:
            print('interrupted')
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "ready"
    deadline = time.monotonic() + 60
    # Wait for rows on their way: the table exists and holds none yet visible.
    while time.monotonic() < deadline:
        copying = f"SELECT count(*) FROM pg_stat_activity WHERE query LIKE 'COPY \"{schema}\"%'"
        if psql(copying) not in ("", "0"):
            break
        time.sleep(0.005)
    t0 = time.monotonic()
    proc.send_signal(signal.SIGINT)
    stdout, _ = proc.communicate(timeout=60)
    assert stdout.splitlines()[-1] == "interrupted"
    assert time.monotonic() - t0 < 3
    # The COPY seen may have been the last of a load that then completed
    # before the signal arrived (even before the script could say so): its
    # table stays, whole. The interrupted load leaves nothing, not even its
    # temporary table.
    tables = psql(f"SELECT string_agg(tablename, ',') FROM pg_tables WHERE schemaname = '{schema}'")
    assert tables in ("", "big")
    if "loaded" in stdout.splitlines():
        assert tables == "big"
    if tables == "big":
        assert psql(f"SELECT count(*) FROM {schema}.big") == "50000"



def test_doubles_arrive_exactly(pg, psql, schema, tmp_path):
    """Doubles without a declared width keep every digit, in binary rows (no
    field but numbers) and in text rows (a date field)."""
    values = [(35.362830461555426, 0.1), (-1.2345678901234567e-300, 3.3333333333333335e+300)]
    features = ",".join(
        '{"type":"Feature","geometry":{"type":"Point","coordinates":[1,2]},'
        f'"properties":{{"d":{d!r},"t":{t!r},"day":"2024-01-0{i + 1}"}}}}'
        for i, (d, t) in enumerate(values))
    src = tmp_path / "d.geojson"
    src.write_text('{"type":"FeatureCollection","features":[' + features + "]}")
    gdb = tmp_path / "d.gdb"
    ogr2ogr("-f", "OpenFileGDB", str(gdb), str(src), "-nln", "text_rows")
    ogr2ogr("-update", str(gdb), str(src), "-nln", "binary_rows", "-select", "d,t")
    GeoFileDatabase(gdb).gdb2pg(pg, schema=schema)
    for table in ("text_rows", "binary_rows"):
        assert psql(f"SELECT d = 35.362830461555426::float8 FROM {schema}.{table} "
                    "ORDER BY objectid LIMIT 1") == "t"
        out = psql(f"SET extra_float_digits = 3; SELECT d, t FROM {schema}.{table} "
                   "ORDER BY objectid")
        assert [tuple(float(v) for v in line.split("|")) for line in out.splitlines()] == values


def test_digits_gdal_load_cuts_are_announced(pg, psql, schema, tmp_path, monkeypatch):
    """GDAL's own load (used where COPY cannot carry a layer) sends such a
    double with 15 significant digits: the values it cuts are counted per
    field and announced; the load through COPY cuts none and says nothing."""
    values = [35.362830461555426, 0.5, 8.82968990409103, -1.2345678901234567e-300]
    features = ",".join(
        '{"type":"Feature","geometry":{"type":"Point","coordinates":[1,2]},'
        f'"properties":{{"d":{d!r}}}}}' for d in values)
    src = tmp_path / "d.geojson"
    src.write_text('{"type":"FeatureCollection","features":[' + features + "]}")
    gdb = tmp_path / "d.gdb"
    ogr2ogr("-f", "OpenFileGDB", str(gdb), str(src), "-nln", "digits")
    for copy in ("0", "1"):
        monkeypatch.setenv("VORIVIV_BENCH_PG_COPY", copy)
        with warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("always")
            GeoFileDatabase(gdb).gdb2pg(pg, schema=schema, overwrite=True)
        said = [str(x.message) for x in w if "significant digits" in str(x.message)]
        exact = psql(f"SELECT count(*) FILTER (WHERE d = ANY(ARRAY{values!r}::float8[])) "
                     f"FROM {schema}.digits")
        if copy == "0":
            assert said == ["Layer 'digits', field 'd': 2 value(s) have more than 15 "
                            "significant digits; GDAL's load into PostgreSQL keeps 15 of them"]
            assert exact == "2"  # the two values of at most 15 digits
        else:
            assert said == []
            assert exact == "4"
