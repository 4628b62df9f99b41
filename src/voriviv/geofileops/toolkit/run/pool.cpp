#include "toolkit/run/pool.hpp"

#include <utility>

namespace voriviv::geofileops {

ThreadPool::~ThreadPool() {
    close();
    join();
}

void ThreadPool::submit(Task task) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(task));
    ++pending_;
    if (queue_.size() > idle_ && threads_.size() < max_threads_) {
        try {
            threads_.emplace_back([this] { worker_loop(); });
            return;
        } catch (...) {
            // No thread at all would leave the task waiting forever: take it
            // back and fail the submission. Otherwise the running threads
            // will get to it.
            if (threads_.empty()) {
                queue_.pop_back();
                --pending_;
                throw;
            }
        }
    }
    work_cv_.notify_one();
}

void ThreadPool::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    work_cv_.notify_all();
}

std::size_t ThreadPool::skip_queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = queue_.size();
    queue_.clear();
    pending_ -= n;
    closed_ = true;
    work_cv_.notify_all();
    done_cv_.notify_all();
    return n;
}

bool ThreadPool::wait_all(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto done = [this] { return pending_ == 0; };
    if (ms < 0) {
        done_cv_.wait(lock, done);
        return true;
    }
    return done_cv_.wait_for(lock, std::chrono::milliseconds(ms), done);
}

void ThreadPool::join() {
    close();
    for (auto &t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

std::exception_ptr ThreadPool::first_failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_failure_;
}

std::vector<std::exception_ptr> ThreadPool::take_failures() {
    std::lock_guard<std::mutex> lock(mutex_);
    first_failure_ = nullptr;
    return std::exchange(failures_, {});
}

void ThreadPool::worker_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idle_;
        work_cv_.wait(lock, [this] { return !queue_.empty() || closed_; });
        --idle_;
        if (queue_.empty()) return;  // closed and drained
        Task task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        std::exception_ptr failure;
        try {
            task();
        } catch (...) {
            failure = std::current_exception();
        }
        // Drop the task (and what it captured) before reporting it done.
        task = nullptr;
        lock.lock();
        if (failure) {
            if (!first_failure_) first_failure_ = failure;
            failures_.push_back(failure);
        }
        if (--pending_ == 0) done_cv_.notify_all();
        if (failure) {
            // A dropped failure may hold a Python exception, and releasing
            // that takes the GIL. Never wait for the GIL under our lock: the
            // calling thread holds the GIL while it submits or closes.
            lock.unlock();
            failure = nullptr;
            lock.lock();
        }
    }
}

}  // namespace voriviv::geofileops
