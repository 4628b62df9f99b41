// Layer names as data: checks made before any work, and the final target
// of each layer of a call.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <nanobind/nanobind.h>

namespace voriviv::geofileops {

// Raises TypeError when `tables` (a list, tuple, set, frozenset or dict;
// other iterables are not walked, to leave one-shot iterators alone) holds
// an item that is not a str, and ValueError for one holding a NUL.
void require_text_items(nanobind::handle tables, const char *param = "tables");

// The table a layer is loaded into (PostgreSQL's laundering), or RuntimeError
// when that name is too long for PostgreSQL: a name of 63 bytes is accepted
// by PostgreSQL but leaves its index the table's own name, and longer names
// are cut; either way the load would fail halfway or land elsewhere.
std::string pg_target_table(const std::string &layer, const std::string &schema);

// The table of a layer as events and reports name it: pg_target_table's
// name, or the laundered name when the layer will fail for its length.
std::string pg_table_label(const std::string &layer, const std::string &schema);

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
