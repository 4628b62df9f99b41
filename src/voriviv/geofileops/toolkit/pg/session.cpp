#include "toolkit/pg/session.hpp"

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

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

namespace {
// Waits until a result of `c` can be taken without blocking, watching
// `cancel`: once it is set, the server is asked (once) to cancel the running
// statement, and `cancel_sent` says so. Throws PgError on a lost connection.
void wait_for_result(PGconn *c, const CancelToken *cancel, bool &cancel_sent) {
    while (PQisBusy(c)) {
        if (!cancel_sent && cancel != nullptr && cancel->cancelled.load()) {
            if (PGcancel *pc = PQgetCancel(c)) {
                char buf[256];
                PQcancel(pc, buf, sizeof buf);
                PQfreeCancel(pc);
            }
            cancel_sent = true;
        }
        pollfd pfd{PQsocket(c), POLLIN, 0};
        if (pfd.fd < 0) throw PgError(trimmed(PQerrorMessage(c)));
        if (::poll(&pfd, 1, 100) < 0 && errno != EINTR)
            throw PgError(trimmed(PQerrorMessage(c)));
        if (!PQconsumeInput(c)) throw PgError(trimmed(PQerrorMessage(c)));
    }
}

// The failure `res` reports (null: the connection's).
PgError failure_of(PGconn *c, PGresult *res) {
    std::string msg, state;
    if (res != nullptr) {
        const char *s = PQresultErrorField(res, PG_DIAG_SQLSTATE);
        state = s ? s : "";
        msg = trimmed(PQresultErrorMessage(res));
    }
    if (msg.empty()) msg = trimmed(PQerrorMessage(c));
    return PgError(msg, state);
}
}  // namespace

PgSession::Rows PgSession::query(const std::string &sql, const CancelToken *cancel) {
    if (!PQsendQuery(conn_, sql.c_str())) throw PgError(trimmed(PQerrorMessage(conn_)));
    bool cancel_sent = false;
    Rows rows;
    std::optional<PgError> failure;
    for (;;) {
        wait_for_result(conn_, cancel, cancel_sent);
        PGresult *res = PQgetResult(conn_);
        if (res == nullptr) break;
        switch (PQresultStatus(res)) {
        case PGRES_TUPLES_OK: {
            rows.clear();
            const int n = PQntuples(res), m = PQnfields(res);
            rows.reserve(static_cast<size_t>(n));
            for (int r = 0; r < n; ++r) {
                std::vector<std::string> row;
                for (int k = 0; k < m; ++k) row.emplace_back(PQgetvalue(res, r, k));
                rows.push_back(std::move(row));
            }
            break;
        }
        case PGRES_COMMAND_OK:
        case PGRES_EMPTY_QUERY:
            rows.clear();
            break;
        case PGRES_COPY_IN:
        case PGRES_COPY_BOTH:
            // COPY data goes through copy_in: this one is refused, and the
            // server's failure of it follows.
            PQputCopyEnd(conn_, "COPY data is not sent through query");
            break;
        case PGRES_COPY_OUT: {
            char *buf = nullptr;
            while (PQgetCopyData(conn_, &buf, 0) > 0) PQfreemem(buf);
            break;
        }
        default:
            if (!failure) failure = failure_of(conn_, res);
        }
        PQclear(res);
    }
    if (cancel_sent) throw Interrupted("Statement cancelled");
    if (failure) throw *failure;
    return rows;
}

void PgSession::copy_in(const std::string &sql) {
    PGresult *res = PQexec(conn_, sql.c_str());
    if (res != nullptr && PQresultStatus(res) == PGRES_COPY_IN) {
        PQclear(res);
        in_copy_ = true;
        return;
    }
    PgError e = failure_of(conn_, res);
    if (res != nullptr) PQclear(res);
    throw e;
}

void PgSession::put_copy_data(const std::string &block) {
    if (!block.empty() && PQputCopyData(conn_, block.data(), static_cast<int>(block.size())) != 1)
        throw PgError(trimmed(PQerrorMessage(conn_)));
}

namespace {
// Ends the COPY in progress on `c`, normally (error == nullptr) or aborting it
// with `error`, and takes its results: the failure the server reported, if
// any.
std::optional<PgError> finish_copy(PGconn *c, const char *error) {
    if (PQputCopyEnd(c, error) != 1) return PgError(trimmed(PQerrorMessage(c)));
    std::optional<PgError> failure;
    while (PGresult *res = PQgetResult(c)) {
        if (PQresultStatus(res) != PGRES_COMMAND_OK && !failure) failure = failure_of(c, res);
        PQclear(res);
    }
    return failure;
}
}  // namespace

void PgSession::end_copy() {
    in_copy_ = false;
    if (std::optional<PgError> failure = finish_copy(conn_, nullptr)) throw *failure;
}

void PgSession::rollback() noexcept {
    if (in_copy_) {
        in_copy_ = false;
        try {
            finish_copy(conn_, "load stopped");  // its failure is the expected one
        } catch (...) {
        }
    }
    if (PQstatus(conn_) != CONNECTION_OK || PQtransactionStatus(conn_) == PQTRANS_IDLE) return;
    try {
        exec("ROLLBACK");
    } catch (...) {
    }
}

bool PgSession::idle() const {
    return !in_copy_ && PQstatus(conn_) == CONNECTION_OK &&
           PQtransactionStatus(conn_) == PQTRANS_IDLE;
}

bool PgSession::relation_exists(const std::string &schema, const std::string &name) {
    return !query("SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                  "ON n.oid = c.relnamespace WHERE n.nspname = " + quote_literal(schema) +
                  " AND c.relname = " + quote_literal(name))
                .empty();
}
}  // namespace voriviv::geofileops
