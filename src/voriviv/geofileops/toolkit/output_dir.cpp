#include "toolkit/output_dir.hpp"

#include "toolkit/fsops.hpp"

namespace geofileops {

std::string OutputDirectory::prepare(const std::string &layer, const std::string &source,
                                     bool overwrite) {
    require_safe_file_name(layer);
    std::string path = fs::join(dir_, layer + extension_);
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

}  // namespace geofileops
