"""GeoFileDatabase: construction, the geodatabase opener, layer listing and
filtering, PostgreSQL layer listing, and what importing the module does."""
from __future__ import annotations

import ast
import inspect
import gc
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap
import typing
import uuid
from pathlib import Path

import pytest

import voriviv.geofileops.gdb as gdb
from conftest import ogrinfo
from voriviv.geofileops.gdb import GeoFileDatabase

STUB = Path(gdb.__file__).with_name("gdb.pyi")


class StrSub(str):
    pass


def run_python(code: str, *args: str, env: dict | None = None) -> dict:
    """Runs `code` in a fresh interpreter; it prints one JSON document."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=120,
                          env=None if env is None else {**os.environ, **env})
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def ogrinfo_layers(source: str, *options: str) -> list[str]:
    """Layer names in the order GDAL's ogrinfo lists them."""
    names = []
    for line in ogrinfo("-ro", "-q", *options, source).splitlines():
        m = re.match(r"^(?:\d+|Layer): (.+?)(?: \([^()]*\))?$", line)
        if m:
            names.append(m.group(1))
    return names


# --- construction -----------------------------------------------------------

@pytest.mark.parametrize("as_type", [str, Path])
def test_missing_path_in_open_mode_raises_file_not_found_with_the_path(tmp_path, as_type):
    missing = tmp_path / "roads.gdb"
    with pytest.raises(FileNotFoundError) as exc:
        GeoFileDatabase(as_type(missing))
    assert type(exc.value) is FileNotFoundError
    assert exc.value.args == (missing,)
    assert str(exc.value) == str(missing)
    with pytest.raises(FileNotFoundError):
        GeoFileDatabase(gdb_path=missing, mode="open")


@pytest.mark.parametrize("mode", ["create", "", "OPEN", "open ", "append", "\ud800"])
def test_other_modes_skip_the_existence_check_and_create_nothing(tmp_path, mode):
    target = tmp_path / "sub" / "new.gdb"
    obj = GeoFileDatabase(str(target), mode)
    assert type(obj.gdb_path) is type(Path()) and obj.gdb_path == target
    assert list(tmp_path.iterdir()) == []
    assert obj._driver.GetName() == "OpenFileGDB"


def test_existing_path_is_accepted_whatever_it_contains(tmp_path):
    plain_file = tmp_path / "notes.txt"
    plain_file.write_text("not a geodatabase")
    for path in (tmp_path, plain_file):
        assert GeoFileDatabase(path).gdb_path == path


@pytest.mark.parametrize("mode, got", [
    (None, "NoneType"), (StrSub("open"), "StrSub"), (b"open", "bytes"), (1, "int"),
])
def test_mode_type_is_checked_before_any_file_system_access(monkeypatch, tmp_path, mode, got):
    def no_access(*_):
        raise AssertionError("file system touched before the mode check")
    monkeypatch.setattr(pathlib.Path, "exists", no_access)
    for path in (tmp_path / "missing.gdb", object()):  # object(): not even a path
        with pytest.raises(TypeError) as exc:
            GeoFileDatabase(path, mode)
        assert str(exc.value) == (
            f"Argument 'mode' has incorrect type (expected str, got {got})")


def test_failed_construction_leaks_nothing(tmp_path):
    missing = tmp_path / "missing.gdb"

    def count_paths():
        gc.collect()
        return sum(isinstance(o, pathlib.PurePath) for o in gc.get_objects())

    before = count_paths()
    for _ in range(200):
        with pytest.raises(FileNotFoundError):
            GeoFileDatabase(missing)
    assert count_paths() - before < 10


def test_missing_driver_and_the_missing_path_error_winning(tmp_path):
    # GDAL_SKIP keeps GDAL from registering the driver in that process.
    out = run_python("""
        import json, sys
        from voriviv.geofileops.gdb import GeoFileDatabase
        res = []
        for args in ((sys.argv[1],), (sys.argv[2],), (sys.argv[2], "create")):
            try:
                GeoFileDatabase(*args)
                res.append(["ok"])
            except Exception as e:
                res.append([type(e).__name__, [str(a) for a in e.args]])
        print(json.dumps(res))
    """, str(tmp_path), str(tmp_path / "missing.gdb"), env={"GDAL_SKIP": "OpenFileGDB"})
    no_driver = ["RuntimeError", ["GDAL OpenFileGDB driver not available"]]
    assert out == [no_driver, ["FileNotFoundError", [str(tmp_path / "missing.gdb")]], no_driver]


