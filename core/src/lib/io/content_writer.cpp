// Writes a range of a level's content to a descriptor.
#include "io/content_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <unistd.h>

#include "common/log.hpp"
#include "engine/segment.hpp"
#include "skarn_edit/change.h"

namespace skarn {
buffered_writer::buffered_writer(int fd) noexcept : fd_(fd), buffer_(new (std::nothrow) uint8_t[buffer_size]) {}

bool buffered_writer::put(const uint8_t *bytes, int64_t count) noexcept {
    if (!buffer_) return write_all(bytes, count);  // memory is short: unbuffered, only slower
    while (count > 0 && ok_) {
        if (held_ == 0 && count >= buffer_size) return write_all(bytes, count);
        const int64_t step = std::min(count, buffer_size - held_);
        std::memcpy(buffer_.get() + held_, bytes, static_cast<size_t>(step));
        held_ += step;
        bytes += step;
        count -= step;
        if (held_ == buffer_size) flush();
    }
    return ok_;
}

bool buffered_writer::flush() noexcept {
    if (held_ > 0 && ok_) write_all(buffer_.get(), held_);
    held_ = 0;
    return ok_;
}

bool buffered_writer::write_all(const uint8_t *bytes, int64_t count) noexcept {
    while (count > 0 && ok_) {
        const ssize_t done = ::write(fd_, bytes, static_cast<size_t>(count));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            if (done == 0) errno = EIO;
            ok_ = false;
            break;
        }
        bytes += done;
        count -= done;
    }
    return ok_;
}

save_result write_content(const skarn_model_struct &level, int64_t offset, int64_t length, buffered_writer &out,
                          progress_meter &progress) {
    // The writer's own read-ahead: a call from a progress callback (a read of
    // the content, another save) reads through one of its own.
    std::vector<uint8_t> read_ahead;
    file_reader reader(level.file, read_ahead);
    int64_t expected_offset = 0;
    int64_t written = 0;
    for (const auto &piece : level.pieces) {
        if (piece.computed_offset != expected_offset) {
            SKARN_FATAL("break in model continuity, expected: " << expected_offset
                                                                << ", got: " << piece.computed_offset);
        }
        const int64_t end = expected_offset + piece.computed_length;
        if (end <= offset) {
            expected_offset = end;
            continue;
        }
        if (written >= length) break;
        const int64_t skip = std::max<int64_t>(offset - piece.computed_offset, 0);
        const int64_t count = std::min(piece.computed_length - skip, length - written);
        switch (piece.kind()) {
            case SEGMENT_INSERT: {
                const uint8_t *bytes = skarn_change_get_bytes(piece.change.get()) + piece.change_offset + skip;
                if (!out.put(bytes, count)) {
                    SKARN_LOG("fwrite failed");
                    return save_result::cannot_write;
                }
                progress.advance(count);
                break;
            }
            case SEGMENT_READ:
                if (!level.file.is_open()) SKARN_FATAL("attempt to read segment from null file pointer");
                // In steps, so that progress is told and cancelling is heard.
                for (int64_t done = 0; done < count && !progress.cancelled();) {
                    const int64_t step = std::min(count - done, file_reader::ahead_limit);
                    const uint8_t *bytes = reader.view(piece.change_offset + skip + done, step, count - done);
                    if (bytes == nullptr || !out.put(bytes, step)) {
                        SKARN_LOG("skarn_util_write_segment_to_file failed");
                        return save_result::cannot_read;
                    }
                    done += step;
                    progress.advance(step);
                }
                break;
            default: SKARN_FATAL("Unhandled segment kind");
        }
        if (progress.cancelled()) {
            SKARN_LOG("cancelled by the progress callback");
            return save_result::cancelled;
        }
        written += count;
        expected_offset = end;
    }
    // Bytes read from a file changed meanwhile may mix two contents.
    if (!level.file_intact()) {
        SKARN_LOG("'" << level.file_path
                      << "' was changed by another program while it was read, "
                         "nothing written");
        return save_result::level_file_changed;
    }
    if (written != length) {
        SKARN_LOG("failed to write all requested bytes, expected: " << length << ", got: " << written);
        return save_result::content_short;
    }
    return save_result::ok;
}

}  // namespace skarn
