// Writes a range of a level's content to a descriptor: the bytes of inserted
// pieces from memory, those of file-backed pieces read through the level's
// file, gathered into large writes.
#ifndef SKARN_IO_CONTENT_WRITER_HPP
#define SKARN_IO_CONTENT_WRITER_HPP

#include <cstdint>
#include <memory>

#include "engine/level.hpp"
#include "impl_/progress.hpp"

namespace skarn {

// Gathers bytes into one write call per 64 KiB. Larger buffers are slower,
// not faster: the buffer and the read-ahead together must stay within the
// CPU's own cache while the kernel copies from them. A failed write is kept:
// what comes after it is dropped, and flush() tells it (errno set).
class buffered_writer {
public:
    explicit buffered_writer(int fd) noexcept;
    buffered_writer(const buffered_writer &) = delete;
    buffered_writer &operator=(const buffered_writer &) = delete;

    bool put(const uint8_t *bytes, int64_t count) noexcept;
    // Writes what is held. False when any write failed.
    bool flush() noexcept;

private:
    static constexpr int64_t buffer_size = int64_t{64} << 10;

    bool write_all(const uint8_t *bytes, int64_t count) noexcept;

    int fd_;
    std::unique_ptr<uint8_t[]> buffer_;
    int64_t held_ = 0;
    bool ok_ = true;
};

// Writes [offset, offset + length) of `level`'s content to `out` (which the
// caller flushes), piece by piece in content order, telling `progress` as it goes, and
// returns 0, or the save result of the failure: -6 a file-backed piece could
// not be copied, -7 inserted bytes could not be written, -8 fewer bytes than
// asked for were found, -13 `progress` cancelled, -14 the file an in-place
// level reads was changed by another program. Logs each failure.
int write_content(const skarn_model_struct &level, int64_t offset, int64_t length, buffered_writer &out,
                  progress_meter &progress);

}  // namespace skarn

#endif  // SKARN_IO_CONTENT_WRITER_HPP
