// Character counting of buffers and of streams of buffers in UTF-8, UTF-16
// and UTF-32 of either order, on the path the processor allows.
#include "analysis/character_counter.hpp"

#include <algorithm>
#include <cstring>

#include "analysis/bom.hpp"
#include "analysis/character_model.hpp"
#include "analysis/cpu_features.hpp"
#include "analysis/simd_character_blocks.hpp"

namespace skarn {

namespace {

// A position from which every character that begins before it can be
// classified with the `m` bytes at hand: no character is longer than four bytes.
constexpr size_t classifiable_stop(size_t m) noexcept { return m > 3 ? m - 3 : 0; }

#if defined(__SSE2__) && defined(__x86_64__)
size_t utf8_sse2(const uint8_t *p, size_t i, size_t stop, size_t m, skarn_character_counts_struct &c) noexcept {
    return simd::count_utf8_blocks<simd::sse2_blocks>(p, i, stop, m, c);
}
size_t utf16_sse2(const uint8_t *p, size_t i, size_t stop, size_t m, bool big,
                  skarn_character_counts_struct &c) noexcept {
    return simd::count_utf16_blocks<simd::sse2_blocks>(p, i, stop, m, big, c);
}
size_t utf32_sse2(const uint8_t *p, size_t i, size_t stop, size_t m, bool big,
                  skarn_character_counts_struct &c) noexcept {
    return simd::count_utf32_blocks<simd::sse2_blocks>(p, i, stop, m, big, c);
}

__attribute__((target("avx2,popcnt,lzcnt"))) size_t utf8_avx2(const uint8_t *p, size_t i, size_t stop, size_t m,
                                                              skarn_character_counts_struct &c) noexcept {
    return simd::count_utf8_blocks<simd::avx2_blocks>(p, i, stop, m, c);
}
__attribute__((target("avx2,popcnt"))) size_t utf16_avx2(const uint8_t *p, size_t i, size_t stop, size_t m, bool big,
                                                         skarn_character_counts_struct &c) noexcept {
    return simd::count_utf16_blocks<simd::avx2_blocks>(p, i, stop, m, big, c);
}
__attribute__((target("avx2,popcnt"))) size_t utf32_avx2(const uint8_t *p, size_t i, size_t stop, size_t m, bool big,
                                                         skarn_character_counts_struct &c) noexcept {
    return simd::count_utf32_blocks<simd::avx2_blocks>(p, i, stop, m, big, c);
}
#endif

// Classifies, in the encoding of `counts.bom`, the characters of the `m`
// bytes at `p` that begin in [i, stop), as the counters of character_model.hpp.
size_t count_span(count_path path, const uint8_t *p, size_t i, size_t stop, size_t m,
                  skarn_character_counts_struct &counts) noexcept {
    const int kind = counts.bom;
    const bool big = kind == BOM_UTF16BE || kind == BOM_UTF32BE;
    const bool utf16 = kind == BOM_UTF16LE || kind == BOM_UTF16BE;
    const bool utf32 = kind == BOM_UTF32LE || kind == BOM_UTF32BE;
#if defined(__SSE2__) && defined(__x86_64__)
    if (path == count_path::avx2) {
        return utf16   ? utf16_avx2(p, i, stop, m, big, counts)
               : utf32 ? utf32_avx2(p, i, stop, m, big, counts)
                       : utf8_avx2(p, i, stop, m, counts);
    }
    if (path == count_path::sse2) {
        return utf16   ? utf16_sse2(p, i, stop, m, big, counts)
               : utf32 ? utf32_sse2(p, i, stop, m, big, counts)
                       : utf8_sse2(p, i, stop, m, counts);
    }
#endif
    return utf16   ? count_utf16_bytes(p, i, stop, m, big, counts)
           : utf32 ? count_utf32_bytes(p, i, stop, m, big, counts)
                   : count_utf8_bytes(p, i, stop, m, counts);
}

// Counts every byte of a buffer that no mark begins: what cannot form a
// character at the end is invalid.
void count_all(count_path path, const uint8_t *p, size_t m, skarn_character_counts_struct &counts) noexcept {
    const size_t stop = count_span(path, p, 0, m, m, counts);
    counts.invalid_bytes += static_cast<int64_t>(m - stop);
}

// The size of the kind's mark when the `length` bytes at `data` begin with
// it, else 0.
size_t leading_mark(int kind, const uint8_t *data, size_t length) noexcept {
    const skarn_byte_buffer_t *mark = bom_mark(kind);
    if (mark == nullptr) return 0;
    const auto size = static_cast<size_t>(mark->length);
    return length >= size && std::memcmp(data, mark->data, size) == 0 ? size : 0;
}

}  // namespace

count_path fastest_count_path() noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
    return cpu_has_avx2() ? count_path::avx2 : count_path::sse2;
#else
    return count_path::bytes;
#endif
}

