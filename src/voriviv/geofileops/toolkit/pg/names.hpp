// PostgreSQL's names: the table a layer is loaded into, and the names
// PostgreSQL derives from a table's (cut at 63 bytes, never inside a UTF-8
// character).
#pragma once

#include <cstddef>
#include <string>

namespace voriviv::geofileops {

class TargetClaims;

// The most bytes PostgreSQL keeps of a name (NAMEDATALEN - 1); it cuts longer
// ones without an error.
inline constexpr std::size_t kPgMaxIdentifier = 63;

// The table name GDAL's PostgreSQL driver gives a layer (its default name
// laundering: ASCII lower case, and ' - # replaced by _).
std::string pg_laundered_name(const std::string &layer);

// PostgreSQL's name for an object derived from a table name (makeObjectName):
// <name1>[_<name2>][_<label>], the longer of name1/name2 cut first so that the
// whole fits in 63 bytes, cuts never splitting a UTF-8 character.
std::string pg_object_name(const std::string &name1, const std::string &name2,
                           const std::string &label);

// Cuts `name` to at most `max_bytes` bytes at a UTF-8 character boundary, as
// PostgreSQL cuts an over-long identifier (at 63 bytes).
std::string pg_truncate_identifier(const std::string &name,
                                   std::size_t max_bytes = kPgMaxIdentifier);

// The table a layer is loaded into: PostgreSQL's laundering of its name
// (pg_laundered_name), cut when that is too long for PostgreSQL.
//
// A laundered name of up to 62 bytes is the table's name as it is. From 63
// bytes on, PostgreSQL would cut it to 63, and the names it and GDAL derive
// from the table (<table>_<geometry column>_geom_idx, ...) would be cut to the
// table's own name or to a neighbour's. Such a name is cut instead, at a UTF-8
// character boundary, to at most kPgCutTableBytes = 41 bytes: 63 less the
// longest suffix a load gives the objects named after its table,
// "_wkb_geometry_geom_idx" (22 bytes; the others are "_shape_geom_idx" 15,
// "_objectid_seq" 13, "_ogc_fid_seq" 12 and "_pkey" 5). The index, sequence
// and primary key of a cut table so keep their whole names: none exceeds 63
// bytes, none equals the table, and two cut tables that differ have
// different ones. (With a geometry or FID column name longer than those, a
// derived name is cut to 63 bytes as PostgreSQL cuts it, so it is still
// longer than the table's name.) The temporary table a load fills first,
// vv_tmp_<16 hex digits>, and the objects named after it do not depend on
// the layer's name (table_swap.hpp).
inline constexpr std::size_t kPgCutTableBytes = 41;

struct PgTarget {
    std::string table;
    bool cut = false;  // the laundered name was cut to kPgCutTableBytes
};

// The table of `layer`, as above.
PgTarget pg_target(const std::string &layer);

// pg_target(layer).table.
std::string pg_target_table(const std::string &layer);

// Claims <schema>.<table> of `layer` in `claims` (see TargetClaims); a layer
// whose table was cut is named with that said.
void claim_pg_table(TargetClaims &claims, const std::string &layer, const std::string &schema);

}  // namespace voriviv::geofileops
