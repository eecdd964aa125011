// The scan behind the counters' runs of ASCII: how many bytes, in whole
// words, have every bit of a mask clear, with vector paths where the
// processor has them. Included by the character counter alone, so that the
// scan stays inline in its loops.
#ifndef SKARN_ANALYSIS_SIMD_WORD_SCAN_HPP
#define SKARN_ANALYSIS_SIMD_WORD_SCAN_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include "analysis/cpu_features.hpp"

namespace skarn::simd {

// The eight bytes at `p` as one word in the host's order.
inline uint64_t load_word(const uint8_t *p) noexcept {
    uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    return word;
}

#if defined(__SSE2__) && defined(__x86_64__)
// The position from `i` on, in steps of 64 bytes, of the first step with a
// bit of `mask` set in any of its words (the mask is in the host's byte
// order), or of the last whole step before `m`.
inline size_t clear_blocks_sse2(const uint8_t *p, size_t i, size_t m, uint64_t mask) noexcept {
    const __m128i lanes = _mm_set1_epi64x(static_cast<long long>(mask));
    const __m128i zero = _mm_setzero_si128();
    const auto load = [p](size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + at)); };
    while (i + 64 <= m) {
        const __m128i any = _mm_or_si128(_mm_or_si128(load(i), load(i + 16)), _mm_or_si128(load(i + 32), load(i + 48)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(any, lanes), zero)) != 0xFFFF) break;
        i += 64;
    }
    return i;
}

__attribute__((target("avx2"))) inline size_t clear_blocks_avx2(const uint8_t *p, size_t i, size_t m,
                                                                uint64_t mask) noexcept {
    const __m256i lanes = _mm256_set1_epi64x(static_cast<long long>(mask));
    while (i + 64 <= m) {
        const __m256i any = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i)),
                                            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 32)));
        if (_mm256_testz_si256(any, lanes) == 0) break;
        i += 64;
    }
    return i;
}

#endif

// How many bytes from `i` on, in whole words, have every bit of `mask` clear
// in each word (the mask is in the host's byte order), stopping before `m`.
// Text is mostly ASCII: it passes here 64 bytes at a time where the processor
// has vectors, else 32.
inline size_t clear_words(const uint8_t *p, size_t i, size_t m, uint64_t mask) noexcept {
    const size_t start = i;
#if defined(__SSE2__) && defined(__x86_64__)
    i = cpu_has_avx2() ? clear_blocks_avx2(p, i, m, mask) : clear_blocks_sse2(p, i, m, mask);
#else
    while (i + 32 <= m &&
           ((load_word(p + i) | load_word(p + i + 8) | load_word(p + i + 16) | load_word(p + i + 24)) & mask) == 0) {
        i += 32;
    }
#endif
    while (i + 8 <= m && (load_word(p + i) & mask) == 0) i += 8;
    return i - start;
}

}  // namespace skarn::simd

#endif  // SKARN_ANALYSIS_SIMD_WORD_SCAN_HPP
