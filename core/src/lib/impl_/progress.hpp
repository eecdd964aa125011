// Progress of one long operation, told to the session's progress callback at
// most once per progress_step bytes and once more at the end. A callback that
// returns non-zero cancels: the meter remembers it and the operation unwinds.
#ifndef SKARN_IMPL_PROGRESS_HPP
#define SKARN_IMPL_PROGRESS_HPP

#include <cstdint>

#include "impl_/log.hpp"
#include "skarn_edit/options.h"

namespace skarn {

constexpr int64_t progress_step = int64_t{4} << 20;

class progress_meter {
public:
    // A meter that tells nobody and never cancels.
    progress_meter() noexcept = default;
    // `callback_depth` (may be null) counts the session's callbacks running,
    // so that calls from inside this one are refused like those from events.
    progress_meter(skarn_progress_cbk_t callback, void *user_data, int32_t operation, int64_t total,
                   int32_t *callback_depth = nullptr) noexcept
        : callback_(callback), user_data_(user_data), operation_(operation), total_(total), depth_(callback_depth) {}

    // Counts `bytes` more as done; calls back once a step has passed since the
    // last call. False once the operation is cancelled.
    bool advance(int64_t bytes) noexcept {
        done_ += bytes;
        if (callback_ == nullptr || cancelled_) return !cancelled_;
        if (done_ - reported_ >= progress_step) return report(total_);
        return true;
    }

    // The last call, with done == total (a total not known beforehand becomes
    // what was done). False when the operation is cancelled.
    bool finish() noexcept {
        if (callback_ == nullptr || cancelled_) return !cancelled_;
        if (total_ < 0) total_ = done_;
        if (reported_ == total_ && reported_any_) return true;  // the total was told already
        done_ = total_;
        return report(total_);
    }

    // Another total, for an operation that learns its size late.
    void set_total(int64_t total) noexcept { total_ = total; }

    bool cancelled() const noexcept { return cancelled_; }
    bool watched() const noexcept { return callback_ != nullptr; }
    int64_t done() const noexcept { return done_; }

private:
    bool report(int64_t total) noexcept {
        reported_ = done_;
        reported_any_ = true;
        if (depth_ != nullptr) ++*depth_;
        {
            const log::host_callback host;  // the callback's own calls are the host's
            if (callback_(operation_, done_, total, user_data_) != 0) cancelled_ = true;
        }
        if (depth_ != nullptr) --*depth_;
        return !cancelled_;
    }

    skarn_progress_cbk_t callback_ = nullptr;
    void *user_data_ = nullptr;
    int32_t operation_ = 0;
    int64_t total_ = 0;
    int32_t *depth_ = nullptr;
    int64_t done_ = 0;
    int64_t reported_ = 0;
    bool reported_any_ = false;
    bool cancelled_ = false;
};

}  // namespace skarn

#endif  // SKARN_IMPL_PROGRESS_HPP
