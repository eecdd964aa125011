// The count of CR LF pairs in a buffer, with vector paths where the processor
// has them. Included by the byte profile alone, so that the count stays
// inline in its loop.
#ifndef SKARN_ANALYSIS_SIMD_CRLF_COUNT_HPP
#define SKARN_ANALYSIS_SIMD_CRLF_COUNT_HPP

#include <cstdint>

#if defined(__SSE2__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include "analysis/cpu_features.hpp"

namespace skarn::simd {

#if defined(__SSE2__) && defined(__x86_64__)
// The CR LF pairs whose LF lies in [j, count) with whole vectors of `Lanes`
// bytes (`Load` reads one at an address, `Sum` adds up a vector of 8-bit
// counts); j moves on past the positions looked at. Each 8-bit lane takes at
// most 255 steps before the lanes are summed.
#define SKARN_COUNT_CRLF_BODY(Vec, Lanes, Load, Set1, Eq, And, Sub, Zero, Sum)             \
    const Vec cr = Set1('\r');                                                             \
    const Vec lf = Set1('\n');                                                             \
    int64_t pairs = 0;                                                                     \
    while (j + (Lanes) <= count) {                                                         \
        Vec lanes = Zero();                                                                \
        for (int step = 0; step < 255 && j + (Lanes) <= count; ++step, j += (Lanes)) {     \
            /* A match is all ones, -1: subtracting it adds one. */                        \
            lanes = Sub(lanes, And(Eq(Load(bytes + j - 1), cr), Eq(Load(bytes + j), lf))); \
        }                                                                                  \
        pairs += Sum(lanes);                                                               \
    }                                                                                      \
    return pairs;

inline __m128i load16(const uint8_t *at) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at)); }
inline int64_t sum16(__m128i lanes) noexcept {
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    return _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
}

inline int64_t count_crlf_sse2(const uint8_t *bytes, int64_t count, int64_t &j) noexcept {
    SKARN_COUNT_CRLF_BODY(__m128i, 16, load16, _mm_set1_epi8, _mm_cmpeq_epi8, _mm_and_si128, _mm_sub_epi8,
                          _mm_setzero_si128, sum16)
}

__attribute__((target("avx2"))) inline __m256i load32(const uint8_t *at) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
}
__attribute__((target("avx2"))) inline int64_t sum32(__m256i lanes) noexcept {
    const __m256i sums = _mm256_sad_epu8(lanes, _mm256_setzero_si256());
    return _mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) + _mm256_extract_epi64(sums, 2) +
           _mm256_extract_epi64(sums, 3);
}

__attribute__((target("avx2"))) inline int64_t count_crlf_avx2(const uint8_t *bytes, int64_t count,
                                                               int64_t &j) noexcept {
    SKARN_COUNT_CRLF_BODY(__m256i, 32, load32, _mm256_set1_epi8, _mm256_cmpeq_epi8, _mm256_and_si256, _mm256_sub_epi8,
                          _mm256_setzero_si256, sum32)
}
#undef SKARN_COUNT_CRLF_BODY

#endif

// The CR LF pairs within `count` bytes. Without branches: the pairs are few
// among many bytes, and a search per line end costs more than looking at
// every pair. Whole vectors first, where the processor has them.
inline int64_t count_crlf(const uint8_t *bytes, int64_t count) noexcept {
    int64_t pairs = 0;
    int64_t j = 1;  // the position of the LF of the pair looked at
#if defined(__SSE2__) && defined(__x86_64__)
    pairs = cpu_has_avx2() ? count_crlf_avx2(bytes, count, j) : count_crlf_sse2(bytes, count, j);
#endif
    for (; j < count; ++j) pairs += (bytes[j - 1] == '\r') & (bytes[j] == '\n');
    return pairs;
}

}  // namespace skarn::simd

#endif  // SKARN_ANALYSIS_SIMD_CRLF_COUNT_HPP
