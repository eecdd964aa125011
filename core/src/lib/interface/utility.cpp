// Byte helpers over caller-owned memory, byte-order marks, character counting
// of buffers, byte transforms of buffers and files, and the stream range
// copier. Messages of this source go to stderr.
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include "analysis/character_counts_def.hpp"
#include "analysis/cpu_features.hpp"
#include "impl_/log.hpp"
#include "io/file_head.hpp"
#include "io/stream_range_copy.hpp"
#include "io/transform_file.hpp"
#include "skarn_edit/bom.h"
#include "skarn_edit/character_counts.h"
#include "skarn_edit/filesystem.h"
#include "skarn_edit/utility.h"

namespace {

constexpr uint8_t utf8_mark[] = {0xEF, 0xBB, 0xBF};
constexpr uint8_t utf16le_mark[] = {0xFF, 0xFE};
constexpr uint8_t utf16be_mark[] = {0xFE, 0xFF};
constexpr uint8_t utf32le_mark[] = {0xFF, 0xFE, 0x00, 0x00};
constexpr uint8_t utf32be_mark[] = {0x00, 0x00, 0xFE, 0xFF};

// The marks of the kinds BOM_UTF8 to BOM_UTF32BE, in that order.
constexpr skarn_byte_buffer_t bom_marks[] = {
    {utf8_mark, sizeof utf8_mark},       {utf16le_mark, sizeof utf16le_mark}, {utf16be_mark, sizeof utf16be_mark},
    {utf32le_mark, sizeof utf32le_mark}, {utf32be_mark, sizeof utf32be_mark},
};

// Names indexed by kind; "unknown" is answered but never looked up.
constexpr const char *bom_names[] = {"unknown", "none", "UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"};

constexpr bool is_known_kind(int kind) noexcept { return kind >= BOM_UNKNOWN && kind <= BOM_UTF32BE; }

// The mark of a kind, or null for a kind without one (unknown values included).
const skarn_byte_buffer_t *mark_of(int kind) noexcept {
    return kind >= BOM_UTF8 && kind <= BOM_UTF32BE ? &bom_marks[kind - BOM_UTF8] : nullptr;
}

int fold_case(char c) noexcept { return std::tolower(static_cast<unsigned char>(c)); }

constexpr bool is_continuation(uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// The eight bytes at `p` as one word in the host's order.
uint64_t load_word(const uint8_t *p) noexcept {
    uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    return word;
}

#if defined(__SSE2__) && defined(__x86_64__)
// The position from `i` on, in steps of 64 bytes, of the first step with a
// bit of `mask` set in any of its words (the mask is in the host's byte
// order), or of the last whole step before `m`.
size_t clear_blocks_sse2(const uint8_t *p, size_t i, size_t m, uint64_t mask) noexcept {
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

__attribute__((target("avx2"))) size_t clear_blocks_avx2(const uint8_t *p, size_t i, size_t m, uint64_t mask) noexcept {
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
size_t clear_words(const uint8_t *p, size_t i, size_t m, uint64_t mask) noexcept {
    const size_t start = i;
#if defined(__SSE2__) && defined(__x86_64__)
    i = skarn::cpu_has_avx2() ? clear_blocks_avx2(p, i, m, mask) : clear_blocks_sse2(p, i, m, mask);
#else
    while (i + 32 <= m &&
           ((load_word(p + i) | load_word(p + i + 8) | load_word(p + i + 16) | load_word(p + i + 24)) & mask) == 0) {
        i += 32;
    }
#endif
    while (i + 8 <= m && (load_word(p + i) & mask) == 0) i += 8;
    return i - start;
}

constexpr bool little_endian_host = std::endian::native == std::endian::little;

// Each counting routine classifies from position 0 and returns the position at
// which it stopped; the bytes from there to the end are invalid.

size_t count_utf8(const uint8_t *p, size_t m, skarn_character_counts_struct &counts) noexcept {
    size_t i = 0;
    while (i < m) {
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

uint32_t unit16(const uint8_t *p, bool big_endian) noexcept {
    return big_endian ? (uint32_t{p[0]} << 8) | p[1] : (uint32_t{p[1]} << 8) | p[0];
}

constexpr bool is_high_surrogate(uint32_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool is_low_surrogate(uint32_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

size_t count_utf16(const uint8_t *p, size_t m, bool big_endian, skarn_character_counts_struct &counts) noexcept {
    size_t i = 0;
    while (i + 1 < m) {
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

size_t count_utf32(const uint8_t *p, size_t m, bool big_endian, skarn_character_counts_struct &counts) noexcept {
    size_t i = 0;
    while (i + 3 < m) {
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

}  // namespace

// ---------------------------------------------------------------------------
// Byte helpers

int skarn_util_compute_mode(int mode) noexcept { return mode & 0600; }

int skarn_util_left_shift_buffer(uint8_t *buffer, int64_t length, uint8_t shift, int fill) noexcept {
    if (shift < 1 || shift > 7) return -1;
    if (static_cast<unsigned>(fill) > 1) return -2;
    if (length <= 0 || buffer == nullptr) return 0;
    const int carry = 8 - shift;
    const int64_t last = length - 1;
    for (int64_t i = 0; i < last; ++i) {
        buffer[i] = static_cast<uint8_t>((buffer[i] << shift) | (buffer[i + 1] >> carry));
    }
    buffer[last] = static_cast<uint8_t>(buffer[last] << shift);
    if (fill == 1) buffer[last] = static_cast<uint8_t>(buffer[last] | (0xFF >> carry));
    return 0;
}

int skarn_util_right_shift_buffer(uint8_t *buffer, int64_t length, uint8_t shift, int fill) noexcept {
    if (shift < 1 || shift > 7) return -1;
    if (static_cast<unsigned>(fill) > 1) return -2;
    if (length <= 0 || buffer == nullptr) return 0;
    const int carry = 8 - shift;
    for (int64_t i = length - 1; i > 0; --i) {
        buffer[i] = static_cast<uint8_t>((buffer[i] >> shift) | (buffer[i - 1] << carry));
    }
    buffer[0] = static_cast<uint8_t>(buffer[0] >> shift);
    if (fill == 1) buffer[0] = static_cast<uint8_t>(buffer[0] | (0xFF << carry));
    return 0;
}

uint8_t skarn_util_mask_byte(uint8_t byte, uint8_t mask, int mask_kind) noexcept {
    switch (mask_kind) {
        case MASK_AND: return static_cast<uint8_t>(byte & mask);
        case MASK_OR: return static_cast<uint8_t>(byte | mask);
        case MASK_XOR: return static_cast<uint8_t>(byte ^ mask);
        default: SKARN_LOG_STDERR("unhandled mask kind"); return byte;
    }
}

const void *skarn_util_memrchr(const void *buffer, int value, int64_t length) noexcept {
    if (buffer == nullptr || length <= 0 || value < 0 || value > 255) return nullptr;
#if defined(__GLIBC__)
    return ::memrchr(buffer, value, static_cast<size_t>(length));
#else
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    for (int64_t i = length - 1; i >= 0; --i) {
        if (bytes[i] == value) return bytes + i;
    }
    return nullptr;
#endif
}

int skarn_util_strncmp(const char *s1, const char *s2, int64_t length) noexcept {
    for (int64_t i = 0; i < length; ++i) {
        const int a = static_cast<signed char>(s1[i]);
        const int b = static_cast<signed char>(s2[i]);
        if (a != b) return a - b;
    }
    return 0;
}

int skarn_util_strnicmp(const char *s1, const char *s2, int64_t length) noexcept {
    for (int64_t i = 0; i < length; ++i) {
        // tolower is defined on unsigned char values only; the lowered byte is
        // taken as a signed character again so that the difference matches
        // skarn_util_strncmp's.
        const int a = static_cast<signed char>(fold_case(s1[i]));
        const int b = static_cast<signed char>(fold_case(s2[i]));
        if (a != b) return a - b;
    }
    return 0;
}

char *skarn_util_strndup(const char *source, int64_t length) noexcept {
    if (length < 0 || (length > 0 && source == nullptr)) return nullptr;
    if (static_cast<uint64_t>(length) >= SIZE_MAX) return nullptr;
    auto *copy = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (copy == nullptr) return nullptr;
    if (length > 0) std::memcpy(copy, source, static_cast<size_t>(length));
    copy[length] = '\0';
    return copy;
}

// ---------------------------------------------------------------------------
// Byte-order marks

size_t skarn_util_BOM_size(skarn_bom_t bom) noexcept {
    const skarn_byte_buffer_t *mark = mark_of(bom);
    return mark != nullptr ? static_cast<size_t>(mark->length) : 0;
}

const skarn_byte_buffer_t *skarn_util_BOM_to_buffer(skarn_bom_t bom) noexcept { return mark_of(bom); }

const char *skarn_util_BOM_to_cstring(skarn_bom_t bom) noexcept {
    return is_known_kind(bom) ? bom_names[bom] : bom_names[BOM_UNKNOWN];
}

skarn_bom_t skarn_util_cstring_to_BOM(const char *str) noexcept {
    if (str == nullptr) return BOM_UNKNOWN;
    for (int kind = BOM_NONE; kind <= BOM_UTF32BE; ++kind) {
        // Only the name's own length is compared: whatever follows a full name
        // is not examined, and an input that ends early fails at its NUL.
        const char *name = bom_names[kind];
        size_t j = 0;
        while (name[j] != '\0' && fold_case(name[j]) == fold_case(str[j])) ++j;
        if (name[j] == '\0') return static_cast<skarn_bom_t>(kind);
    }
    return BOM_UNKNOWN;
}

skarn_bom_t skarn_util_detect_BOM_from_memory(const uint8_t *data, size_t length) noexcept {
    const size_t n = data != nullptr ? length : 0;
    if (n >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) return BOM_UTF8;
    if (n < 2) return BOM_NONE;
    if (data[0] == 0xFF && data[1] == 0xFE) {
        return n >= 4 && data[2] == 0x00 && data[3] == 0x00 ? BOM_UTF32LE : BOM_UTF16LE;
    }
    if (data[0] == 0xFE && data[1] == 0xFF) return BOM_UTF16BE;
    if (n >= 4 && data[0] == 0x00 && data[1] == 0x00 && data[2] == 0xFE && data[3] == 0xFF) return BOM_UTF32BE;
    return BOM_NONE;
}

skarn_bom_t skarn_util_detect_BOM_from_file(const char *path) noexcept {
    uint8_t head[4];
    const int64_t n = skarn::read_file_head(path, head, sizeof head);
    return n < 0 ? BOM_NONE : skarn_util_detect_BOM_from_memory(head, static_cast<size_t>(n));
}

// ---------------------------------------------------------------------------
// Character counts

skarn_character_counts_struct *skarn_character_counts_create(void) noexcept {
    return static_cast<skarn_character_counts_struct *>(std::calloc(1, sizeof(skarn_character_counts_struct)));
}

void skarn_character_counts_destroy(skarn_character_counts_struct *counts) noexcept {
    if (counts != nullptr && counts->filling > 0) {
        SKARN_LOG_STDERR("refused: the record is being filled by a counting that is still running");
        return;
    }
    std::free(counts);
}

skarn_character_counts_struct *skarn_character_counts_reset(skarn_character_counts_struct *counts) noexcept {
    counts->bom_bytes = 0;
    counts->single_byte_chars = 0;
    counts->double_byte_chars = 0;
    counts->triple_byte_chars = 0;
    counts->quad_byte_chars = 0;
    counts->invalid_bytes = 0;
    return counts;
}

skarn_character_counts_struct *skarn_character_counts_set_BOM(skarn_character_counts_struct *counts,
                                                              skarn_bom_t bom) noexcept {
    counts->bom = bom;
    return counts;
}

skarn_bom_t skarn_character_counts_get_BOM(const skarn_character_counts_struct *counts) noexcept { return counts->bom; }

int64_t skarn_character_counts_bom_bytes(const skarn_character_counts_struct *counts) noexcept {
    return counts->bom_bytes;
}

int64_t skarn_character_counts_single_byte_chars(const skarn_character_counts_struct *counts) noexcept {
    return counts->single_byte_chars;
}

int64_t skarn_character_counts_double_byte_chars(const skarn_character_counts_struct *counts) noexcept {
    return counts->double_byte_chars;
}

int64_t skarn_character_counts_triple_byte_chars(const skarn_character_counts_struct *counts) noexcept {
    return counts->triple_byte_chars;
}

int64_t skarn_character_counts_quad_byte_chars(const skarn_character_counts_struct *counts) noexcept {
    return counts->quad_byte_chars;
}

int64_t skarn_character_counts_invalid_bytes(const skarn_character_counts_struct *counts) noexcept {
    return counts->invalid_bytes;
}

void skarn_util_count_characters(const uint8_t *data, size_t length, skarn_character_counts_struct *counts) noexcept {
    if (counts == nullptr) return;
    const int kind = counts->bom;
    if (!is_known_kind(kind)) {
        SKARN_LOG_STDERR("unhandled BOM");
        return;
    }
    if (data == nullptr) length = 0;

    // A leading mark of the kind is recorded and left out of the counts.
    if (const skarn_byte_buffer_t *mark = mark_of(kind)) {
        const auto mark_size = static_cast<size_t>(mark->length);
        if (length >= mark_size && std::memcmp(data, mark->data, mark_size) == 0) {
            counts->bom_bytes = mark->length;
            data += mark_size;
            length -= mark_size;
        }
    }

    size_t stop = 0;
    switch (kind) {
        case BOM_UTF16LE:
        case BOM_UTF16BE: stop = count_utf16(data, length, kind == BOM_UTF16BE, *counts); break;
        case BOM_UTF32LE:
        case BOM_UTF32BE: stop = count_utf32(data, length, kind == BOM_UTF32BE, *counts); break;
        default:  // BOM_UNKNOWN, BOM_NONE and BOM_UTF8 count as UTF-8
            stop = count_utf8(data, length, *counts);
            break;
    }
    counts->invalid_bytes += static_cast<int64_t>(length - stop);
}

// ---------------------------------------------------------------------------
// Byte transforms and the range copier

void skarn_util_apply_byte_transform(uint8_t *buffer, int64_t length, skarn_util_byte_transform_t transform,
                                     void *user_data) noexcept {
    if (buffer == nullptr || transform == nullptr) return;
    for (int64_t i = 0; i < length; ++i) buffer[i] = transform(buffer[i], user_data);
}

uint8_t skarn_util_byte_table_transform(uint8_t byte, void *user_data) noexcept {
    if (user_data == nullptr) return byte;
    return static_cast<const uint8_t *>(user_data)[byte];
}

int64_t skarn_util_write_segment_to_file(FILE *source, int64_t offset, int64_t count, FILE *destination) noexcept {
    if (source == nullptr) return -1;
    return skarn::copy_stream_range(source, offset, count, destination);
}

int skarn_util_apply_byte_transform_to_file(const char *in_path, const char *out_path,
                                            skarn_util_byte_transform_t transform, void *user_data, int64_t offset,
                                            int64_t length) noexcept {
    if (in_path != nullptr && out_path != nullptr && transform != nullptr &&
        skarn::transform_file(in_path, out_path, transform, user_data, offset, length, __func__)) {
        return 0;
    }
    SKARN_LOG_STDERR("transform failed");
    return -1;
}
