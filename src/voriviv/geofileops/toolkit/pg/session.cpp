#include "toolkit/pg/session.hpp"

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>

#include <libpq-fe.h>

#include "toolkit/pg/conninfo.hpp"

namespace voriviv::geofileops {

std::string quote_ident(const std::string &name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string quote_literal(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

namespace {
std::string trimmed(const char *msg) {
    std::string s = msg ? msg : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}
}  // namespace

PgSession::PgSession(const std::string &gdal_text, const std::function<bool()> &stop) {
    conn_ = PQconnectStart(libpq_conninfo(with_connect_timeout(gdal_text)).c_str());
    if (conn_ == nullptr) throw PgError("Out of memory connecting to PostgreSQL");
    auto fail = [this](const std::string &fallback) {
        std::string msg = trimmed(PQerrorMessage(conn_));
        PQfinish(conn_);
        conn_ = nullptr;
        throw PgError(msg.empty() ? fallback : msg);
    };
    if (PQstatus(conn_) == CONNECTION_BAD) fail("Failed to connect to PostgreSQL");
    // libpq enforces connect_timeout only in its blocking calls; this loop
    // polls, so it keeps the limit itself.
    int timeout_s = 0;
    if (PQconninfoOption *opts = PQconninfo(conn_)) {
        for (PQconninfoOption *o = opts; o->keyword != nullptr; ++o)
            if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val != nullptr)
                timeout_s = std::atoi(o->val);
        PQconninfoFree(opts);
    }
    if (timeout_s > 0 && timeout_s < 2) timeout_s = 2;  // libpq's own minimum
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED) fail("Failed to connect to PostgreSQL");
        pollfd pfd{PQsocket(conn_), static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        const int ready = pfd.fd < 0 ? 1 : ::poll(&pfd, 1, 100);
        if (ready < 0 && errno != EINTR) fail("Failed to connect to PostgreSQL");
        if (ready > 0) {
            state = PQconnectPoll(conn_);
            continue;
        }
        if (stop && stop()) {
            PQfinish(conn_);
            conn_ = nullptr;
            throw Interrupted("Connection attempt interrupted");
        }
        if (timeout_s > 0 && std::chrono::steady_clock::now() >= deadline) {
            PQfinish(conn_);
            conn_ = nullptr;
            throw PgError("Connection to PostgreSQL timed out after " +
                            std::to_string(timeout_s) + " s (connect_timeout)");
        }
    }
    // Notices (e.g. of identifiers being cut) are not ours to print.
    PQsetNoticeProcessor(conn_, [](void *, const char *) {}, nullptr);
}

PgSession::~PgSession() {
    if (conn_ != nullptr) PQfinish(conn_);
}

std::vector<std::vector<std::string>> PgSession::query(const std::string &sql) {
    PGresult *res = PQexec(conn_, sql.c_str());
    const ExecStatusType status = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        std::string state;
        std::string msg;
        if (res != nullptr) {
            const char *s = PQresultErrorField(res, PG_DIAG_SQLSTATE);
            state = s ? s : "";
            msg = trimmed(PQresultErrorMessage(res));
        }
        if (msg.empty()) msg = trimmed(PQerrorMessage(conn_));
        if (res != nullptr) PQclear(res);
        throw PgError(msg, state);
    }
    std::vector<std::vector<std::string>> rows;
    const int n = PQntuples(res), m = PQnfields(res);
    rows.reserve(static_cast<size_t>(n));
    for (int r = 0; r < n; ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < m; ++c) row.emplace_back(PQgetvalue(res, r, c));
        rows.push_back(std::move(row));
    }
    PQclear(res);
    return rows;
}

bool PgSession::relation_exists(const std::string &schema, const std::string &name) {
    return !query("SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                  "ON n.oid = c.relnamespace WHERE n.nspname = " + quote_literal(schema) +
                  " AND c.relname = " + quote_literal(name))
                .empty();
}


}  // namespace voriviv::geofileops
