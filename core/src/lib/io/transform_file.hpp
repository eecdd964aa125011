// The byte transform of a file: a copy of it, read by position, with one range
// transformed. The engine's transform of a session level uses the stream part;
// the file-to-file transform of the utility functions uses all of it.
#ifndef SKARN_IO_TRANSFORM_FILE_HPP
#define SKARN_IO_TRANSFORM_FILE_HPP

#include <cstdint>
#include <cstdio>

#include "engine/progress.hpp"
#include "skarn_edit/types.h"

// Copies `size` bytes of the file open as `input`, read by position, to
// `output` with [offset, offset + length) transformed, logging each failure
// to stderr, and telling `progress` (may be null) of
// every step. Returns 0, or -1 on failure and when `progress` cancelled it.
namespace skarn {

int transform_stream(int input, int64_t size, FILE *output, skarn_util_byte_transform_t transform, void *user_data,
                     int64_t offset, int64_t length, progress_meter *progress) noexcept;

// True when [offset, offset + length) lies inside `size` bytes and starts
// before their end; else logs "transform out of range" to stderr.
bool transform_range_valid(int64_t size, int64_t offset, int64_t length) noexcept;

// Writes a copy of the file `in_path` to `out_path` with the bytes of
// [offset, offset + length) (length 0: to the end) transformed; the paths and
// the transform are not null. An output that is the input is refused. False
// on failure, after the output was removed (failures of the range and the
// copy are logged to stderr).
bool transform_file(const char *in_path, const char *out_path, skarn_util_byte_transform_t transform, void *user_data,
                    int64_t offset, int64_t length) noexcept;

}  // namespace skarn

#endif  // SKARN_IO_TRANSFORM_FILE_HPP
