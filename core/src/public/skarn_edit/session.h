/*
 * skarn_edit/session.h: session events, accessors, reading, and the change
 * history's queries, transactions and pausing.
 *
 * Sessions are created and destroyed with the functions of edit.h.
 */
#ifndef SKARN_EDIT_SESSION_H
#define SKARN_EDIT_SESSION_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/** Session events: one bit each; a session's event interest is a mask of them. */
enum {
    SESSION_EVT_CREATE = 1,              /**< session created; event pointer null */
    SESSION_EVT_EDIT = 2,                /**< change applied (also by redo); the change */
    SESSION_EVT_UNDO = 4,                /**< change undone; the change (negative serial) */
    SESSION_EVT_CLEAR = 8,               /**< history cleared; null */
    SESSION_EVT_TRANSFORM = 16,          /**< transform applied; null */
    SESSION_EVT_CREATE_CHECKPOINT = 32,  /**< checkpoint created; null */
    SESSION_EVT_DESTROY_CHECKPOINT = 64, /**< last checkpoint destroyed; null */
    SESSION_EVT_SAVE = 128,              /**< saved; the saved-path buffer or null */
    SESSION_EVT_CHANGES_PAUSED = 256,    /**< changes paused; null */
    SESSION_EVT_CHANGES_RESUMED = 512,   /**< changes resumed; null */
    SESSION_EVT_CREATE_VIEWPORT = 1024,  /**< viewport created; the viewport */
    SESSION_EVT_DESTROY_VIEWPORT = 2048  /**< viewport destroyed; its former address, not to be dereferenced */
};

/** Transaction states, as returned by skarn_session_get_transaction_state. */
enum { SESSION_TRANSACTION_NONE = 0, SESSION_TRANSACTION_OPENED = 1, SESSION_TRANSACTION_IN_PROGRESS = 2 };

/**
 * Calls the session's event callback with (session, event, event_ptr) when a
 * callback is set and the event interest shares a bit with `event`. While it
 * runs, changes to the session from the callback are refused (see edit.h).
 */
SKARN_API void skarn_session_notify(const skarn_session_struct *session, int32_t event,
                                    const void *event_ptr) SKARN_NOEXCEPT;

/** Returns the session's event callback, or null. */
SKARN_API skarn_session_event_cbk_t skarn_session_get_event_cbk(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the user data pointer given at creation. */
SKARN_API void *skarn_session_get_user_data_ptr(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the session's event interest mask. */
SKARN_API int32_t skarn_session_get_event_interest(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Stores a new event interest mask and returns it. */
SKARN_API int32_t skarn_session_set_event_interest(skarn_session_struct *session, int32_t interest) SKARN_NOEXCEPT;

/**
 * Returns the current level's file path: the caller's path while there is no
 * checkpoint, the checkpoint file's path otherwise; null when the session has
 * no file. The string belongs to the session and stays valid until that level
 * or the session is destroyed.
 */
SKARN_API const char *skarn_session_get_file_path(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the absolute checkpoint directory. The string belongs to the session. */
SKARN_API const char *skarn_session_get_checkpoint_directory(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the length in bytes of the checkpoint directory's path. */
SKARN_API int64_t skarn_session_get_checkpoint_directory_length(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the number of checkpoints (levels above the base level). */
SKARN_API int64_t skarn_session_get_num_checkpoints(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the number of viewports of the session. */
SKARN_API int64_t skarn_session_get_num_viewports(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the number of search contexts of the session. */
SKARN_API int64_t skarn_session_get_num_search_contexts(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the size in bytes of the session's edited content. */
SKARN_API int64_t skarn_session_get_computed_file_size(const skarn_session_struct *session) SKARN_NOEXCEPT;

/**
 * Sets the segment's offset to `offset` and fills it from the edited content.
 * Returns 0 on success, -1 when the offset is negative or past the end, or
 * when the session's file cannot deliver the bytes. At the end of the content
 * the segment gets 0 bytes and the result is 0. Past the end of empty content
 * the result depends on the history: 0 with no bytes when the current level
 * holds no piece at all (a session over nothing or an empty file, after a
 * clear, or once every byte was deleted or undone), -1 when it still holds an
 * empty piece (an insert or overwrite of 0 bytes).
 */
SKARN_API int skarn_session_get_segment(const skarn_session_struct *session, skarn_segment_struct *segment,
                                        int64_t offset) SKARN_NOEXCEPT;

/**
 * Copies up to `length` bytes of the edited content from `offset` straight
 * into the caller's `buffer` (no segment needed, no allocation). Returns the
 * number of bytes copied (fewer than `length` at the end of the content, 0
 * from the end itself), or -1 for a null session or buffer, a negative length,
 * an offset negative or past the end, or a read failure (with a log line; the
 * buffer's contents are then unspecified). The buffer stays the caller's.
 */
SKARN_API int64_t skarn_session_read(const skarn_session_struct *session, int64_t offset, uint8_t *buffer,
                                     int64_t length) SKARN_NOEXCEPT;

/**
 * Returns the path of the session's journal (see SESSION_OPT_JOURNAL in
 * options.h), owned by the session and valid while it lives; null for a
 * null session or one without a journal.
 */
SKARN_API const char *skarn_session_get_journal_path(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the number of changes in force (all levels). */
SKARN_API int64_t skarn_session_get_num_changes(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the number of undone changes of the current level. */
SKARN_API int64_t skarn_session_get_num_undone_changes(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the number of change transactions in force, summed over all levels. */
SKARN_API int64_t skarn_session_get_num_change_transactions(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the number of undone change transactions, summed over all levels. */
SKARN_API int64_t skarn_session_get_num_undone_change_transactions(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the current level's last change, or null. The change belongs to the session. */
SKARN_API const skarn_change_struct *skarn_session_get_last_change(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns the current level's last undone change (the next redo), or null. */
SKARN_API const skarn_change_struct *skarn_session_get_last_undo(const skarn_session_struct *session) SKARN_NOEXCEPT;

/**
 * Returns the change with the given serial: a positive serial looks among the
 * changes in force, a negative one among the current level's undone changes.
 * Null when there is none (and for serial 0).
 */
SKARN_API const skarn_change_struct *skarn_session_get_change(const skarn_session_struct *session,
                                                              int64_t serial) SKARN_NOEXCEPT;

/**
 * Returns 1 when the current level has no change, else the transaction bit of
 * its last change. Internal routine, exported.
 */
SKARN_API int skarn_session_get_transaction_bit_(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Opens a transaction. Returns 0, or -1 when one is already open. */
SKARN_API int skarn_session_begin_transaction(skarn_session_struct *session) SKARN_NOEXCEPT;

/** Closes the open transaction. Returns 0, or -1 when none is open. */
SKARN_API int skarn_session_end_transaction(skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns SESSION_TRANSACTION_NONE, _OPENED or _IN_PROGRESS. */
SKARN_API int skarn_session_get_transaction_state(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Pauses changes: edits, undo and redo are refused (return 0) until resumed. */
SKARN_API void skarn_session_pause_changes(skarn_session_struct *session) SKARN_NOEXCEPT;

/** Resumes changes paused by skarn_session_pause_changes. */
SKARN_API void skarn_session_resume_changes(skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns 1 when changes are paused, else 0. */
SKARN_API int skarn_session_changes_paused(const skarn_session_struct *session) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_SESSION_H */
