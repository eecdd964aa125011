/*
 * skarn_edit/visit.h: walks over the changes in force at a session's current
 * level, by callback or step by step.
 */
#ifndef SKARN_EDIT_VISIT_H
#define SKARN_EDIT_VISIT_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/** Change visitor callback: returns 0 to go on, any other value to stop the walk. */
typedef int (*skarn_visit_changes_cbk_t)(const skarn_change_struct *change, void *user_data);

/**
 * Calls `cbk` with each change of the current level, oldest first. Returns the
 * first non-zero callback result, or 0. The callback must not change the session.
 */
SKARN_API int skarn_visit_changes(const skarn_session_struct *session, skarn_visit_changes_cbk_t cbk,
                                  void *user_data) SKARN_NOEXCEPT;

/** As skarn_visit_changes, newest first. */
SKARN_API int skarn_visit_changes_reverse(const skarn_session_struct *session, skarn_visit_changes_cbk_t cbk,
                                          void *user_data) SKARN_NOEXCEPT;

/**
 * Creates a step walk over the session's changes (newest first when `reverse`
 * is non-zero). Returns the context, owned by the caller (release it with
 * skarn_visit_change_destroy_context before the session goes), or null when
 * memory runs out. Any change to the session invalidates a begun walk.
 */
SKARN_API skarn_visit_change_context_struct *skarn_visit_change_create_context(const skarn_session_struct *session,
                                                                               int reverse) SKARN_NOEXCEPT;

/** Positions the context on the first change of the walk (or at its end when there is none). Returns 0. */
SKARN_API int skarn_visit_change_begin(skarn_visit_change_context_struct *context) SKARN_NOEXCEPT;

/**
 * Moves to the next change. Returns 1 when the walk has passed its last
 * change (also before any begin), 0 when it stands on a change.
 */
SKARN_API int skarn_visit_change_next(skarn_visit_change_context_struct *context) SKARN_NOEXCEPT;

/** Returns 1 when the context stands on no change, else 0. */
SKARN_API int skarn_visit_change_at_end(const skarn_visit_change_context_struct *context) SKARN_NOEXCEPT;

/** Returns the change at the context's position, or null. The change belongs to the session. */
SKARN_API const skarn_change_struct *skarn_visit_change_context_get_change(
    const skarn_visit_change_context_struct *context) SKARN_NOEXCEPT;

/** Releases a context. A null context is ignored. */
SKARN_API void skarn_visit_change_destroy_context(skarn_visit_change_context_struct *context) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_VISIT_H */
