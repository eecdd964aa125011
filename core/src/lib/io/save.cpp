// Saving a session's content to a file.
//
// The order of a save, and what each step guarantees:
// 1. The target is resolved: a link is followed to its file. A device, FIFO
//    or socket there is never replaced.
// 2. Replacing the caller's file is refused when anything changed it since
//    the session read it (or last saved over it), and nothing is written
//    from an in-place level whose file another program changed.
// 3. The temporary file goes beside the target, so that the rename stays
//    within one file system; where possible it has no name until step 6.
// 4. The content is written through the descriptor that created the file,
//    given the replaced file's permission bits and owner, made durable and
//    its size checked.
// 5. The last look at the caller's file: another program's write that
//    landed while the save ran is not lost.
// 6. The complete file gets its temporary name and is renamed into place:
//    with overwrite the target is replaced at once or not at all; without,
//    an existing target keeps its file and the content takes a free
//    numbered variant of the name, never replacing one taken meanwhile.
// 7. The directory is synced, so that the new entry reaches the disk too.
// Until step 6 the target is untouched, and every failure removes the
// temporary file (save_file removes it unless renamed).
#include "io/save.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log.hpp"
#include "engine/save_plan.hpp"
#include "io/content_writer.hpp"
#include "io/in_place_save.hpp"
#include "io/private_files.hpp"
#include "io/save_target.hpp"
#include "skarn_edit.hpp"

