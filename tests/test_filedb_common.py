"""Behaviour shared by TabFileDatabase and ShapefileDatabase, run on both twins.

Inputs are synthetic layers written by ogr2ogr; outputs are checked with
ogrinfo and psql.
"""
from __future__ import annotations

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import voriviv.geofileops.gdb as gdb_module
from filedb_twins import (SHP, TAB, Twin, geojson, layers, make_layer, points_table,  # noqa: F401
                          schema, threads, twin)

UNREACHABLE = "PG:host=127.0.0.1 port=1 dbname=none user=none password=none connect_timeout=2"


class Text(str):
    pass


# --- interface: stubs, signatures, documentation ------------------------------

def _signature(fn: ast.FunctionDef):
    a = fn.args
    return ([x.arg for x in a.posonlyargs + a.args], [ast.unparse(d) for d in a.defaults],
            [x.arg for x in a.kwonlyargs],
            [ast.unparse(d) if d is not None else None for d in a.kw_defaults])


def _runtime_signature(obj):
    """The runtime signature in the same shape as _signature, and the docstring."""
    func = getattr(obj, "__func__", obj)  # static and class methods: the function itself
    params = inspect.signature(func).parameters.values()
    plain = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    kwonly = [p for p in params if p.kind is p.KEYWORD_ONLY]
    return ([p.name for p in plain], [repr(p.default) for p in plain if p.default is not p.empty],
            [p.name for p in kwonly],
            [repr(p.default) if p.default is not p.empty else None for p in kwonly]), func.__doc__


def test_stub_matches_the_module(twin):
    mod = twin.module
    stub = ast.parse(Path(mod.__file__).with_name(mod.__name__.rsplit(".", 1)[1] + ".pyi")
                     .read_text())
    assert ast.get_docstring(stub).startswith("Description : ")
    assert mod.__doc__.startswith("Description : ")
    assert set(mod.PathLike.__args__) == {str, Path}

    funcs = {n.name: n for n in stub.body if isinstance(n, ast.FunctionDef)}
    sig, doc = _runtime_signature(mod.set_geofileops_threads)
    assert sig == _signature(funcs["set_geofileops_threads"]) and doc.startswith("Description : ")

    cls_node = next(n for n in stub.body if isinstance(n, ast.ClassDef)
                    and n.name == twin.cls.__name__)
    assert ast.get_docstring(cls_node).startswith("Description : ")
    assert twin.cls.__doc__.startswith("Description : ")
    methods = [n for n in cls_node.body if isinstance(n, ast.FunctionDef)]
    runtime = [k for k in vars(twin.cls)
               if k not in ("__module__", "__new__", "__dict__", "__doc__", twin.path_attr)]
    assert [m.name for m in methods] == runtime == [
        "__init__", "_pg_connection_string", "_list_layers", "_run_parallel", "_cleanup_sidecar",
        twin.iter_name, twin.to_pg, twin.from_pg, twin.to_other]
    for m in methods:
        assert ast.get_docstring(m).startswith("Description : "), m.name
        is_static = isinstance(vars(twin.cls)[m.name], staticmethod)
        assert is_static == any(ast.unparse(d) == "staticmethod" for d in m.decorator_list)
        sig, doc = _runtime_signature(vars(twin.cls)[m.name])
        assert sig == _signature(m), m.name
        assert doc.startswith("Description : "), m.name
    attr = getattr(twin.cls, twin.path_attr)
    assert attr.__doc__.startswith("Description : ")


# --- construction -----------------------------------------------------------

