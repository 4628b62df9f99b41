#include "toolkit/py/module_setup.hpp"

#include <cstdint>
#include <vector>

#include <gdal.h>

#include "toolkit/core/write_cache.hpp"
#include "toolkit/pg/conninfo.hpp"
#include "toolkit/py/layers.hpp"
#include "toolkit/py/pyboundary.hpp"
#include "toolkit/py/runner.hpp"

namespace nb = nanobind;

namespace voriviv::geofileops {

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
    install_write_cache();
    register_translators();

    m.attr("GEOFILEOPS_THREADS") = initial_thread_setting();
    m.def("set_geofileops_threads",
          [](nb::handle n) { set_thread_setting(this_module(), n); }, nb::arg("n").none());

    // Connection text read by libpq's rules, for the Python layer
    // (voriviv.connection), which so reads it as the loads do.
    m.def("_connection_params", [](nb::handle text) {
        const std::string t = utf8(text);
        std::vector<ConnParam> params;
        {
            nb::gil_scoped_release nogil;
            params = connection_params(t);
        }
        nb::list out;
        for (const ConnParam &p : params)
            out.append(nb::make_tuple(nb::str(p.key.data(), p.key.size()),
                                      nb::str(p.value.data(), p.value.size())));
        return out;
    }, nb::arg("text"));

    bind_dataset_types(m);
}

void install_python_interface(nb::module_ &m) {
    nb::module_::import_("voriviv.geofileops._interface").attr("install")(m);
}

}  // namespace voriviv::geofileops
