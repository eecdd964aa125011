// Which bytes of the screen's window were changed: the window is followed back
// through the session's changes, newest first, and every byte that an insert
// or overwrite put there is marked.
#pragma once

#include <skarn_edit.h>

#include <cstdint>
#include <vector>

namespace skarn_cli {

// One flag per byte of [offset, offset + length) of the current content:
// true when one of the `newest` newest changes in force (those not yet
// saved) wrote that byte.
std::vector<bool> changed_bytes(const skarn_session_struct *session, int64_t offset, int64_t length, int64_t newest);

}  // namespace skarn_cli
