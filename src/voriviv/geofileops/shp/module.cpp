// Module voriviv.geofileops.shp: the single-layer-file converter of
// toolkit/filedb.hpp bound for Shapefiles, as _interface.SHP describes them.
#include <nanobind/nanobind.h>

#include "toolkit/filedb.hpp"
#include "toolkit/module_setup.hpp"

NB_MODULE(shp, m) {
    voriviv::geofileops::init_converter_module(m);
    voriviv::geofileops::bind_file_database(m, "SHP");
    voriviv::geofileops::install_python_interface(m);
}
