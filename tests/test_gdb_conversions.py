"""GeoFileDatabase conversions end to end against a real PostGIS server.

Outputs are checked with psql and ogrinfo, never only through our own reader.
"""
from __future__ import annotations

import collections
import itertools
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from conftest import ogr2ogr, ogrinfo

gdb = pytest.importorskip("voriviv.geofileops.gdb")
GeoFileDatabase = gdb.GeoFileDatabase

_counter = itertools.count()


@pytest.fixture
def schema(psql):
    name = f"t{os.getpid()}_{next(_counter)}"
    psql(f'CREATE SCHEMA "{name}"')
    yield name
    psql(f'DROP SCHEMA "{name}" CASCADE')


@pytest.fixture
def threads():
    before = gdb.GEOFILEOPS_THREADS
    yield gdb.set_geofileops_threads
    gdb.GEOFILEOPS_THREADS = before


def make_tables(psql, schema, count, rows=50, prefix="t"):
    for i in range(count):
        psql(f'CREATE TABLE "{schema}".{prefix}{i} AS SELECT g AS id, \'row \' || g AS label, '
             f'ST_SetSRID(ST_MakePoint(g, {i}), 4326)::geometry(Point, 4326) AS geom '
             f'FROM generate_series(1, {rows + i}) g')


def gdb_layers(path):
    """Layer name -> feature count, as ogrinfo reports them."""
    out = ogrinfo("-al", "-so", str(path))
    names = re.findall(r"^Layer name: (.+)$", out, re.M)
    counts = [int(c) for c in re.findall(r"^Feature Count: (\d+)$", out, re.M)]
    return dict(zip(names, counts))


def count(psql, table):
    return int(psql(f"SELECT count(*) FROM {table}"))


# --- gdb2pg -------------------------------------------------------------------

def test_gdb2pg_loads_every_layer_as_multi_geometries(ne_gdb, pg, psql, schema):
    GeoFileDatabase(ne_gdb).gdb2pg(pg, schema=schema)
    assert count(psql, f"{schema}.cities") == 243
    assert count(psql, f"{schema}.countries") == 177
    types = psql(f"SELECT f_table_name || ':' || type || ':' || srid FROM geometry_columns "
                 f"WHERE f_table_schema = '{schema}' ORDER BY 1").split()
    assert types == ["cities:MULTIPOINT:4326", "countries:MULTIPOLYGON:4326"]
    assert psql(f"SELECT iso_a3 FROM {schema}.countries WHERE name = 'Fiji'") == "FJI"


def test_gdb2pg_overwrite_and_filters(ne_gdb, pg_text, psql, schema):
    db = GeoFileDatabase(ne_gdb)
    db.gdb2pg(pg_text, schema=schema, tables=["cities", "nope"])
    assert psql(f"SELECT count(*) FROM pg_tables WHERE schemaname = '{schema}'") == "1"
    psql(f"DELETE FROM {schema}.cities WHERE ctid NOT IN "
         f"(SELECT ctid FROM {schema}.cities LIMIT 3)")
    # Without overwrite an existing table fails its layer and stays as it was.
    with pytest.raises(RuntimeError, match=rf"{schema}\.cities"):
        db.gdb2pg(pg_text, schema=schema, tables=("cities",))
    assert count(psql, f"{schema}.cities") == 3
    db.gdb2pg(pg_text, schema=schema, overwrite=1, tables={"cities"})
    assert count(psql, f"{schema}.cities") == 243


def test_gdb2pg_never_touches_same_named_table_in_public(ne_gdb, pg, psql, schema):
    psql("DROP TABLE IF EXISTS public.cities; CREATE TABLE public.cities (keep int); "
         "INSERT INTO public.cities VALUES (7)")
    try:
        db = GeoFileDatabase(ne_gdb)
        db.gdb2pg(pg, schema=schema, tables=["cities"])
        db.gdb2pg(pg, schema=schema, tables=["cities"], overwrite=True)
        with pytest.raises(RuntimeError):
            db.gdb2pg(pg, schema=schema, tables=["cities"])
        assert psql("SELECT keep FROM public.cities") == "7"
        assert count(psql, f"{schema}.cities") == 243
    finally:
        psql("DROP TABLE public.cities")


