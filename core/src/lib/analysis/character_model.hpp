// The byte-at-a-time character counters of UTF-8, UTF-16 and UTF-32: the
// reference the vector counters must agree with, and their fallback for
// whatever a vector block cannot classify.
#ifndef SKARN_ANALYSIS_CHARACTER_MODEL_HPP
#define SKARN_ANALYSIS_CHARACTER_MODEL_HPP

#include <cstddef>
#include <cstdint>

#include "analysis/character_counts_def.hpp"

namespace skarn {

// Each counter classifies the characters of the `m` bytes at `p` that begin
// at `i` or after it and before `stop`, reading no byte at or past `m`, adds
// them to the counts and returns the position after the last one. A position
// before `stop` is returned when the bytes from there to `m` are too few to
// hold a character: they are invalid, and the caller counts them so.
//
// UTF-8: a lead of 0xC0 to 0xDF with a continuation after it, one of 0xE0 to
// 0xEF with two, and any other byte of 0x80 and above with three form a
// character; any other non-ASCII byte is invalid on its own.
size_t count_utf8_bytes(const uint8_t *p, size_t i, size_t stop, size_t m,
                        skarn_character_counts_struct &counts) noexcept;

// UTF-16 of either order: a high surrogate with a low one after it is a pair;
// a lone surrogate is one invalid byte; any other unit is a character.
size_t count_utf16_bytes(const uint8_t *p, size_t i, size_t stop, size_t m, bool big_endian,
                         skarn_character_counts_struct &counts) noexcept;

// UTF-32 of either order: a surrogate or a value above 0x10FFFF is one
// invalid byte; any other value is a character.
size_t count_utf32_bytes(const uint8_t *p, size_t i, size_t stop, size_t m, bool big_endian,
                         skarn_character_counts_struct &counts) noexcept;

}  // namespace skarn

#endif  // SKARN_ANALYSIS_CHARACTER_MODEL_HPP