# --- _open_gdb ----------------------------------------------------------------

def test_open_gdb_returns_a_dataset_with_the_layers_ogrinfo_sees(ne_gdb):
    expected = ogrinfo_layers(str(ne_gdb))
    assert sorted(expected) == ["cities", "countries"]
    obj = GeoFileDatabase(ne_gdb)
    for update in (False, True, 0, [], "yes"):
        ds = obj._open_gdb(update)
        assert isinstance(ds, gdb.Dataset)
        assert ds.GetLayerCount() == 2
        assert [ds.GetLayerByIndex(i).GetName() for i in range(2)] == expected
        assert ds.GetLayerByIndex(2) is None and ds.GetLayerByIndex(-1) is None
    assert obj._open_gdb(update=False).GetLayerCount() == 2


def test_a_layer_keeps_its_dataset_open(ne_gdb):
    layer = GeoFileDatabase(ne_gdb)._open_gdb().GetLayerByIndex(0)
    gc.collect()
    assert layer.GetName() == ogrinfo_layers(str(ne_gdb))[0]


def test_open_gdb_update_flag_uses_the_truth_test(ne_gdb):
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError("no truth value")
    with pytest.raises(ZeroDivisionError, match="no truth value"):
        GeoFileDatabase(ne_gdb)._open_gdb(Undecided())


def _not_a_gdb(tmp_path: Path, ne_gdb: Path, kind: str) -> Path:
    if kind == "empty directory":
        path = tmp_path / "empty.gdb"
        path.mkdir()
    elif kind == "plain file":
        path = tmp_path / "file.gdb"
        path.write_bytes(b"\0garbage" * 64)
    elif kind == "garbage tables":
        path = tmp_path / "fake.gdb"
        path.mkdir()
        (path / "a00000001.gdbtable").write_bytes(b"garbage" * 10)
        (path / "gdb").write_bytes(b"\x05\x00\x00\x00")
    elif kind == "items offsets removed":  # GDAL reports an error yet returns a dataset
        path = tmp_path / "damaged.gdb"
        shutil.copytree(ne_gdb, path)
        (path / "a00000004.gdbtablx").unlink()
    elif kind == "catalog removed":
        path = tmp_path / "broken.gdb"
        shutil.copytree(ne_gdb, path)
        (path / "a00000001.gdbtable").unlink()
    else:  # missing, constructed in create mode
        path = tmp_path / "missing.gdb"
    return path


NOT_RECOGNIZED = "' not recognized as a supported file format."


@pytest.mark.parametrize("kind, read_only, update", [
    ("empty directory", NOT_RECOGNIZED, ": Is a directory"),
    ("plain file", NOT_RECOGNIZED, NOT_RECOGNIZED),
    ("garbage tables", "openfilegdb/filegdbtable.cpp", "openfilegdb/filegdbtable.cpp"),
    ("catalog removed", NOT_RECOGNIZED, ": Is a directory"),
    ("items offsets removed", "filegdbtable.cpp at line", "filegdbtable.cpp at line"),
    ("missing", ": No such file or directory", ": No such file or directory"),
])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_open_gdb_on_something_else_raises_gdals_error(tmp_path, ne_gdb, kind, read_only, update):
    path = _not_a_gdb(tmp_path, ne_gdb, kind)
    obj = GeoFileDatabase(path, "create")
    # GDAL's own words (not our fallback text), and the interpreter survives.
    for flag, gdal_says in ((False, read_only), (True, update)):
        with pytest.raises(RuntimeError, match=re.escape(gdal_says)):
            obj._open_gdb(flag)


# --- _list_layers ---------------------------------------------------------------

class FakeDataset:
    """A dataset-like object answering through Python calls, recording them."""

    def __init__(self, names):
        self.names = list(names)
        self.calls = []

    def GetLayerCount(self):
        self.calls.append("count")
        return len(self.names)

    def GetLayerByIndex(self, i):
        self.calls.append(i)
        name = self.names[i]

        class FakeLayer:
            def GetName(self):
                return name
        return FakeLayer()


