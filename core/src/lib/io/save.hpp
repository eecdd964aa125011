// Saving a session's content to a file: a temporary file beside the target,
// written and synced, then renamed into place in one step.
#ifndef SKARN_IO_SAVE_HPP
#define SKARN_IO_SAVE_HPP

#include <cstdint>

#include "engine/session.hpp"
#include "io/content_writer.hpp"

namespace skarn {

// Saves [offset, offset + length) of the session's content (length < 1: to
// the end) to `file_path` with `io_flags`, as skarn_edit_save_segment says:
// ok, or the failure, logged. `saved_path` (may be null)
// receives the path written. Throws std::bad_alloc.
save_result save_content(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path,
                         int64_t offset, int64_t length);

}  // namespace skarn

#endif  // SKARN_IO_SAVE_HPP
