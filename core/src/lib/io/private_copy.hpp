// The base level's file: the caller's file read in place, or a private copy.
#ifndef SKARN_IO_PRIVATE_COPY_HPP
#define SKARN_IO_PRIVATE_COPY_HPP

#include "engine/progress.hpp"
#include "io/level_file.hpp"
#include "io/private_files.hpp"
#include "skarn_edit/filesystem.h"

namespace skarn {

// Opens the caller's file to be read where it is: a regular file, or a
// block device (its size from the device). No descriptor (nothing logged)
// for a file whose size the file system cannot tell, which is copied
// instead: anything else, and a regular file of size 0 (as /proc files
// report), where an empty file costs nothing to copy.
unique_fd open_in_place(const char *file_path) noexcept;

// Makes the private copy of the caller's file in `directory`: opens the
// caller's file, creates the copy exclusively (never through a link) with
// mode 0600 and fills it through its descriptor. On success `copy` holds
// the filled copy (removed unless the caller keeps it) and
// `identity` the caller's file as it was read; false, logged, on failure.
bool make_private_copy(const char *file_path, const char *directory, const char *tag, scoped_private_file &copy,
                       file_identity &identity, progress_meter &progress) noexcept;

}  // namespace skarn

#endif  // SKARN_IO_PRIVATE_COPY_HPP
