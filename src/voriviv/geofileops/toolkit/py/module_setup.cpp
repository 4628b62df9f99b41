#include "toolkit/py/module_setup.hpp"

#include <cstdint>
#include <vector>

#include <gdal.h>

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
    register_translators();

    m.attr("GEOFILEOPS_THREADS") = initial_thread_setting();
    m.def("set_geofileops_threads",
          [](nb::handle n) { set_thread_setting(this_module(), n); }, nb::arg("n").none());

    // Diagnostic used by the benchmarks: `count` items of pure CPU work on the
    // native runner, without the GIL, so thread scaling can be measured apart
    // from GDAL and I/O. Returns a checksum so the work cannot be skipped.
    m.def("_spin_native", [](std::size_t count, std::uint64_t iterations) {
        std::vector<std::uint64_t> sums(count);
        run_native(this_module(), count, [&](std::size_t i, const CancelToken &) {
            std::uint64_t x = i + 1;
            for (std::uint64_t k = 0; k < iterations; ++k)
                x = x * 6364136223846793005ULL + 1442695040888963407ULL;
            sums[i] = x;
        });
        std::uint64_t total = 0;
        for (auto s : sums) total ^= s;
        return total;
    }, nb::arg("count"), nb::arg("iterations"));

    bind_dataset_types(m);
}

void install_python_interface(nb::module_ &m) {
    nb::module_::import_("voriviv.geofileops._interface").attr("install")(m);
}

}  // namespace voriviv::geofileops
