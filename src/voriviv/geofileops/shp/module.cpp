// Module voriviv.geofileops.shp: the single-layer-file converter of
// toolkit/filedb.hpp bound for Shapefiles: the names, drivers and
// messages of the format are here; _interface.SHP gives the class its
// Python face (signatures and docstrings).
#include <nanobind/nanobind.h>

#include "filedb/filedb.hpp"
#include "toolkit/py/module_setup.hpp"

namespace {
const voriviv::geofileops::FileDbTraits kTraits{
    "ShapefileDatabase", "shp_path", "_iter_shapefiles", "shp2pg", "pg2shp",
    "shp2tab", {"ESRI Shapefile", ".shp"}, {"MapInfo File", ".tab"},
    "Failed to open shapefile: ", "Shapefile has no layer: "};
}  // namespace

NB_MODULE(shp, m) {
    voriviv::geofileops::init_converter_module(m);
    voriviv::geofileops::bind_file_database(m, kTraits);
    voriviv::geofileops::install_python_interface(m);
}
