// Per-layer progress of a conversion call, handed to Python.
//
// The workers record what happens to their items without the GIL
// (core/progress.hpp); the calling thread, while it waits for the runner,
// turns the records into voriviv.progress.LayerEvent objects and hands them
// to the caller's callable and to the `voriviv` logger. An exception raised
// there stops the call the way Ctrl-C does.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include <nanobind/nanobind.h>

#include "toolkit/core/cancel.hpp"
#include "toolkit/core/progress.hpp"

namespace voriviv::geofileops {

// Refuses a `progress` argument that is neither None nor callable, with the
// system's argument-type message. Call before any work.
void check_progress_arg(nanobind::handle progress);

// Like run_native, and reports every item's events to `progress` (None:
// only to the logger) on the calling thread. `labels` has one entry per item.
void run_reported(nanobind::handle module, nanobind::handle progress,
                  std::vector<ItemLabel> labels,
                  const std::function<void(std::size_t, const CancelToken &)> &work);

}  // namespace voriviv::geofileops
