// The change history of a session: edits, undo, redo, clearing.
#ifndef SKARN_ENGINE_HISTORY_HPP
#define SKARN_ENGINE_HISTORY_HPP

#include <cstdint>

#include "impl_/change_def.hpp"
#include "impl_/session_def.hpp"

namespace skarn {

// Applies an edit of `kind` (CHANGE_INSERT, CHANGE_OVERWRITE, CHANGE_DELETE)
// to the current level, as the edit functions describe it: its serial, 0
// when nothing was done (changes paused, a refused call, a range outside the
// content, an empty insert), -1 on failure. Throws std::bad_alloc.
int64_t edit(skarn_session_struct *session, uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length);

// Applies `change` (new, or redone with its serial negative) to the current
// level, then updates viewports and tells the session. Its serial, or -1.
// Throws std::bad_alloc.
int64_t apply_change(skarn_session_struct *session, const change_ptr &change);

// The transaction bit of the next change, as the transaction state says.
bool next_transaction_bit(skarn_session_struct *session);

// Undoes or redoes the newest transaction of the current level: the serial
// of its last change undone (negative) or redone, 0 when there is none (or
// the call is refused), -1 on failure. Throw std::bad_alloc.
int64_t undo(skarn_session_struct *session);
int64_t redo(skarn_session_struct *session);

// Forgets the whole history, checkpoints included: 0, or -1. Throws std::bad_alloc.
int clear_history(skarn_session_struct *session);

}  // namespace skarn

#endif  // SKARN_ENGINE_HISTORY_HPP
