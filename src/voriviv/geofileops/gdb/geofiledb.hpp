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

// Defines gdb2pg, pg2gdb, pg2gdbf and gdb2shape on the class.
void bind_conversions(Class &cls);

}  // namespace voriviv::geofileops::gdb
