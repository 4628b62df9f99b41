"""A conversion that replaces something never destroys it before the new data
is complete: tables, file outputs and geodatabases, under real faults."""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import pgserver
from conftest import ogr2ogr, ogrinfo
from filedb_twins import SHP, TAB, layers, make_layer, points_table, schema, threads  # noqa: F401
from safety_faults import (Terminator, big_shapefile, big_table, damage, leftover_tables, restart,
                           stop_immediately, table_digest, temp_entries, tree_digest)

from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.geofileops.shp import ShapefileDatabase
from voriviv.geofileops.tab import TabFileDatabase


@pytest.fixture(scope="module")
def big(pg, tmp_path_factory):
    return big_shapefile(pg, tmp_path_factory.mktemp("big"))


@pytest.fixture
def big_copy(big, tmp_path):
    """A private copy of the big Shapefile (to damage or rename)."""
    d = tmp_path / "src"
    d.mkdir()
    for p in big.parent.glob("big.*"):
        (d / p.name).write_bytes(p.read_bytes())
    return d / "big.shp"


# --- tables -------------------------------------------------------------------

@pytest.mark.parametrize("fault", ["terminate", "damaged"])
def test_failed_replacement_keeps_the_old_table(pg, psql, schema, big_copy, fault):
    points_table(psql, schema, "big", 1000)
    before = table_digest(psql, schema, "big")
    killer = None
    if fault == "damaged":
        damage(big_copy)
    else:
        killer = Terminator(pg, 'COPY %vv\\_tmp\\_%')
        killer.start()
    with pytest.raises(RuntimeError):
        ShapefileDatabase(big_copy).shp2pg(pg, schema=schema, overwrite=True)
    if killer:
        killer.join()
        assert killer.killed
    assert table_digest(psql, schema, "big") == before
    assert leftover_tables(psql) == ""


def test_failed_new_load_leaves_no_table(pg, psql, schema, big_copy):
    killer = Terminator(pg, 'COPY %vv\\_tmp\\_%')
    killer.start()
    with pytest.raises(RuntimeError):
        ShapefileDatabase(big_copy).shp2pg(pg, schema=schema)
    killer.join()
    assert psql(f"SELECT count(*) FROM pg_tables WHERE schemaname = '{schema}'") == "0"
    assert leftover_tables(psql) == ""


def test_stopped_server_keeps_the_old_table(big, tmp_path):
    server = pgserver.ThrowawayPostgis()
    info = server.start()
    try:
        sql = lambda q: pgserver.psql(info, q)  # noqa: E731
        sql("CREATE SCHEMA s")
        points_table(sql, "s", "big", 500)
        before = table_digest(sql, "s", "big")

        def stop_when_loading():
            for _ in range(600):
                if sql("SELECT count(*) FROM pg_stat_activity WHERE query LIKE 'COPY %vv_tmp_%'") != "0":
                    break
                time.sleep(0.02)
            stop_immediately(server)

        t = threading.Thread(target=stop_when_loading)
        t.start()
        with pytest.raises(RuntimeError):
            ShapefileDatabase(big).shp2pg(info, schema="s", overwrite=True)
        t.join()
        restart(server)
        # The server may still refuse connections while it finishes recovery;
        # wait for it before reading the table.
        for _ in range(300):
            try:
                sql("SELECT 1")
                break
            except subprocess.CalledProcessError:
                time.sleep(0.1)
        assert table_digest(sql, "s", "big") == before
        assert leftover_tables(sql) == ""
    finally:
        server.stop()


