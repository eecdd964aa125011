// A model is one level of a session's checkpoint stack: its backing file, its
// change history and the segment sequence from which its content is computed.
#ifndef SKARN_IMPL_MODEL_DEF_HPP
#define SKARN_IMPL_MODEL_DEF_HPP

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "impl_/change_def.hpp"
#include "impl_/segment_tree.hpp"

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

// A level's backing file: a read-only descriptor, its size as last learnt,
// and exact positional reads. Every reader of the file reads by position, so
// no reader (nor a call made from a callback in the middle of one) moves a
// file offset another relies on. The file is never mapped: another program
// may cut it short at any time, and touching a mapped byte it removed would
// end the host process with SIGBUS; a positional read merely comes up short.
struct level_file {
    int fd = -1;
    int64_t size = 0;        // refreshed by adopt() and refresh_size()
    FILE *stream = nullptr;  // owns fd

    level_file() = default;
    level_file(const level_file &) = delete;
    level_file &operator=(const level_file &) = delete;
    ~level_file() { close(); }

    bool is_open() const noexcept { return fd >= 0; }
    // Takes over `file`, a stream opened for reading, and learns its size; on
    // failure the stream is closed and nothing is open.
    bool adopt(FILE *file) noexcept;
    void close() noexcept;
    // The size of the file now; 0 with no file, -1 when it cannot be learnt.
    int64_t current_size() const noexcept;
    // The same, also cached in `size`.
    int64_t refresh_size() noexcept { return size = current_size(); }
    // Copies `count` bytes at `position` into `out`; false unless every byte arrives.
    bool read_exact(int64_t position, int64_t count, uint8_t *out) const noexcept;
};

// Copies `count` bytes at `position` of the file open as `fd` into `out`
// with positional reads; false unless every byte arrives.
bool read_exact_at(int fd, int64_t position, int64_t count, uint8_t *out) noexcept;

// What one change did to its level's segment sequence, so that undo can put
// the sequence back exactly; the change record keeps it. The whole pieces it removed are the last
// `removed` entries of the level's removed-piece stack; a front it cut off
// the segment where its removal ended (flag `trimmed`) is not kept, as it is
// the stretch of the same change just before what is left of that segment,
// as long as the change's length minus the whole pieces' lengths. The flags
// say where its cuts fell (see update_model_helper_).
struct splice_record {
    static constexpr uint8_t split = 0x01;          // the cut at the offset split a segment in two
    static constexpr uint8_t trimmed = 0x02;        // the removal ended by cutting the front off a segment
    static constexpr uint8_t removal_front = 0x04;  // the removal started at the front of the sequence
    static constexpr uint8_t insert_front = 0x08;   // the inserted segment went to the front of the sequence
    static constexpr uint8_t inserted = 0x10;       // a segment showing the change was inserted
    uint32_t removed = 0;
    uint8_t flags = 0;
};

}  // namespace skarn

// Inline: tests build levels of their own.
namespace skarn {

inline bool level_file::adopt(FILE *file) noexcept {
    close();
    if (file == nullptr) return false;
    stream = file;
    fd = fileno(stream);
    if (refresh_size() < 0) {
        close();
        return false;
    }
    return true;
}

inline void level_file::close() noexcept {
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
    fd = -1;
    size = 0;
}

inline int64_t level_file::current_size() const noexcept {
    if (fd < 0) return 0;
    struct stat info {};
    if (fstat(fd, &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

inline bool read_exact_at(int fd, int64_t position, int64_t count, uint8_t *out) noexcept {
    if (count == 0) return true;
    if (fd < 0 || position < 0) return false;
    while (count > 0) {
        const ssize_t got = pread(fd, out, static_cast<size_t>(count), static_cast<off_t>(position));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;  // an error, or the file is shorter than its model
        out += got;
        position += got;
        count -= got;
    }
    return true;
}

inline bool level_file::read_exact(int64_t position, int64_t count, uint8_t *out) const noexcept {
    return read_exact_at(fd, position, count, out);
}

}  // namespace skarn

struct skarn_model_struct {
    skarn::level_file file;                  // the level's backing file; none for a session over nothing
    std::string file_path;                   // base level: the caller's path; checkpoint level: the checkpoint file
    std::vector<skarn::change_ptr> changes;  // in force, oldest first
    std::vector<skarn::change_ptr> changes_undone;  // most recently undone last
    skarn::segment_tree model_segments;
    // How many of the changes in force, oldest first, carry the splice record
    // of their last splicing into this level's segments (all of them, unless
    // a model update failed; then undo rebuilds the level by replaying).
    size_t spliced = 0;
    std::vector<skarn::piece> removed_pieces;          // what the changes in force removed, oldest first
    const skarn_change_struct *read_change = nullptr;  // the change of the level's read segments, kept by them
    mutable std::vector<uint8_t> read_buffer;          // read-ahead of the file for fills (see populate_data_segment_)
    // An in-place base level reads the caller's own file, which must keep the
    // identity it had when the session opened it.
    bool in_place = false;
    skarn::file_identity identity{};

    skarn_model_struct() = default;
    skarn_model_struct(const skarn_model_struct &) = delete;
    skarn_model_struct &operator=(const skarn_model_struct &) = delete;

    void close_file() noexcept { file.close(); }

    // False for an in-place level whose file was changed by someone else.
    bool file_intact() const noexcept;

    // The size of the level's file as the level knows it: for an in-place
    // level the size seen at opening, whatever the file holds now.
    int64_t file_size() const noexcept;

    int64_t computed_size() const noexcept { return model_segments.total(); }
};

#endif  // SKARN_IMPL_MODEL_DEF_HPP
