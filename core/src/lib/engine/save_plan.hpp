// Planning an in-place save: the content resolved to where its bytes come
// from, the moves and new bytes that turn the caller's file into it, and
// what the session then knows of the file.
#ifndef SKARN_ENGINE_SAVE_PLAN_HPP
#define SKARN_ENGINE_SAVE_PLAN_HPP

#include <cstdint>
#include <vector>

#include "engine/file_map.hpp"
#include "engine/session.hpp"
#include "io/level_file.hpp"
#include "io/save_journal.hpp"

namespace skarn {

// `length` bytes of content at `offset` whose bytes are those of `change`
// from `source` (change null: the base level's file at `source`). A
// checkpoint's piece is followed down to the level below while the
// checkpoint's file still holds that level's content; a transformed
// checkpoint's file is `opaque`: its bytes are not tracked.
struct resolved_piece {
    int64_t offset = 0;
    int64_t length = 0;
    const skarn_change_struct *change = nullptr;
    int64_t source = 0;
    bool opaque = false;
};

// The current content resolved, in content order. Throws std::bad_alloc.
std::vector<resolved_piece> resolve_content(const skarn_session_struct &session);

// The plan that turns the caller's file (`old_size` bytes, holding what
// `map` says; null: nothing is known, everything is written) into `content`.
// Bytes found in the file move, or stay where they already are; the rest is
// new data. A stretch found out of order is written as new data, so that
// the moves keep their order. Throws std::bad_alloc.
save_plan plan_in_place_save(const std::vector<resolved_piece> &content, const caller_file_map *map, int64_t old_size);

// The caller's file now holds [offset, offset + length) of the content:
// the session's file map says so from now on. Throws std::bad_alloc.
void remember_saved_content(skarn_session_struct &session, int64_t offset, int64_t length);

// What the caller's file holds once it holds `content`. Throws std::bad_alloc.
void map_saved_content(const skarn_session_struct &session, const std::vector<resolved_piece> &content,
                       caller_file_map &map);

// A stretch of the caller's file copied to the session's own file (at
// `kept_position`) before an in-place save destroys it.
struct kept_copy {
    int64_t position = 0;
    int64_t kept_position = 0;
    int64_t length = 0;
};

// How an in-place base level reads its file after `plan` has run: `view`
// (its spans over its original bytes) and the copies to make first, to the
// end of the kept file (`kept_size` bytes so far). Throws std::bad_alloc.
struct level_view_update {
    std::vector<view_span> view;
    std::vector<kept_copy> copies;
};
level_view_update view_after_save(const level_file &file, int64_t original_size,
                                  const std::vector<resolved_piece> &content, const save_plan &plan);

}  // namespace skarn

#endif  // SKARN_ENGINE_SAVE_PLAN_HPP
