// Module voriviv.geofileops.gdb: GeoFileDatabase object, its opener and the
// shared toolkit members (connection text, layer listing, parallel runner).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "gdb/geofiledb.hpp"
#include "toolkit/core/dataset.hpp"
#include "toolkit/core/messages.hpp"
#include "toolkit/pg/conninfo.hpp"
#include "toolkit/pg/session.hpp"
#include "toolkit/py/connection.hpp"
#include "toolkit/py/layers.hpp"
#include "toolkit/py/module_setup.hpp"
#include "toolkit/py/pyboundary.hpp"
#include "toolkit/py/runner.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace voriviv::geofileops;

namespace voriviv::geofileops::gdb {
namespace {

void init(GeoFileDatabase *self, nb::handle gdb_path, nb::handle mode) {
    nb::object path = bound_location(gdb_path, mode);
    GDALDriverH driver = require_driver("OpenFileGDB");
    // Constructed only once every check passed: nanobind never destroys an
    // instance whose __init__ raised, so earlier members would leak.
    new (self) GeoFileDatabase{path, nb::cast(PyDriver{driver})};
}

nb::object open_gdb(const GeoFileDatabase &self, nb::handle update) {
    const OpenFlags flags = truth(update) ? OpenFlags::SharedUpdate : OpenFlags::Shared;
    const std::string path = os_path(self.gdb_path);
    return wrap_dataset(gdal_call([&](WarningSink *sink) {
        return open_vector_or(path, flags, sink, msg::kOpenGdbFailed);
    }));
}

nb::list get_layers_from_db(const GeoFileDatabase &, nb::handle connection, nb::handle schema) {
    const std::string pg_conn = with_connect_timeout(utf8(pg_connection_string(connection, schema)));
    probe_connection(pg_conn);
    const std::vector<std::string> names = gdal_call([&](WarningSink *sink) {
        Dataset src = open_pg_source(pg_conn, sink, msg::kOpenPgFailed);
        return layer_names(src.get(), sink);
    });
    nb::list out;
    for (const auto &n : names) out.append(nb::str(n.data(), n.size()));
    return out;
}

// The override of `name` that a subclass or the instance defines, or an
// invalid object when the member is GeoFileDatabase's own.
nb::object override_of(nb::handle self, const char *name) {
    nb::object key = nb::str(name);
    PyObject **dict = _PyObject_GetDictPtr(self.ptr());
    if (dict != nullptr && *dict != nullptr && PyDict_Contains(*dict, key.ptr()) == 1)
        return self.attr(key);
    nb::handle own = nb::type<GeoFileDatabase>();
    nb::handle mro = reinterpret_cast<PyObject *>(Py_TYPE(self.ptr())->tp_mro);
    for (nb::handle cls : nb::borrow<nb::tuple>(mro)) {
        if (cls.is(own)) break;
        PyObject *members = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict;
        if (PyDict_Contains(members, key.ptr()) == 1) return self.attr(key);
    }
    return nb::object();
}

}  // namespace

nb::object call_open_gdb(nb::handle self) {
    if (nb::object own = override_of(self, "_open_gdb"); own.is_valid()) return own();
    return open_gdb(nb::cast<const GeoFileDatabase &>(self), Py_False);
}

nb::object call_pg_connection_string(nb::handle self, nb::handle connection, nb::handle schema) {
    if (nb::object own = override_of(self, "_pg_connection_string"); own.is_valid())
        return schema.is_valid() ? own(connection, "schema"_a = schema) : own(connection);
    nb::object dflt = nb::str("public");
    return pg_connection_string(connection, schema.is_valid() ? schema : dflt);
}

nb::object call_list_layers(nb::handle self, nb::handle ds, nb::handle tables) {
    if (nb::object own = override_of(self, "_list_layers"); own.is_valid())
        return own(ds, tables);
    return list_layers(ds, tables, Membership::Containment);
}

}  // namespace voriviv::geofileops::gdb

NB_MODULE(gdb, m) {
    init_converter_module(m);

    nb::object classmethod = nb::module_::import_("builtins").attr("classmethod");
    gdb::Class cls(m, "GeoFileDatabase", nb::dynamic_attr());
    // Called directly when the class is called (nanobind's construction
    // bypasses a Python __init__), so its parameters are the public ones.
    cls.def("__init__", &gdb::init, "gdb_path"_a.none(), "mode"_a.none() = "open")
        .def_rw("gdb_path", &gdb::GeoFileDatabase::gdb_path)
        .def_rw("_driver", &gdb::GeoFileDatabase::driver)
        .def("_open_gdb", &gdb::open_gdb, "update"_a.none());
    cls.attr("_pg_connection_string") = classmethod(nb::cpp_function(
        [](nb::handle, nb::handle connection, nb::handle schema) {
            return pg_connection_string(connection, schema);
        },
        nb::name("_pg_connection_string"), nb::scope(cls),
        "cls"_a.none(), "connection"_a.none(), "schema"_a.none()));
    cls.attr("_list_layers") = classmethod(nb::cpp_function(
        [](nb::handle, nb::handle ds, nb::handle tables) {
            return list_layers(ds, tables, Membership::Containment);
        },
        nb::name("_list_layers"), nb::scope(cls), "cls"_a.none(), "ds"_a.none(),
        "tables"_a.none()));
    gdb::bind_conversions(cls);
    cls.def_static("_run_parallel",
                   [](nb::handle items, nb::handle func) { run_python(this_module(), items, func); },
                   "items"_a.none(), "func"_a.none())
        .def("get_layers_from_db", &gdb::get_layers_from_db, "connection"_a.none(),
             "schema"_a.none());
    gdb::bind_verify(m);
    install_python_interface(m);
}
