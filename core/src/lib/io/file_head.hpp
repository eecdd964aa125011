// The first bytes of a file named by its path, as byte-order-mark detection
// reads them.
#ifndef SKARN_IO_FILE_HEAD_HPP
#define SKARN_IO_FILE_HEAD_HPP

#include <cstddef>
#include <cstdint>

namespace skarn {

// Reads up to `capacity` bytes from the start of the file at `path` into
// `out`. Returns how many were read, or -1 when the file cannot be opened
// (reported through perror as "Error opening file"; a null path as EINVAL).
int64_t read_file_head(const char *path, uint8_t *out, size_t capacity) noexcept;

}  // namespace skarn

#endif  // SKARN_IO_FILE_HEAD_HPP
