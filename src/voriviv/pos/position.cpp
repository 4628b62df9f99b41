// Position: construction, normalisation, NDS conversion, operators, equality
// and text. The arithmetic is in nds.hpp; this file moves values between
// Python objects and it.
#include "position.hpp"

#include <structmember.h>

#include <cstring>
#include <vector>

#include "float_text.hpp"
#include "nds.hpp"

namespace voriviv::pos {

using py::Ref;
using py::steal;

Globals g;

// ---------------------------------------------------------------------------
// Attribute access

bool read_constant(PyObject* self, PyObject* name, double class_value, Access access,
                   Constant& out) {
    PyObject* v = nullptr;
    if (access == Access::Plain) {
        PyObject* dict = reinterpret_cast<PositionObject*>(self)->dict;
        v = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
        if (!v) {
            if (PyErr_Occurred()) return false;
            out.value = class_value;  // the class is unchanged: its value stands
            return true;
        }
        Py_INCREF(v);
    } else {
        v = PyObject_GetAttr(self, name);
        if (!v) return false;
    }
    if (PyFloat_CheckExact(v)) {
        out.value = PyFloat_AS_DOUBLE(v);
        Py_DECREF(v);
    } else {
        out.obj = steal(v);
    }
    return true;
}

// The constant as an object, for the generic protocol.
static Ref constant_object(const Constant& c) {
    return c.is_double() ? steal(PyFloat_FromDouble(c.value)) : c.obj;
}

// ---------------------------------------------------------------------------
// Normalisation

// Step 1: math.fmod(x, 360.0).
static bool longitude_remainder(PyObject* x, double& r) {
    double xd;
    if (!py::to_double(x, xd)) return false;
    const auto rem = nds::longitude_remainder(xd);
    if (!rem) {
        math_domain_error();
        return false;
    }
    r = *rem;
    return true;
}

// Steps 2 and 3 on the remainder r; a new reference to the final longitude.
static PyObject* fold_longitude(double r, const Constant& delta) {
    if (delta.is_double()) return PyFloat_FromDouble(nds::fold_longitude(r, delta.value));
    // A delta that is not a float: the interpreter runs the expressions.
    Ref x = steal(PyFloat_FromDouble(r));
    if (!x) return nullptr;
    PyObject* args[2] = {x.ptr(), delta.obj.ptr()};
    return PyObject_Vectorcall(g.generic_fold_longitude, args, 2, nullptr);
}

// Steps 4 and 5. On success `out` is the replacement latitude, or empty when
// y stays as it is.
static bool clamp_latitude(PyObject* y, const Constant& delta, Ref& out) {
    double yd;
    if (delta.is_double() && py::as_double_exact(y, yd)) {
        const auto repl = nds::clamp_latitude(yd, delta.value);
        if (repl) {
            out = steal(PyFloat_FromDouble(*repl));
            return bool(out);
        }
        return true;
    }
    // Any other latitude (a big int, a Fraction, a string...) or delta: the
    // interpreter runs the expressions, with their own errors.
    Ref d = constant_object(delta);
    if (!d) return false;
    PyObject* args[2] = {y, d.ptr()};
    Ref r = steal(PyObject_Vectorcall(g.generic_clamp_latitude, args, 2, nullptr));
    if (!r) return false;
    if (r.ptr() != g.generic_keep) out = std::move(r);
    return true;
}

// normalize() on an existing object: reads and writes through `access`.
static int normalize_impl(PyObject* self, Access access) {
    Ref x = steal(read_coord(self, Coord::X, access));
    if (!x) return -1;
    double r;
    if (!longitude_remainder(x.ptr(), r)) return -1;
    if (access == Access::Generic) {
        // Python stores the remainder before it reads the constant; a failing
        // lookup must leave x like that.
        Ref rem = steal(PyFloat_FromDouble(r));
        if (!rem || write_coord(self, Coord::X, rem.ptr(), access) < 0) return -1;
    }
    Constant lon_delta;
    if (!read_constant(self, g.s_lon_delta, nds::kDefaultLonDelta, access, lon_delta)) return -1;
    Ref x_new = steal(fold_longitude(r, lon_delta));
    if (!x_new || write_coord(self, Coord::X, x_new.ptr(), access) < 0) return -1;

    Ref y = steal(read_coord(self, Coord::Y, access));
    if (!y) return -1;
    Constant lat_delta;
    if (!read_constant(self, g.s_lat_delta, nds::kDefaultLatDelta, access, lat_delta)) return -1;
    Ref y_new;
    if (!clamp_latitude(y.ptr(), lat_delta, y_new)) return -1;
    if (y_new && write_coord(self, Coord::Y, y_new.ptr(), access) < 0) return -1;
    return 0;
}

// Calls self.normalize() through method lookup, natively when it is ours.
static int call_normalize(PyObject* self) {
    const Access access = access_of(self);
    const int own = method_is_own(self, g.s_normalize, g.normalize_descr, access);
    if (own < 0) return -1;
    if (own) return normalize_impl(self, access);
    Ref r = steal(PyObject_CallMethodNoArgs(self, g.s_normalize));
    return r ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Construction

static PyObject* init_names[3];
static const py::Signature init_sig{"Position.__init__", 3, 2, true, init_names};

// A Position of the exact, unchanged class, built without any lookup: the
// values are normalised first, then stored, which nobody can tell apart from
// storing and normalising.
static PyObject* build_fresh(PyObject* lon, PyObject* lat, PyObject* alt) {
    double r;
    if (!longitude_remainder(lon, r)) return nullptr;
    Constant lon_delta{nds::kDefaultLonDelta, {}};
    Ref x = steal(fold_longitude(r, lon_delta));
    if (!x) return nullptr;
    Constant lat_delta{nds::kDefaultLatDelta, {}};
    Ref y_new;
    if (!clamp_latitude(lat, lat_delta, y_new)) return nullptr;
    PyObject* y = y_new ? y_new.ptr() : lat;

    PyTypeObject* tp = g.position_type;
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) return nullptr;
    PyObject** coord = reinterpret_cast<PositionObject*>(self)->coord;
    coord[0] = x.release().ptr();
    coord[1] = Py_NewRef(y);
    coord[2] = Py_NewRef(alt);
    return self;
}

// A Position of the exact, unchanged class from two finite-or-not doubles
// (both float in Python): the same as build_fresh on two float objects.
static PyObject* build_fresh_doubles(double lon, double lat) {
    const auto r = nds::longitude_remainder(lon);
    if (!r) {
        math_domain_error();
        return nullptr;
    }
    const double x = nds::fold_longitude(*r, nds::kDefaultLonDelta);
    const double y = nds::clamp_latitude(lat, nds::kDefaultLatDelta).value_or(lat);
    PyTypeObject* tp = g.position_type;
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) return nullptr;
    PyObject** coord = reinterpret_cast<PositionObject*>(self)->coord;
    coord[0] = PyFloat_FromDouble(x);
    coord[1] = PyFloat_FromDouble(y);
    coord[2] = Py_NewRef(g.f_zero);
    if (!coord[0] || !coord[1]) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

// type(*args, **kwargs) through the interpreter's own type call: __new__ and
// __init__ looked up as usual.
static PyObject* call_type_slowly(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    Ref tuple = steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.ptr(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kwargs = steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (PyDict_SetItem(kwargs.ptr(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return nullptr;
        }
    }
    return PyType_Type.tp_call(type, tuple.ptr(), kwargs.ptr());
}

// Position(lon, lat, alt=0.0) on the exact class.
static PyObject* position_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (reinterpret_cast<PyTypeObject*>(type) != g.position_type || !class_is_pristine())
        return call_type_slowly(type, args, nargs, kwnames);
    if (nargs == 2 && !kwnames) return build_fresh(args[0], args[1], g.f_zero);
    PyObject* bound[3] = {nullptr, nullptr, g.f_zero};
    if (!py::bind_arguments(init_sig, args, nargs, kwnames, bound)) return nullptr;
    return build_fresh(bound[0], bound[1], bound[2]);
}

PyObject* make_position(PyObject* lon, PyObject* lat, PyObject* alt) {
    if (class_is_pristine()) return build_fresh(lon, lat, alt);
    PyObject* args[2] = {lon, lat};
    return call_type_slowly(reinterpret_cast<PyObject*>(g.position_type), args, 2, nullptr);
}

// __init__(self, lon, lat, alt=0.0): subclasses and explicit calls.
static int position_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* bound[3] = {nullptr, nullptr, g.f_zero};
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) {
        if (!py::bind_arguments(init_sig, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, bound))
            return -1;
    } else {
        std::vector<PyObject*> stack(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
        Ref kwnames = steal(PyTuple_New(PyDict_GET_SIZE(kwds)));
        if (!kwnames) return -1;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.ptr(), k++, Py_NewRef(key));
            stack.push_back(value);
        }
        if (!py::bind_arguments(init_sig, stack.data(), nargs, kwnames.ptr(), bound)) return -1;
    }
    // Hold the arguments: the stores below may run arbitrary code.
    Ref lon = py::borrow(bound[0]), lat = py::borrow(bound[1]), alt = py::borrow(bound[2]);
    if (PyObject_SetAttr(self, g.s_x, lon.ptr()) < 0 || PyObject_SetAttr(self, g.s_y, lat.ptr()) < 0 ||
        PyObject_SetAttr(self, g.s_z, alt.ptr()) < 0)
        return -1;
    return call_normalize(self);
}

