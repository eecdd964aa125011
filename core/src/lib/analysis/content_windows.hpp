// Reading a range of a session's content for analysis: in large windows,
// through one segment reused for every window, so that memory use does not
// depend on the range's size and the engine is entered once per window rather
// than once per piece. A window of 256 KiB stays in the second-level cache
// beside the byte profile's tables while it is counted.
#ifndef SKARN_ANALYSIS_CONTENT_WINDOWS_HPP
#define SKARN_ANALYSIS_CONTENT_WINDOWS_HPP

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "common/log.hpp"
#include "engine/segment.hpp"
#include "engine/session.hpp"
#include "skarn_edit.h"

namespace skarn {

constexpr int64_t analysis_piece_size = 512;
constexpr int64_t analysis_window_size = int64_t{1} << 18;  // a whole number of pieces

static_assert(analysis_window_size % analysis_piece_size == 0);

// The size of the windows read: analysis_window_size, unless a white-box test
// sets another to put window boundaries anywhere in a range.
inline std::atomic<int64_t> analysis_window_bytes{analysis_window_size};

// Hands `visit` the content of [offset, offset + length) in windows of at
// most analysis_window_bytes (256 KiB), in order. A range that runs past the
// end of the content stops at the end. The session's progress callback hears
// of each window and may cancel. Returns 0; 1 when a window cannot be read (the bytes before it were
// visited, then the readable pieces of the failed window, 512 bytes at a
// time), or when cancelled (logged as such).
template <typename Visit>
int for_each_window(const skarn_session_struct *session, int64_t offset, int64_t length, int32_t operation,
                    Visit visit) noexcept {
    const int64_t window_size = analysis_window_bytes.load(std::memory_order_relaxed);
    skarn_segment_struct *segment = skarn_segment_create(std::min(length, window_size));
    if (segment == nullptr) return 1;
    skarn::progress_meter progress = session->progress(operation, length);
    const int64_t piece_capacity = std::min(length, analysis_piece_size);
    int result = 0;
    while (length > 0) {
        segment->offset = offset;
        if (populate_data_segment_(session, segment) != 0) {
            // Piece by piece again, through a segment of the size a reading
            // by pieces uses, to visit every piece that can be read before
            // the one that cannot.
            if (skarn_segment_struct *piece = skarn_segment_create(piece_capacity)) {
                const int64_t end = offset + std::min(length, window_size);
                for (piece->offset = offset; piece->offset < end; piece->offset += piece->length) {
                    if (populate_data_segment_(session, piece) != 0 || piece->length <= 0) break;
                    visit(piece->bytes(), std::min(piece->length, end - piece->offset));
                }
                skarn_segment_destroy(piece);
            }
            result = 1;
            break;
        }
        const int64_t count = std::min(segment->length, length);
        if (count <= 0) break;
        visit(segment->bytes(), count);
        offset += count;
        length -= count;
        if (!progress.advance(count)) break;
    }
    if (result == 0 && !progress.finish()) {
        SKARN_LOG("cancelled by the progress callback");
        result = 1;
    }
    skarn_segment_destroy(segment);
    return result;
}

}  // namespace skarn

#endif  // SKARN_ANALYSIS_CONTENT_WINDOWS_HPP
