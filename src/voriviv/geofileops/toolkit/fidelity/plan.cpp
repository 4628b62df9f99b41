#include "toolkit/fidelity/fidelity.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <cpl_string.h>
#include <ogr_api.h>

#include "toolkit/core/messages.hpp"
#include "toolkit/core/progress.hpp"

namespace voriviv::geofileops {

void LayerPlan::apply(TranslateOptions &opts) const {
    if (unset_field_width) opts.unset_field_width = true;
    opts.map_field_types.insert(opts.map_field_types.end(), map_field_types.begin(),
                                map_field_types.end());
    opts.layer_creation.insert(opts.layer_creation.end(), layer_creation.begin(),
                               layer_creation.end());
    if (!geometry_type.empty()) opts.geometry_type = geometry_type;
    if (!dimension.empty()) opts.dimension = dimension;
}

namespace {

// A dBASE/MapInfo character field holds at most this many bytes.
constexpr std::size_t kMaxTextBytes = 254;
// GDAL's width and decimals of a Shapefile number field declared without
// a width.
constexpr int kShapefileRealWidth = 24;
constexpr int kShapefileRealPrecision = 15;
// The widest dBASE field.
constexpr int kMaxDbfWidth = 255;
// Integers beyond this lose digits as doubles.
constexpr GIntBig kExactDoubleInteger = GIntBig(1) << 53;
// MapInfo decimal fields are at most this wide.
constexpr int kMaxTabDecimalWidth = 20;

// What one field's values need, gathered in one pass over the layer.
struct FieldStats {
    long long nulls = 0;
    long long values = 0;
    long long too_wide = 0;       // values the declared width cannot hold
    long long blank = 0;          // text of blanks only (or empty)
    long long long_text = 0;      // text of more than kMaxTextBytes bytes
    long long with_time = 0;      // date-times with a time of day
    long long long_binary = 0;    // binaries whose hex text exceeds kMaxTextBytes
    long long unfit = 0;          // numbers no field of the target can hold
    long long inexact = 0;        // 64-bit integers a double cannot hold
    // Shapefile numbers: the longest text of a value with the declared
    // decimals, and with GDAL's decimals of a field without a width.
    int widest_declared = 0;
    int widest_unset = 0;
};

struct FieldInfo {
    std::string name;
    OGRFieldType type;
    int width;
    int precision;
    bool scan = false;  // the values must be looked at
};

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
    const int n = static_cast<int>(fields.size());
    for_each_feature(layer, ignored, cancel, [&](OGRFeatureH feat) {
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
                    // holds is lost.
                    int digits = 0, declared = 0, unset = 0;
                    decimal_extent(v, f.width > 0 ? f.precision : kShapefileRealPrecision,
                                   digits, declared);
                    decimal_extent(v, kShapefileRealPrecision, digits, unset);
                    st.widest_declared = std::max(st.widest_declared, declared);
                    st.widest_unset = std::max(st.widest_unset, unset);
                    if ((f.width > 0 ? declared : unset) > kMaxDbfWidth) ++st.unfit;
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
    });
}

// Geometry kinds of a layer whose declared type does not tell them.
struct GeometryStats {
    long long meshes = 0;       // TIN or polyhedral surface
    long long polygons = 0;     // polygons and multipolygons
    long long others = 0;       // anything else, empty geometries aside
    long long multipoints = 0;  // multipoints of more than one point
    bool z = false, m = false;
};

bool is_mesh_type(OGRwkbGeometryType t) {
    const OGRwkbGeometryType flat = OGR_GT_Flatten(t);
    return flat == wkbTIN || flat == wkbPolyhedralSurface;
}

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

GeometryStats scan_geometries(OGRLayerH layer, const CancelToken *cancel) {
    GeometryStats st;
    OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
    CPLStringList ignored;
    ignored.AddString("OGR_STYLE");
    for (int i = 0; i < OGR_FD_GetFieldCount(defn); ++i)
        ignored.AddString(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(defn, i)));
    for_each_feature(layer, ignored, cancel, [&](OGRFeatureH feat) {
        OGRGeometryH g = OGR_F_GetGeometryRef(feat);
        if (g != nullptr && !OGR_G_IsEmpty(g)) {
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
    });
    return st;
}

std::string quoted(const std::string &s) { return "'" + s + "'"; }

std::string field_text(const std::string &layer, const FieldInfo &f) {
    return "Layer " + quoted(layer) + ", field " + quoted(f.name) + ": ";
}

// The -dim text of the given dimensions ("" for XY, GDAL's default).
std::string dimension_text(bool z, bool m) {
    if (!z && !m) return "";
    return std::string("XY") + (z ? "Z" : "") + (m ? "M" : "");
}

// Bounds for a MapInfo layer: the layer's extent and a margin. MapInfo
// stores coordinates as 32-bit integers spread over the layer's bounds (2e9
// steps on each axis). GDAL's defaults are wide (some 6e7 by 3e7 units
// without a coordinate system and in many projections, -1000..1000 degrees
// for longitude/latitude) and resolve a layer to centimetres or 1e-6 degrees.
// Bounds drawn round the layer resolve it to about 1/2e9 of its extent,
// geographic layers included: a layer spanning the world gets -183.6..183.6
// degrees, still five times finer than GDAL's default. The margin (1% of the
// larger side) keeps the features at the edge inside and gives a degenerate
// side (a line along an axis) a span; a floor of 1e-6 of the coordinates'
// size gives a single point one and keeps the integer arithmetic within what
// a double holds. A layer without features or geometries (or whose extent is
// unknown) keeps the defaults, which lose nothing there. The extent is the
// source's own: a Shapefile's header, PostgreSQL's ST_Extent computed by the
// server (one pass over the table there, one row sent back).
void plan_tab_bounds(OGRLayerH layer, LayerPlan &plan) {
    OGREnvelope env;
    if (OGR_L_GetGeomType(layer) == wkbNone || OGR_L_GetExtent(layer, &env, TRUE) != OGRERR_NONE)
        return;
    if (!std::isfinite(env.MinX) || !std::isfinite(env.MaxX) || !std::isfinite(env.MinY) ||
        !std::isfinite(env.MaxY) || env.MinX > env.MaxX || env.MinY > env.MaxY)
        return;
    const double span = std::max(env.MaxX - env.MinX, env.MaxY - env.MinY);
    // An empty Shapefile's header gives an extent of 0,0,0,0.
    if (span == 0 && OGR_L_GetFeatureCount(layer, TRUE) == 0) return;
    const double scale = std::max({std::fabs(env.MinX), std::fabs(env.MaxX), std::fabs(env.MinY),
                                   std::fabs(env.MaxY), 1.0});
    const double margin = std::max(span * 0.01, scale * 1e-6);
    char buf[160];
    std::snprintf(buf, sizeof buf, "BOUNDS=%.17g,%.17g,%.17g,%.17g", env.MinX - margin,
                  env.MinY - margin, env.MaxX + margin, env.MaxY + margin);
    plan.layer_creation.push_back(buf);
}

// Shapefile number fields as wide as the layer's values: GDAL's writer
// cuts the text of a value at the field's width (decimals first, and warns
// of each), so a field declared too narrow, or given GDAL's 24 characters
// for lack of a width, is declared anew with the width its longest value
// needs. The field keeps its decimals. With -unsetFieldWidth every width
// would be dropped again, so for a Shapefile the plan drops them here, field
// by field, instead.
void shapefile_number_widths(const std::vector<FieldInfo> &fields,
                             const std::vector<FieldStats> &stats, LayerPlan &plan) {
    const bool unset = plan.unset_field_width;
    plan.unset_field_width = false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldInfo &f = fields[i];
        const int index = static_cast<int>(i);
        const bool declared = f.width > 0 && !unset;
        if (f.type == OFTReal) {
            const int width = declared ? f.width : kShapefileRealWidth;
            const int precision = declared ? f.precision : kShapefileRealPrecision;
            const int widest = declared ? stats[i].widest_declared : stats[i].widest_unset;
            if (widest > width)
                plan.field_widths.push_back({index, std::min(widest, kMaxDbfWidth), precision});
            else if (unset && f.width > 0)
                plan.field_widths.push_back({index, 0, 0});
        } else if (unset && f.width > 0) {
            plan.field_widths.push_back({index, 0, 0});
        }
    }
}

}  // namespace