// ---------------------------------------------------------------------------
// Methods

static PyObject* position_normalize(PyObject* self, PyObject*) {
    if (normalize_impl(self, access_of(self)) < 0) return nullptr;
    Py_RETURN_NONE;
}

// int(v / divisor * scale) for one coordinate.
static PyObject* to_units(PyObject* v, PyObject* divisor, PyObject* scale, double (*fn)(double)) {
    double d;
    if (PyFloat_CheckExact(v)) {
        d = PyFloat_AS_DOUBLE(v);
    } else if (PyLong_CheckExact(v)) {
        d = PyLong_AsDouble(v);  // int / float converts the int like this
        if (d == -1.0 && PyErr_Occurred()) return nullptr;
    } else {
        Ref q = steal(PyNumber_TrueDivide(v, divisor));
        if (!q) return nullptr;
        Ref p = steal(PyNumber_Multiply(q.ptr(), scale));
        if (!p) return nullptr;
        return PyNumber_Long(p.ptr());
    }
    return PyLong_FromDouble(fn(d));  // truncates; NaN / infinity raise
}

static PyObject* to_nds_coordinates_impl(PyObject* self, Access access) {
    if (access != Access::Generic) {
        // The common case: two floats in the slots, nothing that can run code.
        PyObject* const* coord = reinterpret_cast<PositionObject*>(self)->coord;
        PyObject *x = coord[0], *y = coord[1];
        if (x && y && PyFloat_CheckExact(x) && PyFloat_CheckExact(y)) {
            PyObject* nx = PyLong_FromDouble(nds::longitude_to_units(PyFloat_AS_DOUBLE(x)));
            if (!nx) return nullptr;
            PyObject* ny = PyLong_FromDouble(nds::latitude_to_units(PyFloat_AS_DOUBLE(y)));
            if (!ny) {
                Py_DECREF(nx);
                return nullptr;
            }
            PyObject* t = PyTuple_New(2);
            if (!t) {
                Py_DECREF(nx);
                Py_DECREF(ny);
                return nullptr;
            }
            PyTuple_SET_ITEM(t, 0, nx);
            PyTuple_SET_ITEM(t, 1, ny);
            return t;
        }
    }
    Ref x = steal(read_coord(self, Coord::X, access));
    if (!x) return nullptr;
    Ref nx = steal(to_units(x.ptr(), g.f_360, g.i_2p32, nds::longitude_to_units<double>));
    if (!nx) return nullptr;
    Ref y = steal(read_coord(self, Coord::Y, access));
    if (!y) return nullptr;
    Ref ny = steal(to_units(y.ptr(), g.f_180, g.i_2p31, nds::latitude_to_units<double>));
    if (!ny) return nullptr;
    return PyTuple_Pack(2, nx.ptr(), ny.ptr());
}

