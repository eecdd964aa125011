// The skip-table (Boyer-Moore-Horspool) matcher over buffers in memory.
//
// A table holds, for every byte value, how far the pattern may jump when that
// byte sits under the anchor: the pattern's last byte when scanning forwards,
// its first byte when scanning backwards. One-byte patterns need no table and
// go straight to the plain byte search. Where the processor has vector
// instructions, most starts are first sifted many at a time by the bytes under
// both ends of the needle, and the skip loop only finishes near the edge; the
// match found is the same either way.
#include "engine/matcher.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "skarn_edit/utility.h"

namespace skarn {
namespace {

// Pattern positions are counted in 32 bits while the table is built.
constexpr int64_t max_pattern_length = INT32_MAX;
constexpr size_t table_size = 256;

#if defined(__SSE2__)
// Candidate filtering: a start is a candidate only when the bytes under both
// ends of the needle match (the anchor among them), and only candidates get
// the full comparison. The block scans below look at many starts at once and
// find the same match as the skip loop: the lowest start forwards, the highest
// backwards. Each scans, in the table's direction, from `*position` (forwards
// the lowest start not yet looked at, backwards the highest) towards the edge
// (`last` forwards, 0 backwards) and returns the match, or null with
// `*position` moved past the starts it looked at.

// Sixteen starts at a time.
const uint8_t *find_in_blocks_sse2(const uint8_t *haystack, int64_t last, const uint8_t *needle, size_t n,
                                   bool reversed, int64_t *position) noexcept {
    const __m128i first = _mm_set1_epi8(static_cast<char>(needle[0]));
    const __m128i end_byte = _mm_set1_epi8(static_cast<char>(needle[n - 1]));
    const auto candidates = [&](int64_t p) {
        const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i *>(haystack + p));
        const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i *>(haystack + p + n - 1));
        const __m128i both = _mm_and_si128(_mm_cmpeq_epi8(head, first), _mm_cmpeq_epi8(tail, end_byte));
        return static_cast<uint32_t>(_mm_movemask_epi8(both));
    };
    int64_t p = *position;
    if (!reversed) {
        for (; p + 15 <= last; p += 16) {
            for (uint32_t mask = candidates(p); mask != 0; mask &= mask - 1) {
                const int64_t q = p + __builtin_ctz(mask);
                if (std::memcmp(haystack + q, needle, n) == 0) return haystack + q;
            }
        }
    } else {
        for (; p - 15 >= 0; p -= 16) {
            for (uint32_t mask = candidates(p - 15); mask != 0;) {
                const int bit = 31 - __builtin_clz(mask);
                if (std::memcmp(haystack + p - 15 + bit, needle, n) == 0) return haystack + p - 15 + bit;
                mask &= ~(uint32_t{1} << bit);
            }
        }
    }
    *position = p;
    return nullptr;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SKARN_FIND_AVX2 1

// Candidates among the 64 starts from `at` with AVX2, as a bit mask.
__attribute__((target("avx2"))) inline uint64_t candidates_avx2(const uint8_t *at, size_t n, __m256i first,
                                                                __m256i end_byte) noexcept {
    const auto lanes = [&](const uint8_t *from) __attribute__((target("avx2"))) {
        const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
        const __m256i tail = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + n - 1));
        return _mm256_and_si256(_mm256_cmpeq_epi8(head, first), _mm256_cmpeq_epi8(tail, end_byte));
    };
    const __m256i low = lanes(at);
    const __m256i high = lanes(at + 32);
    const __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any) != 0) return 0;  // by far the common case
    return static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
           uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(high))} << 32;
}

