// Replacing a PostgreSQL table without ever losing it.
//
// A layer is loaded into a table under a temporary name in the target
// schema. Only when that load is complete does one transaction put it in
// place: the old table (if any, and only when replacing is allowed) is
// dropped, the new one renamed, and the names of its indexes, sequences and
// constraints made what a load straight into the final name gives. Readers
// see the old table or the new one, never a missing or partial one. On any
// failure the temporary table is dropped and the old table is untouched.
#pragma once

#include <cstddef>
#include <string>

#include "toolkit/pg/names.hpp"
#include "toolkit/pg/session.hpp"

namespace voriviv::geofileops {

// A fresh temporary table name: lower-case ASCII, unique in practice.
std::string temporary_table_name();

// A fresh temporary table name in `schema`, marked as in use for as long as
// `session` stays open (a session-level advisory lock, taken before the
// table exists). Then drops the temporary tables in `schema` that no open
// session marks: what loads left behind when their process or server died
// between making a table and putting it in place. Failing to drop a leftover
// is not an error.
std::string claim_temporary_table(PgSession &session, const std::string &schema);

// Puts <schema>.<temp> in place as <schema>.<table> in one transaction.
// Without `replace` an existing <schema>.<table> fails the swap with
// "Table <schema>.<table> already exists; pass overwrite=True to replace it".
// An old table other objects depend on fails it with a message saying so.
// Swaps into one target are serialised across sessions. Throws PgError or
// (for the two conditions above) our own RuntimeError text; the
// temporary table then still exists (drop_table_quietly it).
void swap_table_into_place(PgSession &session, const std::string &schema,
                           const std::string &temp, const std::string &table, bool replace);

// Drops <schema>.<name> if it exists, through a fresh session; failures are
// swallowed (the server may be gone).
void drop_table_quietly(const std::string &conn_text, const std::string &schema,
                        const std::string &name);

// The same through `session` when it is idle (PgSession::idle), else, or
// when that fails, through a fresh session opened from `conn_text`.
void drop_table_quietly(PgSession &session, const std::string &conn_text,
                        const std::string &schema, const std::string &name);

// "Table <schema>.<table> already exists; pass overwrite=True to replace it".
std::string already_exists_message(const std::string &schema, const std::string &table);

}  // namespace voriviv::geofileops
