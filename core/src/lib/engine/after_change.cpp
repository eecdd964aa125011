// What follows a change of a session's content: floating viewports move
// with the bytes they show, the viewports the change reaches go stale and
// hear of it, and the search contexts forget the content they held.
#include "engine/after_change.hpp"

#include <algorithm>

#include "impl_/saturating.hpp"
#include "impl_/search_context_def.hpp"
#include "impl_/viewport_def.hpp"
#include "skarn_edit.hpp"

namespace skarn {

bool change_affects_viewport(const skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept {
    switch (change->change_kind()) {
        case CHANGE_OVERWRITE: return skarn_viewport_in_segment(viewport, change->offset, change->length) != 0;
        case CHANGE_INSERT:
        case CHANGE_DELETE:
            return change->offset <= saturating_add(viewport->offset(), viewport->data_segment.abs_capacity());
        default: SKARN_FATAL("Unhandled change kind");
    }
}

namespace {

// Moves a floating viewport past bytes that `change` removed in front of it;
// it never lands before the change's offset.
void float_back(skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept {
    viewport->move_to(std::max(skarn::saturating_sub(viewport->offset(), change->length), change->offset));
}

// Moves a floating viewport past bytes that `change` added in front of it;
// it stops at the largest offset there is.
void float_forward(skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept {
    viewport->move_to(skarn::saturating_add(viewport->offset(), change->length));
}

// The content changed: what search contexts kept of it is stale.
void drop_search_windows(skarn_session_struct *session) noexcept {
    for (const auto &context : session->search_contexts) context->window_valid = false;
}

}  // namespace

void after_change(skarn_session_struct *session, const skarn_change_struct *change) noexcept {
    drop_search_windows(session);
    const bool undone = change->serial <= 0;
    for (const auto &viewport : session->viewports) {
        auto &segment = viewport->data_segment;
        if (segment.is_floating && change->offset <= viewport->offset()) {
            // An undone change moves floating viewports the opposite way, so
            // that they show the same bytes after an edit and its undo.
            switch (change->change_kind()) {
                case CHANGE_DELETE:
                    if (undone)
                        float_forward(viewport.get(), change);
                    else
                        float_back(viewport.get(), change);
                    break;
                case CHANGE_INSERT:
                    if (undone)
                        float_back(viewport.get(), change);
                    else
                        float_forward(viewport.get(), change);
                    break;
                default: break;  // an overwrite moves nothing
            }
        }
        if (change_affects_viewport(viewport.get(), change)) {
            viewport->mark_stale();
            skarn_viewport_notify(viewport.get(), undone ? VIEWPORT_EVT_UNDO : VIEWPORT_EVT_EDIT, change);
        }
    }
}

void mark_viewports_stale(skarn_session_struct *session, int32_t viewport_event) noexcept {
    drop_search_windows(session);
    for (const auto &viewport : session->viewports) {
        viewport->mark_stale();
        if (viewport_event != 0) skarn_viewport_notify(viewport.get(), viewport_event, nullptr);
    }
}

}  // namespace skarn
