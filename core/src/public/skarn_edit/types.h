/*
 * skarn_edit/types.h: types, handles and macros shared by every family.
 *
 * Every record of the library is opaque: callers hold pointers and use the
 * accessor functions of the record's family. Offsets, lengths, sizes, serials
 * and counts are signed 64-bit integers; flags, masks, event values and result
 * codes are int.
 */
#ifndef SKARN_EDIT_TYPES_H
#define SKARN_EDIT_TYPES_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(SKARN_BUILDING_LIBRARY)
#define SKARN_API __declspec(dllexport)
#else
#define SKARN_API __declspec(dllimport)
#endif
#else
#define SKARN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define SKARN_EXTERN_C_BEGIN extern "C" {
#define SKARN_EXTERN_C_END }
#define SKARN_NOEXCEPT noexcept
#else
#define SKARN_EXTERN_C_BEGIN
#define SKARN_EXTERN_C_END
#define SKARN_NOEXCEPT
#endif

SKARN_EXTERN_C_BEGIN

/** An editing session over one file (or over nothing). */
typedef struct skarn_session_struct skarn_session_struct;
/** One level of a session's checkpoint stack. */
typedef struct skarn_model_struct skarn_model_struct;
/** One recorded edit. */
typedef struct skarn_change_struct skarn_change_struct;
/** A caller's buffer that receives a range of a session's content. */
typedef struct skarn_segment_struct skarn_segment_struct;
/** A live window onto a session's content. */
typedef struct skarn_viewport_struct skarn_viewport_struct;
/** A search for one pattern in a range of a session's content. */
typedef struct skarn_search_context_struct skarn_search_context_struct;
/** The skip table of one pattern, for one scanning direction. */
typedef struct skarn_find_skip_table_struct skarn_find_skip_table_struct;
/** A step-by-step walk over a session's changes. */
typedef struct skarn_visit_change_context_struct skarn_visit_change_context_struct;

/**
 * Session event callback: receives the session, the event (one SESSION_EVT_*
 * bit) and an event pointer whose meaning depends on the event.
 */
typedef void (*skarn_session_event_cbk_t)(const skarn_session_struct *session, int32_t event, const void *event_ptr);

/**
 * Viewport event callback: receives the viewport, the event (one
 * VIEWPORT_EVT_* bit) and an event pointer whose meaning depends on the event.
 */
typedef void (*skarn_viewport_event_cbk_t)(const skarn_viewport_struct *viewport, int32_t event, const void *event_ptr);

/** Byte transform: returns the byte that replaces `byte`; `user_data` is the caller's. */
typedef uint8_t (*skarn_util_byte_transform_t)(uint8_t byte, void *user_data);

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_TYPES_H */
