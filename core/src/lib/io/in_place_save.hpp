// Saving a session's content into the file it was created over, in that
// file itself, through a journal (see save_journal.cpp).
#ifndef SKARN_IO_IN_PLACE_SAVE_HPP
#define SKARN_IO_IN_PLACE_SAVE_HPP

#include <cstdint>

#include "engine/session.hpp"
#include "io/content_writer.hpp"

namespace skarn {

// The most bytes one chunk of a move carries (and each of the journal's two
// progress slots holds): 16 MiB. Tests make it small.
extern int64_t in_place_chunk_bytes;

// Saves the session's whole content in place as skarn_edit_save_segment
// says for IO_FLG_IN_PLACE: ok, or the failure, logged. Throws std::bad_alloc.
// The journal's record of a save of [offset, offset + length) over the
// caller's file, with the state the base level is in now. Throws std::bad_alloc.
journal_save save_record_of(const skarn_session_struct &session, int64_t offset, int64_t length);

save_result save_in_place(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path,
                          int64_t offset, int64_t length);

}  // namespace skarn

#endif  // SKARN_IO_IN_PLACE_SAVE_HPP
