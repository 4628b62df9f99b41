// A converter for a location of single-layer files: one file, or a directory
// of files of one extension, each holding one layer (MapInfo TAB files,
// Shapefiles). The location is the source or target of three conversions:
// into a PostgreSQL schema, from a PostgreSQL schema, and into the other file
// format in a given directory.
//
// The converter is written once and bound once per format: what differs
// between the formats (names, drivers, extensions, messages) is a
// FileDbTraits value in each format's module. The public signatures and
// docstrings are written in voriviv/geofileops/_interface.py; the bindings
// here are positional entry points.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace voriviv::geofileops {

// A file format: GDAL's driver name and the extension of the main file.
struct FileFormat {
    std::string driver;     // "MapInfo File"
    std::string extension;  // ".tab"
};

struct FileDbTraits {
    std::string class_name;     // "TabFileDatabase"
    std::string path_attr;      // attribute and first constructor parameter: "tab_path"
    std::string iter_method;    // "_iter_tabfiles"
    std::string to_pg;          // "tab2pg"
    std::string from_pg;        // "pg2tab"
    std::string to_other;       // "tab2shp"
    FileFormat own;             // the location's format; its driver is looked up first
    FileFormat other;           // the target format of `to_other`
    std::string open_failure;   // "Failed to open TAB file: " + path
    std::string no_layer;       // "TAB file has no layer: " + path
};

// Defines in `m` the class of the format that `traits` describes. The
// traits must outlive the module (a static of the format's module).
void bind_file_database(nanobind::module_ &m, const FileDbTraits &traits);

}  // namespace voriviv::geofileops
