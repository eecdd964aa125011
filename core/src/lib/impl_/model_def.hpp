// A model is one level of a session's checkpoint stack: its backing file, its
// change history and the segment list from which its content is computed.
#ifndef SKARN_IMPL_MODEL_DEF_HPP
#define SKARN_IMPL_MODEL_DEF_HPP

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "impl_/change_def.hpp"

namespace skarn {
enum segment_kind : int { SEGMENT_READ = 0, SEGMENT_INSERT = 1 };

// What tells that a file read in place was changed by someone else: its size
// and its modification and change times, to the nanosecond.
struct file_identity {
    int64_t size = -1;
    int64_t mtime_sec = 0, mtime_nsec = 0;
    int64_t ctime_sec = 0, ctime_nsec = 0;

    bool operator==(const file_identity &) const = default;

    // The identity of an open file; size -1 when it cannot be learnt.
    static file_identity of(FILE *file) noexcept {
        file_identity identity;
        struct stat status {};
        if (file == nullptr || fstat(fileno(file), &status) != 0) return identity;
        identity.size = status.st_size;
        identity.mtime_sec = status.st_mtim.tv_sec;
        identity.mtime_nsec = status.st_mtim.tv_nsec;
        identity.ctime_sec = status.st_ctim.tv_sec;
        identity.ctime_nsec = status.st_ctim.tv_nsec;
        return identity;
    }
};
}  // namespace skarn

// One piece of the computed content: `computed_length` bytes that start at
// `change_offset` in the change's bytes, or, for a read segment, at that
// position in the level's file.
struct skarn_model_segment_struct {
    int64_t computed_offset = 0;
    int64_t computed_length = 0;
    int64_t change_offset = 0;
    skarn::const_change_ptr change;

    // The kind is not stored: a change outside the history (serial 0) stands
    // for the level's file.
    int kind() const noexcept { return change->serial == 0 ? skarn::SEGMENT_READ : skarn::SEGMENT_INSERT; }
};

struct skarn_model_struct {
    FILE *file = nullptr;                    // the level's backing file, opened "rb"; none for a session over nothing
    std::string file_path;                   // base level: the caller's path; checkpoint level: the checkpoint file
    std::vector<skarn::change_ptr> changes;  // in force, oldest first
    std::vector<skarn::change_ptr> changes_undone;  // most recently undone last
    std::vector<skarn_model_segment_struct> model_segments;
    // An in-place base level reads the caller's own file, which must keep the
    // identity it had when the session opened it.
    bool in_place = false;
    skarn::file_identity identity{};

    skarn_model_struct() = default;
    skarn_model_struct(const skarn_model_struct &) = delete;
    skarn_model_struct &operator=(const skarn_model_struct &) = delete;
    ~skarn_model_struct() { close_file(); }

    void close_file() noexcept {
        if (file != nullptr) {
            std::fclose(file);
            file = nullptr;
        }
    }

    // False for an in-place level whose file was changed by someone else.
    bool file_intact() const noexcept { return !in_place || skarn::file_identity::of(file) == identity; }

    // The size of the level's file as the level knows it: for an in-place
    // level the size seen at opening, whatever the file holds now.
    int64_t file_size() const noexcept;

    int64_t computed_size() const noexcept {
        if (model_segments.empty()) return 0;
        const auto &last = model_segments.back();
        return last.computed_offset + last.computed_length;
    }
};

#endif  // SKARN_IMPL_MODEL_DEF_HPP
