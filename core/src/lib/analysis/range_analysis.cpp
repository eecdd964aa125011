// Content analysis of session ranges, read window by window: byte-order marks
// at an offset, character counts of the range as one run of bytes, and byte
// profiles.
#include "analysis/range_analysis.hpp"

#include <algorithm>

#include "analysis/bom.hpp"
#include "analysis/byte_profile.hpp"
#include "analysis/character_counter.hpp"
#include "analysis/character_counts_def.hpp"
#include "analysis/content_windows.hpp"
#include "skarn_edit.h"

namespace skarn {

namespace {

// Whether the arguments of a character count are usable; on refusal the
// record is left reset with the kind, as the count itself would leave it.
// `length` 0 becomes the length to the end of the content.
bool character_count_range(const skarn_session_struct *session, skarn_character_counts_struct *counts, int64_t offset,
                           int64_t &length, skarn_bom_t bom) noexcept {
    skarn_character_counts_set_BOM(skarn_character_counts_reset(counts), bom);
    if (bom < BOM_UNKNOWN || bom > BOM_UTF32BE) {
        // Counting nothing once lets the counter report the kind, once.
        skarn_util_count_characters(nullptr, 0, counts);
        return false;
    }
    const int64_t size = skarn_session_get_computed_file_size(session);
    if (offset < 0 || offset > size || length < 0) return false;
    if (length == 0) length = size - offset;
    return true;
}

// Marks a counts record as being filled for as long as it lives, so that a
// progress callback cannot release it under the counting.
class filling_scope {
public:
    explicit filling_scope(skarn_character_counts_struct *counts) noexcept : counts_(counts) { ++counts_->filling; }
    ~filling_scope() { --counts_->filling; }
    filling_scope(const filling_scope &) = delete;
    filling_scope &operator=(const filling_scope &) = delete;

private:
    skarn_character_counts_struct *counts_;
};

}  // namespace

skarn_bom_t detect_bom_at(const skarn_session_struct *session, int64_t offset) noexcept {
    skarn_segment_struct *segment = skarn_segment_create(4);
    if (segment == nullptr) return BOM_NONE;
    // The fill's result does not matter: detection looks at whatever bytes it
    // placed, none past the end of the content.
    segment->offset = offset;
    populate_data_segment_(session, segment);
    const auto length = static_cast<size_t>(std::max<int64_t>(segment->length, 0));
    const skarn_bom_t kind = detect_bom(segment->bytes(), length);
    skarn_segment_destroy(segment);
    return kind;
}

int count_range_characters(const skarn_session_struct *session, skarn_character_counts_struct *counts, int64_t offset,
                           int64_t length, skarn_bom_t bom) noexcept {
    if (!character_count_range(session, counts, offset, length, bom)) return 1;
    if (length == 0) return 0;
    const filling_scope filling(counts);
    character_stream stream(*counts);
    const int result = for_each_window(
        session, offset, length, PROGRESS_OP_CHARACTER_COUNTS,
        [&stream](const uint8_t *bytes, int64_t count) { stream.add(bytes, static_cast<size_t>(count)); });
    stream.finish();  // partial counts too hold every byte read
    return result;
}

int profile_range(const skarn_session_struct *session, int64_t *profile, int64_t offset, int64_t length) noexcept {
    std::fill(profile, profile + byte_profile_size, 0);
    const int64_t size = skarn_session_get_computed_file_size(session);
    if (length == 0) {
        if (offset < 0) return 1;
        length = size - offset;
    }
    if (length <= 0) return 0;
    if (offset < 0 || offset > size) return 1;

    profile_counter counter(profile, length);
    const int result = for_each_window(session, offset, length, PROGRESS_OP_BYTE_PROFILE,
                                       [&counter](const uint8_t *bytes, int64_t count) { counter.add(bytes, count); });
    counter.flush();
    if (result == 0) counter.finish();
    return result;
}

int count_and_profile_range(const skarn_session_struct *session, skarn_character_counts_struct *counts,
                            int64_t *profile, int64_t offset, int64_t length, skarn_bom_t bom) noexcept {
    std::fill(profile, profile + byte_profile_size, 0);
    if (!character_count_range(session, counts, offset, length, bom)) return 1;
    if (length == 0) return 0;

    // Both counters see each window block by block, while it is still in
    // the first-level cache.
    const filling_scope filling(counts);
    character_stream stream(*counts);
    profile_counter counter(profile, length);
    const int result = for_each_window(session, offset, length, PROGRESS_OP_CHARACTER_COUNTS,
                                       [&stream, &counter](const uint8_t *bytes, int64_t count) {
                                           for (int64_t at = 0; at < count; at += profile_counter::block_size) {
                                               const int64_t block = std::min(profile_counter::block_size, count - at);
                                               stream.add(bytes + at, static_cast<size_t>(block));
                                               counter.add(bytes + at, block);
                                           }
                                       });
    stream.finish();
    counter.flush();
    if (result == 0) counter.finish();
    return result;
}

}  // namespace skarn