// Sixty-four starts at a time, for processors that have AVX2.
__attribute__((target("avx2"))) const uint8_t *find_in_blocks_avx2(const uint8_t *haystack, int64_t last,
                                                                   const uint8_t *needle, size_t n, bool reversed,
                                                                   int64_t *position) noexcept {
    const __m256i first = _mm256_set1_epi8(static_cast<char>(needle[0]));
    const __m256i end_byte = _mm256_set1_epi8(static_cast<char>(needle[n - 1]));
    int64_t p = *position;
    if (!reversed) {
        for (; p + 63 <= last; p += 64) {
            for (uint64_t mask = candidates_avx2(haystack + p, n, first, end_byte); mask != 0; mask &= mask - 1) {
                const int64_t q = p + __builtin_ctzll(mask);
                if (std::memcmp(haystack + q, needle, n) == 0) return haystack + q;
            }
        }
    } else {
        for (; p - 63 >= 0; p -= 64) {
            for (uint64_t mask = candidates_avx2(haystack + p - 63, n, first, end_byte); mask != 0;) {
                const int bit = 63 - __builtin_clzll(mask);
                if (std::memcmp(haystack + p - 63 + bit, needle, n) == 0) return haystack + p - 63 + bit;
                mask &= ~(uint64_t{1} << bit);
            }
        }
    }
    *position = p;
    return nullptr;
}
#endif
#endif

}  // namespace

skarn_find_skip_table_struct *create_skip_table(const uint8_t *pattern, int64_t length, bool reverse) noexcept {
    if (length < 0 || length > max_pattern_length) return nullptr;
    try {
        auto table = std::make_unique<skarn_find_skip_table_struct>();
        table->is_reversed = reverse ? 1 : 0;
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

const uint8_t *find(const uint8_t *haystack, int64_t haystack_length, const skarn_find_skip_table_struct &table,
                    const uint8_t *needle, int64_t needle_length) noexcept {
    if (needle_length <= 0 || haystack_length < 0) return nullptr;
    if (static_cast<uint64_t>(needle_length) > static_cast<uint64_t>(haystack_length)) return nullptr;

    const bool reversed = table.is_reversed != 0;
    if (needle_length == 1) {
        const auto count = static_cast<size_t>(haystack_length);
        const void *hit = reversed ? skarn_util_memrchr(haystack, needle[0], haystack_length)
                                   : std::memchr(haystack, needle[0], count);
        return static_cast<const uint8_t *>(hit);
    }

    // A table of another shape (a one-byte or empty pattern's) would never advance.
    if (table.shifts.size() != table_size || table.shifts[0] < 1) return nullptr;
    const int64_t *shifts = table.shifts.data();
    const auto n = static_cast<size_t>(needle_length);

    // Where the skip loop starts: forwards the lowest start, backwards the highest.
    int64_t begin = reversed ? haystack_length - needle_length : 0;
#if defined(__SSE2__)
    // The block scans do the bulk of the work; the skip loop is left the
    // starts too close to the edge for a whole block.
    const int64_t last_start = haystack_length - needle_length;
#if defined(SKARN_FIND_AVX2)
    if (__builtin_cpu_supports("avx2") != 0) {
        if (const uint8_t *hit = find_in_blocks_avx2(haystack, last_start, needle, n, reversed, &begin)) return hit;
    }
#endif
    if (const uint8_t *hit = find_in_blocks_sse2(haystack, last_start, needle, n, reversed, &begin)) return hit;
#endif

    if (!reversed) {
        const auto last = static_cast<uint64_t>(haystack_length - needle_length);
        const uint8_t anchor = needle[n - 1];
        for (auto p = static_cast<uint64_t>(begin); p <= last;) {
            const uint8_t b = haystack[p + n - 1];
            if (b == anchor && std::memcmp(haystack + p, needle, n) == 0) return haystack + p;
            p += static_cast<uint64_t>(shifts[b]);
        }
    } else {
        const uint8_t anchor = needle[0];
        for (int64_t p = begin; p >= 0;) {
            const uint8_t b = haystack[p];
            if (b == anchor && std::memcmp(haystack + p, needle, n) == 0) return haystack + p;
            p -= shifts[b];
        }
    }
    return nullptr;
}

}  // namespace skarn
