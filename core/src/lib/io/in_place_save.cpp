// Saving in place: the order of a save, and what each step guarantees.
// 1. The target must be the very file the session was created over, and the
//    content saved whole; the "changed on disk" check applies. A block
//    device keeps its size.
// 2. The plan: what the file already holds where it stays is not touched,
//    what it holds elsewhere moves, the rest is new bytes (everything, when
//    the file changed on disk and the save is forced).
// 3. The bytes of the file that an in-place session still reads (for its
//    history, or a level below a checkpoint) and that the save destroys are
//    copied to the session's own unnamed file.
// 4. The journal is written, the growth allocated and the journal
//    committed; the file is changed as save_journal.cpp states, and the
//    journal removed.
// 5. The session learns what the file now holds: its in-place base level
//    reads it through its view, and the next save compares with it.
// Until the journal is committed the file is as it was; after, recovery
// completes the save whatever happens.
#include "io/in_place_save.hpp"

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log.hpp"
#include "engine/reader.hpp"
#include "engine/save_plan.hpp"
#include "engine/splice.hpp"
#include "io/private_files.hpp"
#include "io/save_journal.hpp"
#include "io/save_target.hpp"
#include "skarn_edit.hpp"

namespace skarn {

int64_t in_place_chunk_bytes = int64_t{16} << 20;

namespace {

constexpr int64_t copy_bytes = int64_t{1} << 20;

// The file an in-place save writes, open for reading and writing.
struct in_place_target {
    std::string path;
    unique_fd fd;
    struct stat info {};
    int64_t size = 0;
    bool unchanged = false;  // as the session last knew it
};

save_result open_target(const skarn_session_struct *session, const char *file_path, bool force,
                        in_place_target &target) {
    const std::string &own = session->base().file_path;
    if (own.empty() || !session->caller_file.known) {
        SKARN_LOG("the session was created over no file: nothing to save in place, nothing written");
        return save_result::in_place_refused;
    }
    bool through_link = false;
    if (!resolve_save_target(file_path, target.path, through_link)) {
        SKARN_LOG(log::system_error_line());
        return save_result::in_place_refused;
    }
    target.fd.reset(::open(target.path.c_str(), O_RDWR | O_CLOEXEC));
    if (!target.fd.valid() || ::fstat(target.fd.get(), &target.info) != 0) {
        const int error = errno;
        SKARN_LOG("cannot open '" << target.path << "' to save in place, nothing written");
        SKARN_LOG(log::system_error_line(error));
        return save_result::in_place_refused;
    }
    if (target.info.st_dev != session->caller_file.device || target.info.st_ino != session->caller_file.inode) {
        SKARN_LOG("'" << target.path << "' is not the file the session was created over ('" << own
                      << "'): in-place save refused, nothing written");
        return save_result::in_place_refused;
    }
    const file_identity now = identity_of(target.fd.get());
    target.size = now.size;
    target.unchanged = now == session->caller_file;
    if (!target.unchanged && !force) {
        SKARN_LOG("original file '" << own
                                    << "' has been modified since the session was created, save failed "
                                       "(use IO_FLG_FORCE_OVERWRITE to override)");
        return save_result::caller_file_changed;
    }
    return save_result::ok;
}

// Step 3: appends the copies to the level's kept file, made if needed.
bool keep_destroyed_bytes(const skarn_session_struct *session, level_file &file, int source_fd,
                          const std::vector<kept_copy> &copies) {
    if (copies.empty()) return true;
    const bool journaled = session->journal != nullptr;
    if (!file.kept.valid()) {
        char name[SKARN_PATH_BUFFER_SIZE];
        std::snprintf(name, sizeof name, "%s/.Skarnpad-%skept.XXXXXX", session->checkpoint_directory.c_str(),
                      session->file_tag());
        unique_fd kept{create_private_file(name)};
        // Unnamed from the start: it lives exactly as long as its descriptor;
        // a journaled session's stays until its journal goes.
        if (!kept.valid() || (!journaled && ::unlink(name) != 0)) {
            SKARN_LOG("cannot create a file to keep the bytes the save overwrites");
            SKARN_LOG(log::system_error_line());
            return false;
        }
        if (journaled) {
            file.kept_path = name;
            session->journal->keep_file(name);
        }
        file.kept = std::move(kept);
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(copy_bytes));
    for (const kept_copy &copy : copies) {
        for (int64_t done = 0; done < copy.length;) {
            const int64_t step = std::min(copy.length - done, copy_bytes);
            if (!read_exact_at(source_fd, copy.position + done, step, buffer.data()) ||
                !write_exact_at(file.kept.get(), copy.kept_position + done, step, buffer.data())) {
                SKARN_LOG("cannot keep the bytes the save overwrites");
                SKARN_LOG(log::system_error_line());
                return false;
            }
            done += step;
        }
        file.kept_size = copy.kept_position + copy.length;
    }
    // The journal will name the copies as the only place of those bytes.
    if (journaled && session->journal->syncs() && ::fdatasync(file.kept.get()) != 0) {
        SKARN_LOG("cannot sync the bytes the save overwrites");
        SKARN_LOG(log::system_error_line());
        return false;
    }
    return true;
}

// The growth allocated past the end without changing the size, so that a
// full disk fails before anything changes. Where the file system cannot
// allocate ahead, the writes find out.
bool reserve_growth(const in_place_target &target, const save_plan &plan) {
    if (!S_ISREG(target.info.st_mode) || plan.new_size <= plan.old_size) return true;
    if (::fallocate(target.fd.get(), FALLOC_FL_KEEP_SIZE, plan.old_size, plan.new_size - plan.old_size) == 0 ||
        errno == EOPNOTSUPP || errno == ENOSYS) {
        return true;
    }
    const int error = errno;
    SKARN_LOG("cannot allocate " << plan.new_size - plan.old_size << " more bytes for '" << target.path
                                 << "', nothing written");
    SKARN_LOG(log::system_error_line(error));
    return false;
}

// The new bytes into the journal, read from the content.
save_result write_new_bytes(skarn_session_struct *session, const save_plan &plan, journal_writer &journal,
                            progress_meter &progress) {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(copy_bytes, std::max<int64_t>(plan.data_bytes(), 1))));
    for (const data_run &run : plan.data) {
        for (int64_t done = 0; done < run.length;) {
            const int64_t step = std::min(run.length - done, copy_bytes);
            int64_t got = 0;
            if (read_content(session, run.target + done, buffer.data(), step, got) != 0 || got != step) {
                SKARN_LOG("cannot read the content to save at offset " << run.target + done);
                return save_result::cannot_read;
            }
            if (!journal.put_data(buffer.data(), step)) {
                SKARN_LOG("cannot write the journal");
                SKARN_LOG(log::system_error_line());
                return save_result::journal_failed;
            }
            done += step;
            progress.advance(step);
            if (progress.cancelled()) {
                SKARN_LOG("cancelled by the progress callback");
                return save_result::cancelled;
            }
        }
        journal.end_data_run();
    }
    return save_result::ok;
}

