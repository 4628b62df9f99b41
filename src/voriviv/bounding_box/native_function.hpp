// A native function that behaves like a Python function in a class body.
//
// NdsBoundingBox is a generated data class whose methods are implemented in
// C++ but must look like ordinary methods: bound on attribute access (and
// called without a bound-method object by the interpreter's method-call fast
// path), with __name__, __qualname__, __module__, __doc__ and __annotations__.
// A NativeFunction is exactly that: a vectorcall entry point plus an instance
// __dict__ holding those attributes. Wrap one in classmethod() for a class
// method; classmethod copies the attributes (annotations included).
#pragma once

#include <Python.h>
#include <structmember.h>

namespace voriviv::native_function {

struct Object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
};

inline PyTypeObject* type = nullptr;

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject* repr(PyObject* self) {
    PyObject* qualname = PyObject_GetAttrString(self, "__qualname__");
    if (!qualname) return nullptr;
    PyObject* r = PyUnicode_FromFormat("<native function %S>", qualname);
    Py_DECREF(qualname);
    return r;
}

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Object*>(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Object*>(self)->dict);
    return 0;
}

inline void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Object*>(self)->dict);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Creates the type once per module; returns false with an error set.
inline bool ready(const char* qualified_type_name) {
    if (type) return true;
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(Object, vectorcall), READONLY, nullptr},
        {"__dictoffset__", T_PYSSIZET, offsetof(Object, dict), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec type_desc{qualified_type_name, sizeof(Object), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_desc));
    return type != nullptr;
}

// A new function object; `attributes` (a dict: __name__, __qualname__,
// __module__, __doc__, __annotations__, ...) becomes its __dict__.
inline PyObject* create(vectorcallfunc fn, PyObject* attributes) {
    Object* f = PyObject_GC_New(Object, type);
    if (!f) return nullptr;
    f->vectorcall = fn;
    f->dict = Py_NewRef(attributes);
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace voriviv::native_function
