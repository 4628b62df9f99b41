// voriviv.pos.Position: a WGS84 point that keeps itself in the NDS range.
//
// The Python object
// -----------------
// Position is a heap type that Python code may subclass. Its public
// attributes x (longitude, degrees), y (latitude, degrees) and z (altitude)
// live in three object slots, exposed as data descriptors: they hold exactly
// what the constructor received until normalisation rewrites x (always to a
// float) and, when it has to snap or clamp, y. Instances also have a __dict__
// (created on first use) for any other attribute; an instance attribute named
// like a class constant (LON_NDS_DELTA, ...) or a method (normalize, ...)
// overrides it, as for any Python class. __getstate__ / __setstate__ carry
// x, y, z and the __dict__ through copy and pickle without normalising again.
// Equality is tolerant, so there is no hash.
//
// Methods behave like Python code reading self.x, self.LON_NDS_DELTA, ...
// through the object. To stay fast they look at how much of that lookup can
// be skipped (Access below): an object of the exact class whose class is
// unchanged since import needs only its slots and, for constants and methods,
// its __dict__ if it has one. A new Position of that class is normalised
// before its slots are filled, with the class constants.
// Numbers that are exact floats (and exact ints small enough to be exact in
// float arithmetic) go through the plain C++ arithmetic of nds.hpp /
// geodesy.hpp; anything else takes the generic number protocol as the Python
// expressions would, the longer expressions (normalisation with other number
// types, degree/minute/second text) run by the interpreter itself from
// voriviv/_pos_generic.py.
#pragma once

#include "common/cpython_internals.hpp"
#include "common/pyboundary.hpp"

namespace voriviv::pos {

struct PositionObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* coord[3];  // x, y, z; null once deleted
};

enum class Coord { X = 0, Y = 1, Z = 2 };

// How a method may read an object's attributes.
enum class Access {
    Plain,    // exact Position of an unchanged class: slots, __dict__, class
    Generic,  // anything else: full attribute protocol
};

// Names, constants and the class object, set once at import.
struct Globals {
    PyTypeObject* position_type = nullptr;
    PyObject* nds_position_type = nullptr;
    unsigned int position_tag = 0;  // class version tag when it was built

    PyObject* s_x = nullptr;
    PyObject* s_y = nullptr;
    PyObject* s_z = nullptr;
    PyObject* s_lon_delta = nullptr;
    PyObject* s_lat_delta = nullptr;
    PyObject* s_earth_radius = nullptr;
    PyObject* s_normalize = nullptr;
    PyObject* s_to_nds_coordinates = nullptr;
    PyObject* s_degrees_to_meters = nullptr;
    PyObject* s_lon = nullptr;
    PyObject* s_lat = nullptr;
    PyObject* s_alt = nullptr;
    PyObject* s_other = nullptr;
    PyObject* s_lon_degrees = nullptr;
    PyObject* s_lat_degrees = nullptr;
    PyObject* s_at_latitude = nullptr;
    PyObject* s_nds_x_distance = nullptr;
    PyObject* s_nds_y_distance = nullptr;
    PyObject* kw_xy = nullptr;  // ("x", "y") for NDSPosition(x=..., y=...)

    // Boxed numbers used by the generic paths and as defaults.
    PyObject* f_zero = nullptr;       // 0.0
    PyObject* f_180 = nullptr;        // 180.0
    PyObject* f_360 = nullptr;        // 360.0
    PyObject* f_unit = nullptr;       // 360.0 / 4294967296
    PyObject* f_meters_per_degree = nullptr;
    PyObject* i_2p31 = nullptr;  // 2147483648
    PyObject* i_2p32 = nullptr;  // 4294967296

    // The general case, run by the interpreter (voriviv._pos_generic).
    PyObject* generic_fold_longitude = nullptr;
    PyObject* generic_clamp_latitude = nullptr;
    PyObject* generic_dms = nullptr;
    PyObject* generic_keep = nullptr;  // clamp_latitude: "unchanged"

