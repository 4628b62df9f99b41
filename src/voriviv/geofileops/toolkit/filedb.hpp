// A converter for a location of single-layer files: one file, or a directory
// of files of one extension, each holding one layer (MapInfo TAB files,
// Shapefiles). The location is the source or target of three conversions:
// into a PostgreSQL schema, from a PostgreSQL schema, and into the other file
// format in a given directory.
//
// The converter is written once and bound once per format; a FileDbTraits
// value gives everything that differs between the bindings.
#pragma once

#include <nanobind/nanobind.h>

namespace geofileops {

// A file format: GDAL's driver name and the extension of the main file.
struct FileFormat {
    const char *driver;     // "MapInfo File"
    const char *extension;  // ".tab"
};

struct FileDbTraits {
    const char *class_name;     // "TabFileDatabase"
    const char *class_doc;      // begins with "Description : "
    const char *path_attr;      // attribute and first constructor parameter: "tab_path"
    const char *iter_method;    // "_iter_tabfiles"
    const char *to_pg;          // "tab2pg"
    const char *from_pg;        // "pg2tab"
    const char *to_other;       // "tab2shp"
    const char *file_noun;      // "TAB file", for the documentation texts
    FileFormat own;             // the location's format; its driver is looked up first
    FileFormat other;           // the target format of `to_other`
    const char *open_failure;   // "Failed to open TAB file: " + path
    const char *no_layer;       // "TAB file has no layer: " + path
};

// Defines the class described by `traits` in `m`. `traits` must outlive the
// module (a static constant).
void bind_file_database(nanobind::module_ &m, const FileDbTraits &traits);

}  // namespace geofileops
