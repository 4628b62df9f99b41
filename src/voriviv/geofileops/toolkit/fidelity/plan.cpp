#include "toolkit/fidelity/fidelity.hpp"
#include "toolkit/fidelity/scan.hpp"
#include "toolkit/fidelity/server.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>

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
// Whether the plan must look at the geometries of `layer`: its declared type
// does not tell whether it holds meshes, or (MapInfo) it declares multipoints.
bool needs_geometry_look(GDALDatasetH src, OGRLayerH layer, TargetFormat target) {
    const OGRwkbGeometryType flat = OGR_GT_Flatten(OGR_L_GetGeomType(layer));
    const bool undeclared = flat == wkbUnknown || flat == wkbGeometryCollection;
    // MapInfo files hold no meshes: their layers, which never declare one
    // kind, need no look for them.
    GDALDriverH src_driver = GDALGetDatasetDriver(src);
    const bool source_holds_meshes =
        src_driver == nullptr || !EQUAL(GDALGetDriverShortName(src_driver), "MapInfo File");
    return (undeclared && source_holds_meshes) ||
           (target == TargetFormat::MapInfo && flat == wkbMultiPoint);
}

GeometryStats geometry_rules(GDALDatasetH src, OGRLayerH layer, const std::string &name,
                             TargetFormat target, const GeometryStats *seen,
                             const CancelToken *cancel, LayerPlan &plan) {
    const OGRwkbGeometryType gtype = OGR_L_GetGeomType(layer);
    const OGRwkbGeometryType flat = OGR_GT_Flatten(gtype);
    GeometryStats geo;
    if (needs_geometry_look(src, layer, target))
        geo = seen != nullptr ? *seen : scan_geometries(layer, cancel);
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
                   long long features, const std::vector<std::string> *bounds, LayerPlan &plan) {
    const OGRwkbGeometryType gtype = OGR_L_GetGeomType(layer);
    if (OGR_GT_HasZ(gtype) || OGR_GT_HasM(gtype) || geo.z || geo.m)
        plan.warnings.push_back("Layer " + quoted(name) +
                                ": MapInfo TAB files hold no Z or M values; the geometries of the "
                                "layer's " +
                                std::to_string(features >= 0 ? features
                                                             : OGR_L_GetFeatureCount(layer, TRUE)) +
                                " feature(s) keep only X and Y");
    if (bounds != nullptr)
        plan.layer_creation.insert(plan.layer_creation.end(), bounds->begin(), bounds->end());
    else
        plan_tab_bounds(layer, plan);
}

// The plan of a layer that is not there (the translation reports it).
LayerPlan decide_missing(TargetFormat target) {
    LayerPlan plan;
    if (target == TargetFormat::Shapefile) plan.layer_creation.push_back("ENCODING=UTF-8");
    return plan;
}

// On unless VORIVIV_BENCH_ONE_PASS=0 (the plan then reads a file target's
// layer before translating it, kept for comparison).
bool one_pass_enabled() {
    const char *v = std::getenv("VORIVIV_BENCH_ONE_PASS");
    return v == nullptr || std::strcmp(v, "0") != 0;
}

// Removes what a translation wrote at `dest` (a file target: the main file
// and its companions), so that it can be written again. What cannot be
// removed (or was never written) is left to the next translation to report.
void remove_output(const std::string &dest, const std::string &format) {
    WarningSink quiet;
    ErrorScope scope(&quiet);
    if (GDALDriverH driver = GDALGetDriverByName(format.c_str()))
        GDALDeleteDataset(driver, dest.c_str());
}

// What a plan is decided from: the layer's fields, what is known of their
// values, and (when `geo_seen`) of its geometries.
struct Observed {
    std::vector<FieldInfo> fields;
    std::vector<FieldStats> stats;
    GeometryStats geo;
    bool geo_seen = false;
    long long features = -1;  // features seen; -1: not counted
    // MapInfo's BOUNDS option when already worked out from the extent.
    const std::vector<std::string> *tab_bounds = nullptr;
};

// The plan of `layer` from what was observed (steps 2 and 3 below; the
// geometries are looked at here when they must be and were not seen).
LayerPlan decide(GDALDatasetH src, OGRLayerH layer, const std::string &name, TargetFormat target,
                 const Observed &o, const CancelToken *cancel) {
    LayerPlan plan;
    if (target == TargetFormat::Shapefile) plan.layer_creation.push_back("ENCODING=UTF-8");
    // 2. What each field needs.
    const bool to_text_file = target == TargetFormat::Shapefile || target == TargetFormat::MapInfo;
    bool binary = false;
    for (std::size_t i = 0; i < o.fields.size(); ++i) {
        const std::string head = field_text(name, o.fields[i]);
        number_rules(head, o.fields[i], o.stats[i], plan);
        if (!to_text_file) continue;
        binary = binary || o.fields[i].type == OFTBinary;
        text_file_rules(head, o.fields[i], o.stats[i], target, plan);
    }
    if (binary) plan.map_field_types.push_back("Binary=String");
    if (target == TargetFormat::Shapefile) shapefile_number_widths(o.fields, o.stats, plan);

    // 3. What the layer's geometries need.
    const GeometryStats geo =
        geometry_rules(src, layer, name, target, o.geo_seen ? &o.geo : nullptr, cancel, plan);
    if (target == TargetFormat::MapInfo)
        mapinfo_rules(layer, name, geo, o.features, o.tab_bounds, plan);
    return plan;
}