def test_gdb2pg_failing_layer_lets_the_others_load(ne_gdb, pg, psql, schema, threads):
    threads(1)
    psql(f"CREATE TABLE {schema}.cities (x int)")  # the first layer will fail
    with pytest.raises(RuntimeError, match="already exists"):
        GeoFileDatabase(ne_gdb).gdb2pg(pg, schema=schema)
    assert count(psql, f"{schema}.countries") == 177
    assert count(psql, f"{schema}.cities") == 0


def test_gdb2pg_argument_checks(ne_gdb, pg):
    db = GeoFileDatabase(ne_gdb)
    with pytest.raises(TypeError):
        db.gdb2pg(pg, "public")
    with pytest.raises(TypeError, match=r"Argument 'schema' has incorrect type \(expected str, got S\)"):
        db.gdb2pg(pg, schema=type("S", (str,), {})("public"))
    with pytest.raises(KeyError, match="password"):
        db.gdb2pg({"host": "h", "dbname": "d", "user": "u"})


def test_gdb2pg_unreachable_database_fails_before_reading(ne_gdb, pg, psql, schema):
    bad = dict(pg, port=1)
    with pytest.raises(RuntimeError):
        GeoFileDatabase(ne_gdb).gdb2pg(bad, schema=schema)
    assert psql(f"SELECT count(*) FROM pg_tables WHERE schemaname = '{schema}'") == "0"


# --- pg2gdb -------------------------------------------------------------------

def test_pg2gdb_default_mode_replaces_an_existing_geodatabase(tmp_path, pg, psql, schema,
                                                             naturalearth):
    make_tables(psql, schema, 3)
    target = tmp_path / "out.gdb"
    ogr2ogr("-f", "OpenFileGDB", str(target), str(naturalearth / "naturalearth_cities.shp"),
            "-nln", "stale")
    assert "stale" in gdb_layers(target)
    GeoFileDatabase(target, "create").pg2gdb(pg, schema=schema)
    assert gdb_layers(target) == {"t0": 50, "t1": 51, "t2": 52}


def test_pg2gdb_loses_no_layer_with_parallel_writers(tmp_path, pg, psql, schema, threads):
    make_tables(psql, schema, 8, rows=2000)
    threads(4)
    for attempt in range(3):
        target = tmp_path / f"run{attempt}.gdb"
        GeoFileDatabase(target, "create").pg2gdb(pg, schema=schema)
        assert gdb_layers(target) == {f"t{i}": 2000 + i for i in range(8)}


def test_pg2gdb_failure_orders(tmp_path, pg, psql, schema):
    make_tables(psql, schema, 2)
    target = tmp_path / "keep.gdb"
    db = GeoFileDatabase(target, "create")
    db.pg2gdb(pg, schema=schema)
    # A connection that fails leaves the existing geodatabase untouched.
    with pytest.raises(RuntimeError):
        db.pg2gdb(dict(pg, password="wrong"), schema=schema)
    assert gdb_layers(target) == {"t0": 50, "t1": 51}
    # An empty selection still leaves a new, empty geodatabase.
    db.pg2gdb(pg, schema=schema, tables=["absent"])
    assert target.is_dir() and gdb_layers(target) == {}


def test_pg2gdb_refuses_to_delete_what_is_not_a_geodatabase(tmp_path, pg, psql, schema):
    make_tables(psql, schema, 1)
    precious = tmp_path / "project"
    precious.mkdir()
    (precious / "notes.txt").write_text("keep me")
    with pytest.raises(FileExistsError) as info:
        GeoFileDatabase(precious).pg2gdb(pg, schema=schema)
    assert info.value.filename == precious
    assert (precious / "notes.txt").read_text() == "keep me"
    # An empty directory is fine to replace.
    empty = tmp_path / "empty.gdb"
    empty.mkdir()
    GeoFileDatabase(empty).pg2gdb(pg, schema=schema)
    assert gdb_layers(empty) == {"t0": 50}


def test_pg2gdb_access_modes_on_an_existing_geodatabase(tmp_path, pg, psql, schema):
    make_tables(psql, schema, 2)
    target = tmp_path / "modes.gdb"
    db = GeoFileDatabase(target, "create")
    db.pg2gdb(pg, schema=schema, tables=["t0"])
    db.pg2gdb(pg, schema=schema, tables=["t1"], mode="update")
    assert gdb_layers(target) == {"t0": 50, "t1": 51}
    db.pg2gdb(pg, schema=schema, tables=["t0"], mode="append")
    assert gdb_layers(target)["t0"] == 100
    db.pg2gdb(pg, schema=schema, tables=["t0"], mode="overwrite")
    assert gdb_layers(target) == {"t0": 50, "t1": 51}
    with pytest.raises(ValueError, match="mode"):
        db.pg2gdb(pg, schema=schema, mode="skipfailures")
    assert gdb_layers(target) == {"t0": 50, "t1": 51}


