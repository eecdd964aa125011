// What the caller's file holds, in terms of the session's own bytes: for
// each stretch of the file, the change (or the base level's file) whose
// bytes it holds. An in-place save writes only what this map does not show
// already in place.
#ifndef SKARN_ENGINE_FILE_MAP_HPP
#define SKARN_ENGINE_FILE_MAP_HPP

#include <cstdint>
#include <vector>

#include "engine/change.hpp"

namespace skarn {

// `length` bytes from `source` of `change` (null: the base level's file,
// `source` a position in it) lie at `position` of the caller's file.
struct file_map_entry {
    const skarn_change_struct *change = nullptr;
    int64_t source = 0;
    int64_t length = 0;
    int64_t position = 0;
};

// Where a stretch of a source lies in the caller's file: at `position` for
// `length` bytes (position -1: those bytes are not in the file).
struct file_map_hit {
    int64_t position = -1;
    int64_t length = 0;
};

class caller_file_map {
public:
    // The file holds the base level's file as it is (a fresh session).
    void reset_to_base(int64_t size);
    // The file holds `entries` (taken over; any order), whose changes
    // `owners` keep alive.
    void assign(std::vector<file_map_entry> entries, std::vector<const_change_ptr> owners);
    // Nothing is known of the file.
    void forget() noexcept;

    // The first stretch of the `length` bytes of `change` from `source`.
    file_map_hit find(const skarn_change_struct *change, int64_t source, int64_t length) const noexcept;

private:
    std::vector<file_map_entry> entries_;  // by change, then source
    std::vector<const_change_ptr> owners_;
};

}  // namespace skarn

#endif  // SKARN_ENGINE_FILE_MAP_HPP
