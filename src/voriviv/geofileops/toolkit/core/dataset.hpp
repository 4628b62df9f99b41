// GDAL dataset handles.
//
// A Dataset owns one GDALDatasetH and closes it on every path. Handles never
// cross threads: each worker opens its own. All functions here run without
// the GIL and report GDAL's failures through the given ErrorScope's rules.
#pragma once

#include <string>
#include <vector>

#include <gdal.h>

#include "toolkit/core/gdal_error.hpp"

namespace voriviv::geofileops {

class Dataset {
public:
    Dataset() = default;
    explicit Dataset(GDALDatasetH h) : h_(h) {}
    ~Dataset() { close(); }
    Dataset(Dataset &&o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    Dataset &operator=(Dataset &&o) noexcept {
        if (this != &o) { close(); h_ = o.h_; o.h_ = nullptr; }
        return *this;
    }
    Dataset(const Dataset &) = delete;
    Dataset &operator=(const Dataset &) = delete;

    GDALDatasetH get() const { return h_; }
    // Gives up ownership without closing.
    GDALDatasetH release() {
        GDALDatasetH h = h_;
        h_ = nullptr;
        return h;
    }
    explicit operator bool() const { return h_ != nullptr; }
    void close();

private:
    GDALDatasetH h_ = nullptr;
};

enum class OpenFlags { ReadOnly = 0, Update = 1, Shared = 2, SharedUpdate = 3 };

// Opens a vector dataset. A null result without a GDAL error yields an empty
// Dataset; a GDAL failure throws GdalError with GDAL's message.
Dataset open_vector(const std::string &name, OpenFlags flags, WarningSink *sink);

// Same, but a null result raises `fallback` (our fixed message);
// `open_options` are the driver's (a null-terminated list, or null).
Dataset open_vector_or(const std::string &name, OpenFlags flags, WarningSink *sink,
                       const char *fallback, const char *const *open_options = nullptr);

// The open options a source read by GDAL driver `driver` (short name) is
// opened with, or null. A Shapefile's layer has M values when any of its
// shapes holds some, not only when the first one does (GDAL's default, which
// drops every later shape's M values when the first has none).
const char *const *source_open_options(const std::string &driver);

// Files that GDAL opens for reading on this thread while a ReadCache lives
// are read through GDAL's cache of the file (VSI_CACHE), 1 MiB per file:
// for readers that fetch a file in many small pieces (MapInfo's), which
// would otherwise cost a system call each.
class ReadCache {
public:
    ReadCache();
    ~ReadCache();
    ReadCache(const ReadCache &) = delete;
    ReadCache &operator=(const ReadCache &) = delete;

private:
    std::string cache_, size_;  // the thread's settings before
    bool had_cache_, had_size_;
};

// Opens a PostgreSQL connection as the source of an export: every table is
// listed, those without a geometry column too (GDAL's default listing leaves
// them out), and the list is read at once, so that a translation finds a
// table whose name holds a dot as that table, not as schema.table. A null
// result raises `fallback`.
Dataset open_pg_source(const std::string &conn, WarningSink *sink, const char *fallback);

// GDAL's driver `name`; a driver GDAL does not have raises RuntimeError
// "GDAL <name> driver not available" (our own condition, not GDAL's failure).
GDALDriverH require_driver(const char *name);

// Names of a dataset's layers in index order.
std::vector<std::string> layer_names(GDALDatasetH ds, WarningSink *sink);

}  // namespace voriviv::geofileops
