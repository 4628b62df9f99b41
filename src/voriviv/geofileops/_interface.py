"""Description : The Python face of the converter modules gdb, tab and shp.

Every signature and docstring of a converter module is written here, once.
A converter module binds its native functions and, as the last step of its
import, calls install(module): each native function is then replaced by the
Python function of the same name written below, whose parameters and
docstring are the public ones and whose body calls the native function. The
interpreter thus checks the arguments with its own messages and
inspect.signature() sees the real parameters. One exception: calling a class
runs its native __init__ directly (the binding layer's construction does not
look at a Python __init__), so the native __init__ takes the same parameters
and default as the one written here; the tests call both ways.

The TAB and Shapefile modules are twins: their members are written once
(_file_database) and given each format's names and words (_FileFormat).

The .pyi stubs next to the modules are generated from what install() puts in
place (stub_text); `python -m voriviv.geofileops._interface src/voriviv/geofileops`
rewrites them in a checkout, and the test suite checks that they are current.
"""
from __future__ import annotations

import inspect
import types
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Optional, Tuple, Union

if TYPE_CHECKING:  # names the annotations below use; they stay text at runtime
    from typing import Literal

    from voriviv.progress import LayerEvent

PathLike = Union[str, Path]

# Indented as the docstrings of the functions it ends.
_PROGRESS_DOC = """
        progress, when given, is called on the calling thread with a
        voriviv.progress.LayerEvent as each file or table starts, advances, finishes or
        fails; an exception it raises stops the call like Ctrl-C and is re-raised."""

_THREADS_DOC = ("Description : The most worker threads a conversion of this module runs at "
                "once (at least 1).")


# --- members every converter module has ----------------------------------------

def _module_functions(native):
    def set_geofileops_threads(n: int) -> None:
        """Description : Sets GEOFILEOPS_THREADS of this module. Numbers are converted to int
        (2.9 gives 2); values below 1 give 1; anything that is no number raises TypeError."""
        return native.set_geofileops_threads(n)

    def _connection_params(text: str) -> List[Tuple[str, str]]:
        """Description : The parameters of PostgreSQL connection text (GDAL's "PG:..." text,
        libpq keywords or a postgresql:// URI) as libpq reads them, then GDAL's own keys
        (schemas, tables, active_schema); ValueError for text libpq refuses."""
        return native._connection_params(text)

    def _write_cache_ops(path: str, mode: str, ops: List[Tuple]) -> List[bytes]:
        """Description : For tests: opens `path` through the write cache of file outputs with
        `mode` and applies `ops` in turn: ("seek", offset, whence), ("write", data),
        ("read", n), ("truncate", size); returns the bytes each read gave."""
        return native._write_cache_ops(path, mode, ops)

    return [set_geofileops_threads, _connection_params, _write_cache_ops]


def _verify_functions(native):
    def _verify_layers(pairs: List[Tuple[Dict[str, Any], Dict[str, Any]]]) -> List[Dict[str, Any]]:
        """Description : Compares each (source, target) pair of layers, given as dicts
        {"dataset", "layer", "kind" ("postgresql", "gdb", "shp" or "tab"), "schema"}, on
        the module's threads without the GIL; returns one verdict dict per pair
        (voriviv.verify makes the report of them)."""
        return native._verify_layers(pairs)

    def _pg_target_table(layer: str) -> str:
        """Description : The table a conversion loads layer `layer` into (laundered, and
        cut when too long for PostgreSQL)."""
        return native._pg_target_table(layer)

    return [_verify_layers, _pg_target_table]


def _dataset_classes(native):
    def Driver_GetName(self) -> str:
        """Description : The driver's short name."""
        return native.Driver.GetName(self)

    def Layer_GetName(self) -> str:
        """Description : The layer's name."""
        return native.Layer.GetName(self)

    def Dataset_GetLayerCount(self) -> int:
        """Description : Number of layers."""
        return native.Dataset.GetLayerCount(self)

    def Dataset_GetLayerByIndex(self, index: int) -> Optional[Layer]:
        """Description : The layer at an index, or None."""
        return native.Dataset.GetLayerByIndex(self, index)

    return [
        ("Driver", "Description : A GDAL driver.", [Driver_GetName]),
        ("Layer", "Description : A layer of an open GDAL dataset.", [Layer_GetName]),
        ("Dataset", "Description : An open GDAL vector dataset, closed when the object dies.",
         [Dataset_GetLayerCount, Dataset_GetLayerByIndex]),
    ]