def test_construction_checks_mode_then_path_then_existence(twin, tmp_path):
    missing = tmp_path / "missing"
    with pytest.raises(FileNotFoundError) as err:
        twin.cls(missing)
    assert err.value.args == (missing,)
    assert str(err.value) == str(missing)

    obj = twin.cls(str(missing), mode="create")
    assert getattr(obj, twin.path_attr) == missing
    assert isinstance(getattr(obj, twin.path_attr), Path)
    assert not missing.exists()
    twin.cls(missing, "anything")  # any mode other than "open" skips the check

    for bad in (None, Text("open")):
        with pytest.raises(TypeError, match=r"^Argument 'mode' has incorrect type "
                                            rf"\(expected str, got {type(bad).__name__}\)$"):
            twin.cls(missing, mode=bad)
    # The mode is checked before the path is converted.
    with pytest.raises(TypeError, match="Argument 'mode'"):
        twin.cls(None, mode=None)
    with pytest.raises(TypeError) as err:
        twin.cls(12)
    assert "Argument" not in str(err.value)  # the path type's own message

    # A dangling symbolic link counts as missing.
    link = tmp_path / "dangling"
    link.symlink_to(tmp_path / "nowhere")
    with pytest.raises(FileNotFoundError):
        twin.cls(link)


def test_path_attribute_is_read_when_a_method_runs(twin, tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    make_layer(tmp_path / "a" / ("x" + twin.ext), 1, twin.driver)
    make_layer(tmp_path / "b" / ("y" + twin.ext), 1, twin.driver)
    obj = twin.cls(tmp_path / "a")
    assert [p.name for p in twin.iter_files(obj)] == ["x" + twin.ext]
    setattr(obj, twin.path_attr, tmp_path / "b")
    assert [p.name for p in twin.iter_files(obj)] == ["y" + twin.ext]


DRIVER_CHECK = """
import sys
from voriviv.geofileops.{mod} import {cls}
for path in sys.argv[1:]:
    try:
        {cls}(path)
    except Exception as e:
        print(type(e).__name__, e)
    else:
        print("ok")
"""


@pytest.mark.parametrize("skip", ["MapInfo File,ESRI Shapefile", "MapInfo File", "ESRI Shapefile"])
def test_missing_drivers_are_reported_after_the_existence_check(twin, tmp_path, skip):
    code = DRIVER_CHECK.format(mod=twin.module.__name__.rsplit(".", 1)[1], cls=twin.cls.__name__)
    env = dict(os.environ, GDAL_SKIP=skip + ",")  # the comma makes GDAL split on commas only
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path / "missing"), str(tmp_path)],
                         env=env, capture_output=True, text=True, check=True).stdout.splitlines()
    assert out[0] == f"FileNotFoundError {tmp_path / 'missing'}"
    skipped = skip.split(",")
    # Each class looks up its own format's driver first.
    first = twin.driver if twin.driver in skipped else twin.other_driver
    assert out[1] == f"RuntimeError GDAL {first} driver not available"


# --- resolving the location's files ------------------------------------------

def test_iter_files_lists_matching_entries_sorted_and_filters_by_stem(twin, tmp_path):
    for name in ("b", "A", "c"):
        make_layer(tmp_path / (name + twin.ext), 1, twin.driver)
    (tmp_path / ("c" + twin.ext)).rename(tmp_path / ("c" + twin.ext.upper()))
    (tmp_path / "d.mif").write_text("")
    (tmp_path / ("sub" + twin.ext)).mkdir()  # any kind of entry whose name matches
    obj = twin.cls(tmp_path)
    names = lambda files: [p.name for p in files]  # noqa: E731
    all_files = ["A" + twin.ext, "b" + twin.ext, "sub" + twin.ext]

    assert twin.iter_files(obj) == [tmp_path / n for n in all_files]
    assert names(twin.iter_files(obj, None)) == all_files
    assert names(twin.iter_files(obj, [])) == all_files
    assert names(twin.iter_files(obj, set())) == all_files
    assert names(twin.iter_files(obj, ["b"])) == ["b" + twin.ext]
    assert names(twin.iter_files(obj, tables=("sub", "b", "b", "A"))) == all_files
    assert names(twin.iter_files(obj, iter(["A"]))) == ["A" + twin.ext]
    assert twin.iter_files(obj, ["zzz"]) == []
    assert twin.iter_files(obj, ["b" + twin.ext]) == []  # stems, not file names
    assert twin.iter_files(obj, ["B"]) == []              # case-sensitive
    # A text counts as the collection of its characters.
    assert names(twin.iter_files(obj, "b")) == ["b" + twin.ext]
    assert names(twin.iter_files(obj, "roads")) == []
    with pytest.raises(TypeError):
        twin.iter_files(obj, [["b"]])


