// Checkpoints and transforms: a level pushed over a copy of the content, a
// level dropped, a checkpoint level whose file is rewritten transformed.
#ifndef SKARN_ENGINE_CHECKPOINTS_HPP
#define SKARN_ENGINE_CHECKPOINTS_HPP

#include <cstdint>
#include <string>

#include "engine/session.hpp"
#include "io/private_files.hpp"
#include "skarn_edit/filesystem.h"
#include "skarn_edit/utility.h"

namespace skarn {

// As skarn_edit_create_checkpoint, skarn_edit_destroy_last_checkpoint and
// skarn_edit_apply_transform say: 0, or -1 (logged). Throw std::bad_alloc.
int create_checkpoint(skarn_session_struct *session);
int destroy_last_checkpoint(skarn_session_struct *session);
int apply_transform(skarn_session_struct *session, skarn_util_byte_transform_t transform, void *user_data,
                    int64_t offset, int64_t length);

// A resumed session replays what its journal recorded: a checkpoint level
// over the kept file `path` (a copy of the level below, or another content
// of the file's size: a replace-all's), and the top level's file replaced by the
// transformed file `path`. 0, or -1 (logged) when the file cannot be opened
// or does not hold the level's bytes. Throw std::bad_alloc.
int replay_checkpoint(skarn_session_struct *session, const std::string &path, bool mirrors_below = true);
int replay_transform(skarn_session_struct *session, const std::string &path);

// The template of the next checkpoint file's path (ending in XXXXXX) in
// `path`, the checkpoint directory made again when it is missing; false,
// logged, when neither can be done.
bool checkpoint_file_template(skarn_session_struct *session, char (&path)[SKARN_PATH_BUFFER_SIZE]);

// Pushes a level over `file`, the complete private file at `path` holding
// the `size` bytes of the new level's content (the level below's content as
// it was when `mirrors_below`), announced as a new checkpoint; the level
// takes the file. 0, or -1 (logged; `file` is still the caller's).
int push_checkpoint_level(skarn_session_struct *session, scoped_private_file &file, const char *path, int64_t size,
                          bool mirrors_below);

// The whole content of the top level was rewritten: every viewport goes
// stale with VIEWPORT_EVT_TRANSFORM, then SESSION_EVT_TRANSFORM is announced.
void announce_transform(skarn_session_struct *session) noexcept;

}  // namespace skarn

#endif  // SKARN_ENGINE_CHECKPOINTS_HPP