static PyObject* position_to_nds_coordinates(PyObject* self, PyObject*) {
    return to_nds_coordinates_impl(self, access_of(self));
}

// value * (360 / 2^32) as `value * multiplier` evaluates.
static PyObject* from_units(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_FromDouble(nds::units_to_degrees(PyFloat_AS_DOUBLE(v)));
    if (PyLong_CheckExact(v)) {
        const double d = PyLong_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) return nullptr;
        return PyFloat_FromDouble(nds::units_to_degrees(d));
    }
    return PyNumber_Multiply(v, g.f_unit);
}

static PyObject* from_nds_names[2];
static const py::Signature from_nds_sig{"Position.from_nds_coordinates", 2, 2, false, from_nds_names};

static PyObject* position_from_nds_coordinates(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
    PyObject* bound[2];
    if (!py::bind_required(from_nds_sig, args, nargs, kwnames, bound)) return nullptr;
    double ux, uy;
    if (class_is_pristine() && py::as_double_exact(bound[0], ux) && py::as_double_exact(bound[1], uy))
        return build_fresh_doubles(nds::units_to_degrees(ux), nds::units_to_degrees(uy));
    Ref lon = steal(from_units(bound[0]));
    if (!lon) return nullptr;
    Ref lat = steal(from_units(bound[1]));
    if (!lat) return nullptr;
    return make_position(lon.ptr(), lat.ptr(), g.f_zero);
}

