// Segments: caller-owned buffers that receive a range of computed content.
#include <new>

#include "engine/segment.hpp"
#include "skarn_edit/segment.h"

skarn_segment_struct *skarn_segment_create(int64_t capacity) noexcept {
    if (capacity < 0) return nullptr;
    auto *segment = new (std::nothrow) skarn_segment_struct{};
    if (segment == nullptr) return nullptr;
    segment->capacity = capacity;
    try {
        skarn::area_allocate(segment->data, capacity)[capacity] = 0;
    } catch (...) {
        delete segment;
        return nullptr;
    }
    return segment;
}

void skarn_segment_destroy(skarn_segment_struct *segment) noexcept {
    if (segment == nullptr) return;
    skarn::area_release(segment->data, segment->abs_capacity());
    delete segment;
}

uint8_t *skarn_segment_get_data(skarn_segment_struct *segment) noexcept {
    return segment->length < 0 ? nullptr : segment->bytes();
}

int64_t skarn_segment_get_offset(const skarn_segment_struct *segment) noexcept { return segment->offset; }

int64_t skarn_segment_get_length(const skarn_segment_struct *segment) noexcept { return segment->length; }

int64_t skarn_segment_get_capacity(const skarn_segment_struct *segment) noexcept { return segment->capacity; }

int64_t skarn_segment_get_offset_adjustment(const skarn_segment_struct *segment) noexcept {
    return segment->offset_adjustment;
}
