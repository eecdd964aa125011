// Segment filling and the model dump: how the content of a level is computed
// from its segment list, and how that list is written out for diagnostics.
#include "impl_/internal_fun.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "impl_/log.hpp"
#include "impl_/segment_def.hpp"
#include "skarn_edit/segment.h"

int64_t file_size_(FILE *file) noexcept {
    if (file == nullptr) return 0;
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    return static_cast<int64_t>(ftello(file));
}

int64_t skarn_model_struct::file_size() const noexcept { return in_place ? identity.size : file_size_(file); }

void reset_model_segments_(skarn_model_struct &model, int64_t size) {
    model.model_segments.clear();
    if (size <= 0) return;
    auto read_change = std::make_shared<skarn_change_struct>();
    read_change->serial = 0;
    read_change->kind = CHANGE_INSERT;
    read_change->offset = 0;
    read_change->length = size;
    model.model_segments.push_back({0, size, 0, std::move(read_change)});
}

skarn::change_ptr make_change_(int64_t serial, uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length) {
    auto change = std::make_shared<skarn_change_struct>();
    change->serial = serial;
    change->kind = kind;
    change->offset = offset;
    change->length = length;
    if ((kind & skarn_change_struct::kind_mask) != CHANGE_DELETE) {
        uint8_t *area = skarn::area_allocate(change->data, length);
        if (length > 0) std::memcpy(area, bytes, static_cast<size_t>(length));
        area[length] = 0;
    }
    return change;
}

segment_position locate_segment_(const skarn_model_struct &model, int64_t offset) noexcept {
    const auto &segments = model.model_segments;
    int64_t running = 0;
    for (size_t index = 0; index < segments.size(); ++index) {
        const auto &piece = segments[index];
        if (piece.computed_offset != running) return {index, true, running};
        if (running <= offset && offset <= running + piece.computed_length) return {index, false, running};
        running += piece.computed_length;
    }
    return {segments.size(), false, running};
}

namespace {

// Copies `count` bytes at `position` of the level's file into `out`; false
// unless every byte arrives.
bool read_file_bytes(FILE *file, int64_t position, int64_t count, uint8_t *out) noexcept {
    if (count == 0) return true;
    if (file == nullptr || fseeko(file, 0, SEEK_END) != 0) return false;
    const int64_t size = ftello(file);
    if (size - position <= 0 || fseeko(file, position, SEEK_SET) != 0) return false;
    const auto wanted = static_cast<size_t>(std::min(size - position, count));
    return static_cast<int64_t>(std::fread(out, 1, wanted, file)) == count;
}

}  // namespace

int populate_data_segment_(const skarn_session_struct *session, skarn_segment_struct *segment) noexcept {
    segment->length = 0;
    const int64_t start = segment->offset + segment->offset_adjustment;
    if (start < 0) return -1;
    const skarn_model_struct &model = session->current();
    const auto &segments = model.model_segments;
    if (segments.empty()) return 0;
    if (!model.file_intact()) {
        SKARN_LOG("'" << model.file_path << "' was changed by another program while the session read it in place");
        return -1;
    }
    const int64_t capacity = segment->abs_capacity();
    uint8_t *out = segment->bytes();

    // The first model segment that holds `start`; on a boundary that is the
    // earlier one, which contributes no bytes.
    const segment_position found = locate_segment_(model, start);
    if (found.broken) {
        print_model_segments_(&model, std::clog);
        SKARN_FATAL("break in model continuity, expected: " << found.expected
                                                            << ", got: " << segments[found.index].computed_offset);
    }
    size_t index = found.index;
    if (index == segments.size()) return -1;

    int64_t delta = start - segments[index].computed_offset;
    for (; index < segments.size(); ++index, delta = 0) {
        const auto &piece = segments[index];
        const int64_t count = std::min(piece.computed_length - delta, capacity - segment->length);
        switch (piece.kind()) {
            case skarn::SEGMENT_INSERT:
                if (count > 0) {
                    std::memcpy(out + segment->length, piece.change->bytes() + piece.change_offset + delta,
                                static_cast<size_t>(count));
                }
                break;
            case skarn::SEGMENT_READ:
                if (!read_file_bytes(model.file, piece.change_offset + delta, count, out + segment->length)) {
                    return -1;
                }
                break;
            default: SKARN_FATAL("Unhandled model segment kind");
        }
        segment->length += count;
        if (segment->length == capacity) break;
    }
    out[segment->length] = 0;
    return 0;
}

void print_model_segments_(const skarn_model_struct *model, std::ostream &out) noexcept {
    try {
        for (const auto &piece : model->model_segments) {
            const skarn_change_struct &change = *piece.change;
            const char kind_letter = piece.kind() == skarn::SEGMENT_READ     ? 'R'
                                     : piece.kind() == skarn::SEGMENT_INSERT ? 'I'
                                                                             : '?';
            out << "{\"kind\": \"" << kind_letter << "\", \"computed_offset\": " << piece.computed_offset
                << ", \"computed_length\": " << piece.computed_length << ", \"change_offset\": " << piece.change_offset
                << ", \"change\": "
                << "{\"serial\": " << change.serial << ", \"kind\": \"" << skarn_change_get_kind_as_char(&change)
                << "\", \"offset\": " << change.offset << ", \"length\": " << change.length;
            if (const uint8_t *bytes = skarn_change_get_bytes(&change)) {
                out << ", \"bytes\": \"";
                out.write(reinterpret_cast<const char *>(bytes), static_cast<std::streamsize>(change.length));
                out << "\"";
            }
            out << "}}" << std::endl;
        }
    } catch (...) {
        // A failing diagnostic stream is not the library's failure.
    }
}
