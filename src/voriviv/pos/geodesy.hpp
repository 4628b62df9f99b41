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
// of operations, and squares equal to pow(s, 2) as float ** 2 computes them
// (pow(s, 2) is not always s * s in the last bit). Where math would raise
// "math domain error" (sin or cos of an infinity, the square root of a
// negative number) the functions return nullopt.
#pragma once

#include "common/strict_fp.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
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

// float ** 2 as the interpreter computes it: pow(|s|, 2), without paying for
// pow when its answer is certain. pow is accurate to 0.54 ULP (glibc's
// bound), so when the exact square lies within 0.4 ULP of the rounded product
// s * s, no other double is close enough for pow to return it. The exact
// square is hi + lo by Dekker's splitting (exact without fused operations).
inline double square(double s) {
    const double a = std::fabs(s);
    if (a == 0.0) return 0.0;
    const double hi = a * a;
    if (hi > 0x1p-900 && hi < 0x1p900) {
        const double c = 134217729.0 * a;  // 2^27 + 1
        const double ah = c - (c - a);
        const double al = a - ah;
        const double lo = ((ah * ah - hi) + 2 * ah * al) + al * al;
        std::uint64_t bits;
        std::memcpy(&bits, &hi, sizeof bits);
        bits = (bits & 0x7ff0000000000000ULL) - (52ULL << 52);  // ulp(hi), hi normal
        double ulp;
        std::memcpy(&ulp, &bits, sizeof ulp);
        if (std::fabs(lo) < 0.4 * ulp) return hi;
    }
    return libm_pow(a, 2.0);
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
// the two latitudes, all in degrees. nullopt on a domain error: math.sin /
// math.cos of an infinity, or the square root of a negative number (a
// latitude beyond 90 degrees can make a negative).
inline std::optional<double> central_angle(double dlat_deg, double dlon_deg, double lat1_deg,
                                           double lat2_deg) {
    using namespace detail;
    const double half_dlat = radians(dlat_deg) / 2;
    const double half_dlon = radians(dlon_deg) / 2;
    const double lat1 = radians(lat1_deg);
    const double lat2 = radians(lat2_deg);
    if (std::isinf(half_dlat) || std::isinf(half_dlon) || std::isinf(lat1) || std::isinf(lat2))
        return std::nullopt;
    const double a = square(std::sin(half_dlat)) +
                     std::cos(lat1) * std::cos(lat2) * square(std::sin(half_dlon));
    const double rest = 1 - a;
    if (a < 0.0 || rest < 0.0) return std::nullopt;
    return 2 * atan2_(std::sqrt(a), std::sqrt(rest));
}

// Initial bearing in radians from point 1 toward point 2 (degrees in).
// nullopt on a domain error (sin or cos of an infinity).
inline std::optional<double> initial_bearing(double lat1_deg, double lon1_deg, double lat2_deg,
                                             double lon2_deg) {
    using namespace detail;
    const double lat1 = radians(lat1_deg);
    const double lon1 = radians(lon1_deg);
    const double lat2 = radians(lat2_deg);
    const double lon2 = radians(lon2_deg);
    const double dlon = lon2 - lon1;
    if (std::isinf(dlon) || std::isinf(lat1) || std::isinf(lat2)) return std::nullopt;
    const double y = std::sin(dlon) * std::cos(lat2);
    const double x = std::cos(lat1) * std::sin(lat2) - (std::sin(lat1) * std::cos(lat2)) * std::cos(dlon);
    return atan2_(y, x);
}

// cos(radians(lat_deg)); nullopt for an infinite latitude.
inline std::optional<double> cos_of_degrees(double lat_deg) {
    const double r = radians(lat_deg);
    if (std::isinf(r)) return std::nullopt;
    return std::cos(r);
}

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
