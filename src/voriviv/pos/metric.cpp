// Position's metric members: distance_to, bearing_from, degrees_to_meters,
// nds_distance_to_meters and to_degree_minutes_seconds. The formulas are in
// geodesy.hpp; this file reads the Python values and builds the results.
#include <climits>
#include <cstring>

#include "float_text.hpp"
#include "geodesy.hpp"
#include "nds.hpp"
#include "position.hpp"

namespace voriviv::pos {

using py::Ref;
using py::steal;

namespace {

// a - b as a double, as math.radians(a - b) sees it.
bool difference(PyObject* a, PyObject* b, double& out) {
    double x, y;
    if (py::as_double_exact(a, x) && py::as_double_exact(b, y)) {
        out = x - y;
        return true;
    }
    Ref d = steal(PyNumber_Subtract(a, b));
    return d && py::to_double(d.ptr(), out);
}

// The double an exact float or int becomes as the operand of a float
// operation: 1 with out set, 0 for any other object, -1 for an int too large.
int float_operand(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return 1;
    }
    if (PyLong_CheckExact(o)) {
        out = PyLong_AsDouble(o);
        return (out == -1.0 && PyErr_Occurred()) ? -1 : 1;
    }
    return 0;
}

PyObject* names_other[1];
const py::Signature distance_sig{"Position.distance_to", 1, 1, true, names_other};
const py::Signature bearing_sig{"Position.bearing_from", 1, 1, true, names_other};
PyObject* names_dtm[3];
const py::Signature dtm_sig{"Position.degrees_to_meters", 3, 3, false, names_dtm};
PyObject* names_ndtm[3];
const py::Signature ndtm_sig{"Position.nds_distance_to_meters", 3, 3, false, names_ndtm};

// ---------------------------------------------------------------------------

PyObject* distance_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* other;
    if (!py::bind_required(distance_sig, args, nargs, kwnames, &other)) return nullptr;
    double x1, y1, x2, y2;
    if (plain_float_coords(self, x1, y1) && plain_float_coords(other, x2, y2) &&
        !reinterpret_cast<PositionObject*>(self)->dict) {
        // Floats only, and the class's own radius (no instance attribute).
        const auto c = geodesy::central_angle(y2 - y1, x2 - x1, y1, y2);
        if (!c) {
            math_domain_error();
            return nullptr;
        }
        return PyFloat_FromDouble(nds::kEarthRadiusInMeters * *c);
    }
    const Access as = access_of(self), ao = access_of(other);
    Ref oy = steal(read_coord(other, Coord::Y, ao));
    if (!oy) return nullptr;
    Ref sy = steal(read_coord(self, Coord::Y, as));
    if (!sy) return nullptr;
    double dlat;
    if (!difference(oy.ptr(), sy.ptr(), dlat)) return nullptr;
    Ref ox = steal(read_coord(other, Coord::X, ao));
    if (!ox) return nullptr;
    Ref sx = steal(read_coord(self, Coord::X, as));
    if (!sx) return nullptr;
    double dlon;
    if (!difference(ox.ptr(), sx.ptr(), dlon)) return nullptr;
    double lat1, lat2;
    if (!py::to_double(sy.ptr(), lat1) || !py::to_double(oy.ptr(), lat2)) return nullptr;
    const auto c = geodesy::central_angle(dlat, dlon, lat1, lat2);
    if (!c) {
        math_domain_error();
        return nullptr;
    }
    Constant radius;
    if (!read_constant(self, g.s_earth_radius, nds::kEarthRadiusInMeters, as, radius))
        return nullptr;
    if (radius.is_double()) return PyFloat_FromDouble(radius.value * *c);
    Ref cv = steal(PyFloat_FromDouble(*c));
    return cv ? PyNumber_Multiply(radius.obj.ptr(), cv.ptr()) : nullptr;
}

PyObject* bearing_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject* other;
    if (!py::bind_required(bearing_sig, args, nargs, kwnames, &other)) return nullptr;
    double x1, y1, x2, y2;
    if (plain_float_coords(self, x1, y1) && plain_float_coords(other, x2, y2)) {
        const auto b = geodesy::initial_bearing(y1, x1, y2, x2);
        if (!b) {
            math_domain_error();
            return nullptr;
        }
        return PyFloat_FromDouble(*b);
    }
    const Access as = access_of(self), ao = access_of(other);
    double v[4];  // lat1, lon1, lat2, lon2 in degrees
    const struct {
        PyObject* obj;
        Coord coord;
        Access access;
    } reads[4] = {{self, Coord::Y, as}, {self, Coord::X, as}, {other, Coord::Y, ao}, {other, Coord::X, ao}};
    for (int i = 0; i < 4; ++i) {
        Ref a = steal(read_coord(reads[i].obj, reads[i].coord, reads[i].access));
        if (!a || !py::to_double(a.ptr(), v[i])) return nullptr;
    }
    const auto b = geodesy::initial_bearing(v[0], v[1], v[2], v[3]);
    if (!b) {
        math_domain_error();
        return nullptr;
    }
    return PyFloat_FromDouble(*b);
}