def test_pg2gdb_table_with_a_dot_in_its_name(tmp_path, pg, psql, schema):
    psql(f'CREATE TABLE "{schema}"."roads.old" AS SELECT 1 AS id, '
         f"ST_SetSRID(ST_MakePoint(1, 2), 4326)::geometry(Point, 4326) AS geom")
    target = tmp_path / "dot.gdb"
    with pytest.warns(RuntimeWarning, match="laundered layer name") as caught:
        GeoFileDatabase(target, "create").pg2gdb(pg, schema=schema)
    assert caught[0].filename == __file__  # attributed to the caller's line
    assert gdb_layers(target) == {"roads_old": 1}


def test_get_layers_from_db_lists_the_schema_in_gdal_order(pg, psql, schema, ne_gdb):
    make_tables(psql, schema, 2)
    db = GeoFileDatabase(ne_gdb)
    assert sorted(db.get_layers_from_db(pg, schema)) == ["t0", "t1"]
    assert db.get_layers_from_db(pg, schema=schema) == db.get_layers_from_db(pg, schema)


# --- pg2gdbf ------------------------------------------------------------------

def test_pg2gdbf_groups_tables_into_feature_datasets(tmp_path, pg, psql, schema, threads):
    threads(1)
    make_tables(psql, schema, 3)
    target = tmp_path / "fd.gdb"
    GeoFileDatabase(target, "create").pg2gdbf(pg, {"A": ["t0", "t1"], 5: ("t2",), "E": []},
                                              schema=schema)
    out = ogrinfo("-so", "-q", str(target))
    groups = dict(re.findall(r"Group (\S+):\n\s+Layer: (\S+)", out))
    assert groups == {"A": "t0", "5": "t2"} or set(groups) == {"A", "5"}
    layers = re.findall(r"Layer: (\S+)", out)
    assert layers == ["t0", "t1", "t2"]  # one thread: mapping order
    assert gdb_layers(target) == {"t0": 50, "t1": 51, "t2": 52}


def test_pg2gdbf_missing_table_fails_its_task_only(tmp_path, pg, psql, schema):
    make_tables(psql, schema, 1)
    target = tmp_path / "fd.gdb"
    db = GeoFileDatabase(target, "create")
    with pytest.raises(RuntimeError):
        db.pg2gdbf(pg, {"A": ["missing", "t0"]}, schema=schema)
    assert gdb_layers(target) == {"t0": 50}
    with pytest.raises(TypeError, match="feature_mapping"):
        db.pg2gdbf(pg, collections.OrderedDict(A=["t0"]), schema=schema)


# --- gdb2shape ----------------------------------------------------------------

def test_gdb2shape_writes_one_shapefile_per_layer(ne_gdb, tmp_path):
    out = tmp_path / "a" / "b"
    GeoFileDatabase(ne_gdb).gdb2shape(out, tables=["cities", "ghost"])
    assert sorted(p.name for p in out.iterdir()) == [
        "cities.cpg", "cities.dbf", "cities.prj", "cities.shp", "cities.shx"]
    assert (out / "cities.cpg").read_text() == "UTF-8"
    info = ogrinfo("-so", "-al", str(out / "cities.shp"))
    assert "Feature Count: 243" in info and "Geometry: Point" in info
    with pytest.raises(TypeError):
        GeoFileDatabase(ne_gdb).gdb2shape(out, ["cities"])


def test_gdb2shape_forwards_gdal_warnings(ne_gdb, tmp_path):
    # A field name longer than a dBASE field's: GDAL's writer shortens it and warns.
    gdb = tmp_path / "long.gdb"
    ogr2ogr("-f", "OpenFileGDB", str(gdb), str(ne_gdb), "cities", "-sql",
            "SELECT name AS a_rather_long_field_name FROM cities")
    with pytest.warns(RuntimeWarning, match="Normalized/laundered field name"):
        GeoFileDatabase(gdb).gdb2shape(tmp_path / "out")
    assert "Feature Count: 243" in ogrinfo("-so", "-al", str(tmp_path / "out"))


