"""The voriviv command, run as a subprocess against the throwaway server.

Reports are compared with what psql and ogrinfo read back.
"""
from __future__ import annotations

import itertools
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import pgserver
from conftest import ogr2ogr
from filedb_twins import layers, make_layer, points_table

VORIVIV = str(Path(sys.executable).with_name("voriviv"))
_counter = itertools.count()


def run(*args, env=None, timeout=120):
    return subprocess.run([VORIVIV, *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=timeout)


def run_json(*args, **kw):
    out = run(*args, "--json", **kw)
    return out, (json.loads(out.stdout) if out.stdout.strip() else None)


@pytest.fixture
def schema(psql):
    name = f"c{os.getpid()}_{next(_counter)}"
    psql(f'CREATE SCHEMA "{name}"')
    yield name
    psql(f'DROP SCHEMA "{name}" CASCADE')


@pytest.fixture(scope="session")
def files(tmp_path_factory, naturalearth):
    """A Shapefile directory and a TAB directory, written by ogr2ogr."""
    root = tmp_path_factory.mktemp("clifiles")
    (root / "shp").mkdir()
    (root / "tab").mkdir()
    ogr2ogr(str(root / "shp" / "cities.shp"), str(naturalearth / "naturalearth_cities.shp"))
    make_layer(root / "shp" / "pts.shp", 700, "ESRI Shapefile")
    ogr2ogr("-f", "MapInfo File", str(root / "tab" / "cities.tab"),
            str(naturalearth / "naturalearth_cities.shp"))
    make_layer(root / "tab" / "pts.tab", 500, "MapInfo File")
    return root


def count(psql, table):
    return int(psql(f"SELECT count(*) FROM {table}"))


def check_report(report, expect_status="ok"):
    assert report["status"] == expect_status
    assert report["exit_code"] == {"ok": 0, "failed": 1, "interrupted": 130}[expect_status]
    for layer in report["layers"]:
        assert set(layer) >= {"layer", "source", "target", "features_read", "features_written",
                              "seconds", "warnings", "error"}
    return {l["layer"]: l for l in report["layers"]}


# --- every conversion ---------------------------------------------------------------

def test_gdb2pg_and_back_to_gdb_and_shapefiles(ne_gdb, pg, pg_text, psql, schema, tmp_path):
    out, report = run_json("gdb2pg", ne_gdb, pg_text, "--schema", schema, "--threads", 2)
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""
    by = check_report(report)
    assert "password=***" in report["target"]
    assert f"password={pg['password']}" not in out.stdout
    for name in ("cities", "countries"):
        assert by[name]["target"] == f"{schema}.{name}"
        assert by[name]["features_written"] == by[name]["features_read"] \
            == count(psql, f"{schema}.{name}")

    # The URL form of the same database, for the way back.
    url = "postgresql://{user}:{password}@{host}:{port}/{dbname}".format(**pg)
    out, report = run_json("pg2gdb", url, tmp_path / "back.gdb", "--schema", schema)
    assert out.returncode == 0, out.stderr
    by = check_report(report)
    assert {k: v["features_written"] for k, v in by.items()} == layers(tmp_path / "back.gdb") \
        == {"cities": 243, "countries": 177}

    out, report = run_json("pg2gdbf", pg_text, tmp_path / "f.gdb", "--schema", schema,
                           "--dataset", "places=cities", "--dataset", "admin=countries")
    assert out.returncode == 0, out.stderr
    by = check_report(report)
    assert by["cities"]["target"] == "places/cities"
    assert {k: v["features_written"] for k, v in by.items()} == layers(tmp_path / "f.gdb")

    out, report = run_json("gdb2shape", ne_gdb, tmp_path / "shp", "--tables", "countries")
    assert out.returncode == 0, out.stderr
    by = check_report(report)
    assert list(by) == ["countries"]
    assert layers(tmp_path / "shp") == {"countries": by["countries"]["features_written"]} \
        == {"countries": 177}
    # pop_est's field is made wide enough: no value is reported as cut.
    assert by["countries"]["warnings"] == []
    # A warning of GDAL's Shapefile writer (a field name cut to 10 characters) is kept.
    long_gdb = tmp_path / "long.gdb"
    ogr2ogr("-f", "OpenFileGDB", str(long_gdb), str(ne_gdb), "-sql",
            "SELECT name AS a_rather_long_field_name FROM cities", "-nln", "cities")
    out, report = run_json("gdb2shape", long_gdb, tmp_path / "shp_long")
    assert out.returncode == 0, out.stderr
    assert any("Normalized/laundered field name" in w
               for w in check_report(report)["cities"]["warnings"])


@pytest.mark.parametrize("fmt,other", [("shp", "tab"), ("tab", "shp")])
def test_file_conversions(fmt, other, files, pg, psql, schema, tmp_path):
    env = pgserver.libpq_env(pg)
    src = files / fmt
    # Connection entirely from the PG* environment.
    out, report = run_json(f"{fmt}2pg", src, "PG:", "--schema", schema, env=env)
    assert out.returncode == 0, out.stderr
    by = check_report(report)
    assert {k: v["features_written"] for k, v in by.items()} == layers(src)
    for name, layer in by.items():
        assert layer["source"] == str(src / f"{name}.{fmt}")
        assert layer["features_written"] == count(psql, layer["target"])

    back = tmp_path / "back"
    out, report = run_json(f"pg2{fmt}", "host={host} port={port} dbname={dbname} "
                           "user={user} password={password}".format(**pg), back,
                           "--schema", schema)
    assert out.returncode == 0, out.stderr
    by = check_report(report)
    assert {k: v["features_written"] for k, v in by.items()} == layers(back) == layers(src)

    conv = tmp_path / "conv"
    out, report = run_json(f"{fmt}2{other}", src, conv)
    assert out.returncode == 0, out.stderr
    by = check_report(report)
    assert {k: v["features_written"] for k, v in by.items()} == layers(conv) == layers(src)


def test_plain_output_is_a_table_and_layers_lists(ne_gdb, files, pg, pg_text, psql, schema):
    out = run("gdb2pg", ne_gdb, pg_text, "--schema", schema)
    assert out.returncode == 0 and out.stderr == ""
    lines = out.stdout.splitlines()
    assert lines[0].startswith(f"gdb2pg {ne_gdb} -> PG:") and "password=***" in lines[0]
    assert lines[1].split()[:3] == ["cities", "done", "243"]
    assert lines[-1].startswith("  total: 2/2 layers, 420 features")

    assert run("layers", ne_gdb).stdout.split() == ["cities", "countries"]
    assert sorted(run("layers", pg_text, "--schema", schema).stdout.split()) == ["cities",
                                                                         "countries"]
    listing = json.loads(run("layers", files / "tab", "--json").stdout)
    assert [l["name"] for l in listing["layers"]] == ["cities", "pts"]


# --- failures, usage errors, interrupts ---------------------------------------------

def test_a_failing_layer_exits_1_and_the_others_arrive(ne_gdb, pg_text, psql, schema):
    psql(f"CREATE TABLE {schema}.cities (id int)")
    out, report = run_json("gdb2pg", ne_gdb, pg_text, "--schema", schema)
    assert out.returncode == 1
    by = check_report(report, "failed")
    assert by["cities"]["status"] == "failed" and "already exists" in by["cities"]["error"]
    assert by["cities"]["features_written"] is None
    assert by["countries"]["status"] == "finished"
    assert by["countries"]["features_written"] == count(psql, f"{schema}.countries") == 177
    assert count(psql, f"{schema}.cities") == 0  # left as it was
    assert out.stderr.splitlines() == [f"voriviv: layer cities failed: {by['cities']['error']}"]


def test_errors_are_one_line_without_traceback_unless_debug(ne_gdb, tmp_path):
    bad = "PG:host=127.0.0.1 port=1 dbname=x user=x password=x connect_timeout=2"
    out = run("gdb2pg", ne_gdb, bad)
    assert out.returncode == 1
    assert len(out.stderr.splitlines()) == 1 and out.stderr.startswith("voriviv: error: ")
    out = run("gdb2pg", ne_gdb, bad, "--debug")
    assert out.returncode == 1 and "Traceback" in out.stderr


@pytest.mark.parametrize("args", [
    [],
    ["gdb2pg"],
    ["gdb2pg", "missing.gdb", "PG:dbname=x"],
    ["gdb2pg", "{gdb}", "not a connection"],
    ["gdb2pg", "{gdb}", "PG:dbname=x", "--threads", "0"],
    ["pg2gdbf", "PG:dbname=x", "out.gdb"],
    ["pg2gdbf", "PG:dbname=x", "out.gdb", "--dataset", "nodataset"],
    ["nosuchcommand"],
])
def test_usage_errors_exit_2_with_one_line(args, ne_gdb, tmp_path):
    out = subprocess.run([VORIVIV, *[a.format(gdb=ne_gdb) for a in args]], capture_output=True,
                         text=True, cwd=tmp_path)
    assert out.returncode == 2
    assert len(out.stderr.splitlines()) == 1, out.stderr
    assert out.stderr.startswith("voriviv") and "error" in out.stderr
    assert out.stdout == ""
    assert list(tmp_path.iterdir()) == []


def test_sigint_during_a_long_conversion_exits_130(pg, psql, schema, tmp_path):
    points_table(psql, schema, "big", 400000)
    points_table(psql, schema, "later", 5)
    conn = pgserver.gdal_connection_text(pg)
    proc = subprocess.Popen([VORIVIV, "pg2shp", conn, tmp_path, "--schema", schema,
                             "--tables", "big,later", "--threads", "1", "--json", "--debug"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # --debug logs the translation options as the first layer's translation starts.
    seen = []
    for line in proc.stderr:
        seen.append(line)
        if "big: GDAL translation options" in line:
            break
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=30)
    stderr = "".join(seen) + stderr
    assert proc.returncode == 130, stderr
    assert stderr.splitlines()[-1] == "voriviv: interrupted"
    report = json.loads(stdout)
    assert report["status"] == "interrupted"
    # PostgreSQL lists the two tables in either order: "later" either ran to
    # its end before "big", or never started.
    layers = {l["layer"]: l for l in report["layers"]}
    assert layers["big"]["status"] != "finished" and layers["big"]["features_read"] < 400000
    if "later" in layers:
        assert [l["layer"] for l in report["layers"]] == ["later", "big"]
        assert layers["later"]["status"] == "finished"
    else:
        assert not (tmp_path / "later.shp").exists()


# --- the live display ----------------------------------------------------------------

@pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux not installed")
def test_live_display_in_a_terminal(pg, psql, schema, tmp_path):
    points_table(psql, schema, "big", 300000)
    points_table(psql, schema, "small", 1000)
    conn = pgserver.gdal_connection_text(pg)
    session = f"voriviv{os.getpid()}"
    command = (f"{VORIVIV} pg2shp '{conn}' {tmp_path / 'out'} --schema {schema} "
               f"--threads 2; echo EXIT=$?; sleep 60")
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "120", "-y", "20",
                    command], check=True)

    def screen():
        return subprocess.run(["tmux", "capture-pane", "-p", "-t", session],
                              capture_output=True, text=True).stdout

    try:
        live = final = ""
        deadline = time.monotonic() + 90
        while time.monotonic() < deadline:
            text = screen()
            if "/300,000" in text and "[#" in text:
                live = text
            if "EXIT=" in text:
                final = text
                break
            time.sleep(0.1)
    finally:
        subprocess.run(["tmux", "kill-session", "-t", session], capture_output=True)
    # While running: a bar per running layer and a total line, redrawn in place.
    rows = [line for line in live.splitlines() if line.strip()]
    assert any(line.lstrip().startswith("big ") and "/300,000" in line for line in rows), live
    assert sum(line.lstrip().startswith("total:") for line in rows) == 1, live
    # At the end: one line per layer, the total, the exit status; nothing left over.
    rows = [line.strip() for line in final.splitlines() if line.strip()]
    assert rows[0].startswith(f"pg2shp PG:") and "password=***" in rows[0]
    assert sorted(r.split()[:3] for r in rows[1:3]) == [["big", "done", "300,000"],
                                                        ["small", "done", "1,000"]]
    assert rows[3].startswith("total: 2/2 layers, 301,000 features")
    assert rows[4] == "EXIT=0"
    assert len(rows) == 5
    assert layers(tmp_path / "out") == {"big": 300000, "small": 1000}


