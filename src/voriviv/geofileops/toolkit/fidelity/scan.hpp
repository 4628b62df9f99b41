// Looking at a layer's values and geometries once, for its plan (internal
// to fidelity/: plan.cpp decides, this reads).
#pragma once

#include <string>
#include <vector>

#include <gdal.h>
#include <ogr_api.h>

#include "toolkit/core/cancel.hpp"
#include "toolkit/fidelity/fidelity.hpp"

namespace voriviv::geofileops::fidelity {


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
    // decimals, and with GDAL's decimals of a field without a width
    // (settled by finish_values from the largest and smallest value).
    int widest_declared = 0;
    int widest_unset = 0;
    double largest = 0.0;
    double smallest = 0.0;
};

struct FieldInfo {
    std::string name;
    OGRFieldType type;
    int width;
    int precision;
    bool scan = false;  // the values must be looked at
};

// Geometry kinds of a layer whose declared type does not tell them.
struct GeometryStats {
    long long meshes = 0;       // TIN or polyhedral surface
    long long polygons = 0;     // polygons and multipolygons
    long long others = 0;       // anything else, empty geometries aside
    long long multipoints = 0;  // multipoints of more than one point
    bool z = false, m = false;
};

// Whether `v` fits the declared numeric field in `target`.
bool number_fits(double v, const FieldInfo &f, TargetFormat target);

// Whether text `s` fits the declared character field in `target`.
bool text_fits(const char *s, const FieldInfo &f, TargetFormat target);

// Whether the values of field `f` must be looked at for `target`.
bool needs_scan(const FieldInfo &f, TargetFormat target);

// Digits before the decimal point of `v` written with `precision` decimals
// ("0.5" has none, as PostgreSQL counts them), and the whole text's length.
void decimal_extent(double v, int precision, int &int_digits, int &text_len);

// Adds the values of one feature's fields marked `scan` to `stats`.
void visit_values(OGRFeatureH feature, const std::vector<FieldInfo> &fields,
                  std::vector<FieldStats> &stats, TargetFormat target);

// Settles what the visits leave to the end; call once after the last visit.
void finish_values(const std::vector<FieldInfo> &fields, std::vector<FieldStats> &stats,
                   TargetFormat target);

// Adds one feature's geometry to `stats`.
void visit_geometry(OGRFeatureH feature, GeometryStats &stats);

// Reads the values of the fields marked `scan` once (geometries are not
// read) into `stats` (visit_values, finish_values). A cancelled token stops
// with GdalError "User terminated".
void scan_values(OGRLayerH layer, std::vector<FieldInfo> &fields,
                 std::vector<FieldStats> &stats, TargetFormat target,
                 const CancelToken *cancel);

// Whether `t` is a mesh: a TIN or a polyhedral surface.
bool is_mesh_type(OGRwkbGeometryType t);

// Reads the layer's geometries once (attributes are not read).
GeometryStats scan_geometries(OGRLayerH layer, const CancelToken *cancel);

}  // namespace voriviv::geofileops::fidelity
