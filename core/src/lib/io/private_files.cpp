// The library's own files, and what keeps them from being lost or left behind.
//
// Rules kept here:
// 1. A private file (the private copy of a session's file, a checkpoint
//    file, a transform's output, a save's named temporary file) is created
//    exclusively, never through a link, with mode 0600, and holds a shared
//    flock(2) on the open file description that created it. The lock lives
//    as long as any descriptor of that description (the level's stream, its
//    duplicates), so it marks the file as in use while its session lives,
//    and the kernel lets it go when the process ends, however it ends.
// 2. A file of these names in a directory that can be locked exclusively is
//    abandoned: no live session uses it. remove_abandoned_files removes just
//    those, and only regular files owned by this user, opened without
//    following links, and only when the name still leads to the file that
//    was locked.
// 3. A save's temporary file has no name while it is written wherever the
//    file system can make unnamed files (O_TMPFILE): a process killed while
//    it writes leaves nothing. It is linked under a private name only once
//    its data are synced, right before the rename that puts it in place, and
//    holds the lock of rule 1 from its creation, so the name it gets is
//    never taken for abandoned while the save runs.
//
// A file is named the instant after it is created (mkstemp), before its
// lock is taken: a sweep of another process landing in that instant can
// remove the name. The session does not lose its data then, as it reads and
// writes its files through their descriptors only; removing the file at the
// end merely finds no name.
#include "io/private_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view private_prefixes[] = {".Skarnpad-orig.", ".Skarnpad-chk.",   ".Skarnpad-xfm.",
                                                 ".Skarnpad-kept.", ".Skarnpad-spill.", ".Skarnpad_"};

bool has_private_name(std::string_view name) noexcept {
    for (const std::string_view prefix : private_prefixes) {
        if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix) return true;
    }
    return false;
}

// Marks the file open as `fd` as in use (rule 1). Where the file system
// cannot lock, nothing is marked, and no exclusive lock can be had either:
// such files are never taken for abandoned.
void mark_in_use(int fd) noexcept { static_cast<void>(::flock(fd, LOCK_SH | LOCK_NB)); }

// Removes `name` in the directory open as `dir` when rule 2 says it is abandoned.
void remove_if_abandoned(int dir, const char *name) noexcept {
    const int fd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == ::geteuid() &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
        ::unlinkat(dir, name, 0);
    }
    ::close(fd);
}

// The directory part of a path ("." for a bare name), into `out`: the
// allocation-free form of skarn::directory_of, for a name that fits a path buffer.
void directory_into(const char *path, char (&out)[SKARN_PATH_BUFFER_SIZE]) noexcept {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::snprintf(out, sizeof out, ".");
    } else if (slash == path) {
        std::snprintf(out, sizeof out, "/");
    } else {
        std::snprintf(out, sizeof out, "%.*s", static_cast<int>(slash - path), path);
    }
}

// Errors of an O_TMPFILE open that mean only that the file system (or the
// kernel) cannot make unnamed files.
bool unnamed_files_unsupported(int error) noexcept { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

}  // namespace

namespace skarn {

int create_private_file(char *name) noexcept {
    const int fd = unique_name(name, [](const char *candidate) {
        return ::open(candidate, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    });
    if (fd >= 0) mark_in_use(fd);
    return fd;
}

void remove_abandoned_files(const std::string &directory) noexcept {
    DIR *listing = ::opendir(directory.empty() ? "." : directory.c_str());
    if (listing == nullptr) return;
    const int dir = ::dirfd(listing);
    while (const dirent *entry = ::readdir(listing)) {
        if (has_private_name(entry->d_name)) remove_if_abandoned(dir, entry->d_name);
    }
    ::closedir(listing);
}

save_file::~save_file() {
    if (named_) ::unlink(name_);
}

int save_file::create(const char *name_template, mode_t mode) noexcept {
    std::snprintf(template_, sizeof template_, "%s", name_template);
    std::snprintf(name_, sizeof name_, "%s", name_template);
    char directory[SKARN_PATH_BUFFER_SIZE];
    directory_into(name_template, directory);
    // An unnamed file can be named later only through /proc (or with a
    // privilege); without /proc it is named from the start instead.
    if (::access("/proc/self/fd", X_OK) == 0) {
        fd_ = ::open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (fd_ >= 0) {
            mark_in_use(fd_);
            return fd_;
        }
        if (!unnamed_files_unsupported(errno)) return -1;
    }
    fd_ = unique_name(name_, [mode](const char *candidate) {
        return ::open(candidate, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    });
    if (fd_ < 0) return -1;
    mark_in_use(fd_);
    named_ = true;
    return fd_;
}

int save_file::name_now() noexcept {
    if (named_) return 0;
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
    std::snprintf(name_, sizeof name_, "%s", template_);
    const int fd = fd_;
    const int linked = unique_name(name_, [fd, &self](const char *candidate) {
        if (::linkat(fd, "", AT_FDCWD, candidate, AT_EMPTY_PATH) == 0) return 0;
        if (errno == EEXIST) return -1;
        return ::linkat(AT_FDCWD, self, AT_FDCWD, candidate, AT_SYMLINK_FOLLOW);
    });
    if (linked != 0) return -1;
    named_ = true;
    return 0;
}

scoped_private_file::~scoped_private_file() {
    fd_.reset();
    if (owned_) ::unlink(path_);
}

bool scoped_private_file::create(const char *name_template) noexcept {
    std::snprintf(path_, sizeof path_, "%s", name_template);
    const int fd = create_private_file(path_);
    if (fd < 0) return false;
    fd_.reset(fd);
    owned_ = true;
    return true;
}

unique_fd scoped_private_file::writer() const noexcept { return unique_fd{::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0)}; }

int open_own_regular_file(const char *path, int flags) noexcept {
    const int fd = ::open(path, flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

int open_private_file(const char *path, bool writable) noexcept {
    const int fd = open_own_regular_file(path, writable ? O_RDWR : O_RDONLY);
    if (fd >= 0) mark_in_use(fd);
    return fd;
}

bool remove_private_file(const char *path) noexcept { return ::unlink(path) == 0; }

}  // namespace skarn
