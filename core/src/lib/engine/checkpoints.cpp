// Checkpoints and transforms.
//
// Invariants kept here:
// 1. A checkpoint level starts as one piece over its file, which holds the
//    content of the level below as it was; the changes counted below it
//    become the session's change-count adjustment.
// 2. A transform keeps the size: its level's single piece stays valid when
//    its file is replaced by the transformed one.
// 3. In a journaled session a checkpoint's and a transform's file are
//    complete (and synced, when the journal syncs) before their record is
//    written, and every such file stays until the journal goes.
// 4. A replace-all level is made over a file written with the content
//    already rewritten; it never mirrors the level below.
#include "engine/checkpoints.hpp"

#include <cstdio>
#include <memory>

#include "engine/after_change.hpp"
#include "engine/levels.hpp"
#include "engine/reentry.hpp"
#include "engine/splice.hpp"
#include "io/transform_file.hpp"
#include "common/log.hpp"
#include "io/checkpoint_file.hpp"
#include "skarn_edit.hpp"

namespace skarn {
namespace {

// The range is judged as the file transform judges it, under its name.
bool range_judged_as_the_file_transform(int64_t size, int64_t offset, int64_t length) noexcept {
    const log::interface_scope judged("skarn_util_apply_byte_transform_to_file", log::stream::error);
    return transform_range_valid(size, offset, length);
}

// Records that the top level's file is `path` (invariant 3): true when the
// session has no journal or the record is written.
bool journal_level_file(skarn_session_struct *session, journal_op op, const std::string &path, uint8_t kind = 0) {
    session_journal *journal = session->journal.get();
    if (journal == nullptr) return true;
    if (journal->syncs() && !session->current().file.sync()) {
        SKARN_LOG("cannot sync '" << path << "' before the session journal names it");
        SKARN_LOG(log::system_error_line());
        return false;
    }
    return journal->record_file(op, path, kind);
}

// Takes back the checkpoint just pushed, unrecorded: its record could not be written.
void unwind_checkpoint(skarn_session_struct *session) noexcept {
    drop_top_level(session);
    session->num_changes_adjustment -= static_cast<int64_t>(session->current().changes.size());
    mark_viewports_stale(session);
}

// The kept file `path` of a journaled session, opened again: it must hold
// `size` bytes (any number, for a negative size).
unique_fd reopen_level_file(const std::string &path, int64_t size) {
    unique_fd file = open_kept_file(path);
    if (file.valid() && size >= 0 && identity_of(file.get()).size != size) {
        SKARN_LOG("'" << path << "' does not hold the " << size << " bytes the session journal says");
        return unique_fd{};
    }
    return file;
}

}  // namespace

bool checkpoint_file_template(skarn_session_struct *session, char (&path)[SKARN_PATH_BUFFER_SIZE]) {
    const std::string &directory = session->checkpoint_directory;
    const bool directory_missing = skarn_util_directory_exists(directory.c_str()) == 0;
    if (directory_missing) SKARN_LOG("checkpoint directory '" << directory << "' does not exist");
    const int formatted = std::snprintf(path, sizeof path, "%s%c.Skarnpad-%schk.%zu.XXXXXX", directory.c_str(),
                                        skarn_util_directory_separator(), session->file_tag(), session->models.size());
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof path) {
        SKARN_LOG("failed to create checkpoint filename template");
        return false;
    }
    if (directory_missing && skarn_util_create_directory(directory.c_str()) != 0) {
        SKARN_LOG("failed to create directory: " << directory);
        SKARN_LOG("failed to save checkpoint to '" << path << "'");
        return false;
    }
    return true;
}

int push_checkpoint_level(skarn_session_struct *session, scoped_private_file &file, const char *path, int64_t size,
                          bool mirrors_below) {
    const int64_t num_changes = session->num_changes();
    auto level = std::make_unique<skarn_model_struct>();
    level->file_path = path;
    if (!level->file.adopt(file.take_descriptor())) {
        SKARN_LOG(log::system_error_line());
        return -1;
    }
    reset_pieces(*level, size);
    level->mirrors_below = mirrors_below;
    // The content is saved: announced as a save to no path, as before.
    skarn_session_notify(session, SESSION_EVT_SAVE, nullptr);
    push_level(session, std::move(level));
    file.keep();  // the level removes it when it is dropped
    session->num_changes_adjustment = num_changes;
    // A transform's checkpoint is marked: a resumed session takes it back
    // unless the transform's end is recorded too. A level of other content
    // (a replace-all's) is recorded as one.
    const uint8_t for_transform = session->enclosing_progress != nullptr ? 1 : 0;
    const journal_op op = mirrors_below ? journal_op::checkpoint : journal_op::replaced;
    if (!journal_level_file(session, op, session->current().file_path, for_transform)) {
        unwind_checkpoint(session);
        return -1;
    }
    skarn_session_notify(session, SESSION_EVT_CREATE_CHECKPOINT, nullptr);
    return 0;
}

