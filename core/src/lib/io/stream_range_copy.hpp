// The stream range copier: a range of one stdio stream appended to another.
#ifndef SKARN_IO_STREAM_RANGE_COPY_HPP
#define SKARN_IO_STREAM_RANGE_COPY_HPP

#include <cstdint>
#include <cstdio>

namespace skarn {

// Copies `count` bytes from `offset` of `source` (not null) to the current
// position of `destination` (may be null: nothing is copied), in 512-byte
// chunks through the streams' own buffers. Returns the bytes of the chunks
// both read and written in full, or -1 when `source` cannot be positioned.
int64_t copy_stream_range(FILE *source, int64_t offset, int64_t count, FILE *destination) noexcept;

}  // namespace skarn

#endif  // SKARN_IO_STREAM_RANGE_COPY_HPP
