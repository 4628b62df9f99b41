#include "toolkit/work_items.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "toolkit/pyboundary.hpp"

namespace nb = nanobind;

namespace geofileops {

std::vector<WorkName> work_names(nb::handle items, const char *param) {
    std::vector<WorkName> out;
    for (nb::handle item : items) {
        WorkName w;
        try {
            require_exact(item, &PyUnicode_Type, param);
            w.name = utf8(item);
        } catch (nb::python_error &) {
            w.error = std::current_exception();
        }
        out.push_back(std::move(w));
    }
    return out;
}

struct DestinationLock::Entry {
    std::mutex mutex;
};

namespace {
std::mutex registry_mutex;
std::map<std::string, std::unique_ptr<DestinationLock::Entry>> &registry() {
    static std::map<std::string, std::unique_ptr<DestinationLock::Entry>> r;
    return r;
}
}  // namespace

DestinationLock::DestinationLock(const std::string &path) {
    std::error_code ec;
    std::string key = std::filesystem::weakly_canonical(path, ec).string();
    if (ec) key = path;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        auto &slot = registry()[key];
        if (!slot) slot = std::make_unique<Entry>();
        entry_ = slot.get();
    }
    entry_->mutex.lock();
}

DestinationLock::~DestinationLock() { entry_->mutex.unlock(); }

}  // namespace geofileops