# --- GeoFileDatabase ---------------------------------------------------------------

_GDB_MODULE_DOC = ("Description : File Geodatabase converter: GeoFileDatabase moves layers "
                   "between an Esri File Geodatabase, PostgreSQL/PostGIS and Shapefiles "
                   "through GDAL.")

_GDB_CLASS_DOC = ("Description : An Esri File Geodatabase directory, the source or target of "
                  "conversions to and from PostgreSQL/PostGIS and Shapefiles.")

_GDB_ATTRIBUTES = [
    ("gdb_path", "Path", "Description : The geodatabase directory (pathlib.Path)."),
    ("_driver", "Driver", "Description : GDAL's OpenFileGDB driver."),
]


def _geofiledatabase(native):
    def __init__(self, gdb_path: PathLike, mode: str = "open") -> None:
        """Description : Binds the object to a geodatabase path. With mode "open" the path
        must exist (FileNotFoundError carrying the path); any other mode, such as
        "create", skips that check. Then GDAL's OpenFileGDB driver is looked up
        (RuntimeError "GDAL OpenFileGDB driver not available"). Nothing is opened or
        created."""
        native.__init__(self, gdb_path, mode)

    def _open_gdb(self, update: bool = False) -> Dataset:
        """Description : Opens the geodatabase through GDAL's shared open, read-only unless
        update is true."""
        return native._open_gdb(self, update)

    @classmethod
    def _pg_connection_string(cls, connection: Union[str, Dict[str, Any]],
                              schema: str = "public") -> str:
        """Description : GDAL PostgreSQL connection text from a ready string (returned as it
        is) or from a mapping with host, port (default 5432), dbname, user and password."""
        return native._pg_connection_string(cls, connection, schema)

    @classmethod
    def _list_layers(cls, ds: Any, tables: Optional[Iterable[str]] = None) -> List[str]:
        """Description : Layer names of an open dataset in index order, narrowed to the
        members of tables when tables is not empty."""
        return native._list_layers(cls, ds, tables)

    def gdb2pg(self, connection: Union[str, Dict[str, Any]], *, schema: str = "public",
               overwrite: bool = False, tables: Optional[Iterable[str]] = None,
               progress: Optional[Callable[[LayerEvent], Any]] = None) -> None:
        """Description : Loads the geodatabase's layers (or those named in tables) into
        PostgreSQL tables <schema>.<layer>, in parallel. An existing table is replaced
        only with overwrite=True, and only once the new table is complete; otherwise its
        layer fails and the table is kept as it was. A layer name of 63 bytes or more
        (PostgreSQL's limit) gives a table name cut to at most 41 bytes, announced with
        a RuntimeWarning; of two layers cut to one name the second fails."""
        return native.gdb2pg(self, connection, schema, overwrite, tables, progress)

    def pg2gdb(self, connection: Union[str, Dict[str, Any]], *, schema: str = "public",
               tables: Optional[Iterable[str]] = None,
               mode: Union[None, Literal["update", "append", "overwrite"]] = None,
               progress: Optional[Callable[[LayerEvent], Any]] = None) -> None:
        """Description : Exports the tables of a PostgreSQL schema (or those named in
        tables) into the geodatabase. With mode None an existing geodatabase is replaced
        by a new one, built beside it and put in its place only once every layer arrived
        (a failure leaves the old one as it was); the other modes add to it with GDAL's
        access mode."""
        return native.pg2gdb(self, connection, schema, tables, mode, progress)

    def pg2gdbf(self, connection: Union[str, Dict[str, Any]],
                feature_mapping: Dict[str, Iterable[str]], *, schema: str = "public",
                mode: Union[None, Literal["update", "append", "overwrite"]] = None,
                progress: Optional[Callable[[LayerEvent], Any]] = None) -> None:
        """Description : Exports PostgreSQL tables into feature datasets of the geodatabase:
        feature_mapping maps each feature dataset to its tables. mode is as for
        pg2gdb."""
        return native.pg2gdbf(self, connection, feature_mapping, schema, mode, progress)

    def gdb2shape(self, output_dir: PathLike, *, tables: Optional[Iterable[str]] = None,
                  progress: Optional[Callable[[LayerEvent], Any]] = None) -> None:
        """Description : Converts the geodatabase's layers (or those named in tables) into
        Shapefiles <output_dir>/<layer>.shp (output_dir created first, with its parents),
        in parallel. Each layer is written aside and moved into place once complete."""
        return native.gdb2shape(self, output_dir, tables, progress)

    @staticmethod
    def _run_parallel(items: Iterable[Any], func: Callable[[Any], Any]) -> None:
        """Description : Calls func(item) for every item on up to GEOFILEOPS_THREADS
        threads; after all have ended, raises the first failure."""
        return native._run_parallel(items, func)

    def get_layers_from_db(self, connection: Union[str, Dict[str, Any]],
                           schema: str = "public") -> List[str]:
        """Description : Names of the layers of a PostgreSQL schema, in GDAL's order."""
        return native.get_layers_from_db(self, connection, schema)

    for f in (gdb2pg, pg2gdb, pg2gdbf, gdb2shape):
        f.__doc__ += _PROGRESS_DOC
    return [__init__, _open_gdb, _pg_connection_string, _list_layers, gdb2pg, pg2gdb,
            pg2gdbf, gdb2shape, _run_parallel, get_layers_from_db]


