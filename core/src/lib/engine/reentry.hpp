// The calls that would change a session from inside one of its own
// callbacks are refused.
#ifndef SKARN_ENGINE_REENTRY_HPP
#define SKARN_ENGINE_REENTRY_HPP

#include "impl_/session_def.hpp"

namespace skarn {

// True, after the log line "refused: called from inside a callback of the
// same session", when a callback of `session` is running.
bool refuse_reentry(const skarn_session_struct *session) noexcept;

}  // namespace skarn

#endif  // SKARN_ENGINE_REENTRY_HPP
