// Helpers at the Python boundary: exact-type argument checks with the
// system's message, OS errors with errno and filename, and forwarding of
// collected GDAL warnings to Python's `warnings` module.
#pragma once

#include <exception>
#include <string>

#include <nanobind/nanobind.h>

#include "toolkit/gdal_error.hpp"

namespace geofileops {

// Raises TypeError "Argument '<name>' has incorrect type (expected <type>, got <got>)".
[[noreturn]] void raise_arg_type(const char *name, const char *expected, nanobind::handle got);

// Checks that `obj` is exactly of `type` (no subclass, no None).
void require_exact(nanobind::handle obj, PyTypeObject *type, const char *name);

// An error from the file system, raised as the matching OSError subclass.
struct OsError {
    int err;
    std::string filename;
};

// A Python exception of a given class with one text argument, raised from
// code that runs without the GIL.
struct PyExcText {
    PyObject *type;
    std::string message;
};

// Registers the translators for OsError and PyExcText in the current module.
void register_translators();

// Sets Python's error indicator from a C++ exception the way our
// translators and nanobind's would raise it. Needs the GIL.
void set_python_error(const std::exception_ptr &p);

// UTF-8 text of a Python str (exactly or a subclass).
std::string utf8(nanobind::handle str);

// os.fspath()-style text of a path object.
std::string path_text(nanobind::handle path);

// Issues every collected warning as RuntimeWarning on the calling thread.
void forward_warnings(WarningSink &sink);

// What one conversion call shares across its threads: the warning sink.
// finish() forwards the warnings at the end of a successful call (a filter
// may turn them into errors there); on the failure path the destructor
// issues them without letting them replace the exception.
class CallContext {
public:
    CallContext() = default;
    ~CallContext();
    WarningSink *sink() { return &sink_; }
    void finish();

private:
    WarningSink sink_;
};

}  // namespace geofileops
