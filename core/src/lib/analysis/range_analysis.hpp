// Content analysis of session ranges: the byte-order mark at an offset, and
// the character counts and byte profile of a range, alone or both in one
// reading. Each logs a cancellation under the name `caller`.
#ifndef SKARN_ANALYSIS_RANGE_ANALYSIS_HPP
#define SKARN_ANALYSIS_RANGE_ANALYSIS_HPP

#include <cstdint>

#include "skarn_edit/bom.h"
#include "skarn_edit/character_counts.h"
#include "skarn_edit/types.h"

namespace skarn {

// The kind whose mark begins the session's content at `offset`, or BOM_NONE.
skarn_bom_t detect_bom_at(const skarn_session_struct *session, int64_t offset) noexcept;

// As skarn_session_character_counts, for a record that is not null.
int count_range_characters(const skarn_session_struct *session, skarn_character_counts_struct *counts, int64_t offset,
                           int64_t length, skarn_bom_t bom, const char *caller) noexcept;

// As skarn_session_byte_frequency_profile, for byte_profile_size counts at
// `profile`, not null.
int profile_range(const skarn_session_struct *session, int64_t *profile, int64_t offset, int64_t length,
                  const char *caller) noexcept;

// As skarn_session_character_counts_and_profile, for records that are not null.
int count_and_profile_range(const skarn_session_struct *session, skarn_character_counts_struct *counts,
                            int64_t *profile, int64_t offset, int64_t length, skarn_bom_t bom,
                            const char *caller) noexcept;

}  // namespace skarn

#endif  // SKARN_ANALYSIS_RANGE_ANALYSIS_HPP
