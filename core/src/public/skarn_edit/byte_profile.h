/*
 * skarn_edit/byte_profile.h: byte frequency profiles (histograms) of a range
 * of a session's content, with the count of DOS line ends.
 */
#ifndef SKARN_EDIT_BYTE_PROFILE_H
#define SKARN_EDIT_BYTE_PROFILE_H

#include "character_counts.h"
#include "types.h"

SKARN_EXTERN_C_BEGIN

/** 256 byte counts, then at index 256 the number of CR LF pairs. Owned by the caller. */
typedef int64_t skarn_byte_frequency_profile_t[257];

/**
 * Counts each byte value of [offset, offset + length) of the session's content
 * (length 0: to the end; the count stops at the end of the content) into
 * `profile`. Returns 0, or 1 when the content cannot be read or the session's
 * progress callback cancelled the count (logged; the profile is then partial).
 */
SKARN_API int skarn_session_byte_frequency_profile(const skarn_session_struct *session,
                                                   skarn_byte_frequency_profile_t profile, int64_t offset,
                                                   int64_t length) SKARN_NOEXCEPT;

/**
 * Counts the characters of [offset, offset + length) of the session's content
 * (length 0: to the end) into `counts` in the encoding `bom`, as
 * skarn_session_character_counts does, and its byte values into `profile`, as
 * skarn_session_byte_frequency_profile does, over a single reading of the
 * range: both results equal those of the two functions over the same range.
 * Both records are owned by the caller; `counts` is reset and takes the kind.
 * Progress is reported as PROGRESS_OP_CHARACTER_COUNTS. Returns 0, or 1 when
 * either record is null, the kind is unknown, the range is refused (offset
 * negative or past the end, negative length; the profile is then all zeros),
 * the content cannot be read or the progress callback cancelled (logged; the
 * counts and byte counts are then partial and the DOS line-end count is 0).
 */
SKARN_API int skarn_session_character_counts_and_profile(const skarn_session_struct *session,
                                                         skarn_character_counts_struct *counts,
                                                         skarn_byte_frequency_profile_t profile, int64_t offset,
                                                         int64_t length, skarn_bom_t bom) SKARN_NOEXCEPT;

/** Returns the number of counts in a profile (257). */
SKARN_API int skarn_session_byte_frequency_profile_size(void) SKARN_NOEXCEPT;

/** Returns the index of the DOS line-end count (256). */
SKARN_API int skarn_session_byte_frequency_profile_dos_eol_index(void) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_BYTE_PROFILE_H */