// Step 5.
void adopt_saved_file(skarn_session_struct *session, const in_place_target &target, std::vector<resolved_piece> content,
                      bool base_is_target, level_view_update *view, bool rebase) {
    skarn_model_struct &base = session->base();
    // A level whose file another program had changed stays refused: its
    // pieces no longer tell what the file held.
    if (base_is_target && (rebase || view != nullptr)) {
        if (rebase) {
            // Nothing refers to the old bytes: the level reads the file as it is.
            base.file.view.clear();
            base.file.kept.reset();
            base.file.kept_path.clear();  // a journaled session keeps the file until it ends
            base.file.kept_size = 0;
            base.original_size = session->current().computed_size();
            reset_pieces(base, base.original_size);
            content = resolve_content(*session);
        } else if (view != nullptr) {
            base.file.view = std::move(view->view);
        }
        base.identity = identity_of(base.file.fd());
    }
    session->caller_file = identity_of(target.fd.get());
    map_saved_content(*session, content, session->file_map);
}

// Step 4 up to the commit point: the journal written, the growth allocated
// and the journal made durable. ok, or the failure (the file untouched).
save_result commit_journal(skarn_session_struct *session, const in_place_target &target, const save_plan &plan,
                           journal_writer &journal) {
    const std::string journal_path = journal_path_of(target.path, target.info);
    if (journal_path.empty()) {
        SKARN_LOG("the name of '" << target.path << "' is too long for its journal's, nothing written");
        return save_result::journal_failed;
    }
    if (!journal.begin(journal_path, target.info, plan, in_place_chunk_bytes)) return save_result::journal_failed;
    progress_meter progress = session->progress(PROGRESS_OP_SAVE, plan.data_bytes());
    if (const save_result written = write_new_bytes(session, plan, journal, progress); written != save_result::ok) {
        return written;
    }
    if (!progress.finish()) {
        SKARN_LOG("cancelled by the progress callback");
        return save_result::cancelled;
    }
    // After the content is read: allocating changes the file's change time,
    // which an in-place level takes for another program's write.
    if (!reserve_growth(target, plan) || !journal.commit()) return save_result::journal_failed;
    return save_result::ok;
}

}  // namespace

