// Viewports: windows onto a session's content that are read lazily and told
// through their callback when a change touches them.
#include <algorithm>
#include <memory>
#include <string>

#include "impl_/internal_fun.hpp"
#include "impl_/session_def.hpp"
#include "engine/reentry.hpp"
#include "impl_/log.hpp"
#include "impl_/viewport_def.hpp"
#include "skarn_edit.hpp"

namespace {

bool capacity_in_range(int64_t capacity) noexcept { return capacity >= 1 && capacity <= SKARN_VIEWPORT_MAX_CAPACITY; }

}  // namespace

skarn_viewport_struct *skarn_edit_create_viewport(skarn_session_struct *session, int64_t offset, int64_t capacity,
                                                  int is_floating, skarn_viewport_event_cbk_t cbk, void *user_data,
                                                  int32_t event_interest) noexcept {
    if (session == nullptr || !capacity_in_range(capacity)) return nullptr;
    return skarn::log::call(__func__, skarn::log::stream::log, static_cast<skarn_viewport_struct *>(nullptr),
                            [&]() -> skarn_viewport_struct * {
                                // The viewport list is being walked while a callback runs.
                                if (skarn::refuse_reentry(session)) return nullptr;
                                {
                                    auto viewport = std::make_shared<skarn_viewport_struct>();
                                    viewport->session = session;
                                    auto &segment = viewport->data_segment;
                                    segment.offset = offset;
                                    segment.length = 0;
                                    skarn::area_allocate(segment.data, capacity);
                                    segment.capacity = -capacity;  // stale: nothing has been read yet
                                    segment.is_floating = is_floating != 0;
                                    segment.offset_adjustment = 0;
                                    viewport->event_handler = cbk;
                                    viewport->user_data_ptr = user_data;
                                    viewport->event_interest = event_interest;
                                    session->viewports.push_back(viewport);
                                    skarn_viewport_notify(viewport.get(), VIEWPORT_EVT_CREATE, viewport.get());
                                    skarn_session_notify(session, SESSION_EVT_CREATE_VIEWPORT, viewport.get());
                                    return viewport.get();
                                }
                            });
}

void skarn_edit_destroy_viewport(skarn_viewport_struct *viewport) noexcept {
    if (viewport == nullptr) return;
    skarn_session_struct *session = viewport->session;
    skarn::log::call_void(__func__, skarn::log::stream::log, [&] {
        if (skarn::refuse_reentry(session)) return;
        auto &list = session->viewports;
        const auto found =
            std::find_if(list.rbegin(), list.rend(), [viewport](const auto &v) { return v.get() == viewport; });
        if (found == list.rend()) return;
        list.erase(std::next(found).base());  // releases the record and its bytes
        skarn_session_notify(session, SESSION_EVT_DESTROY_VIEWPORT, viewport);
    });
}

int skarn_viewport_modify(skarn_viewport_struct *viewport, int64_t offset, int64_t capacity, int is_floating) noexcept {
    if (!capacity_in_range(capacity)) return -1;
    auto &segment = viewport->data_segment;
    const bool floating = is_floating != 0;
    if (offset == segment.offset && capacity == segment.abs_capacity() && floating == segment.is_floating) return 0;
    skarn::byte_area area{};
    try {
        skarn::area_allocate(area, capacity);
    } catch (...) {
        return -1;  // out of memory: the viewport stays as it was
    }
    skarn::area_release(segment.data, segment.abs_capacity());
    segment.data = area;
    segment.offset = offset;
    segment.offset_adjustment = 0;
    segment.is_floating = floating;
    segment.capacity = -capacity;
    skarn_viewport_notify(viewport, VIEWPORT_EVT_MODIFY, nullptr);
    return 0;
}

const uint8_t *skarn_viewport_get_data(skarn_viewport_struct *viewport) noexcept {
    auto &segment = viewport->data_segment;
    if (segment.capacity < 0) {
        // The flag is cleared before the read: a failed read is not retried.
        segment.capacity = -segment.capacity;
        if (populate_data_segment_(viewport->session, &segment) != 0) return nullptr;
        // Over empty content the fill leaves the area untouched: end the bytes here.
        segment.bytes()[segment.length] = 0;
    }
    return segment.bytes();
}

