"""Description : MapInfo TAB converter: TabFileDatabase moves layers between MapInfo TAB files, PostgreSQL/PostGIS and Shapefiles through GDAL, one layer per translation, layers in parallel."""

from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, Literal, Optional, Tuple, Union

from voriviv.progress import LayerEvent

PathLike = Union[str, Path]

GEOFILEOPS_THREADS: int
"""Description : The most worker threads a conversion of this module runs at once (at least 1)."""


def set_geofileops_threads(n: int) -> None:
    """Description : Sets GEOFILEOPS_THREADS of this module. Numbers are converted to int
    (2.9 gives 2); values below 1 give 1; anything that is no number raises TypeError."""


def _connection_params(text: str) -> List[Tuple[str, str]]:
    """Description : The parameters of PostgreSQL connection text (GDAL's "PG:..." text,
    libpq keywords or a postgresql:// URI) as libpq reads them, then GDAL's own keys
    (schemas, tables, active_schema); ValueError for text libpq refuses."""


def _write_cache_ops(path: str, mode: str, ops: List[Tuple]) -> List[bytes]:
    """Description : For tests: opens `path` through the write cache of file outputs with
    `mode` and applies `ops` in turn: ("seek", offset, whence), ("write", data),
    ("read", n), ("truncate", size); returns the bytes each read gave."""


class Driver:
    """Description : A GDAL driver."""

    def GetName(self) -> str:
        """Description : The driver's short name."""


class Layer:
    """Description : A layer of an open GDAL dataset."""

    def GetName(self) -> str:
        """Description : The layer's name."""


class Dataset:
    """Description : An open GDAL vector dataset, closed when the object dies."""

    def GetLayerCount(self) -> int:
        """Description : Number of layers."""

    def GetLayerByIndex(self, index: int) -> Optional[Layer]:
        """Description : The layer at an index, or None."""


class TabFileDatabase:
    """Description : A MapInfo TAB location (one .tab file or a directory of them), the source or target of conversions to and from PostgreSQL/PostGIS and into Shapefiles."""

    tab_path: Path
    """Description : The location: one file or a directory of TAB files. Public and writable; every method reads it when it runs."""

    def __init__(self, tab_path: PathLike, mode: str = 'open') -> None:
        """Description : Binds the object to a location of TAB files: one file or a directory.
        With mode "open" the path must exist (FileNotFoundError carrying the path); any
        other mode, such as "create", skips that check. Then the GDAL drivers
        "MapInfo File" and "ESRI Shapefile" are looked up, in that order (RuntimeError
        "GDAL <name> driver not available"). Nothing is opened or created."""

    @staticmethod
    def _pg_connection_string(
        connection: Union[str, Dict[str, Any]],
        schema: str = 'public',
    ) -> str:
        """Description : GDAL PostgreSQL connection text: a str is returned as it is; a
        mapping with host, port (default 5432), dbname, user and password becomes
        "PG:host=... port=... dbname=... user=... password=... schemas=<schema>"."""

    @staticmethod
    def _list_layers(ds: Any, tables: Optional[Iterable[str]] = None) -> List[str]:
        """Description : Layer names of an open dataset in index order. A non-empty tables
        is copied once into a set and keeps only the names in it."""

    @staticmethod
    def _run_parallel(items: Iterable[Any], func: Callable[[Any], Any]) -> None:
        """Description : Calls func(item) for every item on up to GEOFILEOPS_THREADS
        threads, all submitted before waiting; after all have ended, raises the first
        failure in completion order."""

    @staticmethod
    def _cleanup_sidecar(path: Path) -> None:
        """Description : Removes the earlier output of one layer: every regular file in
        the directory of path whose name is the stem of path, a dot and anything (the
        stem matched literally). Links are removed themselves, never their targets;
        directories stay; a missing directory removes nothing."""

    def _iter_tabfiles(self, tables: Optional[Iterable[str]] = None) -> List[Path]:
        """Description : The TAB files to process: the bound path when it is a regular file
        (whatever its extension), else the entries of the directory whose names end in
        ".tab" (case-sensitive, not recursive), sorted by name. A non-empty tables keeps
        only the paths whose stem it holds. A missing location gives an empty list."""

    def tab2pg(
        self,
        connection: Union[str, Dict[str, Any]],
        *,
        schema: str = 'public',
        overwrite: bool = False,
        tables: Optional[Iterable[str]] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Loads each selected TAB file into the table <schema>.<layer> of a
        PostgreSQL/PostGIS database (geometries promoted to multi-part types), files in
        parallel. Only that table is touched: an existing one is replaced with
        overwrite=True and otherwise fails its file with RuntimeError, left as it was.
        With no file to load no connection is opened. A layer name of 63 bytes or more
        (PostgreSQL's limit) gives a table name cut to at most 41 bytes, announced with
        a RuntimeWarning; of two layers cut to one name the second fails. After every
        file has been tried, the first failure is raised.
        progress, when given, is called on the calling thread with a
        voriviv.progress.LayerEvent as each file or table starts, advances, finishes or
        fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    def pg2tab(
        self,
        connection: Union[str, Dict[str, Any]],
        *,
        schema: str = 'public',
        tables: Optional[Iterable[str]] = None,
        overwrite: bool = True,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Exports each selected table of a PostgreSQL schema as
        <layer>.tab, tables in parallel, into the bound directory, or, when the bound
        path is no existing directory, into its parent (created if missing). With
        overwrite the layer's other earlier files are removed once its new files are in
        place (each layer is written aside and moved in when complete; a failed layer
        leaves its earlier files as they were), never those of another output of the
        same call. A layer name that is no plain file name fails with
        ValueError; after every table has been tried, the first failure is raised.
        progress, when given, is called on the calling thread with a
        voriviv.progress.LayerEvent as each file or table starts, advances, finishes or
        fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    def tab2shp(
        self,
        output_dir: PathLike,
        *,
        tables: Optional[Iterable[str]] = None,
        overwrite: bool = True,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Converts each selected TAB file into ESRI Shapefile format as
        <layer>.shp in output_dir (created first, with its parents), named after
        the file's first layer, files in parallel. With overwrite the layer's earlier
        files are removed once its new files are in place (each layer is written aside
        and moved in when complete; a failed layer leaves its earlier files as they
        were), never those of another output of the same call. A
        second file whose layer has an output name already claimed in the call fails
        with RuntimeError; a file without layers fails with "TAB file has no layer: <path>".
        progress, when given, is called on the calling thread with a
        voriviv.progress.LayerEvent as each file or table starts, advances, finishes or
        fails; an exception it raises stops the call like Ctrl-C and is re-raised."""
