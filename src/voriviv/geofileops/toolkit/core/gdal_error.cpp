#include "toolkit/core/gdal_error.hpp"
#include "toolkit/core/write_cache.hpp"

#include <algorithm>
#include <utility>

#include <cpl_error.h>

#include "toolkit/core/progress.hpp"

namespace voriviv::geofileops {

static_assert(GdalError::kAppDefined == CPLE_AppDefined && GdalError::kOpenFailed == CPLE_OpenFailed &&
              GdalError::kUserInterrupt == CPLE_UserInterrupt);

void WarningSink::add(const std::string &text) {
    const std::string msg = valid_utf8(text);
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(messages_.begin(), messages_.end(), msg) == messages_.end())
        messages_.push_back(msg);
}

void WarningSink::announce(WarningSink *sink, const std::string &msg) {
    if (sink == nullptr || !sink->held_) progress_warning(msg);
    if (sink != nullptr) sink->add(msg);
}

std::vector<std::string> WarningSink::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(messages_, {});
}

namespace {
thread_local const std::string *current_layer = nullptr;

// Length of the valid UTF-8 sequence at s[i], or 0.
std::size_t utf8_sequence(const std::string &s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else return 0;
    if (i + n > s.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}
}  // namespace

std::string valid_utf8(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_sequence(text, i);
        if (n == 0) {
            const auto c = static_cast<unsigned char>(text[i++]);
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

LayerLabel::LayerLabel(const std::string &layer) : name_(layer), previous_(current_layer) {
    current_layer = &name_;
}

LayerLabel::~LayerLabel() { current_layer = previous_; }

std::string LayerLabel::prefix() {
    return current_layer ? "Layer '" + valid_utf8(*current_layer) + "': " : std::string();
}

ErrorScope::ErrorScope(WarningSink *sink) : sink_(sink) {
    CPLErrorReset();
    CPLPushErrorHandlerEx(
        [](CPLErr c, CPLErrorNum n, const char *m) { handler(c, n, m); }, this);
}

ErrorScope::~ErrorScope() { CPLPopErrorHandler(); }

void ErrorScope::handler(int err_class, int err_no, const char *msg) {
    auto *self = static_cast<ErrorScope *>(CPLGetErrorHandlerUserData());
    // Paths as the caller named them, not as GDAL was given them.
    std::string text = without_write_cache_prefix(valid_utf8(msg ? msg : ""));
    if (err_class == CE_Failure || err_class == CE_Fatal) {
        // A damaged source can report one failure per feature: keep the
        // first few distinct ones, which say what went wrong.
        if (self->failures_.size() < kMaxFailures &&
            std::find(self->failures_.begin(), self->failures_.end(), text) ==
                self->failures_.end())
            self->failures_.push_back(std::move(text));
        if (!self->failed_) self->first_err_no_ = err_no;
        self->failed_ = true;
    } else if (err_class == CE_Warning && self->sink_ != nullptr) {
        WarningSink::announce(self->sink_, LayerLabel::prefix() + text);
    }
}

void ErrorScope::raise_if_failed() const {
    if (failures_.empty()) return;
    std::string joined = LayerLabel::prefix() + failures_.front();
    for (size_t i = 1; i < failures_.size(); ++i) joined += "\n" + failures_[i];
    throw GdalError(joined, first_err_no_);
}

}  // namespace voriviv::geofileops
