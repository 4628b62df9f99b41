#include "toolkit/pg/table_swap.hpp"

#include "toolkit/core/errors.hpp"
#include "toolkit/pg/names.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>

#include <unistd.h>

namespace voriviv::geofileops {

namespace {
// Bytes of `s` that fit in `n`, not splitting a UTF-8 character.
size_t clip(const std::string &s, size_t n) {
    if (n >= s.size()) return s.size();
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return n;
}

std::string qualified(const std::string &schema, const std::string &name) {
    return quote_ident(schema) + "." + quote_ident(name);
}
}  // namespace

std::string already_exists_message(const std::string &schema, const std::string &table) {
    return "Table " + schema + "." + table + " already exists; pass overwrite=True to replace it";
}

std::string temporary_table_name() {
    static std::atomic<unsigned> counter{0};
    static const unsigned long long seed = [] {
        std::random_device rd;
        return (static_cast<unsigned long long>(rd()) << 32) ^ rd();
    }();
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    const unsigned long long mix =
        seed ^ (static_cast<unsigned long long>(now) * 0x9E3779B97F4A7C15ULL) ^
        (static_cast<unsigned long long>(getpid()) << 20) ^ counter.fetch_add(1);
    char buf[40];
    std::snprintf(buf, sizeof buf, "vv_tmp_%016llx", mix);
    return buf;
}

namespace {
// The names a load straight into `table` would have given the objects that
// the load into `temp` named after it.
void rename_dependents(PgSession &s, const std::string &schema, const std::string &temp,
                       const std::string &table) {
    const std::string rel = quote_literal(qualified(schema, table)) + "::regclass";
    auto derived = [&](const std::string &name) { return name.rfind(temp, 0) == 0; };
    // Constraints (a primary key renames its index with it). PostgreSQL named
    // them <table>_pkey and so on.
    for (const auto &row : s.query("SELECT conname, contype FROM pg_catalog.pg_constraint "
                                   "WHERE conrelid = " + rel)) {
        const std::string &name = row[0];
        if (!derived(name)) continue;
        std::string rest = name.substr(temp.size());
        std::string fresh;
        if (rest == "_pkey") fresh = pg_object_name(table, "", "pkey");
        else fresh = pg_truncate_identifier(table + rest);
        s.exec("ALTER TABLE " + qualified(schema, table) + " RENAME CONSTRAINT " +
               quote_ident(name) + " TO " + quote_ident(fresh));
    }
    // Sequences owned by a column: PostgreSQL named them <table>_<column>_seq.
    for (const auto &row : s.query(
             "SELECT c.relname, a.attname FROM pg_catalog.pg_depend d "
             "JOIN pg_catalog.pg_class c ON c.oid = d.objid AND c.relkind = 'S' "
             "JOIN pg_catalog.pg_attribute a ON a.attrelid = d.refobjid "
             "AND a.attnum = d.refobjsubid "
             "WHERE d.classid = 'pg_catalog.pg_class'::regclass AND d.refobjid = " + rel +
             " AND d.deptype IN ('a', 'i')")) {
        const std::string &name = row[0];
        if (!derived(name)) continue;
        s.exec("ALTER SEQUENCE " + qualified(schema, name) + " RENAME TO " +
               quote_ident(pg_object_name(table, row[1], "seq")));
    }
    // Other indexes were named by the loader as <table>_<...>: cut at 63 bytes.
    for (const auto &row : s.query(
             "SELECT c.relname FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class c "
             "ON c.oid = i.indexrelid WHERE i.indrelid = " + rel)) {
        const std::string &name = row[0];
        if (!derived(name)) continue;
        s.exec("ALTER INDEX " + qualified(schema, name) + " RENAME TO " +
               quote_ident(pg_truncate_identifier(table + name.substr(temp.size()))));
    }
}
}  // namespace

void swap_table_into_place(PgSession &s, const std::string &schema, const std::string &temp,
                           const std::string &table, bool replace) {
    s.exec("BEGIN");
    try {
        // One swap into a given target at a time, across sessions.
        s.exec("SELECT pg_advisory_xact_lock(hashtext(" +
               quote_literal("voriviv swap " + schema + "." + table) + "))");
        if (replace) {
            try {
                s.exec("DROP TABLE IF EXISTS " + qualified(schema, table));
            } catch (const PgError &e) {
                if (e.sqlstate == "2BP01")  // dependent objects still exist
                    throw Failure::runtime("Table " + schema + "." + table +
                                    " cannot be replaced because other objects depend on it; "
                                    "it was kept as it was: " + e.what());
                throw;
            }
        } else if (s.relation_exists(schema, table)) {
            throw Failure::runtime(already_exists_message(schema, table));
        }
        try {
            s.exec("ALTER TABLE " + qualified(schema, temp) + " RENAME TO " + quote_ident(table));
        } catch (const PgError &e) {
            // Another load won the race for the name.
            if (e.sqlstate == "42P07" || e.sqlstate == "23505")
                throw Failure::runtime(already_exists_message(schema, table));
            throw;
        }
        rename_dependents(s, schema, temp, table);
        s.exec("COMMIT");
    } catch (...) {
        s.rollback();
        throw;
    }
}

namespace {
// The advisory lock that marks <schema>.<name> as a temporary table in use.
std::string temporary_lock_key(const std::string &schema, const std::string &name) {
    return "hashtext('voriviv temporary table'), hashtext(" +
           quote_literal(qualified(schema, name)) + ")";
}
}  // namespace

std::string claim_temporary_table(PgSession &s, const std::string &schema) {
    std::string temp = temporary_table_name();
    // Two names whose keys collide cannot both be marked: take another.
    while (s.query("SELECT pg_try_advisory_lock(" + temporary_lock_key(schema, temp) + ")")
               .at(0).at(0) != "t")
        temp = temporary_table_name();
    const auto leftovers = s.query(
        "SELECT c.relname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
        "ON n.oid = c.relnamespace WHERE n.nspname = " + quote_literal(schema) +
        " AND c.relkind = 'r' AND c.relname ~ '^vv_tmp_[0-9a-f]{16}$'");
    for (const auto &row : leftovers) {
        const std::string key = temporary_lock_key(schema, row[0]);
        try {
            // A load that is still running holds its table's lock.
            if (s.query("SELECT pg_try_advisory_lock(" + key + ")").at(0).at(0) != "t") continue;
            try {
                s.exec("DROP TABLE IF EXISTS " + qualified(schema, row[0]));
            } catch (const PgError &) {
                // Not ours to drop (another role's), or in use after all.
            }
            s.exec("SELECT pg_advisory_unlock(" + key + ")");
        } catch (const PgError &) {
        }
    }
    return temp;
}

void drop_table_quietly(const std::string &conn_text, const std::string &schema,
                        const std::string &name) {
    try {
        PgSession s(conn_text);
        s.exec("DROP TABLE IF EXISTS " + qualified(schema, name));
    } catch (...) {
    }
}

void drop_table_quietly(PgSession &session, const std::string &conn_text,
                        const std::string &schema, const std::string &name) {
    if (session.idle()) {
        try {
            session.exec("DROP TABLE IF EXISTS " + qualified(schema, name));
            return;
        } catch (...) {
        }
    }
    drop_table_quietly(conn_text, schema, name);
}

}  // namespace voriviv::geofileops
