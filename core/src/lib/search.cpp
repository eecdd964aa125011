// Search contexts: successive matches of one pattern in a range of a
// session's content, found window by window with the skip-table matcher.
#include <algorithm>

#include "impl_/search_context_def.hpp"
#include "impl_/session_def.hpp"
#include "skarn_edit.hpp"

void skarn_search_destroy_context(skarn_search_context_struct *context) noexcept {
    if (context == nullptr) return;
    auto &list = context->session->search_contexts;
    const auto found = std::find_if(list.rbegin(), list.rend(), [context](const auto &c) { return c.get() == context; });
    if (found == list.rend()) return;
    skarn::area_release(context->pattern, context->pattern_length);
    skarn_find_destroy_skip_table(context->skip_table);
    list.erase(std::next(found).base());
}
