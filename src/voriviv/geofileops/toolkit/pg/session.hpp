// A PostgreSQL session of our own, beside GDAL's connections: for the
// statements a conversion runs itself (existence checks, the claim of a
// temporary table, the rows of a COPY load, the table swap, cleanup). Opened
// from the same connection text GDAL gets. It is the one wrapper of libpq's
// connection: nothing else holds a PGconn.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "toolkit/core/cancel.hpp"
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

// Work given up because the caller asked to stop: a connection attempt, or a
// statement the server was asked to cancel.
struct Interrupted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class PgSession {
public:
    // The rows of a result as text (NULL as empty).
    using Rows = std::vector<std::vector<std::string>>;

    // Connects; a failure throws PgError with libpq's message. The attempt
    // gives up after connect_timeout seconds (with_connect_timeout), and as
    // soon as `stop` (asked every 100 ms) returns true: then it throws
    // Interrupted. Notices of the server (e.g. of identifiers being cut) are
    // discarded: they are not ours to print.
    explicit PgSession(const std::string &gdal_text,
                       const std::function<bool()> &stop = nullptr);
    ~PgSession();
    PgSession(const PgSession &) = delete;
    PgSession &operator=(const PgSession &) = delete;

    // Runs `sql` (one or more statements) and returns the rows of the last
    // one. A failure throws PgError with the server's text and sqlstate (the
    // first failing statement's; the server skips the rest). While waiting it
    // watches `cancel` (when given): once set, the server is asked to cancel
    // the statement and the call throws Interrupted when it has ended. The
    // session stays usable after either (a transaction is then left failed:
    // see rollback).
    Rows query(const std::string &sql, const CancelToken *cancel = nullptr);
    void exec(const std::string &sql, const CancelToken *cancel = nullptr) { query(sql, cancel); }

    // Whether a relation <schema>.<name> exists.
    bool relation_exists(const std::string &schema, const std::string &name);

    // Starts `sql`, a COPY ... FROM STDIN; the session then takes its data
    // until end_copy or rollback. Throws PgError when the server refuses it.
    void copy_in(const std::string &sql);
    // Sends a block of COPY data (nothing for an empty block); throws PgError
    // on a lost connection. The server reports bad data only at end_copy.
    void put_copy_data(const std::string &block);
    // Ends the COPY's data; throws PgError when the server failed the COPY.
    void end_copy();

    // Leaves the session idle, whatever it was doing: a COPY in progress is
    // aborted, an open transaction (failed or not) rolled back. Never throws;
    // a lost connection stays lost (idle() then says false).
    void rollback() noexcept;

    // Whether the session is connected with no transaction or COPY open:
    // ready for statements of its own.
    bool idle() const;

private:
    pg_conn *conn_ = nullptr;
    bool in_copy_ = false;
};

}  // namespace voriviv::geofileops