bool count_path_available(count_path path) noexcept {
    switch (path) {
        case count_path::bytes: return true;
        case count_path::sse2: return fastest_count_path() != count_path::bytes;
        case count_path::avx2: return fastest_count_path() == count_path::avx2;
    }
    return false;
}

void count_characters(const uint8_t *data, size_t length, skarn_character_counts_struct &counts,
                      count_path path) noexcept {
    if (const size_t mark = leading_mark(counts.bom, data, length)) {
        counts.bom_bytes = static_cast<int64_t>(mark);
        data += mark;
        length -= mark;
    }
    count_all(path, data, length, counts);
}

character_stream::character_stream(skarn_character_counts_struct &counts, count_path path) noexcept
    : counts_(counts), path_(path) {}

void character_stream::add(const uint8_t *data, size_t length) noexcept {
    if (!take_mark(data, length)) return;
    const size_t from = held_count_ > 0 ? count_held(data, length) : 0;
    if (held_count_ == 0) count_and_hold(data, from, length);
}

void character_stream::finish() noexcept {
    // Held bytes fewer than a mark (nothing started yet) are no mark either.
    started_ = true;
    count_all(path_, held_, held_count_, counts_);
    held_count_ = 0;
}

bool character_stream::take_mark(const uint8_t *&data, size_t &length) noexcept {
    if (started_) return true;
    const skarn_byte_buffer_t *mark = bom_mark(counts_.bom);
    const size_t size = mark != nullptr ? static_cast<size_t>(mark->length) : 0;
    const size_t take = std::min(length, size - held_count_);
    if (take > 0) std::memcpy(held_ + held_count_, data, take);
    held_count_ += take;
    data += take;
    length -= take;
    if (held_count_ < size) return false;
    started_ = true;
    if (leading_mark(counts_.bom, held_, held_count_) != 0) {
        counts_.bom_bytes = static_cast<int64_t>(size);
        held_count_ = 0;
    }
    return true;
}

size_t character_stream::count_held(const uint8_t *data, size_t length) noexcept {
    // Three bytes after the held ones complete any character they begin.
    const size_t take = std::min<size_t>(length, 3);
    if (take > 0) std::memcpy(held_ + held_count_, data, take);
    const size_t joined = held_count_ + take;
    const size_t stop = std::min(held_count_, classifiable_stop(joined));
    const size_t next = count_span(path_, held_, 0, stop, joined, counts_);
    if (next < held_count_) {
        // Too few bytes came to classify them all: hold on to the rest.
        std::memmove(held_, held_ + next, joined - next);
        held_count_ = joined - next;
        return length;
    }
    const size_t from = next - held_count_;
    held_count_ = 0;
    return from;
}

void character_stream::count_and_hold(const uint8_t *data, size_t from, size_t length) noexcept {
    if (from >= length) return;
    const size_t next = count_span(path_, data, from, classifiable_stop(length), length, counts_);
    const size_t rest = length - std::max(next, from);
    std::memcpy(held_, data + length - rest, rest);
    held_count_ = rest;
}

}  // namespace skarn
