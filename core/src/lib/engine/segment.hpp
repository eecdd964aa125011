// A segment: a buffer that receives a range of computed content. Viewports
// embed one and keep its capacity negated while their bytes are stale.
#ifndef SKARN_ENGINE_SEGMENT_HPP
#define SKARN_ENGINE_SEGMENT_HPP

#include <cstdint>
#include <cstdlib>

#include "engine/byte_area.hpp"

struct skarn_segment_struct {
    int64_t offset = -1;
    int64_t length = 0;    // negative: no data
    int64_t capacity = 0;  // its magnitude counts; negative marks a stale viewport
    skarn::byte_area data{};
    bool is_floating = false;
    int64_t offset_adjustment = 0;

    int64_t abs_capacity() const noexcept { return std::llabs(capacity); }
    uint8_t *bytes() noexcept { return skarn::area_bytes(data, abs_capacity()); }
    const uint8_t *bytes() const noexcept { return skarn::area_bytes(data, abs_capacity()); }
};

#endif  // SKARN_ENGINE_SEGMENT_HPP
