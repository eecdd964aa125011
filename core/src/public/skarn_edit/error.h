/*
 * skarn_edit/error.h: the last failure of the calling thread, and where the
 * library's log lines go.
 *
 * A failing call that writes a log line also records what went wrong for the
 * thread that made it: the result it returned, the system's reason, the
 * function called and the cause. Successful calls leave the record alone.
 */
#ifndef SKARN_EDIT_ERROR_H
#define SKARN_EDIT_ERROR_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/** The last failure of a thread. */
typedef struct skarn_error_struct {
    /** What the failing call returned; 0 for a null handle or a call returning nothing. */
    int64_t result;
    /** The errno of the first system call whose failure the call reported; 0 when none did. */
    int32_t sys_errno;
    /** The name of the exported function that was called. */
    const char *function;
    /** The message of the first log line the call wrote: the cause. */
    const char *message;
} skarn_error_struct;

/**
 * Returns the calling thread's last failure, or null when none happened since
 * the thread started or since skarn_error_clear(). The record belongs to the
 * library and stays valid until the thread's next failing call or
 * skarn_error_clear().
 */
SKARN_API const skarn_error_struct *skarn_error_last(void) SKARN_NOEXCEPT;

/** Forgets the calling thread's last failure. */
SKARN_API void skarn_error_clear(void) SKARN_NOEXCEPT;

/**
 * Receives one log line, exactly as it would be written to the log stream but
 * without the end of line. `line` is valid during the call only. The callback
 * must not call the library; it may be called from any thread that calls it.
 */
typedef void (*skarn_log_cbk_t)(const char *line, void *user_data);

/**
 * Sends every log line of the process to `cbk` (with `user_data`) instead of
 * the standard streams; a null `cbk` restores them. Process-wide; lines
 * being written while it changes go to the old or the new destination.
 */
SKARN_API void skarn_set_log_callback(skarn_log_cbk_t cbk, void *user_data) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_ERROR_H */
