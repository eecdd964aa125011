// Character counting 64 bytes at a time: the bits of a block's bytes (or
// units) taken with whole vectors, SSE2 or AVX2, and the counts they give
// when the block holds nothing but well-formed characters. A block with
// anything else is left to the byte-at-a-time counters, which the counts of
// a classified block always equal. Included by the character counter alone,
// so that its loops keep the vector steps inline.
#ifndef SKARN_ANALYSIS_SIMD_CHARACTER_BLOCKS_HPP
#define SKARN_ANALYSIS_SIMD_CHARACTER_BLOCKS_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include "analysis/character_counts_def.hpp"
#include "analysis/character_model.hpp"

namespace skarn::simd {

constexpr size_t block_size = 64;

// Counts gathered over many blocks, added to the record once.
struct width_totals {
    int64_t single = 0, dual = 0, triple = 0, quad = 0;

    void add_to(skarn_character_counts_struct &counts) const noexcept {
        counts.single_byte_chars += single;
        counts.double_byte_chars += dual;
        counts.triple_byte_chars += triple;
        counts.quad_byte_chars += quad;
    }
};

inline int64_t ones(uint64_t bits) noexcept { return __builtin_popcountll(bits); }

// Bit k stands for byte k of a UTF-8 block: bit 7 set, and leads of at least
// two (0xC0 and above), three (0xE0) and four (0xF0) bytes.
struct utf8_bits {
    uint64_t high, lead2, lead3, lead4;
};

// Counts a UTF-8 block that begins where a character begins. The block is
// classified when each byte is a continuation exactly where a lead before it
// within the block asks for one; a character the block's end cuts is left
// for the next block. Returns the bytes counted, or 0 for a block to count
// byte by byte.
inline size_t count_utf8_block(const utf8_bits &b, width_totals &t) noexcept {
    const uint64_t continuations = b.high & ~b.lead2;
    const uint64_t expected = (b.lead2 << 1) | (b.lead3 << 2) | (b.lead4 << 3);
    if (continuations != expected) return 0;
    // At most one lead can be cut, and it is the block's last lead.
    const uint64_t cut = (b.lead2 >> 63) | ((b.lead3 >> 62) << 1) | ((b.lead4 >> 61) << 2);
    size_t length = block_size;
    uint64_t counted = ~uint64_t{0};
    if (cut != 0) {
        length = static_cast<size_t>(63 - __builtin_clzll(b.lead2));
        counted = (uint64_t{1} << length) - 1;
    }
    const int64_t two = ones(b.lead2 & counted);
    const int64_t three = ones(b.lead3 & counted);
    const int64_t four = ones(b.lead4 & counted);
    t.single += ones(~b.high & counted);
    t.dual += two - three;
    t.triple += three - four;
    t.quad += four;
    return length;
}

// Two bits per 16-bit unit of a UTF-16 block: high and low surrogates, and
// ASCII units (at most 0x7F).
struct utf16_bits {
    uint64_t high, low, ascii;
};

// Counts a UTF-16 block that begins where a unit begins: classified when
// every low surrogate follows a high one and every high one is followed by a
// low one, the last unit excepted, which is left for the next block.
inline size_t count_utf16_block(const utf16_bits &b, width_totals &t) noexcept {
    if ((b.high << 2) != b.low) return 0;
    size_t length = block_size;
    uint64_t counted = ~uint64_t{0};
    if ((b.high >> 62) != 0) {
        length = block_size - 2;
        counted >>= 2;
    }
    const int64_t units = static_cast<int64_t>(length / 2);
    const int64_t ascii = ones(b.ascii & counted) / 2;
    t.single += ascii;
    t.dual += units - ascii - ones(b.low & counted) / 2;  // a pair is one character
    return length;
}

// Four bits per 32-bit unit of a UTF-32 block: values that are no character
// (surrogates, above 0x10FFFF), and ASCII.
struct utf32_bits {
    uint64_t invalid, ascii;
};

// Counts a UTF-32 block: classified when every value is a character.
inline size_t count_utf32_block(const utf32_bits &b, width_totals &t) noexcept {
    if (b.invalid != 0) return 0;
    const int64_t ascii = ones(b.ascii) / 4;
    t.single += ascii;
    t.quad += static_cast<int64_t>(block_size / 4) - ascii;
    return block_size;
}

// The counting loops, for a `Blocks` of the bit functions below: whole
// blocks while at least one lies before `m`, as the byte-at-a-time counters
// (character_model.hpp) have it, whose arguments and result they take.
// Inlined into a caller built for the instructions `Blocks` uses.
template <typename Blocks>
[[gnu::always_inline]] inline size_t count_utf8_blocks(const uint8_t *p, size_t i, size_t stop, size_t m,
                                                       skarn_character_counts_struct &counts) noexcept {
    width_totals t;
    while (i < stop && i + block_size <= m) {
        const uint64_t high = Blocks::utf8_high(p + i);
        if (high == 0) {
            // A run of ASCII: on with the fastest test while it lasts.
            const size_t end = Blocks::ascii_blocks(p, i + block_size, m);
            t.single += static_cast<int64_t>(end - i);
            i = end;
        } else if (const size_t counted = count_utf8_block(Blocks::utf8(p + i, high), t)) {
            i += counted;
        } else {
            i = count_utf8_bytes(p, i, std::min(stop, i + block_size), m, counts);
        }
    }
    t.add_to(counts);
    return count_utf8_bytes(p, i, stop, m, counts);
}

template <typename Blocks>
[[gnu::always_inline]] inline size_t count_utf16_blocks(const uint8_t *p, size_t i, size_t stop, size_t m,
                                                        bool big_endian,
                                                        skarn_character_counts_struct &counts) noexcept {
    width_totals t;
    while (i < stop && i + block_size <= m) {
        if (const size_t counted = count_utf16_block(Blocks::utf16(p + i, big_endian), t)) {
            i += counted;
        } else {
            i = count_utf16_bytes(p, i, std::min(stop, i + block_size), m, big_endian, counts);
        }
    }
    t.add_to(counts);
    return count_utf16_bytes(p, i, stop, m, big_endian, counts);
}

template <typename Blocks>
[[gnu::always_inline]] inline size_t count_utf32_blocks(const uint8_t *p, size_t i, size_t stop, size_t m,
                                                        bool big_endian,
                                                        skarn_character_counts_struct &counts) noexcept {
    width_totals t;
    while (i < stop && i + block_size <= m) {
        if (const size_t counted = count_utf32_block(Blocks::utf32(p + i, big_endian), t)) {
            i += counted;
        } else {
            i = count_utf32_bytes(p, i, std::min(stop, i + block_size), m, big_endian, counts);
        }
    }
    t.add_to(counts);
    return count_utf32_bytes(p, i, stop, m, big_endian, counts);
}

#if defined(__SSE2__) && defined(__x86_64__)

// The bits of a block from four 16-byte vectors.
struct sse2_blocks {
    static __m128i load(const uint8_t *p, size_t k) noexcept {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
    }
    // The top bit of each byte of the four vectors that `f` makes of the
    // block's vectors, as one word.
    template <typename F>
    static uint64_t top_bits(const uint8_t *p, F f) noexcept {
        uint64_t bits = 0;
        for (size_t k = 0; k < 4; ++k) {
            bits |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(f(load(p, k))))} << (16 * k);
        }
        return bits;
    }
    static __m128i swap16(__m128i v) noexcept { return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); }
    static __m128i swap32(__m128i v) noexcept {
        const __m128i halves = swap16(v);
        return _mm_or_si128(_mm_slli_epi32(halves, 16), _mm_srli_epi32(halves, 16));
    }

    static uint64_t utf8_high(const uint8_t *p) noexcept {
        return top_bits(p, [](__m128i v) { return v; });
    }
    // The end of the whole blocks of ASCII from `i` on before `m`.
    static size_t ascii_blocks(const uint8_t *p, size_t i, size_t m) noexcept {
        while (i + block_size <= m) {
            const __m128i any = _mm_or_si128(_mm_or_si128(load(p + i, 0), load(p + i, 1)),
                                             _mm_or_si128(load(p + i, 2), load(p + i, 3)));
            if (_mm_movemask_epi8(any) != 0) break;
            i += block_size;
        }
        return i;
    }
    static utf8_bits utf8(const uint8_t *p, uint64_t high) noexcept {
        // Shifting each 16-bit lane left by n brings bit 7 - n of every byte to its top.
        const uint64_t bit6 = top_bits(p, [](__m128i v) { return _mm_slli_epi16(v, 1); });
        const uint64_t bit5 = top_bits(p, [](__m128i v) { return _mm_slli_epi16(v, 2); });
        const uint64_t bit4 = top_bits(p, [](__m128i v) { return _mm_slli_epi16(v, 3); });
        const uint64_t lead2 = high & bit6;
        return {high, lead2, lead2 & bit5, lead2 & bit5 & bit4};
    }
    static utf16_bits utf16(const uint8_t *p, bool big_endian) noexcept {
        const auto unit = [big_endian](__m128i v) { return big_endian ? swap16(v) : v; };
        const auto top = [unit](__m128i v) {
            return _mm_and_si128(unit(v), _mm_set1_epi16(static_cast<short>(0xFC00)));
        };
        return {
            top_bits(p,
                     [top](__m128i v) { return _mm_cmpeq_epi16(top(v), _mm_set1_epi16(static_cast<short>(0xD800))); }),
            top_bits(p,
                     [top](__m128i v) { return _mm_cmpeq_epi16(top(v), _mm_set1_epi16(static_cast<short>(0xDC00))); }),
            top_bits(p,
                     [unit](__m128i v) {
                         const __m128i above = _mm_and_si128(unit(v), _mm_set1_epi16(static_cast<short>(0xFF80)));
                         return _mm_cmpeq_epi16(above, _mm_setzero_si128());
                     }),
        };
    }
    static utf32_bits utf32(const uint8_t *p, bool big_endian) noexcept {
        const auto value = [big_endian](__m128i v) { return big_endian ? swap32(v) : v; };
        return {
            top_bits(p,
                     [value](__m128i v) {
                         const __m128i x = value(v);
                         const __m128i surrogate = _mm_cmpeq_epi32(
                             _mm_and_si128(x, _mm_set1_epi32(static_cast<int>(0xFFFFF800))), _mm_set1_epi32(0xD800));
                         const __m128i beyond = _mm_cmpgt_epi32(_mm_srli_epi32(x, 16), _mm_set1_epi32(0x10));
                         return _mm_or_si128(surrogate, beyond);
                     }),
            top_bits(p,
                     [value](__m128i v) {
                         const __m128i above = _mm_and_si128(value(v), _mm_set1_epi32(static_cast<int>(0xFFFFFF80)));
                         return _mm_cmpeq_epi32(above, _mm_setzero_si128());
                     }),
        };
    }
};