# --- connection texts -----------------------------------------------------------------

@pytest.mark.parametrize("typed,gdal", [
    ("PG:host=db dbname=gis", "PG:host=db dbname=gis"),
    ("host=db dbname=gis", "PG:host=db dbname=gis"),
    ("postgresql://", "PG:"),
    ("postgres://etl@db/gis", "PG:user=etl dbname=gis host=db"),
    ("postgresql://e%40tl:p%20w'x@db:6543/my%2Fdb?sslmode=require",
     r"PG:user=e@tl password='p w\'x' dbname=my/db host=db port=6543 sslmode=require"),
    ("postgresql://[::1]:5433,db2/gis", "PG:dbname=gis host=::1,db2 port=5433,"),
])
def test_connection_forms(typed, gdal):
    from voriviv.cli import connection_text
    assert connection_text(typed) == gdal


def test_schema_restriction_and_masking_keep_quoted_values_whole():
    from voriviv.connection import with_schema
    from voriviv.report import mask_secrets
    text = r"PG:host=db password='a schemas=x \' b' schemas=old dbname=gis"
    # libpq's reading, in libpq's order of parameters.
    assert with_schema(text, "new one") == (r"PG:password='a schemas=x \' b' dbname=gis "
                                           "host=db schemas='new one'")
    assert mask_secrets(text) == "PG:host=db password=*** schemas=old dbname=gis"
    assert mask_secrets("postgresql://etl:secret@db/gis") == "postgresql://etl:***@db/gis"


