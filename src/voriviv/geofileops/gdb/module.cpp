// Module voriviv.geofileops.gdb: GeoFileDatabase object, its opener and the
// shared toolkit members (connection text, layer listing, parallel runner).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "gdb/geofiledb.hpp"
#include "toolkit/connection.hpp"
#include "toolkit/dataset.hpp"
#include "toolkit/layers.hpp"
#include "toolkit/module_setup.hpp"
#include "toolkit/pg_session.hpp"
#include "toolkit/pyboundary.hpp"
#include "toolkit/runner.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace geofileops;

namespace gdb {
namespace {

void init(GeoFileDatabase *self, nb::handle gdb_path, nb::handle mode) {
    require_exact(mode, &PyUnicode_Type, "mode");
    nb::object path = nb::module_::import_("pathlib").attr("Path")(gdb_path);
    // Compared as text: any str is a valid mode, even one UTF-8 cannot encode.
    if (PyUnicode_CompareWithASCIIString(mode.ptr(), "open") == 0 &&
        !nb::cast<bool>(path.attr("exists")())) {
        PyErr_SetObject(PyExc_FileNotFoundError, path.ptr());
        throw nb::python_error();
    }
    GDALDriverH driver = GDALGetDriverByName("OpenFileGDB");
    if (driver == nullptr) throw GdalError("GDAL OpenFileGDB driver not available");
    // Constructed only once every check passed: nanobind never destroys an
    // instance whose __init__ raised, so earlier members would leak.
    new (self) GeoFileDatabase{path, nb::cast(PyDriver{driver})};
}

nb::object open_gdb(const GeoFileDatabase &self, nb::handle update) {
    const int upd = PyObject_IsTrue(update.ptr());
    if (upd < 0) throw nb::python_error();
    const std::string path = path_text(self.gdb_path);
    CallContext ctx;
    Dataset ds;
    {
        nb::gil_scoped_release nogil;
        ds = open_vector_or(path, upd ? OpenFlags::SharedUpdate : OpenFlags::Shared,
                            ctx.sink(), "Failed to open GDB");
    }
    ctx.finish();
    return wrap_dataset(std::move(ds));
}

nb::list get_layers_from_db(const GeoFileDatabase &, nb::handle connection, nb::handle schema) {
    const std::string pg_conn = with_connect_timeout(utf8(pg_connection_string(connection, schema)));
    probe_connection(pg_conn);
    CallContext ctx;
    std::vector<std::string> names;
    {
        nb::gil_scoped_release nogil;
        Dataset src = open_pg_source(pg_conn, ctx.sink(), "Failed to open PostgreSQL source");
        names = layer_names(src.get(), ctx.sink());
    }
    ctx.finish();
    nb::list out;
    for (const auto &n : names) out.append(nb::str(n.data(), n.size()));
    return out;
}

}  // namespace
}  // namespace gdb

NB_MODULE(gdb, m) {
    m.doc() = "Description : File Geodatabase converter: GeoFileDatabase moves layers between an "
              "Esri File Geodatabase, PostgreSQL/PostGIS and Shapefiles through GDAL.";
    init_converter_module(m);

    nb::object classmethod = nb::module_::import_("builtins").attr("classmethod");
    gdb::Class cls(m, "GeoFileDatabase", nb::dynamic_attr(),
                   "Description : An Esri File Geodatabase directory, the source or target of "
                   "conversions to and from PostgreSQL/PostGIS and Shapefiles.");
    cls.def("__init__", &gdb::init, "gdb_path"_a.none(), "mode"_a.none() = "open",
            nb::sig("def __init__(self, gdb_path: PathLike, mode: str = 'open') -> None"),
            "Description : Binds the object to a geodatabase path. With mode 'open' the path "
            "must exist; any other mode (such as 'create') skips that check.")
        .def_rw("gdb_path", &gdb::GeoFileDatabase::gdb_path,
                "Description : The geodatabase directory (pathlib.Path).")
        .def_rw("_driver", &gdb::GeoFileDatabase::driver,
                "Description : GDAL's OpenFileGDB driver.")
        .def("_open_gdb", &gdb::open_gdb, "update"_a.none() = false,
             nb::sig("def _open_gdb(self, update: bool = False) -> Dataset"),
             "Description : Opens the geodatabase through GDAL's shared open, read-only unless "
             "update is true.");
    cls.attr("_pg_connection_string") = classmethod(nb::cpp_function(
        [](nb::handle, nb::handle connection, nb::handle schema) {
            return pg_connection_string(connection, schema);
        },
        nb::name("_pg_connection_string"), nb::scope(cls),
        "cls"_a.none(), "connection"_a.none(), "schema"_a.none() = "public",
        nb::sig("def _pg_connection_string(cls, connection: Union[str, Dict[str, Any]], "
                "schema: str = 'public') -> str"),
        "Description : GDAL PostgreSQL connection text from a ready string (returned as it is) "
        "or from a mapping with host, port (default 5432), dbname, user and password."));
    cls.attr("_list_layers") = classmethod(nb::cpp_function(
        [](nb::handle, nb::handle ds, nb::handle tables) {
            return list_layers(ds, tables, Membership::Containment);
        },
        nb::name("_list_layers"), nb::scope(cls),
        "cls"_a.none(), "ds"_a.none(), "tables"_a.none() = nb::none(),
        nb::sig("def _list_layers(cls, ds, tables=None) -> List[str]"),
        "Description : Layer names of an open dataset in index order, narrowed to the members "
        "of tables when tables is not empty."));
    gdb::bind_conversions(cls);
    cls.def_static("_run_parallel",
                   [](nb::handle items, nb::handle func) { run_python(this_module(), items, func); },
                   "items"_a.none(), "func"_a.none(),
                   nb::sig("def _run_parallel(items, func) -> None"),
                   "Description : Calls func(item) for every item on up to GEOFILEOPS_THREADS "
                   "threads; after all have ended, raises the first failure.")
        .def("get_layers_from_db", &gdb::get_layers_from_db, "connection"_a.none(), "schema"_a.none() = "public",
             nb::sig("def get_layers_from_db(self, connection: Union[str, Dict[str, Any]], "
                     "schema: str = 'public') -> List[str]"),
             "Description : Names of the layers of a PostgreSQL schema, in GDAL's order.");
    finish_documentation(m);
}
