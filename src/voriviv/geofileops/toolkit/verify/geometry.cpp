#include "toolkit/verify/compare.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdio>
#include <memory>
#include <vector>

#include <cpl_conv.h>

#include "toolkit/fidelity/scan.hpp"

namespace voriviv::geofileops::verify {
namespace {

struct GeometryDeleter {
    void operator()(OGRGeometryH g) const { if (g) OGR_G_DestroyGeometry(g); }
};
using Geometry = std::unique_ptr<std::remove_pointer_t<OGRGeometryH>, GeometryDeleter>;

// Shapefiles store "no data" for an M value as any number below -1e38.
constexpr double kNoDataMeasure = -1e38;

bool is_empty(OGRGeometryH g) { return g == nullptr || OGR_G_IsEmpty(g); }

bool close_enough(double a, double b, double tolerance) {
    if (a == b) return true;
    if (std::isnan(a) && std::isnan(b)) return true;
    // The step of a quantised coordinate, and the last bits of the double
    // the reader computes from the integer.
    return std::fabs(a - b) <= tolerance + 4 * std::numeric_limits<double>::epsilon() *
                                                std::max(std::fabs(a), std::fabs(b));
}

// The Multi* type of a single-part type, or wkbUnknown.
OGRwkbGeometryType multi_of(OGRwkbGeometryType flat) {
    switch (flat) {
    case wkbPoint: return wkbMultiPoint;
    case wkbLineString: return wkbMultiLineString;
    case wkbPolygon: return wkbMultiPolygon;
    case wkbCurvePolygon: return wkbMultiSurface;
    case wkbCompoundCurve:
    case wkbCircularString: return wkbMultiCurve;
    default: return wkbUnknown;
    }
}

bool is_curve_sequence(OGRwkbGeometryType flat) {
    return flat == wkbLineString || flat == wkbCircularString || flat == wkbLinearRing;
}

bool is_surface_kind(OGRwkbGeometryType flat) {
    return flat == wkbPolygon || flat == wkbMultiPolygon || flat == wkbTriangle ||
           fidelity::is_mesh_type(flat);
}

bool polygonal(OGRGeometryH g) {
    const OGRwkbGeometryType flat = OGR_GT_Flatten(OGR_G_GetGeometryType(g));
    return flat == wkbPolygon || flat == wkbMultiPolygon;
}

// A mesh (TIN, polyhedral surface), or a collection holding one.
bool mesh_like(OGRGeometryH g) {
    const OGRwkbGeometryType flat = OGR_GT_Flatten(OGR_G_GetGeometryType(g));
    if (fidelity::is_mesh_type(flat)) return true;
    if (flat != wkbGeometryCollection) return false;
    for (int i = 0, n = OGR_G_GetGeometryCount(g); i < n; ++i)
        if (mesh_like(OGR_G_GetGeometryRef(g, i))) return true;
    return false;
}

// A surface or a collection of nothing but surfaces.
bool surface_like(OGRGeometryH g) {
    const OGRwkbGeometryType flat = OGR_GT_Flatten(OGR_G_GetGeometryType(g));
    if (is_surface_kind(flat)) return true;
    if (flat != wkbGeometryCollection) return false;
    for (int i = 0, n = OGR_G_GetGeometryCount(g); i < n; ++i)
        if (!surface_like(OGR_G_GetGeometryRef(g, i))) return false;
    return true;
}

class Comparer {
public:
    Comparer(const Resolution &res, Notes &notes) : res_(res), notes_(notes) {}

