#include "toolkit/pg/session.hpp"

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>

#include <nanobind/nanobind.h>

#include <libpq-fe.h>

#include "toolkit/pg/conninfo.hpp"
#include "toolkit/pg/load.hpp"

namespace voriviv::geofileops {

namespace {

struct Token {
    std::string key;   // empty for a token without '='
    std::string text;  // the whole token as written
};

std::vector<Token> tokens(const std::string &s) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < s.size()) {
        if (is_conninfo_space(s[i])) { ++i; continue; }
        const size_t start = i;
        size_t end = conninfo_value_end(s, i);
        const size_t eq = s.find('=', i);
        std::string key;
        if (eq != std::string::npos && eq < end) {
            key = s.substr(i, eq - i);
            end = conninfo_value_end(s, eq + 1);
        }
        out.push_back({key, s.substr(start, end - start)});
        i = end;
    }
    return out;
}

std::string strip_prefix(const std::string &text) {
    return text.size() >= 3 && (text[0] == 'P' || text[0] == 'p') &&
                   (text[1] == 'G' || text[1] == 'g') && text[2] == ':'
               ? text.substr(3)
               : text;
}

// Whether GDAL would hand `text` to its PostgreSQL driver.
bool is_pg_text(const std::string &text) {
    return text.size() >= 3 && (text[0] == 'P' || text[0] == 'p') &&
           (text[1] == 'G' || text[1] == 'g') && text[2] == ':';
}

bool is_uri(const std::string &body) {
    return body.rfind("postgresql://", 0) == 0 || body.rfind("postgres://", 0) == 0;
}
}  // namespace

std::string with_connect_timeout(const std::string &text) {
    const std::string body = strip_prefix(text);
    if (!is_pg_text(text) || is_uri(body)) return text;
    for (const Token &t : tokens(body))
        if (t.key == "connect_timeout") return text;
    const char *env = std::getenv("PGCONNECT_TIMEOUT");
    if (env != nullptr && *env != '\0') return text;
    std::string out = text;
    while (!out.empty() && is_conninfo_space(out.back())) out.pop_back();
    if (!out.empty() && out != "PG:") out += ' ';
    return out + "connect_timeout=" + std::to_string(kDefaultConnectTimeout);
}

std::string text_for_schema(const std::string &text, const std::string &schema) {
    const std::string body = strip_prefix(text);
    if (!is_pg_text(text) || is_uri(body)) return text;
    for (const Token &t : tokens(body))
        if (t.key == "schemas") return with_connect_timeout(text);
    return with_connect_timeout(restrict_to_schema(text, schema));
}

std::string libpq_conninfo(const std::string &gdal_text) {
    const std::string body = strip_prefix(gdal_text);
    if (is_uri(body)) return body;
    std::string out;
    for (const Token &t : tokens(body)) {
        if (t.key == "schemas" || t.key == "tables" || t.key == "active_schema") continue;
        if (!out.empty()) out += ' ';
        out += t.text;
    }
    return out;
}

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