int64_t skarn_viewport_get_length(const skarn_viewport_struct *viewport) noexcept {
    if (!viewport->stale()) return viewport->data_segment.length;
    if (viewport->offset() < 0) return 0;  // nothing can be read before the content
    const int64_t available =
        skarn::saturating_sub(skarn_session_get_computed_file_size(viewport->session), viewport->offset());
    return std::min(viewport->data_segment.abs_capacity(), std::max<int64_t>(available, 0));
}

int64_t skarn_viewport_get_offset(const skarn_viewport_struct *viewport) noexcept { return viewport->offset(); }

int64_t skarn_viewport_get_capacity(const skarn_viewport_struct *viewport) noexcept {
    return viewport->data_segment.abs_capacity();
}

int64_t skarn_viewport_get_following_byte_count(const skarn_viewport_struct *viewport) noexcept {
    return skarn::saturating_sub(
        skarn::saturating_sub(skarn_session_get_computed_file_size(viewport->session), viewport->offset()),
        skarn_viewport_get_length(viewport));
}

int skarn_viewport_has_changes(const skarn_viewport_struct *viewport) noexcept { return viewport->stale() ? 1 : 0; }

int skarn_viewport_in_segment(const skarn_viewport_struct *viewport, int64_t offset, int64_t length) noexcept {
    const int64_t start = viewport->offset();
    return skarn::saturating_add(offset, length) >= start &&
                   offset <= skarn::saturating_add(start, viewport->data_segment.abs_capacity())
               ? 1
               : 0;
}

int skarn_viewport_is_floating(const skarn_viewport_struct *viewport) noexcept {
    return viewport->data_segment.is_floating ? 1 : 0;
}

const skarn_session_struct *skarn_viewport_get_session(const skarn_viewport_struct *viewport) noexcept {
    return viewport->session;
}

skarn_viewport_event_cbk_t skarn_viewport_get_event_cbk(const skarn_viewport_struct *viewport) noexcept {
    return viewport->event_handler;
}

void *skarn_viewport_get_user_data_ptr(const skarn_viewport_struct *viewport) noexcept {
    return viewport->user_data_ptr;
}

int32_t skarn_viewport_get_event_interest(const skarn_viewport_struct *viewport) noexcept {
    return viewport->event_interest;
}

int32_t skarn_viewport_set_event_interest(skarn_viewport_struct *viewport, int32_t interest) noexcept {
    viewport->event_interest = interest;
    return viewport->event_interest;
}

int skarn_viewport_notify(const skarn_viewport_struct *viewport, int32_t event, const void *event_ptr) noexcept {
    if (viewport->event_handler == nullptr || (viewport->event_interest & event) == 0 ||
        skarn_session_viewport_event_callbacks_paused(viewport->session) != 0) {
        return 0;
    }
    const skarn::callback_scope running(viewport->session);
    viewport->event_handler(viewport, event, event_ptr);
    return 1;
}

std::string skarn_viewport_get_string(const skarn_viewport_struct *viewport) noexcept {
    try {
        auto *mutable_viewport = const_cast<skarn_viewport_struct *>(viewport);
        const uint8_t *data = skarn_viewport_get_data(mutable_viewport);
        if (data == nullptr) return {};
        return std::string(reinterpret_cast<const char *>(data),
                           static_cast<size_t>(skarn_viewport_get_length(viewport)));
    } catch (...) {
        return {};
    }
}

int skarn_session_notify_changed_viewports(const skarn_session_struct *session) noexcept {
    int called = 0;
    for (const auto &viewport : session->viewports) {
        if (viewport->stale()) called += skarn_viewport_notify(viewport.get(), VIEWPORT_EVT_CHANGES, nullptr);
    }
    return called;
}

void skarn_session_pause_viewport_event_callbacks(skarn_session_struct *session) noexcept {
    session->flags |= skarn::flag_viewport_callbacks_paused;
}

void skarn_session_resume_viewport_event_callbacks(skarn_session_struct *session) noexcept {
    session->flags &= static_cast<uint8_t>(~skarn::flag_viewport_callbacks_paused);
}

int skarn_session_viewport_event_callbacks_paused(const skarn_session_struct *session) noexcept {
    return session->has_flag(skarn::flag_viewport_callbacks_paused) ? 1 : 0;
}
