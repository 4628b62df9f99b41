#include "toolkit/pg/conninfo.hpp"

#include "toolkit/py/pyboundary.hpp"

namespace nb = nanobind;

namespace voriviv::geofileops {

std::string libpq_value(std::string_view value) {
    bool quote = value.empty();
    for (char c : value) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' ||
            c == '\'' || c == '\\') {
            quote = true;
            break;
        }
    }
    if (!quote) return std::string(value);
    std::string out = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    out += '\'';
    return out;
}

std::string pg_connection_text(const ConnectionValues &v) {
    return "PG:host=" + libpq_value(v.host) + " port=" + libpq_value(v.port) +
           " dbname=" + libpq_value(v.dbname) + " user=" + libpq_value(v.user) +
           " password=" + libpq_value(v.password) + " schemas=" + libpq_value(v.schema);
}

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

bool is_conninfo_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::size_t conninfo_value_end(const std::string &s, std::size_t i) {
    if (i < s.size() && s[i] == '\'') {
        for (++i; i < s.size(); ++i) {
            if (s[i] == '\\') { ++i; continue; }
            if (s[i] == '\'') return i + 1;
        }
        return s.size();
    }
    while (i < s.size() && !is_conninfo_space(s[i])) ++i;
    return i;
}

}  // namespace voriviv::geofileops
