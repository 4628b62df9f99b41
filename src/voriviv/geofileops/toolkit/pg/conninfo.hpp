// PostgreSQL connection text: the one place where it is read and written.
//
// GDAL's PostgreSQL driver takes "PG:" followed by libpq's connection
// parameters (a keyword string, or a postgresql:// URI) and a few keys of
// its own (schemas, tables, active_schema). Reading the parameters is left
// to libpq itself (PQconninfoParse), with its own quoting, escaping and URI
// rules; GDAL's keys are taken apart first, since libpq does not know them.
// Editing a text (restricting it to a schema, adding a connect timeout)
// keeps everything else as the caller wrote it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

// One parameter of a connection text, its value as libpq reads it.
struct ConnParam {
    std::string key;
    std::string value;
};

// The parameters of a connection text ("PG:" prefix or not; a keyword
// string or a URI): libpq's as PQconninfoParse reads them, in libpq's order,
// then GDAL's own keys as written. Text libpq refuses throws Failure::value
// with libpq's message.
std::vector<ConnParam> connection_params(const std::string &text);

// Whether GDAL's own key `key` (schemas, tables, active_schema) or a libpq
// parameter is named in `text`; text libpq refuses names nothing (GDAL and
// libpq report it when connecting).
bool names_param(const std::string &text, const std::string &key);

// Reading libpq connection text: the blanks between keyword=value pairs, and
// the end of the value that starts at `i` (plain up to a blank, or single-
// quoted with backslash escapes).
bool is_conninfo_space(char c);
std::size_t conninfo_value_end(const std::string &s, std::size_t i);

// Connection text restricted to `schema`: any schemas=... parameter of
// `text` is replaced by schemas=<schema> (quoted when needed).
std::string restrict_to_schema(const std::string &text, const std::string &schema);

// Whether GDAL would hand `text` to its PostgreSQL driver (a "PG:" prefix,
// in any case).
bool is_pg_text(const std::string &text);

// Seconds a connection attempt may take when neither the connection text nor
// PGCONNECT_TIMEOUT says otherwise.
constexpr int kDefaultConnectTimeout = 30;

// `text` (GDAL connection text, "PG:...") with connect_timeout=<default>
// added when it names no connect_timeout and PGCONNECT_TIMEOUT is unset or
// empty. Texts in URI form are returned unchanged.
std::string with_connect_timeout(const std::string &text);

// Connection text given by the caller as a str, made to see only `schema`
// unless the text names its schemas itself; also given the default connect
// timeout (with_connect_timeout).
std::string text_for_schema(const std::string &text, const std::string &schema);

// libpq's connection parameters from GDAL connection text: the "PG:" prefix
// and GDAL's own keys (schemas, tables, active_schema) dropped.
std::string libpq_conninfo(const std::string &gdal_text);

}  // namespace voriviv::geofileops
