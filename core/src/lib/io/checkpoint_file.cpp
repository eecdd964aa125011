// The files of checkpoint levels.
#include "io/checkpoint_file.hpp"

#include <cerrno>
#include <cstdio>
#include <new>

#include <fcntl.h>
#include <unistd.h>

#include "io/transform_file.hpp"
#include "common/log.hpp"
#include "io/content_writer.hpp"
#include "io/private_files.hpp"
#include "skarn_edit/filesystem.h"

namespace skarn {

bool write_checkpoint_file(const skarn_model_struct &level, scoped_private_file &file, char *path, int64_t size,
                           progress_meter &progress) noexcept {
    return write_checkpoint_file_with(file, path, [&](buffered_writer &out, int64_t &written) {
        written = size;
        return write_content(level, 0, size, out, progress);
    });
}

bool write_checkpoint_file_with(scoped_private_file &file, char *path, const checkpoint_content &write) noexcept {
    const bool created = file.create(path);
    std::snprintf(path, SKARN_PATH_BUFFER_SIZE, "%s", file.path());
    if (!created) {
        SKARN_LOG(log::system_error_line());
        return false;
    }
    unique_fd writer = file.writer();
    buffered_writer out(writer.get());
    int64_t size = 0;
    save_result written = save_result::cannot_write;
    try {
        if (writer.valid()) written = write(out, size);
    } catch (const std::bad_alloc &) {
        SKARN_LOG("out of memory");
    }
    if (written != save_result::ok || !out.flush() || !writer.reset()) {
        // A cancelled or refused copy has said why already.
        if (written != save_result::cancelled && written != save_result::level_file_changed) {
            SKARN_LOG(log::system_error_line());
        }
        return false;
    }
    if (identity_of(file.fd()).size != size) {
        SKARN_LOG("checkpoint file '" << path << "' does not hold " << size << " bytes");
        SKARN_LOG(log::system_error_line(EIO));
        return false;
    }
    return true;
}

unique_fd transform_checkpoint_file(const skarn_model_struct &level, const char *directory, int64_t size,
                                    skarn_util_byte_transform_t transform, void *user_data, int64_t offset,
                                    int64_t length, progress_meter &progress, const char *tag,
                                    std::string *own_name) noexcept {
    char name[SKARN_PATH_BUFFER_SIZE];
    const int formatted = std::snprintf(name, sizeof name, "%s%c.Skarnpad-%sxfm.XXXXXX", directory,
                                        skarn_util_directory_separator(), tag);
    scoped_private_file output;  // removed unless renamed over the checkpoint file
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof name || !output.create(name)) return unique_fd{};
    // The transform writes through a stream of its own over the file.
    unique_fd writer = output.writer();
    unique_stream out{writer.valid() ? fdopen(writer.get(), "wb") : nullptr};
    if (!out.valid()) return unique_fd{};
    writer.release();  // the stream closes it
    const bool written =
        transform_stream(level.file.fd(), size, out.get(), transform, user_data, offset, length, &progress) == 0;
    const bool closed = out.close();
    if (!written || !closed || identity_of(output.fd()).size != size || !progress.finish()) return unique_fd{};
    if (own_name != nullptr) {
        try {
            *own_name = output.path();
        } catch (const std::bad_alloc &) {
            return unique_fd{};
        }
    } else if (std::rename(output.path(), level.file_path.c_str()) != 0) {
        SKARN_LOG(log::system_error_line());
        return unique_fd{};
    }
    output.keep();  // it is the checkpoint file now, or the session keeps it
    return output.take_descriptor();
}

}  // namespace skarn
