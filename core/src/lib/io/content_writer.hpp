// Writes a range of a level's content to a descriptor: the bytes of inserted
// pieces from memory, those of file-backed pieces cloned from the level's file
// where the file system shares blocks (see extent_clone.hpp) and otherwise
// read through it, gathered into large writes.
#ifndef SKARN_IO_CONTENT_WRITER_HPP
#define SKARN_IO_CONTENT_WRITER_HPP

#include <cstdint>
#include <memory>

#include "engine/level.hpp"
#include "engine/progress.hpp"

namespace skarn {

// The results of writing and saving content, as skarn_edit_save_segment
// documents them (-5 and -10 are no longer returned).
enum class save_result : int {
    ok = 0,
    bad_range = -1,
    no_directory = -2,
    name_too_long = -3,
    cannot_create = -4,
    cannot_read = -6,  // a stretch of a level's file could not be copied
    cannot_write = -7,
    content_short = -8,  // fewer bytes than asked for were found
    size_mismatch = -9,  // the written file does not hold what was written
    no_free_name = -11,
    cannot_rename = -12,
    cancelled = -13,
    level_file_changed = -14,    // another program changed the file an in-place level reads
    directory_not_synced = -15,  // in place, but its directory could not be flushed
    in_place_refused = -16,      // IO_FLG_IN_PLACE over another file, a part of the content, or nothing
    device_size_differs = -17,   // a block device cannot change size
    journal_failed = -18,        // the journal could not be made, or the growth allocated: file untouched
    in_place_unfinished = -19,   // committed but not completed: the journal stays for recovery
    caller_file_changed = -100,
};

// Gathers bytes into one write call per 256 KiB, the size of the reader's
// read-ahead: behind many edits a quarter of the calls of 64 KiB, each of
// which the file system charges for, while the buffer and the read-ahead
// together still stay within the second-level cache as the kernel copies
// from them. A failed write is kept: what comes after it is dropped, and
// flush() tells it (errno set).
class buffered_writer {
public:
    explicit buffered_writer(int fd) noexcept;
    buffered_writer(const buffered_writer &) = delete;
    buffered_writer &operator=(const buffered_writer &) = delete;

    bool put(const uint8_t *bytes, int64_t count) noexcept;
    // Writes what is held. False when any write failed.
    bool flush() noexcept;
    int fd() const noexcept { return fd_; }
    // Where in the file the next byte put goes; -1 when the descriptor has no offset.
    int64_t position() const noexcept { return position_; }
    // Moves past `count` bytes placed in the file by other means (a clone),
    // once what is held is written. False (errno set) on failure.
    bool skip(int64_t count) noexcept;

private:
    static constexpr int64_t buffer_size = int64_t{256} << 10;

    bool write_all(const uint8_t *bytes, int64_t count) noexcept;

    int fd_;
    std::unique_ptr<uint8_t[]> buffer_;
    int64_t held_ = 0;
    int64_t position_;
    bool ok_ = true;
};

// Writes [offset, offset + length) of `level`'s content to `out` (which the
// caller flushes), piece by piece in content order, telling `progress` as it goes, and
// returns ok, or the failure: cannot_read (a file-backed piece), cannot_write
// (inserted bytes), content_short, cancelled (by `progress`) or
// level_file_changed. Logs each failure.
save_result write_content(const skarn_model_struct &level, int64_t offset, int64_t length, buffered_writer &out,
                          progress_meter &progress);

}  // namespace skarn

#endif  // SKARN_IO_CONTENT_WRITER_HPP