def test_gdb2shape_refuses_layer_names_that_leave_the_output_dir(ne_gdb, tmp_path):
    class Tricky(GeoFileDatabase):
        def _list_layers(self, ds, tables=None):
            return ["../evil", "cities", "", "a/b"]

    out = tmp_path / "out"
    with pytest.raises(ValueError, match=r"\.\./evil"):
        Tricky(ne_gdb).gdb2shape(out)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out"]
    assert (out / "cities.shp").exists()
    assert not (out / "a").exists()


def test_gdb2shape_unopenable_geodatabase_keeps_the_new_output_dir(tmp_path):
    bogus = tmp_path / "bogus.gdb"
    bogus.mkdir()
    out = tmp_path / "new"
    with pytest.raises(RuntimeError):
        GeoFileDatabase(bogus).gdb2shape(out)
    assert out.is_dir()


def test_ctrl_c_stops_running_and_queued_translations(tmp_path, pg_text, psql, schema):
    psql(f"CREATE TABLE {schema}.big AS SELECT g AS id, "
         f"ST_SetSRID(ST_MakeLine(ST_MakePoint(g % 180, 0), ST_MakePoint(g % 180, 1)), 4326)::geometry(LineString, 4326) "
         f"AS geom FROM generate_series(1, 150000) g")
    src = tmp_path / "big.gdb"
    for i in range(3):
        ogr2ogr("-f", "OpenFileGDB", *(["-update"] if i else []), str(src),
                f"{pg_text} schemas={schema}", "big", "-nln", f"big{i}")
    out = tmp_path / "out"
    script = (
        "import sys\n"
        "from voriviv.geofileops import gdb\n"
        "gdb.set_geofileops_threads(1)\n"
        "try:\n"
        f"    gdb.GeoFileDatabase({str(src)!r}).gdb2shape({str(out)!r})\n"
        "    print('finished')\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted')\n")
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not (out / "big0.shp").exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    stdout, _ = proc.communicate(timeout=60)
    assert stdout.strip() == "interrupted"
    assert not (out / "big1.shp").exists() and not (out / "big2.shp").exists()


def test_gdb2pg_without_the_postgresql_driver(ne_gdb, pg):
    script = (
        "import sys\n"
        "from voriviv.geofileops.gdb import GeoFileDatabase\n"
        "try:\n"
        f"    GeoFileDatabase({str(ne_gdb)!r}).gdb2pg({dict(pg)!r})\n"
        "except RuntimeError as e:\n"
        "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=dict(os.environ, GDAL_SKIP="PostgreSQL"), check=True).stdout
    assert out.strip() == "GDAL PostgreSQL driver not available"


def test_pg2gdb_parallel_export_gives_what_a_serial_one_gives(tmp_path, pg, psql, schema, threads):
    # With several workers, a table is read into memory while another is written;
    # the result must not differ from streaming it: same layers, fields, FID column
    # and FID values (gaps included), geometries and attributes.
    make_tables(psql, schema, 5, rows=20000)
    psql(f'CREATE TABLE "{schema}".gaps (fid serial PRIMARY KEY, name text, day date, '
         f'big int, geom geometry(Point, 4326))')
    psql(f"INSERT INTO \"{schema}\".gaps (name, day, big, geom) SELECT 'n' || g, "
         f"DATE '2020-01-01' + g, g * 1000000, ST_SetSRID(ST_MakePoint(g, g), 4326) "
         f"FROM generate_series(1, 30) g")
    psql(f'DELETE FROM "{schema}".gaps WHERE fid % 3 = 0')
    dumps = {}
    for n in (1, 4):
        threads(n)
        target = tmp_path / f"t{n}.gdb"
        GeoFileDatabase(target, "create").pg2gdb(pg, schema=schema)
        dumps[n] = {layer: ogrinfo("-al", "-q", str(target), layer)
                    for layer in sorted(gdb_layers(target))}
    assert sorted(dumps[1]) == ["gaps", "t0", "t1", "t2", "t3", "t4"]
    assert dumps[4] == dumps[1]
    assert "OGRFeature(gaps):4" in dumps[1]["gaps"] and "OGRFeature(gaps):3" not in dumps[1]["gaps"]
