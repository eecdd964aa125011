// Resuming a session from the journal it left behind.
#ifndef SKARN_ENGINE_SESSION_RESUME_HPP
#define SKARN_ENGINE_SESSION_RESUME_HPP

#include "engine/session.hpp"
#include "skarn_edit/options.h"

namespace skarn {

// The session the journal at `journal_path` describes, as
// skarn_edit_resume_session says, journaling on into the same journal; null,
// logged, when it is refused. Throws std::bad_alloc.
skarn_session_struct *resume_session(const char *journal_path, const skarn_session_options_struct &options);

}  // namespace skarn

#endif  // SKARN_ENGINE_SESSION_RESUME_HPP
