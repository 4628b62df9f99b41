#include "toolkit/files/output_dir.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "toolkit/core/errors.hpp"
#include "toolkit/files/fsops.hpp"

namespace voriviv::geofileops {

std::string OutputDirectory::prepare(const std::string &layer, const std::string &source,
                                     bool overwrite) {
    require_safe_file_name(layer);
    std::string path = path_of(layer);
    std::lock_guard<std::mutex> lock(mutex_);
    claim_or_throw(claims_, path, layer, source);
    claimed_stems_.push_back(layer);
    if (overwrite) {
        // A name such as roads.old.tab is a companion of both roads and
        // roads.old; it belongs to the longer stem.
        fs::remove_companions(dir_, layer, [this, &layer](std::string_view name) {
            for (const std::string &other : claimed_stems_)
                if (other.size() > layer.size() && fs::is_companion(name, other)) return true;
            return false;
        });
    }
    return path;
}

void OutputDirectory::claim(const std::string &layer, const std::string &source) {
    require_safe_file_name(layer);
    std::string path = path_of(layer);
    std::lock_guard<std::mutex> lock(mutex_);
    claim_or_throw(claims_, path, layer, source);
    folded_.claim(ascii_lower(layer + extension_), layer, path);
    claimed_stems_.push_back(layer);
}

void OutputDirectory::install(const std::string &layer, const std::string &staging,
                              const std::vector<std::string> &names, bool overwrite) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string &name : names) {
        const std::string from = fs::join(staging, name);
        const std::string to = fs::join(dir_, name);
        if (std::rename(from.c_str(), to.c_str()) != 0) throw OsError{errno, to};
    }
    if (!overwrite) return;
    fs::remove_companions(dir_, layer, [&](std::string_view name) {
        if (std::find(names.begin(), names.end(), name) != names.end()) return true;
        for (const std::string &other : claimed_stems_)
            if (other.size() > layer.size() && fs::is_companion(name, other)) return true;
        return false;
    });
}

}  // namespace voriviv::geofileops
