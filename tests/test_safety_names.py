"""Names are data, never options, and two layers of a call never land on one
target. Checked with ogrinfo and psql."""
from __future__ import annotations

import pytest

import pgserver
from conftest import ogr2ogr, ogrinfo
from filedb_twins import SHP, layers, make_layer, points_table, schema, threads  # noqa: F401

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


def test_names_too_long_for_postgresql_fail_up_front(pg, psql, schema, tmp_path):
    name = "n" * 63
    make_layer(tmp_path / f"{name}.shp", 2, "ESRI Shapefile")
    with pytest.raises(RuntimeError, match=rf"Layer '{name}' was not loaded.*63 bytes"):
        ShapefileDatabase(tmp_path / f"{name}.shp").shp2pg(pg, schema=schema)
    assert tables_of(psql, schema) == ""


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