class Recorder:
    """An allow-list whose membership test records the names it was asked about."""

    def __init__(self, members):
        self.members, self.asked = set(members), []

    def __contains__(self, name):
        self.asked.append(name)
        return name in self.members

    def __bool__(self):
        return True


@pytest.mark.parametrize("tables", [None, [], (), set(), "", {}])
def test_no_allow_list_lists_every_layer_in_dataset_order(ne_gdb, tables):
    ds = GeoFileDatabase(ne_gdb)._open_gdb()
    assert GeoFileDatabase._list_layers(ds, tables) == ogrinfo_layers(str(ne_gdb))


@pytest.mark.parametrize("tables, expected", [
    (["countries", "cities"], ["cities", "countries"]),   # dataset order, not the list's
    (("countries",), ["countries"]),
    ({"cities", "rivers"}, ["cities"]),                    # unknown names are ignored
    (["rivers"], []),
    (["Cities", "COUNTRIES"], []),                         # exact, with case
    ("all cities and countries", ["cities", "countries"]),  # str: substring test
    ("cit", []),
    ({"countries": "cities"}, ["countries"]),              # mapping: its keys
    # A one-shot iterator is read once, not used up by the first test.
    (iter(["countries", "cities"]), ["cities", "countries"]),
    ((n for n in ["countries"]), ["countries"]),
])
def test_allow_list_uses_its_own_containment_test(ne_gdb, tables, expected):
    assert ogrinfo_layers(str(ne_gdb)) == ["cities", "countries"]
    ds = GeoFileDatabase(ne_gdb)._open_gdb()
    assert GeoFileDatabase._list_layers(ds, tables) == expected


def test_membership_is_asked_once_per_dataset_name_in_order():
    allow = Recorder({"b", "a"})
    ds = FakeDataset(["a", "b", "c", "a"])
    assert GeoFileDatabase._list_layers(ds, allow) == ["a", "b", "a"]
    assert allow.asked == ["a", "b", "c", "a"]


def test_python_datasets_are_read_through_their_methods_once_in_index_order():
    ds = FakeDataset(["x", "y", "x"])
    assert GeoFileDatabase._list_layers(ds=ds, tables=["x", "x"]) == ["x", "x"]
    assert ds.calls == ["count", 0, 1, 2]
    assert GeoFileDatabase(Path("."), "create")._list_layers(FakeDataset([])) == []
    assert GeoFileDatabase._list_layers(FakeDataset([]), ["x"]) == []


class NoCount:
    def GetLayerByIndex(self, i):
        raise AssertionError


class NoLayerByIndex:
    def GetLayerCount(self):
        return 1


class NoName(FakeDataset):
    def GetLayerByIndex(self, i):
        return object()


@pytest.mark.parametrize("ds", [None, object(), NoCount(), NoLayerByIndex(), NoName(["a"])],
                         ids=["None", "object", "no count", "no layer", "no name"])
def test_objects_lacking_the_methods_raise_attribute_error(ds):
    with pytest.raises(AttributeError):
        GeoFileDatabase._list_layers(ds)


def test_errors_of_a_python_dataset_propagate_unchanged():
    boom = OSError("layer unreadable")

    class Failing(FakeDataset):
        def GetLayerByIndex(self, i):
            raise boom
    with pytest.raises(OSError) as exc:
        GeoFileDatabase._list_layers(Failing(["a"]))
    assert exc.value is boom

    class FloatCount(FakeDataset):
        def GetLayerCount(self):
            return 2.0
    with pytest.raises(TypeError):  # as range(2.0) would
        GeoFileDatabase._list_layers(FloatCount(["a", "b"]))


# --- get_layers_from_db -----------------------------------------------------------

@pytest.fixture
def pg_schema(psql):
    """A schema with three spatial tables created in a known order, and one in public."""
    schema = "lyr_" + uuid.uuid4().hex[:8]
    psql(f"""
        CREATE SCHEMA {schema};
        CREATE TABLE {schema}.zebra (id int, geom geometry(Point, 4326));
        CREATE TABLE {schema}.alpha (id int, geom geometry(LineString, 4326));
        CREATE TABLE {schema}."Mixed Case" (id int, geom geometry(Polygon, 4326));
        CREATE TABLE public.{schema}_outside (id int, geom geometry(Point, 4326));
    """)
    yield schema
    psql(f"DROP SCHEMA {schema} CASCADE; DROP TABLE public.{schema}_outside")


