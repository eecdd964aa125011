// Walks over the changes in force at a session's current level: in one call
// with a callback, or step by step with a caller-owned context.
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "engine/session.hpp"
#include "engine/visit.hpp"
#include "skarn_edit.h"

namespace {

using change_list = std::vector<skarn::change_ptr>;

const change_list &changes_of(const skarn_session_struct *session) noexcept { return session->current().changes; }

}  // namespace

int skarn_visit_changes(const skarn_session_struct *session, skarn_visit_changes_cbk_t cbk, void *user_data) noexcept {
    if (session == nullptr || cbk == nullptr) return 0;
    const change_list &changes = changes_of(session);
    for (size_t i = 0; i < changes.size(); ++i) {
        if (const int result = cbk(changes[i].get(), user_data); result != 0) return result;
    }
    return 0;
}

int skarn_visit_changes_reverse(const skarn_session_struct *session, skarn_visit_changes_cbk_t cbk,
                                void *user_data) noexcept {
    if (session == nullptr || cbk == nullptr) return 0;
    const change_list &changes = changes_of(session);
    for (size_t i = changes.size(); i > 0; --i) {
        // The callback may have shortened the list (undo, clear): go on from its end.
        if (i > changes.size() && (i = changes.size()) == 0) break;
        if (const int result = cbk(changes[i - 1].get(), user_data); result != 0) return result;
    }
    return 0;
}

skarn_visit_change_context_struct *skarn_visit_change_create_context(const skarn_session_struct *session,
                                                                     int reverse) noexcept {
    if (session == nullptr) return nullptr;
    auto *context = new (std::nothrow) skarn_visit_change_context_struct;
    if (context == nullptr) return nullptr;
    context->session = session;
    context->reverse = reverse != 0 ? 1 : 0;
    context->at_end = 1;
    return context;
}

int skarn_visit_change_begin(skarn_visit_change_context_struct *context) noexcept {
    if (context == nullptr) return 0;
    const change_list &changes = changes_of(context->session);
    if (changes.empty()) {
        // Nothing to visit: the walk is over before it starts.
        context->position.reset();
        context->at_end = 1;
        return 0;
    }
    if (!context->position) {
        context->position.reset(new (std::nothrow) size_t{0});
        if (!context->position) {
            context->at_end = 1;
            return 0;
        }
    }
    *context->position = context->reverse != 0 ? changes.size() - 1 : 0;
    context->at_end = 0;
    return 0;
}

int skarn_visit_change_next(skarn_visit_change_context_struct *context) noexcept {
    // Before a begin, and once the walk is over, the context stays where it is.
    if (context == nullptr || !context->position || context->at_end != 0) return 1;
    const size_t size = changes_of(context->session).size();
    size_t &position = *context->position;
    if (context->reverse != 0) {
        if (position == 0 || position > size) {
            context->at_end = 1;
        } else {
            --position;
        }
    } else {
        ++position;
    }
    // A position beyond the list (which can only follow a change to the
    // session) also ends the walk, so that a step loop always terminates.
    if (position >= size) context->at_end = 1;
    return context->at_end;
}

int skarn_visit_change_at_end(const skarn_visit_change_context_struct *context) noexcept {
    return context == nullptr ? 1 : context->at_end;
}

const skarn_change_struct *skarn_visit_change_context_get_change(
    const skarn_visit_change_context_struct *context) noexcept {
    if (context == nullptr || !context->position || context->at_end != 0) return nullptr;
    const change_list &changes = changes_of(context->session);
    if (*context->position >= changes.size()) return nullptr;
    return changes[*context->position].get();
}

void skarn_visit_change_destroy_context(skarn_visit_change_context_struct *context) noexcept { delete context; }
