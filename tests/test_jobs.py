"""Job files run with `voriviv run`, here and on a Dask LocalCluster.

Results are read back with psql and ogrinfo; the reports of both ways are
compared with each other.
"""
from __future__ import annotations

import itertools
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import pgserver
from conftest import ogrinfo, ogr2ogr
from filedb_twins import layers, make_layer, points_table

distributed = pytest.importorskip("distributed")

from voriviv import jobs  # noqa: E402

VORIVIV = str(Path(sys.executable).with_name("voriviv"))
_counter = itertools.count()


@pytest.fixture(scope="module")
def cluster():
    """One LocalCluster of 2 single-threaded worker processes for the module."""
    cl, client = jobs.local_cluster(2)
    try:
        yield client
    finally:
        client.close()
        cl.close()


@pytest.fixture(scope="module")
def sources(tmp_path_factory, ne_gdb, naturalearth):
    """Three sources: a geodatabase (3 layers), Shapefiles (3), TAB files (2)."""
    root = tmp_path_factory.mktemp("jobsrc")
    gdb = root / "three.gdb"
    subprocess.run(["cp", "-r", str(ne_gdb), str(gdb)], check=True)
    pts = make_layer(root / "pts.shp", 1500, "ESRI Shapefile")
    ogr2ogr("-f", "OpenFileGDB", "-update", str(gdb), str(pts), "-nln", "pts")
    (root / "shp").mkdir()
    ogr2ogr(str(root / "shp" / "cities.shp"), str(naturalearth / "naturalearth_cities.shp"))
    make_layer(root / "shp" / "a.shp", 300, "ESRI Shapefile")
    make_layer(root / "shp" / "b.shp", 40, "ESRI Shapefile", start=7)
    (root / "tab").mkdir()
    make_layer(root / "tab" / "c.tab", 250, "MapInfo File")
    make_layer(root / "tab" / "d.tab", 12, "MapInfo File", start=3)
    return root


@pytest.fixture
def tag(psql):
    """A unique suffix for the schemas of one run; the schemas are dropped afterwards."""
    made = []

    def new():
        t = f"j{os.getpid()}_{next(_counter)}"
        made.append(t)
        for s in ("a", "b", "c"):
            psql(f"CREATE SCHEMA {s}_{t}")
        return t

    yield new
    for t in made:
        psql(f"DROP SCHEMA IF EXISTS a_{t}, b_{t}, c_{t} CASCADE")


JOBS = """
[[job]]
method = "gdb2pg"
source = "{src}/three.gdb"
target = {{ env = "VORIVIV_JOBS_DSN" }}
schema = "a_{tag}"

[[job]]
method = "shp2pg"
source = "{src}/shp"
target = {{ env = "VORIVIV_JOBS_DSN" }}
schema = "b_{tag}"

[[job]]
method = "tab2pg"
name = "tabs"
source = "{src}/tab"
target = {{ env = "VORIVIV_JOBS_DSN" }}
schema = "c_{tag}"

[[job]]
method = "gdb2shape"
source = "{src}/three.gdb"
target = "out_{tag}/three_shp"
tables = ["pts", "countries", "no_such_layer"]

[[job]]
method = "shp2tab"
source = "{src}/shp"
target = "out_{tag}/shp_tab"

# Reads what job 1 writes: runs after it, also on Dask.
[[job]]
method = "pg2gdb"
connection = {{ env = "VORIVIV_JOBS_DSN" }}
source = "out_{tag}/back.gdb"
schema = "a_{tag}"

[[job]]
method = "pg2shp"
connection = {{ env = "VORIVIV_JOBS_DSN" }}
source = "out_{tag}/back_shp"
schema = "b_{tag}"
"""


def write_jobs(tmp_path, sources, tag, text=JOBS):
    path = tmp_path / f"jobs_{tag}.toml"
    path.write_text(text.format(src=sources, tag=tag))
    return path


def run(*args, pg, timeout=300, **kw):
    env = dict(os.environ, VORIVIV_JOBS_DSN=pgserver.gdal_connection_text(pg))
    return subprocess.run([VORIVIV, *map(str, args)], capture_output=True, text=True, env=env,
                          timeout=timeout, **kw)


def tables(psql, schema):
    names = psql(f"SELECT tablename FROM pg_tables WHERE schemaname = '{schema}'").split()
    return {n: int(psql(f'SELECT count(*) FROM {schema}."{n}"')) for n in names}


