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

}  // namespace voriviv::geofileops
