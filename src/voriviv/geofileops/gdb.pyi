"""Description : File Geodatabase converter: GeoFileDatabase moves layers between an Esri File Geodatabase, PostgreSQL/PostGIS and Shapefiles through GDAL."""

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


def _verify_layers(pairs: List[Tuple[Dict[str, Any], Dict[str, Any]]]) -> List[Dict[str, Any]]:
    """Description : Compares each (source, target) pair of layers, given as dicts
    {"dataset", "layer", "kind" ("postgresql", "gdb", "shp" or "tab"), "schema"}, on
    the module's threads without the GIL; returns one verdict dict per pair
    (voriviv.verify makes the report of them)."""


def _pg_target_table(layer: str) -> str:
    """Description : The table a conversion loads layer `layer` into (laundered, and
    cut when too long for PostgreSQL)."""


class GeoFileDatabase:
    """Description : An Esri File Geodatabase directory, the source or target of conversions to and from PostgreSQL/PostGIS and Shapefiles."""

    gdb_path: Path
    """Description : The geodatabase directory (pathlib.Path)."""

    _driver: Driver
    """Description : GDAL's OpenFileGDB driver."""

    def __init__(self, gdb_path: PathLike, mode: str = 'open') -> None:
        """Description : Binds the object to a geodatabase path. With mode "open" the path
        must exist (FileNotFoundError carrying the path); any other mode, such as
        "create", skips that check. Then GDAL's OpenFileGDB driver is looked up
        (RuntimeError "GDAL OpenFileGDB driver not available"). Nothing is opened or
        created."""

    def _open_gdb(self, update: bool = False) -> Dataset:
        """Description : Opens the geodatabase through GDAL's shared open, read-only unless
        update is true."""

    @classmethod
    def _pg_connection_string(
        cls,
        connection: Union[str, Dict[str, Any]],
        schema: str = 'public',
    ) -> str:
        """Description : GDAL PostgreSQL connection text from a ready string (returned as it
        is) or from a mapping with host, port (default 5432), dbname, user and password."""

    @classmethod
    def _list_layers(cls, ds: Any, tables: Optional[Iterable[str]] = None) -> List[str]:
        """Description : Layer names of an open dataset in index order, narrowed to the
        members of tables when tables is not empty."""

    def gdb2pg(
        self,
        connection: Union[str, Dict[str, Any]],
        *,
        schema: str = 'public',
        overwrite: bool = False,
        tables: Optional[Iterable[str]] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Loads the geodatabase's layers (or those named in tables) into
        PostgreSQL tables <schema>.<layer>, in parallel. An existing table is replaced
        only with overwrite=True, and only once the new table is complete; otherwise its
        layer fails and the table is kept as it was. A layer name of 63 bytes or more
        (PostgreSQL's limit) gives a table name cut to at most 41 bytes, announced with
        a RuntimeWarning; of two layers cut to one name the second fails.
        progress, when given, is called on the calling thread with a
        voriviv.progress.LayerEvent as each file or table starts, advances, finishes or
        fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    def pg2gdb(
        self,
        connection: Union[str, Dict[str, Any]],
        *,
        schema: str = 'public',
        tables: Optional[Iterable[str]] = None,
        mode: Union[None, Literal['update', 'append', 'overwrite']] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Exports the tables of a PostgreSQL schema (or those named in
        tables) into the geodatabase. With mode None an existing geodatabase is replaced
        by a new one, built beside it and put in its place only once every layer arrived
        (a failure leaves the old one as it was); the other modes add to it with GDAL's
        access mode.
        progress, when given, is called on the calling thread with a
        voriviv.progress.LayerEvent as each file or table starts, advances, finishes or
        fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    def pg2gdbf(
        self,
        connection: Union[str, Dict[str, Any]],
        feature_mapping: Dict[str, Iterable[str]],
        *,
        schema: str = 'public',
        mode: Union[None, Literal['update', 'append', 'overwrite']] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Exports PostgreSQL tables into feature datasets of the geodatabase:
        feature_mapping maps each feature dataset to its tables. mode is as for
        pg2gdb.
        progress, when given, is called on the calling thread with a
        voriviv.progress.LayerEvent as each file or table starts, advances, finishes or
        fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    def gdb2shape(
        self,
        output_dir: PathLike,
        *,
        tables: Optional[Iterable[str]] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Converts the geodatabase's layers (or those named in tables) into
        Shapefiles <output_dir>/<layer>.shp (output_dir created first, with its parents),
        in parallel. Each layer is written aside and moved into place once complete.
        progress, when given, is called on the calling thread with a
        voriviv.progress.LayerEvent as each file or table starts, advances, finishes or
        fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    @staticmethod
    def _run_parallel(items: Iterable[Any], func: Callable[[Any], Any]) -> None:
        """Description : Calls func(item) for every item on up to GEOFILEOPS_THREADS
        threads; after all have ended, raises the first failure."""

    def get_layers_from_db(
        self,
        connection: Union[str, Dict[str, Any]],
        schema: str = 'public',
    ) -> List[str]:
        """Description : Names of the layers of a PostgreSQL schema, in GDAL's order."""