    // "" when `e` (the expected geometry) and `t` are equal.
    std::string compare(OGRGeometryH e, OGRGeometryH t) {
        const OGRwkbGeometryType fe = OGR_GT_Flatten(OGR_G_GetGeometryType(e));
        const OGRwkbGeometryType ft = OGR_GT_Flatten(OGR_G_GetGeometryType(t));
        if (fe == ft) return same_kind(e, t, fe);
        // A single part held as a multi-part geometry of one part, or the
        // reverse (Shapefiles and MapInfo files do not tell them apart;
        // loads into PostgreSQL promote every layer to multi-part).
        if (multi_of(fe) == ft && OGR_G_GetGeometryCount(t) == 1) {
            notes_.add("single-part geometries held as multi-part ones");
            return compare(e, OGR_G_GetGeometryRef(t, 0));
        }
        if (multi_of(ft) == fe && OGR_G_GetGeometryCount(e) == 1) {
            notes_.add("multi-part geometries of one part held as single-part ones");
            return compare(OGR_G_GetGeometryRef(e, 0), t);
        }
        return std::string("geometry type ") + OGRGeometryTypeToName(fe) + " arrived as " +
               OGRGeometryTypeToName(ft);
    }

    // The rings of polygonal `e` and `t` (polygons, multipolygons), whatever
    // polygons they form and in whatever order: a Shapefile stores rings, and
    // its reader groups them into polygons anew.
    std::string rings_alike(OGRGeometryH e, OGRGeometryH t) {
        std::vector<OGRGeometryH> a, b;
        collect_rings(e, a);
        collect_rings(t, b);
        if (a.size() != b.size())
            return std::to_string(a.size()) + " rings arrived as " + std::to_string(b.size());
        if (a.size() > 256) return "too many rings to match";
        std::vector<bool> used(b.size(), false);
        for (std::size_t i = 0; i < a.size(); ++i) {
            bool found = false;
            for (std::size_t j = 0; j < b.size() && !found; ++j) {
                if (used[j]) continue;
                Notes before = notes_;
                if (sequence(a[i], b[j], true).empty()) used[j] = found = true;
                else notes_ = before;
            }
            if (!found) return "ring " + std::to_string(i + 1) + " is not among the target's";
        }
        return "";
    }

private:
    static void collect_rings(OGRGeometryH g, std::vector<OGRGeometryH> &out) {
        const OGRwkbGeometryType flat = OGR_GT_Flatten(OGR_G_GetGeometryType(g));
        for (int i = 0, n = OGR_G_GetGeometryCount(g); i < n; ++i) {
            OGRGeometryH part = OGR_G_GetGeometryRef(g, i);
            if (flat == wkbPolygon) out.push_back(part);
            else collect_rings(part, out);
        }
    }

    std::string points(OGRGeometryH e, OGRGeometryH t, bool reversed) {
        const int n = OGR_G_GetPointCount(e);
        if (n != OGR_G_GetPointCount(t))
            return std::to_string(n) + " points arrived as " +
                   std::to_string(OGR_G_GetPointCount(t));
        const bool z = OGR_G_Is3D(e) && OGR_G_Is3D(t);
        const bool m = OGR_G_IsMeasured(e) && OGR_G_IsMeasured(t);
        for (int i = 0; i < n; ++i) {
            double ex, ey, ez, em, tx, ty, tz, tm;
            OGR_G_GetPointZM(e, reversed ? n - 1 - i : i, &ex, &ey, &ez, &em);
            OGR_G_GetPointZM(t, i, &tx, &ty, &tz, &tm);
            if (!close_enough(ex, tx, res_.x) || !close_enough(ey, ty, res_.y) ||
                (z && !close_enough(ez, tz, res_.z)) || (m && !close_enough(em, tm, res_.m))) {
                char buf[200];
                std::snprintf(buf, sizeof buf, "point %d (%.17g %.17g) arrived as (%.17g %.17g)",
                              i + 1, ex, ey, tx, ty);
                if (z && ex == tx && ey == ty)
                    std::snprintf(buf, sizeof buf, "point %d: Z %.17g arrived as %.17g", i + 1,
                                  ez, tz);
                else if (m && ex == tx && ey == ty)
                    std::snprintf(buf, sizeof buf, "point %d: M %.17g arrived as %.17g", i + 1,
                                  em, tm);
                return buf;
            }
        }
        return "";
    }

