// A viewport: a window onto a session's content, kept informed of changes.
#ifndef SKARN_ENGINE_VIEWPORT_HPP
#define SKARN_ENGINE_VIEWPORT_HPP

#include <cstdint>

#include "skarn_edit/types.h"
#include "common/saturating.hpp"
#include "engine/segment.hpp"

struct skarn_viewport_struct {
    skarn_session_struct *session = nullptr;  // not owned
    skarn_segment_struct data_segment{};      // capacity < 0 while stale
    skarn_viewport_event_cbk_t event_handler = nullptr;
    void *user_data_ptr = nullptr;
    int32_t event_interest = 0;

    skarn_viewport_struct() = default;
    skarn_viewport_struct(const skarn_viewport_struct &) = delete;
    skarn_viewport_struct &operator=(const skarn_viewport_struct &) = delete;
    ~skarn_viewport_struct() { skarn::area_release(data_segment.data, data_segment.abs_capacity()); }

    int64_t offset() const noexcept {
        return skarn::saturating_add(data_segment.offset, data_segment.offset_adjustment);
    }
    // Moves the viewport to `target`: the adjustment carries the move, unless
    // it cannot hold it, when the viewport starts again from `target`.
    void move_to(int64_t target) noexcept {
        int64_t adjustment = 0;
        if (__builtin_sub_overflow(target, data_segment.offset, &adjustment)) {
            data_segment.offset = target;
            adjustment = 0;
        }
        data_segment.offset_adjustment = adjustment;
    }
    bool stale() const noexcept { return data_segment.capacity < 0; }
    void mark_stale() noexcept { data_segment.capacity = -data_segment.abs_capacity(); }
};

#endif  // SKARN_ENGINE_VIEWPORT_HPP
