// The rows of the COPY load: the row format settled for a table, and a part's
// features formatted as COPY text or COPY binary (copy_internal.hpp).
#include "toolkit/pg/copy/copy_internal.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include <cpl_string.h>
#include <ogr_api.h>
#include <ogr_geometry.h>
#include <ogr_p.h>
#include <ogrsf_frmts.h>

#include "toolkit/core/dataset.hpp"
#include "toolkit/core/messages.hpp"

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

ColumnKind column_kind(const std::string &type) {
    if (type == "integer") return ColumnKind::Int4;
    if (type == "bigint") return ColumnKind::Int8;
    if (type == "double precision") return ColumnKind::Float8;
    if (type == "character varying" || type == "text") return ColumnKind::Text;
    return ColumnKind::Other;
}

void settle_row_format(RowFormat &f, const EmptyTable &table, bool split, bool binary_allowed) {
    const std::string &geom_column = table.shape.geom_column;
    // Parts numbered by the table's sequence would interleave: several parts
    // give every row its FID (1, 2, ... in reading order).
    f.write_fid = f.preserve_fid || split || (!f.has_geom && f.defn->GetFieldCount() == 0);
    std::string columns;
    if (f.has_geom) columns = quote_ident(geom_column);
    if (f.write_fid) columns += (columns.empty() ? "" : ", ") + quote_ident(f.fid_column);
    for (int i = 0; i < f.defn->GetFieldCount(); ++i)
        columns += (columns.empty() ? "" : ", ") + quote_ident(f.defn->GetFieldDefn(i)->GetNameRef());
    f.qualified = table.qualified;
    auto type_of = [&](const char *name) {
        for (const auto &t : table.column_types)
            if (t[0] == name) return t[1];
        return std::string();
    };
    auto kind_of = [&](const char *name) { return column_kind(type_of(name)); };
    f.binary = binary_allowed;
    if (f.has_geom && type_of(geom_column.c_str()) != "geometry") f.binary = false;
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
    f.copy_sql = "COPY " + f.qualified + " (" + columns + ") FROM STDIN";
    if (f.binary) f.copy_sql += " (FORMAT binary)";
}

namespace {

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

// --- doubles ---------------------------------------------------------------------
//
// GDAL's text of a double without a declared width has 15 significant digits:
// the GDAL load loses the last digits of most doubles. The rows here carry a
// double of such a field exactly (its own bits in binary rows, its shortest
// text that reads back as the same double in text rows). A field with a
// declared width keeps GDAL's text of it, with the field's decimals: that
// text is its value.

// Whether field `fd` holds doubles without a declared width.
bool exact_double(const OGRFieldDefn *fd) {
    return fd->GetType() == OFTReal && fd->GetSubType() == OFSTNone && fd->GetWidth() == 0;
}

// The shortest text of `v` that reads back as `v`; NaN and the infinities as
// PostgreSQL spells them (as GDAL sends them).
std::string double_text(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// --- rows in COPY's binary format ----------------------------------------------
//
// Each value is the one the server would make of the text the GDAL load sends
// for it (OGRPGCommonAppendCopyFieldsExceptGeom): the same integers, the
// double that the server's strtod gives for GDAL's text of a field with a
// declared width (one without: the double itself, above), the string cut at
// the field's declared width in characters as GDAL cuts it, and the
// geometry's EWKB bytes, which GDAL sends as hex.

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
            else if (!std::isinf(v) && !exact_double(f.defn->GetFieldDefn(i)))
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

}  // namespace

void produce(const RowFormat &f, const CopyJob &job, Part &part, bool reopen,
             const std::atomic<bool> &stop, const Emit &emit) {
    const std::string &layer_name = job.source.opts.layer;
    LayerLabel label(layer_name);
    ErrorScope scope(job.sink);
    GDALDatasetH src = job.source.dataset;
    Dataset own;
    if (reopen) {
        GDALDriverH driver = GDALGetDatasetDriver(src);
        own = open_vector_or(GDALGetDescription(src), OpenFlags::ReadOnly, job.sink,
                             msg::kWorkerOpenFailed,
                             source_open_options(driver ? GDALGetDriverShortName(driver) : ""));
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
    // Text rows: the doubles without a declared width go as text fields,
    // their text made here (double_text), the rest as GDAL formats them.
    std::vector<int> exact;
    for (int i = 0; i < f.defn->GetFieldCount() && !f.binary; ++i)
        if (exact_double(f.defn->GetFieldDefn(i))) exact.push_back(i);
    struct DefnRelease {
        void operator()(OGRFeatureDefn *d) const { d->Release(); }
    };
    std::unique_ptr<OGRFeatureDefn, DefnRelease> text_defn;
    if (!exact.empty()) {
        text_defn.reset(f.defn->Clone());
        text_defn->Reference();
        for (int i : exact) text_defn->GetFieldDefn(i)->SetType(OFTString);
    }
    std::unique_ptr<OGRFeature> dst(new OGRFeature(text_defn ? text_defn.get() : f.defn));
    std::vector<int> map(f.defn->GetFieldCount());
    for (int i = 0; i < static_cast<int>(map.size()); ++i) map[i] = i;
    std::string block;
    CPLString row;
    GIntBig index = part.first;
    auto stopped = [&] { return job.cancelled() || stop.load(); };
    for (GIntBig n = 0; part.count < 0 || n < part.count; ++n, ++index) {
        std::unique_ptr<OGRFeature> feat(layer->GetNextFeature());
        if (!feat) break;
        std::unique_ptr<OGRGeometry> geom(feat->StealGeometry());
        dst->SetFieldsFrom(feat.get(), map.data(), TRUE);
        for (int i : exact)
            if (feat->IsFieldSetAndNotNull(i))
                dst->SetField(i, double_text(feat->GetFieldAsDouble(i)).c_str());
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

}  // namespace voriviv::geofileops
