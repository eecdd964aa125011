// The skip-table (Boyer-Moore-Horspool) matcher over buffers in memory.
#ifndef SKARN_ENGINE_MATCHER_HPP
#define SKARN_ENGINE_MATCHER_HPP

#include <cstdint>

#include "engine/skip_table.hpp"

namespace skarn {

// The skip table of `pattern` (`length` bytes, not null unless 0) for
// scanning forwards or, with `reverse`, backwards; null when the pattern is
// too long or memory is short. The caller deletes it.
skarn_find_skip_table_struct *create_skip_table(const uint8_t *pattern, int64_t length, bool reverse) noexcept;

// The first match of `needle` in `haystack` in the table's direction (the
// lowest start forwards, the highest backwards), or null; the pointers are
// not null.
const uint8_t *find(const uint8_t *haystack, int64_t haystack_length, const skarn_find_skip_table_struct &table,
                    const uint8_t *needle, int64_t needle_length) noexcept;

}  // namespace skarn

#endif  // SKARN_ENGINE_MATCHER_HPP
