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

// Opens a session over `path`, a regular file or a block device, read in
// place. Throws a failure that names the file and the reason (missing, a
// directory, unreadable).
skarn_session_struct *open_view_session(const std::string &path);

}  // namespace skarn_cli