# --- TabFileDatabase and ShapefileDatabase ---------------------------------------

@dataclass(frozen=True)
class _FileFormat:
    """Everything that differs between the twins' Python faces: the names the
    native module binds (its own FileDbTraits; install() checks that each name
    has a native member), GDAL's drivers, the file extensions, the fixed
    messages, and the words the docstrings below are formatted with."""
    module: str            # "tab"
    cls: str               # "TabFileDatabase"
    path: str              # attribute and first parameter: "tab_path"
    iter: str              # "_iter_tabfiles"
    to_pg: str             # "tab2pg"
    from_pg: str           # "pg2tab"
    to_other: str          # "tab2shp"
    short: str             # "MapInfo TAB": the converter's name
    a_format: str          # "A MapInfo TAB": the location's kind
    noun: str              # "TAB file"
    nouns: str             # "TAB files"
    long_nouns: str        # "MapInfo TAB files"
    ext: str               # ".tab"
    driver: str            # "MapInfo File"
    other_ext: str         # ".shp"
    other_driver: str      # "ESRI Shapefile"
    other_nouns: str       # "Shapefiles"
    open_failure: str      # fixed message, followed by the path
    no_layer: str          # fixed message, followed by the path


TAB = _FileFormat("tab", "TabFileDatabase", "tab_path", "_iter_tabfiles", "tab2pg", "pg2tab",
                  "tab2shp", "MapInfo TAB", "A MapInfo TAB", "TAB file", "TAB files",
                  "MapInfo TAB files", ".tab", "MapInfo File", ".shp", "ESRI Shapefile",
                  "Shapefiles", "Failed to open TAB file: ", "TAB file has no layer: ")
SHP = _FileFormat("shp", "ShapefileDatabase", "shp_path", "_iter_shapefiles", "shp2pg",
                  "pg2shp", "shp2tab", "Shapefile", "An Esri Shapefile", "Shapefile",
                  "Shapefiles", "Esri Shapefiles", ".shp", "ESRI Shapefile", ".tab",
                  "MapInfo File", "MapInfo TAB files", "Failed to open shapefile: ",
                  "Shapefile has no layer: ")

_FILE_MODULE_DOC = ("Description : {short} converter: {cls} moves layers between {long_nouns}, "
                    "PostgreSQL/PostGIS and {other_nouns} through GDAL, one layer per "
                    "translation, layers in parallel.")

_FILE_CLASS_DOC = ("Description : {a_format} location (one {ext} file or a directory of them), "
                   "the source or target of conversions to and from PostgreSQL/PostGIS and "
                   "into {other_nouns}.")

_FILE_PATH_DOC = ("Description : The location: one file or a directory of {nouns}. Public and "
                  "writable; every method reads it when it runs.")


_FILE_INIT_DOC = """Description : Binds the object to a location of {nouns}: one file or a directory.
        With mode "open" the path must exist (FileNotFoundError carrying the path); any
        other mode, such as "create", skips that check. Then the GDAL drivers
        "{driver}" and "{other_driver}" are looked up, in that order (RuntimeError
        "GDAL <name> driver not available"). Nothing is opened or created."""