def test_killed_process_leaves_no_table(pg, psql, schema, big):
    """Nothing of a load is committed before its end: a process killed in the
    middle of its rows leaves neither the table nor a temporary one."""
    script = textwrap.dedent(f"""
        from voriviv.geofileops import shp
        print('ready', flush=True)
        shp.ShapefileDatabase({str(big.parent)!r}).shp2pg({dict(pg)!r}, schema={schema!r})
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "ready"
    copying = "SELECT count(*) FROM pg_stat_activity WHERE query LIKE 'COPY %vv\\_tmp\\_%'"
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and psql(copying) == "0":
        time.sleep(0.005)
    assert psql(copying) != "0", "the load never reached its rows"
    proc.kill()
    proc.wait(timeout=30)
    # The server ends the session once it notices the closed socket.
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and psql(copying) != "0":
        time.sleep(0.05)
    assert psql(f"SELECT count(*) FROM pg_tables WHERE schemaname = '{schema}'") == "0"
    assert leftover_tables(psql) == ""


def test_next_load_removes_only_what_dead_loads_left(pg, psql, schema, tmp_path):
    """A temporary table whose load died (no session marks it) goes with the
    next load into its schema; one whose load still runs stays."""
    dead, running = "vv_tmp_00000000000000aa", "vv_tmp_00000000000000bb"
    psql(f"CREATE TABLE {schema}.{dead} (x int); CREATE TABLE {schema}.{running} (x int); "
         f"CREATE TABLE public.{dead} (x int)")
    env = dict(os.environ, **pgserver.libpq_env(pg))
    mark = (f"SELECT pg_advisory_lock(hashtext('voriviv temporary table'), "
            f"hashtext('\"{schema}\".\"{running}\"'))")
    holder = subprocess.Popen(["psql", "-qAtX", "-c", mark, "-c", "SELECT pg_sleep(60)"], env=env,
                              stdout=subprocess.DEVNULL)
    try:
        for _ in range(300):
            if psql("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted") != "0":
                break
            time.sleep(0.05)
        make_layer(tmp_path / "roads.shp", 3, "ESRI Shapefile")
        ShapefileDatabase(tmp_path / "roads.shp").shp2pg(pg, schema=schema)
        assert psql(f"SELECT string_agg(tablename, ',' ORDER BY tablename) FROM pg_tables "
                    f"WHERE schemaname = '{schema}'") == f"roads,{running}"
        # Other schemas are not the load's to clean.
        assert psql(f"SELECT count(*) FROM pg_tables WHERE schemaname = 'public' "
                    f"AND tablename = '{dead}'") == "1"
    finally:
        holder.kill()
        holder.wait()
        psql(f"DROP TABLE IF EXISTS {schema}.{running}; DROP TABLE IF EXISTS public.{dead}")


def test_dependent_view_blocks_the_replacement(pg, psql, schema, tmp_path):
    points_table(psql, schema, "roads", 5)
    psql(f"CREATE VIEW {schema}.roads_view AS SELECT id FROM {schema}.roads")
    before = table_digest(psql, schema, "roads")
    make_layer(tmp_path / "roads.shp", 3, "ESRI Shapefile")
    with pytest.raises(RuntimeError, match=rf"{schema}\.roads cannot be replaced.*depend"):
        ShapefileDatabase(tmp_path / "roads.shp").shp2pg(pg, schema=schema, overwrite=True)
    assert table_digest(psql, schema, "roads") == before
    assert psql(f"SELECT count(*) FROM {schema}.roads_view") == "5"
    assert leftover_tables(psql) == ""


def _object_names(psql, schema, table):
    return psql(
        f"SELECT string_agg(n, ',' ORDER BY n) FROM ("
        f"SELECT indexname AS n FROM pg_indexes WHERE schemaname = '{schema}' AND tablename = '{table}' "
        f"UNION ALL SELECT conname FROM pg_constraint WHERE conrelid = '{schema}.\"{table}\"'::regclass "
        f"UNION ALL SELECT c.relname FROM pg_class c JOIN pg_namespace s ON s.oid = c.relnamespace "
        f"WHERE s.nspname = '{schema}' AND c.relkind = 'S') x")


@pytest.mark.parametrize("name", ["roads", "r" * 60])
def test_replaced_table_has_the_names_of_a_fresh_load(pg, psql, schema, tmp_path, name):
    make_layer(tmp_path / f"{name}.shp", 4, "ESRI Shapefile")
    db = ShapefileDatabase(tmp_path / f"{name}.shp")
    fresh = schema + "_fresh"
    psql(f"DROP SCHEMA IF EXISTS {fresh} CASCADE; CREATE SCHEMA {fresh}")
    try:
        ogr2ogr("-f", "PostgreSQL", pgserver.gdal_connection_text(pg), str(tmp_path / f"{name}.shp"),
                "-lco", f"SCHEMA={fresh}", "-nlt", "PROMOTE_TO_MULTI")
        points_table(psql, schema, name, 2)
        db.shp2pg(pg, schema=schema, overwrite=True)
        expected = _object_names(psql, fresh, name)
        assert _object_names(psql, schema, name) == expected
        assert psql(f'SELECT count(*) FROM {schema}."{name}"') == "4"
        # The sequence still feeds the table.
        psql(f'INSERT INTO {schema}."{name}" (id) VALUES (99)')
    finally:
        psql(f"DROP SCHEMA {fresh} CASCADE")


# --- files --------------------------------------------------------------------

def _old_output(directory: Path, ext: str, driver: str) -> dict:
    directory.mkdir(exist_ok=True)
    make_layer(directory / f"big{ext}", 7, driver)
    return tree_digest(directory)


@pytest.mark.parametrize("method, out_ext, out_driver", [
    ("shp2tab", ".tab", "MapInfo File"), ("pg2shp", ".shp", "ESRI Shapefile")])
def test_failed_file_layer_keeps_the_old_output(pg, psql, schema, big_copy, tmp_path, method,
                                                out_ext, out_driver):
    out = tmp_path / "out"
    before = _old_output(out, out_ext, out_driver)
    if method == "shp2tab":
        damage(big_copy)
        with pytest.raises(RuntimeError):
            ShapefileDatabase(big_copy).shp2tab(out)
    else:
        big_table(psql, schema)
        killer = Terminator(pg, "FETCH%")
        killer.start()
        with pytest.raises(RuntimeError):
            ShapefileDatabase(out).pg2shp(pg, schema=schema)
        killer.join()
        assert killer.killed
    assert tree_digest(out) == before
    assert temp_entries(out) == []


@pytest.fixture
def small_fs(tmp_path):
    import os
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mnt = tmp_path / "small"
    mnt.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mnt)]).returncode:
        pytest.skip("cannot mount a tmpfs here")
    yield mnt
    subprocess.run(["umount", str(mnt)], check=True)


def test_full_disk_keeps_the_old_output(big, small_fs):
    before = _old_output(small_fs, ".tab", "MapInfo File")
    with pytest.raises((RuntimeError, OSError)):
        ShapefileDatabase(big).shp2tab(small_fs)
    assert tree_digest(small_fs) == before
    assert temp_entries(small_fs) == []


def test_gdb2shape_replaces_only_complete_layers(ne_gdb, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "cities.stale").write_text("x")
    GeoFileDatabase(ne_gdb).gdb2shape(out, tables=["cities"])
    assert not (out / "cities.stale").exists()
    assert layers(out / "cities.shp") == {"cities": 243}
    assert temp_entries(out) == []


# --- geodatabases -------------------------------------------------------------

@pytest.mark.parametrize("method", ["pg2gdb", "pg2gdbf"])
def test_failed_geodatabase_replacement_keeps_the_old_one(pg, psql, schema, tmp_path, big,
                                                          method):
    target = tmp_path / "out.gdb"

    def export(*tables):
        db = GeoFileDatabase(target, "create")
        if method == "pg2gdb":
            db.pg2gdb(pg, schema=schema)
        else:
            db.pg2gdbf(pg, {"fd": list(tables)}, schema=schema)

    points_table(psql, schema, "a", 3)
    export("a")
    before = tree_digest(target)
    big_table(psql, schema)
    killer = Terminator(pg, "FETCH%")
    killer.start()
    with pytest.raises(RuntimeError):
        export("a", "big")
    killer.join()
    assert killer.killed
    assert tree_digest(target) == before
    assert temp_entries(tmp_path) == []
    # Success replaces it.
    psql(f"DROP TABLE {schema}.big")
    points_table(psql, schema, "b", 2)
    export("a", "b")
    assert layers(target) == {"a": 3, "b": 2}
    assert temp_entries(tmp_path) == []


def test_racing_geodatabase_replacements_leave_a_readable_one(pg, psql, schema, tmp_path, big):
    for t in "abcd":
        points_table(psql, schema, t, 50)
    target = tmp_path / "race.gdb"
    for _ in range(6):
        errors = []

        def run():
            try:
                GeoFileDatabase(target, "create").pg2gdb(pg, schema=schema)
            except Exception as exc:  # pragma: no cover - reported below
                errors.append(exc)

        ts = [threading.Thread(target=run) for _ in range(2)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        assert errors == []
        assert layers(target) == {t: 50 for t in "abcd"}
    assert temp_entries(tmp_path) == []