save_result save_in_place(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path,
                          int64_t offset, int64_t length) {
    const int64_t size = session->current().computed_size();
    if (offset != 0 || (length >= 1 && length < size)) {
        SKARN_LOG("an in-place save writes the whole content, not offset " << offset << ", length " << length
                                                                           << ": refused, nothing written");
        return save_result::in_place_refused;
    }
    if (!session->current().file_intact()) {
        SKARN_LOG("'" << session->current().file_path
                      << "' was changed by another program while the session read it in place, save refused");
        return save_result::level_file_changed;
    }
    in_place_target target;
    if (const save_result opened = open_target(session, file_path, (io_flags & IO_FLG_FORCE_OVERWRITE) != 0, target);
        opened != save_result::ok) {
        return opened;
    }
    if (S_ISBLK(target.info.st_mode) && size != target.size) {
        SKARN_LOG("'" << target.path << "' is a block device of " << target.size << " bytes, which cannot hold " << size
                      << ": in-place save refused, nothing written");
        return save_result::device_size_differs;
    }
    const std::vector<resolved_piece> content = resolve_content(*session);
    save_plan plan = plan_in_place_save(content, target.unchanged ? &session->file_map : nullptr, target.size);
    plan.new_size = size;

    // An in-place base level reads the file being written (unless a save by
    // rename put another file under the name since).
    skarn_model_struct &base = session->base();
    const bool base_is_target =
        base.in_place && base.identity.device == target.info.st_dev && base.identity.inode == target.info.st_ino;
    // With no history the level can read the new file as it is; not from a
    // callback, whose caller may be walking the level's pieces.
    const bool rebase =
        base_is_target && session->models.size() == 1 && base.changes.empty() && !session->in_callback();
    level_view_update view;
    const bool views = base_is_target && !rebase && base.file_intact();
    if (views) {
        view = view_after_save(base.file, base.original_size, content, plan);
        if (!keep_destroyed_bytes(session, base.file, target.fd.get(), view.copies)) return save_result::journal_failed;
    }
    journal_writer journal;  // removed, never applied, unless committed
    if (const save_result committed = commit_journal(session, target, plan, journal); committed != save_result::ok) {
        return committed;
    }
    const journal_result applied = journal.apply(target.fd.get());
    if (applied == journal_result::file_failed || applied == journal_result::journal_failed) {
        return save_result::in_place_unfinished;
    }
    adopt_saved_file(session, target, content, base_is_target, views ? &view : nullptr, rebase);
    if (session->journal != nullptr) {
        journal_save save = save_record_of(*session, 0, session->current().computed_size());
        save.base_updated = base_is_target && (rebase || views);
        save.rebased = rebase;
        session->journal->record_save(save);  // a journal that cannot take it has said so; the save stands
    }
    // Its data are synced already; a failed close is told all the same.
    const bool closed = target.fd.reset();
    if (!closed) {
        const int error = errno;
        SKARN_LOG("'" << target.path << "' is in place but closing it failed");
        SKARN_LOG(log::system_error_line(error));
    }
    if (saved_path != nullptr) skarn_util_normalize_path(target.path.c_str(), saved_path);
    skarn_session_notify(session, SESSION_EVT_SAVE, saved_path);
    return applied == journal_result::ok && closed ? save_result::ok : save_result::directory_not_synced;
}

journal_save save_record_of(const skarn_session_struct &session, int64_t offset, int64_t length) {
    const skarn_model_struct &base = session.base();
    journal_save save;
    save.identity = session.caller_file;
    save.offset = offset;
    save.length = length;
    save.base_identity = base.identity;
    save.original_size = base.original_size;
    save.kept_path = base.file.kept_path;
    save.kept_size = base.file.kept_size;
    save.view = base.file.view;
    return save;
}

}  // namespace skarn
