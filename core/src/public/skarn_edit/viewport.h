/*
 * skarn_edit/viewport.h: viewports, live windows of up to 1 MiB onto a
 * session's content that are marked stale and told through a callback when a
 * change touches them. Their bytes are read lazily.
 */
#ifndef SKARN_EDIT_VIEWPORT_H
#define SKARN_EDIT_VIEWPORT_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/** Viewport events: one bit each; a viewport's event interest is a mask of them. */
enum {
    VIEWPORT_EVT_CREATE = 1,     /**< created; event pointer the viewport */
    VIEWPORT_EVT_EDIT = 2,       /**< affected by an applied change; the change */
    VIEWPORT_EVT_UNDO = 4,       /**< affected by an undone change; the change */
    VIEWPORT_EVT_CLEAR = 8,      /**< the session's changes were cleared; null */
    VIEWPORT_EVT_TRANSFORM = 16, /**< a transform was applied; null */
    VIEWPORT_EVT_MODIFY = 32,    /**< re-anchored or resized; null */
    VIEWPORT_EVT_CHANGES = 64    /**< skarn_session_notify_changed_viewports; null */
};

/** Largest viewport capacity in bytes. */
#define SKARN_VIEWPORT_MAX_CAPACITY 1048576

/**
 * Creates a viewport of `capacity` bytes (1 to 1,048,576) at `offset`. A
 * floating viewport moves with inserts and deletes in front of it; it never
 * moves past INT64_MAX (offsets are held there, not wrapped). Any offset is
 * accepted: one outside the content reads nothing and the counts of the other
 * functions are held within the 64-bit range. Returns the viewport, owned by
 * the session (valid until skarn_edit_destroy_viewport or the session's
 * destruction), or null for a capacity out of range or when called from
 * inside a callback of the session.
 */
SKARN_API skarn_viewport_struct *skarn_edit_create_viewport(skarn_session_struct *session, int64_t offset,
                                                            int64_t capacity, int is_floating,
                                                            skarn_viewport_event_cbk_t cbk, void *user_data,
                                                            int32_t event_interest) SKARN_NOEXCEPT;

/**
 * Destroys a viewport of its session; a viewport not in the session is left
 * alone, and so is any viewport while a callback of the session runs.
 */
SKARN_API void skarn_edit_destroy_viewport(skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/**
 * Re-anchors and resizes a viewport. Returns 0, or -1 for a capacity out of
 * range (the viewport is unchanged). Pointers from skarn_viewport_get_data
 * are invalid afterwards.
 */
SKARN_API int skarn_viewport_modify(skarn_viewport_struct *viewport, int64_t offset, int64_t capacity,
                                    int is_floating) SKARN_NOEXCEPT;

/**
 * Returns the viewport's bytes (skarn_viewport_get_length of them, followed by
 * a 0 byte), reading them first when stale; null when the read fails. The
 * bytes belong to the viewport.
 */
SKARN_API const uint8_t *skarn_viewport_get_data(skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns the number of bytes the viewport holds, or would hold once read. */
SKARN_API int64_t skarn_viewport_get_length(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns the viewport's offset: its anchor plus the drift of a floating viewport. */
SKARN_API int64_t skarn_viewport_get_offset(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns the viewport's capacity. */
SKARN_API int64_t skarn_viewport_get_capacity(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns the number of content bytes after the viewport's end (negative past the end). */
SKARN_API int64_t skarn_viewport_get_following_byte_count(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns 1 when the viewport is stale (its bytes must be read again), else 0. */
SKARN_API int skarn_viewport_has_changes(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns 1 when [offset, offset + length] touches the viewport's window (bounds inclusive), else 0. */
SKARN_API int skarn_viewport_in_segment(const skarn_viewport_struct *viewport, int64_t offset,
                                        int64_t length) SKARN_NOEXCEPT;

/** Returns 1 for a floating viewport, else 0. */
SKARN_API int skarn_viewport_is_floating(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns the session that owns the viewport. */
SKARN_API const skarn_session_struct *skarn_viewport_get_session(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns the viewport's event callback, or null. */
SKARN_API skarn_viewport_event_cbk_t skarn_viewport_get_event_cbk(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns the user data pointer given at creation. */
SKARN_API void *skarn_viewport_get_user_data_ptr(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Returns the viewport's event interest mask. */
SKARN_API int32_t skarn_viewport_get_event_interest(const skarn_viewport_struct *viewport) SKARN_NOEXCEPT;

/** Stores a new event interest mask and returns it. */
SKARN_API int32_t skarn_viewport_set_event_interest(skarn_viewport_struct *viewport, int32_t interest) SKARN_NOEXCEPT;

/**
 * Calls the viewport's callback with (viewport, event, event_ptr) when it has
 * one, its interest includes the event and viewport callbacks are not paused.
 * Returns 1 when the callback was called, else 0.
 */
SKARN_API int skarn_viewport_notify(const skarn_viewport_struct *viewport, int32_t event,
                                    const void *event_ptr) SKARN_NOEXCEPT;

/**
 * Sends VIEWPORT_EVT_CHANGES to every stale viewport of the session. Returns
 * how many callbacks were called. Stale flags are left as they are.
 */
SKARN_API int skarn_session_notify_changed_viewports(const skarn_session_struct *session) SKARN_NOEXCEPT;

/** Silences viewport callbacks (marking and floating go on). */
SKARN_API void skarn_session_pause_viewport_event_callbacks(skarn_session_struct *session) SKARN_NOEXCEPT;

/** Lets viewport callbacks be called again. */
SKARN_API void skarn_session_resume_viewport_event_callbacks(skarn_session_struct *session) SKARN_NOEXCEPT;

/** Returns 1 when viewport callbacks are paused, else 0. */
SKARN_API int skarn_session_viewport_event_callbacks_paused(const skarn_session_struct *session) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_VIEWPORT_H */
