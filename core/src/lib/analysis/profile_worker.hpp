// Counting a byte profile on a second thread while the caller reads on.
//
// The histogram is the slowest part of analysing text: counting pairs of
// bytes takes about twice as long as reading them. On a long range the
// windows handed in are therefore copied into batches that a worker thread
// counts while the caller reads (and counts the characters of) the next
// ones. Memory use is two batches, whatever the range's length.
//
// Invariants:
//   1. While the worker runs, only it touches the counter; the caller does
//      again once finish() has returned.
//   2. Every byte handed to add() has been counted when finish() returns,
//      so that a profile cut short by a failure holds what was read.
//   3. The worker is joined before finish() returns, and the destructor
//      finishes: no thread outlives the counting.
//   4. Where no second processor, no memory for the batches or no thread can
//      be had, add() counts in the caller's thread, with the same results.
#ifndef SKARN_ANALYSIS_PROFILE_WORKER_HPP
#define SKARN_ANALYSIS_PROFILE_WORKER_HPP

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "analysis/byte_profile.hpp"

namespace skarn {

// Ranges from this length on are counted by a worker: below it, starting a
// thread costs more than it saves. A white-box test lowers it.
inline std::atomic<int64_t> profile_worker_threshold{int64_t{16} << 20};

class profile_worker {
public:
    // Counts into `counter` the bytes of a range of `length` bytes.
    profile_worker(profile_counter &counter, int64_t length) noexcept;
    ~profile_worker() { finish(); }
    profile_worker(const profile_worker &) = delete;
    profile_worker &operator=(const profile_worker &) = delete;

    // Counts the next `count` bytes (at least one) of the range.
    void add(const uint8_t *bytes, int64_t count) noexcept;
    // Waits until every byte added is counted.
    void finish() noexcept;

private:
    static constexpr int64_t batch_size = int64_t{1} << 20;

    void hand_over() noexcept;
    void run() noexcept;

    profile_counter &counter_;
    std::unique_ptr<uint8_t[]> filling_;   // the batch the caller copies into
    std::unique_ptr<uint8_t[]> counting_;  // the batch the worker counts
    int64_t filled_ = 0;
    int64_t to_count_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool has_work_ = false;  // counting_ holds to_count_ bytes not yet counted
    bool stopping_ = false;
    std::thread thread_;  // not joinable: counting in the caller's thread
};

}  // namespace skarn

#endif  // SKARN_ANALYSIS_PROFILE_WORKER_HPP
