// Module voriviv.geofileops.shp: ShapefileDatabase, a Shapefile or a
// directory of them, converted to and from PostgreSQL/PostGIS and into
// MapInfo TAB files.
#include <nanobind/nanobind.h>

#include "toolkit/filedb.hpp"
#include "toolkit/module_setup.hpp"

namespace {
constexpr geofileops::FileDbTraits kShp{
    .class_name = "ShapefileDatabase",
    .class_doc = "Description : An Esri Shapefile location (one .shp file or a directory of "
                 "them), the source or target of conversions to and from PostgreSQL/PostGIS and "
                 "into MapInfo TAB files.",
    .path_attr = "shp_path",
    .iter_method = "_iter_shapefiles",
    .to_pg = "shp2pg",
    .from_pg = "pg2shp",
    .to_other = "shp2tab",
    .file_noun = "Shapefile",
    .own = {"ESRI Shapefile", ".shp"},
    .other = {"MapInfo File", ".tab"},
    .open_failure = "Failed to open shapefile: ",
    .no_layer = "Shapefile has no layer: ",
};
}  // namespace

NB_MODULE(shp, m) {
    m.doc() = "Description : Shapefile converter: ShapefileDatabase moves layers between Esri "
              "Shapefiles, PostgreSQL/PostGIS and MapInfo TAB files through GDAL, one layer per "
              "translation, layers in parallel.";
    geofileops::init_converter_module(m);
    geofileops::bind_file_database(m, kShp);
    geofileops::finish_documentation(m);
}
