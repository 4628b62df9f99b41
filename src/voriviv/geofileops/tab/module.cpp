// Module voriviv.geofileops.tab: TabFileDatabase, a MapInfo TAB file or a
// directory of them, converted to and from PostgreSQL/PostGIS and into
// Shapefiles.
#include <nanobind/nanobind.h>

#include "toolkit/filedb.hpp"
#include "toolkit/module_setup.hpp"

namespace {
constexpr geofileops::FileDbTraits kTab{
    .class_name = "TabFileDatabase",
    .class_doc = "Description : A MapInfo TAB location (one .tab file or a directory of them), "
                 "the source or target of conversions to and from PostgreSQL/PostGIS and into "
                 "Shapefiles.",
    .path_attr = "tab_path",
    .iter_method = "_iter_tabfiles",
    .to_pg = "tab2pg",
    .from_pg = "pg2tab",
    .to_other = "tab2shp",
    .file_noun = "TAB file",
    .own = {"MapInfo File", ".tab"},
    .other = {"ESRI Shapefile", ".shp"},
    .open_failure = "Failed to open TAB file: ",
    .no_layer = "TAB file has no layer: ",
};
}  // namespace

NB_MODULE(tab, m) {
    m.doc() = "Description : MapInfo TAB converter: TabFileDatabase moves layers between MapInfo "
              "TAB files, PostgreSQL/PostGIS and Shapefiles through GDAL, one layer per "
              "translation, layers in parallel.";
    geofileops::init_converter_module(m);
    geofileops::bind_file_database(m, kTab);
    geofileops::finish_documentation(m);
}
