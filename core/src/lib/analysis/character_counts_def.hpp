// The counts of one character counting. Made with calloc and released with
// free, so it stays a plain record: all zeros is a fresh record (kind
// BOM_UNKNOWN, every count 0).
#ifndef SKARN_ANALYSIS_CHARACTER_COUNTS_DEF_HPP
#define SKARN_ANALYSIS_CHARACTER_COUNTS_DEF_HPP

#include <cstdint>

#include "skarn_edit/bom.h"

struct skarn_character_counts_struct {
    skarn_bom_t bom;            // the encoding counted
    int64_t bom_bytes;          // size of the last mark found since the last reset, or 0
    int64_t single_byte_chars;  // UTF-16/32: ASCII characters
    int64_t double_byte_chars;  // UTF-16: every other character, surrogate pairs included
    int64_t triple_byte_chars;  // UTF-8 only
    int64_t quad_byte_chars;    // UTF-32: every non-ASCII character
    int64_t invalid_bytes;
    // Counting calls of the library that fill this record right now: while
    // one runs (its progress callback may be running), it is not destroyed.
    int32_t filling;
};

#endif  // SKARN_ANALYSIS_CHARACTER_COUNTS_DEF_HPP
