#include "toolkit/pg/load.hpp"

#include <cctype>

#include <ogr_api.h>

#include "toolkit/pg/conninfo.hpp"
#include "toolkit/core/dataset.hpp"
#include "toolkit/fidelity/fidelity.hpp"
#include "toolkit/core/messages.hpp"
#include "toolkit/core/names.hpp"
#include "toolkit/pg/session.hpp"
#include "toolkit/py/progress.hpp"
#include "toolkit/py/pyboundary.hpp"
#include "toolkit/pg/table_swap.hpp"
#include "toolkit/pg/copy/copy.hpp"

namespace voriviv::geofileops {

std::string pg_laundered_name(const std::string &layer) {
    std::string out = layer;
    for (char &c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (c == '\'' || c == '-' || c == '#') c = '_';
    }
    return out;
}

std::string restrict_to_schema(const std::string &text, const std::string &schema) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        // Copy whitespace as it is.
        if (is_conninfo_space(text[i])) { out += text[i++]; continue; }
        size_t start = i;
        size_t eq = text.find('=', i);
        size_t token_end;
        std::string key;
        if (eq != std::string::npos) {
            key = text.substr(i, eq - i);
            token_end = conninfo_value_end(text, eq + 1);
        } else {
            token_end = conninfo_value_end(text, i);
        }
        // "PG:schemas=..." carries the prefix on its key.
        std::string bare = key.rfind("PG:", 0) == 0 ? key.substr(3) : key;
        if (bare == "schemas") {
            if (key != bare) out += "PG:";
        } else {
            out += text.substr(start, token_end - start);
        }
        i = token_end;
    }
    while (!out.empty() && is_conninfo_space(out.back())) out.pop_back();
    if (out.empty() || out == "PG:") return out + "schemas=" + libpq_value(schema);
    return out + " schemas=" + libpq_value(schema);
}

bool pg_table_exists(const std::string &conn_text, const std::string &schema,
                     const std::string &table, WarningSink *sink) {
    Dataset ds = open_vector_or(conn_text, OpenFlags::ReadOnly, sink,
                                "Failed to open PostgreSQL source");
    const std::string sql =
        "SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
        "ON n.oid = c.relnamespace WHERE n.nspname = " + quote_literal(schema) +
        " AND c.relname = " + quote_literal(table);
    ErrorScope scope(sink);
    OGRLayerH result = GDALDatasetExecuteSQL(ds.get(), sql.c_str(), nullptr, nullptr);
    scope.raise_if_failed();
    if (result == nullptr) throw GdalError("Failed to query table " + schema + "." + table);
    const bool found = OGR_L_GetFeatureCount(result, TRUE) > 0;
    GDALDatasetReleaseResultSet(ds.get(), result);
    scope.raise_if_failed();
    return found;
}

void pg_load_layer(const PgLoad &load, GDALDatasetH src, const std::string &layer,
                   WarningSink *sink, const CancelToken *cancel) {
    LayerLabel label(layer);
    const PgTarget target = pg_target(layer);
    const std::string &table = target.table;
    if (load.claims != nullptr) claim_pg_table(*load.claims, layer, load.schema);
    if (target.cut) {
        // Said before any work, so that a failure naming the table is understood.
        const std::string text = msg::pg_table_name_cut(layer, load.schema, table);
        progress_warning(text);
        if (sink != nullptr) sink->add(text);
    }
    PgSession session(load.dest, [cancel] { return cancel != nullptr && cancel->cancelled.load(); });
    if (!load.overwrite && session.relation_exists(load.schema, table))
        throw PyExcText{PyExc_RuntimeError, already_exists_message(load.schema, table)};
    // The rows go into a table of a fresh name; the target is replaced by it
    // only once it is complete (table_swap.hpp).
    const std::string temp = claim_temporary_table(session, load.schema);
    TranslateOptions opts;
    opts.format = "PostgreSQL";
    opts.layer = layer;
    opts.new_layer_name = temp;
    // Table and rows in one transaction: a load cut off by a lost connection
    // leaves nothing behind, not even the temporary table.
    opts.single_transaction = true;
    opts.geometry_type = "PROMOTE_TO_MULTI";
    opts.layer_creation = {"SCHEMA=" + load.schema, "OVERWRITE=NO"};
    try {
        // The rows go through COPY where the fast load covers the layer,
        // else through GDAL's translation (pg_copy.hpp).
        if (!pg_copy_layer(load.dest, load.schema, temp, src, opts, load.streams, sink, cancel))
            translate_planned(load.dest, src, std::move(opts), TargetFormat::PostgreSQL, sink,
                              cancel);
        if (cancel != nullptr && cancel->cancelled.load())
            throw PyExcText{PyExc_RuntimeError, "Load of layer '" + layer + "' was interrupted"};
        swap_table_into_place(session, load.schema, temp, table, load.overwrite);
    } catch (...) {
        drop_table_quietly(load.dest, load.schema, temp);
        throw;
    }
}

}  // namespace voriviv::geofileops
