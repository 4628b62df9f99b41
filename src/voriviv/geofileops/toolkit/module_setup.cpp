#include "toolkit/module_setup.hpp"

#include <gdal.h>

#include "toolkit/layers.hpp"
#include "toolkit/pyboundary.hpp"
#include "toolkit/runner.hpp"

namespace nb = nanobind;

namespace geofileops {

namespace {
PyObject *g_module = nullptr;  // borrowed: a module lives until the interpreter ends
}

nb::handle this_module() { return g_module; }

void init_converter_module(nb::module_ &m) {
    g_module = m.ptr();
    for (const char *name : {"shutil", "pathlib", "typing", "concurrent.futures", "threading"})
        nb::module_::import_(name);

    // GDAL's own Python bindings are not a dependency; when they are present,
    // they are switched into exception mode for the whole process.
    try {
        nb::module_::import_("osgeo.gdal").attr("UseExceptions")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    GDALAllRegister();
    register_translators();

    nb::object typing = nb::module_::import_("typing");
    nb::object path_type = nb::module_::import_("pathlib").attr("Path");
    m.attr("PathLike") = typing.attr("Union")[nb::make_tuple(nb::handle((PyObject *)&PyUnicode_Type), path_type)];

    m.attr("GEOFILEOPS_THREADS") = initial_thread_setting();
    m.def("set_geofileops_threads",
          [](nb::handle n) { set_thread_setting(this_module(), n); }, nb::arg("n").none(),
          nb::sig("def set_geofileops_threads(n: int) -> None"),
          "Description : Sets GEOFILEOPS_THREADS, the most worker threads a conversion of this "
          "module runs at once. Numbers are converted to int; values below 1 give 1.");

    bind_dataset_types(m);
}

}  // namespace geofileops
