#include "toolkit/pg/copy/copy.hpp"

#include "toolkit/core/progress.hpp"
#include "toolkit/pg/conninfo.hpp"
#include "toolkit/pg/names.hpp"
#include "toolkit/pg/session.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/select.h>

#include <cpl_string.h>
#include <libpq-fe.h>
#include <ogr_api.h>
#include <ogr_feature.h>
#include <ogr_geometry.h>
#include <ogr_p.h>
#include <ogrsf_frmts.h>

#include "toolkit/core/dataset.hpp"
#include "toolkit/core/messages.hpp"
#include "toolkit/fidelity/fidelity.hpp"

// GDAL's PostgreSQL writer formats the non-geometry part of a COPY row with
// this function of its own (exported by libgdal, declared in no installed
// header). Using it makes every value arrive as the GDAL load writes it.
using OGRPGCommonEscapeStringCbk = CPLString (*)(void *userdata, const char *value, int width,
                                                 const char *layer, const char *field);
void OGRPGCommonAppendCopyFieldsExceptGeom(CPLString &command, OGRFeature *feature,
                                           const char *fid_column, bool fid_in_copy_fields,
                                           const std::vector<bool> &fields_to_include,
                                           OGRPGCommonEscapeStringCbk escape, void *userdata);

namespace voriviv::geofileops {

namespace {

// Rows are sent in blocks of about this many bytes; cancellation is looked
// at between blocks.
constexpr std::size_t kBlockBytes = 256 * 1024;
// A layer is split into parts only when each gets at least this many features.
constexpr GIntBig kMinStreamFeatures = 20000;

// How many parts one layer may be read in. All parts share one COPY stream,
// which one server process takes in, at about the rate one thread formats
// rows: with the server on the same machine, a part and the server process
// each keep a core busy, so by default a layer gets half the cores.
// GEOFILEOPS_PG_COPY_PARTS=N sets the limit instead.
int parts_limit() {
    if (const char *v = std::getenv("GEOFILEOPS_PG_COPY_PARTS")) {
        const int n = std::atoi(v);
        if (n >= 1) return n;
    }
    return std::max(1u, std::thread::hardware_concurrency() / 2);
}

// The layer is not covered after all: nothing is left written and the caller
// translates it with GDAL.
struct NotCovered {};

// A value does not fit the declared width of its field: the layer needs the
// plan that reads its values first (fidelity.hpp).
struct Replan {};

struct Cancelled : std::runtime_error {
    Cancelled() : std::runtime_error("Load cancelled") {}
};

// --- libpq ------------------------------------------------------------------

class Conn {
public:
    explicit Conn(const std::string &conninfo) : c_(PQconnectdb(conninfo.c_str())) {}
    ~Conn() { if (c_) PQfinish(c_); }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    PGconn *get() const { return c_; }
    bool ok() const { return c_ != nullptr && PQstatus(c_) == CONNECTION_OK; }
    std::string error() const { return c_ ? PQerrorMessage(c_) : "out of memory"; }

private:
    PGconn *c_;
};

struct Result {
    PGresult *r;
    explicit Result(PGresult *p) : r(p) {}
    ~Result() { if (r) PQclear(r); }
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;
};

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// Runs `sql`, waiting for its end while watching `cancel` (the server is
// asked to cancel the statement when it is set). Returns the last result's
// rows; throws on failure or cancellation.
std::vector<std::vector<std::string>> exec(PGconn *c, const std::string &sql,
                                           const CancelToken *cancel) {
    if (!PQsendQuery(c, sql.c_str())) throw PgError(trimmed(PQerrorMessage(c)));
    bool cancel_sent = false;
    while (PQisBusy(c)) {
        if (!cancel_sent && cancel != nullptr && cancel->cancelled.load()) {
            if (PGcancel *pc = PQgetCancel(c)) {
                char buf[256];
                PQcancel(pc, buf, sizeof buf);
                PQfreeCancel(pc);
            }
            cancel_sent = true;
        }
        const int fd = PQsocket(c);
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        timeval tv{0, 100 * 1000};
        select(fd + 1, &rd, nullptr, nullptr, &tv);
        if (!PQconsumeInput(c)) throw PgError(trimmed(PQerrorMessage(c)));
    }
    std::vector<std::vector<std::string>> rows;
    std::string failure;
    while (PGresult *raw = PQgetResult(c)) {
        Result r(raw);
        const ExecStatusType st = PQresultStatus(r.r);
        if (st == PGRES_TUPLES_OK) {
            rows.clear();
            for (int i = 0; i < PQntuples(r.r); ++i) {
                std::vector<std::string> row;
                for (int j = 0; j < PQnfields(r.r); ++j)
                    row.emplace_back(PQgetisnull(r.r, i, j) ? "" : PQgetvalue(r.r, i, j));
                rows.push_back(std::move(row));
            }
        } else if (st != PGRES_COMMAND_OK && failure.empty()) {
            failure = trimmed(PQresultErrorMessage(r.r));
        }
    }
    if (cancel_sent) throw Cancelled();
    if (!failure.empty()) throw PgError(failure);
    return rows;
}

// --- the table GDAL created ---------------------------------------------------

struct TableShape {
    OGRFeatureDefn *defn = nullptr;  // the writer's definition, as GDAL created it
    std::string fid_column;
    std::string geom_column;
    ~TableShape() { if (defn) defn->Release(); }
};

OGRLayerH created_layer(GDALDatasetH ds, const std::string &schema, const std::string &table) {
    if (OGRLayerH l = GDALDatasetGetLayerByName(ds, table.c_str())) return l;
    return GDALDatasetGetLayerByName(ds, (schema + "." + table).c_str());
}

// Creates the empty table with GDAL and returns the writer's view of it.
void create_table(const std::string &dest, GDALDatasetH src, const TranslateOptions &opts,
                  const std::string &schema, const std::string &table, TableShape &shape,
                  WarningSink *sink, const CancelToken *cancel) {
    Dataset out(vector_translate_open(dest, src, opts, sink, cancel));
    ErrorScope scope(sink);
    OGRLayerH layer = created_layer(out.get(), schema, table);
    scope.raise_if_failed();
    if (layer == nullptr) throw NotCovered{};
    OGRFeatureDefn *defn = OGRFeatureDefn::FromHandle(OGR_L_GetLayerDefn(layer));
    shape.defn = defn->Clone();
    shape.defn->Reference();
    shape.fid_column = OGR_L_GetFIDColumn(layer);
    shape.geom_column = OGR_L_GetGeometryColumn(layer);
    out.close();  // runs the deferred CREATE TABLE and the index
    scope.raise_if_failed();
}

// The definition of a table as SQL that makes it again under the same name:
// `create` before the rows (sequences, table, column comments and storage),
// `after_rows` once they are in (constraints, indexes and their comments:
// built on the rows rather than row by row). Read from the catalog on `c`,
// whose search path the SQL assumes. Tables with anything beyond what a
// GDAL load creates (triggers, rules, row security, privileges, tablespaces,
// identity or generated columns, unlogged or partitioned tables, foreign
// keys) throw NotCovered.
struct TableDefinition {
    std::string create;
    std::string after_rows;
};

TableDefinition read_definition(PGconn *c, const std::string &qualified) {
    const std::string rel = quote_literal(qualified) + "::regclass";
    TableDefinition def;
    const auto table = exec(c,
        "SELECT c.relkind, c.relpersistence, c.reltablespace <> 0, c.relhastriggers, "
        "c.relhasrules, c.relrowsecurity, c.relacl IS NOT NULL, c.reloptions IS NOT NULL, "
        "coalesce(obj_description(c.oid, 'pg_class'), '') FROM pg_catalog.pg_class c "
        "WHERE c.oid = " + rel, nullptr);
    if (table.size() != 1) throw NotCovered{};
    const auto &t = table[0];
    if (t[0] != "r" || t[1] != "p" || t[2] == "t" || t[3] == "t" || t[4] == "t" || t[5] == "t" ||
        t[6] == "t" || t[7] == "t")
        throw NotCovered{};

    // Sequences owned by a column (serial FIDs): made first, owned once the
    // table exists.
    std::string owned;
    for (const auto &s : exec(c,
             "SELECT quote_ident(n.nspname) || '.' || quote_ident(q.relname), quote_ident(a.attname), "
             "format_type(s.seqtypid, NULL), s.seqincrement, s.seqmin, s.seqmax, s.seqstart, "
             "s.seqcache, s.seqcycle, coalesce(obj_description(q.oid, 'pg_class'), '') "
             "FROM pg_catalog.pg_depend d "
             "JOIN pg_catalog.pg_class q ON q.oid = d.objid AND q.relkind = 'S' "
             "JOIN pg_catalog.pg_namespace n ON n.oid = q.relnamespace "
             "JOIN pg_catalog.pg_sequence s ON s.seqrelid = q.oid "
             "JOIN pg_catalog.pg_attribute a ON a.attrelid = d.refobjid AND a.attnum = d.refobjsubid "
             "WHERE d.classid = 'pg_catalog.pg_class'::regclass AND d.refobjid = " + rel +
             " AND d.deptype IN ('a', 'i') ORDER BY 1", nullptr)) {
        def.create += "CREATE SEQUENCE " + s[0] + " AS " + s[2] + " INCREMENT BY " + s[3] +
                      " MINVALUE " + s[4] + " MAXVALUE " + s[5] + " START WITH " + s[6] +
                      " CACHE " + s[7] + (s[8] == "t" ? " CYCLE" : " NO CYCLE") + ";\n";
        owned += "ALTER SEQUENCE " + s[0] + " OWNED BY " + qualified + "." + s[1] + ";\n";
        if (!s[9].empty()) owned += "COMMENT ON SEQUENCE " + s[0] + " IS " + quote_literal(s[9]) + ";\n";
    }

    std::string columns, per_column;
    for (const auto &a : exec(c,
             "SELECT quote_ident(a.attname), format_type(a.atttypid, a.atttypmod), a.attnotnull, "
             "d.adbin IS NOT NULL, coalesce(pg_get_expr(d.adbin, d.adrelid), ''), "
             "coalesce((SELECT quote_ident(cn.nspname) || '.' || quote_ident(co.collname) "
             "FROM pg_catalog.pg_collation co JOIN pg_catalog.pg_namespace cn "
             "ON cn.oid = co.collnamespace WHERE co.oid = a.attcollation "
             "AND a.attcollation <> t.typcollation), ''), "
             "a.attidentity <> '' OR a.attgenerated <> '', "
             "CASE WHEN a.attstorage <> t.typstorage THEN a.attstorage::text ELSE '' END, "
             "a.attstattarget <> -1, coalesce(col_description(a.attrelid, a.attnum), '') "
             "FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
             "LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
             "WHERE a.attrelid = " + rel + " AND a.attnum > 0 AND NOT a.attisdropped "
             "ORDER BY a.attnum", nullptr)) {
        if (a[6] == "t" || a[8] == "t") throw NotCovered{};
        columns += (columns.empty() ? "\n    " : ",\n    ") + a[0] + " " + a[1];
        if (!a[5].empty()) columns += " COLLATE " + a[5];
        if (a[3] == "t") columns += " DEFAULT " + a[4];
        if (a[2] == "t") columns += " NOT NULL";
        static const char *storage[][2] = {{"p", "PLAIN"}, {"e", "EXTERNAL"}, {"m", "MAIN"},
                                           {"x", "EXTENDED"}};
        for (const auto &st : storage)
            if (a[7] == st[0])
                per_column += "ALTER TABLE " + qualified + " ALTER COLUMN " + a[0] +
                              " SET STORAGE " + st[1] + ";\n";
        if (!a[9].empty())
            per_column += "COMMENT ON COLUMN " + qualified + "." + a[0] + " IS " +
                          quote_literal(a[9]) + ";\n";
    }
    def.create += "CREATE TABLE " + qualified + " (" + columns + "\n);\n" + owned + per_column;
    if (!t[8].empty()) def.create += "COMMENT ON TABLE " + qualified + " IS " + quote_literal(t[8]) + ";\n";

    for (const auto &k : exec(c,
             "SELECT quote_ident(conname), pg_get_constraintdef(oid), contype, "
             "coalesce(obj_description(oid, 'pg_constraint'), '') FROM pg_catalog.pg_constraint "
             "WHERE conrelid = " + rel + " ORDER BY conname", nullptr)) {
        if (k[2] != "p" && k[2] != "u" && k[2] != "c") throw NotCovered{};
        def.after_rows += "ALTER TABLE " + qualified + " ADD CONSTRAINT " + k[0] + " " + k[1] + ";\n";
        if (!k[3].empty())
            def.after_rows += "COMMENT ON CONSTRAINT " + k[0] + " ON " + qualified + " IS " +
                              quote_literal(k[3]) + ";\n";
    }
    for (const auto &ix : exec(c,
             "SELECT pg_get_indexdef(i.indexrelid), i.indexrelid::regclass::text, i.indisclustered, "
             "coalesce(obj_description(i.indexrelid, 'pg_class'), '') FROM pg_catalog.pg_index i "
             "WHERE i.indrelid = " + rel + " AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_constraint k "
             "WHERE k.conrelid = i.indrelid AND k.conindid = i.indexrelid) ORDER BY 2", nullptr)) {
        if (ix[2] == "t") throw NotCovered{};
        def.after_rows += ix[0] + ";\n";
        if (!ix[3].empty())
            def.after_rows += "COMMENT ON INDEX " + ix[1] + " IS " + quote_literal(ix[3]) + ";\n";
    }
    return def;
}

// --- what is covered -----------------------------------------------------------

bool covered_layer_type(OGRwkbGeometryType t) {
    switch (OGR_GT_Flatten(t)) {
    case wkbNone: case wkbUnknown: case wkbPoint: case wkbLineString: case wkbPolygon:
    case wkbMultiPoint: case wkbMultiLineString: case wkbMultiPolygon:
    case wkbGeometryCollection:
        return true;
    default:
        return false;
    }
}

// On unless GEOFILEOPS_PG_COPY=0 (the GDAL load, kept for comparison).
bool copy_enabled() {
    const char *v = std::getenv("GEOFILEOPS_PG_COPY");
    return v == nullptr || std::strcmp(v, "0") != 0;
}

// Column types that rows in binary format are written for.
enum class ColumnKind { Int4, Int8, Float8, Text, Other };

ColumnKind column_kind(const std::string &type) {
    if (type == "integer") return ColumnKind::Int4;
    if (type == "bigint") return ColumnKind::Int8;
    if (type == "double precision") return ColumnKind::Float8;
    if (type == "character varying" || type == "text") return ColumnKind::Text;
    return ColumnKind::Other;
}

// On unless GEOFILEOPS_PG_COPY_BINARY=0 (rows as text, kept for comparison).
bool binary_enabled() {
    const char *v = std::getenv("GEOFILEOPS_PG_COPY_BINARY");
    return v == nullptr || std::strcmp(v, "0") != 0;
}

// What every stream needs to write rows as the GDAL load does.
struct RowFormat {
    OGRFeatureDefn *defn;
    std::string fid_column;
    bool has_geom;
    OGRwkbGeometryType geom_type;  // the column's, flattened
    bool z, m;
    int srid;
    int postgis_major, postgis_minor;
    bool preserve_fid;
    bool write_fid;  // else the table's sequence numbers the rows, as for GDAL's load
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

CPLString no_escape(void *, const char *value, int, const char *, const char *) {
    return value;
}

// Applies the conversions the GDAL load makes to a geometry (promotion to
// multi-part, closed rings, the column's dimensions). Throws NotCovered for
// geometries it does not handle.
OGRGeometry *convert_geometry(OGRGeometry *g, const RowFormat &f) {
    const OGRwkbGeometryType t = g->getGeometryType();
    switch (OGR_GT_Flatten(t)) {
    case wkbPoint: case wkbLineString: case wkbPolygon:
        g = OGRGeometryFactory::forceTo(g, OGR_GT_GetCollection(t));
        break;
    case wkbMultiPoint: case wkbMultiLineString: case wkbMultiPolygon:
        break;
    case wkbGeometryCollection:
        if (f.geom_type != wkbUnknown && f.geom_type != wkbGeometryCollection) throw NotCovered{};
        break;
    default:
        throw NotCovered{};
    }
    if (f.geom_type != wkbUnknown && OGR_GT_Flatten(g->getGeometryType()) != f.geom_type)
        throw NotCovered{};
    g->closeRings();
    g->set3D(f.z);
    g->setMeasured(f.m);
    return g;
}

// --- rows in COPY's binary format ----------------------------------------------
//
// Each value is the one the server would make of the text the GDAL load sends
// for it (OGRPGCommonAppendCopyFieldsExceptGeom): the same integers, the
// double that the server's strtod gives for GDAL's text of it, the string cut
// at the field's declared width in characters as GDAL cuts it, and the
// geometry's EWKB bytes, which GDAL sends as hex.

constexpr char kBinaryHeader[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";  // signature, flags, extension
constexpr std::size_t kBinaryHeaderBytes = 19;

void put_be(std::string &out, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

void put_null(std::string &out) { put_be(out, 0xffffffffu, 4); }

void put_integer(std::string &out, GIntBig v, ColumnKind kind) {
    if (kind == ColumnKind::Int4) {
        // Out of the column's range: the server refuses GDAL's text; the
        // GDAL translation is left to say so.
        if (v < INT32_MIN || v > INT32_MAX) throw NotCovered{};
        put_be(out, 4, 4);
        put_be(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(v)), 4);
    } else {
        put_be(out, 8, 4);
        put_be(out, static_cast<std::uint64_t>(v), 8);
    }
}

void put_hex_bytes(std::string &out, const char *hex) {
    const std::size_t n = std::strlen(hex) / 2;
    put_be(out, n, 4);
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (std::size_t i = 0; i < n; ++i)
        out += static_cast<char>((nibble(hex[2 * i]) << 4) | nibble(hex[2 * i + 1]));
}

// Whether `v` reads back from its shortest text of at most 15 significant
// digits. GDAL writes a double without a declared width with 15 significant
// digits, so for such a `v` the server reads back `v` itself; for the others
// the value is taken from GDAL's text, as the server would take it.
bool at_most_15_digits(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    int digits = 0;
    for (const char *p = buf; p < r.ptr && *p != 'e'; ++p) digits += *p >= '0' && *p <= '9';
    return r.ec == std::errc() && digits <= 15;
}

// Appends the fields of `feature` (the table's definition) and its FID.
void append_binary_fields(std::string &out, OGRFeature *feature, const RowFormat &f) {
    if (f.write_fid) {
        const GIntBig fid = feature->GetFID();
        if (fid == OGRNullFID) put_null(out);
        else put_integer(out, fid, f.fid_kind);
    }
    for (int i = 0; i < f.defn->GetFieldCount(); ++i) {
        if (!feature->IsFieldSetAndNotNull(i)) {
            put_null(out);
            continue;
        }
        switch (f.field_kinds[i]) {
        case ColumnKind::Int4:
        case ColumnKind::Int8:
            put_integer(out, feature->GetFieldAsInteger64(i), f.field_kinds[i]);
            break;
        case ColumnKind::Float8: {
            double v = feature->GetFieldAsDouble(i);
            if (std::isnan(v)) v = std::numeric_limits<double>::quiet_NaN();
            else if (!std::isinf(v) &&
                     (f.defn->GetFieldDefn(i)->GetWidth() != 0 || !at_most_15_digits(v)))
                v = CPLStrtod(feature->GetFieldAsString(i), nullptr);
            std::uint64_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            put_be(out, 8, 4);
            put_be(out, bits, 8);
            break;
        }
        case ColumnKind::Text: {
            const char *text = feature->GetFieldAsString(i);
            std::size_t n = std::strlen(text);
            if (!CPLIsUTF8(text, static_cast<int>(n))) throw NotCovered{};
            const int width = f.defn->GetFieldDefn(i)->GetWidth();
            if (width > 0) {
                int chars = 0;
                for (std::size_t k = 0; k < n; ++k) {
                    if ((text[k] & 0xc0) == 0x80) continue;
                    if (chars == width) { n = k; break; }
                    ++chars;
                }
            }
            put_be(out, n, 4);
            out.append(text, n);
            break;
        }
        case ColumnKind::Other:
            throw NotCovered{};  // never chosen for binary rows
        }
    }
}

// One part of the layer: features [first, first + count) (all of them when
// count < 0), read and formatted on a thread of its own.
struct Part {
    GIntBig first = 0;
    GIntBig count = -1;
    FeatureCounter counter;  // the layer's progress count, shared by its parts
    std::exception_ptr failure;
    bool not_covered = false;
};

// Blocks of COPY rows from several parts on their way to the one COPY
// stream. Bounded: a part that runs ahead waits for the sender.
class BlockQueue {
public:
    BlockQueue(std::size_t capacity, int producers) : capacity_(capacity), producers_(producers) {}

    // False when the load stopped and the block is not wanted.
    bool put(std::string &&block) {
        std::unique_lock<std::mutex> lock(m_);
        room_.wait(lock, [&] { return aborted_ || q_.size() < capacity_; });
        if (aborted_) return false;
        q_.push_back(std::move(block));
        ready_.notify_one();
        return true;
    }
    void producer_done() {
        std::lock_guard<std::mutex> lock(m_);
        --producers_;
        ready_.notify_all();
    }
    void abort() {
        std::lock_guard<std::mutex> lock(m_);
        aborted_ = true;
        room_.notify_all();
        ready_.notify_all();
    }
    enum class Got { Block, Done, Timeout };
    // Waits up to 100 ms for a block.
    Got get(std::string &out) {
        std::unique_lock<std::mutex> lock(m_);
        if (!ready_.wait_for(lock, std::chrono::milliseconds(100),
                             [&] { return aborted_ || !q_.empty() || producers_ == 0; }))
            return Got::Timeout;
        if (q_.empty()) return Got::Done;  // all parts finished, or stopped
        out = std::move(q_.front());
        q_.pop_front();
        room_.notify_one();
        return Got::Block;
    }

private:
    std::mutex m_;
    std::condition_variable room_, ready_;
    std::deque<std::string> q_;
    std::size_t capacity_;
    int producers_;
    bool aborted_ = false;
};

// Reads the part's features from `src` (or from the source opened again by
// its name when `src` is null) and hands their COPY rows to `emit` in blocks
// of about kBlockBytes. `emit` returns false when the load stopped.
template <typename Emit>
void produce(const RowFormat &f, const std::string &src_name, GDALDatasetH src,
             const std::string &layer_name, Part &part, const std::atomic<bool> &stop,
             const CancelToken *cancel, WarningSink *sink, Emit &&emit) {
    LayerLabel label(layer_name);
    ErrorScope scope(sink);
    Dataset own;
    if (src == nullptr) {
        own = open_vector_or(src_name, OpenFlags::ReadOnly, sink, msg::kWorkerOpenFailed);
        src = own.get();
    }
    OGRLayer *layer = OGRLayer::FromHandle(GDALDatasetGetLayerByName(src, layer_name.c_str()));
    scope.raise_if_failed();
    if (layer == nullptr) throw GdalError("Layer " + layer_name + " not found");
    // Styles are not written to PostgreSQL; some drivers (MapInfo) compose
    // them for every feature unless told not to.
    const char *ignored[] = {"OGR_STYLE", nullptr};
    layer->SetIgnoredFields(ignored);
    struct Restore {
        OGRLayer *l;
        ~Restore() { l->SetIgnoredFields(nullptr); }
    } restore{layer};
    layer->ResetReading();
    if (part.first > 0 && layer->SetNextByIndex(part.first) != OGRERR_NONE)
        throw GdalError("Failed to seek to feature " + std::to_string(part.first));

    const std::vector<bool> include(f.defn->GetFieldCount(), true);
    std::unique_ptr<OGRFeature> dst(new OGRFeature(f.defn));
    std::vector<int> map(f.defn->GetFieldCount());
    for (int i = 0; i < static_cast<int>(map.size()); ++i) map[i] = i;
    std::string block;
    CPLString row;
    GIntBig index = part.first;
    auto stopped = [&] { return (cancel != nullptr && cancel->cancelled.load()) || stop.load(); };
    for (GIntBig n = 0; part.count < 0 || n < part.count; ++n, ++index) {
        std::unique_ptr<OGRFeature> feat(layer->GetNextFeature());
        if (!feat) break;
        std::unique_ptr<OGRGeometry> geom(feat->StealGeometry());
        dst->SetFieldsFrom(feat.get(), map.data(), TRUE);
        dst->SetFID(f.preserve_fid ? feat->GetFID() : index + 1);
        // The geometry as GDAL's writer sends it: hex EWKB, or none.
        std::unique_ptr<char, decltype(&CPLFree)> hex(nullptr, &CPLFree);
        if (f.has_geom && geom) {
            OGRGeometry *g = convert_geometry(geom.release(), f);
            geom.reset(g);
            hex.reset(OGRGeometryToHexEWKB(g, f.srid, f.postgis_major, f.postgis_minor));
        }
        for (int i : f.checks)
            if (!fits_declared_width(OGRFeature::ToHandle(feat.get()), i)) throw Replan{};
        if (f.binary) {
            put_be(block, static_cast<std::uint64_t>(f.columns), 2);
            if (f.has_geom) {
                if (hex) put_hex_bytes(block, hex.get());
                else put_null(block);
            }
            append_binary_fields(block, dst.get(), f);
        } else {
            row.clear();
            if (f.has_geom) row += hex ? hex.get() : "\\N";
            OGRPGCommonAppendCopyFieldsExceptGeom(row, dst.get(), f.fid_column.c_str(),
                                                  f.write_fid, include, no_escape, nullptr);
            row += '\n';
            if (!CPLIsUTF8(row.c_str(), static_cast<int>(row.size()))) throw NotCovered{};
            block += row;
        }
        part.counter.add(1);
        if (block.size() >= kBlockBytes) {
            scope.raise_if_failed();
            if (stopped() || !emit(block)) throw Cancelled();
            block.clear();
        }
    }
    scope.raise_if_failed();
    if (stopped() || (!block.empty() && !emit(block))) throw Cancelled();
}

// Sends COPY data; throws on a lost connection.
void put_copy_data(PGconn *c, const std::string &block) {
    if (!block.empty() && PQputCopyData(c, block.data(), static_cast<int>(block.size())) != 1)
        throw PgError(trimmed(PQerrorMessage(c)));
}

// Ends the COPY: normally (error == nullptr; a failure of the server throws)
// or aborting it with `error`.
void end_copy(PGconn *c, const char *error) {
    if (PQputCopyEnd(c, error) != 1) throw PgError(trimmed(PQerrorMessage(c)));
    std::string failure;
    while (PGresult *raw = PQgetResult(c)) {
        Result r(raw);
        if (PQresultStatus(r.r) != PGRES_COMMAND_OK && failure.empty())
            failure = trimmed(PQresultErrorMessage(r.r));
    }
    if (error == nullptr && !failure.empty()) throw PgError(failure);
}

// Runs the layer's parts into the COPY stream open on `c`: one part on the
// calling thread, several on threads of their own whose blocks the calling
// thread sends as they come.
void copy_parts(PGconn *c, const RowFormat &f, const std::string &src_name, GDALDatasetH src,
                const std::string &layer_name, std::vector<Part> &parts, const CancelToken *cancel,
                WarningSink *sink) {
    std::atomic<bool> stop{false};
    if (parts.size() == 1) {
        produce(f, src_name, src, layer_name, parts[0], stop, cancel, sink,
                [c](const std::string &block) { put_copy_data(c, block); return true; });
        return;
    }
    BlockQueue queue(4 * parts.size(), static_cast<int>(parts.size()));
    auto run = [&](std::size_t k) {
        try {
            produce(f, src_name, k == 0 ? src : nullptr, layer_name, parts[k], stop, cancel, sink,
                    [&queue](std::string &block) { return queue.put(std::move(block)); });
        } catch (const NotCovered &) {
            parts[k].not_covered = true;
            stop = true;
            queue.abort();
        } catch (...) {
            parts[k].failure = std::current_exception();
            stop = true;
            queue.abort();
        }
        queue.producer_done();
    };
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < parts.size(); ++k) threads.emplace_back(run, k);
    std::exception_ptr send_failure;
    try {
        std::string block;
        for (;;) {
            const BlockQueue::Got got = queue.get(block);
            if (got == BlockQueue::Got::Done) break;
            if (cancel != nullptr && cancel->cancelled.load()) throw Cancelled();
            if (got == BlockQueue::Got::Block) put_copy_data(c, block);
        }
    } catch (...) {
        send_failure = std::current_exception();
        stop = true;
        queue.abort();
    }
    for (auto &t : threads) t.join();
    for (const auto &p : parts)
        if (p.not_covered) throw NotCovered{};
    // A part's own failure comes before the stops it caused in the others.
    std::exception_ptr first = send_failure;
    for (const auto &p : parts) {
        if (!p.failure) continue;
        try { std::rethrow_exception(p.failure); }
        catch (const Cancelled &) { if (!first) first = p.failure; continue; }
        catch (...) { std::rethrow_exception(p.failure); }
    }
    if (first) std::rethrow_exception(first);
}

void drop_table(const std::string &conninfo, const std::string &qualified) {
    Conn c(conninfo);
    if (!c.ok()) return;
    try { exec(c.get(), "DROP TABLE IF EXISTS " + qualified, nullptr); } catch (...) {}
}

// Whether the source dataset can be opened again by its name and reading
// can start at any feature quickly, so that the layer can be read in parts.
bool splittable(GDALDatasetH src, OGRLayerH layer) {
    const char *name = GDALGetDescription(src);
    return name != nullptr && *name != '\0' && OGR_L_TestCapability(layer, OLCFastSetNextByIndex);
}

// One attempt of pg_copy_layer with `plan`; throws Replan when a value of a
// field in `checks` does not fit its declared width (nothing is then left).
bool copy_with_plan(PGconn *c, const std::string &conninfo, const std::string &dest,
                    const std::string &schema, const std::string &table, GDALDatasetH src,
                    OGRLayerH layer, const TranslateOptions &opts, const LayerPlan &plan,
                    const std::vector<int> &checks, int streams, WarningSink *sink,
                    const CancelToken *cancel) {
    if (!plan.geometry_type.empty() || !plan.dimension.empty() || !plan.map_field_types.empty())
        return false;
    TranslateOptions create = opts;
    plan.apply(create);
    create.limit = 0;
    if (table != pg_laundered_name(opts.layer)) create.new_layer_name = table;
    OGRFeatureDefnH src_defn = OGR_L_GetLayerDefn(layer);

    // 1. GDAL creates the empty table; its definition is read and the table
    //    dropped again at once. Nothing of the load stays committed from here
    //    on: the table is made again, filled and indexed in one transaction,
    //    so a load cut off at any point (a lost connection, a server that
    //    stops, a killed process) leaves no table behind.
    const std::string qualified = quote_ident(schema) + "." + quote_ident(table);
    TableShape shape;
    RowFormat f;
    TableDefinition definition;
    std::vector<std::vector<std::string>> column_types;  // name, type
    try {
        create_table(dest, src, create, schema, table, shape, sink, cancel);
        f.defn = shape.defn;
        f.fid_column = shape.fid_column;
        const char *src_fid = OGR_L_GetFIDColumn(layer);
        f.preserve_fid = src_fid != nullptr && *src_fid != '\0';
        // Source fields map one to one onto the table's, in order.
        if (OGR_FD_GetFieldCount(src_defn) != f.defn->GetFieldCount() || f.fid_column.empty())
            throw NotCovered{};
        for (int i = 0; i < f.defn->GetFieldCount(); ++i) {
            OGRFieldDefnH sf = OGR_FD_GetFieldDefn(src_defn, i);
            if (OGR_Fld_GetType(sf) != f.defn->GetFieldDefn(i)->GetType() ||
                EQUAL(f.defn->GetFieldDefn(i)->GetNameRef(), f.fid_column.c_str()))
                throw NotCovered{};
        }
        f.has_geom = f.defn->GetGeomFieldCount() == 1;
        if (f.defn->GetGeomFieldCount() > 1) throw NotCovered{};
        if (f.has_geom) {
            const OGRwkbGeometryType gt = f.defn->GetGeomFieldDefn(0)->GetType();
            f.geom_type = OGR_GT_Flatten(gt);
            f.z = OGR_GT_HasZ(gt);
            f.m = OGR_GT_HasM(gt);
            if (!covered_layer_type(gt) || f.geom_type == wkbPoint || f.geom_type == wkbLineString ||
                f.geom_type == wkbPolygon)
                throw NotCovered{};
            const auto srid = exec(c,
                                   "SELECT srid FROM geometry_columns WHERE f_table_schema = " +
                                       quote_literal(schema) + " AND f_table_name = " + quote_literal(table) +
                                       " AND f_geometry_column = " + quote_literal(shape.geom_column),
                                   nullptr);
            if (srid.size() != 1) throw NotCovered{};
            f.srid = std::atoi(srid[0][0].c_str());
            const auto version = exec(c, "SELECT postgis_lib_version()", nullptr);
            f.postgis_major = std::atoi(version.at(0).at(0).c_str());
            const char *dot = std::strchr(version[0][0].c_str(), '.');
            f.postgis_minor = dot ? std::atoi(dot + 1) : 0;
        }
        definition = read_definition(c, qualified);
        column_types = exec(c,
            "SELECT attname, atttypid::regtype::text FROM pg_catalog.pg_attribute WHERE attrelid = " +
                quote_literal(qualified) + "::regclass AND attnum > 0 AND NOT attisdropped", nullptr);
        exec(c, "DROP TABLE " + qualified, cancel);
    } catch (const NotCovered &) {
        drop_table(conninfo, qualified);
        return false;
    } catch (...) {
        drop_table(conninfo, qualified);
        throw;
    }

    // 2. The layer's parts, one per thread.
    const GIntBig total = OGR_L_GetFeatureCount(layer, TRUE);
    int n = 1;
    streams = std::min(streams, parts_limit());
    if (streams > 1 && total >= 2 * kMinStreamFeatures && splittable(src, layer))
        n = static_cast<int>(std::min<GIntBig>(streams, total / kMinStreamFeatures));
    // Parts numbered by the table's sequence would interleave: several parts
    // give every row its FID (1, 2, ... in reading order).
    f.write_fid = f.preserve_fid || n > 1 || (!f.has_geom && f.defn->GetFieldCount() == 0);
    std::string columns;
    if (f.has_geom) columns = quote_ident(shape.geom_column);
    if (f.write_fid) columns += (columns.empty() ? "" : ", ") + quote_ident(f.fid_column);
    for (int i = 0; i < f.defn->GetFieldCount(); ++i)
        columns += (columns.empty() ? "" : ", ") + quote_ident(f.defn->GetFieldDefn(i)->GetNameRef());
    f.qualified = qualified;
    f.checks = checks;
    auto type_of = [&](const char *name) {
        for (const auto &t : column_types)
            if (t[0] == name) return t[1];
        return std::string();
    };
    auto kind_of = [&](const char *name) { return column_kind(type_of(name)); };
    f.binary = binary_enabled();
    if (f.has_geom && type_of(shape.geom_column.c_str()) != "geometry") f.binary = false;
    if (f.write_fid) {
        f.fid_kind = kind_of(f.fid_column.c_str());
        if (f.fid_kind != ColumnKind::Int4 && f.fid_kind != ColumnKind::Int8) f.binary = false;
    }
    for (int i = 0; i < f.defn->GetFieldCount() && f.binary; ++i) {
        const OGRFieldDefn *fd = f.defn->GetFieldDefn(i);
        const ColumnKind k = kind_of(fd->GetNameRef());
        const OGRFieldType t = fd->GetType();
        const bool plain = fd->GetSubType() == OFSTNone;
        const bool fits = (t == OFTInteger && plain && k == ColumnKind::Int4) ||
                          (t == OFTInteger64 && plain && k == ColumnKind::Int8) ||
                          (t == OFTReal && plain && k == ColumnKind::Float8) ||
                          (t == OFTString && plain && k == ColumnKind::Text);
        if (!fits) f.binary = false;
        f.field_kinds.push_back(k);
    }
    f.columns = (f.has_geom ? 1 : 0) + (f.write_fid ? 1 : 0) + f.defn->GetFieldCount();
    f.copy_sql = "COPY " + qualified + " (" + columns + ") FROM STDIN";
    if (f.binary) f.copy_sql += " (FORMAT binary)";
    std::vector<Part> parts(n);
    const FeatureCounter counter = FeatureCounter::of_current_item(total);
    for (int k = 0; k < n; ++k) {
        parts[k].counter = counter;
        parts[k].first = total * k / n;
        parts[k].count = k + 1 < n ? total * (k + 1) / n - parts[k].first : -1;
    }

    // 3. One transaction: the table, its rows, then its constraints and
    //    indexes built on them, and the FID sequence where GDAL leaves it.
    bool in_copy = false;
    try {
        exec(c, "BEGIN;\n" + definition.create, cancel);
        {
            Result r(PQexec(c, f.copy_sql.c_str()));
            if (PQresultStatus(r.r) != PGRES_COPY_IN) throw PgError(trimmed(PQerrorMessage(c)));
        }
        in_copy = true;
        if (f.binary) put_copy_data(c, std::string(kBinaryHeader, kBinaryHeaderBytes));
        copy_parts(c, f, GDALGetDescription(src), src, opts.layer, parts, cancel, sink);
        if (cancel != nullptr && cancel->cancelled.load()) throw Cancelled();
        if (f.binary) put_copy_data(c, std::string("\xff\xff", 2));  // the trailer: -1
        in_copy = false;
        end_copy(c, nullptr);
        // Memory for the index builds of this session only; the indexes are the same.
        exec(c, "SET LOCAL maintenance_work_mem = '256MB';\n" + definition.after_rows, cancel);
        exec(c,
             "SELECT setval(pg_get_serial_sequence(" + quote_literal(qualified) + ", " +
                 quote_literal(f.fid_column) + "), MAX(" + quote_ident(f.fid_column) + ")) FROM " + qualified,
             cancel);
        exec(c, "COMMIT", cancel);
        for (const auto &w : plan.warnings) WarningSink::announce(sink, w);
    } catch (...) {
        // Nothing was committed: ending the transaction removes the table.
        if (in_copy) {
            try { end_copy(c, "load stopped"); } catch (...) {}
        }
        PQclear(PQexec(c, "ROLLBACK"));
        try {
            throw;
        } catch (const NotCovered &) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool pg_copy_layer(const std::string &dest, const std::string &schema, const std::string &table,
                   GDALDatasetH src, const TranslateOptions &opts, int streams,
                   WarningSink *sink, const CancelToken *cancel) {
    if (!copy_enabled()) return false;
    OGRLayerH layer;
    {
        ErrorScope scope(sink);
        layer = GDALDatasetGetLayerByName(src, opts.layer.c_str());
        scope.raise_if_failed();
    }
    if (layer == nullptr) return false;  // the translation reports it
    OGRFeatureDefnH src_defn = OGR_L_GetLayerDefn(layer);
    if (OGR_FD_GetGeomFieldCount(src_defn) > 1 || !covered_layer_type(OGR_L_GetGeomType(layer)))
        return false;

    const std::string conninfo = libpq_conninfo(dest);
    Conn conn(conninfo);
    if (!conn.ok()) return false;
    PQsetNoticeProcessor(conn.get(), [](void *, const char *) {}, nullptr);

    // The values are checked against their declared widths while they are
    // sent, so the layer is read once; only a layer with a value too wide is
    // loaded again, with the plan that reads it first.
    std::vector<int> checks;
    LayerPlan plan = plan_layer_unread(src, opts.layer, sink, cancel, checks);
    try {
        return copy_with_plan(conn.get(), conninfo, dest, schema, table, src, layer, opts, plan,
                              checks, streams, sink, cancel);
    } catch (const Replan &) {
    }
    plan = plan_layer(src, opts.layer, TargetFormat::PostgreSQL, sink, cancel);
    return copy_with_plan(conn.get(), conninfo, dest, schema, table, src, layer, opts, plan, {},
                          streams, sink, cancel);
}

}  // namespace voriviv::geofileops
