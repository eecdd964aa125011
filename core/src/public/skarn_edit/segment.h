/*
 * skarn_edit/segment.h: segments, caller-owned buffers that receive a range of
 * a session's content, and the model diagnostics.
 */
#ifndef SKARN_EDIT_SEGMENT_H
#define SKARN_EDIT_SEGMENT_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/**
 * Creates a segment that can hold `capacity` bytes (plus a terminating 0 byte).
 * The new segment has offset -1 and length 0. Capacities of 7 or less are held
 * inside the record. Returns null for a negative capacity or when memory runs
 * out. The caller owns the segment and releases it with skarn_segment_destroy.
 */
SKARN_API skarn_segment_struct *skarn_segment_create(int64_t capacity) SKARN_NOEXCEPT;

/** Releases a segment and its bytes. A null segment is ignored. */
SKARN_API void skarn_segment_destroy(skarn_segment_struct *segment) SKARN_NOEXCEPT;

/**
 * Returns the segment's bytes (length bytes followed by a 0 byte after a
 * successful fill), or null when its length is negative. The bytes belong to
 * the segment and stay valid until it is destroyed.
 */
SKARN_API uint8_t *skarn_segment_get_data(skarn_segment_struct *segment) SKARN_NOEXCEPT;

/** Returns the computed offset the segment was last filled from (-1 when new). */
SKARN_API int64_t skarn_segment_get_offset(const skarn_segment_struct *segment) SKARN_NOEXCEPT;

/** Returns the number of valid bytes in the segment. */
SKARN_API int64_t skarn_segment_get_length(const skarn_segment_struct *segment) SKARN_NOEXCEPT;

/** Returns the capacity as stored (viewports store it negated while stale). */
SKARN_API int64_t skarn_segment_get_capacity(const skarn_segment_struct *segment) SKARN_NOEXCEPT;

/** Returns the amount added to the offset when the segment is filled. */
SKARN_API int64_t skarn_segment_get_offset_adjustment(const skarn_segment_struct *segment) SKARN_NOEXCEPT;

/**
 * Fills `segment` from the session's current content, starting at the
 * segment's offset plus its offset adjustment, with up to its capacity bytes.
 * Returns 0 on success, -1 when the start lies outside the content (or is
 * negative) or when the session's file cannot deliver the bytes. Internal
 * routine, exported for the library's own tools.
 */
SKARN_API int populate_data_segment_(const skarn_session_struct *session, skarn_segment_struct *segment) SKARN_NOEXCEPT;

/**
 * Checks the continuity and bounds of every level's model segments. Returns 0
 * when the model is consistent, -1 otherwise (after dumping the current level
 * to the log stream).
 */
SKARN_API int skarn_check_model(const skarn_session_struct *session) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_SEGMENT_H */
