// Search contexts: successive matches of one pattern in a range of a
// session's content.
#ifndef SKARN_ENGINE_SEARCH_HPP
#define SKARN_ENGINE_SEARCH_HPP

#include <cstdint>

#include "engine/search_context.hpp"
#include "engine/session.hpp"

namespace skarn {

// A new search context of `session` for `pattern` (pattern_length 0: a C
// string) in [session_offset, session_offset + session_length) (length 0: to
// the end), as skarn_search_create_context_bytes says; null when the
// arguments cannot make one or memory is short.
skarn_search_context_struct *create_search_context(skarn_session_struct *session, const uint8_t *pattern,
                                                   int64_t pattern_length, int64_t session_offset,
                                                   int64_t session_length, bool fold_case, bool reverse);

// The next match after advancing `advance` bytes, as skarn_search_next_match says.
int next_match(skarn_search_context_struct *context, int64_t advance) noexcept;

// The case folding of searches that ignore case: `table[b]` is byte b folded.
void case_fold_table(uint8_t (&table)[256]) noexcept;

// Removes the context from its session, unless a callback of the session runs.
void destroy_search_context(skarn_search_context_struct *context) noexcept;

}  // namespace skarn

#endif  // SKARN_ENGINE_SEARCH_HPP