    // A ring or line; a ring may arrive in the other direction (Shapefile
    // writers turn outer rings clockwise, inner ones counter-clockwise).
    std::string sequence(OGRGeometryH e, OGRGeometryH t, bool ring) {
        std::string why = points(e, t, false);
        if (why.empty() || !ring) return why;
        Notes saved = notes_;
        if (points(e, t, true).empty()) {
            notes_.add("rings written in the format's own orientation");
            return "";
        }
        notes_ = saved;
        return why;
    }

    std::string parts(OGRGeometryH e, OGRGeometryH t, bool rings) {
        const int n = OGR_G_GetGeometryCount(e);
        if (n != OGR_G_GetGeometryCount(t))
            return std::to_string(n) + (rings ? " rings" : " parts") + " arrived as " +
                   std::to_string(OGR_G_GetGeometryCount(t));
        std::string first;
        for (int i = 0; i < n; ++i) {
            OGRGeometryH a = OGR_G_GetGeometryRef(e, i), b = OGR_G_GetGeometryRef(t, i);
            std::string why = rings ? sequence(a, b, true) : compare(a, b);
            if (!why.empty()) {
                first = (rings ? "ring " : "part ") + std::to_string(i + 1) + ": " + why;
                break;
            }
        }
        if (first.empty() || rings || n > 64) return first;
        // The parts of a multi-part geometry may arrive in another order
        // (a Shapefile reader sorts a polygon's rings into parts anew).
        std::vector<bool> used(n, false);
        Notes saved = notes_;
        for (int i = 0; i < n; ++i) {
            bool found = false;
            for (int j = 0; j < n && !found; ++j) {
                if (used[j]) continue;
                Notes before = notes_;
                if (compare(OGR_G_GetGeometryRef(e, i), OGR_G_GetGeometryRef(t, j)).empty())
                    used[j] = found = true;
                else
                    notes_ = before;
            }
            if (!found) {
                notes_ = saved;
                return first;
            }
        }
        notes_.add("parts of multi-part geometries in another order");
        return "";
    }

    std::string same_kind(OGRGeometryH e, OGRGeometryH t, OGRwkbGeometryType flat) {
        if (is_empty(e) != is_empty(t)) return is_empty(e) ? "an empty geometry arrived filled"
                                                           : "the geometry arrived empty";
        if (flat == wkbPoint || is_curve_sequence(flat)) return sequence(e, t, false);
        if (flat == wkbPolygon || flat == wkbTriangle) return parts(e, t, true);
        return parts(e, t, false);
    }

