// The streams of the COPY load: a layer split into parts, read on threads of
// their own, whose rows one COPY stream takes in (copy_internal.hpp).
#include "toolkit/pg/copy/copy_internal.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <ogr_api.h>

namespace voriviv::geofileops {

namespace {

// Blocks of COPY rows from several parts on their way to the one COPY
// stream. Bounded: a part that runs ahead waits for the sender.
class BlockQueue {
public:
    BlockQueue(std::size_t capacity, int producers) : capacity_(capacity), producers_(producers) {}

    // False when the load stopped and the block is not wanted.
    bool put(std::string &&block) {
        std::unique_lock<std::mutex> lock(m_);
        room_.wait(lock, [&] { return aborted_ || q_.size() < capacity_; });
        if (aborted_) return false;
        q_.push_back(std::move(block));
        ready_.notify_one();
        return true;
    }
    // A producer has put its last block.
    void producer_done() {
        std::lock_guard<std::mutex> lock(m_);
        --producers_;
        ready_.notify_all();
    }
    // Wakes everyone; later puts are refused and get finds no more blocks.
    void abort() {
        std::lock_guard<std::mutex> lock(m_);
        aborted_ = true;
        room_.notify_all();
        ready_.notify_all();
    }
    enum class Got { Block, Done, Timeout };
    // Waits up to 100 ms for a block.
    Got get(std::string &out) {
        std::unique_lock<std::mutex> lock(m_);
        if (!ready_.wait_for(lock, std::chrono::milliseconds(100),
                             [&] { return aborted_ || !q_.empty() || producers_ == 0; }))
            return Got::Timeout;
        if (q_.empty()) return Got::Done;  // all parts finished, or stopped
        out = std::move(q_.front());
        q_.pop_front();
        room_.notify_one();
        return Got::Block;
    }

private:
    std::mutex m_;
    std::condition_variable room_, ready_;
    std::deque<std::string> q_;
    std::size_t capacity_;
    int producers_;
    bool aborted_ = false;
};

// Whether the source dataset can be opened again by its name and reading
// can start at any feature quickly, so that the layer can be read in parts.
bool splittable(GDALDatasetH src, OGRLayerH layer) {
    const char *name = GDALGetDescription(src);
    return name != nullptr && *name != '\0' && OGR_L_TestCapability(layer, OLCFastSetNextByIndex);
}

}  // namespace

std::vector<Part> split_layer(const CopyJob &job) {
    // A count the source has at hand (a header's); -1 where counting would
    // read the whole layer (a MapInfo file's count does), and then one part
    // reads it and the progress total is unknown.
    const GIntBig total = OGR_L_GetFeatureCount(job.layer, FALSE);
    int n = 1;
    const int streams = std::min(job.source.streams, job.settings.parts);
    if (streams > 1 && total >= 2 * kMinStreamFeatures && splittable(job.source.dataset, job.layer))
        n = static_cast<int>(std::min<GIntBig>(streams, total / kMinStreamFeatures));
    std::vector<Part> parts(n);
    const FeatureCounter counter = FeatureCounter::of_current_item(total);
    for (int k = 0; k < n; ++k) {
        parts[k].counter = counter;
        parts[k].first = total * k / n;
        parts[k].count = k + 1 < n ? total * (k + 1) / n - parts[k].first : -1;
    }
    return parts;
}

void send_parts(const RowFormat &f, const CopyJob &job, std::vector<Part> &parts) {
    PgSession &session = job.target.session;
    std::atomic<bool> stop{false};
    if (parts.size() == 1) {
        produce(f, job, parts[0], false, stop, [&session](std::string &block) {
            session.put_copy_data(block);
            return true;
        });
        return;
    }
    BlockQueue queue(4 * parts.size(), static_cast<int>(parts.size()));
    auto run = [&](std::size_t k) {
        try {
            produce(f, job, parts[k], k != 0, stop,
                    [&queue](std::string &block) { return queue.put(std::move(block)); });
        } catch (const NotCovered &) {
            parts[k].not_covered = true;
            stop = true;
            queue.abort();
        } catch (...) {
            parts[k].failure = std::current_exception();
            stop = true;
            queue.abort();
        }
        queue.producer_done();
    };
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < parts.size(); ++k) threads.emplace_back(run, k);
    std::exception_ptr send_failure;
    try {
        std::string block;
        for (;;) {
            const BlockQueue::Got got = queue.get(block);
            if (got == BlockQueue::Got::Done) break;
            if (job.cancelled()) throw Cancelled();
            if (got == BlockQueue::Got::Block) session.put_copy_data(block);
        }
    } catch (...) {
        send_failure = std::current_exception();
        stop = true;
        queue.abort();
    }
    for (auto &t : threads) t.join();
    for (const auto &p : parts)
        if (p.not_covered) throw NotCovered{};
    // A part's own failure comes before the stops it caused in the others.
    std::exception_ptr first = send_failure;
    for (const auto &p : parts) {
        if (!p.failure) continue;
        try { std::rethrow_exception(p.failure); }
        catch (const Cancelled &) { if (!first) first = p.failure; continue; }
        catch (...) { std::rethrow_exception(p.failure); }
    }
    if (first) std::rethrow_exception(first);
}

}  // namespace voriviv::geofileops
