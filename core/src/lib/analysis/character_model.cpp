// The byte-at-a-time character counters: one decision per character, with
// runs of ASCII skipped a word at a time.
#include "analysis/character_model.hpp"

#include <bit>

#include "analysis/simd_word_scan.hpp"

namespace skarn {

namespace {

using simd::clear_words;

constexpr bool is_continuation(uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

constexpr bool little_endian_host = std::endian::native == std::endian::little;

uint32_t unit16(const uint8_t *p, bool big_endian) noexcept {
    return big_endian ? (uint32_t{p[0]} << 8) | p[1] : (uint32_t{p[1]} << 8) | p[0];
}

constexpr bool is_high_surrogate(uint32_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool is_low_surrogate(uint32_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

size_t count_utf8_bytes(const uint8_t *p, size_t i, size_t stop, size_t m,
                        skarn_character_counts_struct &counts) noexcept {
    while (i < stop) {
        const uint8_t lead = p[i];
        if (lead < 0x80) {
            // A run of ASCII: eight characters at a time while it lasts.
            const size_t run = 1 + clear_words(p, i + 1, m, 0x8080808080808080u);
            counts.single_byte_chars += static_cast<int64_t>(run);
            i += run;
        } else if ((lead & 0xE0) == 0xC0) {
            if (i + 1 < m && is_continuation(p[i + 1])) {
                ++counts.double_byte_chars;
                i += 2;
            } else {
                ++counts.invalid_bytes;
                i += 1;
            }
        } else if ((lead & 0xF0) == 0xE0) {
            if (i + 2 < m && is_continuation(p[i + 1]) && is_continuation(p[i + 2])) {
                ++counts.triple_byte_chars;
                i += 3;
            } else {
                ++counts.invalid_bytes;
                i += 1;
            }
        } else if (i + 3 < m && is_continuation(p[i + 1]) && is_continuation(p[i + 2]) && is_continuation(p[i + 3])) {
            // Any other lead (a stray continuation, 0xF0 and above) with three
            // continuations after it is taken as a four-byte character.
            ++counts.quad_byte_chars;
            i += 4;
        } else {
            ++counts.invalid_bytes;
            i += 1;
        }
    }
    return i;
}

size_t count_utf16_bytes(const uint8_t *p, size_t i, size_t stop, size_t m, bool big_endian,
                         skarn_character_counts_struct &counts) noexcept {
    while (i < stop && i + 1 < m) {
        const uint32_t u = unit16(p + i, big_endian);
        if (is_high_surrogate(u)) {
            if (i + 3 >= m) break;  // the pair is cut off: every byte left is invalid
            if (is_low_surrogate(unit16(p + i + 2, big_endian))) {
                ++counts.double_byte_chars;
                i += 4;
            } else {
                ++counts.invalid_bytes;
                i += 1;
            }
        } else if (is_low_surrogate(u)) {
            ++counts.invalid_bytes;
            i += 1;
        } else if (u <= 0x7F) {
            // ASCII units, four per word while they last: a zero high byte
            // and a low byte below 0x80.
            size_t run = 2;
            if (little_endian_host) {
                run += clear_words(p, i + 2, m, big_endian ? 0x80FF80FF80FF80FFu : 0xFF80FF80FF80FF80u);
            }
            counts.single_byte_chars += static_cast<int64_t>(run / 2);
            i += run;
        } else {
            ++counts.double_byte_chars;
            i += 2;
        }
    }
    return i;
}

size_t count_utf32_bytes(const uint8_t *p, size_t i, size_t stop, size_t m, bool big_endian,
                         skarn_character_counts_struct &counts) noexcept {
    while (i < stop && i + 3 < m) {
        const uint8_t *q = p + i;
        const uint32_t v = big_endian ? (uint32_t{q[0]} << 24) | (uint32_t{q[1]} << 16) | (uint32_t{q[2]} << 8) | q[3]
                                      : (uint32_t{q[3]} << 24) | (uint32_t{q[2]} << 16) | (uint32_t{q[1]} << 8) | q[0];
        if ((v >= 0xD800 && v <= 0xDFFF) || v >= 0x110000) {
            ++counts.invalid_bytes;
            i += 1;
        } else {
            ++(v <= 0x7F ? counts.single_byte_chars : counts.quad_byte_chars);
            i += 4;
        }
    }
    return i;
}

}  // namespace skarn