namespace skarn {
namespace {

constexpr size_t path_buffer_size = SKARN_PATH_BUFFER_SIZE;

// What a save learnt of its target before writing.
struct save_target {
    std::string path;           // the file really written
    bool through_link = false;  // a link was followed to it
    bool exists = false;        // a regular file is there
    struct stat existing {};    // its state, when it exists
    bool overwrite = false;     // IO_FLG_OVERWRITE or IO_FLG_FORCE_OVERWRITE
    bool force = false;         // IO_FLG_FORCE_OVERWRITE
    bool own_file = false;      // it is the caller's file the session was made over
    char directory[path_buffer_size] = "";
};

// Gives the temporary file `fd` the permission bits, and where the process
// may set them the owner and group, of the file it is about to replace.
// Returns false when the permission bits cannot be set.
bool carry_over_metadata(int fd, const struct stat &replaced) noexcept {
    const bool owned = ::fchown(fd, replaced.st_uid, replaced.st_gid) == 0 ||
                       ::fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) == 0;
    // When neither is ours to give, the new file keeps this process's owner and group.
    static_cast<void>(owned);
    // After the change of owner, which may clear the set-id bits.
    return ::fchmod(fd, replaced.st_mode & 07777) == 0;
}

// Renames `from` to `to` unless `to` exists (EEXIST then). Where the file
// system cannot refuse in the same step, a check just before the rename
// stands in for it.
int rename_without_replacing(const char *from, const char *to) noexcept {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    if (::access(to, F_OK) == 0) {
        errno = EEXIST;
        return -1;
    }
    return std::rename(from, to);
}

// A device, FIFO or socket: a rename over it would replace the node itself
// with a regular file.
bool is_special(const struct stat &entry) noexcept { return !S_ISREG(entry.st_mode) && !S_ISDIR(entry.st_mode); }

save_result refuse_special(const char *path) {
    SKARN_LOG("'" << path << "' is a device, FIFO or socket, not a regular file: save refused, nothing written");
    return save_result::cannot_rename;
}

// The caller's file is still as the session last knew it.
bool caller_file_unchanged(const skarn_session_struct *session) noexcept {
    return identity_of(session->base().file_path.c_str()) == session->caller_file;
}

// Step 1 and the judgement of step 2: ok, cannot_rename (also for a target
// that is a device, FIFO or socket, with or without overwrite) or
// caller_file_changed.
save_result examine_target(const skarn_session_struct *session, const char *file_path, int io_flags,
                           save_target &target) {
    target.overwrite = (io_flags & (IO_FLG_OVERWRITE | IO_FLG_FORCE_OVERWRITE)) != 0;
    target.force = (io_flags & IO_FLG_FORCE_OVERWRITE) != 0;
    if (!resolve_save_target(file_path, target.path, target.through_link)) {
        SKARN_LOG(log::system_error_line());
        return save_result::cannot_rename;
    }
    const bool found = ::stat(target.path.c_str(), &target.existing) == 0;
    target.exists = found && S_ISREG(target.existing.st_mode);
    if (found && is_special(target.existing)) return refuse_special(target.path.c_str());
    const char *caller_path = session->base().file_path.c_str();
    if (target.overwrite && session->caller_file.known && target.exists) {
        target.own_file = (target.existing.st_dev == session->caller_file.device &&
                           target.existing.st_ino == session->caller_file.inode) ||
                          skarn_util_paths_equivalent(target.path.c_str(), caller_path) != 0;
        if (target.own_file && !target.force && !caller_file_unchanged(session)) {
            SKARN_LOG("original file '" << caller_path
                                        << "' has been modified since the session was created, save failed "
                                           "(use IO_FLG_FORCE_OVERWRITE to override)");
            return save_result::caller_file_changed;
        }
    }
    return save_result::ok;
}

// Step 3, the place: the target's directory, created unless a link led
// there. ok, no_directory or name_too_long.
save_result prepare_directory(const char *file_path, save_target &target) {
    char *directory = target.directory;
    if (skarn_util_dirname(target.path.c_str(), directory) == nullptr) {
        // The directory alone does not fit a path buffer, so neither does the temporary name.
        SKARN_LOG(log::system_error_line(ENAMETOOLONG));
        return save_result::name_too_long;
    }
    if (directory[0] == '\0') skarn_util_get_current_dir(directory);  // stays empty when unknown
    if (target.through_link && skarn_util_directory_exists(directory) == 0) {
        // A link may name a place anywhere: nothing is made on the way to it.
        SKARN_LOG("the directory '" << directory << "' of the file that '" << file_path
                                    << "' links to does not exist; not created");
        return save_result::no_directory;
    }
    if (skarn_util_directory_exists(directory) == 0 && skarn_util_create_directory(directory) != 0) {
        char normalized[path_buffer_size];
        const char *shown = skarn_util_normalize_path(directory, normalized);
        SKARN_LOG("failed to create directory: " << (shown != nullptr ? shown : directory));
        return save_result::no_directory;
    }
    return save_result::ok;
}

// Step 3, the file: created in the target's directory, its descriptor in
// `fd`. ok, name_too_long or cannot_create.
save_result create_temporary(const save_target &target, save_file &temp, unique_fd &fd) {
    char temp_name[path_buffer_size];
    const char *directory = target.directory;
    const int formatted = directory[0] == '\0' ? std::snprintf(temp_name, sizeof temp_name, ".Skarnpad_XXXXXX")
                                               : std::snprintf(temp_name, sizeof temp_name, "%s%c.Skarnpad_XXXXXX",
                                                               directory, skarn_util_directory_separator());
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof temp_name) {
        SKARN_LOG(log::system_error_line(formatted < 0 ? errno : ENAMETOOLONG));
        return save_result::name_too_long;
    }
    fd.reset(temp.create(temp_name, static_cast<mode_t>(skarn_util_compute_mode(0666))));
    if (!fd.valid()) {
        const int error = errno;
        SKARN_LOG("mkstemp failed, temp filename: " << temp.name());
        SKARN_LOG(log::system_error_line(error));
        return save_result::cannot_create;
    }
    return save_result::ok;
}

