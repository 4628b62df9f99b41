"""Progress events and logging of the conversions.

Event counts are compared with what psql and ogrinfo read back.
"""
from __future__ import annotations

import itertools
import logging
import os
import re
import shutil
import subprocess
import sys
import threading
import warnings

import pytest

from conftest import ogr2ogr, ogrinfo
from filedb_twins import TWINS, layers, make_layer, points_table  # noqa: F401
import voriviv.geofileops.gdb as gdb
from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.progress import LayerEvent

_counter = itertools.count()


@pytest.fixture
def schema(psql):
    name = f"p{os.getpid()}_{next(_counter)}"
    psql(f'CREATE SCHEMA "{name}"')
    yield name
    psql(f'DROP SCHEMA "{name}" CASCADE')


@pytest.fixture
def restore_threads():
    saved = {m: m.GEOFILEOPS_THREADS for m in (gdb,) + tuple(t.module for t in TWINS)}
    yield
    for m, n in saved.items():
        m.GEOFILEOPS_THREADS = n


@pytest.fixture(scope="session")
def four_layer_gdb(tmp_path_factory, ne_gdb, naturalearth):
    """cities (243), countries (177), 3000 points and an empty layer."""
    root = tmp_path_factory.mktemp("four")
    gdb_path = root / "four.gdb"
    subprocess.run(["cp", "-r", str(ne_gdb), str(gdb_path)], check=True)
    pts = make_layer(root / "pts.shp", 3000, "ESRI Shapefile")
    ogr2ogr("-f", "OpenFileGDB", "-update", str(gdb_path), str(pts), "-nln", "pts")
    ogr2ogr("-f", "OpenFileGDB", "-update", str(gdb_path), str(pts), "-nln", "nothing",
            "-where", "id < 0")
    return gdb_path


class Recorder:
    """A progress callable that keeps every event and the thread it came on."""

    def __init__(self):
        self.events = []
        self.threads = set()

    def __call__(self, event):
        self.threads.add(threading.get_ident())
        self.events.append(event)

    def by_layer(self):
        out = {}
        for e in self.events:
            out.setdefault(e.index, []).append(e)
        return out

    def check_lifecycles(self):
        """Each item: started once, then progress, then finished or failed once.
        Returns {layer: last event}."""
        assert self.threads == {threading.get_ident()}
        last = {}
        for index, events in self.by_layer().items():
            kinds = "".join(e.kind[0] for e in events)  # s, p, f(inished)/f(ailed)
            assert re.fullmatch(r"sp*f", kinds), (index, [e.kind for e in events])
            done = [e.done for e in events]
            assert done == sorted(done), done
            for e in events[1:-1]:
                assert e.total is None or e.done <= e.total
            assert len({(e.layer, e.source) for e in events}) == 1
            last[events[0].layer] = events[-1]
        return last


def count(psql, table):
    return int(psql(f"SELECT count(*) FROM {table}"))


@pytest.mark.parametrize("n", [1, 2])
def test_gdb2pg_events_per_layer_match_what_psql_reads(pg_text, four_layer_gdb, psql, schema, n,
                                                       restore_threads):
    gdb.set_geofileops_threads(n)
    rec = Recorder()
    GeoFileDatabase(four_layer_gdb).gdb2pg(pg_text, schema=schema,
                                           progress=rec)
    last = rec.check_lifecycles()
    assert set(last) == {"cities", "countries", "pts", "nothing"}
    for layer, event in last.items():
        assert event.kind == "finished"
        assert event.target == f"{schema}.{layer}" and event.source == layer
        assert event.done == event.total == count(psql, f'{schema}."{layer}"')
        assert event.items == 4 and event.error is None and event.seconds >= 0
    assert last["pts"].done == 3000 and last["nothing"].done == 0
    if n == 1:
        # One thread: each layer ends before the next one starts.
        kinds = [(e.kind, e.index) for e in rec.events if e.kind != "progress"]
        assert kinds == [(k, i) for i in range(4) for k in ("started", "finished")]


@pytest.mark.parametrize("n", [1, 2])
def test_pg2gdb_counts_the_write_even_when_the_table_is_staged_in_memory(pg, 
        psql, schema, tmp_path, n, restore_threads):
    for i, rows in enumerate((2000, 1500, 10)):
        points_table(psql, schema, f"t{i}", rows)
    gdb.set_geofileops_threads(n)
    rec = Recorder()
    out = tmp_path / "out.gdb"
    GeoFileDatabase(out, mode="create").pg2gdb(pg, schema=schema, progress=rec)
    last = rec.check_lifecycles()
    written = layers(out)
    assert written == {"t0": 2000, "t1": 1500, "t2": 10}
    assert {k: e.done for k, e in last.items()} == written
    assert {e.source for e in last.values()} == {f"{schema}.t0", f"{schema}.t1", f"{schema}.t2"}


