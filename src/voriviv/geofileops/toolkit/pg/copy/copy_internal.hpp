// Internal to pg/copy: what the files of the COPY load share. Nothing outside
// pg/copy includes it (copy.hpp is the load's contract).
//
//   definition.cpp  GDAL creates the empty table; its definition is read
//                   back from the catalog and the table dropped again
//   rows.cpp        the row format, and a part's features as COPY rows
//                   (text or binary)
//   streams.cpp     the layer's parts, several threads feeding one COPY stream
//   copy.cpp        the load: one transaction of table, rows and indexes
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gdal.h>
#include <ogr_feature.h>

#include "toolkit/core/progress.hpp"
#include "toolkit/fidelity/fidelity.hpp"
#include "toolkit/pg/copy/copy.hpp"
#include "toolkit/pg/copy/settings.hpp"
#include "toolkit/pg/session.hpp"

namespace voriviv::geofileops {

// Rows are sent in blocks of about this many bytes; cancellation is looked
// at between blocks.
constexpr std::size_t kBlockBytes = 256 * 1024;
// A layer is split into parts only when each gets at least this many features.
constexpr GIntBig kMinStreamFeatures = 20000;
// The start of COPY's binary format (signature, flags, header extension) and
// its end (a row of -1 columns).
constexpr char kBinaryHeader[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";
constexpr std::size_t kBinaryHeaderBytes = 19;
constexpr char kBinaryTrailer[] = "\xff\xff";
constexpr std::size_t kBinaryTrailerBytes = 2;

// The layer is not covered after all: nothing is left written and the caller
// translates it with GDAL.
struct NotCovered {};

// A value does not fit the declared width of its field: the layer needs the
// plan that reads its values first (fidelity.hpp).
struct Replan {};

// The load stopped because the caller cancelled it, or because another part
// of the layer failed.
struct Cancelled : Interrupted {
    Cancelled() : Interrupted("Load cancelled") {}
};

// One layer's COPY load, as pg_copy_layer was given it.
struct CopyJob {
    const CopyTarget &target;
    const CopySource &source;
    const CopySettings &settings;
    OGRLayerH layer;  // the source layer, in source.dataset
    WarningSink *sink;
    const CancelToken *cancel;

    bool cancelled() const { return cancel != nullptr && cancel->cancelled.load(); }
};

// --- definition.cpp ------------------------------------------------------------

// The table as GDAL's writer created it.
struct TableShape {
    OGRFeatureDefn *defn = nullptr;  // the writer's definition (owned)
    std::string fid_column;
    std::string geom_column;
    TableShape() = default;
    TableShape(const TableShape &) = delete;
    TableShape &operator=(const TableShape &) = delete;
    ~TableShape() { if (defn) defn->Release(); }
};

// The definition of a table as SQL that makes it again under the same name:
// `create` before the rows (sequences, table, column comments and storage),
// `after_rows` once they are in (constraints, indexes and their comments:
// built on the rows rather than row by row).
struct TableDefinition {
    std::string create;
    std::string after_rows;
};

// What step 1 of the load learns of the empty table GDAL created.
struct EmptyTable {
    std::string qualified;  // "schema"."table"
    TableShape shape;
    TableDefinition definition;
    PgSession::Rows column_types;  // name, type
};

// Whether rows of a layer of geometry type `t` can be sent.
bool covered_layer_type(OGRwkbGeometryType t);

struct RowFormat;

// Step 1: GDAL creates the empty table with `create` (the GDAL load's options
// with the plan, limited to 0 features); `table` and the geometry part of `f`
// are filled from it and the catalog, and the table is dropped again at once.
// Returns false, with the table gone, when the layer is not covered; any
// other failure also drops the table and throws.
bool read_empty_table(const CopyJob &job, const TranslateOptions &create, EmptyTable &table,
                      RowFormat &f);

// --- rows.cpp ------------------------------------------------------------------

// Column types that rows in binary format are written for.
enum class ColumnKind { Int4, Int8, Float8, Text, Other };

// The kind of a column of type `type` (as regtype prints it).
ColumnKind column_kind(const std::string &type);

// What every stream needs to write rows as the GDAL load does.
struct RowFormat {
    OGRFeatureDefn *defn = nullptr;  // the table's (EmptyTable::shape owns it)
    std::string fid_column;
    bool has_geom = false;
    OGRwkbGeometryType geom_type = wkbUnknown;  // the column's, flattened
    bool z = false, m = false;
    int srid = 0;
    int postgis_major = 0, postgis_minor = 0;
    bool preserve_fid = false;
    bool write_fid = false;  // else the table's sequence numbers the rows, as for GDAL's load
    std::vector<int> checks;  // fields whose values must fit their declared width
    std::string qualified;  // the table, quoted
    std::string copy_sql;
    // Rows in COPY's binary format, when every column has a type listed in
    // ColumnKind: the server then takes each value as it is instead of
    // parsing its text. Either way the table receives the same values.
    bool binary = false;
    ColumnKind fid_kind = ColumnKind::Int8;
    std::vector<ColumnKind> field_kinds;
    int columns = 0;  // in each row
};

// Completes `f` for `table` (step 1 filled the rest): whether FIDs are
// written (`split`: the layer goes in several parts), the columns and the
// COPY statement, and whether rows go in binary format (`binary_allowed`
// and every column of a ColumnKind).
void settle_row_format(RowFormat &f, const EmptyTable &table, bool split, bool binary_allowed);

// One part of the layer: features [first, first + count) (all of them when
// count < 0), read and formatted on a thread of its own.
struct Part {
    GIntBig first = 0;
    GIntBig count = -1;
    FeatureCounter counter;  // the layer's progress count, shared by its parts
    std::exception_ptr failure;
    bool not_covered = false;
};

// Takes a block of COPY rows; returns false when the load stopped and the
// block is not wanted. The block may be moved from.
using Emit = std::function<bool(std::string &block)>;

// Reads the part's features from the job's source dataset (`reopen`: from
// the source opened again by its name, for a part on another thread) and
// hands their COPY rows to `emit` in blocks of about kBlockBytes. Throws
// Cancelled once `stop` or the job's cancel token is set, Replan for a value
// too wide for its field (f.checks), NotCovered for a row it cannot send.
void produce(const RowFormat &f, const CopyJob &job, Part &part, bool reopen,
             const std::atomic<bool> &stop, const Emit &emit);

// --- streams.cpp ---------------------------------------------------------------

// Step 2: the layer's parts, one per thread: several when the job may use
// several streams, the layer is large and its source can be read from any
// feature; else one.
std::vector<Part> split_layer(const CopyJob &job);

// Runs the parts into the COPY stream open on the job's session: one part on
// the calling thread, several on threads of their own whose blocks the
// calling thread sends as they come. Throws NotCovered when a part met a row
// it cannot send, else a part's own failure before the stops it caused.
void send_parts(const RowFormat &f, const CopyJob &job, std::vector<Part> &parts);

}  // namespace voriviv::geofileops
