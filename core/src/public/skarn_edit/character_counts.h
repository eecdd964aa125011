/*
 * skarn_edit/character_counts.h: counting the characters of each width, and
 * the invalid bytes, of a buffer or a session range in a chosen encoding.
 */
#ifndef SKARN_EDIT_CHARACTER_COUNTS_H
#define SKARN_EDIT_CHARACTER_COUNTS_H

#include "bom.h"

SKARN_EXTERN_C_BEGIN

/** Counts of one counting; create with skarn_character_counts_create. */
typedef struct skarn_character_counts_struct skarn_character_counts_struct;

/** Returns a new zeroed record (kind BOM_UNKNOWN), owned by the caller; null when memory runs out. */
SKARN_API skarn_character_counts_struct *skarn_character_counts_create(void) SKARN_NOEXCEPT;

/**
 * Releases a record. A null record is ignored. Refused (with a log line, the
 * record kept) while a counting of the library fills it, that is from the
 * progress callback of that counting: release it after the call returns.
 */
SKARN_API void skarn_character_counts_destroy(skarn_character_counts_struct *counts) SKARN_NOEXCEPT;

/** Sets every count (bom bytes included) to 0, keeps the kind; returns the record. */
SKARN_API skarn_character_counts_struct *skarn_character_counts_reset(skarn_character_counts_struct *counts)
    SKARN_NOEXCEPT;

/** Stores the encoding to count; returns the record. */
SKARN_API skarn_character_counts_struct *skarn_character_counts_set_BOM(skarn_character_counts_struct *counts,
                                                                        skarn_bom_t bom) SKARN_NOEXCEPT;

/** Returns the encoding counted. */
SKARN_API skarn_bom_t skarn_character_counts_get_BOM(const skarn_character_counts_struct *counts) SKARN_NOEXCEPT;

/** Returns the size of the last byte-order mark found, or 0. */
SKARN_API int64_t skarn_character_counts_bom_bytes(const skarn_character_counts_struct *counts) SKARN_NOEXCEPT;

/** Returns the number of one-byte characters. */
SKARN_API int64_t skarn_character_counts_single_byte_chars(const skarn_character_counts_struct *counts) SKARN_NOEXCEPT;

/** Returns the number of two-byte characters (UTF-16: every non-ASCII character). */
SKARN_API int64_t skarn_character_counts_double_byte_chars(const skarn_character_counts_struct *counts) SKARN_NOEXCEPT;

/** Returns the number of three-byte characters (UTF-8 only). */
SKARN_API int64_t skarn_character_counts_triple_byte_chars(const skarn_character_counts_struct *counts) SKARN_NOEXCEPT;

/** Returns the number of four-byte characters (UTF-32: every non-ASCII character). */
SKARN_API int64_t skarn_character_counts_quad_byte_chars(const skarn_character_counts_struct *counts) SKARN_NOEXCEPT;

/** Returns the number of bytes that formed no valid character. */
SKARN_API int64_t skarn_character_counts_invalid_bytes(const skarn_character_counts_struct *counts) SKARN_NOEXCEPT;

/** Counts `length` bytes at `data` in the record's encoding and adds to its counts. */
SKARN_API void skarn_util_count_characters(const uint8_t *data, size_t length,
                                           skarn_character_counts_struct *counts) SKARN_NOEXCEPT;

/**
 * Resets `counts`, stores `bom` and counts [offset, offset + length) of the
 * session's content (length 0: to the end) as one run of bytes, as
 * skarn_util_count_characters counts a buffer holding the whole range: a mark
 * of the kind is recognised at the range's start only. Returns 0, or
 * 1 when the content cannot be read (offset negative or past the end, read
 * failure), the kind is unknown, or the session's progress callback cancelled
 * the count (logged; the counts are then partial).
 */
SKARN_API int skarn_session_character_counts(const skarn_session_struct *session, skarn_character_counts_struct *counts,
                                             int64_t offset, int64_t length, skarn_bom_t bom) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_CHARACTER_COUNTS_H */
