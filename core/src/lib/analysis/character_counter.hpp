// Character counting of a buffer in one of the encodings a byte-order-mark
// kind selects: characters of each width and the invalid bytes.
#ifndef SKARN_ANALYSIS_CHARACTER_COUNTER_HPP
#define SKARN_ANALYSIS_CHARACTER_COUNTER_HPP

#include <cstddef>
#include <cstdint>

#include "analysis/character_counts_def.hpp"

namespace skarn {

// Counts the `length` bytes at `data` (null only when `length` is 0) in the
// encoding of `counts.bom`, which must be a known kind (BOM_UNKNOWN and
// BOM_NONE count as UTF-8), and adds to the counts. A leading mark of the
// kind is recorded as bom_bytes and left out of the counts.
void count_characters(const uint8_t *data, size_t length, skarn_character_counts_struct &counts) noexcept;

}  // namespace skarn

#endif  // SKARN_ANALYSIS_CHARACTER_COUNTER_HPP
