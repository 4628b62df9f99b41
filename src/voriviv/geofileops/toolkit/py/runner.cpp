#include "toolkit/py/runner.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <utility>

#include "toolkit/core/messages.hpp"
#include "toolkit/py/pyboundary.hpp"

namespace nb = nanobind;

namespace voriviv::geofileops {

std::size_t thread_setting(nb::handle module) {
    nb::object value = nb::getattr(module, "GEOFILEOPS_THREADS");
    // Values assigned from outside are taken the way a thread pool takes its
    // max_workers: None means its default, a float counts up to its ceiling.
    if (value.is_none()) {
        const long cpus = nb::cast<long>(nb::module_::import_("os").attr("cpu_count")().is_none()
                                             ? nb::int_(1)
                                             : nb::module_::import_("os").attr("cpu_count")());
        return static_cast<std::size_t>(std::min(32L, cpus + 4));
    }
    if (PyFloat_Check(value.ptr())) {
        const double d = PyFloat_AsDouble(value.ptr());
        if (!(d > 0)) throw Failure::value(msg::kMaxWorkers);
        if (d >= 1e18) return SIZE_MAX;
        return static_cast<std::size_t>(std::ceil(d));
    }
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && n <= 0))
        throw Failure::value(msg::kMaxWorkers);
    // Threads start on demand, so a count beyond any machine simply means
    // "as many as there are items".
    if (overflow > 0) return SIZE_MAX;
    return static_cast<std::size_t>(n);
}

int threads_per_item(nb::handle module, std::size_t items) {
    if (items == 0) return 1;
    return static_cast<int>(std::max<std::size_t>(1, thread_setting(module) / items));
}

void wait_and_rethrow(ThreadPool &pool, CancelToken *cancel, const WaitTick &tick) {
    pool.close();
    // Cancels what runs, skips what is queued and joins every thread.
    auto stop_all = [&] {
        if (cancel != nullptr) cancel->cancelled = true;
        pool.skip_queued();
        nb::gil_scoped_release nogil;
        pool.wait_all(-1);
        pool.join();
    };
    for (;;) {
        bool done;
        {
            nb::gil_scoped_release nogil;
            done = pool.wait_all(100);
        }
        if (done) break;
        if (PyErr_CheckSignals() != 0) {
            nb::python_error interrupt;  // usually KeyboardInterrupt
            stop_all();
            throw interrupt;
        }
        if (tick) {
            try {
                tick();
            } catch (...) {
                stop_all();
                throw;
            }
        }
    }
    {
        nb::gil_scoped_release nogil;
        pool.join();
    }
    if (tick) tick();
    std::vector<std::exception_ptr> failures = pool.take_failures();
    if (failures.empty()) return;
    // The first failure as a Python exception (for a Python callable the very
    // same object), carrying the others.
    std::vector<nb::object> objects;
    for (const auto &f : failures) {
        set_python_error(f);
        nb::python_error e;
        objects.push_back(nb::borrow(e.value()));
    }
    failures.clear();
    nb::handle first = objects.front();
    nb::list others;
    for (std::size_t i = 1; i < objects.size(); ++i) {
        others.append(objects[i]);
        if (PyObject_HasAttrString(first.ptr(), "add_note")) {
            nb::object text = nb::steal(PyObject_Str(objects[i].ptr()));
            if (!text.is_valid()) { PyErr_Clear(); continue; }
            nb::str note = nb::str("Also failed: {}: {}").format(
                nb::handle(Py_TYPE(objects[i].ptr())).attr("__name__"), text);
            nb::object r = nb::steal(PyObject_CallMethod(first.ptr(), "add_note", "O", note.ptr()));
            if (!r.is_valid()) PyErr_Clear();
        }
    }
    if (PyObject_SetAttrString(first.ptr(), "other_failures", others.ptr()) != 0) PyErr_Clear();
    nb::object traceback = nb::steal(PyException_GetTraceback(first.ptr()));
    PyErr_Restore(nb::handle(Py_TYPE(first.ptr())).inc_ref().ptr(), first.inc_ref().ptr(),
                  traceback.release().ptr());
    throw nb::python_error();
}

void run_native(nb::handle module, std::size_t count,
                const std::function<void(std::size_t, const CancelToken &)> &work,
                const WaitTick &tick) {
    const std::size_t threads = thread_setting(module);
    if (count == 0) return;
    CancelToken cancel;
    ThreadPool pool(threads);
    for (std::size_t i = 0; i < count; ++i)
        pool.submit([&work, &cancel, i] { work(i, cancel); });
    wait_and_rethrow(pool, &cancel, tick);
}

namespace {
// A strong reference that may be dropped on any thread: it takes the GIL to
// let go. Tasks of the Python runner hold their callable and item this way,
// because a task can be destroyed on a worker thread or skipped unrun.
struct GilRef {
    PyObject *p;
    explicit GilRef(PyObject *o) : p(o) {}
    GilRef(const GilRef &) = delete;
    ~GilRef() {
        if (p != nullptr) {
            nb::gil_scoped_acquire gil;
            Py_DECREF(p);
        }
    }
};
}  // namespace

void run_python(nb::handle module, nb::handle items, nb::handle func) {
    const std::size_t threads = thread_setting(module);
    ThreadPool pool(threads);
    auto callable = std::make_shared<GilRef>(nb::borrow(func).release().ptr());
    nb::object iterator = nb::steal(PyObject_GetIter(items.ptr()));
    if (!iterator.is_valid()) throw nb::python_error();
    try {
        for (;;) {
            PyObject *item = PyIter_Next(iterator.ptr());
            if (item == nullptr) {
                if (PyErr_Occurred()) throw nb::python_error();
                break;
            }
            auto owned = std::make_shared<GilRef>(item);
            pool.submit([callable, owned]() {
                nb::gil_scoped_acquire gil;
                PyObject *result = PyObject_CallOneArg(callable->p, owned->p);
                if (result == nullptr) throw nb::python_error();
                Py_DECREF(result);  // the worker's return value is discarded
            });
        }
    } catch (...) {
        // Items already submitted still run to their end before the error.
        pool.close();
        {
            nb::gil_scoped_release nogil;
            pool.wait_all(-1);
            pool.join();
        }
        throw;
    }
    wait_and_rethrow(pool, nullptr);
}

long initial_thread_setting() {
    nb::object threading = nb::module_::import_("threading");
    long n = nb::cast<long>(threading.attr("active_count")());
    if (n == 0) n = 4;
    return n > 1 ? n : 1;
}

void set_thread_setting(nb::handle module, nb::handle n) {
    nb::object value;
    if (PyLong_CheckExact(n.ptr())) {
        value = nb::borrow(n);
    } else {
        if (!PyNumber_Check(n.ptr())) raise_arg_type("n", "int", n);
        value = nb::steal(PyNumber_Long(n.ptr()));
        if (!value.is_valid()) throw nb::python_error();
        if (!PyLong_CheckExact(value.ptr())) raise_arg_type("n", "int", value);
    }
    nb::object one = nb::int_(1);
    if (!(value > one)) value = one;
    nb::setattr(module, "GEOFILEOPS_THREADS", value);
}

}  // namespace voriviv::geofileops
