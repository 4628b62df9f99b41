#include "toolkit/fidelity/server.hpp"

#include <cstdlib>
#include <string>

#include <ogr_api.h>

#include "toolkit/core/gdal_error.hpp"

namespace voriviv::geofileops::fidelity {

namespace {

std::string quoted_identifier(const std::string &name) {
    std::string out = "\"";
    for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// Runs `sql` on the server of `src`; calls row(feature) for its one row.
// Failures stay quiet: the caller then knows nothing more than before.
template <class Row>
bool one_row(GDALDatasetH src, const std::string &sql, Row &&row) {
    WarningSink quiet;
    ErrorScope scope(&quiet);
    OGRLayerH result = GDALDatasetExecuteSQL(src, sql.c_str(), nullptr, nullptr);
    if (result == nullptr) return false;
    bool ok = false;
    if (OGRFeatureH f = OGR_L_GetNextFeature(result)) {
        row(f);
        OGR_F_Destroy(f);
        ok = true;
    }
    GDALDatasetReleaseResultSet(src, result);
    return ok;
}

}  // namespace

bool from_postgresql(GDALDatasetH src) {
    GDALDriverH driver = GDALGetDatasetDriver(src);
    return driver != nullptr && EQUAL(GDALGetDriverShortName(driver), "PostgreSQL");
}

bool ask_server(GDALDatasetH src, OGRLayerH layer, const std::vector<FieldInfo> &fields,
                std::vector<FieldStats> &stats, TargetFormat target) {
    // One column pair (or one column) per field that a plan sizes.
    struct Asked {
        std::size_t field;
        int column;
        bool number;
    };
    std::vector<Asked> asked;
    std::string select;
    int column = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldInfo &f = fields[i];
        const std::string c = quoted_identifier(f.name);
        const bool number = f.type == OFTReal && (target == TargetFormat::Shapefile || f.width > 0);
        const bool integer = f.type == OFTInteger64 && target == TargetFormat::MapInfo && f.width > 0;
        const bool text = f.type == OFTString && f.width > 0;
        if (!number && !integer && !text) continue;
        if (!select.empty()) select += ", ";
        // Every column named apart: GDAL's result layer takes columns of one
        // name (max, max, ...) for one field.
        const std::string a = "vv" + std::to_string(column);
        if (text) {
            select += "max(octet_length(" + c + ")) AS " + a;
        } else {
            select += "max(" + c + ")::float8 AS " + a + ", min(" + c + ")::float8 AS vv" +
                      std::to_string(column + 1);
        }
        asked.push_back({i, column, !text});
        column += text ? 1 : 2;
    }
    if (asked.empty()) return true;
    const std::string sql = "SELECT " + select + " FROM " + quoted_identifier(OGR_L_GetName(layer));
    std::vector<FieldStats> answer = stats;
    const bool ok = one_row(src, sql, [&](OGRFeatureH row) {
        for (const Asked &a : asked) {
            const FieldInfo &f = fields[a.field];
            FieldStats &st = answer[a.field];
            if (!OGR_F_IsFieldSetAndNotNull(row, a.column)) continue;
            if (!a.number) {
                const GIntBig longest = OGR_F_GetFieldAsInteger64(row, a.column);
                const int limit = f.width < static_cast<int>(kMaxTextBytes)
                                      ? f.width
                                      : static_cast<int>(kMaxTextBytes);
                if (longest > limit) st.too_wide = 1;
                continue;
            }
            const double largest = OGR_F_GetFieldAsDouble(row, a.column);
            const double smallest = OGR_F_GetFieldAsDouble(row, a.column + 1);
            if (target == TargetFormat::Shapefile && f.type == OFTReal) {
                st.values = 1;
                st.largest = std::max(st.largest, largest);
                st.smallest = std::min(st.smallest, smallest);
            } else if (!number_fits(largest, f, target) || !number_fits(smallest, f, target)) {
                st.too_wide = 1;
            }
        }
    });
    if (ok) stats = std::move(answer);
    return ok;
}

GIntBig estimated_rows(GDALDatasetH src, OGRLayerH layer) {
    const std::string name = quoted_identifier(OGR_L_GetName(layer));
    std::string literal = "'";
    for (char c : name) literal += c == '\'' ? std::string("''") : std::string(1, c);
    literal += "'";
    GIntBig rows = -1;
    // The statistics' count of live rows is kept as rows come and go; the
    // planner's estimate is the last ANALYZE's (-1 before the first).
    one_row(src, "SELECT coalesce(s.n_live_tup, greatest(c.reltuples, -1)::bigint) "
                 "FROM pg_catalog.pg_class c LEFT JOIN pg_catalog.pg_stat_all_tables s "
                 "ON s.relid = c.oid WHERE c.oid = to_regclass(" + literal + ")",
            [&](OGRFeatureH row) {
                if (OGR_F_IsFieldSetAndNotNull(row, 0)) rows = OGR_F_GetFieldAsInteger64(row, 0);
            });
    return rows >= 0 ? rows : -1;
}

}  // namespace voriviv::geofileops::fidelity