// (abs(lon) * 111320.0 * cos(radians(at)), abs(lat) * 111320.0)
PyObject* meters_from_degrees(PyObject* lon, PyObject* lat, PyObject* at) {
    Ref width;
    double lon_d;
    int fast = float_operand(lon, lon_d);
    if (fast < 0) return nullptr;
    Ref scaled;
    if (!fast) {
        Ref mag = steal(PyNumber_Absolute(lon));
        if (!mag) return nullptr;
        scaled = steal(PyNumber_Multiply(mag.ptr(), g.f_meters_per_degree));
        if (!scaled) return nullptr;
    }
    double at_d;
    if (!py::to_double(at, at_d)) return nullptr;
    const auto cos_lat = geodesy::cos_of_degrees(at_d);
    if (!cos_lat) {
        math_domain_error();
        return nullptr;
    }
    if (fast) {
        width = steal(PyFloat_FromDouble(geodesy::longitude_extent_meters(lon_d, *cos_lat)));
    } else {
        Ref c = steal(PyFloat_FromDouble(*cos_lat));
        if (!c) return nullptr;
        width = steal(PyNumber_Multiply(scaled.ptr(), c.ptr()));
    }
    if (!width) return nullptr;

    Ref height;
    double lat_d;
    fast = float_operand(lat, lat_d);
    if (fast < 0) return nullptr;
    if (fast) {
        height = steal(PyFloat_FromDouble(geodesy::latitude_extent_meters(lat_d)));
    } else {
        Ref mag = steal(PyNumber_Absolute(lat));
        if (!mag) return nullptr;
        height = steal(PyNumber_Multiply(mag.ptr(), g.f_meters_per_degree));
    }
    if (!height) return nullptr;
    return PyTuple_Pack(2, width.ptr(), height.ptr());
}

PyObject* degrees_to_meters(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* a[3];
    if (!py::bind_required(dtm_sig, args, nargs, kwnames, a)) return nullptr;
    return meters_from_degrees(a[0], a[1], a[2]);
}

// units / 2^k * scale for one NDS extent.
PyObject* extent_degrees(PyObject* units, PyObject* divisor, PyObject* scale,
                         double (*fn)(double)) {
    if (PyFloat_CheckExact(units)) return PyFloat_FromDouble(fn(PyFloat_AS_DOUBLE(units)));
    if (PyLong_CheckExact(units)) {
        // int / int is the correctly rounded quotient; dividing by a power of
        // two commutes with rounding the int to a double.
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(units, &overflow);
        if (!overflow) return PyFloat_FromDouble(fn(static_cast<double>(v)));
    }
    Ref q = steal(PyNumber_TrueDivide(units, divisor));
    return q ? PyNumber_Multiply(q.ptr(), scale) : nullptr;
}

PyObject* nds_distance_to_meters(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    PyObject* a[3];
    if (!py::bind_required(ndtm_sig, args, nargs, kwnames, a)) return nullptr;
    Ref lon = steal(extent_degrees(a[0], g.i_2p32, g.f_360, nds::longitude_extent_degrees));
    if (!lon) return nullptr;
    Ref lat = steal(extent_degrees(a[1], g.i_2p31, g.f_180, nds::latitude_extent_degrees));
    if (!lat) return nullptr;
    // Position.degrees_to_meters of this module's class, whatever `self` is.
    if (class_is_pristine()) return meters_from_degrees(lon.ptr(), lat.ptr(), a[2]);
    Ref fn = steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(g.position_type),
                                    g.s_degrees_to_meters));
    if (!fn) return nullptr;
    PyObject* call_args[3] = {lon.ptr(), lat.ptr(), a[2]};
    return PyObject_Vectorcall(fn.ptr(), call_args, 3, nullptr);
}

// ---------------------------------------------------------------------------
// Degree/minute/second text

constexpr char kDegreeSign[] = "\xb0 ";  // "° " in Latin-1
constexpr int kMaxDmsText = 400;         // a 309-digit degree count fits

// Text for one coordinate v, with `north` / `south` (e.g. " N" / " S") chosen
// by the sign of v. Appends Latin-1 bytes to out; false with an error set.
bool dms_fast(PyObject* v, const char* positive, const char* negative, char*& out, bool& done) {
    done = false;
    if (PyFloat_CheckExact(v)) {
        const double d = PyFloat_AS_DOUBLE(v);
        if (std::isnan(d)) {
            PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
            return false;
        }
        if (std::isinf(d)) {
            PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
            return false;
        }
        const auto parts = geodesy::dms_parts(std::fabs(d));
        out = text::write_fixed(out, out + 330, parts.degrees, 0);
        std::memcpy(out, kDegreeSign, 2);
        out += 2;
        out = text::write_integer(out, static_cast<long long>(parts.minutes));
        std::memcpy(out, "' ", 2);
        out += 2;
        out = text::write_fixed(out, out + 32, parts.seconds, 2);
        *out++ = '"';
        const char* suffix = d < 0 ? negative : positive;
        std::memcpy(out, suffix, 2);
        out += 2;
        done = true;
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || n == LLONG_MIN) return true;  // generic path
        // abs(n) is an int: no fraction, so 0 minutes and 0.0 seconds.
        out = text::write_integer(out, n < 0 ? -n : n);
        std::memcpy(out, kDegreeSign, 2);
        out += 2;
        std::memcpy(out, "0' 0.00\"", 8);
        out += 8;
        std::memcpy(out, n < 0 ? negative : positive, 2);
        out += 2;
        done = true;
        return true;
    }
    return true;
}

