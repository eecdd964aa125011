// The skip-table (Boyer-Moore-Horspool) matcher over buffers in memory.
//
// A table holds, for every byte value, how far the pattern may jump when that
// byte sits under the anchor: the pattern's last byte when scanning forwards,
// its first byte when scanning backwards. One-byte patterns need no table and
// go straight to the plain byte search.
#include "skarn_edit/find.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "impl_/find_def.hpp"
#include "skarn_edit/utility.h"

namespace {

// Pattern positions are counted in 32 bits while the table is built.
constexpr int64_t max_pattern_length = INT32_MAX;
constexpr size_t table_size = 256;

}  // namespace

skarn_find_skip_table_struct *skarn_find_create_skip_table(const uint8_t *pattern, int64_t length,
                                                           int is_reverse) noexcept {
    if (length < 0 || length > max_pattern_length || (pattern == nullptr && length > 0)) return nullptr;
    try {
        auto table = std::make_unique<skarn_find_skip_table_struct>();
        table->is_reversed = is_reverse != 0 ? 1 : 0;
        if (length == 1) return table.release();

        const auto n = static_cast<int32_t>(length);
        table->shifts.assign(table_size, n);
        if (n == 0) return table.release();

        // Later writes win, so a repeated byte keeps the smallest distance to the anchor.
        const int32_t m = n - 1;
        if (table->is_reversed == 0) {
            for (int32_t i = 0; i < m; ++i) table->shifts[pattern[i]] = m - i;
        } else {
            for (int32_t j = m; j >= 1; --j) table->shifts[pattern[j]] = j;
        }
        return table.release();
    } catch (...) {
        return nullptr;
    }
}

void skarn_find_destroy_skip_table(skarn_find_skip_table_struct *table) noexcept { delete table; }

int skarn_find_is_reversed(const skarn_find_skip_table_struct *table) noexcept {
    return table != nullptr && table->is_reversed != 0 ? 1 : 0;
}

const uint8_t *skarn_find(const uint8_t *haystack, int64_t haystack_length, const skarn_find_skip_table_struct *table,
                          const uint8_t *needle, int64_t needle_length) noexcept {
    if (haystack == nullptr || table == nullptr || needle == nullptr) return nullptr;
    if (needle_length <= 0 || haystack_length < 0) return nullptr;
    if (static_cast<uint64_t>(needle_length) > static_cast<uint64_t>(haystack_length)) return nullptr;

    const bool reversed = table->is_reversed != 0;
    if (needle_length == 1) {
        const auto count = static_cast<size_t>(haystack_length);
        const void *hit = reversed ? skarn_util_memrchr(haystack, needle[0], haystack_length)
                                   : std::memchr(haystack, needle[0], count);
        return static_cast<const uint8_t *>(hit);
    }

    // A table of another shape (a one-byte or empty pattern's) would never advance.
    if (table->shifts.size() != table_size || table->shifts[0] < 1) return nullptr;
    const int64_t *shifts = table->shifts.data();
    const auto n = static_cast<size_t>(needle_length);

    if (!reversed) {
        const auto last = static_cast<uint64_t>(haystack_length - needle_length);
        const uint8_t anchor = needle[n - 1];
        for (uint64_t p = 0; p <= last;) {
            const uint8_t b = haystack[p + n - 1];
            if (b == anchor && std::memcmp(haystack + p, needle, n) == 0) return haystack + p;
            p += static_cast<uint64_t>(shifts[b]);
        }
    } else {
        const uint8_t anchor = needle[0];
        for (int64_t p = haystack_length - needle_length; p >= 0;) {
            const uint8_t b = haystack[p];
            if (b == anchor && std::memcmp(haystack + p, needle, n) == 0) return haystack + p;
            p -= shifts[b];
        }
    }
    return nullptr;
}
