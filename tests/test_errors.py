"""How the converters take their arguments and how their failures reach Python:
GDAL's failures as voriviv.GdalError (a RuntimeError with GDAL's message and
error number), the converters' own conditions as plain built-in types, and
paths and output directories handled alike by every converter."""
from __future__ import annotations

import json
import os
import pickle
import shutil
import subprocess

import pytest

import voriviv
from conftest import ogrinfo
from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.geofileops.shp import ShapefileDatabase
from voriviv.geofileops.tab import TabFileDatabase

CPLE_OPEN_FAILED = 4


def _gdal_error_of_open(path) -> list:
    """GDAL's own number and message for opening `path`, read by GDAL's Python
    bindings in the system interpreter."""
    code = ("import json, sys\nfrom osgeo import gdal\ngdal.PushErrorHandler('CPLQuietErrorHandler')\n"
            "gdal.OpenEx(sys.argv[1], gdal.OF_VECTOR | gdal.OF_VERBOSE_ERROR)\n"
            "print(json.dumps([gdal.GetLastErrorNo(), gdal.GetLastErrorMsg()]))")
    proc = subprocess.run(["/usr/bin/python3", "-c", code, str(path)], capture_output=True,
                          text=True)
    if proc.returncode != 0:
        pytest.skip("GDAL's Python bindings are not installed")
    return json.loads(proc.stdout)


def test_gdal_failure_carries_gdals_message_and_number(tmp_path):
    (tmp_path / "x.gdb").mkdir()
    with pytest.raises(voriviv.GdalError) as err:
        GeoFileDatabase(tmp_path / "x.gdb")._open_gdb()
    e = err.value
    assert isinstance(e, RuntimeError)
    assert [e.err_no, e.message] == _gdal_error_of_open(tmp_path / "x.gdb")
    assert e.err_no == CPLE_OPEN_FAILED and str(e) == e.message
    # Crosses process boundaries (Dask, process pools) with its number.
    copy = pickle.loads(pickle.dumps(e))
    assert (type(copy), str(copy), copy.err_no) == (voriviv.GdalError, str(e), e.err_no)


def test_worker_failures_keep_their_class(tmp_path):
    """A failure raised on a worker thread reaches the caller as the same class
    as one raised on the calling thread."""
    gdb = tmp_path / "x.gdb"
    gdb.mkdir()
    with pytest.raises(voriviv.GdalError) as err:
        GeoFileDatabase(gdb).gdb2shape(tmp_path / "out")
    assert err.value.err_no == CPLE_OPEN_FAILED


@pytest.mark.parametrize("cls, ext, method", [(TabFileDatabase, ".tab", "tab2shp"),
                                               (ShapefileDatabase, ".shp", "shp2tab")])
def test_own_conditions_are_plain_runtime_errors(tmp_path, cls, ext, method):
    empty = tmp_path / ("c" + ext)
    empty.write_text("<OGRVRTDataSource></OGRVRTDataSource>")
    with pytest.raises(RuntimeError) as err:
        getattr(cls(empty), method)(tmp_path / "out")
    assert type(err.value) is RuntimeError
    assert str(err.value).endswith("has no layer: " + str(empty))


def _convert_to_files(which, source, out):
    if which == "gdb":
        GeoFileDatabase(source).gdb2shape(out, tables=["cities"])
    else:
        TabFileDatabase(source).tab2shp(out)


@pytest.mark.parametrize("which", ["gdb", "tab"])
def test_output_directory_in_the_way_raises_the_same_os_error(tmp_path, ne_gdb, which):
    source = ne_gdb if which == "gdb" else tmp_path
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(FileExistsError) as err:
        _convert_to_files(which, source, blocker)
    assert err.value.filename == str(blocker)
    with pytest.raises(NotADirectoryError):
        _convert_to_files(which, source, blocker / "below")
    _convert_to_files(which, source, tmp_path / "new" / "deeper")
    assert (tmp_path / "new" / "deeper").is_dir()


def test_geodatabase_path_in_the_file_system_encoding(tmp_path, ne_gdb):
    """A path whose bytes are no UTF-8 (a str holding surrogate escapes, as
    os.listdir gives it) reaches GDAL as those bytes."""
    raw = os.fsencode(tmp_path) + b"/caf\xe9.gdb"
    name = os.fsdecode(raw)
    shutil.copytree(ne_gdb, name)
    out = tmp_path / "out"
    GeoFileDatabase(name).gdb2shape(out, tables=["cities"])
    assert "Feature Count: 243" in ogrinfo("-so", "-al", str(out / "cities.shp"))


def test_postgresql_conditions_are_not_gdal_errors(pg, psql, tmp_path):
    """A refusal of ours (the table exists) and a failure PostgreSQL reports
    (a server that does not answer) are RuntimeErrors, never GdalError."""
    from filedb_twins import make_layer
    psql("DROP SCHEMA IF EXISTS err_s CASCADE; CREATE SCHEMA err_s; "
         "CREATE TABLE err_s.roads (id int)")
    make_layer(tmp_path / "roads.shp", 3, "ESRI Shapefile")
    try:
        with pytest.raises(RuntimeError, match="already exists") as err:
            ShapefileDatabase(tmp_path / "roads.shp").shp2pg(pg, schema="err_s")
        assert not isinstance(err.value, voriviv.GdalError)
    finally:
        psql("DROP SCHEMA err_s CASCADE")
    refused = dict(pg, host="127.0.0.1", port=1)
    with pytest.raises(RuntimeError) as err:
        ShapefileDatabase(tmp_path / "roads.shp").shp2pg(refused, schema="err_s")
    assert not isinstance(err.value, voriviv.GdalError)