def test_get_layers_from_db_lists_the_schema_in_gdals_order(pg, pg_text, pg_schema):
    # The listing opens PostgreSQL with LIST_ALL_TABLES=YES; without it GDAL runs
    # another catalog query, whose order may differ once the catalog has seen
    # many tables come and go.
    expected = ogrinfo_layers(f"{pg_text} schemas={pg_schema}", "-oo", "LIST_ALL_TABLES=YES")
    assert sorted(expected) == ["Mixed Case", "alpha", "zebra"]
    obj = GeoFileDatabase(Path("unused.gdb"), "create")
    assert obj.get_layers_from_db(pg, pg_schema) == expected
    assert obj.get_layers_from_db(connection=pg, schema=pg_schema) == expected
    assert obj.get_layers_from_db(f"{pg_text} schemas={pg_schema}") == expected
    public = obj.get_layers_from_db(pg)
    assert f"{pg_schema}_outside" in public and "alpha" not in public
    assert public == obj.get_layers_from_db(pg, "public")
    assert not Path("unused.gdb").exists()


@pytest.mark.parametrize("schema, got", [(None, "NoneType"), (StrSub("public"), "StrSub"),
                                         (b"public", "bytes")])
def test_get_layers_from_db_refuses_a_schema_that_is_not_exactly_str(schema, got):
    obj = GeoFileDatabase(Path("unused.gdb"), "create")
    for connection in ("PG:garbage", {}):
        with pytest.raises(TypeError) as exc:
            obj.get_layers_from_db(connection, schema)
        assert str(exc.value) == (
            f"Argument 'schema' has incorrect type (expected str, got {got})")


@pytest.mark.parametrize("connection, gdal_says", [
    ("PG:garbage", 'missing "=" after "garbage"'),
    ("not a connection at all", "No such file or directory"),
    ("", "No such file or directory"),
    ("PG:host=127.0.0.1 port=1 dbname=x user=x password=x", "port 1 failed"),
])
def test_get_layers_from_db_with_bad_connection_text_raises_gdals_error(connection, gdal_says):
    with pytest.raises(RuntimeError, match=re.escape(gdal_says)):
        GeoFileDatabase(Path("unused.gdb"), "create").get_layers_from_db(connection)


def test_get_layers_from_db_wrong_password_and_missing_key(pg):
    obj = GeoFileDatabase(Path("unused.gdb"), "create")
    with pytest.raises(RuntimeError, match="password authentication failed"):
        obj.get_layers_from_db(dict(pg, password="wrong"))
    with pytest.raises(KeyError) as exc:
        obj.get_layers_from_db({k: v for k, v in pg.items() if k != "user"})
    assert exc.value.args == ("user",)


# --- the module ---------------------------------------------------------------------

def test_module_namespace():
    assert gdb.PathLike == typing.Union[str, Path]
    assert type(gdb.GEOFILEOPS_THREADS) is int and gdb.GEOFILEOPS_THREADS >= 1
    assert callable(gdb.set_geofileops_threads)


@pytest.mark.parametrize("extra_threads", [0, 3])
def test_thread_setting_starts_at_the_live_thread_count_at_import(extra_threads):
    out = run_python("""
        import json, sys, threading
        stop = threading.Event()
        for _ in range(int(sys.argv[1])):
            threading.Thread(target=stop.wait, daemon=True).start()
        live = threading.active_count()
        import voriviv.geofileops.gdb as gdb
        print(json.dumps([live, gdb.GEOFILEOPS_THREADS]))
        stop.set()
    """, str(extra_threads))
    assert out == [extra_threads + 1, extra_threads + 1]


