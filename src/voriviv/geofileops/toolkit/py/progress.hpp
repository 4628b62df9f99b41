// Per-layer progress of a conversion call.
//
// Each work item of a call (one layer, table or file) produces, in this
// order: "started" once, "progress" zero or more times, then "finished" or
// "failed" once. Workers record what happens without the GIL; the calling
// thread, while it waits for the runner, turns the records into
// voriviv.progress.LayerEvent objects and hands them to the caller's
// callable and to the `voriviv` logger. An exception raised there stops the
// call the way Ctrl-C does.
//
// The feature counts come from GDAL's own progress report of each
// translation: GDAL calls it once per feature with the fraction done of the
// source layer's feature count, so "done" is the number of calls and the
// total is recovered from the fraction. A layer that GDAL has not reported
// on yet has no known total.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "toolkit/core/translate.hpp"

namespace voriviv::geofileops {

// How one work item is named in events: the layer (or table, or file stem),
// what it is read from and what it is written to.
struct ItemLabel {
    std::string layer;
    std::string source;
    std::string target;
};

// Refuses a `progress` argument that is neither None nor callable, with the
// system's argument-type message. Call before any work.
void check_progress_arg(nanobind::handle progress);

// Like run_native, and reports every item's events to `progress` (None:
// only to the logger) on the calling thread. `labels` has one entry per item.
void run_reported(nanobind::handle module, nanobind::handle progress,
                  std::vector<ItemLabel> labels,
                  const std::function<void(std::size_t, const CancelToken &)> &work);

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

// A GDAL warning raised on this thread while the item runs.
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
