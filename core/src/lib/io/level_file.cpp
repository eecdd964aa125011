// A level's backing file: the owned descriptor, identities and positional reads.
#include "io/level_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace skarn {
namespace {

// The size of what `info` describes: a block device's from the device
// itself (open as `fd`), whose node reports 0; -1 when it cannot be learnt.
int64_t size_of(const struct stat &info, int fd) noexcept {
    if (!S_ISBLK(info.st_mode)) return static_cast<int64_t>(info.st_size);
    uint64_t bytes = 0;
    if (fd < 0 || ::ioctl(fd, BLKGETSIZE64, &bytes) != 0 || bytes > static_cast<uint64_t>(INT64_MAX)) return -1;
    return static_cast<int64_t>(bytes);
}

file_identity identity_from(const struct stat &info, int fd) noexcept {
    file_identity identity;
    identity.size = size_of(info, fd);
    if (identity.size < 0) return {};
    identity.known = true;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.modified = info.st_mtim;
    identity.changed = info.st_ctim;
    return identity;
}

}  // namespace

file_identity identity_of(const char *path) noexcept {
    struct stat info {};
    if (path == nullptr || ::stat(path, &info) != 0) return {};
    if (!S_ISBLK(info.st_mode)) return identity_from(info, -1);
    // A device tells its size only through a descriptor of its own.
    const unique_fd device{::open(path, O_RDONLY | O_CLOEXEC)};
    return identity_from(info, device.get());
}

file_identity identity_of(int fd) noexcept {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return {};
    return identity_from(info, fd);
}

bool level_file::adopt(unique_fd file) noexcept {
    close();
    if (!file.valid()) return false;
    descriptor = std::move(file);
    if (refresh_size() < 0) {
        close();
        return false;
    }
    return true;
}

bool level_file::sync() const noexcept { return ::fdatasync(descriptor.get()) == 0; }

void level_file::close() noexcept {
    descriptor.reset();
    size = 0;
    view.clear();
    kept.reset();
    kept_size = 0;
}

int64_t level_file::current_size() const noexcept {
    if (!is_open()) return 0;
    struct stat info {};
    if (::fstat(fd(), &info) != 0) return -1;
    return size_of(info, fd());
}

bool read_exact_at(int fd, int64_t position, int64_t count, uint8_t *out) noexcept {
    if (count == 0) return true;
    if (fd < 0 || position < 0) return false;
    while (count > 0) {
        const ssize_t got = ::pread(fd, out, static_cast<size_t>(count), static_cast<off_t>(position));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;  // an error, or the file is shorter than its model
        out += got;
        position += got;
        count -= got;
    }
    return true;
}

bool write_exact_at(int fd, int64_t position, int64_t count, const uint8_t *bytes) noexcept {
    while (count > 0) {
        const ssize_t done = ::pwrite(fd, bytes, static_cast<size_t>(count), static_cast<off_t>(position));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            if (done == 0) errno = EIO;
            return false;
        }
        bytes += done;
        position += done;
        count -= done;
    }
    return true;
}

namespace {

// Up to `count` bytes at `position` of `fd`, by positional reads.
int64_t read_at_most(int fd, int64_t position, int64_t count, uint8_t *out) noexcept {
    int64_t done = 0;
    while (done < count) {
        const ssize_t got =
            ::pread(fd, out + done, static_cast<size_t>(count - done), static_cast<off_t>(position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += got;
    }
    return done;
}

}  // namespace

bool level_file::read_exact(int64_t position, int64_t count, uint8_t *out) const noexcept {
    if (view.empty()) return read_exact_at(fd(), position, count, out);
    return count >= 0 && read_some(position, count, out) == count;
}

int64_t level_file::read_some(int64_t position, int64_t count, uint8_t *out) const noexcept {
    if (position < 0 || count <= 0) return 0;
    if (view.empty()) return read_at_most(fd(), position, count, out);
    auto span = std::partition_point(view.begin(), view.end(),
                                     [position](const view_span &s) { return s.start + s.length <= position; });
    int64_t done = 0;
    for (; span != view.end() && done < count; ++span) {
        const int64_t at = position + done;
        if (span->start > at) break;
        const int64_t step = std::min(count - done, span->start + span->length - at);
        const int64_t got =
            read_at_most(span->kept ? kept.get() : fd(), span->position + (at - span->start), step, out + done);
        done += got;
        if (got < step) break;
    }
    return done;
}

file_reader::file_reader(const level_file &file, std::vector<uint8_t> &buffer) noexcept
    : file_(file), buffer_(buffer) {}

const uint8_t *file_reader::view(int64_t position, int64_t count, int64_t wanted) noexcept {
    if (count < 0 || count > ahead_limit) return nullptr;
    if (position < start_ || position + count > start_ + length_) {
        if (!fill(position, std::max(count, std::min(wanted + slack, ahead_limit)))) return nullptr;
        if (position + count > start_ + length_) return nullptr;  // the file is shorter than its model
    }
    return buffer_.data() + (position - start_);
}

bool file_reader::copy(int64_t position, int64_t count, int64_t still_wanted, uint8_t *out) noexcept {
    if (count >= direct_limit) return file_.read_exact(position, count, out);
    if (count == 0) return true;
    const uint8_t *bytes = view(position, count, still_wanted);
    if (bytes == nullptr) return false;
    std::memcpy(out, bytes, static_cast<size_t>(count));
    return true;
}

bool file_reader::fill(int64_t position, int64_t wanted) noexcept {
    if (position < 0) return false;
    try {
        if (static_cast<int64_t>(buffer_.size()) < wanted) buffer_.resize(static_cast<size_t>(wanted));
    } catch (...) {
        return false;
    }
    start_ = position;
    length_ = 0;
    // A file shorter than asked for (cut short meanwhile, or at its end)
    // yields a short read, which the caller sees as missing bytes.
    length_ = file_.read_some(position, wanted, buffer_.data());
    return true;
}

}  // namespace skarn
