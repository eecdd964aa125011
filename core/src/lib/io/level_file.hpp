// A level's backing file and the reads of it: the owned descriptor, file
// identities, exact positional reads and the read-ahead that serves a run of
// short pieces with one read.
#ifndef SKARN_IO_LEVEL_FILE_HPP
#define SKARN_IO_LEVEL_FILE_HPP

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "io/handles.hpp"

namespace skarn {

// What tells one state of a file from another: which file it is, its size,
// and its modification and change times to the nanosecond. `known` is false
// when it could not be learnt.
struct file_identity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    int64_t size = 0;
    timespec modified{};
    timespec changed{};

    bool operator==(const file_identity &other) const noexcept {
        return known == other.known && device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

// The identity of the file at `path` (followed through links), or of an open
// descriptor; `known` is false when it cannot be learnt.
file_identity identity_of(const char *path) noexcept;
file_identity identity_of(int fd) noexcept;

// A stretch of a level file's original bytes and where it lies now: at
// `position` of the file itself, or of the level's kept file (`kept`).
struct view_span {
    int64_t start = 0;
    int64_t length = 0;
    int64_t position = 0;
    bool kept = false;
};

// A level's backing file: a read-only descriptor, its size as last learnt,
// and exact positional reads. Every reader of the file reads by position, so
// no reader (nor a call made from a callback in the middle of one) moves a
// file offset another relies on. The file is never mapped: another program
// may cut it short at any time, and touching a mapped byte it removed would
// end the host process with SIGBUS; a positional read merely comes up short.
//
// After an in-place save the file no longer holds its original bytes where
// they were: `view` then tells where each stretch of them lies (sorted,
// covering them all), in the file or in `kept`, the session's own copy of
// the bytes the save destroyed. Positions given to reads are always those of
// the original bytes. An empty view reads the file as it is.
struct level_file {
    unique_fd descriptor;
    int64_t size = 0;  // refreshed by adopt() and refresh_size()
    std::vector<view_span> view;
    unique_fd kept;         // unnamed: it goes with its descriptor, unless
    std::string kept_path;  // a journaled session keeps it under this name
    int64_t kept_size = 0;

    int fd() const noexcept { return descriptor.get(); }
    bool is_open() const noexcept { return descriptor.valid(); }
    // Takes over `file`, a descriptor open for reading, and learns its size;
    // on failure the descriptor is closed and nothing is open.
    bool adopt(unique_fd file) noexcept;
    void close() noexcept;
    // Makes the file's data durable; false (errno set) on failure.
    bool sync() const noexcept;
    // The size of the file now; 0 with no file, -1 when it cannot be learnt.
    int64_t current_size() const noexcept;
    // The same, also cached in `size`.
    int64_t refresh_size() noexcept { return size = current_size(); }
    // Copies `count` bytes at `position` into `out`; false unless every byte arrives.
    bool read_exact(int64_t position, int64_t count, uint8_t *out) const noexcept;
    // Copies up to `count` bytes at `position` into `out`; returns how many
    // arrived (fewer at the end of the file or on an error).
    int64_t read_some(int64_t position, int64_t count, uint8_t *out) const noexcept;
};

// Copies `count` bytes at `position` of the file open as `fd` into `out`
// with positional reads; false unless every byte arrives.
bool read_exact_at(int fd, int64_t position, int64_t count, uint8_t *out) noexcept;

// Writes the `count` bytes at `bytes` at `position` of the file open as `fd`
// with positional writes; false (errno set) unless every byte is written.
bool write_exact_at(int fd, int64_t position, int64_t count, const uint8_t *bytes) noexcept;

// Positional reads of a level's file through a read-ahead buffer. Behind
// many edits reads meet many short file-backed pieces that mostly follow one
// another in the file, with small gaps where bytes were deleted or
// overwritten: one read covering what is still wanted serves a run of them.
// Long pieces are read straight into their place. A file cut short meanwhile,
// by anyone, only makes a read come up short. `buffer` is the reader's
// storage (grown as needed) and must not be shared with a reader in use.
class file_reader {
public:
    static constexpr int64_t ahead_limit = int64_t{256} << 10;  // most bytes read ahead at a time

    file_reader(const level_file &file, std::vector<uint8_t> &buffer) noexcept;
    file_reader(const file_reader &) = delete;
    file_reader &operator=(const file_reader &) = delete;

    // The `count` bytes at `position` (at most ahead_limit), reading ahead up
    // to `wanted` bytes from there when they are not held; null when the file
    // does not hold them all or no memory can be had. Valid until the next call.
    const uint8_t *view(int64_t position, int64_t count, int64_t wanted) noexcept;
    // Copies `count` bytes at `position` into `out`; `still_wanted` (how much
    // the caller will read from there on) is a hint for the read-ahead. False
    // unless every byte arrives.
    bool copy(int64_t position, int64_t count, int64_t still_wanted, uint8_t *out) noexcept;

private:
    static constexpr int64_t direct_limit = int64_t{16} << 10;
    static constexpr int64_t slack = int64_t{4} << 10;

    bool fill(int64_t position, int64_t wanted) noexcept;

    const level_file &file_;
    std::vector<uint8_t> &buffer_;
    int64_t start_ = 0;
    int64_t length_ = 0;
};

}  // namespace skarn

#endif  // SKARN_IO_LEVEL_FILE_HPP
