// Read-only accessors of change records.
#include <string>

#include "engine/change.hpp"
#include "common/log.hpp"
#include "skarn_edit.hpp"

int64_t skarn_change_get_serial(const skarn_change_struct *change) noexcept { return change->serial; }

char skarn_change_get_kind_as_char(const skarn_change_struct *change) noexcept {
    switch (change->change_kind()) {
        case CHANGE_DELETE: return 'D';
        case CHANGE_INSERT: return 'I';
        case CHANGE_OVERWRITE: return 'O';
        default: SKARN_FATAL("Unhandled change kind");
    }
}

int64_t skarn_change_get_offset(const skarn_change_struct *change) noexcept { return change->offset; }

int64_t skarn_change_get_length(const skarn_change_struct *change) noexcept { return change->length; }

const uint8_t *skarn_change_get_bytes(const skarn_change_struct *change) noexcept { return change->bytes(); }

int skarn_change_get_transaction_bit(const skarn_change_struct *change) noexcept {
    return change->transaction() ? 1 : 0;
}

int skarn_change_is_undone(const skarn_change_struct *change) noexcept { return change->serial <= 0 ? 1 : 0; }

std::string skarn_change_get_string(const skarn_change_struct *change) noexcept {
    try {
        const uint8_t *bytes = change->bytes();
        if (bytes == nullptr) return {};
        return std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(change->length));
    } catch (...) {
        return {};
    }
}
