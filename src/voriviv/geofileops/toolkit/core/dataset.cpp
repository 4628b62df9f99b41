#include "toolkit/core/dataset.hpp"

#include <cpl_conv.h>
#include <ogr_api.h>

#include "toolkit/core/errors.hpp"
#include "toolkit/core/messages.hpp"

namespace voriviv::geofileops {

void Dataset::close() {
    if (h_ != nullptr) {
        GDALClose(h_);
        h_ = nullptr;
    }
}

namespace {
Dataset open_with(const std::string &name, OpenFlags flags, WarningSink *sink,
                  const char *const *open_options) {
    unsigned int f = GDAL_OF_VECTOR | GDAL_OF_VERBOSE_ERROR;
    if (flags == OpenFlags::Update || flags == OpenFlags::SharedUpdate) f |= GDAL_OF_UPDATE;
    if (flags == OpenFlags::Shared || flags == OpenFlags::SharedUpdate) f |= GDAL_OF_SHARED;
    ErrorScope scope(sink);
    GDALDatasetH h = GDALOpenEx(name.c_str(), f, nullptr, open_options, nullptr);
    Dataset ds(h);
    scope.raise_if_failed();
    return ds;
}
}  // namespace

namespace {
constexpr const char *kCache = "VSI_CACHE";
constexpr const char *kCacheSize = "VSI_CACHE_SIZE";

bool thread_setting(const char *key, std::string &out) {
    const char *v = CPLGetThreadLocalConfigOption(key, nullptr);
    if (v != nullptr) out = v;
    return v != nullptr;
}
}  // namespace

ReadCache::ReadCache()
    : had_cache_(thread_setting(kCache, cache_)), had_size_(thread_setting(kCacheSize, size_)) {
    CPLSetThreadLocalConfigOption(kCache, "TRUE");
    CPLSetThreadLocalConfigOption(kCacheSize, "1048576");
}

ReadCache::~ReadCache() {
    CPLSetThreadLocalConfigOption(kCache, had_cache_ ? cache_.c_str() : nullptr);
    CPLSetThreadLocalConfigOption(kCacheSize, had_size_ ? size_.c_str() : nullptr);
}

Dataset open_vector(const std::string &name, OpenFlags flags, WarningSink *sink) {
    return open_with(name, flags, sink, nullptr);
}

const char *const *source_open_options(const std::string &driver) {
    static const char *const kShapefile[] = {"ADJUST_GEOM_TYPE=ALL_SHAPES", nullptr};
    return driver == "ESRI Shapefile" ? kShapefile : nullptr;
}

Dataset open_pg_source(const std::string &conn, WarningSink *sink, const char *fallback) {
    static const char *const kListAll[] = {"LIST_ALL_TABLES=YES", nullptr};
    // The option is the PostgreSQL driver's; any other text is left for GDAL
    // to refuse with its own message.
    const bool pg = conn.size() >= 3 && (conn[0] == 'P' || conn[0] == 'p') &&
                    (conn[1] == 'G' || conn[1] == 'g') && conn[2] == ':';
    Dataset ds = open_with(conn, OpenFlags::ReadOnly, sink, pg ? kListAll : nullptr);
    if (!ds) throw GdalError(fallback, GdalError::kOpenFailed);
    ErrorScope scope(sink);
    GDALDatasetGetLayerCount(ds.get());
    scope.raise_if_failed();
    return ds;
}

Dataset open_vector_or(const std::string &name, OpenFlags flags, WarningSink *sink,
                       const char *fallback, const char *const *open_options) {
    Dataset ds = open_with(name, flags, sink, open_options);
    if (!ds) throw GdalError(fallback, GdalError::kOpenFailed);
    return ds;
}

GDALDriverH require_driver(const char *name) {
    GDALDriverH driver = GDALGetDriverByName(name);
    if (driver == nullptr) throw Failure::runtime(msg::driver_missing(name));
    return driver;
}

std::vector<std::string> layer_names(GDALDatasetH ds, WarningSink *sink) {
    ErrorScope scope(sink);
    std::vector<std::string> names;
    const int n = GDALDatasetGetLayerCount(ds);
    scope.raise_if_failed();
    names.reserve(n > 0 ? n : 0);
    for (int i = 0; i < n; ++i) {
        OGRLayerH layer = GDALDatasetGetLayer(ds, i);
        scope.raise_if_failed();
        if (layer == nullptr) throw GdalError("Failed to fetch layer " + std::to_string(i));
        const char *nm = OGR_L_GetName(layer);
        scope.raise_if_failed();
        names.emplace_back(nm ? nm : "");
    }
    return names;
}

}  // namespace voriviv::geofileops