// The bits of a block from two 32-byte vectors. Every function is built for
// AVX2, as are the callers that inline them.
struct avx2_blocks {
    __attribute__((target("avx2"))) static __m256i load(const uint8_t *p, size_t k) noexcept {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32 * k));
    }
    __attribute__((target("avx2"))) static uint64_t top_bits(__m256i low, __m256i high) noexcept {
        return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(low))} |
               (uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(high))} << 32);
    }
    __attribute__((target("avx2"))) static __m256i swap16(__m256i v) noexcept {
        return _mm256_or_si256(_mm256_slli_epi16(v, 8), _mm256_srli_epi16(v, 8));
    }
    __attribute__((target("avx2"))) static __m256i swap32(__m256i v) noexcept {
        const __m256i halves = swap16(v);
        return _mm256_or_si256(_mm256_slli_epi32(halves, 16), _mm256_srli_epi32(halves, 16));
    }

    __attribute__((target("avx2"))) static uint64_t utf8_high(const uint8_t *p) noexcept {
        return top_bits(load(p, 0), load(p, 1));
    }
    // The end of the whole blocks of ASCII from `i` on before `m`, two at a time.
    __attribute__((target("avx2"))) static size_t ascii_blocks(const uint8_t *p, size_t i, size_t m) noexcept {
        const __m256i high_bits = _mm256_set1_epi8(static_cast<char>(0x80));
        while (i + 2 * block_size <= m) {
            const __m256i any = _mm256_or_si256(_mm256_or_si256(load(p + i, 0), load(p + i, 1)),
                                                _mm256_or_si256(load(p + i, 2), load(p + i, 3)));
            if (_mm256_testz_si256(any, high_bits) == 0) break;
            i += 2 * block_size;
        }
        return i;
    }
    __attribute__((target("avx2"))) static utf8_bits utf8(const uint8_t *p, uint64_t high) noexcept {
        const __m256i v0 = load(p, 0);
        const __m256i v1 = load(p, 1);
        // Shifting each 16-bit lane left by n brings bit 7 - n of every byte to its top.
        const uint64_t bit6 = top_bits(_mm256_slli_epi16(v0, 1), _mm256_slli_epi16(v1, 1));
        const uint64_t bit5 = top_bits(_mm256_slli_epi16(v0, 2), _mm256_slli_epi16(v1, 2));
        const uint64_t bit4 = top_bits(_mm256_slli_epi16(v0, 3), _mm256_slli_epi16(v1, 3));
        const uint64_t lead2 = high & bit6;
        return {high, lead2, lead2 & bit5, lead2 & bit5 & bit4};
    }

    // The lanes of one vector of UTF-16 units: all ones for a high
    // surrogate, a low one, an ASCII unit.
    struct utf16_lanes {
        __m256i high, low, ascii;
    };
    __attribute__((target("avx2"))) static utf16_lanes utf16_vector(__m256i v, bool big_endian) noexcept {
        const __m256i unit = big_endian ? swap16(v) : v;
        const __m256i top = _mm256_and_si256(unit, _mm256_set1_epi16(static_cast<short>(0xFC00)));
        const __m256i above = _mm256_and_si256(unit, _mm256_set1_epi16(static_cast<short>(0xFF80)));
        return {_mm256_cmpeq_epi16(top, _mm256_set1_epi16(static_cast<short>(0xD800))),
                _mm256_cmpeq_epi16(top, _mm256_set1_epi16(static_cast<short>(0xDC00))),
                _mm256_cmpeq_epi16(above, _mm256_setzero_si256())};
    }
    __attribute__((target("avx2"))) static utf16_bits utf16(const uint8_t *p, bool big_endian) noexcept {
        const utf16_lanes a = utf16_vector(load(p, 0), big_endian);
        const utf16_lanes b = utf16_vector(load(p, 1), big_endian);
        return {top_bits(a.high, b.high), top_bits(a.low, b.low), top_bits(a.ascii, b.ascii)};
    }

    // The lanes of one vector of UTF-32 values: all ones for a value that is
    // no character, for an ASCII value.
    struct utf32_lanes {
        __m256i invalid, ascii;
    };
    __attribute__((target("avx2"))) static utf32_lanes utf32_vector(__m256i v, bool big_endian) noexcept {
        const __m256i x = big_endian ? swap32(v) : v;
        const __m256i surrogate = _mm256_cmpeq_epi32(
            _mm256_and_si256(x, _mm256_set1_epi32(static_cast<int>(0xFFFFF800))), _mm256_set1_epi32(0xD800));
        const __m256i beyond = _mm256_cmpgt_epi32(_mm256_srli_epi32(x, 16), _mm256_set1_epi32(0x10));
        const __m256i above = _mm256_and_si256(x, _mm256_set1_epi32(static_cast<int>(0xFFFFFF80)));
        return {_mm256_or_si256(surrogate, beyond), _mm256_cmpeq_epi32(above, _mm256_setzero_si256())};
    }
    __attribute__((target("avx2"))) static utf32_bits utf32(const uint8_t *p, bool big_endian) noexcept {
        const utf32_lanes a = utf32_vector(load(p, 0), big_endian);
        const utf32_lanes b = utf32_vector(load(p, 1), big_endian);
        return {top_bits(a.invalid, b.invalid), top_bits(a.ascii, b.ascii)};
    }
};

#endif

}  // namespace skarn::simd

#endif  // SKARN_ANALYSIS_SIMD_CHARACTER_BLOCKS_HPP
