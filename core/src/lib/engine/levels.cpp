// The stack of a session's levels.
//
// Invariants kept here:
// 1. The stack is never empty: the base level stays until the session goes.
// 2. Every level above the base owns a checkpoint file in the session's
//    checkpoint directory, removed when the level is dropped (or, in a
//    journaled session, when the journal is removed).
#include "engine/levels.hpp"

#include "common/log.hpp"
#include "io/private_files.hpp"

namespace skarn {

void push_level(skarn_session_struct *session, std::unique_ptr<skarn_model_struct> level) {
    session->models.push_back(std::move(level));
}

void drop_top_level(skarn_session_struct *session) noexcept {
    if (session->models.size() <= 1) return;
    skarn_model_struct &level = session->current();
    level.close_file();
    // A journaled session keeps the file until its journal goes: a resumed
    // session replays the checkpoint before it replays the drop.
    if (session->journal == nullptr && !remove_private_file(level.file_path.c_str()))
        SKARN_LOG(log::system_error_line());
    level.changes.clear();
    level.changes_undone.clear();
    session->models.pop_back();
}

void drop_levels_above_base(skarn_session_struct *session) noexcept {
    while (session->models.size() > 1) drop_top_level(session);
}

}  // namespace skarn
