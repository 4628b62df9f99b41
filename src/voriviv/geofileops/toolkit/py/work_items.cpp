#include "toolkit/py/work_items.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "toolkit/py/pyboundary.hpp"

namespace nb = nanobind;

namespace voriviv::geofileops {

std::vector<WorkName> work_names(nb::handle items, const char *param) {
    std::vector<WorkName> out;
    for (nb::handle item : items) {
        WorkName w;
        try {
            require_exact(item, &PyUnicode_Type, param);
            w.name = utf8(item);
        } catch (nb::python_error &) {
            w.error = std::current_exception();
        }
        out.push_back(std::move(w));
    }
    return out;
}

std::mutex &destination_mutex(const std::string &path) {
    static std::mutex registry_mutex;
    static std::map<std::string, std::unique_ptr<std::mutex>> registry;
    std::error_code ec;
    std::string key = std::filesystem::weakly_canonical(path, ec).string();
    if (ec) key = path;
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto &slot = registry[key];
    if (!slot) slot = std::make_unique<std::mutex>();
    return *slot;
}

void require_text_items(nb::handle tables, const char *param) {
    PyObject *t = tables.ptr();
    if (!(PyList_Check(t) || PyTuple_Check(t) || PyAnySet_Check(t) || PyDict_Check(t))) return;
    nb::object it = nb::steal(PyObject_GetIter(t));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object owned = nb::steal(item);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s must hold str names, not %.200s", param,
                         Py_TYPE(item)->tp_name);
            throw nb::python_error();
        }
        utf8(item);  // refuses a NUL, which no name can hold
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

}  // namespace voriviv::geofileops