def outcome(psql, tmp_path, tag):
    """Everything a run wrote, read back by psql and ogrinfo."""
    out = tmp_path / f"out_{tag}"
    return {"a": tables(psql, f"a_{tag}"), "b": tables(psql, f"b_{tag}"),
            "c": tables(psql, f"c_{tag}"),
            **{d: layers(out / d) for d in ("three_shp", "shp_tab", "back.gdb", "back_shp")}}


def comparable(report, tag):
    """A report without times and the runner's description, the run's tag removed."""
    report = json.loads(json.dumps(report).replace(tag, "TAG"))
    for key in ("seconds", "threads", "scheduler", "jobs_file"):
        report.pop(key)
    for job in report["jobs"]:
        job.pop("seconds")
        for layer in job["layers"]:
            layer.pop("seconds")
        # GDAL lists a schema's tables in the order they were created, which
        # differs between runs that load in parallel.
        if job["command"].startswith("pg2"):
            job["layers"].sort(key=lambda layer: layer["layer"])
    return report


def test_a_job_file_here_and_on_a_local_cluster_gives_the_same(sources, tag, psql, pg, tmp_path,
                                                                cluster):
    reports = {}
    results = {}
    for how in ("here", "dask"):
        t = tag()
        path = write_jobs(tmp_path, sources, t)
        extra = ["--threads", "2"] if how == "here" else ["--scheduler",
                                                          cluster.scheduler.address]
        out = run("run", path, "--json", *extra, pg=pg, cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        assert out.stderr == ""
        reports[how] = json.loads(out.stdout)
        results[how] = outcome(psql, tmp_path, t)
        reports[how + "_tag"] = t

    expect = {"a": {"cities": 243, "countries": 177, "pts": 1500},
              "b": {"cities": 243, "a": 300, "b": 40}, "c": {"c": 250, "d": 12},
              "three_shp": {"pts": 1500, "countries": 177},
              "shp_tab": {"cities": 243, "a": 300, "b": 40},
              "back.gdb": {"cities": 243, "countries": 177, "pts": 1500},
              "back_shp": {"cities": 243, "a": 300, "b": 40}}
    assert results["here"] == results["dask"] == expect

    here, dask = reports["here"], reports["dask"]
    assert here["scheduler"] is None and here["threads"] == 2
    assert dask["scheduler"] == cluster.scheduler.address and dask["threads"] is None
    assert "password=***" in out.stdout and f"password={pg['password']}" not in out.stdout
    a = comparable(here, reports["here_tag"])
    b = comparable(dask, reports["dask_tag"])
    for job_here, job_dask in zip(a["jobs"], b["jobs"]):
        assert job_here == job_dask
    assert a == b
    assert a["status"] == "ok" and a["exit_code"] == 0
    assert [j["name"] for j in a["jobs"]] == ["three.gdb#1", "shp#2", "tabs", "three.gdb#4",
                                              "shp#5", "back.gdb", "back_shp"]
    # Per layer: the counts GDAL reported are what psql and ogrinfo read back.
    by_job = {j["name"]: {l["layer"]: l["features_written"] for l in j["layers"]}
              for j in a["jobs"]}
    assert by_job["three.gdb#1"] == expect["a"] and by_job["back.gdb"] == expect["back.gdb"]
    assert by_job["tabs"] == expect["c"] and by_job["three.gdb#4"] == expect["three_shp"]
    assert a["features_written"] == sum(sum(v.values()) for v in expect.values())


@pytest.mark.parametrize("how", ["here", "dask"])
def test_a_failing_unit_does_not_stop_the_others(how, sources, tag, psql, pg, tmp_path,
                                                 cluster):
    t = tag()
    psql(f"CREATE TABLE a_{t}.countries (id int)")    # no overwrite: this layer fails
    path = write_jobs(tmp_path, sources, t)
    extra = [] if how == "here" else ["--scheduler", cluster.scheduler.address]
    out = run("run", path, "--json", *extra, pg=pg, cwd=tmp_path)
    assert out.returncode == 1
    report = json.loads(out.stdout)
    assert report["status"] == "failed" and report["exit_code"] == 1
    first = report["jobs"][0]
    assert first["status"] == "failed"
    by = {l["layer"]: l for l in first["layers"]}
    assert by["countries"]["status"] == "failed" and "already exists" in by["countries"]["error"]
    assert by["cities"]["status"] == by["pts"]["status"] == "finished"
    assert [j["status"] for j in report["jobs"][1:]] == ["ok"] * 6
    assert tables(psql, f"a_{t}") == {"cities": 243, "countries": 0, "pts": 1500}
    assert tables(psql, f"c_{t}") == {"c": 250, "d": 12}
    assert layers(tmp_path / f"out_{t}" / "back.gdb") == {"cities": 243, "countries": 0,
                                                         "pts": 1500}
    assert out.stderr.splitlines() == [
        f"voriviv: three.gdb#1: layer countries failed: {by['countries']['error']}"]


def test_the_python_api_on_a_client(sources, tag, psql, pg, tmp_path, cluster, monkeypatch):
    t = tag()
    monkeypatch.setenv("VORIVIV_JOBS_DSN", pgserver.gdal_connection_text(pg))
    path = write_jobs(tmp_path, sources, t, JOBS.split("\n[[job]]\nmethod = \"shp2pg\"")[0])
    seen = []
    job_file = jobs.load(path)
    assert [j.method for j in job_file] == ["gdb2pg"]
    assert job_file.jobs[0].source == str(sources / "three.gdb")
    report = jobs.run(job_file, cluster, progress=seen.append)
    assert report.status == "ok"
    assert tables(psql, f"a_{t}") == {"cities": 243, "countries": 177, "pts": 1500}
    # Events came back from the workers, one layer after another per unit.
    assert {e.layer for e in seen} == {"cities", "countries", "pts"}
    assert {e.kind for e in seen} >= {"started", "finished"}


def test_plain_output_names_each_layer_by_its_job(sources, tag, psql, pg, tmp_path):
    t = tag()
    path = write_jobs(tmp_path, sources, t, JOBS.split("\n[[job]]\nmethod = \"gdb2shape\"")[0])
    out = run("run", path, "--threads", "1", pg=pg, cwd=tmp_path)
    assert out.returncode == 0 and out.stderr == ""
    lines = out.stdout.splitlines()
    assert lines[0] == f"run {path}: 3 jobs here, 1 threads"
    assert [line.split()[:3] for line in lines[1:-1]] == [
        ["three.gdb/cities", "done", "243"], ["three.gdb/countries", "done", "177"],
        ["three.gdb/pts", "done", "1,500"], ["shp/a", "done", "300"], ["shp/b", "done", "40"],
        ["shp/cities", "done", "243"], ["tabs/c", "done", "250"], ["tabs/d", "done", "12"]]
    assert lines[-1].startswith("  total: 8/8 layers, 2,765 features")


# --- bad job files -------------------------------------------------------------------

GOOD = """
[[job]]
method = "gdb2pg"
source = "{src}/three.gdb"
target = {{ env = "VORIVIV_JOBS_DSN" }}
schema = "a_{tag}"
"""


@pytest.mark.parametrize("second,message", [
    ('method = "gdb2pgg"\nsource = "x"', "job 2 (gdb2pgg): unknown method 'gdb2pgg'"),
    ('method = "gdb2pg"\nsource = "{src}/three.gdb"\ntarget = "PG:"\ntabels = ["a"]',
     "job 2 (gdb2pg): unknown key 'tabels'"),
    ('method = "gdb2pg"\nsource = "{src}/nothing.gdb"\ntarget = "PG:"',
     "job 2 (gdb2pg): source not found: "),
    ('method = "pg2shp"\nsource = "out"\ntarget = "PG:"',
     "job 2 (pg2shp): unknown key 'target'"),
    ('method = "pg2shp"\nsource = "out"', "job 2 (pg2shp): 'connection' is missing"),
    ('method = "gdb2pg"\nsource = "{src}/three.gdb"\ntarget = {{ env = "NOT_SET_ANYWHERE" }}',
     "job 2 (gdb2pg): 'target': environment variable NOT_SET_ANYWHERE is not set"),
    ('method = "gdb2pg"\nsource = "{src}/three.gdb"\ntarget = "PG:"\noverwrite = "yes"',
     "job 2 (gdb2pg): 'overwrite' must be true or false"),
    ('method = "pg2gdb"\nsource = "o.gdb"\nconnection = "PG:"\nmode = "replace"',
     "job 2 (pg2gdb): 'mode' must be one of"),
    ('method = "pg2gdbf"\nsource = "o.gdb"\nconnection = "PG:"',
     "job 2 (pg2gdbf): 'feature_mapping' is missing"),
    ('method = "shp2pg"\nsource = "{src}/shp"\ntarget = "/tmp/not a connection"',
     "job 2 (shp2pg): target is not a PostgreSQL connection"),
    ('method = "gdb2pg"\nsource = "{src}/three.gdb"\ntarget = "PG:"\nschema = "x"\n'
     'schema = "y"', "not valid TOML"),
])
def test_a_bad_job_file_is_one_error_and_nothing_runs(second, message, sources, tag, psql, pg,
                                                      tmp_path):
    t = tag()
    path = write_jobs(tmp_path, sources, t, GOOD + "\n[[job]]\n" + second + "\n")
    out = run("run", path, pg=pg, cwd=tmp_path)
    assert out.returncode == 2
    assert out.stdout == ""
    assert len(out.stderr.splitlines()) == 1, out.stderr
    assert out.stderr.startswith(f"voriviv: error: {path}: ")
    assert message in out.stderr
    assert tables(psql, f"a_{t}") == {}
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name]