    const Resolution &res_;
    Notes &notes_;
};

// Whether every M value of `g` is a Shapefile's "no data".
bool all_nodata_measures(OGRGeometryH g) {
    const int parts = OGR_G_GetGeometryCount(g);
    if (parts > 0) {
        for (int i = 0; i < parts; ++i)
            if (!all_nodata_measures(OGR_G_GetGeometryRef(g, i))) return false;
        return true;
    }
    for (int i = 0, n = OGR_G_GetPointCount(g); i < n; ++i)
        if (!(OGR_G_GetM(g, i) < kNoDataMeasure)) return false;
    return true;
}

}  // namespace

// Compares `expected` (changed here: Z and M dropped for a MapInfo file) with
// `t`, once the kinds of geometry are settled.
static std::string compare_as_written(OGRGeometryH expected, OGRGeometryH t, TargetFormat target,
                                      const Resolution &res, Notes &notes) {
    // MapInfo files hold no Z or M.
    const bool z = OGR_G_Is3D(expected), m = OGR_G_IsMeasured(expected);
    if ((z && !OGR_G_Is3D(t)) || (m && !OGR_G_IsMeasured(t))) {
        if (target != TargetFormat::MapInfo)
            return std::string(z && !OGR_G_Is3D(t) ? "Z" : "M") + " values are missing";
        OGR_G_Set3D(expected, FALSE);
        OGR_G_SetMeasured(expected, FALSE);
        notes.add("Z and M values dropped");
    }
    const Notes before = notes;
    Comparer cmp(res, notes);
    const std::string why = cmp.compare(expected, t);
    if (why.empty() || target != TargetFormat::Shapefile || !polygonal(expected) ||
        !polygonal(t))
        return why;
    notes = before;
    if (cmp.rings_alike(expected, t).empty()) {
        notes.add("polygons' rings grouped anew by the Shapefile reader");
        return "";
    }
    notes = before;
    return why;
}

OGRGeometryH without_nodata_measures(OGRGeometryH g) {
    if (g == nullptr || !OGR_G_IsMeasured(g) || !all_nodata_measures(g)) return nullptr;
    OGRGeometryH copy = OGR_G_Clone(g);
    OGR_G_SetMeasured(copy, FALSE);
    return copy;
}

std::string geometry_text(OGRGeometryH g) {
    if (g == nullptr) return "(none)";
    char *wkt = nullptr;
    OGR_G_ExportToIsoWkt(g, &wkt);
    std::string text = wkt ? wkt : "";
    CPLFree(wkt);
    if (text.size() > 80) text = text.substr(0, 77) + "...";
    return text;
}

std::string compare_geometry(OGRGeometryH s, OGRGeometryH t, TargetFormat target,
                             const Resolution &res, Notes &notes) {
    const bool file_target = target == TargetFormat::Shapefile || target == TargetFormat::MapInfo;
    if (is_empty(s) || is_empty(t)) {
        if (s == nullptr && t == nullptr) return "";
        if (s != nullptr && t != nullptr && is_empty(s) && is_empty(t)) return "";
        // Shapefiles and MapInfo files hold no empty geometry: it is read
        // back as none.
        if (is_empty(s) && t == nullptr && file_target) {
            notes.add("empty geometries read back as none");
            return "";
        }
        if (s == nullptr) return "a feature without geometry arrived with one";
        return t == nullptr ? "the geometry is missing" : "the geometry arrived empty";
    }
    Geometry expected(OGR_G_Clone(s));
    const OGRwkbGeometryType ft = OGR_GT_Flatten(OGR_G_GetGeometryType(t));
    // Curves into a target that holds none: GDAL's writer approximates them
    // with line segments, as the geometry's own linearisation does.
    if (OGR_G_HasCurveGeometry(expected.get(), TRUE) && !OGR_G_HasCurveGeometry(t, TRUE)) {
        expected.reset(OGR_G_GetLinearGeometry(expected.get(), 0, nullptr));
        notes.add("curves written as line segments");
    }
    // Meshes (TIN, polyhedral surfaces, and collections of them with polygons,
    // as a multipatch reads) written as multipolygons of their faces, or with
    // their faces grouped otherwise (a lone triangle read back as a polygon):
    // compared face by face.
    Geometry faces;
    if (mesh_like(expected.get()) || mesh_like(t)) {
        if (!surface_like(expected.get()) || !surface_like(t))
            return std::string("geometry type ") +
                   OGRGeometryTypeToName(OGR_G_GetGeometryType(expected.get())) +
                   " arrived as " + OGRGeometryTypeToName(OGR_G_GetGeometryType(t));
        const OGRwkbGeometryType fe = OGR_GT_Flatten(OGR_G_GetGeometryType(expected.get()));
        if (fe == ft) {  // the collection may have arrived as it was
            Notes tried = notes;
            Geometry as_is(OGR_G_Clone(expected.get()));
            if (compare_as_written(as_is.get(), t, target, res, tried).empty()) {
                notes = tried;
                return "";
            }
        }
        if (fe != ft || fe == wkbGeometryCollection) {
            expected.reset(OGR_G_ForceToMultiPolygon(expected.release()));
            faces.reset(OGR_G_ForceToMultiPolygon(OGR_G_Clone(t)));
            t = faces.get();
            notes.add("meshes written as multipolygons of their faces");
        }
    }
    return compare_as_written(expected.get(), t, target, res, notes);
}

}  // namespace voriviv::geofileops::verify
