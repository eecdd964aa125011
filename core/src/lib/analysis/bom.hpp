// Byte-order marks: the mark and the name of each kind, the lookup of a kind
// by name, and the detection of a mark at the start of a buffer.
#ifndef SKARN_ANALYSIS_BOM_HPP
#define SKARN_ANALYSIS_BOM_HPP

#include <cstddef>
#include <cstdint>

#include "skarn_edit/bom.h"

namespace skarn {

// Whether `kind` is one of BOM_UNKNOWN to BOM_UTF32BE.
constexpr bool is_known_bom_kind(int kind) noexcept { return kind >= BOM_UNKNOWN && kind <= BOM_UTF32BE; }

// The mark of a kind, or null for a kind without one (unknown values included).
const skarn_byte_buffer_t *bom_mark(int kind) noexcept;

// The name of a kind; "unknown" for unknown values.
const char *bom_name(int kind) noexcept;

// The kind whose name begins `str` (ASCII case ignored), or BOM_UNKNOWN.
skarn_bom_t bom_from_name(const char *str) noexcept;

// The kind whose mark begins the `length` bytes at `data` (may be null), or BOM_NONE.
skarn_bom_t detect_bom(const uint8_t *data, size_t length) noexcept;

}  // namespace skarn

#endif  // SKARN_ANALYSIS_BOM_HPP
