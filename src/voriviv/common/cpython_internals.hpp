// The interpreter internals the coordinate modules rely on, in one place.
//
// The fast paths of pos and bounding_box need a few things the stable C API
// does not offer: a type's attribute lookup without calling anything, an
// object's __dict__ without creating it, the digits of a small int, whether
// a class changed since import (its version tag), and where a __slots__
// member lives in an object. Everything that touches CPython's private API
// or undocumented struct fields is here and nowhere else, under one version
// check:
//
//   VORIVIV_CPYTHON_INTERNALS is 1 for the CPython versions this file has
//   been written against (3.9 to 3.13, not the limited API, not PyPy). For
//   anything else it is 0 and every function below answers with public API
//   only, or says "unknown" so that callers take their generic path: the
//   results stay the same, only slower. Review this file before widening
//   the range.
#pragma once

#include <Python.h>
#include <structmember.h>

#if !defined(PYPY_VERSION) && !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x03090000 && \
    PY_VERSION_HEX < 0x030E0000
#define VORIVIV_CPYTHON_INTERNALS 1
#else
#define VORIVIV_CPYTHON_INTERNALS 0
#endif

namespace voriviv::cpython {

// What `type.<name>` finds along the MRO, without descriptors being called
// (borrowed; nullptr when absent, no error set).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#if VORIVIV_CPYTHON_INTERNALS
    return _PyType_Lookup(type, name);
#else
    PyObject* mro = type->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base_dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        PyObject* v = base_dict ? PyDict_GetItemWithError(base_dict, name) : nullptr;
        if (v) return v;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
#endif
}

// The instance __dict__ of `o` if it has one already (borrowed, may be
// nullptr). Sets `ok` to false, with an error set, only on failure.
inline PyObject* instance_dict(PyObject* o, bool& ok) {
    ok = true;
#if VORIVIV_CPYTHON_INTERNALS
    PyObject** dictptr = _PyObject_GetDictPtr(o);
    return dictptr ? *dictptr : nullptr;
#else
    if (Py_TYPE(o)->tp_dictoffset == 0) return nullptr;
    PyObject* d = PyObject_GenericGetDict(o, nullptr);  // creates an empty one
    if (!d) {
        ok = false;
        return nullptr;
    }
    Py_DECREF(d);  // still owned by the object
    return d;
#endif
}

// The value of an exact int that fits in 64 bits; false for others (no
// error set). Ints of up to two internal digits are read without a call.
inline bool small_int_value(PyObject* o, long long& out) {
#if VORIVIV_CPYTHON_INTERNALS && PY_VERSION_HEX < 0x030C0000
    const auto* l = reinterpret_cast<PyLongObject*>(o);
    const digit* d = l->ob_digit;
    switch (Py_SIZE(o)) {
        case 0: out = 0; return true;
        case 1: out = static_cast<long long>(d[0]); return true;
        case -1: out = -static_cast<long long>(d[0]); return true;
        case 2: out = static_cast<long long>(d[0]) | static_cast<long long>(d[1]) << PyLong_SHIFT; return true;
        case -2: out = -(static_cast<long long>(d[0]) | static_cast<long long>(d[1]) << PyLong_SHIFT); return true;
        default: break;
    }
#endif
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    return !overflow;
}

// True when `type` has not been modified since `tag` was taken from it (its
// attribute cache version is still valid and unchanged): anything looked up
// on it then is still what it was. Always false without the internals.
inline bool type_is_pristine(PyTypeObject* type, unsigned int tag) {
#if VORIVIV_CPYTHON_INTERNALS
#if PY_VERSION_HEX < 0x030C0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
    return tag != 0 && type->tp_version_tag == tag;
#else
    (void)type;
    (void)tag;
    return false;
#endif
}

// Makes sure `type` carries a version tag and returns it (0 if none could be
// assigned, which only disables fast paths). `any_name`: any attribute name.
inline unsigned int take_version_tag(PyTypeObject* type, PyObject* any_name) {
#if VORIVIV_CPYTHON_INTERNALS
    (void)_PyType_Lookup(type, any_name);  // assigns a tag when there is none
    if (!type_is_pristine(type, type->tp_version_tag)) return 0;
    return type->tp_version_tag;
#else
    (void)type;
    (void)any_name;
    return 0;
#endif
}

// The byte offset of an object-valued __slots__ member, given its member
// descriptor from the class dict; -1 when `descr` is not such a member or
// the offset cannot be known.
inline Py_ssize_t object_slot_offset(PyObject* descr) {
#if VORIVIV_CPYTHON_INTERNALS
    if (!descr || !PyObject_TypeCheck(descr, &PyMemberDescr_Type)) return -1;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    return member->type == T_OBJECT_EX ? member->offset : -1;
#else
    (void)descr;
    return -1;
#endif
}

}  // namespace voriviv::cpython