static PyObject* position_to_nds(PyObject* self, PyObject*) {
    const Access access = access_of(self);
    const int own = method_is_own(self, g.s_to_nds_coordinates, g.to_nds_coordinates_descr, access);
    if (own < 0) return nullptr;
    Ref coords = steal(own ? to_nds_coordinates_impl(self, access)
                           : PyObject_CallMethodNoArgs(self, g.s_to_nds_coordinates));
    if (!coords) return nullptr;
    Ref nx, ny;
    if (!py::unpack_pair(coords.ptr(), nx, ny)) return nullptr;
    PyObject* stack[2] = {nx.ptr(), ny.ptr()};
    return PyObject_Vectorcall(g.nds_position_type, stack, 0, g.kw_xy);
}

// ---------------------------------------------------------------------------
// Operators

enum class Op { Add, Sub, Mul, Div };

static PyObject* combine(Op op, PyObject* a, PyObject* b) {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        const double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        switch (op) {
            case Op::Add: return PyFloat_FromDouble(x + y);
            case Op::Sub: return PyFloat_FromDouble(x - y);
            case Op::Mul: return PyFloat_FromDouble(x * y);
            case Op::Div:
                if (y != 0.0) return PyFloat_FromDouble(x / y);
                break;  // let the interpreter raise its ZeroDivisionError
        }
    }
    switch (op) {
        case Op::Add: return PyNumber_Add(a, b);
        case Op::Sub: return PyNumber_Subtract(a, b);
        case Op::Mul: return PyNumber_Multiply(a, b);
        case Op::Div: return PyNumber_TrueDivide(a, b);
    }
    return nullptr;
}

// Position(a.x <op> b.x, a.y <op> b.y)
template <Op op>
static PyObject* position_binary(PyObject* a, PyObject* b) {
    if (!PyObject_TypeCheck(a, g.position_type)) Py_RETURN_NOTIMPLEMENTED;  // no reflected forms
    const Access aa = access_of(a), ab = access_of(b);
    Ref ax = steal(read_coord(a, Coord::X, aa));
    if (!ax) return nullptr;
    Ref bx = steal(read_coord(b, Coord::X, ab));
    if (!bx) return nullptr;
    Ref x = steal(combine(op, ax.ptr(), bx.ptr()));
    if (!x) return nullptr;
    Ref ay = steal(read_coord(a, Coord::Y, aa));
    if (!ay) return nullptr;
    Ref by = steal(read_coord(b, Coord::Y, ab));
    if (!by) return nullptr;
    Ref y = steal(combine(op, ay.ptr(), by.ptr()));
    if (!y) return nullptr;
    return make_position(x.ptr(), y.ptr(), g.f_zero);
}

