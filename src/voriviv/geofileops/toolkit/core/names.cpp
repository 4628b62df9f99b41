#include "toolkit/core/names.hpp"

#include <cctype>

#include "toolkit/core/gdal_error.hpp"
#include "toolkit/core/messages.hpp"
#include "toolkit/pg/load.hpp"
#include "toolkit/py/pyboundary.hpp"
#include "toolkit/pg/table_swap.hpp"

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

static_assert(kPgMaxIdentifier == 63 && kPgCutTableBytes == 41,
              "msg::pg_table_name_cut states both numbers");

PgTarget pg_target(const std::string &layer) {
    std::string table = pg_laundered_name(layer);
    if (table.size() < kPgMaxIdentifier) return {std::move(table), false};
    return {pg_truncate_identifier(table, kPgCutTableBytes), true};
}

std::string pg_target_table(const std::string &layer) { return pg_target(layer).table; }

void claim_pg_table(TargetClaims &claims, const std::string &layer, const std::string &schema) {
    const PgTarget target = pg_target(layer);
    std::string what = "table " + schema + "." + target.table;
    if (target.cut) what += std::string(" (") + msg::kPgTableNameCut + ")";
    claims.claim(target.table, layer, what);
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