def test_iter_files_on_a_single_file_or_a_missing_location(twin, tmp_path):
    single = tmp_path / "roads.mif"
    single.write_text("")
    obj = twin.cls(single)
    assert twin.iter_files(obj) == [single]          # whatever its extension
    assert twin.iter_files(obj, ["roads"]) == [single]
    assert twin.iter_files(obj, ["streets"]) == []
    assert twin.iter_files(twin.cls(tmp_path / "missing", mode="create")) == []


# --- removing a layer's earlier output ----------------------------------------

def test_cleanup_sidecar_removes_the_stems_files_only(twin, tmp_path):
    d = tmp_path / "out"
    d.mkdir()
    doomed = ["roads.tab", "roads.dat", "roads.map", "roads.id", "roads.shp", "roads.tab.bak",
              "roads."]
    kept = ["roadside.tab", "roads", "Roads.tab", "xroads.tab"]
    for n in doomed + kept:
        (d / n).write_text("x")
    (d / "roads.d").mkdir()
    (d / "roads.d" / "inner.txt").write_text("x")
    target = tmp_path / "target.dat"
    target.write_text("keep me")
    (d / "roads.lnk").symlink_to(target)
    (d / "roads.dirlink").symlink_to(d / "roads.d")
    # A dangling link goes too: GDAL would otherwise write through it.
    (d / "roads.id.lnk").symlink_to(tmp_path / "elsewhere.id")
    kept += ["roads.d", "roads.dirlink"]

    assert twin.cls._cleanup_sidecar(d / "roads.tab") is None
    assert sorted(os.listdir(d)) == sorted(kept)
    assert target.read_text() == "keep me"  # the link went, not its target
    assert not (tmp_path / "elsewhere.id").exists()
    assert (d / "roads.d" / "inner.txt").exists()

    # The path itself need not exist, nor its directory; the extension plays no part.
    (d / "roadside.shx").write_text("x")
    twin.cls._cleanup_sidecar(d / "roadside.anything")
    assert not (d / "roadside.tab").exists() and not (d / "roadside.shx").exists()
    twin.cls._cleanup_sidecar(tmp_path / "missing" / "roads.tab")


def test_cleanup_sidecar_of_a_path_without_stem_removes_nothing(twin, tmp_path, monkeypatch):
    # "." has an empty stem; its pattern would be ".*", every hidden file.
    (tmp_path / ".hidden").write_text("x")
    monkeypatch.chdir(tmp_path)
    twin.cls._cleanup_sidecar(Path("."))
    assert (tmp_path / ".hidden").exists()


def test_cleanup_sidecar_matches_wildcard_characters_literally(twin, tmp_path):
    for n in ("r[o]ads.tab", "r[o]ads.dat", "roads.tab", "r*.dat", "rx.dat", "r?.id", "ra.id"):
        (tmp_path / n).write_text("x")
    twin.cls._cleanup_sidecar(tmp_path / "r[o]ads.tab")
    twin.cls._cleanup_sidecar(tmp_path / "r*.tab")
    twin.cls._cleanup_sidecar(tmp_path / "r?.tab")
    assert sorted(os.listdir(tmp_path)) == ["ra.id", "roads.tab", "rx.dat"]


# --- module settings and static members ---------------------------------------

