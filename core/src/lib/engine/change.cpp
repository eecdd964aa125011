// Making change records: the one place that knows what serial 0 means (a
// read change, outside the history, showing a stretch of a level's file).
#include "engine/change.hpp"

#include <cstring>

#include "io/spill_file.hpp"

namespace skarn {

change_ptr make_change(int64_t serial, uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length,
                       spill_file *spill, const uint8_t *stored) {
    auto change = std::make_shared<skarn_change_struct>();
    change->serial = serial;
    change->kind = kind;
    change->offset = offset;
    change->length = length;
    const bool has_bytes = (kind & skarn_change_struct::kind_mask) != CHANGE_DELETE;
    if (has_bytes && stored != nullptr && !area_is_inline(length)) {
        change->data.heap = const_cast<uint8_t *>(stored);  // mapped read-only, never written through
        change->kind = static_cast<uint8_t>(kind | skarn_change_struct::spilled_bit);
        return change;
    }
    if (has_bytes && spill != nullptr && length >= spill_file::threshold) {
        if (const uint8_t *kept = spill->append(bytes, length)) {
            // Never written through: the spill file is mapped read-only.
            change->data.heap = const_cast<uint8_t *>(kept);
            change->kind = static_cast<uint8_t>(kind | skarn_change_struct::spilled_bit);
            return change;
        }
    }
    if (has_bytes) {
        uint8_t *area = area_allocate(change->data, length);
        if (length > 0) std::memcpy(area, bytes, static_cast<size_t>(length));
        area[length] = 0;
    }
    return change;
}

change_ptr make_read_change(int64_t size) {
    auto change = std::make_shared<skarn_change_struct>();
    change->serial = 0;
    change->kind = CHANGE_INSERT;
    change->offset = 0;
    change->length = size;
    return change;
}

}  // namespace skarn