namespace {
LayerPlan make_plan(GDALDatasetH src, const std::string &name, TargetFormat target,
                    WarningSink *sink, const CancelToken *cancel, std::vector<int> *unread) {
    LayerPlan plan;
    if (target == TargetFormat::FileGDB) return plan;
    if (target == TargetFormat::Shapefile) plan.layer_creation.push_back("ENCODING=UTF-8");

    ErrorScope scope(sink);
    OGRLayerH layer = GDALDatasetGetLayerByName(src, name.c_str());
    scope.raise_if_failed();
    if (layer == nullptr) return plan;  // the translation reports the missing layer

    OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
    std::vector<FieldInfo> fields;
    bool any_scan = false;
    for (int i = 0; i < OGR_FD_GetFieldCount(defn); ++i) {
        OGRFieldDefnH fd = OGR_FD_GetFieldDefn(defn, i);
        FieldInfo f{OGR_Fld_GetNameRef(fd), OGR_Fld_GetType(fd), OGR_Fld_GetWidth(fd),
                    OGR_Fld_GetPrecision(fd)};
        f.scan = needs_scan(f, target);
        if (f.scan && unread != nullptr) {
            unread->push_back(i);
            f.scan = false;
        }
        any_scan = any_scan || f.scan;
        fields.push_back(std::move(f));
    }
    std::vector<FieldStats> stats(fields.size());
    if (any_scan) scan_values(layer, fields, stats, target, cancel);
    scope.raise_if_failed();

    const OGRwkbGeometryType gtype = OGR_L_GetGeomType(layer);
    const bool to_text_file = target == TargetFormat::Shapefile || target == TargetFormat::MapInfo;
    const char *format_name = target == TargetFormat::Shapefile ? "Shapefiles"
                              : target == TargetFormat::MapInfo ? "MapInfo TAB files"
                                                                : "PostgreSQL";
    bool binary_mapped = false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldInfo &f = fields[i];
        const FieldStats &st = stats[i];
        const std::string head = field_text(name, f);
        if (st.too_wide > 0) {
            plan.unset_field_width = true;
            plan.warnings.push_back(
                head + "the declared width " + std::to_string(f.width) + "." +
                std::to_string(f.precision) + " cannot hold " + std::to_string(st.too_wide) +
                " of the layer's values; the layer is written without declared field widths "
                "so that every value arrives");
        }
        if (st.unfit > 0)
            plan.warnings.push_back(head + std::to_string(st.unfit) +
                                    " value(s) need more than " + std::to_string(kMaxDbfWidth) +
                                    " characters, more than a Shapefile number field holds; "
                                    "their digits beyond that are cut");
        if (st.inexact > 0)
            plan.warnings.push_back(head + "MapInfo TAB files hold no 64-bit integers; " +
                                    std::to_string(st.inexact) +
                                    " value(s) beyond 2^53 are written as the nearest double");
        if (!to_text_file) continue;
        if (f.type == OFTBinary) binary_mapped = true;
        if (f.type == OFTBinary && st.values > 0) {
            std::string w = head + format_name + " hold no binary values; " +
                            std::to_string(st.values) + " value(s) written as hexadecimal text";
            if (st.long_binary > 0)
                w += ", " + std::to_string(st.long_binary) + " of them cut to " +
                     std::to_string(kMaxTextBytes) + " characters";
            plan.warnings.push_back(w);
        }
        // GDAL's Shapefile writer cuts UTF-8 text at a character boundary,
        // its MapInfo writer at the byte.
        if (f.type == OFTString && st.long_text > 0)
            plan.warnings.push_back(
                head + std::to_string(st.long_text) + " value(s) longer than " +
                std::to_string(kMaxTextBytes) + " bytes cut to " + std::to_string(kMaxTextBytes) +
                (target == TargetFormat::Shapefile
                     ? " bytes (at a character boundary)"
                     : " bytes (a character that straddles the limit is cut too)"));
        if (target == TargetFormat::Shapefile) {
            if (f.type == OFTString && st.blank > 0)
                plan.warnings.push_back(head + "Shapefiles cannot tell blank text from NULL; " +
                                        std::to_string(st.blank) +
                                        " blank value(s) read back as NULL");
            if (f.type == OFTDateTime && st.with_time > 0)
                plan.warnings.push_back(head + "Shapefiles hold no time of day; " +
                                        std::to_string(st.with_time) +
                                        " value(s) keep only their date");
        } else if (st.nulls > 0 && f.type != OFTDate && f.type != OFTTime &&
                   f.type != OFTDateTime) {
            // MapInfo keeps NULL dates and times, not NULL text or numbers.
            plan.warnings.push_back(head + "MapInfo TAB files hold no NULL; " +
                                    std::to_string(st.nulls) +
                                    " NULL value(s) read back as empty text or zero");
        }
    }
    if (binary_mapped) plan.map_field_types.push_back("Binary=String");
    if (target == TargetFormat::Shapefile) shapefile_number_widths(fields, stats, plan);

