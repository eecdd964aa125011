// What follows a change of a session's content.
#ifndef SKARN_ENGINE_AFTER_CHANGE_HPP
#define SKARN_ENGINE_AFTER_CHANGE_HPP

#include <cstdint>

#include "impl_/session_def.hpp"

namespace skarn {

// `change` was applied (or undone: its serial is then negative): floating
// viewports at or after its offset move with the bytes they show, the
// viewports it reaches go stale and hear of it, search windows are dropped.
void after_change(skarn_session_struct *session, const skarn_change_struct *change) noexcept;

// Whether `change` reaches the bytes `viewport` shows (or could show).
bool change_affects_viewport(const skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept;

// The whole content may have changed: every viewport goes stale, in list
// order, and with an event each one is told; search windows are dropped.
void mark_viewports_stale(skarn_session_struct *session, int32_t viewport_event = 0) noexcept;

}  // namespace skarn

#endif  // SKARN_ENGINE_AFTER_CHANGE_HPP
