// Counting a byte profile on a second thread: the caller fills one batch
// while the worker counts the other, and they swap when both are done.
#include "analysis/profile_worker.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace skarn {

profile_worker::profile_worker(profile_counter &counter, int64_t length) noexcept : counter_(counter) {
    if (length < profile_worker_threshold.load(std::memory_order_relaxed) || std::thread::hardware_concurrency() < 2) {
        return;
    }
    filling_.reset(new (std::nothrow) uint8_t[batch_size]);
    counting_.reset(new (std::nothrow) uint8_t[batch_size]);
    if (!filling_ || !counting_) return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        // No thread to be had: the caller's thread counts.
    }
}

void profile_worker::add(const uint8_t *bytes, int64_t count) noexcept {
    if (!thread_.joinable()) {
        counter_.add(bytes, count);
        return;
    }
    while (count > 0) {
        const int64_t step = std::min(count, batch_size - filled_);
        std::memcpy(filling_.get() + filled_, bytes, static_cast<size_t>(step));
        filled_ += step;
        bytes += step;
        count -= step;
        if (filled_ == batch_size) hand_over();
    }
}

void profile_worker::finish() noexcept {
    if (!thread_.joinable()) return;
    if (filled_ > 0) hand_over();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !has_work_; });
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void profile_worker::hand_over() noexcept {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !has_work_; });
        std::swap(filling_, counting_);
        to_count_ = filled_;
        has_work_ = true;
    }
    changed_.notify_all();
    filled_ = 0;
}

void profile_worker::run() noexcept {
    for (;;) {
        const uint8_t *batch = nullptr;
        int64_t count = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return has_work_ || stopping_; });
            if (!has_work_) return;
            batch = counting_.get();
            count = to_count_;
        }
        // The caller leaves the batch alone until has_work_ is cleared.
        counter_.add(batch, count);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            has_work_ = false;
        }
        changed_.notify_all();
    }
}

}  // namespace skarn
