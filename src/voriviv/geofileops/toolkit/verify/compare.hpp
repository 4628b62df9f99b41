// The rules of a verification (internal to verify/): whether one source
// value or geometry arrived in the target, exactly, up to what the target
// format forces, or not at all.
#pragma once

#include <string>
#include <vector>

#include <ogr_api.h>

#include "toolkit/fidelity/fidelity.hpp"

namespace voriviv::geofileops::verify {

// The kinds of difference the target format forced on one feature, each
// said once ("field 'name': blank text read back as NULL").
struct Notes {
    std::vector<std::string> kinds;
    void add(const std::string &kind);
};

// The target's resolution of coordinates: the largest error a stored
// coordinate may have, per axis (0: exact).
struct Resolution {
    double x = 0.0, y = 0.0, z = 0.0, m = 0.0;
};

// Compares source geometry `s` (may be null) with target geometry `t` (may be
// null) as a conversion into `target` writes it. Returns "" when they are
// equal, forced differences added to `notes`; else what differs.
std::string compare_geometry(OGRGeometryH s, OGRGeometryH t, TargetFormat target,
                             const Resolution &res, Notes &notes);

// Compares field `si` of `s` with field `ti` of `t` as above; `head` names
// the field in notes ("field 'name': ").
std::string compare_value(OGRFeatureH s, int si, OGRFeatureH t, int ti, TargetFormat target,
                          const std::string &head, Notes &notes);

// A field value as shown in a difference: NULL, or GDAL's text of it (cut).
std::string value_text(OGRFeatureH f, int i);

// `g` without its M values when every one of them is a Shapefile's "no
// data" (below -1e38): a new geometry, or null when `g` is left as it is.
OGRGeometryH without_nodata_measures(OGRGeometryH g);

// A geometry as shown in a difference: its WKT, cut; "(none)" when null.
std::string geometry_text(OGRGeometryH g);

// Whether `target_name` is a name the target format's writer makes of
// `source_name` (laundering: case, characters it refuses, a cut, a suffix
// that keeps names apart).
bool laundered_as(const std::string &source_name, const std::string &target_name,
                  TargetFormat target);

}  // namespace voriviv::geofileops::verify
