// A file output written aside and moved into place only when complete.
//
// The layer is written under its final file names into a fresh hidden
// directory inside the output directory (so the driver writes exactly what
// it would write in place, and the move is a rename on one file system).
// commit() moves the files over the old ones and then, when replacing,
// removes the layer's other old companions. Until then the previous output
// of the layer is exactly as it was; a StagedLayer destroyed without commit
// removes its directory and everything in it.
#pragma once

#include <string>

#include "toolkit/core/write_cache.hpp"
#include "toolkit/files/output_dir.hpp"

namespace voriviv::geofileops {

class StagedLayer {
public:
    // Claims the output of `layer` in `out` (see OutputDirectory::prepare for
    // the checks) and creates the staging directory.
    StagedLayer(OutputDirectory &out, const std::string &layer, const std::string &source,
                bool overwrite);
    ~StagedLayer();
    StagedLayer(const StagedLayer &) = delete;
    StagedLayer &operator=(const StagedLayer &) = delete;

    // The layer's main file: <staging dir>/<layer><extension>.
    const std::string &path() const { return path_; }

    // The name to hand the driver: path() seen through the write cache
    // (core/write_cache.hpp), which the output is written through.
    std::string driver_path() const { return write_cached_path(path_); }

    // Moves the written files into the output directory.
    void commit();

private:
    OutputDirectory &out_;
    std::string layer_;
    bool overwrite_;
    std::string staging_;
    std::string path_;
    bool committed_ = false;
};

}  // namespace voriviv::geofileops
