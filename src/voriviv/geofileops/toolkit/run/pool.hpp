// A pool of at most N native threads that takes tasks first in, first out.
// Every task runs to its end; failures are kept in completion order. No
// thread outlives the pool. Nothing here touches Python.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace voriviv::geofileops {

class ThreadPool {
public:
    using Task = std::function<void()>;

    explicit ThreadPool(std::size_t max_threads) : max_threads_(max_threads) {}
    ~ThreadPool();

    // Queues a task; starts a new thread when none is idle and the limit allows.
    void submit(Task task);

    // Marks the end of submissions.
    void close();

    // Drops the tasks still queued (they never run); returns how many.
    std::size_t skip_queued();

    // Blocks until every submitted task has ended, for at most `ms` milliseconds
    // (negative: no limit). Returns true when all have ended. Call without the GIL.
    bool wait_all(int ms);

    void join();

    // First failure in completion order, or null.
    std::exception_ptr first_failure() const;

    // Every failure in completion order (taken: the pool keeps none).
    std::vector<std::exception_ptr> take_failures();

private:
    void worker_loop();

    std::size_t max_threads_;
    mutable std::mutex mutex_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::deque<Task> queue_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    std::size_t pending_ = 0;  // submitted and not yet ended
    bool closed_ = false;
    std::exception_ptr first_failure_;
    std::vector<std::exception_ptr> failures_;
};

}  // namespace voriviv::geofileops
