// Checkpoints and transforms: a level pushed over a copy of the content, a
// level dropped, a checkpoint level whose file is rewritten transformed.
#ifndef SKARN_ENGINE_CHECKPOINTS_HPP
#define SKARN_ENGINE_CHECKPOINTS_HPP

#include <cstdint>
#include <string>

#include "engine/session.hpp"
#include "skarn_edit/utility.h"

namespace skarn {

// As skarn_edit_create_checkpoint, skarn_edit_destroy_last_checkpoint and
// skarn_edit_apply_transform say: 0, or -1 (logged). Throw std::bad_alloc.
int create_checkpoint(skarn_session_struct *session);
int destroy_last_checkpoint(skarn_session_struct *session);
int apply_transform(skarn_session_struct *session, skarn_util_byte_transform_t transform, void *user_data,
                    int64_t offset, int64_t length);

// A resumed session replays what its journal recorded: a checkpoint level
// over the kept file `path`, and the top level's file replaced by the
// transformed file `path`. 0, or -1 (logged) when the file cannot be opened
// or does not hold the level's bytes. Throw std::bad_alloc.
int replay_checkpoint(skarn_session_struct *session, const std::string &path);
int replay_transform(skarn_session_struct *session, const std::string &path);

}  // namespace skarn

#endif  // SKARN_ENGINE_CHECKPOINTS_HPP
