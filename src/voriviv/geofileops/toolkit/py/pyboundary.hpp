// The converters' Python boundary: the one way each argument is taken in,
// the one way errors leave, and the one way GDAL is called without the GIL.
//
// Arguments: exact-type checks with the system's message (require_exact),
// truth as Python's `if` sees it (truth), paths as the OS sees them (os_path:
// os.fsencode(os.fspath(p)), the file-system encoding with its error handler,
// as the interpreter itself does), and output directories (output_directory).
//
// Errors: C++ exceptions become Python exceptions in set_python_error, which
// the module's exception translator and the runner both use:
//   GdalError      -> voriviv.GdalError (a RuntimeError) with GDAL's message
//                     and error number (.err_no);
//   Failure        -> our own condition, raised as its Python type with our
//                     fixed text (RuntimeError, ValueError, TypeError);
//   OsError        -> the matching OSError subclass with errno and filename;
//   nb::python_error -> the Python exception itself.
#pragma once

#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include <nanobind/nanobind.h>

#include "toolkit/core/errors.hpp"
#include "toolkit/core/gdal_error.hpp"

namespace voriviv::geofileops {

// --- arguments ------------------------------------------------------------

// Raises TypeError "Argument '<name>' has incorrect type (expected <type>, got <got>)".
[[noreturn]] void raise_arg_type(const char *name, const char *expected, nanobind::handle got);

// Checks that `obj` is exactly of `type` (no subclass, no None).
void require_exact(nanobind::handle obj, PyTypeObject *type, const char *name);

// bool(value), raising what __bool__/__len__ raise.
bool truth(nanobind::handle value);

// UTF-8 text of a Python str (exactly or a subclass); a NUL is refused
// (ValueError), since the text goes on as a C string.
std::string utf8(nanobind::handle str);

// The bytes the OS sees for a path-like object or a str: os.fspath(), then
// bytes as they are and str in the file-system encoding (undecodable bytes of
// listed names survive the round trip). A NUL is refused (ValueError).
std::string os_path(nanobind::handle path);

// A str from OS bytes, decoded as os.fsdecode() does.
nanobind::object os_text(const std::string &bytes);

// pathlib.Path(value).
nanobind::object make_path(nanobind::handle value);

// The location a converter object is bound to: pathlib.Path(path), after
// `mode` was checked to be exactly a str. With mode "open" the location must
// exist (FileNotFoundError carrying the path); any other mode skips that.
nanobind::object bound_location(nanobind::handle path, nanobind::handle mode);

// The output directory of a conversion: pathlib.Path(dir) as OS bytes,
// created with its parents (without the GIL) when missing. Anything else in
// the way raises the matching OSError.
std::string output_directory(nanobind::handle dir);

// --- errors -----------------------------------------------------------------

// Registers the module's exception translator (set_python_error).
void register_translators();

// Sets Python's error indicator from a C++ exception as described above.
// Needs the GIL.
void set_python_error(const std::exception_ptr &p);

// --- warnings and calls without the GIL ------------------------------------

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

// Runs `work(sink)` with the GIL released, inside an ErrorScope whose
// warnings go to `ctx` (`sink` is ctx.sink(), for the toolkit's GDAL
// functions); GDAL failures collected meanwhile are raised once `work`
// returns. Call with the GIL held; returns what `work` returns.
template <class F>
auto without_gil(CallContext &ctx, F &&work) {
    WarningSink *sink = ctx.sink();
    nanobind::gil_scoped_release nogil;
    ErrorScope scope(sink);
    if constexpr (std::is_void_v<std::invoke_result_t<F &, WarningSink *>>) {
        work(sink);
        scope.raise_if_failed();
    } else {
        auto result = work(sink);
        scope.raise_if_failed();
        return result;
    }
}

// One GDAL step that is a call of its own: without_gil in a fresh
// CallContext, whose warnings are forwarded once the step succeeded.
template <class F>
auto gdal_call(F &&work) {
    CallContext ctx;
    if constexpr (std::is_void_v<std::invoke_result_t<F &, WarningSink *>>) {
        without_gil(ctx, work);
        ctx.finish();
    } else {
        auto result = without_gil(ctx, work);
        ctx.finish();
        return result;
    }
}

}  // namespace voriviv::geofileops