def test_each_converter_module_keeps_its_own_thread_setting(threads):
    saved_gdb = gdb_module.GEOFILEOPS_THREADS
    try:
        TAB.module.set_geofileops_threads(3)
        SHP.module.set_geofileops_threads(5)
        gdb_module.set_geofileops_threads(7)
        assert (TAB.module.GEOFILEOPS_THREADS, SHP.module.GEOFILEOPS_THREADS,
                gdb_module.GEOFILEOPS_THREADS) == (3, 5, 7)
        SHP.module.GEOFILEOPS_THREADS = 2
        assert (TAB.module.GEOFILEOPS_THREADS, gdb_module.GEOFILEOPS_THREADS) == (3, 7)
    finally:
        gdb_module.GEOFILEOPS_THREADS = saved_gdb


def test_static_members(twin, threads):
    cls = twin.cls
    obj = cls(".", mode="create")
    for target in (cls, obj):
        assert target._pg_connection_string("PG:x", schema="s") == "PG:x"
        assert target._pg_connection_string(
            {"host": "h", "dbname": "d", "user": "u", "password": "p"}, "gis") == \
            "PG:host=h port=5432 dbname=d user=u password=p schemas=gis"

    class Layer:
        def __init__(self, name):
            self.name = name

        def GetName(self):
            return self.name

    class FakeDataset:
        names = ["b", "roads", "a", "b"]

        def GetLayerCount(self):
            return len(self.names)

        def GetLayerByIndex(self, i):
            return Layer(self.names[i])

    ds = FakeDataset()
    assert cls._list_layers(ds) == ["b", "roads", "a", "b"]
    assert cls._list_layers(ds, ["a", "b"]) == ["b", "a", "b"]
    assert obj._list_layers(ds, tables="roads") == ["a"]  # a set of characters
    assert cls._list_layers(ds, "ab") == ["b", "a", "b"]
    with pytest.raises(TypeError):
        cls._list_layers(ds, [{}])

    twin.module.set_geofileops_threads(1)
    seen = []
    assert cls._run_parallel(["x", "y"], seen.append) is None
    assert seen == ["x", "y"]


# --- conversions into PostgreSQL -----------------------------------------------

def test_to_pg_loads_each_file_and_refuses_to_append(twin, tmp_path, pg, psql, schema, threads):
    twin.module.set_geofileops_threads(2)
    for name, n in (("alpha", 3), ("beta", 5), ("gamma", 7)):
        make_layer(tmp_path / (name + twin.ext), n, twin.driver)
    obj = twin.cls(tmp_path)
    psql("CREATE TABLE public.beta (x int); INSERT INTO public.beta VALUES (42)")
    try:
        assert twin.call(obj, "to_pg", pg, schema=schema, tables=["alpha", "beta"]) is None
        rows = psql(f"SELECT f_table_name, type, srid FROM geometry_columns "
                    f"WHERE f_table_schema = '{schema}' ORDER BY 1")
        assert rows.splitlines() == ["alpha|MULTIPOINT|4326", "beta|MULTIPOINT|4326"]
        assert psql(f"SELECT count(*) FROM {schema}.beta") == "5"
        assert psql(f"SELECT label FROM {schema}.beta ORDER BY id LIMIT 1") == "f0"

        # Without overwrite an existing table fails its item and stays as it was;
        # the other files are still loaded.
        with pytest.raises(RuntimeError, match=rf"^Table {schema}\.(alpha|beta) already exists"):
            twin.call(obj, "to_pg", pg, schema=schema)
        assert psql(f"SELECT count(*) FROM {schema}.beta") == "5"
        assert psql(f"SELECT count(*) FROM {schema}.gamma") == "7"

        make_layer(tmp_path / ("beta" + twin.ext), 2, twin.driver, start=100)
        twin.call(obj, "to_pg", pg, schema=schema, overwrite=1, tables=["beta"])
        assert psql(f"SELECT min(id), count(*) FROM {schema}.beta") == "100|2"
        # The same-named table of another schema was never touched.
        assert psql("SELECT x FROM public.beta") == "42"
    finally:
        psql("DROP TABLE public.beta")


