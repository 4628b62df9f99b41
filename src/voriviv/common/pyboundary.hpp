// Python-boundary helpers shared by the coordinate modules.
//
// The coordinate classes are defined by Python semantics: arguments bind like
// the parameters of a Python function, numbers are whatever the caller passed,
// pairs are unpacked like `a, b = value`. These helpers give the native code
// the same behaviour, with fast paths for the common exact types:
//
//   * Ref: an owned reference (nanobind's nb::object), released on scope exit.
//   * bind_arguments: vectorcall arguments -> named parameters, with the
//     interpreter's TypeError texts for a wrong call; bind_required for
//     signatures without defaults.
//   * unpack_pair: `a, b = value` with this system's ValueError texts.
//   * as_double_exact: the double value of an exact float, or of an exact int
//     small enough that float arithmetic on it is exact (|v| <= 2^53).
//
// What needs the interpreter's internals (class version tags, slot offsets,
// int digits) is in cpython_internals.hpp.
#pragma once

#include <Python.h>

#include <nanobind/nanobind.h>

#include <cstddef>

namespace voriviv::py {

namespace nb = nanobind;

using Ref = nb::object;

// Takes ownership of a new reference (may be null: check with !ref).
inline Ref steal(PyObject* o) { return nb::steal(o); }
inline Ref borrow(PyObject* o) { return nb::borrow(o); }

// For module initialisation: `o`, or the Python error as a C++ exception.
inline PyObject* check(PyObject* o) {
    if (!o) throw nb::python_error();
    return o;
}

// Interned attribute / parameter name, created once and kept for the life of
// the process.
inline PyObject* intern(const char* s) {
    PyObject* u = PyUnicode_InternFromString(s);
    return u;  // immortal for our purposes: never released
}

// Fills each slot with its interned name (module initialisation).
struct NameSlot {
    PyObject** slot;
    const char* text;
};
template <std::size_t N>
void intern_all(const NameSlot (&names)[N]) {
    for (const NameSlot& n : names) *n.slot = check(intern(n.text));
}

// ---------------------------------------------------------------------------
// Argument binding

// Describes a Python-level signature made only of positional-or-keyword
// parameters, the last n_params - n_required of them with defaults.
struct Signature {
    const char* qualname;       // "Position.distance_to", used in messages
    int n_params;               // number of named parameters (without self)
    int n_required;             // leading parameters without a default
    bool counts_self;           // a method: messages count `self` like Python
    PyObject* const* names;     // n_params interned names
};

namespace detail {

inline void missing_arguments(const Signature& sig, PyObject** out) {
    // "f() missing 2 required positional arguments: 'a' and 'b'"
    Ref names = steal(PyList_New(0));
    if (!names) return;
    for (int i = 0; i < sig.n_required; ++i) {
        if (!out[i]) {
            Ref r = steal(PyObject_Repr(sig.names[i]));
            if (!r || PyList_Append(names.ptr(), r.ptr()) < 0) return;
        }
    }
    const Py_ssize_t n = PyList_GET_SIZE(names.ptr());
    Ref joined;
    if (n == 1) {
        joined = borrow(PyList_GET_ITEM(names.ptr(), 0));
    } else if (n == 2) {
        joined = steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.ptr(), 0),
                                            PyList_GET_ITEM(names.ptr(), 1)));
    } else {
        Ref head = steal(PyList_GetSlice(names.ptr(), 0, n - 1));
        Ref sep = steal(PyUnicode_FromString(", "));
        if (!head || !sep) return;
        Ref first = steal(PyUnicode_Join(sep.ptr(), head.ptr()));
        if (!first) return;
        joined = steal(PyUnicode_FromFormat("%U, and %U", first.ptr(),
                                            PyList_GET_ITEM(names.ptr(), n - 1)));
    }
    if (!joined) return;
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U",
                 sig.qualname, n, n == 1 ? "" : "s", joined.ptr());
}

}  // namespace detail