    // The method objects of the class as built (to recognise overrides).
    PyObject* normalize_descr = nullptr;
    PyObject* to_nds_coordinates_descr = nullptr;
    PyObject* degrees_to_meters_attr = nullptr;
};

extern Globals g;

// True while the Position class is exactly as built at import.
inline bool class_is_pristine() { return cpython::type_is_pristine(g.position_type, g.position_tag); }

// Access level for reading attributes of `o`.
inline Access access_of(PyObject* o) {
    return (Py_TYPE(o) == g.position_type && class_is_pristine()) ? Access::Plain
                                                                  : Access::Generic;
}

inline PyObject* coord_name(Coord c) {
    return c == Coord::X ? g.s_x : c == Coord::Y ? g.s_y : g.s_z;
}

// self.x / self.y / self.z as a new reference (nullptr with the error set).
inline PyObject* read_coord(PyObject* self, Coord c, Access access) {
    if (access != Access::Generic) {
        PyObject* v = reinterpret_cast<PositionObject*>(self)->coord[int(c)];
        if (v) return Py_NewRef(v);
    }
    return PyObject_GetAttr(self, coord_name(c));  // also the error when deleted
}

// self.x / self.y = value.
inline int write_coord(PyObject* self, Coord c, PyObject* value, Access access) {
    if (access != Access::Generic) {
        Py_XSETREF(reinterpret_cast<PositionObject*>(self)->coord[int(c)], Py_NewRef(value));
        return 0;
    }
    return PyObject_SetAttr(self, coord_name(c), value);
}

// True for a plain Position (exact class, class unchanged) holding exact
// floats in x and y; x and y are then their values. No code can run between
// this read and the use of the values.
inline bool plain_float_coords(PyObject* o, double& x, double& y) {
    if (Py_TYPE(o) != g.position_type || !class_is_pristine()) return false;
    PyObject* const* c = reinterpret_cast<PositionObject*>(o)->coord;
    if (!c[0] || !c[1] || !PyFloat_CheckExact(c[0]) || !PyFloat_CheckExact(c[1])) return false;
    x = PyFloat_AS_DOUBLE(c[0]);
    y = PyFloat_AS_DOUBLE(c[1]);
    return true;
}

// 1 when self.<name> would find the class's own method `descr` (no override
// in a subclass or in the instance dict), 0 when it would find something
// else, -1 with an error set.
inline int method_is_own(PyObject* self, PyObject* name, PyObject* descr, Access access) {
    PyObject* dict = nullptr;
    if (access == Access::Plain) {
        dict = reinterpret_cast<PositionObject*>(self)->dict;
    } else {
        PyTypeObject* tp = Py_TYPE(self);
        if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
        if (cpython::type_lookup(tp, name) != descr) return 0;
        bool ok;
        dict = cpython::instance_dict(self, ok);
        if (!ok) return -1;
    }
    if (!dict) return 1;
    if (PyDict_GetItemWithError(dict, name)) return 0;
    return PyErr_Occurred() ? -1 : 1;
}

// A class constant read through the object: either an exact float (value)
// or some other object (obj set, to be used with the generic protocol).
struct Constant {
    double value = 0.0;
    py::Ref obj;
    bool is_double() const { return !obj; }
};

bool read_constant(PyObject* self, PyObject* name, double class_value, Access access,
                   Constant& out);

// math's ValueError for a result it has no value for (sin of an infinity, the
// square root of a negative number, fmod of an infinity).
inline void math_domain_error() { PyErr_SetString(PyExc_ValueError, "math domain error"); }

// A new normalised Position of the module's own class (not a subclass) from
// borrowed longitude, latitude and altitude.
PyObject* make_position(PyObject* lon, PyObject* lat, PyObject* alt);

// Creates the Position class (a new reference), with the metric methods.
PyObject* create_position_type();

// Metric members (metric.cpp), merged into the class's method table;
// init_metric_names fills in their parameter names first.
extern PyMethodDef metric_methods[];
void init_metric_names();

}  // namespace voriviv::pos
