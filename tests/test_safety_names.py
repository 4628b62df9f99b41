"""Names are data, never options, and two layers of a call never land on one
target. Checked with ogrinfo and psql."""
from __future__ import annotations

import warnings

import pytest

import pgserver
from conftest import DATA, ogr2ogr, ogrinfo
from filedb_twins import (SHP, field_values, geojson, layers, make_layer,  # noqa: F401
                          points_table, schema, threads)

from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.geofileops.shp import ShapefileDatabase
from voriviv.geofileops.tab import TabFileDatabase


def tables_of(psql, schema):
    return psql(f"SELECT string_agg(tablename, ',' ORDER BY tablename) FROM pg_tables "
                f"WHERE schemaname = '{schema}'")


def test_names_beginning_with_a_dash_are_names(pg, psql, schema, tmp_path):
    points_table(psql, schema, "-overwrite", 2)
    points_table(psql, schema, "other", 3)
    gdb = tmp_path / "x.gdb"
    ogr2ogr("-f", "OpenFileGDB", str(gdb), pgserver.gdal_connection_text(pg),
            f"{schema}.other", "-nln", "keep")
    with pytest.warns(RuntimeWarning, match="'-overwrite' to '_overwrite'"):
        GeoFileDatabase(gdb).pg2gdb(pg, schema=schema, mode="update", tables=["-overwrite"])
    # The geodatabase's own rule makes the leading "-" a "_".
    assert layers(gdb) == {"keep": 3, "_overwrite": 2}

    out = tmp_path / "shp"
    out.mkdir()
    ShapefileDatabase(out).pg2shp(pg, schema=schema, tables=["-overwrite"])
    assert (out / "-overwrite.shp").is_file()
    assert layers(out / "-overwrite.shp") == {"-overwrite": 2}
    assert sorted(p.stem for p in out.glob("*.shp")) == ["-overwrite"]

    # And back into PostgreSQL, whose loader makes the "-" a "_".
    ShapefileDatabase(out / "-overwrite.shp").shp2pg(pg, schema=schema)
    assert psql(f'SELECT count(*) FROM {schema}."_overwrite"') == "2"
    assert tables_of(psql, schema) == "-overwrite,_overwrite,other"


@pytest.mark.parametrize("n_threads", [1, 2])
def test_layers_landing_on_one_table_are_refused(pg, psql, schema, tmp_path, threads, n_threads):
    threads(SHP, n_threads)
    src = tmp_path / "src"
    src.mkdir()
    counts = {"MixedCase": 3, "mixedcase": 5, "a-b": 4, "a_b": 6, "o'brien": 2, "o_brien": 7}
    for name, n in counts.items():
        make_layer(src / f"{name}.shp", n, "ESRI Shapefile")
    with pytest.raises(RuntimeError) as exc:
        ShapefileDatabase(src).shp2pg(pg, schema=schema, overwrite=True)
    text = str(exc.value)
    assert "was not written: it would land on table" in text
    # Files are taken in name order: the first of each pair owns the table.
    assert tables_of(psql, schema) == "a_b,mixedcase,o_brien"
    assert psql(f"SELECT count(*) FROM {schema}.mixedcase") == "3"
    assert psql(f"SELECT count(*) FROM {schema}.a_b") == "4"
    assert psql(f"SELECT count(*) FROM {schema}.o_brien") == "2"
    failed = [text] + [str(e) for e in getattr(exc.value, "other_failures", [])]
    assert len(failed) == 3
    assert any("'mixedcase'" in t and "'MixedCase'" in t and f"{schema}.mixedcase" in t
               for t in failed)