// The same text for any other number: the interpreter runs the expressions.
PyObject* dms_generic(PyObject* v, const char* positive, const char* negative) {
    Ref pos = steal(PyUnicode_FromString(positive));
    if (!pos) return nullptr;
    Ref neg = steal(PyUnicode_FromString(negative));
    if (!neg) return nullptr;
    PyObject* args[3] = {v, pos.ptr(), neg.ptr()};
    return PyObject_Vectorcall(g.generic_dms, args, 3, nullptr);
}

PyObject* to_degree_minutes_seconds(PyObject* self, PyObject*) {
    const Access access = access_of(self);
    Ref texts[2];
    const struct {
        Coord coord;
        const char* positive;
        const char* negative;
    } coords[2] = {{Coord::Y, " N", " S"}, {Coord::X, " E", " W"}};
    for (int i = 0; i < 2; ++i) {
        Ref v = steal(read_coord(self, coords[i].coord, access));
        if (!v) return nullptr;
        char buf[kMaxDmsText];
        char* p = buf;
        bool done;
        if (!dms_fast(v.ptr(), coords[i].positive, coords[i].negative, p, done)) return nullptr;
        if (done) {
            texts[i] = steal(PyUnicode_New(p - buf, 255));
            if (texts[i]) std::memcpy(PyUnicode_1BYTE_DATA(texts[i].ptr()), buf, p - buf);
        } else {
            texts[i] = steal(dms_generic(v.ptr(), coords[i].positive, coords[i].negative));
        }
        if (!texts[i]) return nullptr;
    }
    return PyTuple_Pack(2, texts[0].ptr(), texts[1].ptr());
}

}  // namespace

// ---------------------------------------------------------------------------

template <typename F>
constexpr PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef metric_methods[] = {
    {"distance_to", as_cfunction(distance_to), METH_FASTCALL | METH_KEYWORDS,
     "distance_to($self, /, other)\n--\n\n"
     "Great-circle distance in metres to `other` (haversine on a sphere of\n"
     "radius EARTH_RADIUS_IN_METERS). Altitudes play no part."},
    {"bearing_from", as_cfunction(bearing_from), METH_FASTCALL | METH_KEYWORDS,
     "bearing_from($self, /, other)\n--\n\n"
     "Initial great-circle bearing from this position toward `other`, in\n"
     "radians clockwise from north, in [-pi, pi]: north 0.0, east pi/2,\n"
     "south pi, west -pi/2."},
    {"degrees_to_meters", as_cfunction(degrees_to_meters), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "degrees_to_meters(lon_degrees, lat_degrees, at_latitude)\n--\n\n"
     "Convert degree distances to meters at a given latitude.\n\n"
     "Longitude distance varies by latitude (shrinks toward poles), latitude "
     "distance is constant.\n\n"
     "Args:\n"
     "    lon_degrees: Longitude distance in degrees\n"
     "    lat_degrees: Latitude distance in degrees\n"
     "    at_latitude: Latitude at which to calculate (in degrees)\n\n"
     "Returns:\n"
     "    Tuple of (width_meters, height_meters)"},
    {"nds_distance_to_meters", as_cfunction(nds_distance_to_meters),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "nds_distance_to_meters(nds_x_distance, nds_y_distance, at_latitude)\n--\n\n"
     "Convert NDS coordinate distances to meters at a given latitude.\n\n"
     "Args:\n"
     "    nds_x_distance: Distance in NDS x units (longitude)\n"
     "    nds_y_distance: Distance in NDS y units (latitude)\n"
     "    at_latitude: Latitude at which to calculate (in degrees)\n\n"
     "Returns:\n"
     "    Tuple of (width_meters, height_meters)"},
    {"to_degree_minutes_seconds", as_cfunction(to_degree_minutes_seconds), METH_NOARGS,
     "to_degree_minutes_seconds($self, /)\n--\n\n"
     "(latitude text, longitude text) in degrees, minutes and seconds, such as\n"
     "52\u00b0 31' 12.03\" N and 13\u00b0 24' 17.83\" E. Degrees and minutes are\n"
     "truncated, seconds have two decimals; there is no carry, so 60.00\n"
     "seconds can appear."},
    {nullptr, nullptr, 0, nullptr},
};

// Parameter names of the metric signatures (called from module init).
void init_metric_names() {
    names_other[0] = g.s_other;
    names_dtm[0] = g.s_lon_degrees;
    names_dtm[1] = g.s_lat_degrees;
    names_dtm[2] = g.s_at_latitude;
    names_ndtm[0] = g.s_nds_x_distance;
    names_ndtm[1] = g.s_nds_y_distance;
    names_ndtm[2] = g.s_at_latitude;
}

}  // namespace voriviv::pos
