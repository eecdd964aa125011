// The exported functions of skarn_edit/byte_profile.h: byte frequency
// profiles of session ranges, alone or with the range's character counts.
#include "analysis/byte_profile.hpp"
#include "analysis/range_analysis.hpp"
#include "skarn_edit/byte_profile.h"

int skarn_session_byte_frequency_profile(const skarn_session_struct *session, skarn_byte_frequency_profile_t profile,
                                         int64_t offset, int64_t length) noexcept {
    if (profile == nullptr) return 1;
    return skarn::profile_range(session, profile, offset, length, __func__);
}

int skarn_session_character_counts_and_profile(const skarn_session_struct *session,
                                               skarn_character_counts_struct *counts,
                                               skarn_byte_frequency_profile_t profile, int64_t offset, int64_t length,
                                               skarn_bom_t bom) noexcept {
    if (counts == nullptr || profile == nullptr) return 1;
    return skarn::count_and_profile_range(session, counts, profile, offset, length, bom, __func__);
}

int skarn_session_byte_frequency_profile_size(void) noexcept { return skarn::byte_profile_size; }

int skarn_session_byte_frequency_profile_dos_eol_index(void) noexcept { return skarn::byte_profile_dos_eol_index; }