def test_job_file_shape_errors(tmp_path):
    for text, message in [("", "no [[job]] tables"), ("[job]\nmethod = 'gdb2pg'", "no [[job]]"),
                          ("x = 1\n[[job]]\nmethod = 'gdb2pg'", "unknown top-level key 'x'"),
                          ("[[job]]\nsource = 'a'", "job 1: 'method' is missing")]:
        with pytest.raises(jobs.JobFileError, match=message.replace("[", r"\[")):
            jobs.loads(text, name="f.toml")
    # A password in an environment variable is never repeated in an error.
    os.environ["VORIVIV_BAD_DSN"] = "secret-password"
    try:
        with pytest.raises(jobs.JobFileError) as raised:
            jobs.loads("[[job]]\nmethod = 'pg2shp'\nsource = 'o'\n"
                       "connection = { env = 'VORIVIV_BAD_DSN' }", check_paths=False)
        assert "secret" not in str(raised.value)
        assert "environment variable VORIVIV_BAD_DSN" in str(raised.value)
    finally:
        del os.environ["VORIVIV_BAD_DSN"]


def test_scheduler_without_dask_says_how_to_install_it(sources, tmp_path, pg):
    path = write_jobs(tmp_path, sources, "x", GOOD)
    code = ("import sys; sys.modules['distributed'] = None\n"
            "from voriviv.cli import main\n"
            f"sys.exit(main(['run', {str(path)!r}, '--scheduler', 'tcp://127.0.0.1:1']))")
    env = dict(os.environ, VORIVIV_JOBS_DSN=pgserver.gdal_connection_text(pg))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 2
    assert out.stderr.strip() == ("voriviv: error: running jobs on Dask needs dask.distributed: "
                                  "pip install 'voriviv[dask]' (or pip install "
                                  "'dask[distributed]')")