def _file_database(native, words: _FileFormat):
    # The methods are written with the generic names _iter_files, to_pg,
    # from_pg and to_other; install() binds them under the format's names.
    # The constructor's first parameter is the format's own, so it is written
    # once for each.
    if words is TAB:
        def __init__(self, tab_path: PathLike, mode: str = "open") -> None:
            native.__init__(self, tab_path, mode)
    else:
        def __init__(self, shp_path: PathLike, mode: str = "open") -> None:
            native.__init__(self, shp_path, mode)
    __init__.__doc__ = _FILE_INIT_DOC

    @staticmethod
    def _pg_connection_string(connection: Union[str, Dict[str, Any]],
                              schema: str = "public") -> str:
        """Description : GDAL PostgreSQL connection text: a str is returned as it is; a
        mapping with host, port (default 5432), dbname, user and password becomes
        "PG:host=... port=... dbname=... user=... password=... schemas=<schema>"."""
        return native._pg_connection_string(connection, schema)

    @staticmethod
    def _list_layers(ds: Any, tables: Optional[Iterable[str]] = None) -> List[str]:
        """Description : Layer names of an open dataset in index order. A non-empty tables
        is copied once into a set and keeps only the names in it."""
        return native._list_layers(ds, tables)

    @staticmethod
    def _run_parallel(items: Iterable[Any], func: Callable[[Any], Any]) -> None:
        """Description : Calls func(item) for every item on up to GEOFILEOPS_THREADS
        threads, all submitted before waiting; after all have ended, raises the first
        failure in completion order."""
        return native._run_parallel(items, func)

    @staticmethod
    def _cleanup_sidecar(path: Path) -> None:
        """Description : Removes the earlier output of one layer: every regular file in
        the directory of path whose name is the stem of path, a dot and anything (the
        stem matched literally). Links are removed themselves, never their targets;
        directories stay; a missing directory removes nothing."""
        return native._cleanup_sidecar(path)

    def _iter_files(self, tables: Optional[Iterable[str]] = None) -> List[Path]:
        """Description : The {nouns} to process: the bound path when it is a regular file
        (whatever its extension), else the entries of the directory whose names end in
        "{ext}" (case-sensitive, not recursive), sorted by name. A non-empty tables keeps
        only the paths whose stem it holds. A missing location gives an empty list."""
        return native._iter_files(self, tables)

    def to_pg(self, connection: Union[str, Dict[str, Any]], *, schema: str = "public",
              overwrite: bool = False, tables: Optional[Iterable[str]] = None,
              progress: Optional[Callable[[LayerEvent], Any]] = None) -> None:
        """Description : Loads each selected {noun} into the table <schema>.<layer> of a
        PostgreSQL/PostGIS database (geometries promoted to multi-part types), files in
        parallel. Only that table is touched: an existing one is replaced with
        overwrite=True and otherwise fails its file with RuntimeError, left as it was.
        With no file to load no connection is opened. A layer name of 63 bytes or more
        (PostgreSQL's limit) gives a table name cut to at most 41 bytes, announced with
        a RuntimeWarning; of two layers cut to one name the second fails. After every
        file has been tried, the first failure is raised."""
        return native.to_pg(self, connection, schema, overwrite, tables, progress)

    def from_pg(self, connection: Union[str, Dict[str, Any]], *, schema: str = "public",
                tables: Optional[Iterable[str]] = None, overwrite: bool = True,
                progress: Optional[Callable[[LayerEvent], Any]] = None) -> None:
        """Description : Exports each selected table of a PostgreSQL schema as
        <layer>{ext}, tables in parallel, into the bound directory, or, when the bound
        path is no existing directory, into its parent (created if missing). With
        overwrite the layer's other earlier files are removed once its new files are in
        place (each layer is written aside and moved in when complete; a failed layer
        leaves its earlier files as they were), never those of another output of the
        same call. A layer name that is no plain file name fails with
        ValueError; after every table has been tried, the first failure is raised."""
        return native.from_pg(self, connection, schema, tables, overwrite, progress)

    def to_other(self, output_dir: PathLike, *, tables: Optional[Iterable[str]] = None,
                 overwrite: bool = True,
                 progress: Optional[Callable[[LayerEvent], Any]] = None) -> None:
        """Description : Converts each selected {noun} into {other_driver} format as
        <layer>{other_ext} in output_dir (created first, with its parents), named after
        the file's first layer, files in parallel. With overwrite the layer's earlier
        files are removed once its new files are in place (each layer is written aside
        and moved in when complete; a failed layer leaves its earlier files as they
        were), never those of another output of the same call. A
        second file whose layer has an output name already claimed in the call fails
        with RuntimeError; a file without layers fails with "{no_layer}<path>"."""
        return native.to_other(self, output_dir, tables, overwrite, progress)

    for f in (to_pg, from_pg, to_other):
        f.__doc__ += _PROGRESS_DOC
    return [__init__, _pg_connection_string, _list_layers, _run_parallel, _cleanup_sidecar,
            _iter_files, to_pg, from_pg, to_other]