    // Meshes (TINs, polyhedral surfaces: what a multipatch holds) have no
    // multi-part type of their own in PostgreSQL's promotion or in MapInfo;
    // written as they are they arrive empty. A layer of meshes and polygons is
    // written as multipolygons of the faces instead. Layers that do not
    // declare their kind are looked at.
    const OGRwkbGeometryType flat = OGR_GT_Flatten(gtype);
    const bool undeclared = flat == wkbUnknown || flat == wkbGeometryCollection;
    const bool to_mesh_target = target != TargetFormat::FileGDB;
    // MapInfo files hold no meshes: their layers, which never declare one
    // kind, need no look for them.
    GDALDriverH src_driver = GDALGetDatasetDriver(src);
    const bool source_holds_meshes =
        src_driver == nullptr || !EQUAL(GDALGetDriverShortName(src_driver), "MapInfo File");
    GeometryStats geo;
    if ((undeclared && to_mesh_target && source_holds_meshes) ||
        (target == TargetFormat::MapInfo && flat == wkbMultiPoint))
        geo = scan_geometries(layer, cancel);
    else if (is_mesh_type(gtype))
        geo.meshes = 1, geo.z = OGR_GT_HasZ(gtype), geo.m = OGR_GT_HasM(gtype);
    // A collection of meshes is kept as such in PostgreSQL.
    const bool meshes_only = geo.meshes > 0 && geo.others == 0 &&
                             !(target == TargetFormat::PostgreSQL && flat == wkbGeometryCollection);
    if (target == TargetFormat::MapInfo && geo.multipoints > 0)
        plan.warnings.push_back("Layer " + quoted(name) + ": GDAL's MapInfo writer stores "
                                "each point of a multipoint as a feature of its own; " +
                                std::to_string(geo.multipoints) +
                                " multipoint feature(s) arrive as several point features");
    if (meshes_only && target == TargetFormat::Shapefile && flat != wkbTIN &&
        flat != wkbPolyhedralSurface) {
        // Shapefiles hold meshes as multipatches, but only in a layer that
        // is declared as one.
        plan.layer_creation.push_back("SHPT=MULTIPATCH");
    } else if (meshes_only && to_mesh_target) {
        if (target == TargetFormat::PostgreSQL) {
            plan.geometry_type = "MULTIPOLYGON";
            plan.dimension = dimension_text(geo.z, geo.m);
            plan.warnings.push_back("Layer " + quoted(name) +
                                    ": TIN and polyhedral surface geometries are written as "
                                    "multipolygons of their faces");
        } else if (target == TargetFormat::MapInfo) {
            plan.geometry_type = "MULTIPOLYGON";
            plan.warnings.push_back("Layer " + quoted(name) +
                                    ": TIN and polyhedral surface geometries are written as "
                                    "regions of their faces");
        }
    }
    if (target == TargetFormat::MapInfo) {
        if (OGR_GT_HasZ(gtype) || OGR_GT_HasM(gtype) || geo.z || geo.m)
            plan.warnings.push_back("Layer " + quoted(name) +
                                    ": MapInfo TAB files hold no Z or M values; the geometries of the "
                                    "layer's " +
                                    std::to_string(OGR_L_GetFeatureCount(layer, TRUE)) +
                                    " feature(s) keep only X and Y");
        plan_tab_bounds(layer, plan);
    }
    scope.raise_if_failed();
    return plan;
}

}  // namespace

