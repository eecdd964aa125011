// The exported functions of the find family: skip tables and the matcher.
#include "engine/matcher.hpp"
#include "skarn_edit/find.h"

skarn_find_skip_table_struct *skarn_find_create_skip_table(const uint8_t *pattern, int64_t length,
                                                           int is_reverse) noexcept {
    if (pattern == nullptr && length > 0) return nullptr;
    return skarn::create_skip_table(pattern, length, is_reverse != 0);
}

void skarn_find_destroy_skip_table(skarn_find_skip_table_struct *table) noexcept { delete table; }

int skarn_find_is_reversed(const skarn_find_skip_table_struct *table) noexcept {
    return table != nullptr && table->is_reversed != 0 ? 1 : 0;
}

const uint8_t *skarn_find(const uint8_t *haystack, int64_t haystack_length, const skarn_find_skip_table_struct *table,
                          const uint8_t *needle, int64_t needle_length) noexcept {
    if (haystack == nullptr || table == nullptr || needle == nullptr) return nullptr;
    return skarn::find(haystack, haystack_length, *table, needle, needle_length);
}
