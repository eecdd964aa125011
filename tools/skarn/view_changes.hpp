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

// The changed bytes of a stretch around the window, kept across keys: an edit
// made through the editor updates them in place, and only a window outside
// the stretch, or undo, redo and saves (forget), make them be found again by
// following the whole history back.
class changed_bytes_cache {
public:
    // One flag per byte of [offset, offset + length), as changed_bytes.
    std::vector<bool> get(const skarn_session_struct *session, int64_t offset, int64_t length, int64_t newest);
    // The session's newest change was just made, and is not saved.
    void note_edit(const skarn_change_struct *change);
    void forget() { valid_ = false; }

private:
    bool valid_ = false;
    int64_t offset_ = 0;  // where flags_ start in the content
    std::vector<bool> flags_;
};

}  // namespace skarn_cli
