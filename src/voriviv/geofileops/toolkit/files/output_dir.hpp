// The outputs of one conversion call in one output directory.
//
// Each item of a call writes one file set <dir>/<layer><extension> plus the
// companions its driver adds. Before an item writes, it prepares its output
// here: the layer name is checked as a file name, the output name is claimed
// (a second item with the same output fails instead of overwriting the
// first), and with overwrite the layer's earlier companion files are removed.
//
// The removal for layer `roads` matches every `roads.*`, which includes what
// a layer `roads.old` of the same call writes (`roads.old.tab`, ...). Claims
// and removals therefore happen under one lock, and a removal spares the
// files of every longer stem already claimed in this call. An item that claims
// after a removal has finished writes after it too, so whatever the order
// and the thread count, no item's removal deletes another item's output.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "toolkit/core/names.hpp"
#include "toolkit/files/fsops.hpp"
#include "toolkit/files/outputs.hpp"

namespace voriviv::geofileops {

class OutputDirectory {
public:
    OutputDirectory(std::string dir, std::string extension)
        : dir_(std::move(dir)), extension_(std::move(extension)) {}

    const std::string &dir() const { return dir_; }

    // The output file of `layer`: <dir>/<layer><extension>.
    std::string path_of(const std::string &layer) const { return fs::join(dir_, layer + extension_); }

    // Prepares the output of `layer`, read from `source` (a text naming it in
    // messages), and returns its path. Throws ValueError for a layer name that
    // is no plain file name, RuntimeError when another item of the call
    // already claimed the same output, OsError when a removal fails.
    std::string prepare(const std::string &layer, const std::string &source, bool overwrite);

    const std::string &extension() const { return extension_; }

    // The checks and the claim of prepare(), without removing anything.
    void claim(const std::string &layer, const std::string &source);

    // Moves the files `names` of directory `staging` into the output
    // directory (replacing same-named files) and then, with `overwrite`, removes
    // the layer's other companion files, sparing what longer claimed stems
    // own. Under the same lock as the claims.
    void install(const std::string &layer, const std::string &staging,
                 const std::vector<std::string> &names, bool overwrite);

private:
    std::string dir_;
    std::string extension_;
    std::mutex mutex_;
    OutputClaims claims_;
    TargetClaims folded_;  // names equal but for ASCII case are one target
    std::vector<std::string> claimed_stems_;
};

}  // namespace voriviv::geofileops
