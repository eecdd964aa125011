/*
 * skarn_edit/search.h: search contexts, which find successive occurrences of
 * a pattern in a range of a session's edited content, window by window.
 */
#ifndef SKARN_EDIT_SEARCH_H
#define SKARN_EDIT_SEARCH_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/**
 * Creates a search for `pattern` (`pattern_length` bytes, 0: a C string;
 * below 524,288) in [session_offset, session_offset + session_length) of the
 * content (length 0: to the end), optionally case-insensitive (ASCII) and
 * backwards. The pattern is copied. Returns the context, owned by the session
 * (valid until skarn_search_destroy_context or the session's destruction), or
 * null for an empty or too long pattern, or a range shorter than the pattern.
 */
SKARN_API skarn_search_context_struct *skarn_search_create_context_bytes(skarn_session_struct *session,
                                                                         const uint8_t *pattern, int64_t pattern_length,
                                                                         int64_t session_offset, int64_t session_length,
                                                                         int is_case_insensitive,
                                                                         int is_reverse_search) SKARN_NOEXCEPT;

/** skarn_search_create_context_bytes taking characters. */
SKARN_API skarn_search_context_struct *skarn_search_create_context(skarn_session_struct *session, const char *pattern,
                                                                   int64_t pattern_length, int64_t session_offset,
                                                                   int64_t session_length, int is_case_insensitive,
                                                                   int is_reverse_search) SKARN_NOEXCEPT;

/**
 * Finds the next match, `advance` bytes past the current one (forwards) or
 * ending `advance` bytes before it (backwards). Returns 1 when a match was
 * found (see skarn_search_context_get_match_offset), 0 when not; after 0 the
 * next call starts over. A range that reaches past the end of the content
 * (which may have shrunk since the context was made) is searched as far as
 * the content goes, in both directions. A call over a range of 4 MiB or more
 * reports its progress to the session's progress callback (bytes of the range
 * covered); when that cancels, it returns 0 with a log line and keeps its
 * former match.
 */
SKARN_API int skarn_search_next_match(skarn_search_context_struct *context, int64_t advance) SKARN_NOEXCEPT;

/**
 * Destroys a context of its session. A null context is ignored. Refused
 * (with a log line, the context kept) while a callback of its session runs,
 * progress callbacks included: the search that called it may be using the
 * context; destroy it after that call returns.
 */
SKARN_API void skarn_search_destroy_context(skarn_search_context_struct *context) SKARN_NOEXCEPT;

/** Returns the last match's offset, or session offset + session length when there is none. */
SKARN_API int64_t skarn_search_context_get_match_offset(const skarn_search_context_struct *context) SKARN_NOEXCEPT;

/** Returns the pattern's length. */
SKARN_API int64_t skarn_search_context_get_pattern_length(const skarn_search_context_struct *context) SKARN_NOEXCEPT;

/** Returns the start of the search range. */
SKARN_API int64_t skarn_search_context_get_session_offset(const skarn_search_context_struct *context) SKARN_NOEXCEPT;

/** Returns the length of the search range. */
SKARN_API int64_t skarn_search_context_get_session_length(const skarn_search_context_struct *context) SKARN_NOEXCEPT;

/** Returns 1 for a backward search, else 0. */
SKARN_API int skarn_search_context_is_reverse_search(const skarn_search_context_struct *context) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_SEARCH_H */
