// NDS integer coordinates and the normalisation of WGS84 degrees into them.
//
// The model
// ---------
// A position is a longitude and a latitude in WGS84 degrees. NDS stores them as
// integers with one common unit, 360 / 2^32 degree (8.381903171539307e-08
// degree, about 9.3 mm along the equator):
//
//   * longitude: 32-bit signed, a full turn is 2^32 units. -180 degrees is
//     -2^31; the largest value, 2^31 - 1, is 180 - 1 unit = 179.99999991618097.
//     There is no +180: it is the same meridian as -180.
//   * latitude: 31-bit signed, 180 degrees is 2^31 units. -90 degrees is -2^30;
//     the largest value, 2^30 - 1, is 90 - 1 unit = 89.99999991618097.
//
// Degrees become units by x / 360 * 2^32 (divide first, then scale) truncated
// toward zero; units become degrees by n * (360 / 2^32). Every step is exact in
// double precision for integers in range, so integer -> degrees -> integer
// returns the integer, except at the two top units (see below).
//
// Normalisation brings any finite degree pair into that range:
//   1. longitude := fmod(longitude, 360), exact, sign of the input;
//   2. a longitude within one "delta" of the top longitude snaps onto it;
//   3. a longitude of 180 or more wraps down by 360, below -180 up by 360;
//   4. a latitude within one delta of the top latitude snaps onto it;
//   5. a latitude above the top latitude becomes it, below -90 becomes -90.
// The deltas are a hair larger than the unit (360 / (2^32 - 1) and
// 180 / (2^31 - 1)); in double precision 180 - lon_delta is exactly the top
// longitude and the snap zone is exactly [180 - 2 units, 180]. So +180 (and
// 540) end on the top longitude, -180 stays -180, and the unit just below the
// top is folded onto it. Latitudes are clamped, never reflected. Comparisons
// are strict except "180 or more". Normalising twice changes nothing.
//
// The deltas are parameters because the Python class lets a subclass or an
// instance override them; kDefaultLonDelta / kDefaultLatDelta are the class
// values.
//
// Everything here is plain double arithmetic, one IEEE rounding per operation
// (no contraction: common/strict_fp.hpp), in the same order as the
// interpreter's float operations would perform it. Steps 2 to 5 and the unit
// conversions are templates over double and the vectors of doubles of
// common/lanes.hpp: the array functions run the very same expressions on
// several elements at once, choosing with pick() instead of branching.
#pragma once

#include "common/strict_fp.hpp"
#include "common/lanes.hpp"

#include <cmath>
#include <optional>

namespace voriviv::nds {

// 2^32: longitude units in a full turn.
inline constexpr double kLonUnitsPerTurn = 4294967296.0;
// 2^31: latitude units from pole to pole.
inline constexpr double kLatUnitsPerHalfTurn = 2147483648.0;
// The NDS unit in degrees, 360 / 2^32 (= 180 / 2^31), exact.
inline constexpr double kDegreesPerUnit = 360.0 / 4294967296.0;

// Class constants of Position. Both deltas are slightly larger than the unit.
inline constexpr double kEarthRadiusInMeters = 6371000.8;
inline constexpr double kDefaultLonDelta = 360.0 / 4294967295.0;
inline constexpr double kDefaultLatDelta = 180.0 / 2147483647.0;

// Step 1: the remainder of x / 360 as C's fmod computes it (exact, with the
// sign of x, magnitude below 360). nullopt for an infinite x, which has no
// remainder ("math domain error"); NaN gives NaN.
inline std::optional<double> longitude_remainder(double x) {
    // Below 360 in magnitude fmod returns x itself, exactly (sign and -0.0
    // included): most longitudes need no libm call.
    if (std::fabs(x) < 360.0) return x;
    if (std::isinf(x)) return std::nullopt;
    return std::fmod(x, 360.0);
}

// Steps 2 and 3 on a remainder r from step 1: snap onto the top longitude
// 180 - lon_delta when within lon_delta of it, then wrap [180, 360) down and
// (-360, -180) up. NaN passes through. (|d| < delta is written as
// d < delta & d > -delta: the same for every d, NaN included.)
template <typename T>
VORIVIV_LANE_INLINE T fold_longitude(T r, double lon_delta) {
    using lanes::pick;
    const double top = 180.0 - lon_delta;
    const T d = r - top;
    r = pick((d < lon_delta) & (d > -lon_delta), lanes::splat<T>(top), r);
    const T down = r - 360.0, up = r + 360.0;
    return pick(r >= 180.0, down, pick(r < -180.0, up, r));
}

// Steps 4 and 5: y after snapping onto the top latitude 90 - lat_delta when
// within lat_delta of it, then clamping above it to it and below -90 to -90.
// Inside the range, or NaN, y itself.
template <typename T>
VORIVIV_LANE_INLINE T clamped_latitude(T y, double lat_delta) {
    using lanes::pick;
    const double top = 90.0 - lat_delta;
    const T d = y - top;
    y = pick((d < lat_delta) & (d > -lat_delta), lanes::splat<T>(top), y);
    return pick(y > top, lanes::splat<T>(top), pick(y < -90.0, lanes::splat<T>(-90.0), y));
}

// Steps 4 and 5 for the scalar API, which keeps a latitude object that stays
// as it is: the replacement latitude, or nullopt when y is inside the range
// (or NaN) and so unchanged.
inline std::optional<double> clamp_latitude(double y, double lat_delta) {
    const double top = 90.0 - lat_delta;
    if (std::fabs(y - top) < lat_delta || y > top || y < -90.0) return clamped_latitude(y, lat_delta);
    return std::nullopt;
}

// Degrees to NDS units before truncation (the caller truncates toward zero
// into an unbounded integer; NaN and infinity have no integer).
template <typename T>
VORIVIV_LANE_INLINE T longitude_to_units(T lon) {
    return lon / 360.0 * kLonUnitsPerTurn;
}
template <typename T>
VORIVIV_LANE_INLINE T latitude_to_units(T lat) {
    return lat / 180.0 * kLatUnitsPerHalfTurn;
}

// NDS units (as a double) to degrees, not normalised.
inline double units_to_degrees(double units) { return units * kDegreesPerUnit; }

// An extent of NDS units to degrees, as units / 2^32 * 360 and
// units / 2^31 * 180 (the same value as units * unit: both scale by an exact
// power of two and round once).
inline double longitude_extent_degrees(double units) { return units / kLonUnitsPerTurn * 360.0; }
inline double latitude_extent_degrees(double units) { return units / kLatUnitsPerHalfTurn * 180.0; }

}  // namespace voriviv::nds