LayerPlan make_plan(GDALDatasetH src, const std::string &name, TargetFormat target,
                    WarningSink *sink, const CancelToken *cancel, std::vector<int> *unread) {
    if (target == TargetFormat::FileGDB) return {};
    ErrorScope scope(sink);
    OGRLayerH layer = GDALDatasetGetLayerByName(src, name.c_str());
    scope.raise_if_failed();
    if (layer == nullptr) return decide_missing(target);  // the translation reports it
    // 1. The fields, and one look at the values of those that need one.
    Observed o;
    o.fields = read_fields(layer, target, unread);
    o.stats.resize(o.fields.size());
    if (std::any_of(o.fields.begin(), o.fields.end(), [](const FieldInfo &f) { return f.scan; }))
        scan_values(layer, o.fields, o.stats, target, cancel);
    scope.raise_if_failed();
    LayerPlan plan = decide(src, layer, name, target, o, cancel);
    scope.raise_if_failed();
    return plan;
}

// Whether two plans translate alike (their warnings aside).
bool same_translation(const LayerPlan &a, const LayerPlan &b) {
    auto key = [](const LayerPlan &p) {
        std::vector<std::string> k = p.map_field_types;
        k.insert(k.end(), p.layer_creation.begin(), p.layer_creation.end());
        k.push_back(p.geometry_type + "|" + p.dimension + "|" +
                    (p.unset_field_width ? "unset" : ""));
        for (const FieldWidth &w : p.field_widths)
            k.push_back(std::to_string(w.index) + ":" + std::to_string(w.width) + "." +
                        std::to_string(w.precision));
        return k;
    };
    return key(a) == key(b);
}

// Translates with `plan`, reading through a LayerView when the plan declares
// fields anew or someone watches.
void translate_with(const std::string &dest, GDALDatasetH src, TranslateOptions opts,
                    const LayerPlan &plan, const std::function<void(OGRFeatureH)> &watch,
                    WarningSink *sink, const CancelToken *cancel,
                    std::optional<GIntBig> count = std::nullopt) {
    plan.apply(opts);
    if (plan.field_widths.empty() && !watch && !count) {
        vector_translate(dest, src, opts, sink, cancel);
        return;
    }
    const LayerView view(src, opts.layer, plan.field_widths, watch, count);
    vector_translate(dest, view.get(), opts, sink, cancel);
}

