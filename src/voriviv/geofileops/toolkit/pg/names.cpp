#include "toolkit/pg/names.hpp"

#include <cctype>

#include "toolkit/core/messages.hpp"
#include "toolkit/core/names.hpp"

namespace voriviv::geofileops {

namespace {
// Bytes of `s` that fit in `n`, not splitting a UTF-8 character.
std::size_t clip(const std::string &s, std::size_t n) {
    if (n >= s.size()) return s.size();
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return n;
}
}  // namespace

std::string pg_laundered_name(const std::string &layer) {
    std::string out = layer;
    for (char &c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (c == '\'' || c == '-' || c == '#') c = '_';
    }
    return out;
}

std::string pg_object_name(const std::string &name1, const std::string &name2,
                           const std::string &label) {
    size_t overhead = 0;
    if (!name2.empty()) overhead += 1;
    if (!label.empty()) overhead += label.size() + 1;
    const size_t avail = kPgMaxIdentifier - overhead;
    size_t n1 = name1.size(), n2 = name2.size();
    while (n1 + n2 > avail) {
        if (n1 > n2) --n1; else --n2;
    }
    std::string out = name1.substr(0, clip(name1, n1));
    if (!name2.empty()) out += "_" + name2.substr(0, clip(name2, n2));
    if (!label.empty()) out += "_" + label;
    return out;
}

std::string pg_truncate_identifier(const std::string &name, size_t max_bytes) {
    return name.substr(0, clip(name, max_bytes));
}

static_assert(kPgMaxIdentifier == 63 && kPgCutTableBytes == 41,
              "msg::pg_table_name_cut states both numbers");

PgTarget pg_target(const std::string &layer) {
    std::string table = pg_laundered_name(layer);
    if (table.size() < kPgMaxIdentifier) return {std::move(table), false};
    return {pg_truncate_identifier(table, kPgCutTableBytes), true};
}

std::string pg_target_table(const std::string &layer) { return pg_target(layer).table; }

void claim_pg_table(TargetClaims &claims, const std::string &layer, const std::string &schema) {
    const PgTarget target = pg_target(layer);
    std::string what = "table " + schema + "." + target.table;
    if (target.cut) what += std::string(" (") + msg::kPgTableNameCut + ")";
    claims.claim(target.table, layer, what);
}

}  // namespace voriviv::geofileops
