#include "toolkit/fidelity/scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <cpl_string.h>

#include "toolkit/core/gdal_error.hpp"
#include "toolkit/core/messages.hpp"

namespace voriviv::geofileops::fidelity {

namespace {
std::size_t utf8_chars(const char *s) {
    std::size_t n = 0;
    for (; *s; ++s)
        if ((static_cast<unsigned char>(*s) & 0xC0) != 0x80) ++n;
    return n;
}

bool is_blank(const char *s) {
    for (; *s; ++s)
        if (*s != ' ') return false;
    return true;
}

}  // namespace

// Digits before the decimal point of `v` written with `precision` decimals
// ("0.5" has none, as PostgreSQL counts them), and the whole text's length.
void decimal_extent(double v, int precision, int &int_digits, int &text_len) {
    char buf[512];
    text_len = std::snprintf(buf, sizeof buf, "%.*f", std::max(precision, 0), v);
    const char *p = buf[0] == '-' ? buf + 1 : buf;
    const char *dot = std::strchr(p, '.');
    int_digits = dot ? static_cast<int>(dot - p) : static_cast<int>(std::strlen(p));
    if (int_digits == 1 && p[0] == '0') int_digits = 0;
}

// Whether `v` fits the declared numeric field in `target`.
bool number_fits(double v, const FieldInfo &f, TargetFormat target) {
    if (!std::isfinite(v)) return true;
    int digits = 0, len = 0;
    decimal_extent(v, f.precision, digits, len);
    if (target == TargetFormat::PostgreSQL) return digits <= f.width - f.precision;
    // GDAL's Shapefile writer gives up decimals to fit a value, never digits
    // before the point; a field without a declared width is 24 wide.
    if (target == TargetFormat::Shapefile)
        return digits + (v < 0 ? 1 : 0) <= (f.width > 0 ? f.width : kShapefileRealWidth);
    // MapInfo writes the value as text of at most the (capped) width.
    return len <= std::min(f.width, kMaxTabDecimalWidth);
}

bool text_fits(const char *s, const FieldInfo &f, TargetFormat target) {
    if (target == TargetFormat::PostgreSQL)
        return utf8_chars(s) <= static_cast<std::size_t>(f.width);
    return std::strlen(s) <= std::min<std::size_t>(f.width, kMaxTextBytes);
}

bool needs_scan(const FieldInfo &f, TargetFormat target) {
    switch (target) {
    case TargetFormat::PostgreSQL:
        return f.width > 0 && (f.type == OFTReal || f.type == OFTString);
    case TargetFormat::Shapefile:
        return f.type == OFTString || f.type == OFTDateTime || f.type == OFTBinary ||
               f.type == OFTReal;
    case TargetFormat::MapInfo:
        return true;  // NULLs are lost in any field
    case TargetFormat::FileGDB:
        return false;
    }
    return false;
}

namespace {

// Checked every few features while a layer is looked at, so that Ctrl-C
// stops a long look as it stops a translation.
void check_cancel(const CancelToken *cancel, long long &count) {
    if ((++count & 1023) == 0 && cancel != nullptr &&
        cancel->cancelled.load(std::memory_order_relaxed))
        throw GdalError(msg::kUserTerminated, GdalError::kUserInterrupt);
}

// Reads every feature of `layer` once, with only the fields and geometry not
// named in `ignored`, and calls visit(feature) for each. The layer's reading
// state and ignored fields are reset afterwards, also when the reading stops
// (Ctrl-C raises GdalError "User terminated").
template <class Visit>
void for_each_feature(OGRLayerH layer, const CPLStringList &ignored, const CancelToken *cancel,
                      Visit &&visit) {
    struct Restore {
        OGRLayerH layer;
        ~Restore() {
            OGR_L_SetIgnoredFields(layer, nullptr);
            OGR_L_ResetReading(layer);
        }
    } restore{layer};
    struct Feature {
        OGRFeatureH h;
        ~Feature() { OGR_F_Destroy(h); }
    };
    OGR_L_SetIgnoredFields(layer, const_cast<const char **>(ignored.List()));
    OGR_L_ResetReading(layer);
    long long seen = 0;
    while (OGRFeatureH h = OGR_L_GetNextFeature(layer)) {
        Feature feat{h};
        check_cancel(cancel, seen);
        visit(feat.h);
    }
}

}  // namespace

void scan_values(OGRLayerH layer, std::vector<FieldInfo> &fields,
                 std::vector<FieldStats> &stats, TargetFormat target,
                 const CancelToken *cancel) {
    CPLStringList ignored;
    ignored.AddString("OGR_GEOMETRY");
    ignored.AddString("OGR_STYLE");
    // Fields are ignored by name: a name that a scanned field shares stays read.
    for (const auto &f : fields) {
        if (f.scan) continue;
        bool shared = false;
        for (const auto &g : fields) shared = shared || (g.scan && g.name == f.name);
        if (!shared) ignored.AddString(f.name.c_str());
    }
    for_each_feature(layer, ignored, cancel,
                     [&](OGRFeatureH feat) { visit_values(feat, fields, stats, target); });
    finish_values(fields, stats, target);
}

void visit_values(OGRFeatureH feat, const std::vector<FieldInfo> &fields,
                  std::vector<FieldStats> &stats, TargetFormat target) {
    const int n = static_cast<int>(fields.size());
    for (int i = 0; i < n; ++i) {
        const FieldInfo &f = fields[i];
        if (!f.scan) continue;
        FieldStats &st = stats[i];
        if (!OGR_F_IsFieldSetAndNotNull(feat, i)) {
            ++st.nulls;
            continue;
        }
        ++st.values;
        switch (f.type) {
        case OFTReal: {
            const double v = OGR_F_GetFieldAsDouble(feat, i);
            if (target == TargetFormat::Shapefile) {
                // The field is made as wide as its values need
                // (shapefile_number_widths); only what no dBASE field
                // holds is lost. A value's text with fixed decimals
                // grows with its magnitude, so the largest and the
                // smallest value tell the widest (finish_values); only
                // values near the limit are written out here.
                if (!std::isfinite(v)) break;
                // (Both start at 0, whose text is the shortest.)
                st.largest = std::max(st.largest, v);
                st.smallest = std::min(st.smallest, v);
                const int p = f.width > 0 ? f.precision : kShapefileRealPrecision;
                if (std::fabs(v) >= 1e150 || p > 100) {
                    int digits = 0, len = 0;
                    decimal_extent(v, p, digits, len);
                    if (len > kMaxDbfWidth) ++st.unfit;
                }
            } else if (f.width > 0 && !number_fits(v, f, target)) {
                ++st.too_wide;
            }
            break;
        }
        case OFTInteger64: {
            const GIntBig v = OGR_F_GetFieldAsInteger64(feat, i);
            if (f.width > 0 && target == TargetFormat::MapInfo &&
                !number_fits(static_cast<double>(v), f, target))
                ++st.too_wide;
            // MapInfo has no 64-bit integers: GDAL writes them as doubles.
            if (target == TargetFormat::MapInfo &&
                (v > kExactDoubleInteger || v < -kExactDoubleInteger))
                ++st.inexact;
            break;
        }
        case OFTString: {
            const char *s = OGR_F_GetFieldAsString(feat, i);
            if (f.width > 0 && !text_fits(s, f, target)) ++st.too_wide;
            if (is_blank(s)) ++st.blank;
            if (std::strlen(s) > kMaxTextBytes) ++st.long_text;
            break;
        }
        case OFTDateTime: {
            int y, mo, d, h, mi, tz;
            float sec;
            if (OGR_F_GetFieldAsDateTimeEx(feat, i, &y, &mo, &d, &h, &mi, &sec, &tz) &&
                (h != 0 || mi != 0 || sec != 0.0f))
                ++st.with_time;
            break;
        }
        case OFTBinary: {
            int bytes = 0;
            OGR_F_GetFieldAsBinary(feat, i, &bytes);
            if (static_cast<std::size_t>(bytes) * 2 > kMaxTextBytes) ++st.long_binary;
            break;
        }
        default:
            break;
        }
}
}

bool is_mesh_type(OGRwkbGeometryType t) {
    const OGRwkbGeometryType flat = OGR_GT_Flatten(t);
    return flat == wkbTIN || flat == wkbPolyhedralSurface;
}

namespace {

enum class Kind { Mesh, Polygon, Other };

// A collection counts as a mesh when it holds meshes and polygons only.
Kind kind_of(OGRGeometryH g) {
    const OGRwkbGeometryType t = OGR_G_GetGeometryType(g);
    const OGRwkbGeometryType flat = OGR_GT_Flatten(t);
    if (is_mesh_type(t)) return Kind::Mesh;
    if (flat == wkbPolygon || flat == wkbMultiPolygon) return Kind::Polygon;
    if (flat != wkbGeometryCollection) return Kind::Other;
    bool mesh = false;
    for (int i = 0; i < OGR_G_GetGeometryCount(g); ++i) {
        const Kind k = kind_of(OGR_G_GetGeometryRef(g, i));
        if (k == Kind::Other) return Kind::Other;
        mesh = mesh || k == Kind::Mesh;
    }
    return mesh ? Kind::Mesh : Kind::Polygon;
}

}  // namespace

void finish_values(const std::vector<FieldInfo> &fields, std::vector<FieldStats> &stats,
                   TargetFormat target) {
    if (target != TargetFormat::Shapefile) return;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldInfo &f = fields[i];
        FieldStats &st = stats[i];
        if (f.type != OFTReal || st.values == 0) continue;
        int digits = 0, len = 0;
        for (const double v : {st.largest, st.smallest}) {
            decimal_extent(v, f.width > 0 ? f.precision : kShapefileRealPrecision, digits, len);
            st.widest_declared = std::max(st.widest_declared, len);
            decimal_extent(v, kShapefileRealPrecision, digits, len);
            st.widest_unset = std::max(st.widest_unset, len);
        }
    }
}

