// The exported functions of skarn_edit/character_counts.h: the counts record,
// and character counting of buffers and of session ranges. Messages of this
// source go to stderr.
#include <cstdlib>

#include "analysis/bom.hpp"
#include "analysis/character_counter.hpp"
#include "analysis/character_counts_def.hpp"
#include "analysis/range_analysis.hpp"
#include "impl_/log.hpp"
#include "skarn_edit/character_counts.h"

skarn_character_counts_struct *skarn_character_counts_create(void) noexcept {
    return static_cast<skarn_character_counts_struct *>(std::calloc(1, sizeof(skarn_character_counts_struct)));
}

void skarn_character_counts_destroy(skarn_character_counts_struct *counts) noexcept {
    if (counts != nullptr && counts->filling > 0) {
        SKARN_LOG_STDERR("refused: the record is being filled by a counting that is still running");
        return;
    }
    std::free(counts);
}

skarn_character_counts_struct *skarn_character_counts_reset(skarn_character_counts_struct *counts) noexcept {
    counts->bom_bytes = 0;
    counts->single_byte_chars = 0;
    counts->double_byte_chars = 0;
    counts->triple_byte_chars = 0;
    counts->quad_byte_chars = 0;
    counts->invalid_bytes = 0;
    return counts;
}

skarn_character_counts_struct *skarn_character_counts_set_BOM(skarn_character_counts_struct *counts,
                                                              skarn_bom_t bom) noexcept {
    counts->bom = bom;
    return counts;
}

skarn_bom_t skarn_character_counts_get_BOM(const skarn_character_counts_struct *counts) noexcept { return counts->bom; }

int64_t skarn_character_counts_bom_bytes(const skarn_character_counts_struct *counts) noexcept {
    return counts->bom_bytes;
}

int64_t skarn_character_counts_single_byte_chars(const skarn_character_counts_struct *counts) noexcept {
    return counts->single_byte_chars;
}

int64_t skarn_character_counts_double_byte_chars(const skarn_character_counts_struct *counts) noexcept {
    return counts->double_byte_chars;
}

int64_t skarn_character_counts_triple_byte_chars(const skarn_character_counts_struct *counts) noexcept {
    return counts->triple_byte_chars;
}

int64_t skarn_character_counts_quad_byte_chars(const skarn_character_counts_struct *counts) noexcept {
    return counts->quad_byte_chars;
}

int64_t skarn_character_counts_invalid_bytes(const skarn_character_counts_struct *counts) noexcept {
    return counts->invalid_bytes;
}

void skarn_util_count_characters(const uint8_t *data, size_t length, skarn_character_counts_struct *counts) noexcept {
    if (counts == nullptr) return;
    if (!skarn::is_known_bom_kind(counts->bom)) {
        SKARN_LOG_STDERR("unhandled BOM");
        return;
    }
    if (data == nullptr) length = 0;
    skarn::count_characters(data, length, *counts);
}

int skarn_session_character_counts(const skarn_session_struct *session, skarn_character_counts_struct *counts,
                                   int64_t offset, int64_t length, skarn_bom_t bom) noexcept {
    if (counts == nullptr) return 1;
    return skarn::count_range_characters(session, counts, offset, length, bom, __func__);
}
