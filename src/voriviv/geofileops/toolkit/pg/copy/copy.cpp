// The COPY load of one layer (copy.hpp): its attempts, each in the three
// steps copy.hpp describes, and the transaction of the last step.
#include "toolkit/pg/copy/copy_internal.hpp"

#include <ogr_api.h>

#include "toolkit/pg/names.hpp"

namespace voriviv::geofileops {

namespace {

// Step 3: one transaction on the job's session makes the table from
// `table.definition`, sends the parts' rows, then builds its constraints and
// indexes on them and leaves the FID sequence where GDAL leaves it. On any
// failure the transaction is rolled back (the session is idle again, the
// table gone) and the failure rethrown.
void fill_table(const CopyJob &job, const EmptyTable &table, const RowFormat &f,
                std::vector<Part> &parts) {
    PgSession &s = job.target.session;
    try {
        s.exec("BEGIN;\n" + table.definition.create, job.cancel);
        s.copy_in(f.copy_sql);
        if (f.binary) s.put_copy_data(std::string(kBinaryHeader, kBinaryHeaderBytes));
        send_parts(f, job, parts);
        if (job.cancelled()) throw Cancelled();
        if (f.binary) s.put_copy_data(std::string(kBinaryTrailer, kBinaryTrailerBytes));
        s.end_copy();
        // Memory for the index builds of this session only; the indexes are the same.
        s.exec("SET LOCAL maintenance_work_mem = '256MB';\n" + table.definition.after_rows,
               job.cancel);
        s.exec("SELECT setval(pg_get_serial_sequence(" + quote_literal(f.qualified) + ", " +
                   quote_literal(f.fid_column) + "), MAX(" + quote_ident(f.fid_column) +
                   ")) FROM " + f.qualified,
               job.cancel);
        s.exec("COMMIT", job.cancel);
    } catch (...) {
        // Nothing was committed: ending the transaction removes the table.
        s.rollback();
        throw;
    }
}

// One attempt of pg_copy_layer with `plan`; throws Replan when a value of a
// field in `checks` does not fit its declared width (nothing is then left).
bool copy_with_plan(const CopyJob &job, const LayerPlan &plan, const std::vector<int> &checks) {
    if (!plan.geometry_type.empty() || !plan.dimension.empty() || !plan.map_field_types.empty())
        return false;
    const TranslateOptions &opts = job.source.opts;
    TranslateOptions create = opts;
    plan.apply(create);
    create.limit = 0;
    if (job.target.table != pg_laundered_name(opts.layer)) create.new_layer_name = job.target.table;

    // 1. GDAL creates the empty table; its definition is read and the table
    //    dropped again at once. Nothing of the load stays committed from here
    //    on: the table is made again, filled and indexed in one transaction,
    //    so a load cut off at any point (a lost connection, a server that
    //    stops, a killed process) leaves no table behind.
    EmptyTable table;
    RowFormat f;
    if (!read_empty_table(job, create, table, f)) return false;

    // 2. The layer's parts, one per thread, and the rows they write.
    std::vector<Part> parts = split_layer(job);
    f.checks = checks;
    settle_row_format(f, table, parts.size() > 1, job.settings.binary);

    // 3. One transaction: the table, its rows, then its constraints and
    //    indexes built on them, and the FID sequence where GDAL leaves it.
    try {
        fill_table(job, table, f, parts);
    } catch (const NotCovered &) {
        return false;
    }
    for (const auto &w : plan.warnings) WarningSink::announce(job.sink, w);
    return true;
}

}  // namespace

bool pg_copy_layer(const CopyTarget &target, const CopySource &source,
                   const CopySettings &settings, WarningSink *sink, const CancelToken *cancel) {
    if (!settings.copy) return false;
    const std::string &layer_name = source.opts.layer;
    OGRLayerH layer;
    {
        ErrorScope scope(sink);
        layer = GDALDatasetGetLayerByName(source.dataset, layer_name.c_str());
        scope.raise_if_failed();
    }
    if (layer == nullptr) return false;  // the translation reports it
    OGRFeatureDefnH src_defn = OGR_L_GetLayerDefn(layer);
    if (OGR_FD_GetGeomFieldCount(src_defn) > 1 || !covered_layer_type(OGR_L_GetGeomType(layer)))
        return false;
    const CopyJob job{target, source, settings, layer, sink, cancel};

    // The values are checked against their declared widths while they are
    // sent, so the layer is read once; only a layer with a value too wide is
    // loaded again, with the plan that reads it first.
    std::vector<int> checks;
    LayerPlan plan = plan_layer_unread(source.dataset, layer_name, sink, cancel, checks);
    try {
        return copy_with_plan(job, plan, checks);
    } catch (const Replan &) {
    }
    plan = plan_layer(source.dataset, layer_name, TargetFormat::PostgreSQL, sink, cancel);
    return copy_with_plan(job, plan, {});
}

}  // namespace voriviv::geofileops