def test_to_pg_failures_end_only_their_item(twin, tmp_path, pg, psql, schema, threads):
    twin.module.set_geofileops_threads(1)
    make_layer(tmp_path / ("a" + twin.ext), 2, twin.driver)
    bad = tmp_path / ("b" + twin.ext)
    bad.write_text("this is no geodata")
    empty = tmp_path / ("c" + twin.ext)
    empty.write_text("<OGRVRTDataSource></OGRVRTDataSource>")
    make_layer(tmp_path / ("d" + twin.ext), 4, twin.driver)
    obj = twin.cls(tmp_path)

    with pytest.raises(RuntimeError) as err:
        twin.call(obj, "to_pg", pg, schema=schema)
    # With one thread the first failure is the unreadable file's.
    assert str(bad) in str(err.value)
    assert psql(f"SELECT count(*) FROM {schema}.a") == "2"
    assert psql(f"SELECT count(*) FROM {schema}.d") == "4"

    with pytest.raises(RuntimeError) as err:
        twin.call(obj, "to_pg", pg, schema=schema, tables=["c"])
    assert str(err.value) == twin.no_layer + str(empty)


def test_to_pg_with_nothing_to_load_never_connects(twin, tmp_path):
    obj = twin.cls(tmp_path)
    assert twin.call(obj, "to_pg", UNREACHABLE) is None
    make_layer(tmp_path / ("a" + twin.ext), 1, twin.driver)
    assert twin.call(obj, "to_pg", UNREACHABLE, tables=["zzz"]) is None
    with pytest.raises(RuntimeError):
        twin.call(obj, "to_pg", UNREACHABLE)


def test_conversion_arguments_are_checked_first(twin, tmp_path):
    obj = twin.cls(tmp_path)
    msg = r"^Argument 'schema' has incorrect type \(expected str, got {}\)$"
    for method in ("to_pg", "from_pg"):
        with pytest.raises(TypeError, match=msg.format("NoneType")):
            twin.call(obj, method, UNREACHABLE, schema=None)
        with pytest.raises(TypeError, match=msg.format("Text")):
            twin.call(obj, method, UNREACHABLE, schema=Text("public"))
        with pytest.raises(TypeError):
            twin.call(obj, method, UNREACHABLE, "public")  # keyword-only
        with pytest.raises(TypeError):
            twin.call(obj, method)
        with pytest.raises(TypeError):
            twin.call(obj, method, UNREACHABLE, schemas="public")
    with pytest.raises(TypeError):
        twin.call(obj, "to_other", tmp_path / "out", None)
    assert not (tmp_path / "out").exists()
    with pytest.raises(KeyError, match="password"):
        twin.call(obj, "from_pg", {"host": "h", "dbname": "d", "user": "u"})


# --- conversions out of PostgreSQL ----------------------------------------------

def test_from_pg_chooses_the_output_directory(twin, tmp_path, pg, psql, schema, threads):
    twin.module.set_geofileops_threads(2)
    points_table(psql, schema, "roads", 3)
    points_table(psql, schema, "rivers", 2)

    # Bound to an existing directory: writes into it.
    twin.call(twin.cls(tmp_path), "from_pg", pg, schema=schema)
    assert layers(tmp_path / ("roads" + twin.ext)) == {"roads": 3}
    assert layers(tmp_path / ("rivers" + twin.ext)) == {"rivers": 2}

    # Bound to a file (existing or not): writes next to it.
    data = tmp_path / "data"
    twin.call(twin.cls(data / ("x" + twin.ext), mode="create"), "from_pg", pg, schema=schema,
              tables=["rivers"])
    assert sorted(p.name for p in data.iterdir() if p.suffix == twin.ext) == ["rivers" + twin.ext]
    twin.call(twin.cls(data / ("rivers" + twin.ext)), "from_pg", pg, schema=schema,
              tables={"roads"})
    assert layers(data / ("roads" + twin.ext)) == {"roads": 3}

    # Bound to a directory path that does not exist yet: writes into its parent,
    # creating it; tables naming no layer convert nothing.
    target = tmp_path / "new" / "deeper"
    twin.call(twin.cls(target, mode="create"), "from_pg", pg, schema=schema, tables=["none"])
    assert (tmp_path / "new").is_dir() and not target.exists()
    assert list((tmp_path / "new").iterdir()) == []


