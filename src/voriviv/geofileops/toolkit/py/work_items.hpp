// Work items handed from Python to native workers.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

namespace voriviv::geofileops {

// A layer name for one worker, or the error that item fails with (an item
// that is not exactly a str fails its own item only, like any worker error).
struct WorkName {
    std::string name;
    std::exception_ptr error;
    // Rethrows the item's own error, if any.
    const std::string &get() const {
        if (error) std::rethrow_exception(error);
        return name;
    }
};

// Converts every item of a Python iterable; non-str items carry the
// TypeError for `param`.
std::vector<WorkName> work_names(nanobind::handle items, const char *param);

// The mutex that serialises writers of one destination (a File Geodatabase
// directory) within the process, across threads and calls. Keyed by the
// path's canonical form; lives as long as the process.
std::mutex &destination_mutex(const std::string &path);

// Raises TypeError when `tables` (a list, tuple, set, frozenset or dict;
// other iterables are not walked, to leave one-shot iterators alone) holds
// an item that is not a str, and ValueError for one holding a NUL.
void require_text_items(nanobind::handle tables, const char *param = "tables");

}  // namespace voriviv::geofileops
