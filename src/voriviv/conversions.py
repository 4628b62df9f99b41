"""The conversions: their catalogue, one call to run one, and layer listings.

:data:`CONVERSIONS` names each conversion (``gdb2pg``, ``pg2shp``, ...) with
the converter that makes it and what its source and target are;
:func:`run_conversion` runs one into a :class:`~voriviv.report.Report`;
:func:`list_layers` lists the layers of a geodatabase, a directory of TAB
files and Shapefiles or a PostgreSQL schema, the way the converters take
them. The command line, the job runner and the Dask runner all stand on
these.
"""
from __future__ import annotations

import importlib
import os
from pathlib import Path
from types import ModuleType
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional

from voriviv.connection import connection_text, looks_like_connection, with_schema
from voriviv.errors import UsageError
from voriviv.progress import LayerEvent
from voriviv.report import Report, mask_secrets

__all__ = ["Conversion", "CONVERSIONS", "DESCRIPTIONS", "LAYER_KINDS", "converter_module",
           "default_threads", "list_layers", "run_conversion"]


class Conversion(NamedTuple):
    """What makes a conversion: the converter module and class, and the kinds of
    its source and target: ``path`` (a file or directory read), ``pg`` (a
    database connection) or ``dir`` (a directory written)."""

    module: str
    cls: str
    source: str
    target: str


CONVERSIONS: Dict[str, Conversion] = {
    "gdb2pg": Conversion("gdb", "GeoFileDatabase", "path", "pg"),
    "pg2gdb": Conversion("gdb", "GeoFileDatabase", "pg", "path"),
    "pg2gdbf": Conversion("gdb", "GeoFileDatabase", "pg", "path"),
    "gdb2shape": Conversion("gdb", "GeoFileDatabase", "path", "dir"),
    "tab2pg": Conversion("tab", "TabFileDatabase", "path", "pg"),
    "pg2tab": Conversion("tab", "TabFileDatabase", "pg", "dir"),
    "tab2shp": Conversion("tab", "TabFileDatabase", "path", "dir"),
    "shp2pg": Conversion("shp", "ShapefileDatabase", "path", "pg"),
    "pg2shp": Conversion("shp", "ShapefileDatabase", "pg", "dir"),
    "shp2tab": Conversion("shp", "ShapefileDatabase", "path", "dir"),
}

DESCRIPTIONS: Dict[str, str] = {
    "gdb2pg": "Load the layers of a File Geodatabase into a PostgreSQL schema.",
    "pg2gdb": "Export the tables of a PostgreSQL schema into a File Geodatabase.",
    "pg2gdbf": "Export PostgreSQL tables into feature datasets of a File Geodatabase.",
    "gdb2shape": "Convert the layers of a File Geodatabase into Shapefiles.",
    "tab2pg": "Load MapInfo TAB files (a file or a directory) into a PostgreSQL schema.",
    "pg2tab": "Export the tables of a PostgreSQL schema as MapInfo TAB files.",
    "tab2shp": "Convert MapInfo TAB files into Shapefiles.",
    "shp2pg": "Load Shapefiles (a file or a directory) into a PostgreSQL schema.",
    "pg2shp": "Export the tables of a PostgreSQL schema as Shapefiles.",
    "shp2tab": "Convert Shapefiles into MapInfo TAB files.",
}


def converter_module(name: str) -> ModuleType:
    """The converter module ``voriviv.geofileops.<name>`` (gdb, tab or shp).

    Imported when first needed, not with this module: each one loads GDAL,
    which a command's ``--help``, a job file's check or a Dask client that
    only schedules never needs.
    """
    return importlib.import_module(f"voriviv.geofileops.{name}")


def default_threads() -> int:
    """Worker threads of a conversion unless told otherwise: the CPU count."""
    return max(1, os.cpu_count() or 1)