void visit_geometry(OGRFeatureH feat, GeometryStats &st) {
    OGRGeometryH g = OGR_F_GetGeometryRef(feat);
    if (g == nullptr || OGR_G_IsEmpty(g)) return;
    const OGRwkbGeometryType t = OGR_G_GetGeometryType(g);
    const OGRwkbGeometryType flat = OGR_GT_Flatten(t);
    st.z = st.z || OGR_GT_HasZ(t);
    st.m = st.m || OGR_GT_HasM(t);
    switch (kind_of(g)) {
    case Kind::Mesh: ++st.meshes; break;
    case Kind::Polygon: ++st.polygons; break;
    case Kind::Other: ++st.others; break;
    }
    if (flat == wkbMultiPoint && OGR_G_GetGeometryCount(g) > 1) ++st.multipoints;
}

GeometryStats scan_geometries(OGRLayerH layer, const CancelToken *cancel) {
    GeometryStats st;
    OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
    CPLStringList ignored;
    ignored.AddString("OGR_STYLE");
    for (int i = 0; i < OGR_FD_GetFieldCount(defn); ++i)
        ignored.AddString(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(defn, i)));
    for_each_feature(layer, ignored, cancel, [&](OGRFeatureH feat) { visit_geometry(feat, st); });
    return st;
}

}  // namespace voriviv::geofileops::fidelity
