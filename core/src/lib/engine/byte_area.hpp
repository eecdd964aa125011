// The small-buffer rule shared by changes, segments, viewports and search
// patterns: a byte area of 7 bytes or fewer lives inside the record's 8-byte
// field; a longer one in a separate block of size + 1 bytes. Either way a 0
// byte follows the bytes.
#ifndef SKARN_ENGINE_BYTE_AREA_HPP
#define SKARN_ENGINE_BYTE_AREA_HPP

#include <cstdint>
#include <cstring>

namespace skarn {

constexpr int64_t inline_area_limit = 8;  // sizes below this stay inline

union byte_area {
    uint8_t inline_bytes[8];
    uint8_t *heap;
};

constexpr bool area_is_inline(int64_t size) noexcept { return size < inline_area_limit; }

// Makes room for `size` bytes plus the 0 byte at position `size`; the field
// must not hold a block yet. Throws std::bad_alloc.
inline uint8_t *area_allocate(byte_area &area, int64_t size) {
    if (area_is_inline(size)) {
        std::memset(area.inline_bytes, 0, sizeof area.inline_bytes);
        return area.inline_bytes;
    }
    area.heap = new uint8_t[static_cast<size_t>(size) + 1];
    area.heap[size] = 0;
    return area.heap;
}

inline void area_release(byte_area &area, int64_t size) noexcept {
    if (!area_is_inline(size)) {
        delete[] area.heap;
        area.heap = nullptr;
    }
}

inline uint8_t *area_bytes(byte_area &area, int64_t size) noexcept {
    return area_is_inline(size) ? area.inline_bytes : area.heap;
}

inline const uint8_t *area_bytes(const byte_area &area, int64_t size) noexcept {
    return area_is_inline(size) ? area.inline_bytes : area.heap;
}

}  // namespace skarn

#endif  // SKARN_ENGINE_BYTE_AREA_HPP
