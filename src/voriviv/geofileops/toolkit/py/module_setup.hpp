// What every converter module does when it is imported.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

namespace voriviv::geofileops {

// In import order: loads the host modules the converters rely on, switches
// GDAL's Python bindings (when installed) into exception mode, registers
// GDAL's drivers and our exception translator, defines GEOFILEOPS_THREADS
// and set_geofileops_threads, and binds the dataset types.
void init_converter_module(nanobind::module_ &m);

// Last step of a converter module's import: the native functions bound here
// (positional entry points, undocumented) are replaced by the Python functions
// of voriviv/geofileops/_interface.py, which carry the public signatures and
// docstrings and call them.
void install_python_interface(nanobind::module_ &m);

// The converter module this copy of the toolkit belongs to (each converter
// module links its own copy, so each sees itself here).
nanobind::handle this_module();

}  // namespace voriviv::geofileops
