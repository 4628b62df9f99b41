#include "toolkit/pg/load.hpp"

#include "toolkit/pg/names.hpp"

#include <cctype>

#include <ogr_api.h>

#include "toolkit/core/dataset.hpp"
#include "toolkit/core/errors.hpp"
#include "toolkit/core/messages.hpp"
#include "toolkit/core/names.hpp"
#include "toolkit/core/progress.hpp"
#include "toolkit/fidelity/fidelity.hpp"
#include "toolkit/pg/conninfo.hpp"
#include "toolkit/pg/copy/copy.hpp"
#include "toolkit/pg/copy/settings.hpp"
#include "toolkit/pg/session.hpp"
#include "toolkit/pg/table_swap.hpp"

namespace voriviv::geofileops {

void pg_load_layer(const PgLoad &load, GDALDatasetH src, const std::string &layer,
                   WarningSink *sink, const CancelToken *cancel) {
    LayerLabel label(layer);
    // Read before any work: a bad setting fails the load with nothing done.
    const CopySettings settings = copy_settings();
    const PgTarget target = pg_target(layer);
    const std::string &table = target.table;
    if (load.claims != nullptr) claim_pg_table(*load.claims, layer, load.schema);
    if (target.cut) {
        // Said before any work, so that a failure naming the table is understood.
        WarningSink::announce(sink, msg::pg_table_name_cut(layer, load.schema, table));
    }
    // The layer's one session of our own: it claims the temporary table,
    // sends the rows (COPY) and swaps the table into place. Its COPY
    // transaction ends before the swap's begins; the claim (a session-level
    // advisory lock) holds across both until the session closes.
    PgSession session(load.dest, [cancel] { return cancel != nullptr && cancel->cancelled.load(); });
    if (!load.overwrite && session.relation_exists(load.schema, table))
        throw Failure::runtime(already_exists_message(load.schema, table));
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
        // else through GDAL's translation (copy/copy.hpp).
        const CopyTarget copy_target{session, load.dest, load.schema, temp};
        if (!pg_copy_layer(copy_target, CopySource{src, opts, load.streams}, settings, sink,
                           cancel))
            translate_planned(load.dest, src, std::move(opts), TargetFormat::PostgreSQL, sink,
                              cancel);
        if (cancel != nullptr && cancel->cancelled.load())
            throw Failure::runtime("Load of layer '" + layer + "' was interrupted");
        swap_table_into_place(session, load.schema, temp, table, load.overwrite);
    } catch (...) {
        // A failed COPY or swap has rolled its transaction back: the session
        // is idle again, unless its connection is lost.
        drop_table_quietly(session, load.dest, load.schema, temp);
        throw;
    }
}

}  // namespace voriviv::geofileops
