#include "toolkit/pg_copy.hpp"
#include "toolkit/pg_session.hpp"
#include "toolkit/progress.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
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

#include "toolkit/dataset.hpp"
#include "toolkit/fidelity.hpp"
#include "toolkit/pg_load.hpp"

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
// A layer is split into streams only when each gets at least this many features.
constexpr GIntBig kMinStreamFeatures = 20000;

// The layer is not covered after all: nothing is left written and the caller
// translates it with GDAL.
struct NotCovered {};

struct Cancelled : GdalError {
    Cancelled() : GdalError("Load cancelled") {}
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
    if (!PQsendQuery(c, sql.c_str())) throw GdalError(trimmed(PQerrorMessage(c)));
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
        if (!PQconsumeInput(c)) throw GdalError(trimmed(PQerrorMessage(c)));
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
    if (!failure.empty()) throw GdalError(failure);
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

// Opt-in for now: the COPY load commits its empty table before the rows, so
// a server that dies mid-load leaves the temporary table behind, which the
// GDAL load (table and rows in one transaction) never does.
bool copy_enabled() {
    const char *v = std::getenv("GEOFILEOPS_PG_COPY");
    return v != nullptr && std::strcmp(v, "1") == 0;
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
    std::string qualified;  // the table, quoted
    std::string copy_sql;
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

// One COPY stream: features [first, first + count) of the layer (all of them
// when count < 0).
struct Stream {
    GIntBig first = 0;
    GIntBig count = -1;
    FeatureCounter counter;  // the layer's progress count, shared by its streams
    std::exception_ptr failure;
    bool not_covered = false;
};

void run_stream(const RowFormat &f, const std::string &conninfo, PGconn *shared_conn,
                const std::string &src_name, GDALDatasetH shared_src, const std::string &layer_name, Stream &s,
                const std::atomic<bool> &stop, const CancelToken *cancel, WarningSink *sink) {
    LayerLabel label(layer_name);
    ErrorScope scope(sink);
    Dataset own;
    GDALDatasetH src = shared_src;
    if (src == nullptr) {
        own = open_vector_or(src_name, OpenFlags::ReadOnly, sink, "Worker failed to open source");
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
    if (s.first > 0 && layer->SetNextByIndex(s.first) != OGRERR_NONE)
        throw GdalError("Failed to seek to feature " + std::to_string(s.first));

    std::unique_ptr<Conn> own_conn;
    PGconn *c = shared_conn;
    if (c == nullptr) {
        own_conn = std::make_unique<Conn>(conninfo);
        if (!own_conn->ok()) throw GdalError(trimmed(own_conn->error()));
        c = own_conn->get();
    }
    // A single stream writes into a table file made in its own transaction,
    // as GDAL's writer does (it creates the table in the transaction of its
    // COPY): PostgreSQL then appends every row after the last, and the rows
    // lie in the table in the order GDAL's load gives them.
    const bool alone = s.first == 0 && s.count < 0;
    if (alone) {
        try {
            exec(c, "BEGIN; TRUNCATE " + f.qualified, nullptr);
        } catch (...) {
            PQclear(PQexec(c, "ROLLBACK"));
            throw;
        }
    }
    {
        Result r(PQexec(c, f.copy_sql.c_str()));
        if (PQresultStatus(r.r) != PGRES_COPY_IN) {
            const std::string failure = trimmed(PQerrorMessage(c));
            if (alone) PQclear(PQexec(c, "ROLLBACK"));
            throw GdalError(failure);
        }
    }
    bool in_copy = true;

    const std::vector<bool> include(f.defn->GetFieldCount(), true);
    std::unique_ptr<OGRFeature> dst(new OGRFeature(f.defn));
    std::vector<int> map(f.defn->GetFieldCount());
    for (int i = 0; i < static_cast<int>(map.size()); ++i) map[i] = i;
    CPLString block, row;
    GIntBig index = s.first;
    auto end_copy = [&](const char *error) {
        in_copy = false;
        if (PQputCopyEnd(c, error) != 1) throw GdalError(trimmed(PQerrorMessage(c)));
        std::string failure;
        while (PGresult *raw = PQgetResult(c)) {
            Result r(raw);
            if (PQresultStatus(r.r) != PGRES_COMMAND_OK && failure.empty())
                failure = trimmed(PQresultErrorMessage(r.r));
        }
        if (error == nullptr && !failure.empty()) throw GdalError(failure);
    };
    auto flush = [&] {
        if (!block.empty() && PQputCopyData(c, block.data(), static_cast<int>(block.size())) != 1)
            throw GdalError(trimmed(PQerrorMessage(c)));
        block.clear();
    };
    try {
        for (GIntBig n = 0; s.count < 0 || n < s.count; ++n, ++index) {
            std::unique_ptr<OGRFeature> feat(layer->GetNextFeature());
            if (!feat) break;
            std::unique_ptr<OGRGeometry> geom(feat->StealGeometry());
            dst->SetFrom(feat.get(), map.data(), TRUE);
            dst->SetFID(f.preserve_fid ? feat->GetFID() : index + 1);
            row.clear();
            if (f.has_geom) {
                if (geom) {
                    OGRGeometry *g = convert_geometry(geom.release(), f);
                    geom.reset(g);
                    char *hex = OGRGeometryToHexEWKB(g, f.srid, f.postgis_major, f.postgis_minor);
                    row += hex;
                    CPLFree(hex);
                } else {
                    row += "\\N";
                }
            }
            OGRPGCommonAppendCopyFieldsExceptGeom(row, dst.get(), f.fid_column.c_str(), f.write_fid,
                                                  include, no_escape, nullptr);
            row += '\n';
            if (!CPLIsUTF8(row.c_str(), static_cast<int>(row.size()))) throw NotCovered{};
            block += row;
            s.counter.add(1);
            if (block.size() >= kBlockBytes) {
                scope.raise_if_failed();
                if ((cancel != nullptr && cancel->cancelled.load()) || stop.load()) throw Cancelled();
                flush();
            }
        }
        scope.raise_if_failed();
        if (cancel != nullptr && cancel->cancelled.load()) throw Cancelled();
        flush();
        end_copy(nullptr);
        if (alone) exec(c, "COMMIT", nullptr);
    } catch (...) {
        if (in_copy) {
            try { end_copy("load stopped"); } catch (...) {}
        }
        // The connection may be the caller's: leave it out of the transaction
        // (whose locks would keep the table from being dropped).
        if (alone) PQclear(PQexec(c, "ROLLBACK"));
        throw;
    }
}

// The indexes other than the primary key: name and definition.
std::vector<std::vector<std::string>> secondary_indexes(PGconn *c, const std::string &qualified) {
    return exec(c,
                "SELECT quote_ident(n.nspname) || '.' || quote_ident(ic.relname), "
                "pg_get_indexdef(i.indexrelid) FROM pg_index i "
                "JOIN pg_class ic ON ic.oid = i.indexrelid "
                "JOIN pg_namespace n ON n.oid = ic.relnamespace "
                "WHERE i.indrelid = " + quote_literal(qualified) + "::regclass AND NOT i.indisprimary "
                "ORDER BY ic.relname",
                nullptr);
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

    LayerPlan plan = plan_layer(src, opts.layer, TargetFormat::PostgreSQL, sink, cancel);
    if (!plan.geometry_type.empty() || !plan.dimension.empty() || !plan.map_field_types.empty())
        return false;
    TranslateOptions create = opts;
    plan.apply(create);
    create.limit = 0;
    if (table != pg_laundered_name(opts.layer)) create.new_layer_name = table;
    for (const auto &w : plan.warnings) {
        progress_warning(w);
        if (sink != nullptr) sink->add(w);
    }

    const std::string qualified = quote_ident(schema) + "." + quote_ident(table);
    TableShape shape;
    try {
        create_table(dest, src, create, schema, table, shape, sink, cancel);
    } catch (const NotCovered &) {
        drop_table(conninfo, qualified);
        return false;
    }

    try {
        RowFormat f;
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
        std::string columns;
        if (f.has_geom) {
            const OGRwkbGeometryType gt = f.defn->GetGeomFieldDefn(0)->GetType();
            f.geom_type = OGR_GT_Flatten(gt);
            f.z = OGR_GT_HasZ(gt);
            f.m = OGR_GT_HasM(gt);
            if (!covered_layer_type(gt) || f.geom_type == wkbPoint || f.geom_type == wkbLineString ||
                f.geom_type == wkbPolygon)
                throw NotCovered{};
            columns = quote_ident(shape.geom_column);
            const auto srid = exec(conn.get(),
                                   "SELECT srid FROM geometry_columns WHERE f_table_schema = " +
                                       quote_literal(schema) + " AND f_table_name = " + quote_literal(table) +
                                       " AND f_geometry_column = " + quote_literal(shape.geom_column),
                                   nullptr);
            if (srid.size() != 1) throw NotCovered{};
            f.srid = std::atoi(srid[0][0].c_str());
            const auto version = exec(conn.get(), "SELECT postgis_lib_version()", nullptr);
            f.postgis_major = std::atoi(version.at(0).at(0).c_str());
            const char *dot = std::strchr(version[0][0].c_str(), '.');
            f.postgis_minor = dot ? std::atoi(dot + 1) : 0;
        }
        // The layer's parts, one per stream.
        const GIntBig total = OGR_L_GetFeatureCount(layer, TRUE);
        int n = 1;
        if (streams > 1 && total >= 2 * kMinStreamFeatures && splittable(src, layer))
            n = static_cast<int>(std::min<GIntBig>(streams, total / kMinStreamFeatures));

        // Parts numbered by the table's sequence would interleave: several
        // streams give every row its FID (1, 2, ... in reading order).
        f.write_fid = f.preserve_fid || n > 1 || (!f.has_geom && f.defn->GetFieldCount() == 0);
        if (f.write_fid) columns += (columns.empty() ? "" : ", ") + quote_ident(f.fid_column);
        for (int i = 0; i < f.defn->GetFieldCount(); ++i)
            columns += (columns.empty() ? "" : ", ") + quote_ident(f.defn->GetFieldDefn(i)->GetNameRef());
        f.qualified = qualified;
        f.copy_sql = "COPY " + qualified + " (" + columns + ") FROM STDIN";

        const auto indexes = secondary_indexes(conn.get(), qualified);
        for (const auto &ix : indexes) exec(conn.get(), "DROP INDEX " + ix[0], cancel);
        std::vector<Stream> parts(n);
        const FeatureCounter counter = FeatureCounter::of_current_item(total);
        for (int k = 0; k < n; ++k) {
            parts[k].counter = counter;
            parts[k].first = total * k / n;
            parts[k].count = k + 1 < n ? total * (k + 1) / n - parts[k].first : -1;
        }
        std::atomic<bool> stop{false};
        const std::string src_name = GDALGetDescription(src);
        auto run = [&](int k) {
            try {
                run_stream(f, conninfo, k == 0 ? conn.get() : nullptr, src_name,
                           k == 0 ? src : nullptr, opts.layer, parts[k], stop, cancel, sink);
            } catch (const NotCovered &) {
                parts[k].not_covered = true;
                stop = true;
            } catch (...) {
                parts[k].failure = std::current_exception();
                stop = true;
            }
        };
        std::vector<std::thread> threads;
        for (int k = 1; k < n; ++k) threads.emplace_back(run, k);
        run(0);
        for (auto &t : threads) t.join();
        for (const auto &p : parts)
            if (p.not_covered) throw NotCovered{};
        // A stream's own failure comes before the stops it caused in the others.
        std::exception_ptr first;
        for (const auto &p : parts) {
            if (!p.failure) continue;
            try { std::rethrow_exception(p.failure); }
            catch (const Cancelled &) { if (!first) first = p.failure; continue; }
            catch (...) { std::rethrow_exception(p.failure); }
        }
        if (first) std::rethrow_exception(first);

        // Memory for the index build of this session only; the index is the same.
        if (!indexes.empty()) exec(conn.get(), "SET maintenance_work_mem = '256MB'", nullptr);
        for (const auto &ix : indexes) exec(conn.get(), ix[1], cancel);
        exec(conn.get(),
             "SELECT setval(pg_get_serial_sequence(" + quote_literal(qualified) + ", " +
                 quote_literal(f.fid_column) + "), MAX(" + quote_ident(f.fid_column) + ")) FROM " + qualified,
             cancel);
    } catch (const NotCovered &) {
        drop_table(conninfo, qualified);
        return false;
    } catch (...) {
        drop_table(conninfo, qualified);
        throw;
    }
    return true;
}

}  // namespace voriviv::geofileops
