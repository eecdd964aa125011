// The stack of a session's levels: the base level over the caller's file and
// a checkpoint level above it for each checkpoint. The only code that pushes
// or drops a level.
#ifndef SKARN_ENGINE_LEVELS_HPP
#define SKARN_ENGINE_LEVELS_HPP

#include <memory>

#include "impl_/session_def.hpp"

namespace skarn {

// Puts `level` on top; it becomes the current level. Throws std::bad_alloc
// (the level is then destroyed with its file descriptor, not its file).
void push_level(skarn_session_struct *session, std::unique_ptr<skarn_model_struct> level);

// Drops the top level, which must not be the base level, with its history
// and its file; a file that cannot be removed is logged.
void drop_top_level(skarn_session_struct *session) noexcept;

// Drops every level above the base level.
void drop_levels_above_base(skarn_session_struct *session) noexcept;

}  // namespace skarn

#endif  // SKARN_ENGINE_LEVELS_HPP
