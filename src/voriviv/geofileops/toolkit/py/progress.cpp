#include "toolkit/py/progress.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <mutex>
#include <utility>

#include <nanobind/stl/string.h>

#include "toolkit/py/pyboundary.hpp"
#include "toolkit/py/runner.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace voriviv::geofileops {
namespace {

// Text for Python: UTF-8, with undecodable bytes kept the way file names
// keep them (surrogate escapes).
nb::object text(const std::string &s) {
    PyObject *o = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (o == nullptr) throw nb::python_error();
    return nb::steal(o);
}

// The Python exception a worker failure becomes when it reaches Python.
// A Python exception is the same object (read, never restored: the runner
// still rethrows it). Anything else is rethrown inside a native function, so
// it passes through the same exception translators as the call's own raise.
nb::object exception_object(const std::exception_ptr &failure) {
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error &e) {
        return nb::borrow(e.value());
    } catch (...) {
    }
    nb::object thrower = nb::cpp_function([failure]() { std::rethrow_exception(failure); });
    try {
        thrower();
    } catch (nb::python_error &e) {
        return nb::borrow(e.value());
    }
    return nb::none();
}

// Turns the board's records into events on the calling thread.
class Reporter {
public:
    Reporter(ProgressBoard &board, nb::handle callback)
        : board_(board), callback_(nb::borrow(callback)) {
        logger_ = nb::module_::import_("logging").attr("getLogger")("voriviv");
        if (!callback_.is_none())
            event_type_ = nb::module_::import_("voriviv.progress").attr("LayerEvent");
    }

    void tick() {
        std::vector<ItemRecord> records;
        std::vector<std::pair<std::size_t, std::string>> options;
        {
            std::lock_guard<std::mutex> lock(board_.mutex);
            records.swap(board_.records);
            options.swap(board_.options);
        }
        for (const auto &[index, line] : options)
            logger_.attr("debug")("%s: GDAL translation options: %s",
                                  text(board_.items[index]->label.layer), text(line));
        for (const ItemRecord &r : records) {
            ProgressItem &item = *board_.items[r.index];
            switch (r.kind) {
            case ItemRecord::Kind::Started:
                item.running = true;
                item.sent_done = 0;
                item.sent_total = -1;
                emit("started", r.index, item, 0, -1, 0.0, nb::none());
                break;
            case ItemRecord::Kind::Finished: {
                item.running = false;
                const std::int64_t done = item.done.load();
                const std::int64_t total = std::max(item.total.load(), done);
                const ItemLabel label = labels_of(item);
                logger_.attr("info")("%s -> %s: %d features in %.2f s", text(label.source),
                                     text(label.target), done, r.seconds);
                emit("finished", r.index, item, done, total, r.seconds, nb::none());
                break;
            }
            case ItemRecord::Kind::Failed: {
                item.running = false;
                nb::object error = exception_object(r.error);
                const ItemLabel label = labels_of(item);
                logger_.attr("error")("%s -> %s failed after %.2f s: %s", text(label.source),
                                      text(label.target), r.seconds, error);
                emit("failed", r.index, item, item.done.load(), item.total.load(), r.seconds,
                     error);
                break;
            }
            }
        }
        if (callback_.is_none()) return;
        for (std::size_t i = 0; i < board_.items.size(); ++i) {
            ProgressItem &item = *board_.items[i];
            if (!item.running) continue;
            const std::int64_t done = item.done.load();
            const std::int64_t total = item.total.load();
            if (done == item.sent_done && total == item.sent_total) continue;
            item.sent_done = done;
            item.sent_total = total;
            emit("progress", i, item, done, total, seconds_since(item.start), nb::none());
        }
    }

private:
    ItemLabel labels_of(ProgressItem &item) {
        std::lock_guard<std::mutex> lock(board_.mutex);
        return item.label;
    }

    void emit(const char *kind, std::size_t index, ProgressItem &item, std::int64_t done,
              std::int64_t total, double seconds, nb::handle error) {
        if (callback_.is_none()) return;
        ItemLabel label;
        std::vector<std::string> warnings;
        {
            std::lock_guard<std::mutex> lock(board_.mutex);
            label = item.label;
            warnings = item.warnings;
        }
        nb::list warning_list;
        for (const auto &w : warnings) warning_list.append(text(w));
        nb::object total_obj = total < 0 ? nb::none() : nb::object(nb::int_(total));
        nb::object event = event_type_(
            "kind"_a = kind, "index"_a = index, "items"_a = board_.items.size(),
            "layer"_a = text(label.layer), "source"_a = text(label.source),
            "target"_a = text(label.target),
            "done"_a = done, "total"_a = total_obj, "seconds"_a = seconds, "error"_a = error,
            "warnings"_a = nb::tuple(warning_list));
        callback_(event);
    }

    ProgressBoard &board_;
    nb::object callback_;
    nb::object logger_;
    nb::object event_type_;
};

}  // namespace

void check_progress_arg(nb::handle progress) {
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        raise_arg_type("progress", "callable", progress);
}

void run_reported(nb::handle module, nb::handle progress, std::vector<ItemLabel> labels,
                  const std::function<void(std::size_t, const CancelToken &)> &work) {
    check_progress_arg(progress);
    ProgressBoard board(std::move(labels));
    Reporter reporter(board, progress);
    run_native(
        module, board.items.size(),
        [&](std::size_t i, const CancelToken &cancel) {
            board.run_item(i, [&] { work(i, cancel); });
        },
        [&] { reporter.tick(); });
}

}  // namespace voriviv::geofileops
