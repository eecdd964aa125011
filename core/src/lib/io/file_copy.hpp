// The private copy of a file: descriptor to descriptor, as fast and as
// faithfully as the file system allows.
#ifndef SKARN_IMPL_FILE_COPY_HPP
#define SKARN_IMPL_FILE_COPY_HPP

#include <cstdint>

#include "impl_/progress.hpp"

// Makes the file of `to_fd` (a regular file open for writing) hold exactly
// the content of `from_fd`, at the same offsets:
// - a regular file is cloned where the file system can (no data copied, no
//   extra space); else its data extents are copied in the kernel in large
//   chunks, else read and written; holes are skipped, so a sparse file's copy
//   stays sparse;
// - anything else, and a regular file that reports size 0 (/proc files), is
//   read to its end: such files are not silently empty.
// The offset of `from_fd` is put back when it has one. `progress` (may be
// null) is told the bytes done, holes included, and may cancel.
// Returns 0; 1 when cancelled; -1 on failure, logged, with errno set. On 1 or
// -1 the destination holds some prefix of the content; the caller removes it.
int copy_descriptor_contents_(int from_fd, int to_fd, skarn::progress_meter *progress = nullptr) noexcept;

#endif  // SKARN_IMPL_FILE_COPY_HPP