def test_import_switches_gdal_bindings_to_exceptions_before_counting_threads(tmp_path):
    # Stand-in bindings record the call and leave one thread running, so the
    # thread count taken afterwards shows that the switch came first.
    pkg = tmp_path / "osgeo"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "gdal.py").write_text(textwrap.dedent("""
        import threading
        CALLS = []
        _stop = threading.Event()
        def UseExceptions():
            CALLS.append("UseExceptions")
            threading.Thread(target=_stop.wait, daemon=True).start()
    """))
    out = run_python("""
        import json, sys
        sys.path.insert(0, sys.argv[1])
        import voriviv.geofileops.gdb as gdb
        from osgeo import gdal
        print(json.dumps([gdal.CALLS, gdb.GEOFILEOPS_THREADS]))
    """, str(tmp_path))
    assert out == [["UseExceptions"], 2]


def _documented_members():
    yield "module", gdb
    for name in ("GeoFileDatabase", "Dataset", "Layer", "Driver", "set_geofileops_threads",
                 "_connection_params"):
        yield name, getattr(gdb, name)
    for cls in (GeoFileDatabase, gdb.Dataset, gdb.Layer, gdb.Driver):
        for name, value in vars(cls).items():
            if (name == "__init__" and cls is GeoFileDatabase) or not name.startswith("__"):
                yield f"{cls.__name__}.{name}", getattr(cls, name)


def test_functions_carry_their_signature():
    assert str(inspect.signature(GeoFileDatabase.gdb2pg)) == (
        "(self, connection: 'Union[str, Dict[str, Any]]', *, schema: 'str' = 'public', "
        "overwrite: 'bool' = False, tables: 'Optional[Iterable[str]]' = None, "
        "progress: 'Optional[Callable[[LayerEvent], Any]]' = None) -> 'None'")
    assert list(inspect.signature(GeoFileDatabase._list_layers).parameters) == ["ds", "tables"]


def test_every_docstring_begins_with_description():
    missing = [name for name, obj in _documented_members()
               if not (obj.__doc__ or "").startswith("Description : ")]
    assert missing == []


def test_stub_declares_every_member_with_described_docstrings():
    tree = ast.parse(STUB.read_text())
    top = {n.name: n for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    top_names = set(top) | {t.id for n in tree.body if isinstance(n, (ast.Assign, ast.AnnAssign))
                            for t in (n.targets if isinstance(n, ast.Assign) else [n.target])}
    runtime = {n for n in vars(gdb) if not n.startswith("__")}
    assert runtime - top_names == set()
    for cls in (GeoFileDatabase, gdb.Dataset, gdb.Layer, gdb.Driver):
        stub_members = {n.name if hasattr(n, "name") else n.target.id
                        for n in top[cls.__name__].body
                        if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
        runtime_members = {n for n in vars(cls) if not n.startswith("__")}
        assert runtime_members - stub_members == set(), cls.__name__
    docs = [ast.get_docstring(n, clean=False) for n in ast.walk(tree)
            if isinstance(n, (ast.Module, ast.ClassDef, ast.FunctionDef))]
    assert docs and all(d and d.startswith("Description : ") for d in docs)
    gdb2pg = next(n for n in top["GeoFileDatabase"].body
                  if isinstance(n, ast.FunctionDef) and n.name == "gdb2pg")
    assert [a.arg for a in gdb2pg.args.kwonlyargs] == ["schema", "overwrite", "tables",
                                                       "progress"]


def test_arguments_are_checked_with_the_interpreters_own_messages(ne_gdb):
    db = GeoFileDatabase(ne_gdb)
    with pytest.raises(TypeError, match=r"^GeoFileDatabase\.gdb2pg\(\) takes 2 positional "
                                        r"arguments but 3 were given$"):
        db.gdb2pg({}, "public")
    with pytest.raises(TypeError, match=r"gdb2shape\(\) got an unexpected keyword argument 'x'"):
        db.gdb2shape("out", x=1)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'ds'"):
        GeoFileDatabase._list_layers()


def test_static_and_class_members_work_on_instances_too(ne_gdb):
    db = GeoFileDatabase(ne_gdb)
    assert isinstance(vars(GeoFileDatabase)["_run_parallel"], staticmethod)
    assert isinstance(vars(GeoFileDatabase)["_list_layers"], classmethod)
    seen = []
    db._run_parallel([1, 2], seen.append)
    GeoFileDatabase._run_parallel([3], seen.append)
    assert sorted(seen) == [1, 2, 3]
    assert db._list_layers(db._open_gdb(), ["cities"]) == ["cities"]
    assert db._pg_connection_string("PG:x") == "PG:x"
