// Writes a range of a level's content to a descriptor.
#include "io/content_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <unistd.h>

#include "common/log.hpp"
#include "engine/reader.hpp"
#include "engine/segment.hpp"
#include "io/extent_clone.hpp"
#include "skarn_edit/change.h"

namespace skarn {
namespace {

// Bytes of one clone: few calls for a large file, and between them progress
// is told and cancelling heard.
constexpr int64_t clone_chunk = int64_t{256} << 20;

// What write_content writes through.
struct content_sink {
    file_reader &reader;
    extent_cloner &clones;
    buffered_writer &out;
    progress_meter &progress;
    int64_t still_wanted = INT64_MAX;  // bytes of the range from the current piece on
};

// Copies `count` bytes at `position` of the level's file to the output, in
// steps, so that progress is told and cancelling is heard.
save_result copy_from_file(content_sink &sink, int64_t position, int64_t count) {
    for (int64_t done = 0; done < count && !sink.progress.cancelled();) {
        const int64_t step = std::min(count - done, file_reader::ahead_limit);
        const uint8_t *bytes = sink.reader.view(position + done, step, std::max(sink.still_wanted, count) - done);
        if (bytes == nullptr || !sink.out.put(bytes, step)) {
            SKARN_LOG("skarn_util_write_segment_to_file failed");
            return save_result::cannot_read;
        }
        done += step;
        sink.progress.advance(step);
    }
    return save_result::ok;
}

// Clones the `length` bytes of a clone span at `position` of the level's
// file into the output, in chunks; `cloned` tells how many were, fewer when
// the file systems refuse or progress cancels. ok, cannot_read (the file
// is shorter than its pieces) or cannot_write.
save_result clone_from_file(content_sink &sink, int64_t position, int64_t length, int64_t &cloned) {
    cloned = 0;
    bool ok = sink.out.flush();
    while (ok && cloned < length && !sink.progress.cancelled()) {
        const int64_t step = std::min(length - cloned, clone_chunk);
        const extent_cloner::outcome outcome = sink.clones.clone(position + cloned, sink.out.position(), step);
        if (outcome == extent_cloner::outcome::unsupported) break;
        if (outcome == extent_cloner::outcome::source_short) {
            SKARN_LOG("the level's file ends before offset " << position + cloned + step << ", nothing written");
            return save_result::cannot_read;
        }
        ok = outcome == extent_cloner::outcome::cloned && sink.out.skip(step);
        if (ok) {
            cloned += step;
            sink.progress.advance(step);
        }
    }
    if (ok) return save_result::ok;
    SKARN_LOG("cannot clone the level file's blocks from offset " << position + cloned << ": "
                                                                  << log::system_error_line());
    return save_result::cannot_write;
}

// Writes `count` bytes at `position` of the level's file: the whole blocks
// the output can share cloned, the rest copied.
save_result write_from_file(content_sink &sink, int64_t position, int64_t count) {
    const clone_span span = sink.clones.span(position, sink.out.position(), count);
    int64_t cloned = 0;
    if (span.length > 0) {
        if (const save_result copied = copy_from_file(sink, position, span.head); copied != save_result::ok)
            return copied;
        if (const save_result done = clone_from_file(sink, position + span.head, span.length, cloned);
            done != save_result::ok)
            return done;
    }
    const int64_t done = span.head + cloned;
    return copy_from_file(sink, position + done, count - done);
}

}  // namespace

buffered_writer::buffered_writer(int fd) noexcept
    : fd_(fd), buffer_(new (std::nothrow) uint8_t[buffer_size]), position_(::lseek(fd, 0, SEEK_CUR)) {}

bool buffered_writer::put(const uint8_t *bytes, int64_t count) noexcept {
    if (position_ >= 0) position_ += count;
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

bool buffered_writer::skip(int64_t count) noexcept {
    if (!flush()) return false;
    if (position_ < 0 || ::lseek(fd_, count, SEEK_CUR) < 0) return false;
    position_ += count;
    return true;
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
    // A level that reads its original bytes through a view has them elsewhere than its pieces say.
    extent_cloner clones(level.file.view.empty() ? level.file.fd() : -1, out.fd());
    content_sink sink{reader, clones, out, progress, length};
    save_result result = save_result::ok;
    // The engine's walk of the pieces: each piece's own source, no change
    // record loaded, the edits' bytes asked for ahead.
    const int64_t written = for_each_piece(level, offset, length, [&](const piece &piece, int64_t skip, int64_t count) {
        if (!piece.reads_file()) {
            if (!out.put(piece.bytes() + skip, count)) {
                SKARN_LOG("fwrite failed");
                result = save_result::cannot_write;
                return false;
            }
            progress.advance(count);
        } else {
            if (!level.file.is_open()) SKARN_FATAL("attempt to read segment from null file pointer");
            result = write_from_file(sink, piece.file_position() + skip, count);
            if (result != save_result::ok) return false;
        }
        if (progress.cancelled()) {
            SKARN_LOG("cancelled by the progress callback");
            result = save_result::cancelled;
            return false;
        }
        // The read-ahead serves the rest of the range, not this piece only.
        sink.still_wanted -= count;
        return true;
    });
    if (result != save_result::ok) return result;
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
