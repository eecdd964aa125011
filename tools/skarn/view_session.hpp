// Opening the session of skarn view: the file is read in place at once,
// whatever its size, and the progress of long operations (searches, saves)
// goes to whoever the screen names.
#pragma once

#include <skarn_edit.h>

#include <cstdint>
#include <functional>
#include <string>

namespace skarn_cli {

// Called with the progress of a long operation; returns false to cancel it.
using view_progress = std::function<bool(int64_t done, int64_t total)>;

// Where the session's progress reports go from now on (empty: nowhere).
void set_view_progress(view_progress progress);

// Refuses what the editor cannot show (a missing file, a directory, a pipe)
// with a failure that names the file and the reason.
void check_openable(const std::string &path);

// Opens a session over `path`, a regular file or a block device, read in
// place and keeping a journal of its edits. Throws a failure that says why
// it cannot.
skarn_session_struct *open_view_session(const std::string &path);

// The journal that a session over `path` left behind when its process died
// (killed, crashed), or empty when there is none.
std::string left_journal(const std::string &path);

// The session that `journal` describes, or null with the reason in `why`.
skarn_session_struct *resume_view_session(const std::string &journal, std::string &why);

}  // namespace skarn_cli
