#include "toolkit/fidelity/fidelity.hpp"
#include "toolkit/fidelity/scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <cpl_string.h>
#include <ogr_api.h>

#include "toolkit/core/messages.hpp"
#include "toolkit/core/progress.hpp"

namespace voriviv::geofileops {

using namespace fidelity;

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
// The fields of `layer`, each marked when its values must be looked at for
// `target`; with `unread`, those are listed there instead (their values are
// checked as they are written).
std::vector<FieldInfo> read_fields(OGRLayerH layer, TargetFormat target, std::vector<int> *unread) {
    OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
    std::vector<FieldInfo> fields;
    for (int i = 0; i < OGR_FD_GetFieldCount(defn); ++i) {
        OGRFieldDefnH fd = OGR_FD_GetFieldDefn(defn, i);
        FieldInfo f{OGR_Fld_GetNameRef(fd), OGR_Fld_GetType(fd), OGR_Fld_GetWidth(fd),
                    OGR_Fld_GetPrecision(fd)};
        f.scan = needs_scan(f, target);
        if (f.scan && unread != nullptr) {
            unread->push_back(i);
            f.scan = false;
        }
        fields.push_back(std::move(f));
    }
    return fields;
}

// Rules of every target: declared widths too small, numbers no field holds.
void number_rules(const std::string &head, const FieldInfo &f, const FieldStats &st,
                  LayerPlan &plan) {
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
}

// Rules of the dBASE-like targets (Shapefiles, MapInfo TAB files): binaries,
// long text, and what each of the two cannot tell apart.
void text_file_rules(const std::string &head, const FieldInfo &f, const FieldStats &st,
                     TargetFormat target, LayerPlan &plan) {
    const bool shapefile = target == TargetFormat::Shapefile;
    if (f.type == OFTBinary && st.values > 0) {
        std::string w = head + (shapefile ? "Shapefiles" : "MapInfo TAB files") +
                        " hold no binary values; " + std::to_string(st.values) +
                        " value(s) written as hexadecimal text";
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
            (shapefile ? " bytes (at a character boundary)"
                       : " bytes (a character that straddles the limit is cut too)"));
    if (shapefile) {
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

// Meshes (TINs, polyhedral surfaces: what a multipatch holds) have no
// multi-part type of their own in PostgreSQL's promotion or in MapInfo;
// written as they are they arrive empty. A layer of meshes and polygons is
// written as multipolygons of the faces instead. Layers that do not declare
// their kind are looked at. Returns what the look found.
GeometryStats geometry_rules(GDALDatasetH src, OGRLayerH layer, const std::string &name,
                             TargetFormat target, const CancelToken *cancel, LayerPlan &plan) {
    const OGRwkbGeometryType gtype = OGR_L_GetGeomType(layer);
    const OGRwkbGeometryType flat = OGR_GT_Flatten(gtype);
    const bool undeclared = flat == wkbUnknown || flat == wkbGeometryCollection;
    // MapInfo files hold no meshes: their layers, which never declare one
    // kind, need no look for them.
    GDALDriverH src_driver = GDALGetDatasetDriver(src);
    const bool source_holds_meshes =
        src_driver == nullptr || !EQUAL(GDALGetDriverShortName(src_driver), "MapInfo File");
    GeometryStats geo;
    if ((undeclared && source_holds_meshes) ||
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
    if (!meshes_only) return geo;
    if (target == TargetFormat::Shapefile) {
        // Shapefiles hold meshes as multipatches, but only in a layer that
        // is declared as one.
        if (flat != wkbTIN && flat != wkbPolyhedralSurface)
            plan.layer_creation.push_back("SHPT=MULTIPATCH");
    } else if (target == TargetFormat::PostgreSQL) {
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
    return geo;
}

// MapInfo's own rules of a layer: no Z or M, and bounds from the extent.
void mapinfo_rules(OGRLayerH layer, const std::string &name, const GeometryStats &geo,
                   LayerPlan &plan) {
    const OGRwkbGeometryType gtype = OGR_L_GetGeomType(layer);
    if (OGR_GT_HasZ(gtype) || OGR_GT_HasM(gtype) || geo.z || geo.m)
        plan.warnings.push_back("Layer " + quoted(name) +
                                ": MapInfo TAB files hold no Z or M values; the geometries of the "
                                "layer's " +
                                std::to_string(OGR_L_GetFeatureCount(layer, TRUE)) +
                                " feature(s) keep only X and Y");
    plan_tab_bounds(layer, plan);
}

LayerPlan make_plan(GDALDatasetH src, const std::string &name, TargetFormat target,
                    WarningSink *sink, const CancelToken *cancel, std::vector<int> *unread) {
    LayerPlan plan;
    if (target == TargetFormat::FileGDB) return plan;
    if (target == TargetFormat::Shapefile) plan.layer_creation.push_back("ENCODING=UTF-8");

    ErrorScope scope(sink);
    OGRLayerH layer = GDALDatasetGetLayerByName(src, name.c_str());
    scope.raise_if_failed();
    if (layer == nullptr) return plan;  // the translation reports the missing layer

    // 1. The fields, and one look at the values of those that need one.
    std::vector<FieldInfo> fields = read_fields(layer, target, unread);
    std::vector<FieldStats> stats(fields.size());
    if (std::any_of(fields.begin(), fields.end(), [](const FieldInfo &f) { return f.scan; }))
        scan_values(layer, fields, stats, target, cancel);
    scope.raise_if_failed();

    // 2. What each field needs.
    const bool to_text_file = target == TargetFormat::Shapefile || target == TargetFormat::MapInfo;
    bool binary = false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string head = field_text(name, fields[i]);
        number_rules(head, fields[i], stats[i], plan);
        if (!to_text_file) continue;
        binary = binary || fields[i].type == OFTBinary;
        text_file_rules(head, fields[i], stats[i], target, plan);
    }
    if (binary) plan.map_field_types.push_back("Binary=String");
    if (target == TargetFormat::Shapefile) shapefile_number_widths(fields, stats, plan);

    // 3. What the layer's geometries need.
    const GeometryStats geo = geometry_rules(src, layer, name, target, cancel, plan);
    if (target == TargetFormat::MapInfo) mapinfo_rules(layer, name, geo, plan);
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