# --- layer listings ---------------------------------------------------------------------

def names(listing):
    return [layer["name"] for layer in listing["layers"]]


def test_list_layers_of_files_told_or_guessed(ne_gdb, files, tmp_path):
    from voriviv import jobs
    from voriviv.conversions import list_layers
    from voriviv.errors import UsageError
    gdb = list_layers(str(ne_gdb))
    assert gdb["kind"] == "gdb" and names(gdb) == ["cities", "countries"]
    assert names(list_layers(str(ne_gdb), kind="gdb", tables=["countries", "nothing"])) \
        == ["countries"]

    # TAB files and Shapefiles side by side: both by file name, or one kind when told.
    both = tmp_path / "both"
    both.mkdir()
    for f in (files / "shp").glob("cities.*"):
        shutil.copy(f, both)
    for f in (files / "tab").glob("pts.*"):
        shutil.copy(f, both)
    listing = list_layers(str(both))
    assert listing["kind"] == "files"
    assert [(l["name"], Path(l["path"]).name) for l in listing["layers"]] == [
        ("cities", "cities.shp"), ("pts", "pts.tab")]
    assert names(list_layers(str(both), kind="tab")) == ["pts"]
    assert names(list_layers(str(both), kind="shp", tables=["pts"])) == []
    assert names(list_layers(str(files / "shp" / "pts.shp"))) == ["pts"]

    missing = str(tmp_path / "missing.gdb")
    with pytest.raises(UsageError, match="not found"):
        list_layers(missing)
    with pytest.raises(FileNotFoundError):
        list_layers(missing, kind="gdb")
    with pytest.raises(ValueError, match="unknown kind"):
        list_layers(str(both), kind="csv")

    # A job lists what its conversion would take.
    job = jobs.loads(f'[[job]]\nmethod = "gdb2shape"\nsource = "{ne_gdb}"\ntarget = "out"\n'
                     'tables = ["countries", "nothing"]\n').jobs[0]
    assert job.layers() == ["countries"]


def test_list_layers_of_a_schema(pg, pg_text, psql, schema):
    from voriviv import jobs
    from voriviv.conversions import list_layers
    points_table(psql, schema, "a", 3)
    points_table(psql, schema, "b", 3)
    listing = list_layers(pg_text, schema)
    assert listing["kind"] == "postgresql" and listing["schema"] == schema
    assert "password=***" in listing["location"]
    assert f"password={pg['password']}" not in listing["location"]
    assert sorted(names(listing)) == ["a", "b"]
    assert names(list_layers(pg_text, schema, kind="postgresql", tables=["b", "zz"])) == ["b"]
    job = jobs.loads(f'[[job]]\nmethod = "pg2shp"\nsource = "out"\nconnection = "{pg_text}"\n'
                     f'schema = "{schema}"\ntables = ["a"]\n').jobs[0]
    assert job.layers() == ["a"]
