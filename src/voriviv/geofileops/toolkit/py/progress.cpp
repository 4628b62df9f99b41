#include "toolkit/py/progress.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include <nanobind/stl/string.h>

#include "toolkit/py/pyboundary.hpp"
#include "toolkit/py/runner.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace voriviv::geofileops {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One work item. The counters are written by its worker and read by the
// calling thread; the label's target and the warnings are guarded by the
// board's mutex; the rest belongs to the calling thread.
struct Item {
    ItemLabel label;
    std::atomic<std::int64_t> done{0};
    std::atomic<std::int64_t> total{-1};  // -1: not known yet
    Clock::time_point start;
    std::vector<std::string> warnings;
    bool running = false;
    std::int64_t sent_done = -1;
    std::int64_t sent_total = -2;
};

enum class Kind { Started, Finished, Failed };

struct Record {
    Kind kind;
    std::size_t index;
    double seconds;
    std::exception_ptr error;
};

// What the workers of one call report, waiting for the calling thread.
struct Board {
    std::mutex mutex;
    std::vector<std::unique_ptr<Item>> items;
    std::vector<Record> records;
    std::vector<std::pair<std::size_t, std::string>> options;  // for the DEBUG log

    void push(Record r) {
        std::lock_guard<std::mutex> lock(mutex);
        records.push_back(std::move(r));
    }
};

// The item running on this thread.
struct Current {
    Board *board = nullptr;
    std::size_t index = 0;
    int muted = 0;
};
thread_local Current t_current;

Item *current_item() {
    if (t_current.board == nullptr) return nullptr;
    return t_current.board->items[t_current.index].get();
}

class ItemScope {
public:
    ItemScope(Board *board, std::size_t index) : saved_(t_current) {
        t_current = Current{board, index, 0};
    }
    ~ItemScope() { t_current = saved_; }

private:
    Current saved_;
};

// Text for Python: UTF-8, with undecodable bytes kept the way file names
// keep them (surrogate escapes).
nb::object text(const std::string &s) {
    PyObject *o = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (o == nullptr) throw nb::python_error();
    return nb::steal(o);
}

// argv as one line, arguments with blanks or quotes in single quotes.
std::string command_line(const std::vector<std::string> &argv) {
    std::string out;
    for (const auto &a : argv) {
        if (!out.empty()) out += ' ';
        const bool plain = !a.empty() && a.find_first_of(" \t\n'\"\\") == std::string::npos;
        if (plain) {
            out += a;
            continue;
        }
        out += '\'';
        for (char c : a) {
            if (c == '\'') out += "'\\''";
            else out += c;
        }
        out += '\'';
    }
    return out;
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
    Reporter(Board &board, nb::handle callback)
        : board_(board), callback_(nb::borrow(callback)) {
        logger_ = nb::module_::import_("logging").attr("getLogger")("voriviv");
        if (!callback_.is_none())
            event_type_ = nb::module_::import_("voriviv.progress").attr("LayerEvent");
    }

    void tick() {
        std::vector<Record> records;
        std::vector<std::pair<std::size_t, std::string>> options;
        {
            std::lock_guard<std::mutex> lock(board_.mutex);
            records.swap(board_.records);
            options.swap(board_.options);
        }
        for (const auto &[index, line] : options)
            logger_.attr("debug")("%s: GDAL translation options: %s",
                                  text(board_.items[index]->label.layer), text(line));
        for (const Record &r : records) {
            Item &item = *board_.items[r.index];
            switch (r.kind) {
            case Kind::Started:
                item.running = true;
                item.sent_done = 0;
                item.sent_total = -1;
                emit("started", r.index, item, 0, -1, 0.0, nb::none());
                break;
            case Kind::Finished: {
                item.running = false;
                const std::int64_t done = item.done.load();
                const std::int64_t total = std::max(item.total.load(), done);
                const ItemLabel label = labels_of(item);
                logger_.attr("info")("%s -> %s: %d features in %.2f s", text(label.source),
                                     text(label.target), done, r.seconds);
                emit("finished", r.index, item, done, total, r.seconds, nb::none());
                break;
            }
            case Kind::Failed: {
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
            Item &item = *board_.items[i];
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
    ItemLabel labels_of(Item &item) {
        std::lock_guard<std::mutex> lock(board_.mutex);
        return item.label;
    }

    void emit(const char *kind, std::size_t index, Item &item, std::int64_t done,
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

    Board &board_;
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
    Board board;
    board.items.reserve(labels.size());
    for (auto &l : labels) {
        auto item = std::make_unique<Item>();
        item->label = std::move(l);
        board.items.push_back(std::move(item));
    }
    Reporter reporter(board, progress);
    run_native(
        module, board.items.size(),
        [&](std::size_t i, const CancelToken &cancel) {
            Item &item = *board.items[i];
            item.start = Clock::now();
            board.push({Kind::Started, i, 0.0, nullptr});
            ItemScope scope(&board, i);
            try {
                work(i, cancel);
            } catch (...) {
                board.push({Kind::Failed, i, seconds_since(item.start), std::current_exception()});
                throw;
            }
            board.push({Kind::Finished, i, seconds_since(item.start), nullptr});
        },
        [&] { reporter.tick(); });
}

void progress_translation_begin(const std::vector<std::string> &argv) {
    Item *item = current_item();
    if (item == nullptr) return;
    if (t_current.muted == 0) {
        item->done = 0;
        item->total = -1;
    }
    std::string line = command_line(argv);
    std::lock_guard<std::mutex> lock(t_current.board->mutex);
    t_current.board->options.emplace_back(t_current.index, std::move(line));
}

void progress_translation_step(double fraction) {
    Item *item = current_item();
    if (item == nullptr || t_current.muted > 0) return;
    // GDAL reports once per feature, with the share of its own count of the
    // source layer's features.
    const std::int64_t done = item->done.fetch_add(1, std::memory_order_relaxed) + 1;
    if (fraction > 0 && std::isfinite(fraction))
        item->total.store(std::llround(static_cast<double>(done) / fraction),
                          std::memory_order_relaxed);
}

FeatureCounter FeatureCounter::of_current_item(std::int64_t total) {
    FeatureCounter c;
    Item *item = current_item();
    if (item == nullptr || t_current.muted > 0) return c;
    item->done = 0;
    item->total = total;
    c.done_ = &item->done;
    return c;
}

void FeatureCounter::add(std::int64_t n) const {
    if (done_ != nullptr) done_->fetch_add(n, std::memory_order_relaxed);
}

void progress_set_target(const std::string &target) {
    Item *item = current_item();
    if (item == nullptr) return;
    std::lock_guard<std::mutex> lock(t_current.board->mutex);
    item->label.target = target;
}

void progress_warning(const std::string &message) {
    Item *item = current_item();
    if (item == nullptr) return;
    std::lock_guard<std::mutex> lock(t_current.board->mutex);
    if (std::find(item->warnings.begin(), item->warnings.end(), message) == item->warnings.end())
        item->warnings.push_back(message);
}

ProgressMute::ProgressMute() { ++t_current.muted; }
ProgressMute::~ProgressMute() { --t_current.muted; }

}  // namespace voriviv::geofileops
