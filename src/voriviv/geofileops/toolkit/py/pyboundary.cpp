#include "toolkit/py/pyboundary.hpp"

#include <cerrno>

#include "toolkit/core/messages.hpp"
#include "toolkit/files/fsops.hpp"

namespace nb = nanobind;

namespace voriviv::geofileops {

void raise_arg_type(const char *name, const char *expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

void require_exact(nb::handle obj, PyTypeObject *type, const char *name) {
    if (Py_TYPE(obj.ptr()) != type) raise_arg_type(name, type->tp_name, obj);
}

bool truth(nb::handle value) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

namespace {
// Text handed on as a C string would end at a NUL: such text is refused.
std::string without_nul(std::string s) {
    if (s.find('\0') != std::string::npos) throw Failure::value(msg::kEmbeddedNul);
    return s;
}

std::string bytes_of(nb::handle b) {
    return without_nul(std::string(PyBytes_AS_STRING(b.ptr()),
                                   static_cast<size_t>(PyBytes_GET_SIZE(b.ptr()))));
}

void set_os_error(const OsError &e) {
    errno = e.err;
    if (e.filename.empty()) {
        PyErr_SetFromErrno(PyExc_OSError);
    } else {
        nb::object fn = nb::steal(PyUnicode_DecodeFSDefault(e.filename.c_str()));
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, fn.ptr());
    }
}

// voriviv.GdalError(message, err_no).
void set_gdal_error(const GdalError &e) {
    const std::string text = valid_utf8(e.what());
    try {
        nb::object cls = nb::module_::import_("voriviv").attr("GdalError");
        nb::object exc = cls(nb::str(text.data(), text.size()), e.err_no);
        PyErr_SetObject(cls.ptr(), exc.ptr());
    } catch (nb::python_error &err) {
        err.restore();
    }
}
}  // namespace

std::string utf8(nb::handle str) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    return without_nul(std::string(data, static_cast<size_t>(size)));
}

std::string os_path(nb::handle path) {
    nb::object fs = nb::steal(PyOS_FSPath(path.ptr()));
    if (!fs.is_valid()) throw nb::python_error();
    if (PyBytes_Check(fs.ptr())) return bytes_of(fs);
    nb::object b = nb::steal(PyUnicode_EncodeFSDefault(fs.ptr()));
    if (!b.is_valid()) throw nb::python_error();
    return bytes_of(b);
}

nb::object os_text(const std::string &bytes) {
    nb::object text = nb::steal(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!text.is_valid()) throw nb::python_error();
    return text;
}

nb::object make_path(nb::handle value) {
    return nb::module_::import_("pathlib").attr("Path")(value);
}

nb::object bound_location(nb::handle path_arg, nb::handle mode) {
    require_exact(mode, &PyUnicode_Type, "mode");
    nb::object path = make_path(path_arg);
    // Compared as text: any str is a valid mode, even one UTF-8 cannot encode.
    if (PyUnicode_CompareWithASCIIString(mode.ptr(), "open") == 0) {
        const std::string text = os_path(path);
        fs::Kind kind;
        {
            nb::gil_scoped_release nogil;
            kind = fs::kind_of(text);
        }
        if (kind == fs::Kind::Missing) {
            PyErr_SetObject(PyExc_FileNotFoundError, path.ptr());
            throw nb::python_error();
        }
    }
    return path;
}

std::string output_directory(nb::handle dir) {
    std::string path = os_path(make_path(dir));
    nb::gil_scoped_release nogil;
    fs::make_directories(path);
    return path;
}

void register_translators() {
    nb::register_exception_translator(
        [](const std::exception_ptr &p, void *) { set_python_error(p); });
}

void set_python_error(const std::exception_ptr &p) {
    try {
        std::rethrow_exception(p);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const OsError &e) {
        set_os_error(e);
    } catch (const Failure &e) {
        PyObject *type = e.kind == Failure::Kind::Value  ? PyExc_ValueError
                         : e.kind == Failure::Kind::Type ? PyExc_TypeError
                                                         : PyExc_RuntimeError;
        // Our texts may quote a path or a name in any encoding.
        PyErr_SetString(type, valid_utf8(e.message).c_str());
    } catch (const GdalError &e) {
        set_gdal_error(e);
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, valid_utf8(e.what()).c_str());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown C++ exception");
    }
}

namespace {
// The warning also goes to the `voriviv` logger at WARNING level (silent
// unless the application configures logging).
void log_warning(const std::string &msg) {
    nb::object text = nb::steal(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
    if (!text.is_valid()) throw nb::python_error();
    nb::module_::import_("logging").attr("getLogger")("voriviv").attr("warning")("GDAL: %s", text);
}
}  // namespace

void forward_warnings(WarningSink &sink) {
    for (const auto &msg : sink.take()) {
        log_warning(msg);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, msg.c_str(), 2) != 0) throw nb::python_error();
    }
}

void CallContext::finish() { forward_warnings(sink_); }

CallContext::~CallContext() {
    // On the failure path warnings are still issued, but a warning filter that
    // turns them into errors must not replace the exception on its way out.
    for (const auto &msg : sink_.take()) {
        try {
            log_warning(msg);
        } catch (nb::python_error &) {
        }
        if (PyErr_WarnEx(PyExc_RuntimeWarning, msg.c_str(), 2) != 0) PyErr_Clear();
    }
}

}  // namespace voriviv::geofileops
