// A search context: one pattern, one range of a session, the last match.
#ifndef SKARN_IMPL_SEARCH_CONTEXT_DEF_HPP
#define SKARN_IMPL_SEARCH_CONTEXT_DEF_HPP

#include <cstdint>

#include "skarn_edit/types.h"
#include "impl_/byte_area.hpp"

struct skarn_search_context_struct {
    skarn_find_skip_table_struct *skip_table = nullptr;  // owned; carries the direction
    skarn_session_struct *session = nullptr;             // not owned
    int64_t pattern_length = 0;
    int64_t session_offset = 0;
    int64_t session_length = 0;
    int64_t match_offset = 0;  // session_offset + session_length when there is no current match
    skarn_util_byte_transform_t byte_transform = nullptr;  // case folding, or null
    skarn::byte_area pattern{};                            // folded for a case-insensitive search

    const uint8_t *pattern_bytes() const noexcept { return skarn::area_bytes(pattern, pattern_length); }
};

#endif  // SKARN_IMPL_SEARCH_CONTEXT_DEF_HPP
