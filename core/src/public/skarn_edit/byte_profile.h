/*
 * skarn_edit/byte_profile.h: byte frequency profiles (histograms) of a range
 * of a session's content, with the count of DOS line ends.
 */
#ifndef SKARN_EDIT_BYTE_PROFILE_H
#define SKARN_EDIT_BYTE_PROFILE_H

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

/** Returns the number of counts in a profile (257). */
SKARN_API int skarn_session_byte_frequency_profile_size(void) SKARN_NOEXCEPT;

/** Returns the index of the DOS line-end count (256). */
SKARN_API int skarn_session_byte_frequency_profile_dos_eol_index(void) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_BYTE_PROFILE_H */
