// Asking running work to stop.
#pragma once

#include <atomic>

namespace voriviv::geofileops {

// Set from the calling thread to ask running translations to stop; read by
// the workers (GDAL's progress callback, our own read loops).
struct CancelToken {
    std::atomic<bool> cancelled{false};
};

}  // namespace voriviv::geofileops
