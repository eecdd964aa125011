// Copying a range of one stdio stream to another, chunk by chunk.
#include "io/stream_range_copy.hpp"

#include <algorithm>

namespace skarn {

namespace {

// Size of the local buffer through which ranges are copied.
constexpr int64_t chunk_size = 512;

}  // namespace

int64_t copy_stream_range(FILE *source, int64_t offset, int64_t count, FILE *destination) noexcept {
    if (fseeko(source, static_cast<off_t>(offset), SEEK_SET) != 0) return -1;
    if (count <= 0 || destination == nullptr) return 0;
    // Chunks go through the streams' own buffers: no system call per chunk.
    // Only chunks both read and written in full are counted.
    uint8_t chunk[chunk_size];
    int64_t remaining = count;
    while (remaining > 0) {
        const auto size = static_cast<size_t>(std::min(remaining, chunk_size));
        if (std::fread(chunk, 1, size, source) != size) break;
        if (std::fwrite(chunk, 1, size, destination) != size) break;
        remaining -= static_cast<int64_t>(size);
    }
    return count - remaining;
}

}  // namespace skarn
