// A model is one level of a session's checkpoint stack: its backing file, its
// change history and the segment list from which its content is computed.
#ifndef SKARN_IMPL_MODEL_DEF_HPP
#define SKARN_IMPL_MODEL_DEF_HPP

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "impl_/change_def.hpp"

namespace skarn {
enum segment_kind : int { SEGMENT_READ = 0, SEGMENT_INSERT = 1 };
}

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

    int64_t computed_size() const noexcept {
        if (model_segments.empty()) return 0;
        const auto &last = model_segments.back();
        return last.computed_offset + last.computed_length;
    }
};

#endif  // SKARN_IMPL_MODEL_DEF_HPP
