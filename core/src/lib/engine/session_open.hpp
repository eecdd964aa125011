// Opening and closing a session.
#ifndef SKARN_ENGINE_SESSION_OPEN_HPP
#define SKARN_ENGINE_SESSION_OPEN_HPP

#include "impl_/session_def.hpp"
#include "skarn_edit/options.h"

namespace skarn {

// A new session over `file_path` (null or empty: over nothing) with
// `options`, already checked; null, logged, on failure, leaving nothing
// behind. Throws std::bad_alloc (leaving nothing behind either).
skarn_session_struct *create_session(const char *file_path, const skarn_session_options_struct &options);

// Ends `session`: its viewports, search contexts and levels go, with the
// checkpoint files and the private copy.
void destroy_session(skarn_session_struct *session) noexcept;

}  // namespace skarn

#endif  // SKARN_ENGINE_SESSION_OPEN_HPP