def run_conversion(command: str, source: str, target: str, *, schema: str = "public",
                   tables: Optional[Iterable[str]] = None, overwrite: Optional[bool] = None,
                   mode: Optional[str] = None, datasets: Optional[Dict[str, List[str]]] = None,
                   threads: Optional[int] = None,
                   progress: Optional[Callable[[LayerEvent], Any]] = None,
                   report: Optional[Report] = None) -> Report:
    """Runs one conversion and returns its report.

    ``source`` and ``target`` are paths or connections as on the command line
    (a connection in any form :func:`~voriviv.connection.connection_text`
    accepts). Failures of the conversion are recorded in the report
    (``report.status`` "failed"), not raised; :class:`~voriviv.errors.UsageError` is raised
    before any work for arguments that cannot be run, and
    ``KeyboardInterrupt`` is re-raised after the report was closed as
    "interrupted".
    """
    if command not in CONVERSIONS:
        raise UsageError(f"unknown conversion {command!r}")
    conversion = CONVERSIONS[command]
    src_kind, dst_kind = conversion.source, conversion.target
    if src_kind == "pg":
        # A connection text is used as it is, so it must name the schema.
        source = with_schema(connection_text(source), schema)
    if dst_kind == "pg":
        target = connection_text(target)
    if src_kind == "path" and not os.path.exists(source):
        raise UsageError(f"source not found: {source}")
    if command == "pg2gdbf" and not datasets:
        raise UsageError("pg2gdbf needs at least one --dataset NAME=table,table")
    module = converter_module(conversion.module)
    cls = getattr(module, conversion.cls)
    if threads is None:
        threads = default_threads()
    if threads < 1:
        raise UsageError("--threads must be at least 1")
    module.set_geofileops_threads(threads)
    if report is None:
        report = Report(command, source, target, threads=threads, forward=progress)
    tables = list(tables) if tables else None

    try:
        if dst_kind == "dir":
            Path(target).mkdir(parents=True, exist_ok=True)
        if command == "gdb2pg":
            cls(source).gdb2pg(target, schema=schema, overwrite=bool(overwrite), tables=tables,
                               progress=report)
        elif command == "pg2gdb":
            cls(target, mode="create").pg2gdb(source, schema=schema, tables=tables, mode=mode,
                                              progress=report)
        elif command == "pg2gdbf":
            cls(target, mode="create").pg2gdbf(source, datasets, schema=schema, mode=mode,
                                               progress=report)
        elif command == "gdb2shape":
            cls(source).gdb2shape(target, tables=tables, progress=report)
        elif dst_kind == "pg":          # tab2pg, shp2pg
            getattr(cls(source), command)(target, schema=schema, overwrite=bool(overwrite),
                                          tables=tables, progress=report)
        elif src_kind == "pg":          # pg2tab, pg2shp
            getattr(cls(target, mode="create"), command)(
                source, schema=schema, tables=tables,
                overwrite=True if overwrite is None else overwrite, progress=report)
        else:                           # tab2shp, shp2tab
            getattr(cls(source), command)(target, tables=tables,
                                          overwrite=True if overwrite is None else overwrite,
                                          progress=report)
    except KeyboardInterrupt as e:
        report.exception = e
        report.finish(e)
        raise
    except Exception as e:  # noqa: BLE001 - recorded in the report
        report.exception = e
        report.finish(e)
        return report
    report.finish(None)
    return report


# --- layer listings --------------------------------------------------------------

# What list_layers can be told a location is ("files": TAB files and Shapefiles).
LAYER_KINDS = ("postgresql", "gdb", "tab", "shp", "files")


def _is_geodatabase(path: Path) -> bool:
    return path.is_dir() and (path.suffix.lower() == ".gdb"
                              or (path / "a00000001.gdbtable").exists())


def list_layers(location: str, schema: str = "public", *, kind: Optional[str] = None,
                tables: Optional[Iterable[str]] = None) -> Dict[str, Any]:
    """The layers of a location, as the converters take them, in their order:
    ``{"location", "kind", "layers": [{"name", "path"}]}`` (and ``"schema"``
    for a database; ``path`` is the file of a TAB file or Shapefile, else None).

    ``kind`` says what ``location`` is (one of :data:`LAYER_KINDS`: a
    connection and ``schema``, a File Geodatabase, TAB files, Shapefiles, or
    both kinds of file); without it, it is told from the location itself
    (:class:`~voriviv.errors.UsageError` when that names nothing). ``tables``, when not
    empty, keeps the layers it names, as a conversion's ``tables`` does.
    A location that cannot be read raises the converter's exception.
    """
    # The converters have no public listing call; these are the documented
    # members (see their .pyi stubs) their own conversions list with, so a
    # listing is exactly what a conversion of the location would take.
    selected = list(tables) if tables else None
    if kind is None:
        kind = _kind_of(location)
    if kind == "postgresql":
        conn = with_schema(connection_text(location), schema)
        gdb = converter_module("gdb").GeoFileDatabase(".", mode="create")
        names = gdb.get_layers_from_db(conn)
        return {"location": mask_secrets(location), "kind": kind, "schema": schema,
                "layers": [{"name": n, "path": None} for n in names
                           if selected is None or n in selected]}
    path = Path(location)
    if kind == "gdb":
        db = converter_module("gdb").GeoFileDatabase(path)
        names = db._list_layers(db._open_gdb(), selected)
        return {"location": str(path), "kind": kind,
                "layers": [{"name": n, "path": None} for n in names]}
    if kind == "tab":
        files = converter_module("tab").TabFileDatabase(path)._iter_tabfiles(selected)
    elif kind == "shp":
        files = converter_module("shp").ShapefileDatabase(path)._iter_shapefiles(selected)
    elif kind == "files":
        tab = converter_module("tab").TabFileDatabase(path)
        shp = converter_module("shp").ShapefileDatabase(path)
        if path.is_file():
            files = [path] if selected is None or path.stem in selected else []
        else:
            files = sorted(tab._iter_tabfiles(selected) + shp._iter_shapefiles(selected),
                           key=lambda p: p.name)
    else:
        raise ValueError(f"unknown kind of location {kind!r} (one of {', '.join(LAYER_KINDS)})")
    return {"location": str(path), "kind": kind,
            "layers": [{"name": Path(f).stem, "path": str(f)} for f in files]}


def _kind_of(location: str) -> str:
    """What a location typed on the command line is: a connection, a File
    Geodatabase, or TAB files and Shapefiles."""
    if looks_like_connection(location) and not os.path.exists(location):
        return "postgresql"
    path = Path(location)
    if not path.exists():
        raise UsageError(f"not found: {location}")
    return "gdb" if _is_geodatabase(path) else "files"
