// Module voriviv.geofileops.tab: the single-layer-file converter of
// toolkit/filedb.hpp bound for MapInfo TAB files: the names, drivers and
// messages of the format are here; _interface.TAB gives the class its
// Python face (signatures and docstrings).
#include <nanobind/nanobind.h>

#include "filedb/filedb.hpp"
#include "toolkit/py/module_setup.hpp"

namespace {
const voriviv::geofileops::FileDbTraits kTraits{
    "TabFileDatabase", "tab_path", "_iter_tabfiles", "tab2pg", "pg2tab", "tab2shp",
    {"MapInfo File", ".tab"}, {"ESRI Shapefile", ".shp"},
    "Failed to open TAB file: ", "TAB file has no layer: "};
}  // namespace

NB_MODULE(tab, m) {
    voriviv::geofileops::init_converter_module(m);
    voriviv::geofileops::bind_file_database(m, kTraits);
    voriviv::geofileops::install_python_interface(m);
}
