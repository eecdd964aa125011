// The refusal of calls made from inside a session's own callbacks.
#include "engine/reentry.hpp"

#include "impl_/log.hpp"

namespace skarn {

bool refuse_reentry(const skarn_session_struct *session) noexcept {
    if (session == nullptr || !session->in_callback()) return false;
    SKARN_LOG("refused: called from inside a callback of the same session");
    return true;
}

}  // namespace skarn