# --- installing them -------------------------------------------------------------

class _Native:
    """The native functions of one class or module, looked up by public name
    (class and static methods as plain functions)."""

    def __init__(self, members: Dict[str, Any]):
        self.__dict__.update(members)


def _natives_of(cls: type) -> Dict[str, Any]:
    out = {}
    for name, value in vars(cls).items():
        if isinstance(value, (staticmethod, classmethod)):
            out[name] = value.__func__
        elif callable(value) and not isinstance(value, type):
            out[name] = value
    return out


def _renamed(function, name: str, qualname: str, module: str, words: Optional[_FileFormat]):
    """`function` under its public name (the interpreter's messages about its
    arguments name it so), with its docstring formatted with `words`. The
    function's code is shared, not changed."""
    new = types.FunctionType(function.__code__, function.__globals__, name,
                             function.__defaults__, function.__closure__)
    new.__kwdefaults__ = function.__kwdefaults__
    new.__annotations__ = dict(function.__annotations__)
    new.__qualname__ = qualname
    new.__module__ = module
    doc = inspect.cleandoc(function.__doc__)
    new.__doc__ = doc.format(**vars(words)) if words is not None else doc
    return new


def _install_members(cls: type, members, module: str, words=None, names=None):
    """Replaces the native members of `cls` by `members` (functions, or class or
    static methods), keeping each member's kind and place in the class."""
    names = names or {}
    for member in members:
        kind = type(member) if isinstance(member, (staticmethod, classmethod)) else None
        function = member.__func__ if kind else member
        name = function.__name__
        if name.startswith(cls.__name__ + "_"):  # Dataset_GetLayerCount
            name = name[len(cls.__name__) + 1:]
        name = names.get(name, name)
        if name not in vars(cls):
            raise ImportError(f"{cls.__name__}.{name} has no native implementation")
        new = _renamed(function, name, f"{cls.__name__}.{name}", module, words)
        setattr(cls, name, kind(new) if kind else new)


def _set_attribute_doc(cls: type, name: str, doc: str) -> None:
    prop = vars(cls)[name]
    setattr(cls, name, property(prop.fget, prop.fset, prop.fdel, doc))


def install(module) -> None:
    """Puts the documented Python functions in place of the native ones of a
    converter module (called by the module itself at the end of its import)."""
    short = module.__name__.rsplit(".", 1)[1]
    name = module.__name__
    module.PathLike = PathLike
    native = _Native(dict(vars(module)))
    for f in _module_functions(native):
        setattr(module, f.__name__, _renamed(f, f.__name__, f.__name__, name, None))
    for cls_name, doc, methods in _dataset_classes(
            _Native({c: _Native(_natives_of(getattr(module, c)))
                     for c in ("Driver", "Layer", "Dataset")})):
        cls = getattr(module, cls_name)
        cls.__doc__ = doc
        _install_members(cls, methods, name)
    if short == "gdb":
        for f in _verify_functions(native):
            setattr(module, f.__name__, _renamed(f, f.__name__, f.__name__, name, None))
        cls = module.GeoFileDatabase
        module.__doc__ = _GDB_MODULE_DOC
        cls.__doc__ = _GDB_CLASS_DOC
        for attr, _, doc in _GDB_ATTRIBUTES:
            _set_attribute_doc(cls, attr, doc)
        _install_members(cls, _geofiledatabase(_Native(_natives_of(cls))), name)
        return
    words = {"tab": TAB, "shp": SHP}[short]
    cls = getattr(module, words.cls)
    module.__doc__ = _FILE_MODULE_DOC.format(**vars(words))
    cls.__doc__ = _FILE_CLASS_DOC.format(**vars(words))
    _set_attribute_doc(cls, words.path, _FILE_PATH_DOC.format(**vars(words)))
    public = {"_iter_files": words.iter, "to_pg": words.to_pg, "from_pg": words.from_pg,
              "to_other": words.to_other}
    natives = _natives_of(cls)
    generic = {k: natives[v] for k, v in public.items()}
    natives.update(generic)
    _install_members(cls, _file_database(_Native(natives), words), name, words, public)


