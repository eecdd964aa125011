// A search context: one pattern, one range of a session, the last match.
#ifndef SKARN_ENGINE_SEARCH_CONTEXT_HPP
#define SKARN_ENGINE_SEARCH_CONTEXT_HPP

#include <cstdint>

#include "skarn_edit/types.h"
#include "engine/byte_area.hpp"

struct skarn_search_context_struct {
    skarn_find_skip_table_struct *skip_table = nullptr;  // owned; carries the direction
    skarn_session_struct *session = nullptr;             // not owned
    int64_t pattern_length = 0;
    int64_t session_offset = 0;
    int64_t session_length = 0;
    int64_t match_offset = 0;  // session_offset + session_length when there is no current match
    skarn_util_byte_transform_t byte_transform = nullptr;  // case folding, or null
    skarn::byte_area pattern{};                            // folded for a case-insensitive search

    // The last stretch of content read (and folded), kept between calls so
    // that successive matches close together are found without reading
    // again; any change of the session's content drops it.
    skarn_segment_struct *window = nullptr;  // owned; its capacity only grows
    int64_t window_start = 0;
    int64_t window_held = 0;
    bool window_valid = false;

    const uint8_t *pattern_bytes() const noexcept { return skarn::area_bytes(pattern, pattern_length); }
};

#endif  // SKARN_ENGINE_SEARCH_CONTEXT_HPP
