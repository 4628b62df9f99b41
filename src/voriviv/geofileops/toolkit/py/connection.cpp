#include "toolkit/py/connection.hpp"

#include "toolkit/pg/conninfo.hpp"
#include "toolkit/pg/session.hpp"
#include "toolkit/py/pyboundary.hpp"

namespace nb = nanobind;

namespace voriviv::geofileops {

namespace {
// format(value, "") of the value, as UTF-8.
std::string formatted(nb::handle value) {
    nb::object empty = nb::str("");
    nb::object text = nb::steal(PyObject_Format(value.ptr(), empty.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    return utf8(text);
}

std::string item(nb::handle mapping, const char *key) {
    nb::object k = nb::str(key);
    nb::object v = nb::steal(PyObject_GetItem(mapping.ptr(), k.ptr()));
    if (!v.is_valid()) throw nb::python_error();
    return formatted(v);
}
}  // namespace

nb::object pg_connection_string(nb::handle connection, nb::handle schema) {
    require_exact(schema, &PyUnicode_Type, "schema");
    if (PyUnicode_Check(connection.ptr())) {
        if (!PyUnicode_CheckExact(connection.ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                         Py_TYPE(connection.ptr())->tp_name);
            throw nb::python_error();
        }
        return nb::borrow(connection);
    }
    ConnectionValues v;
    v.host = item(connection, "host");
    v.port = formatted(connection.attr("get")("port", 5432));
    v.dbname = item(connection, "dbname");
    v.user = item(connection, "user");
    v.password = item(connection, "password");
    v.schema = utf8(schema);
    std::string text = pg_connection_text(v);
    // An optional connect_timeout (seconds) goes to libpq as it is.
    nb::object timeout = connection.attr("get")("connect_timeout", nb::none());
    if (!timeout.is_none()) text += " connect_timeout=" + libpq_value(formatted(timeout));
    return nb::str(text.data(), text.size());
}

void probe_connection(const std::string &gdal_text) {
    // Other texts are GDAL's to refuse, with its own message.
    if (!is_pg_text(gdal_text)) return;
    bool interrupted = false;
    auto stop = [&interrupted] {
        nanobind::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) interrupted = true;
        return interrupted;
    };
    try {
        nanobind::gil_scoped_release nogil;
        PgSession probe(gdal_text, stop);
    } catch (const Interrupted &) {
        throw nanobind::python_error();  // the KeyboardInterrupt PyErr_CheckSignals set
    }
}
}  // namespace voriviv::geofileops