// Steps 4 and 5 through the descriptor that created the file, then its
// name. ok or the failure.
save_result write_temporary(skarn_session_struct *session, const save_target &target, save_file &temp, unique_fd &fd,
                            int64_t offset, int64_t length) {
    // Writing goes through the descriptor just made. Reopening the file by
    // name for writing would truncate it, and ext4 pushes all the data of a
    // file written after a truncation out to the disk when it is closed,
    // which costs about as much again as the whole copy.
    progress_meter progress = session->progress(PROGRESS_OP_SAVE, length);
    buffered_writer out(fd.get());
    if (const save_result written = write_content(session->current(), offset, length, out, progress);
        written != save_result::ok) {
        return written;
    }
    // The last word of the progress callback comes before anything is replaced.
    if (!progress.finish()) {
        SKARN_LOG("cancelled by the progress callback");
        return save_result::cancelled;
    }
    // Any error reported from here to the sync is a write failure.
    if (!out.flush() || (target.overwrite && target.exists && !carry_over_metadata(fd.get(), target.existing)) ||
        ::fsync(fd.get()) != 0) {
        SKARN_LOG(log::system_error_line());
        return save_result::cannot_write;
    }
    const int64_t temp_size = identity_of(fd.get()).size;
    if (temp_size != length) {
        SKARN_LOG("failed to write all requested bytes to '" << temp.name() << "', expected: " << length
                                                             << ", got: " << temp_size);
        return save_result::size_mismatch;
    }
    if (target.own_file && !target.force && !caller_file_unchanged(session)) {
        SKARN_LOG("original file '" << session->base().file_path
                                    << "' was modified by another program while the save ran, save failed "
                                       "(use IO_FLG_FORCE_OVERWRITE to override)");
        return save_result::caller_file_changed;
    }
    if (temp.name_now() != 0) {
        const int error = errno;
        SKARN_LOG("failed to name the temporary file '" << temp.name() << "'");
        SKARN_LOG(log::system_error_line(error));
        return save_result::cannot_rename;
    }
    if (!fd.reset()) {
        SKARN_LOG(log::system_error_line());
        return save_result::cannot_write;
    }
    return save_result::ok;
}

// Step 6, the rename. `final_name` receives the name the content took. ok,
// no_free_name or cannot_rename.
save_result rename_into_place(const save_target &target, save_file &temp, char (&final_name)[path_buffer_size]) {
    std::snprintf(final_name, sizeof final_name, "%s", target.path.c_str());
    for (int attempt = 0;; ++attempt) {
        if (!target.overwrite && skarn_util_file_exists(final_name) != 0 &&
            skarn_util_available_filename(target.path.c_str(), final_name) == nullptr) {
            SKARN_LOG("cannot find an available filename");
            return save_result::no_free_name;
        }
        int renamed =
            target.overwrite ? std::rename(temp.name(), final_name) : rename_without_replacing(temp.name(), final_name);
        if (renamed != 0 && !target.overwrite && errno == EEXIST) {
            // A file that appeared meanwhile: take the next free name. A
            // device, FIFO or socket is never replaced; any other kind of
            // entry is left to the plain rename to judge.
            if (skarn_util_file_exists(final_name) != 0 && attempt < 8) continue;
            struct stat entry {};
            if (::lstat(final_name, &entry) == 0 && is_special(entry)) return refuse_special(final_name);
            renamed = std::rename(temp.name(), final_name);
        }
        if (renamed == 0) break;
        SKARN_LOG(log::system_error_line());
        return save_result::cannot_rename;
    }
    temp.renamed();
    return save_result::ok;
}

// A journaled session's in-place base level is about to lose its file to a
// save by rename: the file gets a second name in the checkpoint directory,
// so that the journal can name the bytes the level reads. That name, or the
// empty string (logged) when the file system refuses it.
std::string keep_replaced_file(skarn_session_struct &session) {
    char name[path_buffer_size];
    std::snprintf(name, sizeof name, "%s/.Skarnpad-%sorig.XXXXXX", session.checkpoint_directory.c_str(),
                  session.file_tag());
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", session.base().file.fd());
    const int linked = unique_name(name, [&self](const char *candidate) {
        return ::linkat(AT_FDCWD, self, AT_FDCWD, candidate, AT_SYMLINK_FOLLOW);
    });
    if (linked != 0) {
        const int error = errno;
        SKARN_LOG("cannot keep '" << session.base().file_path
                                  << "' for the session journal: the session cannot be resumed past this save");
        SKARN_LOG(log::system_error_line(error));
        return {};
    }
    return name;
}

}  // namespace