LayerPlan plan_layer(GDALDatasetH src, const std::string &name, TargetFormat target,
                     WarningSink *sink, const CancelToken *cancel) {
    return make_plan(src, name, target, sink, cancel, nullptr);
}

LayerPlan plan_layer_unread(GDALDatasetH src, const std::string &name, WarningSink *sink,
                            const CancelToken *cancel, std::vector<int> &unread) {
    unread.clear();
    return make_plan(src, name, TargetFormat::PostgreSQL, sink, cancel, &unread);
}

bool fits_declared_width(OGRFeatureH feature, int i) {
    if (!OGR_F_IsFieldSetAndNotNull(feature, i)) return true;
    OGRFieldDefnH fd = OGR_F_GetFieldDefnRef(feature, i);
    // Called for every value of a load: the name (unused here) is not copied.
    const FieldInfo f{std::string(), OGR_Fld_GetType(fd), OGR_Fld_GetWidth(fd),
                      OGR_Fld_GetPrecision(fd)};
    if (f.width <= 0) return true;
    if (f.type == OFTReal)
        return number_fits(OGR_F_GetFieldAsDouble(feature, i), f, TargetFormat::PostgreSQL);
    if (f.type == OFTString)
        return text_fits(OGR_F_GetFieldAsString(feature, i), f, TargetFormat::PostgreSQL);
    return true;
}

void translate_planned(const std::string &dest, GDALDatasetH src, TranslateOptions opts,
                       TargetFormat target, WarningSink *sink, const CancelToken *cancel) {
    const LayerPlan plan = plan_layer(src, opts.layer, target, sink, cancel);
    plan.apply(opts);
    for (const auto &w : plan.warnings) WarningSink::announce(sink, w);
    if (plan.field_widths.empty()) {
        vector_translate(dest, src, opts, sink, cancel);
        return;
    }
    const LayerView view(src, opts.layer, plan.field_widths);
    vector_translate(dest, view.get(), opts, sink, cancel);
}

}  // namespace voriviv::geofileops
