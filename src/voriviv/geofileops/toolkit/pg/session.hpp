// A PostgreSQL session of our own, beside GDAL's connections: for the
// statements a conversion runs itself (existence checks, the table swap,
// cleanup). Opened from the same connection text GDAL gets.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "toolkit/core/gdal_error.hpp"

struct pg_conn;

namespace voriviv::geofileops {

// A failure reported by PostgreSQL or libpq (not by GDAL: it reaches Python
// as a plain RuntimeError with PostgreSQL's text). sqlstate is PostgreSQL's
// five-character error code (empty when the failure was no server error,
// e.g. a lost connection).
struct PgError : std::runtime_error {
    std::string sqlstate;
    PgError(const std::string &msg, std::string state = "")
        : std::runtime_error(msg), sqlstate(std::move(state)) {}
};

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

// "name" with embedded quotes doubled.
std::string quote_ident(const std::string &name);
// 'text' with embedded quotes doubled.
std::string quote_literal(const std::string &text);

// A connection attempt given up because the caller asked to stop.
struct Interrupted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class PgSession {
public:
    // Connects; a failure throws PgError with libpq's message. The attempt
    // gives up after connect_timeout seconds (with_connect_timeout), and as
    // soon as `stop` (asked every 100 ms) returns true: then it throws
    // Interrupted.
    explicit PgSession(const std::string &gdal_text,
                       const std::function<bool()> &stop = nullptr);
    ~PgSession();
    PgSession(const PgSession &) = delete;
    PgSession &operator=(const PgSession &) = delete;

    // Runs `sql` (one or more statements); returns the rows of the last
    // result as text (NULL as empty). Throws PgError.
    std::vector<std::vector<std::string>> query(const std::string &sql);
    void exec(const std::string &sql) { query(sql); }

    // Whether a relation <schema>.<name> exists.
    bool relation_exists(const std::string &schema, const std::string &name);

private:
    pg_conn *conn_ = nullptr;
};

// Connects once to the server of `gdal_text` on the calling thread, which
// holds the GIL, and closes again: a server that does not answer fails the
// call here after the connect timeout, and Ctrl-C interrupts the wait
// (KeyboardInterrupt), before GDAL's own connection attempt, which nothing
// can interrupt.
void probe_connection(const std::string &gdal_text);

}  // namespace voriviv::geofileops