def test_from_pg_unreachable_database_fails_before_creating_anything(twin, tmp_path):
    obj = twin.cls(tmp_path / "out" / "x", mode="create")
    with pytest.raises(RuntimeError, match="Connection refused|Failed to open PostgreSQL source"):
        twin.call(obj, "from_pg", UNREACHABLE)
    assert not (tmp_path / "out").exists()


def test_from_pg_overwrite_removes_the_layers_earlier_files(twin, tmp_path, pg, psql, schema):
    points_table(psql, schema, "roads", 3)
    stale = [tmp_path / ("roads" + e) for e in (".extra", ".old.bak")]
    other = tmp_path / "roadside.dat"
    for p in stale + [other]:
        p.write_text("stale")
    obj = twin.cls(tmp_path)

    twin.call(obj, "from_pg", pg, schema=schema, overwrite=False)
    assert all(p.read_text() == "stale" for p in stale)
    twin.call(obj, "from_pg", pg, schema=schema)
    assert not any(p.exists() and p.read_text() == "stale" for p in stale)
    assert other.read_text() == "stale"
    assert layers(tmp_path / ("roads" + twin.ext)) == {"roads": 3}


@pytest.mark.parametrize("n_threads", [1, 2])
def test_from_pg_cleanup_spares_other_outputs_of_the_call(twin, tmp_path, pg, psql, schema,
                                                          threads, n_threads):
    # roads.old's files (roads.old.<ext>) match the cleanup pattern of roads.
    twin.module.set_geofileops_threads(n_threads)
    # Created longest name first: GDAL lists them in that order, so with one
    # thread roads.old's output exists before roads' cleanup runs.
    points_table(psql, schema, "roads.old.x", 5)
    points_table(psql, schema, "roads.old", 4)
    points_table(psql, schema, "roads", 3)
    obj = twin.cls(tmp_path)
    for _ in range(3):
        twin.call(obj, "from_pg", pg, schema=schema)
        assert layers(tmp_path / ("roads" + twin.ext)) == {"roads": 3}
        assert layers(tmp_path / ("roads.old" + twin.ext)) == {"roads.old": 4}
        assert layers(tmp_path / ("roads.old.x" + twin.ext)) == {"roads.old.x": 5}


def test_from_pg_refuses_layer_names_that_leave_the_directory(twin, tmp_path, pg, psql, schema,
                                                              threads):
    twin.module.set_geofileops_threads(2)
    points_table(psql, schema, "../evil", 1)
    points_table(psql, schema, "good", 2)
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(ValueError, match=r"\.\./evil"):
        twin.call(twin.cls(out), "from_pg", pg, schema=schema)
    assert layers(out / ("good" + twin.ext)) == {"good": 2}
    assert sorted(os.listdir(tmp_path)) == ["out"]


# --- conversions into the other format ------------------------------------------

def test_to_other_converts_names_by_layer_and_creates_the_directory(twin, tmp_path, threads):
    twin.module.set_geofileops_threads(2)
    src = tmp_path / "src"
    src.mkdir()
    out = tmp_path / "out" / "deep"
    obj = twin.cls(src)
    assert twin.call(obj, "to_other", str(out)) is None
    assert out.is_dir() and list(out.iterdir()) == []

    make_layer(src / ("a" + twin.ext), 3, twin.driver)
    make_layer(src / ("skip" + twin.ext), 1, twin.driver)
    geojson(src / ("disguised" + twin.ext), 2, name="b")  # its first layer is called b
    twin.call(obj, "to_other", out, tables=["a", "disguised"])
    other = SHP if twin is TAB else TAB
    written = set(os.listdir(out))
    assert {n.split(".")[0] for n in written} == {"a", "b"}
    assert {"a" + e for e in other.companions} <= written
    assert {"b" + e for e in other.companions} <= written
    assert layers(out / ("a" + twin.other_ext)) == {"a": 3}
    assert layers(out / ("b" + twin.other_ext)) == {"b": 2}