// A file target's translation that reads its source once. The plan is first
// made from the layer's declared fields and types, as if every value fit
// them; the translation runs with it while every feature is looked at on
// its way to the writer. The plan that what was seen makes is then the one
// the two-pass way would have made: its warnings are said (with the same
// counts), and when it translates otherwise (a value did not fit its
// declared field, meshes where none were declared) the layer is written
// again with it. GDAL's warnings of a first pass that is done over are
// dropped with it.
void translate_in_one_pass(const std::string &dest, GDALDatasetH src, const TranslateOptions &opts,
                           TargetFormat target, WarningSink *sink, const CancelToken *cancel) {
    OGRLayerH layer;
    {
        ErrorScope scope(sink);
        layer = GDALDatasetGetLayerByName(src, opts.layer.c_str());
        scope.raise_if_failed();
    }
    if (layer == nullptr) {  // the translation reports the missing layer
        translate_with(dest, src, opts, decide_missing(target), nullptr, sink, cancel);
        return;
    }
    Observed expected;
    expected.fields = read_fields(layer, target, nullptr);
    expected.stats.resize(expected.fields.size());
    expected.geo_seen = needs_geometry_look(src, layer, target);
    expected.features = 0;
    // A table's server tells what sizes the fields, and estimates the rows
    // for the progress total (counting them would read the table).
    std::optional<GIntBig> count;
    if (from_postgresql(src)) {
        if (ask_server(src, layer, expected.fields, expected.stats, target))
            finish_values(expected.fields, expected.stats, target);
        count = estimated_rows(src, layer);
    }
    const LayerPlan first = decide(src, layer, opts.layer, target, expected, cancel);

    Observed seen = expected;
    seen.stats.assign(seen.fields.size(), FieldStats{});
    std::vector<std::string> bounds;  // worked out once, from the extent
    for (const std::string &o : first.layer_creation)
        if (o.rfind("BOUNDS=", 0) == 0) bounds.push_back(o);
    seen.tab_bounds = &bounds;
    const bool look_at_values =
        std::any_of(seen.fields.begin(), seen.fields.end(), [](const FieldInfo &f) { return f.scan; });
    auto watch = [&](OGRFeatureH feature) {
        ++seen.features;
        if (look_at_values) visit_values(feature, seen.fields, seen.stats, target);
        if (seen.geo_seen) visit_geometry(feature, seen.geo);
    };
    WarningSink held;
    held.hold();
    // GDAL's warnings of a pass that stands (it failed for good, or it is
    // the layer's output) are the call's.
    auto pass_on_held = [&] {
        for (const auto &w : held.take()) WarningSink::announce(sink, w);
    };
    try {
        translate_with(dest, src, opts, first, watch, &held, cancel, count);
    } catch (const GdalError &e) {
        // A writer that refuses what the declared plan did not prepare it for
        // (a value too wide for its field, meshes in a layer of undeclared
        // type) stops the pass. Then the layer is planned the two-pass way,
        // from all its values and geometries, and written again; a failure
        // that plan would not have avoided is the layer's failure.
        if (e.err_no == GdalError::kUserInterrupt ||
            (cancel != nullptr && cancel->cancelled.load())) {
            pass_on_held();
            throw;
        }
        // The source may be what failed (a server that stopped): then the
        // layer fails with the pass's own error, not the plan's.
        const std::exception_ptr failure = std::current_exception();
        LayerPlan plan;
        try {
            plan = plan_layer(src, opts.layer, target, sink, cancel);
        } catch (...) {
            pass_on_held();
            std::rethrow_exception(failure);
        }
        if (same_translation(first, plan)) {
            pass_on_held();
            throw;
        }
        remove_output(dest, opts.format);
        for (const auto &w : plan.warnings) WarningSink::announce(sink, w);
        translate_with(dest, src, opts, plan, nullptr, sink, cancel, count);
        return;
    } catch (...) {
        pass_on_held();
        throw;
    }
    finish_values(seen.fields, seen.stats, target);
    const LayerPlan plan = decide(src, layer, opts.layer, target, seen, cancel);
    for (const auto &w : plan.warnings) WarningSink::announce(sink, w);
    if (same_translation(first, plan)) {
        pass_on_held();
        return;
    }
    remove_output(dest, opts.format);
    OGR_L_ResetReading(layer);
    translate_with(dest, src, opts, plan, nullptr, sink, cancel, count);
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
    if ((target == TargetFormat::Shapefile || target == TargetFormat::MapInfo) &&
        one_pass_enabled()) {
        translate_in_one_pass(dest, src, opts, target, sink, cancel);
        return;
    }
    const LayerPlan plan = plan_layer(src, opts.layer, target, sink, cancel);
    for (const auto &w : plan.warnings) WarningSink::announce(sink, w);
    if (target != TargetFormat::PostgreSQL) {
        translate_with(dest, src, std::move(opts), plan, nullptr, sink, cancel);
        return;
    }
    // GDAL's PostgreSQL writer sends a number of a field without declared
    // width as text of 15 significant digits: the values that need more are
    // counted on their way and announced.
    const std::string name = opts.layer;
    OGRLayerH layer;
    {
        ErrorScope scope(sink);
        layer = GDALDatasetGetLayerByName(src, name.c_str());
        scope.raise_if_failed();
    }
    std::vector<FieldInfo> doubles;
    std::vector<int> index;
    std::vector<long long> cut;
    if (layer != nullptr) {
        OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
        for (int i = 0; i < OGR_FD_GetFieldCount(defn); ++i) {
            OGRFieldDefnH fd = OGR_FD_GetFieldDefn(defn, i);
            if (OGR_Fld_GetType(fd) != OFTReal || OGR_Fld_GetWidth(fd) != 0) continue;
            doubles.push_back({OGR_Fld_GetNameRef(fd), OFTReal, 0, 0});
            index.push_back(i);
        }
        cut.assign(index.size(), 0);
    }
    std::function<void(OGRFeatureH)> watch;
    if (!index.empty())
        watch = [&](OGRFeatureH feature) {
            for (std::size_t k = 0; k < index.size(); ++k) {
                if (!OGR_F_IsFieldSetAndNotNull(feature, index[k])) continue;
                const double v = OGR_F_GetFieldAsDouble(feature, index[k]);
                if (!std::isfinite(v)) continue;
                char text[32];
                std::snprintf(text, sizeof text, "%.15g", v);
                if (std::strtod(text, nullptr) != v) ++cut[k];
            }
        };
    translate_with(dest, src, std::move(opts), plan, watch, sink, cancel);
    for (std::size_t k = 0; k < index.size(); ++k)
        if (cut[k] > 0)
            WarningSink::announce(
                sink, field_text(name, doubles[k]) + std::to_string(cut[k]) +
                          " value(s) have more than 15 significant digits; GDAL's load into "
                          "PostgreSQL keeps 15 of them");
}

}  // namespace voriviv::geofileops
