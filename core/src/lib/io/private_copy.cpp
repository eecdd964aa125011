// The base level's file: the caller's file opened to be read in place, or a
// private copy of it made in the checkpoint directory.
#include "io/private_copy.hpp"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log.hpp"
#include "io/file_copy.hpp"
#include "io/private_files.hpp"

namespace skarn {

// Opens the caller's file to be read where it is. No descriptor (nothing logged) for
// a file whose size the file system cannot tell, which is copied instead:
// anything but a regular file, and a regular file of size 0 (as /proc files
// report), where an empty file costs nothing to copy.
unique_fd open_in_place(const char *file_path) noexcept {
    unique_fd fd{::open(file_path, O_RDONLY | O_CLOEXEC)};
    if (!fd.valid()) return fd;
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))) return unique_fd{};
    // A regular file that reports size 0 (as /proc files do) is copied.
    if (identity_of(fd.get()).size <= 0) return unique_fd{};
    return fd;
}

bool make_private_copy(const char *file_path, const char *directory, const char *tag, scoped_private_file &copy,
                       file_identity &identity, progress_meter &progress) noexcept {
    char name[SKARN_PATH_BUFFER_SIZE];
    const int formatted = std::snprintf(name, sizeof name, "%s%c.Skarnpad-%sorig.XXXXXX", directory,
                                        skarn_util_directory_separator(), tag);
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof name) {
        SKARN_LOG("failed to create original checkpoint filename template");
        return false;
    }
    const unique_fd source{::open(file_path, O_RDONLY | O_CLOEXEC)};
    struct stat info {};
    // Anything that reads to an end will do (pipes and /proc files too), but
    // a directory.
    if (!source.valid() || ::fstat(source.get(), &info) != 0 || S_ISDIR(info.st_mode)) {
        const int error = !source.valid() ? errno : EISDIR;
        SKARN_LOG("failed to copy original file '" << file_path << "' to checkpoint file '" << name << "'");
        SKARN_LOG(log::system_error_line(error));
        return false;
    }
    identity = identity_of(source.get());
    bool filled = false;
    int error = errno;
    if (copy.create(name)) {
        unique_fd writer = copy.writer();
        const int copied = writer.valid() ? copy_descriptor_contents(source.get(), writer.get(), &progress) : -1;
        filled = copied == 0 && progress.finish() && writer.reset();
        error = errno;
    }
    std::snprintf(name, sizeof name, "%s", copy.path());
    if (!filled) {
        if (progress.cancelled()) {
            SKARN_LOG("copying '" << file_path << "' was cancelled");
        } else {
            SKARN_LOG("failed to copy original file '" << file_path << "' to checkpoint file '" << name << "'");
            SKARN_LOG(log::system_error_line(error));
        }
        return false;
    }
    return true;
}

}  // namespace skarn
