// A change record: one edit, or the stretch of a file a read segment shows.
// Shared between the change lists of a level and the model segments that show
// its bytes; immutable once made except for the sign of its serial.
#ifndef SKARN_ENGINE_CHANGE_HPP
#define SKARN_ENGINE_CHANGE_HPP

#include <cstdint>
#include <memory>

#include "skarn_edit/change.h"
#include "engine/byte_area.hpp"

struct skarn_change_struct {
    static constexpr uint8_t kind_mask = 0x03;
    static constexpr uint8_t transaction_bit = 0x04;
    static constexpr uint8_t spilled_bit = 0x08;  // the bytes live in the session's spill file or journal

    int64_t serial = 0;  // > 0 in force, < 0 undone, 0 outside the history
    uint8_t kind = 0;    // bits 0-1 the change kind, bit 2 the transaction bit, bit 3 spilled_bit
    // What the change did to its level's segments, for undo (see
    // skarn::splice_record); set each time the change is spliced in. Kept in
    // what would otherwise be padding.
    mutable uint8_t splice_flags = 0;
    mutable uint32_t splice_removed = 0;
    int64_t offset = 0;
    int64_t length = 0;
    skarn::byte_area data{};  // no bytes for deletes and read changes

    skarn_change_struct() = default;
    skarn_change_struct(const skarn_change_struct &) = delete;
    skarn_change_struct &operator=(const skarn_change_struct &) = delete;
    ~skarn_change_struct() {
        if ((kind & spilled_bit) == 0) skarn::area_release(data, length);
    }

    int change_kind() const noexcept { return kind & kind_mask; }
    bool transaction() const noexcept { return (kind & transaction_bit) != 0; }

    // The change's bytes, or null for a delete (a read change of 8 or more
    // bytes also yields null: it holds no block).
    const uint8_t *bytes() const noexcept {
        if (change_kind() == CHANGE_DELETE) return nullptr;
        return skarn::area_bytes(data, length);
    }
};

static_assert(sizeof(skarn_change_struct) == 40, "the splice record fits in the padding after the kind");

namespace skarn {
using change_ptr = std::shared_ptr<skarn_change_struct>;
using const_change_ptr = std::shared_ptr<const skarn_change_struct>;
}  // namespace skarn

namespace skarn {

class spill_file;

// A new change with the small-buffer rule applied to `bytes` (none for a
// delete); bytes of spill_file::threshold or more go to `spill` when there
// is one (and stay in memory when it cannot take them). With `stored`, the
// bytes already kept in the session's journal, the change shows those.
// Throws std::bad_alloc.
change_ptr make_change(int64_t serial, uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length,
                       spill_file *spill = nullptr, const uint8_t *stored = nullptr);

// The read change of a level's piece over `size` bytes of its file: serial
// 0, outside the history. Throws std::bad_alloc.
change_ptr make_read_change(int64_t size);

}  // namespace skarn

#endif  // SKARN_ENGINE_CHANGE_HPP
