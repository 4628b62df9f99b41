// What a worker reports of the item it runs: the per-item records of one
// conversion call, written by the workers without the GIL and read by the
// calling thread (py/progress.hpp turns them into events for Python).
//
// Each work item of a call (one layer, table or file) produces, in this
// order: "started" once, "progress" zero or more times, then "finished" or
// "failed" once. The feature counts come from GDAL's own progress report of
// each translation: GDAL calls it once per feature with the fraction done of
// the source layer's feature count, so "done" is the number of calls and the
// total is recovered from the fraction. A layer that GDAL has not reported
// on yet has no known total.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace voriviv::geofileops {

// How one work item is named in events: the layer (or table, or file stem),
// what it is read from and what it is written to.
struct ItemLabel {
    std::string layer;
    std::string source;
    std::string target;
};

using ProgressClock = std::chrono::steady_clock;

double seconds_since(ProgressClock::time_point start);

// One work item. The counters are written by its worker and read by the
// calling thread; the label's target and the warnings are guarded by the
// board's mutex; the rest belongs to the calling thread.
struct ProgressItem {
    ItemLabel label;
    std::atomic<std::int64_t> done{0};
    std::atomic<std::int64_t> total{-1};  // -1: not known yet
    ProgressClock::time_point start;
    std::vector<std::string> warnings;
    bool running = false;
    std::int64_t sent_done = -1;
    std::int64_t sent_total = -2;
};

struct ItemRecord {
    enum class Kind { Started, Finished, Failed };
    Kind kind;
    std::size_t index;
    double seconds;
    std::exception_ptr error;
};

// What the workers of one call report, waiting for the calling thread.
struct ProgressBoard {
    std::mutex mutex;
    std::vector<std::unique_ptr<ProgressItem>> items;
    std::vector<ItemRecord> records;
    std::vector<std::pair<std::size_t, std::string>> options;  // for the DEBUG log

    explicit ProgressBoard(std::vector<ItemLabel> labels);
    void push(ItemRecord r);
    // Runs work() as item i on the calling (worker) thread: records its
    // start and its end or failure (rethrown), and directs the hooks below
    // to the item meanwhile.
    void run_item(std::size_t i, const std::function<void()> &work);
};

// --- called by the translation code on a worker thread ----------------------
// Without an item running on the calling thread they do nothing.

// A translation of the current item begins: its feature counters restart,
// and its options are kept for the DEBUG log.
void progress_translation_begin(const std::vector<std::string> &argv);

// GDAL's progress report of the current translation (fraction in [0, 1]).
void progress_translation_step(double fraction);

// The current item's feature counter, for work the item hands to threads of
// its own (several COPY streams of one layer): usable from any thread while
// the item runs. Does nothing when no item runs on the calling thread.
class FeatureCounter {
public:
    // Taken on the item's worker thread; restarts the item's counts with a
    // known total (-1: unknown).
    static FeatureCounter of_current_item(std::int64_t total);
    void add(std::int64_t n) const;

private:
    std::atomic<std::int64_t> *done_ = nullptr;
};

// The current item's target, when it is known only once the worker ran
// (the layer name inside a file).
void progress_set_target(const std::string &target);

// A warning raised on this thread while the item runs.
void progress_warning(const std::string &message);

// While alive, translations on this thread are not counted (a worker that
// first reads its layer into memory counts only the write).
class ProgressMute {
public:
    ProgressMute();
    ~ProgressMute();
    ProgressMute(const ProgressMute &) = delete;
    ProgressMute &operator=(const ProgressMute &) = delete;
};

}  // namespace voriviv::geofileops
