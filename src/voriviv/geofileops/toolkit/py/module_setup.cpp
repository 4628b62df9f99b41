#include "toolkit/py/module_setup.hpp"

#include <cstdint>
#include <vector>

#include <cpl_vsi.h>
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

    // A file written through the write cache (core/write_cache.hpp), one
    // operation after another, for the tests that hold it to a plain file's
    // behaviour: ("seek", offset, whence) ("write", bytes) ("read", n)
    // ("truncate", size); returns what each read gave.
    m.def("_write_cache_ops", [](const std::string &path, const std::string &mode,
                                 nb::list ops) {
        VSILFILE *f = VSIFOpenL(write_cached_path(path).c_str(), mode.c_str());
        if (f == nullptr) throw nb::value_error(("cannot open " + path).c_str());
        nb::list reads;
        for (nb::handle op : ops) {
            const std::string what = nb::cast<std::string>(op[0]);
            if (what == "seek") {
                VSIFSeekL(f, nb::cast<vsi_l_offset>(op[1]), nb::cast<int>(op[2]));
            } else if (what == "write") {
                const nb::bytes b = nb::cast<nb::bytes>(op[1]);
                VSIFWriteL(b.c_str(), 1, b.size(), f);
            } else if (what == "read") {
                std::string buf(nb::cast<std::size_t>(op[1]), '\0');
                buf.resize(VSIFReadL(buf.data(), 1, buf.size(), f));
                reads.append(nb::bytes(buf.data(), buf.size()));
            } else if (what == "truncate") {
                VSIFTruncateL(f, nb::cast<vsi_l_offset>(op[1]));
            }
        }
        if (VSIFCloseL(f) != 0) throw nb::value_error(("cannot close " + path).c_str());
        return reads;
    }, nb::arg("path"), nb::arg("mode"), nb::arg("ops"));

    bind_dataset_types(m);
}

void install_python_interface(nb::module_ &m) {
    nb::module_::import_("voriviv.geofileops._interface").attr("install")(m);
}

}  // namespace voriviv::geofileops
