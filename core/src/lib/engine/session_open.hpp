// Opening and closing a session.
#ifndef SKARN_ENGINE_SESSION_OPEN_HPP
#define SKARN_ENGINE_SESSION_OPEN_HPP

#include <memory>
#include <string>

#include "engine/session.hpp"
#include "skarn_edit/options.h"

namespace skarn {

// A new session over `file_path` (null or empty: over nothing) with
// `options`, already checked; null, logged, on failure, leaving nothing
// behind. Throws std::bad_alloc (leaving nothing behind either).
skarn_session_struct *create_session(const char *file_path, const skarn_session_options_struct &options);

// The checkpoint directory a new session over `file_path` works in when the
// caller names none (`checkpoint_directory` null) or the one named. Throws std::bad_alloc.
std::string choose_checkpoint_directory(const char *file_path, const char *checkpoint_directory);

// A session record with the callbacks of `options` working in `directory`
// (absolute), without levels yet. Throws std::bad_alloc.
std::unique_ptr<skarn_session_struct> new_session_record(const skarn_session_options_struct &options,
                                                         const char *directory);

// Ends `session`: its viewports, search contexts and levels go, with the
// checkpoint files and the private copy.
void destroy_session(skarn_session_struct *session) noexcept;

}  // namespace skarn

#endif  // SKARN_ENGINE_SESSION_OPEN_HPP
