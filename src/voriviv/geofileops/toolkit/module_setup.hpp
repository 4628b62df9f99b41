// What every converter module does when it is imported.
#pragma once

#include <nanobind/nanobind.h>

namespace geofileops {

// In import order: loads the host modules the converters rely on, switches
// GDAL's Python bindings (when installed) into exception mode, registers
// GDAL's drivers and our exception translators, defines PathLike,
// GEOFILEOPS_THREADS and set_geofileops_threads, and binds the dataset types.
void init_converter_module(nanobind::module_ &m);

// Last step of a converter module's import: every function of the module and
// of its classes gets a documentation text that begins with its own docstring
// ("Description : ...") and a proper inspect.Signature, instead of the
// binding layer's rendered signature line at the top of __doc__. The callable
// itself is unchanged underneath (a thin forwarding function).
void finish_documentation(nanobind::module_ &m);

// The converter module this copy of the toolkit belongs to (each converter
// module links its own copy, so each sees itself here).
nanobind::handle this_module();

}  // namespace geofileops
