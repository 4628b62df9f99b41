"""Description : File Geodatabase converter: GeoFileDatabase moves layers between an Esri File Geodatabase, PostgreSQL/PostGIS and Shapefiles through GDAL."""

from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, Literal, Optional, Union

from voriviv.progress import LayerEvent

PathLike = Union[str, Path]

GEOFILEOPS_THREADS: int
"""Description : The most worker threads a conversion of this module runs at once (at least 1)."""

def set_geofileops_threads(n: int) -> None:
    """Description : Sets GEOFILEOPS_THREADS, the most worker threads a conversion of this module runs at once. Numbers are converted to int; values below 1 give 1."""

def _spin_native(count: int, iterations: int) -> int:
    """Description : Diagnostic: runs count items of CPU-only work on the native runner."""

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

class GeoFileDatabase:
    """Description : An Esri File Geodatabase directory, the source or target of conversions to and from PostgreSQL/PostGIS and Shapefiles."""

    gdb_path: Path
    """Description : The geodatabase directory (pathlib.Path)."""

    _driver: Driver
    """Description : GDAL's OpenFileGDB driver."""

    def __init__(self, gdb_path: PathLike, mode: str = "open") -> None:
        """Description : Binds the object to a geodatabase path. With mode 'open' the path must exist; any other mode (such as 'create') skips that check."""

    def _open_gdb(self, update: bool = False) -> Dataset:
        """Description : Opens the geodatabase through GDAL's shared open, read-only unless update is true."""

    @classmethod
    def _pg_connection_string(
        cls, connection: Union[str, Dict[str, Any]], schema: str = "public"
    ) -> str:
        """Description : GDAL PostgreSQL connection text from a ready string (returned as it is) or from a mapping with host, port (default 5432), dbname, user and password."""

    @classmethod
    def _list_layers(cls, ds: Any, tables: Optional[Iterable[str]] = None) -> List[str]:
        """Description : Layer names of an open dataset in index order, narrowed to the members of tables when tables is not empty."""

    # --- Conversions -------------------------------------------------------
    # gdb2pg, pg2gdb, pg2gdbf and gdb2shape: keep these signatures in step
    # with their bindings in gdb/conversions.cpp.

    def gdb2pg(
        self,
        connection: Union[str, Dict[str, Any]],
        *,
        schema: str = "public",
        overwrite: bool = False,
        tables: Optional[Iterable[str]] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Loads the geodatabase's layers into tables of a PostgreSQL schema. progress, when given, is called on the calling thread with a voriviv.progress.LayerEvent as each layer starts, advances, finishes or fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    def pg2gdb(
        self,
        connection: Union[str, Dict[str, Any]],
        *,
        schema: str = "public",
        tables: Optional[Iterable[str]] = None,
        mode: Union[None, Literal["update", "append", "overwrite"]] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Exports tables of a PostgreSQL schema into the geodatabase. progress, when given, is called on the calling thread with a voriviv.progress.LayerEvent as each layer starts, advances, finishes or fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    def pg2gdbf(
        self,
        connection: Union[str, Dict[str, Any]],
        feature_mapping: Dict[str, Iterable[str]],
        *,
        schema: str = "public",
        mode: Union[None, Literal["update", "append", "overwrite"]] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Exports tables of a PostgreSQL schema into feature datasets of the geodatabase. progress, when given, is called on the calling thread with a voriviv.progress.LayerEvent as each layer starts, advances, finishes or fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    def gdb2shape(
        self,
        output_dir: PathLike,
        *,
        tables: Optional[Iterable[str]] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
    ) -> None:
        """Description : Converts the geodatabase's layers into Shapefiles in a directory. progress, when given, is called on the calling thread with a voriviv.progress.LayerEvent as each layer starts, advances, finishes or fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

    # --- End of conversions ------------------------------------------------

    @staticmethod
    def _run_parallel(items: Iterable[Any], func: Callable[[Any], Any]) -> None:
        """Description : Calls func(item) for every item on up to GEOFILEOPS_THREADS threads; after all have ended, raises the first failure."""

    def get_layers_from_db(
        self, connection: Union[str, Dict[str, Any]], schema: str = "public"
    ) -> List[str]:
        """Description : Names of the layers of a PostgreSQL schema, in GDAL's order."""