# --- Ctrl-C ----------------------------------------------------------------------------

def test_ctrl_c_stops_the_workers_and_exits_130(sources, tag, psql, pg, tmp_path):
    t = tag()
    points_table(psql, f"b_{t}", "big", 600000)
    for i in range(4):
        points_table(psql, f"b_{t}", f"small{i}", 10)
    path = tmp_path / "jobs.toml"
    path.write_text(f'[[job]]\nmethod = "pg2shp"\nconnection = {{ env = "VORIVIV_JOBS_DSN" }}\n'
                    f'source = "out"\nschema = "b_{t}"\n')
    env = dict(os.environ, VORIVIV_JOBS_DSN=pgserver.gdal_connection_text(pg))
    # Its own process group, as a shell gives it: Ctrl-C reaches the workers too.
    proc = subprocess.Popen([VORIVIV, "run", path, "--local-cluster", "2", "--json"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=env, cwd=tmp_path, start_new_session=True)
    out = tmp_path / "out"

    def big_written():
        # Outputs are written aside (in a hidden directory) and moved in when complete.
        try:
            return any(p.stat().st_size > 100000 for p in out.rglob("big.*"))
        except OSError:      # moved or removed while we looked
            return False

    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and not big_written():
        time.sleep(0.1)
    assert big_written(), proc.communicate(timeout=60)
    os.killpg(proc.pid, signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=90)
    assert proc.returncode == 130, stderr
    assert stderr.splitlines()[-1] == "voriviv: interrupted"
    report = json.loads(stdout)
    assert report["status"] == "interrupted" and report["jobs"][0]["status"] == "interrupted"
    by = {l["layer"]: l for l in report["jobs"][0]["layers"]}
    # Its events may have been lost with its worker; none says it finished.
    if "big" in by:
        assert by["big"]["status"] != "finished" and by["big"]["features_read"] < 600000
    # The workers stopped with the command and left nothing partial: no big.*
    # anywhere, no staging directory; the small layers are complete or absent.
    # (A small layer that finished on a worker just before Ctrl-C ended that
    # worker can be in place while its "finished" event was lost with the
    # worker: what is in place is whole, and what the report calls finished
    # is in place.)
    left = sorted(p.relative_to(out).as_posix() for p in out.rglob("*"))
    stems = {name.split(".")[0] for name in left}
    assert stems <= {f"small{i}" for i in range(4)}, left
    assert all(p.is_file() for p in out.rglob("*")), left
    for stem in stems:
        assert "Feature Count: 10" in ogrinfo("-so", "-al", str(out / f"{stem}.shp")), stem
    assert {k for k, v in by.items() if v["status"] == "finished"} <= stems, by
    time.sleep(1.5)
    assert sorted(p.relative_to(out).as_posix() for p in out.rglob("*")) == left


# --- how layers become tasks -----------------------------------------------------------

def test_tasks_shrink_to_single_layers_and_cover_each_layer_once():
    from voriviv._dask import plan_tasks
    layers = {0: list("abcdefgh"), 1: list("abcdefgh"), 2: list("abcdefgh"), 3: list("abcdefgh")}
    plan = plan_tasks(layers, 2)
    assert [len(units) for _, units in plan] == [8, 6, 2, 4, 3, 1, 2, 2, 1, 1, 1, 1]
    for job, names in layers.items():
        units = [u for j, us in plan if j == job for u in us]
        assert units == list(range(len(names)))        # each once, in the job's order
    assert [len(u) for _, u in plan[-2 * 2:]] == [1] * 4
    # Many threads, or no worker yet (a cluster still starting): one layer per task.
    assert all(len(u) == 1 for _, u in plan_tasks(layers, 64))
    assert [len(u) for _, u in plan_tasks(layers, 0)] == [1] * 32
    assert plan_tasks({5: ["x"]}, 0) == [(5, [0])]
    assert plan_tasks({}, 2) == [] and plan_tasks({1: []}, 2) == []


@pytest.mark.parametrize("how", ["here", "dask"])
def test_two_layers_of_one_job_for_one_table(how, tmp_path, tag, psql, pg, cluster):
    # "Dup" and "dup" both load into the table dup: the second is refused, as
    # in one call here, instead of replacing the first from a task of its own.
    t = tag()
    src = tmp_path / "dup_src"
    src.mkdir()
    make_layer(src / "Dup.shp", 5, "ESRI Shapefile")
    make_layer(src / "dup.shp", 7, "ESRI Shapefile")
    make_layer(src / "other.shp", 3, "ESRI Shapefile")
    path = tmp_path / "dup.toml"
    path.write_text(f'[[job]]\nmethod = "shp2pg"\nsource = "{src}"\n'
                    f'target = {{ env = "VORIVIV_JOBS_DSN" }}\nschema = "a_{t}"\n'
                    'overwrite = true\n')
    extra = ["--threads", "2"] if how == "here" else ["--scheduler", cluster.scheduler.address]
    out = run("run", path, "--json", *extra, pg=pg, cwd=tmp_path)
    assert out.returncode == 1, out.stderr
    layers_ = {l["layer"]: l for l in json.loads(out.stdout)["jobs"][0]["layers"]}
    assert layers_["Dup"]["status"] == "finished" and layers_["other"]["status"] == "finished"
    assert layers_["dup"]["status"] == "failed"
    assert tables(psql, f"a_{t}") == {"dup": 5, "other": 3}


# --- the client's loop, with tasks run in this process ---------------------------------

class FakeFuture:
    def __init__(self, fn, args, die):
        self.status, self._result, self._error = "finished", None, None
        if die:
            self.status, self._error = "error", OSError("worker died")
        else:
            self._result = fn(*args)

    def add_done_callback(self, callback):
        callback(self)

    def result(self):
        return self._result

    def exception(self):
        return self._error


class FakeClient:
    """A Dask client whose tasks run at once, here, in the order submitted;
    the tasks of job ``die_for`` fail as a worker that died."""

    def __init__(self, die_for=None):
        self.die_for, self.topics, self.submitted = die_for, [], []

    def subscribe_topic(self, topic, handler):
        self.topics.append(topic)

    def unsubscribe_topic(self, topic):
        self.topics.remove(topic)

    def nthreads(self):
        return {"w1": 1, "w2": 1}

    def submit(self, fn, *args, pure=True):
        if fn.__name__ == "list_jobs":
            self.submitted.append(("list", tuple(j.index for j in args[0])))
        else:
            self.submitted.append(("unit", args[2].index, args[4]))
        return FakeFuture(fn, args, fn.__name__ == "run_unit" and args[2].index == self.die_for)


LOOP_JOBS = """
[[job]]
method = "shp2pg"
source = "/src/shp"
target = "PG:dbname=x"
schema = "s1"

[[job]]
method = "pg2shp"
connection = "PG:dbname=x"
source = "/out/back"
schema = "s1"

[[job]]
method = "tab2pg"
source = "/src/broken"
target = "PG:dbname=x"
schema = "s3"

[[job]]
method = "pg2gdb"
connection = "PG:dbname=x"
source = "/out/x.gdb"
schema = "s2"
"""

LISTINGS = {"/src/shp": ["l1", "l2", "bad"], "PG:dbname=x/s1": ["l1", "l2", "bad"]}


@pytest.fixture
def fake_layers(monkeypatch):
    """Listings and conversions that only record what they were asked."""
    from voriviv import _dask
    from voriviv.progress import LayerEvent
    calls = []

    def list_layers(location, schema="public", *, kind=None, tables=None):
        key = f"{location}/{schema}" if kind == "postgresql" else location
        if key not in LISTINGS:
            raise RuntimeError(f"cannot list {key}")
        return {"layers": [{"name": n} for n in LISTINGS[key] if not tables or n in tables]}

    def run_conversion(method, source, target, *, report, tables=None, **kw):
        calls.append((method, tables))
        names = tables or ["g1", "g2"]
        for i, name in enumerate(names):
            report(LayerEvent("started", i, len(names), name, source, target))
            error = RuntimeError(f"{name} is bad") if name == "bad" else None
            report(LayerEvent("failed" if error else "finished", i, len(names), name,
                              source, target, done=5, total=5, error=error))
        report.finish(None)
        return report

    monkeypatch.setattr(jobs, "list_layers", list_layers)
    monkeypatch.setattr(_dask, "run_conversion", run_conversion)
    return calls


def test_the_client_loop_keeps_order_and_failures_per_job(fake_layers):
    job_file = jobs.loads(LOOP_JOBS, check_paths=False)
    client = FakeClient()
    report = jobs.run(job_file, client)

    # The geodatabase export is one task; the two loads are listed in one task;
    # the export of s1 waits until every layer of the load into s1 has ended.
    assert client.submitted[:2] == [("unit", 3, None), ("list", (0, 2))]
    assert [s for s in client.submitted if s[0] == "unit"] == [
        ("unit", 3, None), ("unit", 0, ["l1"]), ("unit", 0, ["l2"]), ("unit", 0, ["bad"]),
        ("unit", 1, ["l1"]), ("unit", 1, ["l2"]), ("unit", 1, ["bad"])]
    assert fake_layers[:3] == [("pg2gdb", None), ("shp2pg", ["l1"]), ("shp2pg", ["l2"])]

    assert [j.status for j in report.jobs] == ["failed", "failed", "failed", "ok"]
    assert report.status == "failed" and client.topics == []
    # Layers are numbered in the job's order, whichever task ran them.
    assert [(r.index, r.layer, r.status) for r in report.jobs[0].records()] == [
        (0, "l1", "finished"), (1, "l2", "finished"), (2, "bad", "failed")]
    assert [r.layer for r in report.jobs[3].records()] == ["g1", "g2"]
    assert report.failures() == [
        "shp: layer bad failed: bad is bad", "back: layer bad failed: bad is bad",
        "job 3 (tab2pg) broken failed: cannot list /src/broken"]


def test_a_task_that_dies_fails_its_job_only(fake_layers):
    job_file = jobs.loads(LOOP_JOBS, check_paths=False)
    report = jobs.run(job_file, FakeClient(die_for=0))
    assert [j.status for j in report.jobs] == ["failed", "failed", "failed", "ok"]
    assert report.jobs[0].error == "worker died" and report.jobs[0].records() == []
    # The export that waited for it still ran.
    assert [r.layer for r in report.jobs[1].records()] == ["l1", "l2", "bad"]
