#include "toolkit/core/progress.hpp"

#include <algorithm>
#include <cmath>

namespace voriviv::geofileops {
namespace {

// The item running on this thread.
struct Current {
    ProgressBoard *board = nullptr;
    std::size_t index = 0;
    int muted = 0;
};
thread_local Current t_current;

ProgressItem *current_item() {
    if (t_current.board == nullptr) return nullptr;
    return t_current.board->items[t_current.index].get();
}

class ItemScope {
public:
    ItemScope(ProgressBoard *board, std::size_t index) : saved_(t_current) {
        t_current = Current{board, index, 0};
    }
    ~ItemScope() { t_current = saved_; }

private:
    Current saved_;
};

// argv as one line, arguments with blanks or quotes in single quotes.
std::string command_line(const std::vector<std::string> &argv) {
    std::string out;
    for (const auto &a : argv) {
        if (!out.empty()) out += ' ';
        const bool plain = !a.empty() && a.find_first_of(" \t\n'\"\\") == std::string::npos;
        if (plain) {
            out += a;
            continue;
        }
        out += '\'';
        for (char c : a) {
            if (c == '\'') out += "'\\''";
            else out += c;
        }
        out += '\'';
    }
    return out;
}

}  // namespace

double seconds_since(ProgressClock::time_point start) {
    return std::chrono::duration<double>(ProgressClock::now() - start).count();
}

ProgressBoard::ProgressBoard(std::vector<ItemLabel> labels) {
    items.reserve(labels.size());
    for (auto &l : labels) {
        auto item = std::make_unique<ProgressItem>();
        item->label = std::move(l);
        items.push_back(std::move(item));
    }
}

void ProgressBoard::push(ItemRecord r) {
    std::lock_guard<std::mutex> lock(mutex);
    records.push_back(std::move(r));
}

void ProgressBoard::run_item(std::size_t i, const std::function<void()> &work) {
    ProgressItem &item = *items[i];
    item.start = ProgressClock::now();
    push({ItemRecord::Kind::Started, i, 0.0, nullptr});
    ItemScope scope(this, i);
    try {
        work();
    } catch (...) {
        push({ItemRecord::Kind::Failed, i, seconds_since(item.start), std::current_exception()});
        throw;
    }
    push({ItemRecord::Kind::Finished, i, seconds_since(item.start), nullptr});
}

void progress_translation_begin(const std::vector<std::string> &argv) {
    ProgressItem *item = current_item();
    if (item == nullptr) return;
    if (t_current.muted == 0) {
        item->done = 0;
        item->total = -1;
    }
    std::string line = command_line(argv);
    std::lock_guard<std::mutex> lock(t_current.board->mutex);
    t_current.board->options.emplace_back(t_current.index, std::move(line));
}

void progress_translation_step(double fraction) {
    ProgressItem *item = current_item();
    if (item == nullptr || t_current.muted > 0) return;
    // GDAL reports once per feature, with the share of its own count of the
    // source layer's features.
    const std::int64_t done = item->done.fetch_add(1, std::memory_order_relaxed) + 1;
    if (fraction > 0 && std::isfinite(fraction))
        item->total.store(std::llround(static_cast<double>(done) / fraction),
                          std::memory_order_relaxed);
}

FeatureCounter FeatureCounter::of_current_item(std::int64_t total) {
    FeatureCounter c;
    ProgressItem *item = current_item();
    if (item == nullptr || t_current.muted > 0) return c;
    item->done = 0;
    item->total = total;
    c.done_ = &item->done;
    return c;
}

void FeatureCounter::add(std::int64_t n) const {
    if (done_ != nullptr) done_->fetch_add(n, std::memory_order_relaxed);
}

void progress_set_target(const std::string &target) {
    ProgressItem *item = current_item();
    if (item == nullptr) return;
    std::lock_guard<std::mutex> lock(t_current.board->mutex);
    item->label.target = target;
}

void progress_warning(const std::string &message) {
    ProgressItem *item = current_item();
    if (item == nullptr) return;
    std::lock_guard<std::mutex> lock(t_current.board->mutex);
    if (std::find(item->warnings.begin(), item->warnings.end(), message) == item->warnings.end())
        item->warnings.push_back(message);
}

ProgressMute::ProgressMute() { ++t_current.muted; }
ProgressMute::~ProgressMute() { --t_current.muted; }

}  // namespace voriviv::geofileops
