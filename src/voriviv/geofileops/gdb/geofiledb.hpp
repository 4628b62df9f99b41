// GeoFileDatabase: one Esri File Geodatabase directory and the conversions
// between it, PostgreSQL/PostGIS and Shapefiles.
#pragma once

#include <nanobind/nanobind.h>

namespace voriviv::geofileops::gdb {

struct GeoFileDatabase {
    nanobind::object gdb_path;  // pathlib.Path, set by the constructor
    nanobind::object driver;    // the OpenFileGDB driver
};

using Class = nanobind::class_<GeoFileDatabase>;

// The members a conversion calls on the object: _open_gdb(),
// _pg_connection_string(connection[, schema]) and _list_layers(ds, tables).
// A subclass (or the instance) may override them, and then its member is
// called; otherwise the native implementation is, without a round trip
// through the class's Python face.
nanobind::object call_open_gdb(nanobind::handle self);
nanobind::object call_pg_connection_string(nanobind::handle self, nanobind::handle connection,
                                           nanobind::handle schema = nanobind::handle());
nanobind::object call_list_layers(nanobind::handle self, nanobind::handle ds,
                                  nanobind::handle tables);

// Defines gdb2pg, pg2gdb, pg2gdbf and gdb2shape on the class.
void bind_conversions(Class &cls);

// Defines _verify_layers(pairs) on the module (gdb/verify.cpp).
void bind_verify(nanobind::module_ &m);

}  // namespace voriviv::geofileops::gdb
