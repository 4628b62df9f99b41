// Layer names as data: checks made before any work, and the final target
// of each layer of a call.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <nanobind/nanobind.h>

namespace voriviv::geofileops {

class TargetClaims;

// Raises TypeError when `tables` (a list, tuple, set, frozenset or dict;
// other iterables are not walked, to leave one-shot iterators alone) holds
// an item that is not a str, and ValueError for one holding a NUL.
void require_text_items(nanobind::handle tables, const char *param = "tables");

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

// The targets of one call: the first layer to claim a target owns it; a
// later layer landing on the same target fails, naming both layers and the
// target. Target names are compared as given (callers fold case first when
// the target does).
class TargetClaims {
public:
    // Throws RuntimeError (PyExcText) when `target` was claimed by another layer.
    void claim(const std::string &target, const std::string &layer, const std::string &what);

private:
    std::mutex mutex_;
    std::unordered_map<std::string, std::string> owners_;
};

// ASCII lower case.
std::string ascii_lower(std::string s);

}  // namespace voriviv::geofileops