save_result save_content(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path,
                         int64_t offset, int64_t length) {
    if ((io_flags & IO_FLG_IN_PLACE) != 0)
        return save_in_place(session, file_path, io_flags, saved_path, offset, length);
    const int64_t size = session->current().computed_size();
    // What is left from the offset, saturated: a negative offset is refused
    // below, and size - offset must not overflow on the way.
    int64_t rest = 0;
    if (__builtin_sub_overflow(size, offset, &rest)) rest = INT64_MAX;
    const int64_t adjusted_length = length < 1 || rest < length ? rest : length;
    // A negative offset is refused too: the copy starts at offset 0 at the earliest.
    if (adjusted_length < 0 || offset < 0) {
        SKARN_LOG("invalid offset: " << offset << ", length: " << length << ", adjusted_length: " << adjusted_length
                                     << ", computed_file_size: " << size);
        return save_result::bad_range;
    }
    save_target target;
    if (const save_result examined = examine_target(session, file_path, io_flags, target); examined != save_result::ok)
        return examined;
    if (!session->current().file_intact()) {
        SKARN_LOG("'" << session->current().file_path
                      << "' was changed by another program while the session read it in place, save refused");
        return save_result::level_file_changed;
    }
    // A save over the file an in-place base level reads: that level keeps
    // reading the old content through its descriptor, whose identity the
    // replacement changes (its link count and change time).
    skarn_model_struct &base = session->base();
    const bool replaces_base = base.in_place && target.exists && target.existing.st_dev == base.identity.device &&
                               target.existing.st_ino == base.identity.inode;

    if (const save_result prepared = prepare_directory(file_path, target); prepared != save_result::ok) return prepared;
    save_file temp;  // removed when the save returns, unless renamed into place
    unique_fd fd;
    if (const save_result created = create_temporary(target, temp, fd); created != save_result::ok) return created;
    if (const save_result written = write_temporary(session, target, temp, fd, offset, adjusted_length);
        written != save_result::ok) {
        return written;
    }
    // Taken before the rename, which changes the base level's file.
    const bool base_intact = replaces_base && base.file_intact();
    const std::string kept_base = base_intact && session->journal != nullptr ? keep_replaced_file(*session) : "";
    char final_name[path_buffer_size];
    if (const save_result renamed = rename_into_place(target, temp, final_name); renamed != save_result::ok)
        return renamed;
    // The in-place base level reads the replaced file, unchanged but for its
    // link count: the identity it keeps is the one it has now.
    if (base_intact) base.identity = identity_of(base.file.fd());
    if (!sync_directory_of(target.directory[0] != '\0' ? target.directory : ".")) {
        const int error = errno;
        SKARN_LOG("'" << final_name << "' is in place but its directory could not be flushed");
        SKARN_LOG(log::system_error_line(error));
        return save_result::directory_not_synced;
    }
    // The caller's file now holds what the session wrote: the next save over
    // it compares with this state.
    if (target.own_file) {
        session->caller_file = identity_of(final_name);
        remember_saved_content(*session, offset, adjusted_length);
        if (session->journal != nullptr) {
            journal_save save = save_record_of(*session, offset, adjusted_length);
            save.base_updated = base_intact;
            save.base_lost = base_intact && kept_base.empty();
            save.base_path = kept_base;
            session->journal->record_save(save);  // a journal that cannot take it has said so
        }
    }
    if (saved_path != nullptr) skarn_util_normalize_path(final_name, saved_path);
    skarn_session_notify(session, SESSION_EVT_SAVE, saved_path);
    return save_result::ok;
}

}  // namespace skarn
