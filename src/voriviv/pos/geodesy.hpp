// Distances, bearings and metric extents on a spherical Earth.
//
// The model
// ---------
// Positions are (longitude, latitude) in degrees on a sphere of radius R
// (Position.EARTH_RADIUS_IN_METERS, 6371000.8 m). Angles convert to radians as
// the interpreter's math.radians does: degrees * (pi / 180), one rounding.
//
//   * Central angle (haversine): with dlat, dlon the coordinate differences,
//       a = sin(dlat/2)^2 + cos(lat1) * cos(lat2) * sin(dlon/2)^2
//       c = 2 * atan2(sqrt(a), sqrt(1 - a))
//     and the distance is R * c metres. The raw longitude difference is used;
//     only sin(dlon/2)^2 enters, so 359 degrees apart is the same as 1.
//   * Initial bearing from point 1 toward point 2, clockwise from north, in
//     radians in [-pi, pi] as atan2 returns it: north 0, east pi/2, south pi,
//     west -pi/2. Equal points give 0.
//   * Extents: one degree is a fixed 111320 m of latitude, and
//     111320 * cos(latitude) m of longitude (negative beyond 90 degrees).
//   * Degree/minute/second text of a non-negative angle: degrees and minutes
//     truncated, seconds the rest with two decimals. Each part is computed on
//     its own, without carry, so "60.00" seconds can appear.
//
// Results are bit-identical to the same formulas evaluated with the
// interpreter's float and math functions: the same libm calls, the same order
// of operations, and squares taken with pow() as float ** 2 does (pow(s, 2) is
// not always s * s in the last bit). Where math would raise "math domain
// error" (sin or cos of an infinity, the square root of a negative number) the
// functions return nullopt.
#pragma once

#include <cmath>
#include <optional>

namespace voriviv::geodesy {

// math.radians: degrees times pi / 180.
inline constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;
// Fixed metres per degree of latitude (and of longitude at the equator).
inline constexpr double kMetersPerDegree = 111320.0;

inline double radians(double degrees) { return degrees * kRadiansPerDegree; }

namespace detail {

// libm's pow, called for real: the compiler would otherwise turn pow(s, 2.0)
// into s * s, which rounds differently for about one input in a thousand.
inline double (*volatile libm_pow)(double, double) = &::pow;

// float ** 2 as the interpreter computes it: pow(|s|, 2).
inline double square(double s) { return libm_pow(std::fabs(s), 2.0); }

// math.sin / math.cos / math.sqrt: nullopt where they raise a domain error.
inline std::optional<double> sin_(double x) {
    if (std::isinf(x)) return std::nullopt;
    return std::sin(x);
}
inline std::optional<double> cos_(double x) {
    if (std::isinf(x)) return std::nullopt;
    return std::cos(x);
}
inline std::optional<double> sqrt_(double x) {
    if (x < 0.0) return std::nullopt;
    return std::sqrt(x);
}

// math.atan2, including its explicit rules for NaN, infinities and zeros.
inline double atan2_(double y, double x) {
    constexpr double pi = 3.14159265358979323846;
    if (std::isnan(x) || std::isnan(y)) return NAN;
    if (std::isinf(y)) {
        if (std::isinf(x)) {
            if (std::copysign(1.0, x) == 1.0) return std::copysign(0.25 * pi, y);
            return std::copysign(0.75 * pi, y);
        }
        return std::copysign(0.5 * pi, y);
    }
    if (std::isinf(x) || y == 0.0) {
        if (std::copysign(1.0, x) == 1.0) return std::copysign(0.0, y);
        return std::copysign(pi, y);
    }
    return std::atan2(y, x);
}

}  // namespace detail

// Central angle in radians between two points, from the latitude difference
// dlat_deg = lat2 - lat1, the longitude difference dlon_deg = lon2 - lon1 and
// the two latitudes, all in degrees. nullopt on a domain error.
inline std::optional<double> central_angle(double dlat_deg, double dlon_deg, double lat1_deg,
                                           double lat2_deg) {
    using namespace detail;
    const double dlat = radians(dlat_deg);
    const double dlon = radians(dlon_deg);
    const auto s_lat = sin_(dlat / 2);
    if (!s_lat) return std::nullopt;
    const double first = square(*s_lat);
    const auto c1 = cos_(radians(lat1_deg));
    if (!c1) return std::nullopt;
    const auto c2 = cos_(radians(lat2_deg));
    if (!c2) return std::nullopt;
    const auto s_lon = sin_(dlon / 2);
    if (!s_lon) return std::nullopt;
    const double a = first + *c1 * *c2 * square(*s_lon);
    const auto root_a = sqrt_(a);
    if (!root_a) return std::nullopt;
    const auto root_rest = sqrt_(1 - a);
    if (!root_rest) return std::nullopt;
    return 2 * atan2_(*root_a, *root_rest);
}

// Initial bearing in radians from point 1 toward point 2 (degrees in).
// nullopt on a domain error (an infinite coordinate).
inline std::optional<double> initial_bearing(double lat1_deg, double lon1_deg, double lat2_deg,
                                             double lon2_deg) {
    using namespace detail;
    const double lat1 = radians(lat1_deg);
    const double lon1 = radians(lon1_deg);
    const double lat2 = radians(lat2_deg);
    const double lon2 = radians(lon2_deg);
    const auto s_dlon = sin_(lon2 - lon1);
    const auto c_lat2 = cos_(lat2);
    const auto c_lat1 = cos_(lat1);
    const auto s_lat2 = sin_(lat2);
    const auto s_lat1 = sin_(lat1);
    const auto c_dlon = cos_(lon2 - lon1);
    if (!s_dlon || !c_lat2 || !c_lat1 || !s_lat2 || !s_lat1 || !c_dlon) return std::nullopt;
    const double y = *s_dlon * *c_lat2;
    const double x = *c_lat1 * *s_lat2 - (*s_lat1 * *c_lat2) * *c_dlon;
    return atan2_(y, x);
}

// cos(radians(lat_deg)); nullopt for an infinite latitude.
inline std::optional<double> cos_of_degrees(double lat_deg) { return detail::cos_(radians(lat_deg)); }

// Width in metres of lon_deg degrees of longitude where the cosine of the
// latitude is cos_lat: (|lon_deg| * 111320) * cos_lat.
inline double longitude_extent_meters(double lon_deg, double cos_lat) {
    return std::fabs(lon_deg) * kMetersPerDegree * cos_lat;
}

// Height in metres of lat_deg degrees of latitude: |lat_deg| * 111320.
inline double latitude_extent_meters(double lat_deg) { return std::fabs(lat_deg) * kMetersPerDegree; }

// Degree/minute/second parts of a finite angle value >= 0 (its absolute value
// is taken by the caller). degrees and minutes are whole numbers held in
// doubles; seconds may print as 60.00, or as -0.00 when minutes / 60 rounds
// above the fraction.
struct DmsParts {
    double degrees;
    double minutes;
    double seconds;
};

inline DmsParts dms_parts(double value) {
    const double degrees = std::trunc(value);
    const double fraction = value - degrees;
    const double minutes = std::trunc(fraction * 60);
    const double seconds = (fraction - minutes / 60) * 3600;
    return {degrees, minutes, seconds};
}

}  // namespace voriviv::geodesy