def test_file_outputs_equal_but_for_case_are_refused(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    make_layer(src / "MixedCase.shp", 3, "ESRI Shapefile")
    make_layer(src / "mixedcase.shp", 5, "ESRI Shapefile")
    out = tmp_path / "out"
    with pytest.raises(RuntimeError, match="'mixedcase'.*'MixedCase'"):
        ShapefileDatabase(src).shp2tab(out)
    assert sorted(p.name for p in out.glob("*.tab")) == ["MixedCase.tab"]
    assert layers(out / "MixedCase.tab") == {"MixedCase": 3}


def test_dotted_layer_name_is_one_table(pg, psql, schema, tmp_path):
    make_layer(tmp_path / "name.with.dot.shp", 4, "ESRI Shapefile")
    ShapefileDatabase(tmp_path / "name.with.dot.shp").shp2pg(pg, schema=schema)
    assert tables_of(psql, schema) == "name.with.dot"
    assert psql(f'SELECT count(*) FROM {schema}."name.with.dot"') == "4"
    # Replacing it finds the same table.
    ShapefileDatabase(tmp_path / "name.with.dot.shp").shp2pg(pg, schema=schema, overwrite=True)
    assert tables_of(psql, schema) == "name.with.dot"


def test_text_with_nul_is_refused(pg, tmp_path):
    make_layer(tmp_path / "pts.shp", 2, "ESRI Shapefile")
    with pytest.raises(ValueError, match="null"):
        ShapefileDatabase(str(tmp_path / "pts.shp") + "\0x").shp2tab(tmp_path / "out")
    with pytest.raises(ValueError, match="null"):
        ShapefileDatabase(tmp_path / "pts.shp").shp2pg(dict(pg, password=pg["password"] + "\0x"))
    with pytest.raises(ValueError, match="null"):
        ShapefileDatabase(tmp_path / "pts.shp").shp2tab(str(tmp_path / "out") + "\0x")
    assert not (tmp_path / "out").exists()
    with pytest.raises(ValueError, match="null"):
        ShapefileDatabase(tmp_path).shp2tab(tmp_path / "out", tables=["pts\0x"])


@pytest.mark.parametrize("tables", [[1, 2], [None], [b"pts"], ("pts", 3)])
def test_tables_must_hold_text(pg, tmp_path, ne_gdb, tables):
    make_layer(tmp_path / "pts.shp", 2, "ESRI Shapefile")
    with pytest.raises(TypeError, match="tables must hold str"):
        ShapefileDatabase(tmp_path).shp2tab(tmp_path / "out", tables=tables)
    with pytest.raises(TypeError, match="tables must hold str"):
        ShapefileDatabase(tmp_path).pg2shp(pg, tables=tables)
    with pytest.raises(TypeError, match="tables must hold str"):
        GeoFileDatabase(ne_gdb).gdb2shape(tmp_path / "out2", tables=tables)


def test_one_shot_iterables_of_tables_are_read_once(pg, tmp_path, ne_gdb):
    """A generator or iterator is checked and filters like the list it yields."""
    make_layer(tmp_path / "pts.shp", 2, "ESRI Shapefile")
    for bad in (lambda: iter([3]), lambda: (t for t in [None])):
        with pytest.raises(TypeError, match="tables must hold str"):
            GeoFileDatabase(ne_gdb).gdb2shape(tmp_path / "bad", tables=bad())
        with pytest.raises(TypeError, match="tables must hold str"):
            ShapefileDatabase(tmp_path).shp2tab(tmp_path / "bad", tables=bad())
        with pytest.raises(TypeError, match="tables must hold str"):
            ShapefileDatabase(tmp_path).pg2shp(pg, tables=bad())
    GeoFileDatabase(ne_gdb).gdb2shape(tmp_path / "gdb", tables=(t for t in ["cities"]))
    assert sorted(p.name for p in (tmp_path / "gdb").glob("*.shp")) == ["cities.shp"]
    assert GeoFileDatabase._list_layers(GeoFileDatabase(ne_gdb)._open_gdb(),
                                        iter(["countries", "cities"])) == ["cities", "countries"]
    ShapefileDatabase(tmp_path).shp2tab(tmp_path / "tab", tables=iter(["pts"]))
    assert [p.name for p in (tmp_path / "tab").glob("*.tab")] == ["pts.tab"]


def test_schema_is_honoured_for_connection_text(pg, psql, schema, tmp_path):
    other = schema + "_other"
    psql(f"DROP SCHEMA IF EXISTS {other} CASCADE; CREATE SCHEMA {other}")
    try:
        points_table(psql, schema, "mine", 2)
        points_table(psql, other, "theirs", 3)
        out = tmp_path / "out"
        out.mkdir()
        ShapefileDatabase(out).pg2shp(pgserver.gdal_connection_text(pg), schema=schema)
        assert sorted(p.name for p in out.glob("*.shp")) == ["mine.shp"]
        gdb = tmp_path / "x.gdb"
        GeoFileDatabase(gdb, "create").pg2gdb(pgserver.gdal_connection_text(pg), schema=other)
        assert layers(gdb) == {"theirs": 3}
    finally:
        psql(f"DROP SCHEMA {other} CASCADE")


# --- layer names longer than PostgreSQL's 63 bytes -----------------------------

# 77 bytes of UTF-8; its 41st byte is the second of the two bytes of "Ö", so
# the table keeps the 40 bytes before that letter (ASCII lower-cased, the
# rest as it is).
LONG = "Straßenabschnitte_des_Landkreises_Süd_Ö€_mit_Radwegen_und_Fußwegen_2024"
LONG_TWIN = "Straßenabschnitte_des_Landkreises_Süd_Ö€_ohne_Radwege_2023"
LONG_TABLE = "straßenabschnitte_des_landkreises_süd_"
CITIES = DATA / "naturalearth_cities.shp"


def relations(psql, schema):
    """name -> relkind of every relation in the schema, as pg_class holds them."""
    out = psql(f"SELECT relname || '|' || relkind::text FROM pg_catalog.pg_class "
               f"WHERE relnamespace = '{schema}'::regnamespace")
    return dict(line.rsplit("|", 1) for line in out.splitlines())


def derived(table, geom, fid):
    """The relations of a loaded table: itself, its primary key, spatial index
    and FID sequence, named as PostgreSQL and GDAL name them."""
    return {table: "r", f"{table}_pkey": "i", f"{table}_{geom}_geom_idx": "i",
            f"{table}_{fid}_seq": "S"}


def cut_warnings(record):
    return [str(w.message) for w in record
            if issubclass(w.category, RuntimeWarning) and "is loaded as table" in str(w.message)]


def write_layers(kind, root, sources):
    """One dataset per `kind` holding the layers of `sources` (name -> source
    file, copied by ogr2ogr); returns (converter object, its load method,
    geometry column, FID column) as the load names them."""
    root.mkdir(exist_ok=True)
    if kind == "gdb":
        gdb = root / "src.gdb"
        for name, src in sources.items():
            ogr2ogr("-f", "OpenFileGDB", *(["-update"] if gdb.exists() else []), str(gdb),
                    str(src), "-nln", name)
        return GeoFileDatabase(gdb).gdb2pg, "shape", "objectid"
    driver, ext, cls, method = {
        "shp": ("ESRI Shapefile", "shp", ShapefileDatabase, "shp2pg"),
        "tab": ("MapInfo File", "tab", TabFileDatabase, "tab2pg")}[kind]
    for name, src in sources.items():
        ogr2ogr("-f", driver, str(root / f"{name}.{ext}"), str(src), "-nln", name)
    return getattr(cls(root), method), "wkb_geometry", "ogc_fid"


@pytest.mark.parametrize("kind,copy", [("shp", "1"), ("shp", "0"), ("tab", "1"), ("gdb", "1"),
                                       ("gdb", "0")],
                         ids=["shp", "shp-gdal", "tab", "gdb", "gdb-gdal"])
def test_long_layer_name_loads_into_its_cut_table(pg, psql, schema, tmp_path, monkeypatch,
                                                  naturalearth, kind, copy):
    # VORIVIV_BENCH_PG_COPY=0: rows through GDAL's own translation, not COPY.
    monkeypatch.setenv("VORIVIV_BENCH_PG_COPY", copy)
    load, geom, fid = write_layers(kind, tmp_path / "src", {LONG: CITIES})
    names = sorted(field_values(CITIES, "name"))
    assert len(names) == 243
    events = []
    for overwrite in (False, True):  # the nightly reload replaces the same table
        events.clear()
        with warnings.catch_warnings(record=True) as record:
            warnings.simplefilter("always")
            load(pg, schema=schema, overwrite=overwrite, progress=events.append)
        texts = cut_warnings(record)
        assert texts == [f"Layer '{LONG}' is loaded as table {schema}.{LONG_TABLE}: PostgreSQL "
                         "names hold at most 63 bytes, and the table's name is cut to at most "
                         "41 bytes to leave room for the names of its indexes and sequence"]
        # Events name the table from the start, and carry the warning.
        assert {e.target for e in events} == {f"{schema}.{LONG_TABLE}"}
        assert texts[0] in events[-1].warnings and events[-1].kind == "finished"
        assert relations(psql, schema) == derived(LONG_TABLE, geom, fid)
        rows = psql(f'SELECT name FROM {schema}."{LONG_TABLE}"').splitlines()
        assert sorted(rows) == names
    assert all(len(n.encode()) <= 63 for n in relations(psql, schema))


@pytest.mark.parametrize("kind", ["shp", "gdb"])
def test_layers_cut_to_one_table_load_the_first_only(pg, psql, schema, tmp_path, kind):
    # Files load in name order ("..._mit_..." first), geodatabase layers in
    # the order they were written.
    load, _, _ = write_layers(kind, tmp_path / "src", {
        LONG: geojson(tmp_path / "a.geojson", 3, start=1),
        LONG_TWIN: geojson(tmp_path / "b.geojson", 5, start=1)})
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        with pytest.raises(RuntimeError) as exc:
            load(pg, schema=schema)
    assert str(exc.value) == (
        f"Layer '{LONG_TWIN}' was not written: it would land on table {schema}.{LONG_TABLE} "
        "(the layer's name cut short, as PostgreSQL names hold at most 63 bytes), "
        f"the target of layer '{LONG}'")
    assert not getattr(exc.value, "other_failures", [])
    assert tables_of(psql, schema) == LONG_TABLE
    assert psql(f'SELECT count(*) FROM {schema}."{LONG_TABLE}"') == "3"
    assert [f"Layer '{LONG}'" in t for t in cut_warnings(record)] == [True]


def test_cut_tables_differing_in_their_last_byte_keep_their_names_apart(pg, psql, schema,
                                                                       tmp_path):
    # Cut at 41 bytes, the two tables differ only in their last one; their
    # indexes, keys and sequences must still be whole and distinct.
    stem = "roads_of_the_northern_district_and_coast"  # 40 bytes
    names = {stem + "1_" + "x" * 30: 2, stem + "2_" + "x" * 30: 4}
    src = tmp_path / "src"
    src.mkdir()
    for name, n in names.items():
        make_layer(src / f"{name}.shp", n, "ESRI Shapefile")
    with pytest.warns(RuntimeWarning, match="is loaded as table"):
        ShapefileDatabase(src).shp2pg(pg, schema=schema)
    expected = {**derived(stem + "1", "wkb_geometry", "ogc_fid"),
                **derived(stem + "2", "wkb_geometry", "ogc_fid")}
    assert relations(psql, schema) == expected
    assert psql(f"SELECT count(*) FROM {schema}.{stem}1") == "2"
    assert psql(f"SELECT count(*) FROM {schema}.{stem}2") == "4"


def test_names_are_cut_from_63_bytes_on(pg, psql, schema, tmp_path):
    # 62 bytes are kept as they are; PostgreSQL would cut 63 bytes to 63, where
    # the table's index would be cut to the table's own name.
    src = tmp_path / "src"
    src.mkdir()
    make_layer(src / f"{'k' * 62}.shp", 2, "ESRI Shapefile")
    make_layer(src / f"{'n' * 63}.shp", 3, "ESRI Shapefile")
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        ShapefileDatabase(src).shp2pg(pg, schema=schema)
    assert cut_warnings(record) == [
        f"Layer '{'n' * 63}' is loaded as table {schema}.{'n' * 41}: PostgreSQL names hold at "
        "most 63 bytes, and the table's name is cut to at most 41 bytes to leave room for the "
        "names of its indexes and sequence"]
    assert tables_of(psql, schema) == f"{'k' * 62},{'n' * 41}"
    assert psql(f"SELECT count(*) FROM {schema}.{'k' * 62}") == "2"
    assert psql(f"SELECT count(*) FROM {schema}.{'n' * 41}") == "3"


def test_cut_table_is_listed_and_exported_under_its_cut_name(pg, psql, schema, tmp_path,
                                                             naturalearth):
    load, _, _ = write_layers("gdb", tmp_path / "src", {LONG: CITIES})
    with pytest.warns(RuntimeWarning, match="is loaded as table"):
        load(pg, schema=schema)
    db = GeoFileDatabase(tmp_path / "out.gdb", mode="create")
    assert db.get_layers_from_db(pg, schema) == [LONG_TABLE]
    db.pg2gdb(pg, schema=schema)
    assert layers(tmp_path / "out.gdb") == {LONG_TABLE: 243}
