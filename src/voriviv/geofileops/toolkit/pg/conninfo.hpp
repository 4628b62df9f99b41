// PostgreSQL connection text for GDAL's PostgreSQL driver.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nanobind/nanobind.h>

namespace voriviv::geofileops {

// One libpq keyword value: written as it is, unless it is empty or holds
// whitespace, a single quote or a backslash; then it is single-quoted with
// ' and \ escaped by a backslash, so it can neither break the text nor add
// or override other parameters.
std::string libpq_value(std::string_view value);

struct ConnectionValues {
    std::string host, port, dbname, user, password, schema;
};

// "PG:host=... port=... dbname=... user=... password=... schemas=...".
std::string pg_connection_text(const ConnectionValues &v);

// _pg_connection_string(connection, schema): a str connection is returned as
// the same object; a mapping is turned into connection text.
nanobind::object pg_connection_string(nanobind::handle connection, nanobind::handle schema);

// Reading libpq connection text: the blanks between keyword=value pairs, and
// the end of the value that starts at `i` (plain up to a blank, or single-
// quoted with backslash escapes).
bool is_conninfo_space(char c);
std::size_t conninfo_value_end(const std::string &s, std::size_t i);

}  // namespace voriviv::geofileops
