// voriviv.pos on whole arrays: to_nds_arrays, from_nds_arrays, distances.
//
// Each element goes through exactly the C++ functions that Position uses for
// a plain float position of its own class (nds.hpp, geodesy.hpp), so the
// results are those of the scalar calls bit for bit:
//
//   to_nds_arrays:   Position(lon, lat).to_nds_coordinates()
//   from_nds_arrays: Position.from_nds_coordinates(x, y) -> (p.x, p.y)
//   distances:       Position(lon1, lat1).distance_to(Position(lon2, lat2))
//
// with the class constants as built (LON_NDS_DELTA, LAT_NDS_DELTA,
// EARTH_RADIUS_IN_METERS); overrides on the class or a subclass do not apply.
//
// to_nds_arrays takes most elements several at a time (common/lanes.hpp):
// the same nds.hpp templates on vectors of doubles, for groups of elements
// where nothing can fail; any other group goes element by element.
#include <nanobind/nanobind.h>

#include <string>

#include "common/arrays.hpp"
#include "common/lanes.hpp"
#include "geodesy.hpp"
#include "nds.hpp"

namespace voriviv::pos {

namespace nb = nanobind;
using arrays::Accept;
using arrays::Column;
using arrays::kNoError;
using arrays::Output;

namespace {

// Why an element failed, with the scalar API's exception and text.
enum class Fault { Domain, NaN };

// Position(lon, lat) as the constructor normalises it; false for an
// infinite longitude (math.fmod's domain error).
inline bool normalised(double lon, double lat, double& x, double& y) {
    const auto r = nds::longitude_remainder(lon);
    if (!r) return false;
    x = nds::fold_longitude(*r, nds::kDefaultLonDelta);
    y = nds::clamped_latitude(lat, nds::kDefaultLatDelta);
    return true;
}

// Raises the scalar API's ValueError for element i.
[[noreturn]] void raise_fault(Fault f, std::size_t i, const Column* const* cols, std::size_t ncols) {
    std::string msg = f == Fault::Domain ? "math domain error" : "cannot convert float NaN to integer";
    msg += " at index " + std::to_string(i) + " (";
    for (std::size_t k = 0; k < ncols; ++k) {
        if (k) msg += ", ";
        msg += std::string(cols[k]->name()) + "=" + cols[k]->element_text(i);
    }
    msg += ")";
    throw nb::value_error(msg.c_str());
}

// Position(lon, lat).to_nds_coordinates() of one element; false where the
// scalar call raises.
inline bool to_nds_one(double lon, double lat, std::int64_t& xo, std::int64_t& yo) {
    double x, y;
    if (!normalised(lon, lat, x, y)) return false;
    const double ux = nds::longitude_to_units(x);
    const double uy = nds::latitude_to_units(y);
    if (std::isnan(ux) || std::isnan(uy)) return false;
    // Normalised values lie within +-2^31: the casts truncate toward zero
    // like int() of the float.
    xo = std::int64_t(ux);
    yo = std::int64_t(uy);
    return true;
}

// to_nds_one on elements [k, m), m - k a multiple of W, W at a time, up to
// the first group of W holding an element outside the common case; returns
// where that group starts (m when there is none). In the common case the
// longitude lies in (-360, 360) and the latitude is not NaN: fmod leaves such
// a longitude as it is (nds::longitude_remainder), nothing can fail, and the
// normalised units lie in [-2^31, 2^31), so truncating through int32 is
// int(). The group returned is left to to_nds_one, element by element.
template <std::size_t W>
VORIVIV_LANE_INLINE std::size_t to_nds_lanes(const double* lon, const double* lat,
                                             std::int64_t* xo, std::int64_t* yo, std::size_t k,
                                             std::size_t m) {
    using Doubles = typename lanes::Lanes<W>::Doubles;
    for (; k < m; k += W) {
        const Doubles lo = lanes::load<Doubles>(lon + k), la = lanes::load<Doubles>(lat + k);
        if (!lanes::all((lo < 360.0) & (lo > -360.0) & (la == la))) break;
        const Doubles x = nds::fold_longitude(lo, nds::kDefaultLonDelta);
        const Doubles y = nds::clamped_latitude(la, nds::kDefaultLatDelta);
        lanes::store(xo + k, lanes::truncate_int32(nds::longitude_to_units(x)));
        lanes::store(yo + k, lanes::truncate_int32(nds::latitude_to_units(y)));
    }
    return k;
}

VORIVIV_TARGET_AVX2 std::size_t to_nds_wide(const double* lon, const double* lat,
                                            std::int64_t* xo, std::int64_t* yo, std::size_t k,
                                            std::size_t m) {
    return to_nds_lanes<lanes::kWide>(lon, lat, xo, yo, k, m);
}

std::size_t to_nds_narrow(const double* lon, const double* lat, std::int64_t* xo,
                          std::int64_t* yo, std::size_t k, std::size_t m) {
    return to_nds_lanes<lanes::kNarrow>(lon, lat, xo, yo, k, m);
}

nb::tuple to_nds_arrays(nb::handle lon_in, nb::handle lat_in, nb::handle threads) {
    using arrays::kBlock;
    arrays::require_numpy("to_nds_arrays");
    const Column lon(lon_in, "lon", Accept::Numbers), lat(lat_in, "lat", Accept::Numbers);
    const Column* cols[] = {&lon, &lat};
    arrays::require_same_shape(cols, 2);
    const std::size_t n = lon.size();
    Output<std::int64_t> xs(lon), ys(lon);
    std::int64_t* xo = xs.data();
    std::int64_t* yo = ys.data();
    const bool wide = lanes::wide();
    const std::size_t width = wide ? lanes::kWide : lanes::kNarrow;
    auto slice = [&](std::size_t a, std::size_t b) -> std::size_t {
        double lon_buf[kBlock], lat_buf[kBlock];
        for (std::size_t s = a; s < b; s += kBlock) {
            const std::size_t m = std::min(kBlock, b - s);
            const double* lo = lon.doubles(s, m, lon_buf);
            const double* la = lat.doubles(s, m, lat_buf);
            const std::size_t groups = m - m % width;
            std::int64_t *x = xo + s, *y = yo + s;
            std::size_t k = 0;
            while (k < m) {
                // Groups in the common case at vector speed, then one group
                // (or the tail shorter than a group) element by element.
                if (k < groups) k = (wide ? to_nds_wide : to_nds_narrow)(lo, la, x, y, k, groups);
                const std::size_t end = std::min(m, k + width);
                for (; k < end; ++k)
                    if (!to_nds_one(lo[k], la[k], x[k], y[k])) return s + k;
            }
        }
        return kNoError;
    };
    const std::size_t bad = arrays::run_slices(n, arrays::thread_count(threads, n), slice);
    if (bad != kNoError) {
        // Which of the two scalar errors: the constructor's comes first.
        double lo_buf, la_buf, x, y;
        const double lo = *lon.doubles(bad, 1, &lo_buf);
        const double la = *lat.doubles(bad, 1, &la_buf);
        raise_fault(normalised(lo, la, x, y) ? Fault::NaN : Fault::Domain, bad, cols, 2);
    }
    return nb::make_tuple(xs.release(), ys.release());
}

nb::tuple from_nds_arrays(nb::handle x_in, nb::handle y_in, nb::handle threads) {
    arrays::require_numpy("from_nds_arrays");
    const Column xc(x_in, "x", Accept::Numbers), yc(y_in, "y", Accept::Numbers);
    const Column* cols[] = {&xc, &yc};
    arrays::require_same_shape(cols, 2);
    Output<double> lons(xc), lats(xc);
    double* lo = lons.data();
    double* la = lats.data();
    const std::size_t bad =
        arrays::for_each_double(cols, threads, [&](std::size_t i, const double (&v)[2]) {
            return normalised(nds::units_to_degrees(v[0]), nds::units_to_degrees(v[1]), lo[i], la[i]);
        });
    if (bad != kNoError) raise_fault(Fault::Domain, bad, cols, 2);
    return nb::make_tuple(lons.release(), lats.release());
}

nb::object distances(nb::handle lon1_in, nb::handle lat1_in, nb::handle lon2_in,
                     nb::handle lat2_in, nb::handle threads) {
    arrays::require_numpy("distances");
    const Column lon1(lon1_in, "lon1", Accept::Numbers), lat1(lat1_in, "lat1", Accept::Numbers),
        lon2(lon2_in, "lon2", Accept::Numbers), lat2(lat2_in, "lat2", Accept::Numbers);
    const Column* cols[] = {&lon1, &lat1, &lon2, &lat2};
    arrays::require_same_shape(cols, 4);
    Output<double> out(lon1);
    double* d = out.data();
    const std::size_t bad =
        arrays::for_each_double(cols, threads, [&](std::size_t i, const double (&v)[4]) {
            double px, py, qx, qy;
            if (!normalised(v[0], v[1], px, py) || !normalised(v[2], v[3], qx, qy)) return false;
            const auto c = geodesy::central_angle(qy - py, qx - px, py, qy);
            if (!c) return false;
            d[i] = nds::kEarthRadiusInMeters * *c;
            return true;
        });
    if (bad != kNoError) raise_fault(Fault::Domain, bad, cols, 4);
    return out.release();
}

}  // namespace

void add_array_functions(nb::module_& m) {
    m.def("to_nds_arrays", &to_nds_arrays, nb::arg("lon"), nb::arg("lat"), nb::kw_only(),
          nb::arg("threads") = nb::none(),
          nb::sig("def to_nds_arrays(lon: ArrayLike, lat: ArrayLike, *, threads: int | None = None)"
                  " -> tuple[numpy.ndarray, numpy.ndarray]"),
          "NDS integers of many positions at once: int64 arrays (x, y) where\n"
          "x[i], y[i] == Position(lon[i], lat[i]).to_nds_coordinates(), bit for bit.\n\n"
          "lon and lat are arrays of one shape (buffer protocol or DLPack; other\n"
          "objects go through numpy.asarray). bool and integer elements count as\n"
          "ints, floating ones (16 to 64 bits) as floats; other dtypes raise\n"
          "TypeError. An infinite longitude raises ValueError('math domain error\n"
          "at index i ...'), a NaN ValueError('cannot convert float NaN to integer\n"
          "at index i ...'), naming the first such element. Different shapes raise\n"
          "ValueError. Runs without the GIL; threads=None uses two threads from\n"
          "2**20 elements on, an int caps the number of threads. Needs NumPy.");
    m.def("from_nds_arrays", &from_nds_arrays, nb::arg("x"), nb::arg("y"), nb::kw_only(),
          nb::arg("threads") = nb::none(),
          nb::sig("def from_nds_arrays(x: ArrayLike, y: ArrayLike, *, threads: int | None = None)"
                  " -> tuple[numpy.ndarray, numpy.ndarray]"),
          "WGS84 degrees of many NDS integer pairs at once: float64 arrays (lon, lat)\n"
          "where lon[i], lat[i] are p.x, p.y of Position.from_nds_coordinates(x[i],\n"
          "y[i]), bit for bit (normalised; NaN stays NaN). Same input rules as\n"
          "to_nds_arrays; an infinite x raises ValueError('math domain error at\n"
          "index i ...'). Needs NumPy.");
    m.def("distances", &distances, nb::arg("lon1"), nb::arg("lat1"), nb::arg("lon2"),
          nb::arg("lat2"), nb::kw_only(), nb::arg("threads") = nb::none(),
          nb::sig("def distances(lon1: ArrayLike, lat1: ArrayLike, lon2: ArrayLike, "
                  "lat2: ArrayLike, *, threads: int | None = None) -> numpy.ndarray"),
          "Great-circle distances in metres, a float64 array where d[i] ==\n"
          "Position(lon1[i], lat1[i]).distance_to(Position(lon2[i], lat2[i])), bit\n"
          "for bit: both points are normalised first, as the constructor does.\n"
          "Same input rules as to_nds_arrays; an infinite longitude raises\n"
          "ValueError('math domain error at index i ...'), NaN gives NaN. Needs NumPy.");
}

}  // namespace voriviv::pos
