// Copying a file's content between descriptors: clone, else kernel copy of
// the data extents, else read and write.
#include "io/file_copy.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "impl_/log.hpp"

namespace {

// Bytes asked of one kernel copy: with nobody to tell, as much as the kernel
// will do in one call; else a progress step, so that progress is told and
// cancelling heard in time.
constexpr int64_t unwatched_copy_chunk = int64_t{1} << 30;
constexpr int64_t watched_copy_chunk = skarn::progress_step;
constexpr size_t buffer_size = size_t{1} << 20;

// The errors by which copy_file_range says it cannot copy between these two
// files, as opposed to failing to copy.
bool kernel_copy_unsupported(int error) noexcept {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF;
}

class copier {
public:
    copier(int from, int to, skarn::progress_meter &progress) noexcept : from_(from), to_(to), progress_(progress) {}

    // Copies [position, end) of a regular file to the same offsets. Stops
    // early at the end of the source, for a file that shrank: `position`
    // then tells where. 0, 1 cancelled, -1 failure.
    int copy_extent(int64_t &position, int64_t end) noexcept {
        while (position < end) {
            const int64_t wanted =
                std::min(end - position, progress_.watched() ? watched_copy_chunk : unwatched_copy_chunk);
            int64_t moved = -1;
            if (use_kernel_) {
                loff_t in = position;
                loff_t out = position;
                const ssize_t n = copy_file_range(from_, &in, to_, &out, static_cast<size_t>(wanted), 0);
                if (n > 0) {
                    moved = n;
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else if (n < 0 && !kernel_copy_unsupported(errno)) {
                    // A real failure (a full disk, an I/O error): a plain
                    // write would only meet it again.
                    SKARN_LOG("copy failed: " << skarn::log::system_error_line());
                    return -1;
                } else {
                    // Not supported between these files (or nothing came,
                    // which some file systems say for content they cannot
                    // copy this way): the plain read decides.
                    use_kernel_ = false;
                }
            }
            if (!use_kernel_) {
                moved = read_and_write(position, wanted, true);
                if (moved < 0) return -1;
                if (moved == 0) return 0;  // the source ended early
            }
            position += moved;
            if (!progress_.advance(moved)) return 1;
        }
        return 0;
    }

    // Reads the source from its current offset to its end, writing from
    // `position`. 0, 1 cancelled, -1 failure.
    int copy_stream(int64_t &position) noexcept {
        for (;;) {
            const int64_t moved = read_and_write(position, static_cast<int64_t>(buffer_size), false);
            if (moved < 0) return -1;
            if (moved == 0) return 0;
            position += moved;
            if (!progress_.advance(moved)) return 1;
        }
    }

private:
    // One read of up to `wanted` bytes (at `position` when `positioned`,
    // else at the source's offset), all of it written at `position`. Returns
    // the bytes moved, 0 at the end of the source, -1 on failure.
    int64_t read_and_write(int64_t position, int64_t wanted, bool positioned) noexcept {
        if (!buffer_) {
            buffer_.reset(new (std::nothrow) uint8_t[buffer_size]);
            if (!buffer_) {
                errno = ENOMEM;
                SKARN_LOG("no memory for the copy buffer");
                return -1;
            }
        }
        const auto size = static_cast<size_t>(std::min<int64_t>(wanted, buffer_size));
        ssize_t n;
        do {
            n = positioned ? pread(from_, buffer_.get(), size, position) : read(from_, buffer_.get(), size);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            SKARN_LOG("read failed: " << skarn::log::system_error_line());
            return -1;
        }
        for (ssize_t written = 0; written < n;) {
            const ssize_t w =
                pwrite(to_, buffer_.get() + written, static_cast<size_t>(n - written), position + written);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                if (w == 0) errno = EIO;
                SKARN_LOG("write failed: " << skarn::log::system_error_line());
                return -1;
            }
            written += w;
        }
        return n;
    }

    int from_;
    int to_;
    skarn::progress_meter &progress_;
    bool use_kernel_ = true;
    std::unique_ptr<uint8_t[]> buffer_;
};

int copy_regular(int from_fd, int to_fd, int64_t size, skarn::progress_meter &progress) noexcept {
    // A clone shares the extents: nothing is copied and no space is taken.
    if (ioctl(to_fd, FICLONE, from_fd) == 0) {
        progress.advance(size);
        return 0;
    }

    copier copy(from_fd, to_fd, progress);
    int64_t position = 0;
    while (position < size) {
        // The next data extent; holes before it are left as holes.
        off_t data = lseek(from_fd, position, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // only a hole remains
            data = position;            // no hole support: all of it is data
        }
        if (data >= size) break;
        off_t hole = lseek(from_fd, data, SEEK_HOLE);
        if (hole < 0 || hole <= data) hole = size;
        if (!progress.advance(data - position)) return 1;
        position = data;
        const int64_t end = std::min<int64_t>(hole, size);
        if (const int result = copy.copy_extent(position, end); result != 0) return result;
        if (position < end) {
            size = position;  // the source shrank while it was copied
            break;
        }
    }
    if (position < size && !progress.advance(size - position)) return 1;
    // The size, with the trailing hole if any.
    if (ftruncate(to_fd, size) != 0) {
        SKARN_LOG("cannot set the size of the copy: " << skarn::log::system_error_line());
        return -1;
    }
    return 0;
}

}  // namespace

int copy_descriptor_contents_(int from_fd, int to_fd, skarn::progress_meter *progress) noexcept {
    skarn::progress_meter silent;
    skarn::progress_meter &meter = progress != nullptr ? *progress : silent;
    struct stat status {};
    if (fstat(from_fd, &status) != 0) {
        SKARN_LOG("cannot learn the size of the file to copy: " << skarn::log::system_error_line());
        return -1;
    }
    const off_t saved_offset = lseek(from_fd, 0, SEEK_CUR);

    int result;
    if (S_ISREG(status.st_mode) && status.st_size > 0) {
        meter.set_total(status.st_size);
        result = copy_regular(from_fd, to_fd, status.st_size, meter);
    } else {
        // Size unknown: read to the end.
        meter.set_total(-1);
        copier copy(from_fd, to_fd, meter);
        int64_t position = 0;
        result = copy.copy_stream(position);
        if (result == 0 && ftruncate(to_fd, position) != 0) {
            SKARN_LOG("cannot set the size of the copy: " << skarn::log::system_error_line());
            result = -1;
        }
    }
    const int error = errno;
    if (saved_offset >= 0) lseek(from_fd, saved_offset, SEEK_SET);
    if (result == 0 && !meter.finish()) result = 1;
    errno = error;
    return result;
}