void announce_transform(skarn_session_struct *session) noexcept {
    mark_viewports_stale(session, VIEWPORT_EVT_TRANSFORM);
    skarn_session_notify(session, SESSION_EVT_TRANSFORM, nullptr);
}

int create_checkpoint(skarn_session_struct *session) {
    if (refuse_reentry(session)) return -1;
    char path[SKARN_PATH_BUFFER_SIZE];
    if (!checkpoint_file_template(session, path)) return -1;
    const int64_t size = session->current().computed_size();
    // A transform's checkpoint reports as part of the transform.
    progress_meter own_progress = session->progress(PROGRESS_OP_CHECKPOINT, size);
    progress_meter &progress = session->enclosing_progress != nullptr ? *session->enclosing_progress : own_progress;
    scoped_private_file file;  // removed unless the level takes it
    if (!write_checkpoint_file(session->current(), file, path, size, progress)) {
        if (!progress.cancelled()) SKARN_LOG("failed to save checkpoint to '" << path << "'");
        return -1;
    }
    if (&progress == &own_progress && !progress.finish()) {
        SKARN_LOG("cancelled by the progress callback");
        return -1;
    }
    return push_checkpoint_level(session, file, path, size, true);
}

int replay_checkpoint(skarn_session_struct *session, const std::string &path, bool mirrors_below) {
    const int64_t num_changes = session->num_changes();
    unique_fd file = reopen_level_file(path, mirrors_below ? session->current().computed_size() : -1);
    auto level = std::make_unique<skarn_model_struct>();
    if (!file.valid() || !level->file.adopt(std::move(file))) return -1;
    level->file_path = path;
    reset_pieces(*level, level->file.size);
    level->mirrors_below = mirrors_below;
    push_level(session, std::move(level));
    session->num_changes_adjustment = num_changes;
    return 0;
}

int replay_transform(skarn_session_struct *session, const std::string &path) {
    skarn_model_struct &level = session->current();
    if (session->models.size() <= 1) return -1;
    unique_fd file = reopen_level_file(path, level.file_size());
    if (!file.valid() || !level.file.adopt(std::move(file))) return -1;
    level.file_path = path;
    level.mirrors_below = false;
    return 0;
}

int destroy_last_checkpoint(skarn_session_struct *session) {
    if (session->models.size() <= 1 || refuse_reentry(session)) return -1;
    if (!record_in_journal(session, journal_op::destroy_checkpoint)) return -1;
    drop_top_level(session);
    // The adjustment counted the level below's changes as well; now they are current.
    session->num_changes_adjustment -= static_cast<int64_t>(session->current().changes.size());
    // The content is that of the level below now: every viewport must read again.
    mark_viewports_stale(session);
    skarn_session_notify(session, SESSION_EVT_DESTROY_CHECKPOINT, nullptr);
    return 0;
}

int apply_transform(skarn_session_struct *session, skarn_util_byte_transform_t transform, void *user_data,
                    int64_t offset, int64_t length) {
    if (session->has_flag(flag_changes_paused) || refuse_reentry(session)) return -1;
    // One meter for the whole: the checkpoint's copy, then the rewrite.
    progress_meter progress = session->progress(PROGRESS_OP_TRANSFORM, 2 * session->current().computed_size());
    session->enclosing_progress = &progress;
    const int checkpointed = skarn_edit_create_checkpoint(session);
    session->enclosing_progress = nullptr;
    if (checkpointed != 0) return -1;
    skarn_model_struct &level = session->current();
    const int64_t size = level.computed_size();
    unique_fd file;
    // A journaled session keeps the checkpoint's file: the output keeps its own name.
    std::string own_name;
    if (transform != nullptr && range_judged_as_the_file_transform(size, offset, length)) {
        if (length == 0) length = size - offset;
        file = transform_checkpoint_file(level, session->checkpoint_directory.c_str(), size, transform, user_data,
                                         offset, length, progress, session->file_tag(),
                                         session->journal != nullptr ? &own_name : nullptr);
    }
    if (!file.valid()) {
        if (progress.cancelled()) {
            // Cancelled: the session goes back to where it was.
            SKARN_LOG("cancelled by the progress callback");
            skarn_edit_destroy_last_checkpoint(session);
            return -1;
        }
        SKARN_LOG_TO(log::stream::error, "transform failed");
        record_in_journal(session, journal_op::transform_failed);
        return -1;  // the checkpoint stays, untransformed
    }
    level.mirrors_below = false;
    if (!own_name.empty()) {
        level.file_path = own_name;
        session->journal->keep_file(own_name);
    }
    if (!level.file.adopt(std::move(file))) {
        SKARN_LOG(log::system_error_line());
        skarn_edit_destroy_last_checkpoint(session);
        return -1;
    }
    if (!journal_level_file(session, journal_op::transform, level.file_path)) {
        unwind_checkpoint(session);
        return -1;
    }
    announce_transform(session);
    return 0;
}

}  // namespace skarn
