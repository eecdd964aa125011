/*
 * skarn_edit/find.h: the skip-table (Boyer-Moore-Horspool) matcher over
 * buffers in memory, forwards (first match) or backwards (last match).
 */
#ifndef SKARN_EDIT_FIND_H
#define SKARN_EDIT_FIND_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/**
 * Builds the skip table of `pattern` (`length` bytes, below 2^31) for
 * forward or, when `is_reverse` is non-zero, backward scanning. Returns the
 * table, owned by the caller (release it with skarn_find_destroy_skip_table),
 * or null when memory runs out.
 */
SKARN_API skarn_find_skip_table_struct *skarn_find_create_skip_table(const uint8_t *pattern, int64_t length,
                                                                     int is_reverse) SKARN_NOEXCEPT;

/** Releases a skip table. A null table is ignored. */
SKARN_API void skarn_find_destroy_skip_table(skarn_find_skip_table_struct *table) SKARN_NOEXCEPT;

/** Returns 1 when the table was built for backward scanning, else 0. */
SKARN_API int skarn_find_is_reversed(const skarn_find_skip_table_struct *table) SKARN_NOEXCEPT;

/**
 * Finds `needle` (the pattern the table was built from) in `haystack`:
 * the first match forwards, the last backwards. Returns a pointer into the
 * haystack, or null when there is no match or the needle is empty.
 */
SKARN_API const uint8_t *skarn_find(const uint8_t *haystack, int64_t haystack_length,
                                    const skarn_find_skip_table_struct *table, const uint8_t *needle,
                                    int64_t needle_length) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_FIND_H */
