// The exported functions of skarn_edit/bom.h: byte-order marks' sizes, bytes
// and names, and their detection in memory, in files and in sessions.
#include "analysis/bom.hpp"
#include "analysis/range_analysis.hpp"
#include "io/file_head.hpp"
#include "skarn_edit/bom.h"

size_t skarn_util_BOM_size(skarn_bom_t bom) noexcept {
    const skarn_byte_buffer_t *mark = skarn::bom_mark(bom);
    return mark != nullptr ? static_cast<size_t>(mark->length) : 0;
}

const skarn_byte_buffer_t *skarn_util_BOM_to_buffer(skarn_bom_t bom) noexcept { return skarn::bom_mark(bom); }

const char *skarn_util_BOM_to_cstring(skarn_bom_t bom) noexcept { return skarn::bom_name(bom); }

skarn_bom_t skarn_util_cstring_to_BOM(const char *str) noexcept {
    if (str == nullptr) return BOM_UNKNOWN;
    return skarn::bom_from_name(str);
}

skarn_bom_t skarn_util_detect_BOM_from_memory(const uint8_t *data, size_t length) noexcept {
    return skarn::detect_bom(data, length);
}

skarn_bom_t skarn_util_detect_BOM_from_file(const char *path) noexcept {
    uint8_t head[4];
    const int64_t n = skarn::read_file_head(path, head, sizeof head);
    return n < 0 ? BOM_NONE : skarn::detect_bom(head, static_cast<size_t>(n));
}

skarn_bom_t skarn_session_detect_BOM(const skarn_session_struct *session, int64_t offset) noexcept {
    return skarn::detect_bom_at(session, offset);
}