# --- stubs -----------------------------------------------------------------------

_STUB_HEADER = '''from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, Literal, Optional, Tuple, Union

from voriviv.progress import LayerEvent

PathLike = Union[str, Path]

GEOFILEOPS_THREADS: int
"""{threads}"""
'''


def _docstring(doc: str, indent: str) -> str:
    lines = doc.splitlines()
    body = "\n".join((indent + line) if line and i else line for i, line in enumerate(lines))
    return f'{indent}"""{body}"""\n'


def _def(function, indent: str, decorator: Optional[str]) -> str:
    sig = inspect.signature(function)
    params, star = [], False
    for p in sig.parameters.values():
        if p.kind is p.KEYWORD_ONLY and not star:
            params.append("*")
            star = True
        text = p.name
        if p.annotation is not p.empty:
            text += f": {p.annotation}"
        if p.default is not p.empty:
            text += f" = {p.default!r}" if p.annotation is not p.empty else f"={p.default!r}"
        params.append(text)
    ret = f" -> {sig.return_annotation}" if sig.return_annotation is not sig.empty else ""
    head = f"{indent}def {function.__name__}("
    one_line = head + ", ".join(params) + f"){ret}:"
    if len(one_line) <= 100:
        text = one_line + "\n"
    else:
        inner = indent + "    "
        text = head + "\n" + "".join(f"{inner}{p},\n" for p in params) + f"{indent}){ret}:\n"
    if decorator:
        text = f"{indent}@{decorator}\n" + text
    return text + _docstring(function.__doc__, indent + "    ")


def _class_stub(cls: type, attributes) -> str:
    out = f"\n\nclass {cls.__name__}:\n" + _docstring(cls.__doc__, "    ")
    for name, annotation in attributes:
        out += f"\n    {name}: {annotation}\n" + _docstring(vars(cls)[name].__doc__, "    ")
    for name, member in vars(cls).items():
        if isinstance(member, (staticmethod, classmethod)):
            out += "\n" + _def(member.__func__, "    ", type(member).__name__)
        elif inspect.isfunction(member):
            out += "\n" + _def(member, "    ", None)
    return out


def stub_text(module) -> str:
    """The .pyi stub of an installed converter module."""
    out = _docstring(module.__doc__, "") + "\n" + _STUB_HEADER.format(threads=_THREADS_DOC)
    for name in ("set_geofileops_threads", "_connection_params", "_write_cache_ops"):
        out += "\n\n" + _def(getattr(module, name), "", None)
    for name in ("Driver", "Layer", "Dataset"):
        out += _class_stub(getattr(module, name), [])
    short = module.__name__.rsplit(".", 1)[1]
    if short == "gdb":
        for name in ("_verify_layers", "_pg_target_table"):
            out += "\n\n" + _def(getattr(module, name), "", None)
        out += _class_stub(module.GeoFileDatabase, [(a, t) for a, t, _ in _GDB_ATTRIBUTES])
    else:
        words = {"tab": TAB, "shp": SHP}[short]
        out += _class_stub(getattr(module, words.cls), [(words.path, "Path")])
    return out


def _main(argv: List[str]) -> None:
    """Writes gdb.pyi, tab.pyi and shp.pyi into the directory argv[0] (default:
    next to this file)."""
    import importlib

    folder = Path(argv[0]) if argv else Path(__file__).parent
    for short in ("gdb", "tab", "shp"):
        module = importlib.import_module(f"voriviv.geofileops.{short}")
        target = folder / f"{short}.pyi"
        target.write_text(stub_text(module))
        print(f"wrote {target}")


if __name__ == "__main__":
    import sys

    _main(sys.argv[1:])
