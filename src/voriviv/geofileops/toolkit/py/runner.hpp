// The parallel runner at the Python boundary: a ThreadPool (run/pool.hpp)
// sized by the module's GEOFILEOPS_THREADS, waited for on the calling thread.
// Every item is submitted before the caller waits; every item runs to its end
// (a failure cancels nothing); the first failure in completion order is then
// rethrown and the others are dropped. No thread outlives a run.
//
// The waiting thread stays responsive to Ctrl-C: it waits with the GIL
// released and checks Python's signals a few times a second. On an interrupt
// the cancel token is set (running GDAL translations stop at their next
// progress report), queued items are skipped, all threads are joined and the
// KeyboardInterrupt is raised.
#pragma once

#include <cstddef>
#include <functional>

#include <nanobind/nanobind.h>

#include "toolkit/core/cancel.hpp"
#include "toolkit/run/pool.hpp"

namespace voriviv::geofileops {


// Reads the module's GEOFILEOPS_THREADS the way the pool needs it: a Python
// int of at least 1. Anything else raises as a thread pool given that value.
std::size_t thread_setting(nanobind::handle module);

// Threads of the module's pool that each of `items` work items may use
// (at least 1): one large item uses the threads that no other item needs.
int threads_per_item(nanobind::handle module, std::size_t items);

// Called on the waiting thread, with the GIL held, after every wait slice
// and once more after all items ended. An exception it throws stops the run
// the way Ctrl-C does (running items are cancelled, queued ones skipped) and
// is rethrown.
using WaitTick = std::function<void()>;

// Waits for `pool` with the GIL released while watching for Ctrl-C, then
// rethrows the first failure. The raised exception carries the others: its
// attribute `other_failures` lists them (exception objects, in completion
// order), and each adds a note "Also failed: <type>: <message>" where the
// interpreter has add_note. Must be called with the GIL held.
void wait_and_rethrow(ThreadPool &pool, CancelToken *cancel, const WaitTick &tick = {});

// Runs work(i) for i in [0, count) on the module's pool. GIL held on entry;
// `work` runs without it.
void run_native(nanobind::handle module, std::size_t count,
                const std::function<void(std::size_t, const CancelToken &)> &work,
                const WaitTick &tick = {});

// `_run_parallel(items, func)` for Python callables.
void run_python(nanobind::handle module, nanobind::handle items, nanobind::handle func);

// GEOFILEOPS_THREADS at import: live Python threads (4 when that is 0), at least 1.
long initial_thread_setting();

// set_geofileops_threads(n): converts and clamps n, stores it in the module.
void set_thread_setting(nanobind::handle module, nanobind::handle n);

}  // namespace voriviv::geofileops