// Binds args[0..nargs) and the keyword arguments named by kwnames (values
// following the positional ones in args) to out[0..n_params). Parameters not
// given keep the value already in out (their default, or nullptr when
// required). Returns false with TypeError set on a wrong call. `out` holds
// borrowed references.
inline bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out) {
    if (nargs > sig.n_params) {
        const int self = sig.counts_self ? 1 : 0;
        if (sig.n_required == sig.n_params) {
            PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                         sig.qualname, sig.n_params + self, sig.n_params + self == 1 ? "" : "s",
                         nargs + self, nargs + self == 1 ? "was" : "were");
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %d to %d positional arguments but %zd were given",
                         sig.qualname, sig.n_required + self, sig.n_params + self, nargs + self);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int found = -1;
            for (int i = 0; i < sig.n_params; ++i) {
                if (key == sig.names[i]) {
                    found = i;
                    break;
                }
            }
            if (found < 0) {
                for (int i = 0; i < sig.n_params; ++i) {
                    const int eq = PyUnicode_Compare(key, sig.names[i]);
                    if (eq == -1 && PyErr_Occurred()) return false;
                    if (eq == 0) {
                        found = i;
                        break;
                    }
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             sig.qualname, key);
                return false;
            }
            if (found < nargs) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                             sig.qualname, key);
                return false;
            }
            out[found] = args[nargs + k];
        }
    }
    for (int i = 0; i < sig.n_required; ++i) {
        if (!out[i]) {
            detail::missing_arguments(sig, out);
            return false;
        }
    }
    return true;
}

// bind_arguments for a signature whose parameters are all required; the
// common all-positional call skips the general binder.
inline bool bind_required(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, PyObject** out) {
    if (nargs == sig.n_params && !kwnames) {
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return true;
    }
    for (int i = 0; i < sig.n_params; ++i) out[i] = nullptr;
    return bind_arguments(sig, args, nargs, kwnames, out);
}

// ---------------------------------------------------------------------------
// Unpacking

// `a, b = value`: exactly two items, else ValueError "too many values to
// unpack (expected 2)" / "need more than N value(s) to unpack"; TypeError for
// a value that cannot be iterated. On success first/second hold new
// references.
inline bool unpack_pair(PyObject* value, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        PyObject** items = PySequence_Fast_ITEMS(value);
        if (n == 2) {
            first = borrow(items[0]);
            second = borrow(items[1]);
            return true;
        }
        if (n > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)2);
        } else {
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n,
                         n == 1 ? "" : "s");
        }
        return false;
    }
    Ref it = steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Ref items[2];
    Py_ssize_t n = 0;
    for (; n < 2; ++n) {
        items[n] = steal(PyIter_Next(it.ptr()));
        if (!items[n]) {
            if (PyErr_Occurred()) return false;
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n,
                         n == 1 ? "" : "s");
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(it.ptr()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)2);
        return false;
    }
    if (PyErr_Occurred()) return false;
    first = std::move(items[0]);
    second = std::move(items[1]);
    return true;
}

// ---------------------------------------------------------------------------
// Numbers

// 2^53: integers up to this magnitude convert to double exactly, so sums and
// differences of two of them round once, like the interpreter's exact integer
// arithmetic followed by a conversion to float.
inline constexpr long long kExactIntLimit = 9007199254740992LL;

// The double of an exact float, or of an exact int with |v| <= 2^53. False
// (no error set) for anything else: the caller takes the generic path.
inline bool as_double_exact(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || v > kExactIntLimit || v < -kExactIntLimit) return false;
        out = static_cast<double>(v);
        return true;
    }
    return false;
}

// PyFloat_AsDouble as math functions apply it to their arguments: the value
// of a float, or of anything with __float__ / __index__; TypeError "must be
// real number, not X" otherwise; OverflowError for an int too large.
inline bool to_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

// Truth value of a Python comparison, as `if a < b:` evaluates it.
inline int compare(PyObject* a, PyObject* b, int op) { return PyObject_RichCompareBool(a, b, op); }

}  // namespace voriviv::py