def test_to_other_overwrite_both_ways(twin, tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    make_layer(src / ("b" + twin.ext), 3, twin.driver)
    out = tmp_path / "out"
    out.mkdir()
    stale = out / "b.stale"
    (out / "bb.keep").write_text("x")
    stale.write_text("x")
    obj = twin.cls(src)
    twin.call(obj, "to_other", out, overwrite=False)
    assert stale.exists()
    twin.call(obj, "to_other", out, overwrite=True)
    assert not stale.exists() and (out / "bb.keep").exists()
    assert layers(out / ("b" + twin.other_ext)) == {"b": 3}


@pytest.mark.parametrize("n_threads", [1, 2])
def test_to_other_cleanup_spares_other_outputs_of_the_call(twin, tmp_path, threads, n_threads):
    # Sorted, roads.old comes before roads: with one thread its output is
    # written first and would be the victim of roads' cleanup.
    twin.module.set_geofileops_threads(n_threads)
    src = tmp_path / "src"
    src.mkdir()
    make_layer(src / ("roads" + twin.ext), 3, twin.driver)
    make_layer(src / ("roads.old" + twin.ext), 4, twin.driver)
    obj = twin.cls(src)
    assert [p.name for p in twin.iter_files(obj)] == ["roads.old" + twin.ext, "roads" + twin.ext]
    out = tmp_path / "out"
    for _ in range(3):
        twin.call(obj, "to_other", out)
        assert layers(out / ("roads" + twin.other_ext)) == {"roads": 3}
        assert layers(out / ("roads.old" + twin.other_ext)) == {"roads.old": 4}


def test_to_other_same_output_twice_keeps_the_first(twin, tmp_path, threads):
    twin.module.set_geofileops_threads(1)
    src = tmp_path / "src"
    src.mkdir()
    first = geojson(src / ("a" + twin.ext), 2, name="same")
    second = geojson(src / ("b" + twin.ext), 5, name="same")
    out = tmp_path / "out"
    with pytest.raises(RuntimeError) as err:
        twin.call(twin.cls(src), "to_other", out)
    text = str(err.value)
    assert "same" in text and str(first) in text and str(second) in text
    assert layers(out / ("same" + twin.other_ext)) == {"same": 2}


def test_to_other_failures_end_only_their_item(twin, tmp_path, threads):
    twin.module.set_geofileops_threads(2)
    src = tmp_path / "src"
    src.mkdir()
    make_layer(src / ("a" + twin.ext), 2, twin.driver)
    bad = src / ("b" + twin.ext)
    bad.write_bytes(b"\x00\x01 not a dataset")
    make_layer(src / ("c" + twin.ext), 3, twin.driver)
    geojson(src / ("evil" + twin.ext), 1, name="../evil")
    out = tmp_path / "out"
    with pytest.raises((RuntimeError, ValueError)):
        twin.call(twin.cls(src), "to_other", out)
    assert layers(out / ("a" + twin.other_ext)) == {"a": 2}
    assert layers(out / ("c" + twin.other_ext)) == {"c": 3}
    assert not (tmp_path / ("evil" + twin.other_ext)).exists()

    with pytest.raises(ValueError, match=r"\.\./evil"):
        twin.call(twin.cls(src), "to_other", out, tables=["evil"])
    with pytest.raises(RuntimeError) as err:
        twin.call(twin.cls(src), "to_other", out, tables=["b"])
    assert str(bad) in str(err.value)


def test_to_other_output_directory_in_the_way(twin, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(FileExistsError) as err:
        twin.call(twin.cls(tmp_path), "to_other", blocker)
    assert err.value.filename == str(blocker)
    with pytest.raises(NotADirectoryError):
        twin.call(twin.cls(tmp_path), "to_other", blocker / "sub")
