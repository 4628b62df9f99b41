// Module voriviv.geofileops.tab: the single-layer-file converter of
// toolkit/filedb.hpp bound for MapInfo TAB files, as _interface.TAB describes them.
#include <nanobind/nanobind.h>

#include "toolkit/filedb.hpp"
#include "toolkit/module_setup.hpp"

NB_MODULE(tab, m) {
    voriviv::geofileops::init_converter_module(m);
    voriviv::geofileops::bind_file_database(m, "TAB");
    voriviv::geofileops::install_python_interface(m);
}