@pytest.mark.parametrize("twin", TWINS, ids=str)
def test_file_locations_name_the_layer_found_inside_each_file(pg_text, twin, psql, schema, tmp_path,
                                                             restore_threads):
    src = tmp_path / "src"
    src.mkdir()
    make_layer(src / ("a" + twin.ext), 40, twin.driver)
    make_layer(src / ("b" + twin.ext), 7, twin.driver)
    twin.module.set_geofileops_threads(2)
    rec = Recorder()
    twin.call(twin.cls(src), "to_pg", pg_text, schema=schema, progress=rec)
    last = rec.check_lifecycles()
    assert {k: (e.target, e.done) for k, e in last.items()} == {
        "a": (f"{schema}.a", count(psql, f"{schema}.a")),
        "b": (f"{schema}.b", count(psql, f"{schema}.b"))}
    assert last["a"].done == 40 and last["a"].source == str(src / ("a" + twin.ext))

    rec = Recorder()
    out = tmp_path / "out"
    twin.call(twin.cls(src), "to_other", out, progress=rec)
    last = rec.check_lifecycles()
    assert {k: e.done for k, e in last.items()} == layers(out)
    assert last["b"].target == str(out / ("b" + twin.other_ext))


def test_a_failing_layer_gets_a_failed_event_with_its_exception(pg_text, four_layer_gdb, psql, schema,
                                                               restore_threads):
    psql(f'CREATE TABLE "{schema}".cities (id int)')
    gdb.set_geofileops_threads(2)
    rec = Recorder()
    with pytest.raises(RuntimeError) as raised:
        GeoFileDatabase(four_layer_gdb).gdb2pg(pg_text, schema=schema, progress=rec)
    last = rec.check_lifecycles()
    assert last["cities"].kind == "failed"
    assert isinstance(last["cities"].error, RuntimeError)
    assert str(last["cities"].error) == str(raised.value)
    assert "already exists" in str(raised.value)
    assert [k for k, e in last.items() if e.kind == "finished"] == ["countries", "pts", "nothing"]
    assert count(psql, f"{schema}.pts") == last["pts"].done == 3000


class Stop(Exception):
    pass


@pytest.fixture(scope="session")
def big_first_gdb(tmp_path_factory, pg, pg_text):
    """A geodatabase whose first layer (200000 points) takes seconds, then two small ones."""
    import pgserver
    psql = lambda sql: pgserver.psql(pg, sql)  # noqa: E731
    psql("CREATE SCHEMA IF NOT EXISTS bigsrc")
    points_table(psql, "bigsrc", "big", 200000)
    path = tmp_path_factory.mktemp("big") / "big.gdb"
    ogr2ogr("-f", "OpenFileGDB", str(path), pg_text + " schemas=bigsrc", "big")
    for name in ("small1", "small2"):
        ogr2ogr("-f", "OpenFileGDB", "-update", str(path), pg_text + " schemas=bigsrc", "big",
                "-nln", name, "-where", "id <= 10")
    psql("DROP SCHEMA bigsrc CASCADE")
    return path


def test_a_raising_callable_stops_the_remaining_layers(pg_text, big_first_gdb, psql, schema,
                                                       restore_threads):
    gdb.set_geofileops_threads(1)
    seen = []

    def stop_on_progress(event):
        seen.append(event)
        if event.kind == "progress":
            raise Stop("enough")

    with pytest.raises(Stop, match="enough"):
        GeoFileDatabase(big_first_gdb).gdb2pg(pg_text, schema=schema, progress=stop_on_progress)
    # The running translation was cancelled and the queued layers never started.
    assert [(e.kind, e.layer) for e in seen] == [("started", "big"), ("progress", "big")]
    assert seen[-1].done < 200000
    tables = psql(f"SELECT tablename FROM pg_tables WHERE schemaname = '{schema}'").split()
    assert set(tables) <= {"big"}
    if tables:
        assert count(psql, f"{schema}.big") < 200000


