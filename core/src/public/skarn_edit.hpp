/*
 * skarn_edit.hpp: C++ conveniences over the C interface, taking string views
 * and returning string values. The strings hold bytes; embedded 0 bytes stay.
 */
#ifndef SKARN_EDIT_HPP
#define SKARN_EDIT_HPP

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "skarn_edit.h"

/** skarn_edit_insert with the view's bytes; an empty view inserts nothing (a change of length 0). */
SKARN_API int64_t skarn_edit_insert_string(skarn_session_struct *session, int64_t offset,
                                           std::string_view data) noexcept;

/** skarn_edit_overwrite with the view's bytes; an empty view is an empty byte string. */
SKARN_API int64_t skarn_edit_overwrite_string(skarn_session_struct *session, int64_t offset,
                                              std::string_view data) noexcept;

/** Returns up to `length` bytes of content from `offset`; empty past the end or on failure. */
SKARN_API std::string skarn_session_get_segment_string(const skarn_session_struct *session, int64_t offset,
                                                       int64_t length) noexcept;

/** Returns the change's bytes; empty for a delete. */
SKARN_API std::string skarn_change_get_string(const skarn_change_struct *change) noexcept;

/** Returns the viewport's bytes, reading them when stale; empty when they cannot be read. */
SKARN_API std::string skarn_viewport_get_string(const skarn_viewport_struct *viewport) noexcept;

/** skarn_search_create_context_bytes with the view's bytes (an empty view is a C string). */
SKARN_API skarn_search_context_struct *skarn_search_create_context_string(
    skarn_session_struct *session, std::string_view pattern, int64_t session_offset, int64_t session_length,
    bool is_case_insensitive, bool is_reverse_search) noexcept;

/** Writes one line per model segment of `model` to `out` (diagnostics). Internal routine, exported. */
SKARN_API void print_model_segments_(const skarn_model_struct *model, std::ostream &out) noexcept;

#endif /* SKARN_EDIT_HPP */
