#include "toolkit/names.hpp"

#include <cctype>

#include "toolkit/gdal_error.hpp"
#include "toolkit/pg_load.hpp"
#include "toolkit/pyboundary.hpp"

namespace nb = nanobind;

namespace voriviv::geofileops {

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

std::string pg_target_table(const std::string &layer, const std::string &schema) {
    std::string table = pg_laundered_name(layer);
    if (table.size() >= 63)
        throw PyExcText{PyExc_RuntimeError, "Layer '" + layer + "' was not loaded: its table name " + schema + "." +
                        table + " is " + std::to_string(table.size()) +
                        " bytes long, and PostgreSQL names hold at most 63 bytes (62 for a "
                        "table, whose index is named after it)"};
    return table;
}

std::string pg_table_label(const std::string &layer, const std::string &schema) {
    try {
        return pg_target_table(layer, schema);
    } catch (const PyExcText &) {
        return pg_laundered_name(layer);
    }
}

void TargetClaims::claim(const std::string &target, const std::string &layer,
                         const std::string &what) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, inserted] = owners_.emplace(target, layer);
    if (inserted) return;
    throw PyExcText{PyExc_RuntimeError, "Layer '" + layer + "' was not written: it would land on " + what +
                    ", the target of layer '" + it->second + "'"};
}

std::string ascii_lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace voriviv::geofileops
