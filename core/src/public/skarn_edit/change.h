/*
 * skarn_edit/change.h: read-only accessors of change records.
 *
 * Change records belong to their session; a pointer obtained from the session
 * stays valid while the change is held by the session's history or content.
 */
#ifndef SKARN_EDIT_CHANGE_H
#define SKARN_EDIT_CHANGE_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/** Change kinds. */
enum { CHANGE_DELETE = 0, CHANGE_INSERT = 1, CHANGE_OVERWRITE = 2 };

/**
 * Returns the change's serial: positive for a change in force, negative while
 * it is undone, 0 for changes outside the history.
 */
SKARN_API int64_t skarn_change_get_serial(const skarn_change_struct *change) SKARN_NOEXCEPT;

/** Returns 'D', 'I' or 'O' for a delete, insert or overwrite. */
SKARN_API char skarn_change_get_kind_as_char(const skarn_change_struct *change) SKARN_NOEXCEPT;

/** Returns the computed offset at which the change was applied. */
SKARN_API int64_t skarn_change_get_offset(const skarn_change_struct *change) SKARN_NOEXCEPT;

/** Returns the number of bytes inserted, deleted or overwritten. */
SKARN_API int64_t skarn_change_get_length(const skarn_change_struct *change) SKARN_NOEXCEPT;

/**
 * Returns the change's bytes (length bytes followed by a 0 byte), or null for
 * a delete. The bytes belong to the change.
 */
SKARN_API const uint8_t *skarn_change_get_bytes(const skarn_change_struct *change) SKARN_NOEXCEPT;

/** Returns the change's transaction bit (0 or 1). */
SKARN_API int skarn_change_get_transaction_bit(const skarn_change_struct *change) SKARN_NOEXCEPT;

/** Returns 1 when the change is undone (serial 0 or less), else 0. */
SKARN_API int skarn_change_is_undone(const skarn_change_struct *change) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_CHANGE_H */
