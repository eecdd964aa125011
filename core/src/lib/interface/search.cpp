// The exported functions of the search family.
#include "common/log.hpp"
#include "engine/search.hpp"
#include "skarn_edit.hpp"

skarn_search_context_struct *skarn_search_create_context_bytes(skarn_session_struct *session, const uint8_t *pattern,
                                                               int64_t pattern_length, int64_t session_offset,
                                                               int64_t session_length, int is_case_insensitive,
                                                               int is_reverse_search) noexcept {
    if (session == nullptr || pattern == nullptr || pattern_length < 0) return nullptr;
    return skarn::log::call(
        __func__, skarn::log::stream::log, static_cast<skarn_search_context_struct *>(nullptr), [&] {
            return skarn::create_search_context(session, pattern, pattern_length, session_offset, session_length,
                                                is_case_insensitive != 0, is_reverse_search != 0);
        });
}

skarn_search_context_struct *skarn_search_create_context(skarn_session_struct *session, const char *pattern,
                                                         int64_t pattern_length, int64_t session_offset,
                                                         int64_t session_length, int is_case_insensitive,
                                                         int is_reverse_search) noexcept {
    return skarn_search_create_context_bytes(session, reinterpret_cast<const uint8_t *>(pattern), pattern_length,
                                             session_offset, session_length, is_case_insensitive, is_reverse_search);
}

skarn_search_context_struct *skarn_search_create_context_string(skarn_session_struct *session, std::string_view pattern,
                                                                int64_t session_offset, int64_t session_length,
                                                                bool is_case_insensitive,
                                                                bool is_reverse_search) noexcept {
    return skarn_search_create_context(session, pattern.data(), static_cast<int64_t>(pattern.size()), session_offset,
                                       session_length, is_case_insensitive ? 1 : 0, is_reverse_search ? 1 : 0);
}

int skarn_search_next_match(skarn_search_context_struct *context, int64_t advance) noexcept {
    return skarn::log::call(__func__, skarn::log::stream::log, -1, [&] { return skarn::next_match(context, advance); });
}

void skarn_search_destroy_context(skarn_search_context_struct *context) noexcept {
    if (context == nullptr) return;
    skarn::log::call_void(__func__, skarn::log::stream::log, [&] { skarn::destroy_search_context(context); });
}

int64_t skarn_search_context_get_match_offset(const skarn_search_context_struct *context) noexcept {
    return context->match_offset;
}

int64_t skarn_search_context_get_pattern_length(const skarn_search_context_struct *context) noexcept {
    return context->pattern_length;
}

int64_t skarn_search_context_get_session_offset(const skarn_search_context_struct *context) noexcept {
    return context->session_offset;
}

int64_t skarn_search_context_get_session_length(const skarn_search_context_struct *context) noexcept {
    return context->session_length;
}

int skarn_search_context_is_reverse_search(const skarn_search_context_struct *context) noexcept {
    return skarn_find_is_reversed(context->skip_table);
}
