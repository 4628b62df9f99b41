#include "toolkit/module_setup.hpp"

#include <cstdint>
#include <vector>

#include <gdal.h>

#include <nanobind/eval.h>

#include "toolkit/layers.hpp"
#include "toolkit/pyboundary.hpp"
#include "toolkit/runner.hpp"

namespace nb = nanobind;

namespace geofileops {

namespace {
PyObject *g_module = nullptr;  // borrowed: a module lives until the interpreter ends
}

nb::handle this_module() { return g_module; }

void init_converter_module(nb::module_ &m) {
    g_module = m.ptr();
    for (const char *name : {"shutil", "pathlib", "typing", "concurrent.futures", "threading"})
        nb::module_::import_(name);

    // GDAL's own Python bindings are not a dependency; when they are present,
    // they are switched into exception mode for the whole process.
    try {
        nb::module_::import_("osgeo.gdal").attr("UseExceptions")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    GDALAllRegister();
    register_translators();

    nb::object typing = nb::module_::import_("typing");
    nb::object path_type = nb::module_::import_("pathlib").attr("Path");
    m.attr("PathLike") = typing.attr("Union")[nb::make_tuple(nb::handle((PyObject *)&PyUnicode_Type), path_type)];

    m.attr("GEOFILEOPS_THREADS") = initial_thread_setting();
    m.def("set_geofileops_threads",
          [](nb::handle n) { set_thread_setting(this_module(), n); }, nb::arg("n").none(),
          nb::sig("def set_geofileops_threads(n: int) -> None"),
          "Description : Sets GEOFILEOPS_THREADS, the most worker threads a conversion of this "
          "module runs at once. Numbers are converted to int; values below 1 give 1.");

    // Diagnostic used by the benchmarks: `count` items of pure CPU work on the
    // native runner, without the GIL, so thread scaling can be measured apart
    // from GDAL and I/O. Returns a checksum so the work cannot be skipped.
    m.def("_spin_native", [](std::size_t count, std::uint64_t iterations) {
        std::vector<std::uint64_t> sums(count);
        run_native(this_module(), count, [&](std::size_t i, const CancelToken &) {
            std::uint64_t x = i + 1;
            for (std::uint64_t k = 0; k < iterations; ++k)
                x = x * 6364136223846793005ULL + 1442695040888963407ULL;
            sums[i] = x;
        });
        std::uint64_t total = 0;
        for (auto s : sums) total ^= s;
        return total;
    }, nb::arg("count"), nb::arg("iterations"),
       "Description : Diagnostic: runs count items of CPU-only work on the native runner.");

    bind_dataset_types(m);
}

namespace {
// Runs once per converter module. Functions are matched by the attribute the
// binding layer gives them (__nb_signature__); static and class methods keep
// their kind.
constexpr const char kDocumentation[] = R"PY(
import inspect

def _forwarder(impl):
    # A Python function with the binding's own signature that calls it: the
    # interpreter then checks the arguments with its standard messages, and
    # inspect sees the real parameters.
    text = impl.__nb_signature__[0][0]
    header = "from __future__ import annotations\n" + text
    scratch = {}
    exec(compile(header + ": pass", "<signature>", "exec"), {}, scratch)
    params = inspect.signature(
        [v for v in scratch.values() if inspect.isfunction(v)][0]).parameters.values()
    call = []
    for p in params:
        if p.kind is p.VAR_POSITIONAL:
            call.append("*" + p.name)
        elif p.kind is p.VAR_KEYWORD:
            call.append("**" + p.name)
        elif p.kind is p.KEYWORD_ONLY:
            call.append(p.name + "=" + p.name)
        else:
            call.append(p.name)
    namespace = {"__impl": impl}
    exec(compile(header + ":\n    return __impl(" + ", ".join(call) + ")\n",
                 "<" + impl.__name__ + ">", "exec"), namespace)
    return [v for k, v in namespace.items() if k != "__impl" and inspect.isfunction(v)][0]

def _documented(impl, module, qualname):
    try:
        function = _forwarder(impl)
    except Exception:
        def function(*args, **kwargs):
            return impl(*args, **kwargs)
    function.__name__ = impl.__name__
    function.__qualname__ = qualname
    function.__code__ = function.__code__.replace(co_name=impl.__name__)
    if hasattr(function.__code__, "co_qualname"):
        function.__code__ = function.__code__.replace(co_qualname=qualname)
    function.__module__ = module.__name__
    function.__doc__ = impl.__nb_signature__[0][1]
    return function

def _is_native(obj):
    return hasattr(obj, "__nb_signature__") and len(obj.__nb_signature__) == 1

def document(module):
    for name, value in list(vars(module).items()):
        if _is_native(value):
            setattr(module, name, _documented(value, module, name))
        elif isinstance(value, type) and value.__module__ == module.__name__:
            for attr, member in list(vars(value).items()):
                qualname = value.__name__ + "." + attr
                if isinstance(member, (staticmethod, classmethod)) and _is_native(member.__func__):
                    setattr(value, attr, type(member)(_documented(member.__func__, module, qualname)))
                elif _is_native(member):
                    function = _documented(member, module, qualname)
                    # A native function that does not bind as a method is a
                    # static one; a Python function would bind, so say so.
                    if not hasattr(type(member), "__get__"):
                        function = staticmethod(function)
                    setattr(value, attr, function)
)PY";
}  // namespace

void finish_documentation(nb::module_ &m) {
    nb::dict scope;
    scope["__builtins__"] = nb::module_::import_("builtins");
    nb::exec(kDocumentation, scope);
    scope["document"](m);
}

}  // namespace geofileops
