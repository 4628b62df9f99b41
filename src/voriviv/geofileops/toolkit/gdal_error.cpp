#include "toolkit/gdal_error.hpp"

#include <algorithm>
#include <utility>

#include <cpl_error.h>

namespace geofileops {

void WarningSink::add(const std::string &msg) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(messages_.begin(), messages_.end(), msg) == messages_.end())
        messages_.push_back(msg);
}

std::vector<std::string> WarningSink::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(messages_, {});
}

ErrorScope::ErrorScope(WarningSink *sink) : sink_(sink) {
    CPLErrorReset();
    CPLPushErrorHandlerEx(
        [](CPLErr c, CPLErrorNum n, const char *m) { handler(c, n, m); }, this);
}

ErrorScope::~ErrorScope() { CPLPopErrorHandler(); }

void ErrorScope::handler(int err_class, int, const char *msg) {
    auto *self = static_cast<ErrorScope *>(CPLGetErrorHandlerUserData());
    std::string text = msg ? msg : "";
    if (err_class == CE_Failure || err_class == CE_Fatal) {
        // A damaged source can report one failure per feature: keep the
        // first few distinct ones, which say what went wrong.
        if (self->failures_.size() < kMaxFailures &&
            std::find(self->failures_.begin(), self->failures_.end(), text) ==
                self->failures_.end())
            self->failures_.push_back(std::move(text));
        self->failed_ = true;
    } else if (err_class == CE_Warning && self->sink_ != nullptr) {
        self->sink_->add(text);
    }
}

void ErrorScope::raise_if_failed() const {
    if (failures_.empty()) return;
    std::string joined = failures_.front();
    for (size_t i = 1; i < failures_.size(); ++i) joined += "\n" + failures_[i];
    throw GdalError(joined);
}

}  // namespace geofileops
