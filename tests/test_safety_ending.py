"""Every call ends: a silent server times out, Ctrl-C interrupts a stalled
connect and running loads, racing loads fail with our own message."""
from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pgserver
from conftest import ogr2ogr
from filedb_twins import make_layer, points_table, schema  # noqa: F401
from safety_faults import big_shapefile, leftover_tables, table_digest

from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.geofileops.shp import ShapefileDatabase


@pytest.fixture
def silent_server():
    """A loopback port that accepts connections and never answers."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    yield {"host": "127.0.0.1", "port": s.getsockname()[1], "dbname": "x", "user": "x",
           "password": "x"}
    s.close()


def test_silent_server_times_out(silent_server, tmp_path, ne_gdb):
    start = time.monotonic()
    with pytest.raises(RuntimeError, match="timed out"):
        GeoFileDatabase(ne_gdb).gdb2pg(dict(silent_server, connect_timeout=2))
    with pytest.raises(RuntimeError, match="timed out"):
        GeoFileDatabase(tmp_path / "x.gdb", "create").pg2gdb(dict(silent_server, connect_timeout=2))
    assert time.monotonic() - start < 20
    assert not (tmp_path / "x.gdb").exists()


def _child(code: str, env=None) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)


def test_pgconnect_timeout_applies_to_connection_text(silent_server, tmp_path):
    text = (f"PG:host=127.0.0.1 port={silent_server['port']} dbname=x user=x password=x")
    child = _child(f"""
        from voriviv.geofileops.shp import ShapefileDatabase
        try:
            ShapefileDatabase({str(tmp_path)!r}).pg2shp({text!r})
        except RuntimeError as e:
            print("timed out" in str(e))
        """, env=dict(os.environ, PGCONNECT_TIMEOUT="2"))
    out, err = child.communicate(timeout=30)
    assert out.strip() == "True", err


def _interrupt(child: subprocess.Popen, when) -> float:
    """Sends SIGINT once when() holds; returns the seconds until the child ended."""
    assert child.stdout.readline().strip() == "ready"
    deadline = time.monotonic() + 60
    while not when() and time.monotonic() < deadline:
        time.sleep(0.05)
    start = time.monotonic()
    child.send_signal(signal.SIGINT)
    child.wait(timeout=60)
    return time.monotonic() - start


CHILD = """
    import sys
    from pathlib import Path
    from voriviv.geofileops.gdb import GeoFileDatabase
    print("ready", flush=True)
    try:
        {call}
    except KeyboardInterrupt:
        sys.exit(42)
    sys.exit(0)
    """


def test_ctrl_c_interrupts_a_stalled_connect(silent_server, tmp_path):
    child = _child(CHILD.format(
        call=f"GeoFileDatabase(Path({str(tmp_path / 'x.gdb')!r}), 'create').pg2gdb({silent_server!r})"))
    started = time.monotonic()
    elapsed = _interrupt(child, lambda: time.monotonic() - started > 1.5)
    assert child.returncode == 42, child.stderr.read()
    assert elapsed < 5
    assert not (tmp_path / "x.gdb").exists()


def test_ctrl_c_stops_running_loads(pg, psql, schema, tmp_path):
    shp = big_shapefile(pg, tmp_path)
    gdb = tmp_path / "two.gdb"
    ogr2ogr("-f", "OpenFileGDB", str(gdb), str(shp), "-nln", "a")
    ogr2ogr("-f", "OpenFileGDB", "-update", str(gdb), str(shp), "-nln", "b")
    points_table(psql, schema, "a", 100)
    before = table_digest(psql, schema, "a")
    child = _child(CHILD.format(call=f"GeoFileDatabase(Path({str(gdb)!r})).gdb2pg("
                                     f"{pg!r}, schema={schema!r}, overwrite=True)"))
    loading = lambda: psql("SELECT count(*) FROM pg_stat_activity "  # noqa: E731
                           "WHERE query LIKE 'COPY %vv_tmp_%'") != "0"
    elapsed = _interrupt(child, loading)
    assert child.returncode == 42, child.stderr.read()
    print(f"ended {elapsed:.2f} s after SIGINT")
    assert elapsed < 5
    assert table_digest(psql, schema, "a") == before
    assert psql(f"SELECT count(*) FROM pg_tables WHERE schemaname = '{schema}'") == "1"
    assert leftover_tables(psql) == ""


def test_racing_loads_into_one_table_report_already_exists(pg, psql, schema, tmp_path):
    make_layer(tmp_path / "race.shp", 200, "ESRI Shapefile")
    for _ in range(5):
        psql(f"DROP TABLE IF EXISTS {schema}.race")
        errors = []

        def load():
            try:
                ShapefileDatabase(tmp_path / "race.shp").shp2pg(pg, schema=schema)
            except RuntimeError as exc:
                errors.append(str(exc))

        ts = [threading.Thread(target=load) for _ in range(3)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        assert len(errors) == 2
        assert all(f"Table {schema}.race already exists" in e for e in errors), errors
        assert psql(f"SELECT count(*) FROM {schema}.race") == "200"
    assert leftover_tables(psql) == ""


def test_every_failed_layer_is_reported(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    for name in ("a", "b", "c"):
        make_layer(src / f"{name}.shp", 2, "ESRI Shapefile")
    out = tmp_path / "out"
    out.mkdir()
    for name in ("a", "b"):  # a directory where a file goes: those layers fail
        (out / f"{name}.tab").mkdir()
    with pytest.raises(OSError) as exc:
        ShapefileDatabase(src).shp2tab(out)
    others = exc.value.other_failures
    assert len(others) == 1 and isinstance(others[0], OSError)
    if sys.version_info >= (3, 11):
        assert exc.value.__notes__ == [f"Also failed: {type(others[0]).__name__}: {others[0]}"]
    assert (out / "c.tab").is_file()
