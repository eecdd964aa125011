// The files of checkpoint levels: a checkpoint's copy of the content, and a
// transform's rewrite of it, both private files in the checkpoint directory.
#ifndef SKARN_IO_CHECKPOINT_FILE_HPP
#define SKARN_IO_CHECKPOINT_FILE_HPP

#include <cstdint>
#include <string>
#include <functional>

#include "engine/level.hpp"
#include "engine/progress.hpp"
#include "io/content_writer.hpp"
#include "io/level_file.hpp"
#include "io/private_files.hpp"
#include "skarn_edit/utility.h"

namespace skarn {

// Writes the `size` bytes of `level`'s content to `file`, a new private file
// created under `path` (a template ending in XXXXXX, completed in place),
// through the descriptor that created it, and checks its size. False, logged,
// when it fails; `file` removes what it holds unless the caller keeps it.
bool write_checkpoint_file(const skarn_model_struct &level, scoped_private_file &file, char *path, int64_t size,
                           progress_meter &progress) noexcept;

// What writes a new checkpoint file's content: it puts the bytes to the
// writer, sets `size` to how many it put, and returns ok or the failure it
// logged (cancelled and level_file_changed say why themselves).
using checkpoint_content = std::function<save_result(buffered_writer &out, int64_t &size)>;

// As write_checkpoint_file, with the content `write` puts.
bool write_checkpoint_file_with(scoped_private_file &file, char *path, const checkpoint_content &write) noexcept;

// Rewrites the file of `level`, a checkpoint level of `size` bytes, with
// [offset, offset + length) transformed: the output goes to a private file
// of its own in `directory`, created exclusively, then renamed over the
// checkpoint file, so nothing is opened again by name; with `own_name`
// (a journaled session, which keeps the checkpoint file as it was) the
// output keeps its name instead, told there. `tag` goes into the name as in
// the session's other files. Returns the new file's descriptor for the
// level, or none (logged, nothing left behind).
unique_fd transform_checkpoint_file(const skarn_model_struct &level, const char *directory, int64_t size,
                                    skarn_util_byte_transform_t transform, void *user_data, int64_t offset,
                                    int64_t length, progress_meter &progress, const char *tag,
                                    std::string *own_name) noexcept;

}  // namespace skarn

#endif  // SKARN_IO_CHECKPOINT_FILE_HPP