// math.isclose(a, b, rel_tol=1e-12): 1, 0, or -1 with an error set.
static int isclose(PyObject* a, PyObject* b) {
    double x, y;
    if (!py::to_double(a, x) || !py::to_double(b, y)) return -1;
    if (x == y) return 1;
    if (std::isinf(x) || std::isinf(y)) return 0;
    const double diff = std::fabs(y - x);
    constexpr double rel_tol = 1e-12;
    return (diff <= std::fabs(rel_tol * y)) || (diff <= std::fabs(rel_tol * x));
}

static PyObject* position_eq(PyObject* a, PyObject* b) {
    const Access aa = access_of(a), ab = access_of(b);
    for (Coord c : {Coord::X, Coord::Y}) {
        Ref va = steal(read_coord(a, c, aa));
        if (!va) return nullptr;
        Ref vb = steal(read_coord(b, c, ab));
        if (!vb) return nullptr;
        const int close = isclose(va.ptr(), vb.ptr());
        if (close < 0) return nullptr;
        if (!close) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

static PyObject* position_richcompare(PyObject* a, PyObject* b, int op) {
    if (op == Py_EQ) return position_eq(a, b);
    if (op == Py_NE) {
        // As object.__ne__: the negation of this type's own ==, so that a
        // subclass overriding __eq__ gets a matching !=.
        PyObject* res = Py_TYPE(a)->tp_richcompare(a, b, Py_EQ);
        if (!res || res == Py_NotImplemented) return res;
        const int truth = PyObject_IsTrue(res);
        Py_DECREF(res);
        if (truth < 0) return nullptr;
        return PyBool_FromLong(!truth);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

// ---------------------------------------------------------------------------
// Text

// Appends str(v) for an exact float or a 64-bit exact int; false otherwise.
static bool write_number(char*& out, PyObject* v) {
    if (PyFloat_CheckExact(v)) {
        out = text::write_float_repr(out, PyFloat_AS_DOUBLE(v));
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return false;
        out = text::write_integer(out, n);
        return true;
    }
    return false;
}

static PyObject* position_str(PyObject* self) {
    const Access access = access_of(self);
    Ref x = steal(read_coord(self, Coord::X, access));
    if (!x) return nullptr;
    char buf[128];
    char* p = buf;
    std::memcpy(p, "Wgs84(lon=", 10);
    p += 10;
    if (write_number(p, x.ptr())) {
        Ref y = steal(read_coord(self, Coord::Y, access));
        if (!y) return nullptr;
        std::memcpy(p, ", lat=", 6);
        p += 6;
        if (write_number(p, y.ptr())) {
            *p++ = ')';
            PyObject* s = PyUnicode_New(p - buf, 127);
            if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), buf, p - buf);
            return s;
        }
        Ref ys = steal(PyObject_Str(y.ptr()));
        if (!ys) return nullptr;
        Ref head = steal(PyUnicode_FromStringAndSize(buf, p - buf));
        if (!head) return nullptr;
        return PyUnicode_FromFormat("%U%U)", head.ptr(), ys.ptr());
    }
    Ref xs = steal(PyObject_Str(x.ptr()));
    if (!xs) return nullptr;
    Ref y = steal(read_coord(self, Coord::Y, access));
    if (!y) return nullptr;
    Ref ys = steal(PyObject_Str(y.ptr()));
    if (!ys) return nullptr;
    return PyUnicode_FromFormat("Wgs84(lon=%U, lat=%U)", xs.ptr(), ys.ptr());
}

// ---------------------------------------------------------------------------
// Object protocol

// __getstate__: {"x": ..., "y": ..., "z": ..., **__dict__}, what a plain
// class's __dict__ would hold.
static PyObject* position_getstate(PyObject* self, PyObject*) {
    auto* o = reinterpret_cast<PositionObject*>(self);
    Ref state = steal(PyDict_New());
    if (!state) return nullptr;
    for (Coord c : {Coord::X, Coord::Y, Coord::Z}) {
        PyObject* v = o->coord[int(c)];
        if (v && PyDict_SetItem(state.ptr(), coord_name(c), v) < 0) return nullptr;
    }
    if (o->dict && PyDict_Update(state.ptr(), o->dict) < 0) return nullptr;
    return state.release().ptr();
}

// __setstate__: stores the state as it is, like the default of restoring a
// plain object's __dict__ (no normalisation, no __setattr__).
static PyObject* position_setstate(PyObject* self, PyObject* state) {
    if (!PyDict_Check(state)) {
        PyErr_Format(PyExc_TypeError, "state must be a dict, not %.200s", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    auto* o = reinterpret_cast<PositionObject*>(self);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(state, &pos, &key, &value)) {
        int slot = -1;
        for (Coord c : {Coord::X, Coord::Y, Coord::Z}) {
            const int eq = PyUnicode_Check(key) ? PyUnicode_Compare(key, coord_name(c)) : 1;
            if (eq == -1 && PyErr_Occurred()) return nullptr;
            if (eq == 0) slot = int(c);
        }
        if (slot >= 0) {
            Py_XSETREF(o->coord[slot], Py_NewRef(value));
            continue;
        }
        if (!o->dict && !(o->dict = PyDict_New())) return nullptr;
        if (PyDict_SetItem(o->dict, key, value) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

static int position_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* o = reinterpret_cast<PositionObject*>(self);
    Py_VISIT(o->dict);
    for (PyObject* v : o->coord) Py_VISIT(v);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

static int position_clear(PyObject* self) {
    auto* o = reinterpret_cast<PositionObject*>(self);
    Py_CLEAR(o->dict);
    for (PyObject*& v : o->coord) Py_CLEAR(v);
    return 0;
}

static void position_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<PositionObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    position_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

static PyMethodDef position_methods[] = {
    {"normalize", position_normalize, METH_NOARGS,
     "normalize($self, /)\n--\n\n"
     "Bring x and y into the range of NDS coordinates, in place.\n\n"
     "x becomes fmod(x, 360.0); a longitude within LON_NDS_DELTA of\n"
     "180 - LON_NDS_DELTA snaps onto it, 180 and above wrap down by 360, below\n"
     "-180 up by 360. A latitude within LAT_NDS_DELTA of 90 - LAT_NDS_DELTA\n"
     "snaps onto it, above it is clamped to it, below -90 to -90.0. An int\n"
     "latitude stays an int unless it is clamped. Idempotent; z is untouched."},
    {"to_nds_coordinates", position_to_nds_coordinates, METH_NOARGS,
     "to_nds_coordinates($self, /)\n--\n\n"
     "NDS integers (x, y): x / 360.0 * 2**32 and y / 180.0 * 2**31, each\n"
     "truncated toward zero. Neither normalises nor range-checks."},
    {"from_nds_coordinates", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                 position_from_nds_coordinates)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_nds_coordinates(x, y)\n--\n\n"
     "A new Position from NDS integers: x and y times 360 / 2**32 degree,\n"
     "normalised (always this module's Position class, altitude 0.0)."},
    {"to_nds", position_to_nds, METH_NOARGS,
     "to_nds($self, /)\n--\n\n"
     "An NDSPosition(x=..., y=...) of to_nds_coordinates(); its z is 0.0."},
    {"__getstate__", position_getstate, METH_NOARGS,
     "__getstate__($self, /)\n--\n\nx, y, z and any other attributes, for copy and pickle."},
    {"__setstate__", position_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\nRestores attributes as saved, without normalising."},
    {nullptr, nullptr, 0, nullptr},
};

static PyMemberDef position_members[] = {
    {"x", T_OBJECT_EX, offsetof(PositionObject, coord) + 0 * sizeof(PyObject*), 0,
     "Longitude in degrees (a float once normalised)."},
    {"y", T_OBJECT_EX, offsetof(PositionObject, coord) + 1 * sizeof(PyObject*), 0,
     "Latitude in degrees (keeps its type unless snapped or clamped)."},
    {"z", T_OBJECT_EX, offsetof(PositionObject, coord) + 2 * sizeof(PyObject*), 0,
     "Altitude, stored as given and never read by this module."},
    {"__dictoffset__", T_PYSSIZET, offsetof(PositionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PositionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyGetSetDef position_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* create_position_type() {
    init_names[0] = g.s_lon;
    init_names[1] = g.s_lat;
    init_names[2] = g.s_alt;
    from_nds_names[0] = g.s_x;
    from_nds_names[1] = g.s_y;

    // Own and metric methods in one table, which must outlive the class.
    static std::vector<PyMethodDef> methods;
    for (PyMethodDef* m = position_methods; m->ml_name; ++m) methods.push_back(*m);
    for (PyMethodDef* m = metric_methods; m->ml_name; ++m) methods.push_back(*m);
    methods.push_back({nullptr, nullptr, 0, nullptr});

    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(
                        "Position(lon, lat, alt=0.0)\n--\n\n"
                        "Represents a point on the Earth's surface using the WGS84 coordinate "
                        "system.\n"
                        "Provides methods for coordinate conversion, normalization, and distance "
                        "calculations.")},
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_init, reinterpret_cast<void*>(position_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(position_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(position_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(position_clear)},
        {Py_tp_str, reinterpret_cast<void*>(position_str)},
        {Py_tp_richcompare, reinterpret_cast<void*>(position_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_nb_add, reinterpret_cast<void*>(position_binary<Op::Add>)},
        {Py_nb_subtract, reinterpret_cast<void*>(position_binary<Op::Sub>)},
        {Py_nb_multiply, reinterpret_cast<void*>(position_binary<Op::Mul>)},
        {Py_nb_true_divide, reinterpret_cast<void*>(position_binary<Op::Div>)},
        {Py_tp_methods, methods.data()},
        {Py_tp_members, position_members},
        {Py_tp_getset, position_getset},
        {0, nullptr},
    };
    PyType_Spec type_desc{"voriviv.pos.Position", sizeof(PositionObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    Ref type = steal(PyType_FromSpec(&type_desc));
    if (!type) return nullptr;
    PyObject* t = type.ptr();

    // The dotted type name sets __module__; the type's own name is the plain one a
    // class statement gives, so that messages say 'Position'.
    Ref plain_name = steal(PyUnicode_FromString("Position"));
    if (!plain_name || PyObject_SetAttrString(t, "__name__", plain_name.ptr()) < 0) return nullptr;

    // The binary slots make the interpreter add __radd__ & co.; the class
    // defines no reflected forms, so drop them (the slots stay ours).
    for (const char* name : {"__radd__", "__rsub__", "__rmul__", "__rtruediv__"}) {
        if (PyObject_DelAttrString(t, name) < 0) return nullptr;
    }

    struct {
        const char* name;
        double value;
    } constants[] = {
        {"EARTH_RADIUS_IN_METERS", nds::kEarthRadiusInMeters},
        {"LON_NDS_DELTA", nds::kDefaultLonDelta},
        {"LAT_NDS_DELTA", nds::kDefaultLatDelta},
    };
    for (const auto& c : constants) {
        Ref v = steal(PyFloat_FromDouble(c.value));
        if (!v || PyObject_SetAttrString(t, c.name, v.ptr()) < 0) return nullptr;
    }

    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(t);
    g.normalize_descr = Py_XNewRef(PyDict_GetItemWithError(tp->tp_dict, g.s_normalize));
    g.to_nds_coordinates_descr =
        Py_XNewRef(PyDict_GetItemWithError(tp->tp_dict, g.s_to_nds_coordinates));
    g.degrees_to_meters_attr = Py_XNewRef(PyDict_GetItemWithError(tp->tp_dict, g.s_degrees_to_meters));
    if (!g.normalize_descr || !g.to_nds_coordinates_descr || !g.degrees_to_meters_attr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "Position methods missing");
        return nullptr;
    }

    g.position_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(t));
    // Calls of the exact class skip the generic type call; subclasses do not
    // inherit this and go through __new__ / __init__ as usual.
    tp->tp_vectorcall = position_vectorcall;
    g.position_tag = cpython::take_version_tag(tp, g.s_x);
    return type.release().ptr();
}

}  // namespace voriviv::pos