@pytest.mark.parametrize("existing", [False, True], ids=["new", "update"])
def test_a_raising_callable_cancels_a_running_translation(pg, psql, schema, tmp_path,
                                                          big_first_gdb, existing,
                                                          restore_threads):
    # Large enough that its translation outlasts several polls of the
    # progress board (every 100 ms) even on an idle machine.
    points_table(psql, schema, "huge", 1000000)
    points_table(psql, schema, "later", 5)
    gdb.set_geofileops_threads(1)
    out = tmp_path / "out.gdb"
    if existing:
        shutil.copytree(big_first_gdb, out)
    before = layers(out) if existing else {}
    seen = []

    def stop_on_progress(event):
        seen.append(event)
        if event.kind == "progress":
            raise Stop("cancelled")

    with pytest.raises(Stop):
        GeoFileDatabase(out, mode="create").pg2gdb(
            pg, schema=schema, tables=["huge", "later"], progress=stop_on_progress,
            mode="update" if existing else None)
    # The driver lists the two tables in an order of its own (it varies with
    # the schema name), so the small one may run to its end first. The call
    # stops at the first progress event: nothing is reported after it and no
    # layer starts after it.
    started = [e.layer for e in seen if e.kind == "started"]
    assert [e.kind for e in seen] == ["started", "finished"] * (len(started) - 1) + [
        "started", "progress"]
    assert seen[-1].layer == started[-1]
    if seen[-1].layer == "huge":
        assert seen[-1].done < 1000000
    # The cancelled layer is taken away again; what was there stays.
    finished = {e.layer: e.done for e in seen if e.kind == "finished"}
    assert layers(out) == {**before, **finished}


def test_progress_must_be_callable(four_layer_gdb, tmp_path):
    with pytest.raises(TypeError, match=r"^Argument 'progress' has incorrect type "
                                        r"\(expected callable, got int\)$"):
        GeoFileDatabase(four_layer_gdb).gdb2shape(tmp_path / "out", progress=1)
    assert not (tmp_path / "out").exists()
    for twin in TWINS:
        with pytest.raises(TypeError, match="Argument 'progress'"):
            twin.call(twin.cls(tmp_path), "to_other", tmp_path / "o", progress="x")


def test_layer_events_are_frozen_values():
    e = LayerEvent("progress", 0, 1, "a", "a", "s.a", done=5, total=10)
    assert e.fraction == 0.5
    with pytest.raises(AttributeError):
        e.done = 6


# --- logging -------------------------------------------------------------------

def test_events_and_gdal_warnings_go_to_the_voriviv_logger(four_layer_gdb, tmp_path, caplog,
                                                          restore_threads):
    caplog.set_level(logging.DEBUG, logger="voriviv")
    # A field name GDAL's Shapefile writer cuts to 10 characters, with a warning.
    gdb = tmp_path / "long.gdb"
    subprocess.run(["cp", "-r", str(four_layer_gdb), str(gdb)], check=True)
    ogr2ogr("-f", "OpenFileGDB", "-update", str(gdb), str(four_layer_gdb), "-sql",
            "SELECT name AS a_rather_long_field_name FROM cities", "-nln", "long_names")
    with pytest.warns(RuntimeWarning, match="a_rather_long_field_name"):
        GeoFileDatabase(gdb).gdb2shape(tmp_path / "shp",
                                       tables=["countries", "pts", "long_names"])
    records = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "voriviv"]
    infos = [m for lvl, m in records if lvl == "INFO"]
    assert sorted(infos)[0].startswith(f"countries -> {tmp_path}/shp/countries.shp: 177 features in ")
    assert sorted(infos)[2].startswith(f"pts -> {tmp_path}/shp/pts.shp: 3000 features in ")
    assert ("DEBUG", "pts: GDAL translation options: -f 'ESRI Shapefile' -lco ENCODING=UTF-8 pts") \
        in records
    assert any(lvl == "WARNING" and "a_rather_long_field_name" in m for lvl, m in records)
    assert not any("pop_est" in m for lvl, m in records)


def test_nothing_is_printed_unless_logging_is_configured(four_layer_gdb, tmp_path):
    code = ("import warnings, voriviv.geofileops.gdb as g\n"
            "warnings.simplefilter('ignore')\n"
            f"g.GeoFileDatabase({str(four_layer_gdb)!r}).gdb2shape({str(tmp_path)!r})\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    assert out.stdout == "" and out.stderr == ""


def test_a_python_error_of_an_item_is_the_raised_object(pg, schema, tmp_path):
    # The item's TypeError is read for its event and still raised afterwards.
    rec = Recorder()
    with pytest.raises(TypeError, match="Argument 'table'") as raised:
        GeoFileDatabase(tmp_path / "x.gdb", mode="create").pg2gdbf(
            pg, {"ds": [1]}, schema=schema, progress=rec)
    last = rec.check_lifecycles()
    assert last[""].kind == "failed" and last[""].error is raised.value
