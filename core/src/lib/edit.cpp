// The editing engine: session lifecycle, edits and the model update, the
// change history, the viewports' update after each change, and persistence:
// saving, checkpoints and transforms.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "impl_/file_copy.hpp"
#include "impl_/internal_fun.hpp"
#include "impl_/log.hpp"
#include "impl_/private_files.hpp"
#include "impl_/save_target.hpp"
#include "impl_/search_context_def.hpp"
#include "impl_/session_def.hpp"
#include "impl_/viewport_def.hpp"
#include "skarn_edit.hpp"

using skarn::flag_changes_paused;
using skarn::flag_transaction_has_change;
using skarn::flag_transaction_open;

namespace {

constexpr size_t path_buffer_size = SKARN_PATH_BUFFER_SIZE;

// Drops the current level, which must not be the base level, with its file.
// Returns false when the file could not be removed (the caller logs it).
bool drop_current_level(skarn_session_struct *session) noexcept {
    skarn_model_struct &level = session->current();
    level.close_file();
    const bool removed = skarn_util_remove_file(level.file_path.c_str()) == 0;
    session->models.pop_back();
    return removed;
}

// The longest checkpoint directory whose private file names still fit a path
// buffer: the longest of them, a checkpoint's, adds
// "/.Skarnpad-chk.<level>.XXXXXX" (up to 36 characters) to the directory.
constexpr size_t longest_checkpoint_directory = path_buffer_size - 1 - 36;

// The host's temporary directory, or the empty string.
std::string temp_directory() {
    std::string dir;
    if (char *temp = skarn_util_get_temp_directory()) {
        dir = temp;
        std::free(temp);
    }
    return dir;
}

// Chooses the checkpoint directory of a new session: the caller's, else the
// file's directory (the current directory for a bare file name), else the
// temporary directory, else the current directory. A file's directory too
// long for the names of the private files is replaced by the temporary
// directory; a directory the caller chose is kept as given.
std::string choose_checkpoint_directory(const char *file_path, const char *checkpoint_directory) {
    char buffer[path_buffer_size];
    if (checkpoint_directory != nullptr) return checkpoint_directory;
    if (file_path != nullptr && *file_path != '\0') {
        const char *dir = skarn_util_dirname(file_path, buffer);
        if (dir != nullptr && *dir == '\0') {
            const char *cwd = skarn_util_get_current_dir(buffer);
            return cwd != nullptr ? cwd : "";
        }
        if (dir != nullptr && std::strlen(dir) <= longest_checkpoint_directory) return dir;
        std::string temp = temp_directory();
        SKARN_LOG("directory of '" << file_path << "' too long for checkpoint names, using the temporary directory '"
                                   << temp << "'");
        return temp;
    }
    std::string temp = temp_directory();
    if (!temp.empty()) return temp;
    const char *cwd = skarn_util_get_current_dir(buffer);
    return cwd != nullptr ? cwd : "";
}

// Makes the private copy of the caller's file in `directory`: opens the
// caller's file, creates the copy exclusively (never through a link) with
// mode 0600 and fills it through its descriptor. On success `name` holds the
// copy's path, `identity` the caller's file as it was read, and the result is
// the copy's descriptor positioned at 0; on failure -1 and nothing is left.
int make_private_copy(const char *file_path, const char *directory, char (&name)[path_buffer_size],
                      skarn::file_identity &identity, skarn::progress_meter &progress, const char *caller) noexcept {
    const int formatted =
        std::snprintf(name, sizeof name, "%s%c.Skarnpad-orig.XXXXXX", directory, skarn_util_directory_separator());
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof name) {
        SKARN_LOG_AS(caller, "failed to create original checkpoint filename template");
        return -1;
    }
    const int source = ::open(file_path, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    // Anything that reads to an end will do (pipes and /proc files too), but
    // a directory.
    if (source < 0 || ::fstat(source, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int error = source < 0 ? errno : EISDIR;
        if (source >= 0) ::close(source);
        SKARN_LOG_AS(caller, "failed to copy original file '" << file_path << "' to checkpoint file '" << name << "'");
        SKARN_LOG_AS(caller, skarn::log::system_error_line(error));
        return -1;
    }
    identity = file_identity_of_(source);
    const int copy = skarn::create_private_file(name);
    bool filled = false;
    int error = errno;
    int copied = -1;
    if (copy >= 0) {
        copied = copy_descriptor_contents_(source, copy, &progress);
        filled = copied == 0 && progress.finish() && ::lseek(copy, 0, SEEK_SET) == 0;
        error = errno;
    }
    ::close(source);
    if (!filled) {
        if (progress.cancelled()) {
            SKARN_LOG_AS(caller, "copying '" << file_path << "' was cancelled");
        } else {
            SKARN_LOG_AS(caller,
                         "failed to copy original file '" << file_path << "' to checkpoint file '" << name << "'");
            SKARN_LOG_AS(caller, skarn::log::system_error_line(error));
        }
        if (copy >= 0) {
            ::close(copy);
            ::unlink(name);
        }
        return -1;
    }
    return copy;
}

}  // namespace

namespace {

// Opens the caller's file to be read where it is. Null (nothing logged) for
// a file whose size the file system cannot tell, which is copied instead:
// anything but a regular file, and a regular file of size 0 (as /proc files
// report), where an empty file costs nothing to copy.
FILE *open_in_place(const char *file_path) noexcept {
    const int fd = ::open(file_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) {
        ::close(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, "rb");
    if (file == nullptr) ::close(fd);
    return file;
}

// Logs under the name of `caller`, the exported function.
skarn_session_struct *create_session(const char *file_path, const skarn_session_options_struct &options,
                                     const char *caller) noexcept {
    // The original checkpoint once made, and the in-place stream until the
    // base level owns it: a creation that fails on the way leaves neither.
    char created[path_buffer_size] = "";
    FILE *in_place_file = nullptr;
    try {
        const std::string directory = choose_checkpoint_directory(file_path, options.checkpoint_directory);
        if (!skarn_util_directory_exists(directory.c_str()) && skarn_util_create_directory(directory.c_str()) != 0) {
            SKARN_LOG_AS(caller, "failed to create checkpoint directory '" << directory << "'");
            return nullptr;
        }
        char normalized[path_buffer_size];
        if (skarn_util_normalize_path(directory.c_str(), normalized) == nullptr) {
            SKARN_LOG_AS(caller, "failed to resolve checkpoint_directory path '" << directory << "' to absolute path");
            return nullptr;
        }
        // Files that sessions killed on the way left here go before this
        // session adds its own.
        skarn::remove_abandoned_files(normalized);

        int64_t size = 0;
        auto base = std::make_unique<skarn_model_struct>();
        skarn::file_identity identity;
        const bool has_file = file_path != nullptr && *file_path != '\0';
        const bool in_place = has_file && (options.flags & SESSION_OPT_IN_PLACE) != 0 &&
                              (in_place_file = open_in_place(file_path)) != nullptr;
        if (in_place) {
            // The level reads the caller's file through its own descriptor,
            // which must keep the identity it has now.
            const bool adopted = base->file.adopt(in_place_file);  // the level owns the stream from here on
            in_place_file = nullptr;
            if (!adopted) {
                SKARN_LOG_AS(caller, skarn::log::system_error_line());
                return nullptr;
            }
            base->in_place = true;
            base->identity = file_identity_of_(base->file.fd);
            identity = base->identity;
            size = base->identity.size;
        } else if (has_file) {
            char name[path_buffer_size];
            skarn::progress_meter progress(options.progress_cbk, options.progress_user_data, PROGRESS_OP_COPY, -1);
            const int fd = make_private_copy(file_path, normalized, name, identity, progress, caller);
            if (fd < 0) return nullptr;
            std::memcpy(created, name, sizeof name);
            FILE *file = fdopen(fd, "rb");
            if (file == nullptr) ::close(fd);
            if (!base->file.adopt(file)) {  // the level owns the stream from here on
                ::unlink(created);
                return nullptr;
            }
            size = base->file.size;
        }

        auto session = std::make_unique<skarn_session_struct>();
        session->event_cbk = options.event_cbk;
        session->user_data_ptr = options.user_data;
        session->event_interest = options.event_interest;
        session->progress_cbk = options.progress_cbk;
        session->progress_user_data = options.progress_user_data;
        session->checkpoint_directory = normalized;
        session->caller_file = identity;
        if (has_file) {
            base->file_path = file_path;
            session->original_checkpoint_path = created;
        }
        session->models.push_back(std::move(base));
        reset_model_segments_(session->base(), size);
        skarn_session_notify(session.get(), SESSION_EVT_CREATE, nullptr);
        return session.release();
    } catch (...) {
        if (in_place_file != nullptr) std::fclose(in_place_file);
        if (created[0] != '\0') ::unlink(created);
        return nullptr;
    }
}

}  // namespace

// Session lifecycle.

skarn_session_struct *skarn_edit_create_session(const char *file_path, skarn_session_event_cbk_t cbk, void *user_data,
                                                int32_t event_interest, const char *checkpoint_directory) noexcept {
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.checkpoint_directory = checkpoint_directory;
    options.event_cbk = cbk;
    options.user_data = user_data;
    options.event_interest = event_interest;
    return create_session(file_path, options, __func__);
}

skarn_session_struct *skarn_edit_create_session_with_options(const char *file_path,
                                                             const skarn_session_options_struct *options) noexcept {
    const skarn_session_options_struct defaults = SKARN_SESSION_OPTIONS_INIT;
    if (options == nullptr) options = &defaults;
    if (options->version != SKARN_SESSION_OPTIONS_VERSION) {
        SKARN_LOG("unknown options version " << options->version << " (this library knows "
                                             << SKARN_SESSION_OPTIONS_VERSION << ")");
        return nullptr;
    }
    if ((options->flags & ~SESSION_OPT_IN_PLACE) != 0) {
        SKARN_LOG("unknown option flags " << options->flags);
        return nullptr;
    }
    return create_session(file_path, *options, __func__);
}

void skarn_edit_destroy_session(skarn_session_struct *session) noexcept {
    if (session == nullptr || refuse_reentry_(session, "skarn_edit_destroy_session")) return;
    for (auto &model : session->models) model->close_file();
    while (!session->search_contexts.empty()) skarn_search_destroy_context(session->search_contexts.back().get());
    while (!session->viewports.empty()) skarn_edit_destroy_viewport(session->viewports.back().get());
    for (auto &model : session->models) {
        model->changes.clear();
        model->changes_undone.clear();
    }
    while (session->models.size() > 1) {
        if (!drop_current_level(session)) SKARN_LOG(skarn::log::system_error_line());
    }
    if (!session->original_checkpoint_path.empty() &&
        skarn_util_remove_file(session->original_checkpoint_path.c_str()) != 0) {
        SKARN_LOG(skarn::log::system_error_line());
    }
    delete session;
}

// Edits.

namespace {

int64_t make_edit(skarn_session_struct *session, uint8_t kind, int64_t offset, const uint8_t *bytes,
                  int64_t length) noexcept {
    if (session == nullptr || session->has_flag(flag_changes_paused) || offset < 0) return 0;
    if (refuse_reentry_(session, kind == CHANGE_DELETE   ? "skarn_edit_delete"
                                 : kind == CHANGE_INSERT ? "skarn_edit_insert_bytes"
                                                         : "skarn_edit_overwrite_bytes")) {
        return 0;
    }
    const int64_t size = session->current().computed_size();
    if (kind == CHANGE_DELETE) {
        if (length <= 0 || offset >= size) return 0;
        length = std::min(length, size - offset);
    } else {
        if (length < 0 || offset > size) return 0;
        if (length == 0 && bytes != nullptr)
            length = static_cast<int64_t>(std::strlen(reinterpret_cast<const char *>(bytes)));
        if (length > 0 && bytes == nullptr) return 0;
    }
    try {
        const bool transaction_bit = determine_change_transaction_bit_(session);
        const uint8_t full_kind =
            static_cast<uint8_t>(kind | (transaction_bit ? skarn_change_struct::transaction_bit : 0));
        return apply_change_(session, make_change_(session->num_changes() + 1, full_kind, offset, bytes, length));
    } catch (...) {
        return -1;
    }
}

}  // namespace

int64_t skarn_edit_insert_bytes(skarn_session_struct *session, int64_t offset, const uint8_t *bytes,
                                int64_t length) noexcept {
    return make_edit(session, CHANGE_INSERT, offset, bytes, length);
}

int64_t skarn_edit_insert(skarn_session_struct *session, int64_t offset, const char *cstr, int64_t length) noexcept {
    return skarn_edit_insert_bytes(session, offset, reinterpret_cast<const uint8_t *>(cstr), length);
}

int64_t skarn_edit_overwrite_bytes(skarn_session_struct *session, int64_t offset, const uint8_t *bytes,
                                   int64_t length) noexcept {
    return make_edit(session, CHANGE_OVERWRITE, offset, bytes, length);
}

int64_t skarn_edit_overwrite(skarn_session_struct *session, int64_t offset, const char *cstr, int64_t length) noexcept {
    return skarn_edit_overwrite_bytes(session, offset, reinterpret_cast<const uint8_t *>(cstr), length);
}

int64_t skarn_edit_delete(skarn_session_struct *session, int64_t offset, int64_t length) noexcept {
    return make_edit(session, CHANGE_DELETE, offset, nullptr, length);
}

// An empty view is an empty byte string: a length of 0 would make the C
// functions measure a C string behind the view's pointer.
int64_t skarn_edit_insert_string(skarn_session_struct *session, int64_t offset, std::string_view data) noexcept {
    static const uint8_t empty[1] = {0};
    const auto *bytes = data.empty() ? empty : reinterpret_cast<const uint8_t *>(data.data());
    return skarn_edit_insert_bytes(session, offset, bytes, static_cast<int64_t>(data.size()));
}

int64_t skarn_edit_overwrite_string(skarn_session_struct *session, int64_t offset, std::string_view data) noexcept {
    static const uint8_t empty[1] = {0};
    const auto *bytes = data.empty() ? empty : reinterpret_cast<const uint8_t *>(data.data());
    return skarn_edit_overwrite_bytes(session, offset, bytes, static_cast<int64_t>(data.size()));
}

// Applying changes to the model.

int64_t apply_change_(skarn_session_struct *session, const skarn::change_ptr &change) {
    skarn_model_struct &model = session->current();
    if (change->offset > model.computed_size()) return -1;
    if (change->serial < 0) {
        change->serial = -change->serial;  // a redo
    } else if (!model.changes_undone.empty()) {
        for (auto &level : session->models) level->changes_undone.clear();  // a new edit ends all redo
    }
    model.changes.push_back(change);
    if (update_model_(session, change) != 0) return -1;
    update_viewports_(session, change.get());
    skarn_session_notify(session, SESSION_EVT_EDIT, change.get());
    return change->serial;
}

int update_model_(skarn_session_struct *session, const skarn::const_change_ptr &change) {
    return update_model_helper_(session->current(), change);
}

namespace {

using cursor = skarn::segment_tree::cursor;
using skarn::splice_record;

// Room for `extra` more entries, growing geometrically, so that appending
// them cannot throw halfway through a model update.
template <typename T>
void make_room(std::vector<T> &list, size_t extra) {
    if (list.capacity() - list.size() < extra) list.reserve(std::max(list.size() + extra, 2 * list.capacity()));
}

bool at_front(const skarn::segment_tree &segments, const cursor &at) noexcept {
    return at.where == segments.begin_cursor().where && at.index == 0;
}

// Cuts the sequence at `offset`, given in `at` the segment that holds it (on
// a boundary the earlier one): that segment is split in two when the offset
// falls inside it. Returns the first segment after the cut in `at`; false
// when the offset lies past the content.
bool cut_at(skarn_model_struct &model, int64_t offset, cursor &at, bool &split) {
    skarn::segment_tree &segments = model.model_segments;
    split = false;
    if (segments.empty()) {
        at = segments.begin_cursor();
        return true;
    }
    if (segments.at_end(at)) return false;
    const int64_t delta = offset - at.start;
    if (delta == at->length) {
        segments.advance(at);
    } else if (delta != 0) {
        // The back half goes in first: when that fails for want of memory,
        // the sequence is still whole. Then the segment, found again (the
        // insert may have moved it), keeps only its front half.
        const skarn::piece whole = *at;
        cursor after = at;
        segments.advance(after);
        segments.insert(after, whole.part(delta, whole.length - delta));
        at = segments.find(offset);
        segments.replace(at, whole.part(0, delta));
        segments.advance(at);
        split = true;
    }
    return true;
}

// Where a change's cut fell, found again after the change: the front of the
// sequence, or just after the first segment that ends at `offset` (segments
// before the cut are never touched by the change).
cursor cut_position(const skarn_model_struct &model, int64_t offset, bool front) {
    const skarn::segment_tree &segments = model.model_segments;
    if (front) return segments.begin_cursor();
    cursor at = segments.find(offset);
    if (segments.at_end(at) || at.end() != offset) {
        print_model_segments_(&model, std::clog);
        SKARN_FATAL("no segment ends at the offset of the change undone: " << offset);
    }
    segments.advance(at);
    return at;
}

// Joins the segment at `at` with the one after it: two neighbouring stretches
// of the same change's bytes, which one segment showed before a change cut it.
void join_with_next(skarn_model_struct &model, cursor at) {
    skarn::segment_tree &segments = model.model_segments;
    cursor next = at;
    segments.advance(next);
    if (segments.at_end(next) || !at->followed_by(*next)) {
        print_model_segments_(&model, std::clog);
        SKARN_FATAL("segments to join are not neighbours in one change, at offset: " << at.start);
    }
    const skarn::piece joined = at->part(0, at->length + next->length);
    segments.erase(next, 1);  // leaves `at` in place: only a later segment goes
    segments.replace(at, joined);
}

}  // namespace

// Splices a change into the level's segments and records, as the change's
// splice record, what undo needs to put the sequence back exactly: the cut at
// the change's offset splits the segment holding it; a delete (and the first
// half of an overwrite) then removes whole segments from the cut on and cuts
// the front off the segment where it ends; an insert (and the second half of
// an overwrite) puts one segment showing the change's bytes at the cut.
int update_model_helper_(skarn_model_struct &model, const skarn::const_change_ptr &change) {
    skarn::segment_tree &segments = model.model_segments;
    const int kind = change->change_kind();
    splice_record record;
    // Where the change's offset falls; every segment up to there is checked.
    const auto locate = [&model](int64_t offset) {
        const segment_position found = locate_segment_(model, offset);
        if (found.broken) print_model_segments_(&model, std::clog);
        return found;
    };
    segment_position found = locate(change->offset);
    if (found.broken) {
        SKARN_FATAL("break in model continuity, expected: " << found.expected << ", got: " << found.got);
    }
    cursor at = found.at;
    bool split = false;
    if (!cut_at(model, change->offset, at, split)) return -1;
    if (split) record.flags |= splice_record::split;
    if (kind != CHANGE_DELETE && kind != CHANGE_INSERT && kind != CHANGE_OVERWRITE) {
        SKARN_FATAL("Unhandled change kind");
    }

    if (kind == CHANGE_DELETE || kind == CHANGE_OVERWRITE) {
        if (at_front(segments, at)) record.flags |= splice_record::removal_front;
        int64_t remaining = change->length;
        size_t whole = 0;
        for (cursor scan = at; remaining != 0 && !segments.at_end(scan); segments.advance(scan), ++whole) {
            if (remaining < scan->length) break;
            remaining -= scan->length;
        }
        if (whole > UINT32_MAX) SKARN_FATAL("too many segments removed by one change: " << whole);
        make_room(model.removed_pieces, whole);
        cursor scan = at;
        for (size_t k = 0; k < whole; ++k, segments.advance(scan)) model.removed_pieces.push_back(*scan);
        at = segments.erase(at, whole);
        record.removed = static_cast<uint32_t>(whole);
        if (remaining != 0 && !segments.at_end(at)) {
            // The front cut off this segment is not kept: undo grows the
            // segment back by what the change removed beyond the whole ones.
            const skarn::piece rest = *at;
            segments.replace(at, rest.part(remaining, rest.length - remaining));
            record.flags |= splice_record::trimmed;
        }
    }

    if (kind == CHANGE_INSERT || kind == CHANGE_OVERWRITE) {
        // An overwrite looks for its place again after the removal; it falls
        // on the boundary the removal left, so it splits nothing.
        if (kind == CHANGE_OVERWRITE) {
            found = locate(change->offset);
            if (found.broken) {
                SKARN_FATAL("break in model continuity, expected: " << found.expected << ", got: " << found.got);
            }
            at = found.at;
            if (!cut_at(model, change->offset, at, split)) return -1;
        }
        if (at_front(segments, at)) record.flags |= splice_record::insert_front;
        segments.insert(at, {change->length, 0, change.get()});
        record.flags |= splice_record::inserted;
    }
    change->splice_flags = record.flags;
    change->splice_removed = record.removed;
    ++model.spliced;
    return 0;
}

namespace {

// Puts the level's segments back as they were before its newest change, from
// the change's splice record: the inverse of update_model_helper_.
void unsplice_last_change(skarn_model_struct &model, const skarn_change_struct *change) {
    skarn::segment_tree &segments = model.model_segments;
    splice_record record;
    record.flags = change->splice_flags;
    record.removed = change->splice_removed;
    const int64_t offset = change->offset;
    if ((record.flags & splice_record::inserted) != 0) {
        cursor at = cut_position(model, offset, (record.flags & splice_record::insert_front) != 0);
        if (segments.at_end(at) || at->change() != change) {
            print_model_segments_(&model, std::clog);
            SKARN_FATAL("the segment of the change undone is not at its offset: " << offset);
        }
        segments.erase(at, 1);
    }
    const bool trimmed = (record.flags & splice_record::trimmed) != 0;
    if (record.removed > 0 || trimmed) {
        const size_t count = record.removed;
        const size_t first = model.removed_pieces.size() - count;
        cursor at = cut_position(model, offset, (record.flags & splice_record::removal_front) != 0);
        if (trimmed) {
            // The segment at the cut is what the change left of the one it
            // cut the front off: it gets that front back.
            int64_t front = change->length;
            for (size_t k = first; k < first + count; ++k) front -= model.removed_pieces[k].length;
            if (segments.at_end(at) || front <= 0 || front > change->length) {
                print_model_segments_(&model, std::clog);
                SKARN_FATAL("no trimmed segment at the offset of the change undone: " << offset);
            }
            const skarn::piece rest = *at;
            segments.replace(at, rest.part(-front, rest.length + front));
        }
        segments.insert(at, model.removed_pieces.data() + first, count);
        model.removed_pieces.resize(first);
    }
    if ((record.flags & splice_record::split) != 0) join_with_next(model, segments.find(offset));
    --model.spliced;
}

}  // namespace

// Change history.

bool determine_change_transaction_bit_(skarn_session_struct *session) {
    const bool last_bit = skarn_session_get_transaction_bit_(session) != 0;
    switch (skarn_session_get_transaction_state(session)) {
        case SESSION_TRANSACTION_NONE: return !last_bit;
        case SESSION_TRANSACTION_OPENED: session->flags |= flag_transaction_has_change; return !last_bit;
        case SESSION_TRANSACTION_IN_PROGRESS: return last_bit;
        default: SKARN_FATAL("Invalid transaction state");
    }
}

int64_t skarn_edit_undo_last_change(skarn_session_struct *session) noexcept {
    if (session == nullptr || session->has_flag(flag_changes_paused)) return 0;
    if (refuse_reentry_(session, "skarn_edit_undo_last_change")) return 0;
    skarn_model_struct &model = session->current();
    if (model.changes.empty()) return 0;
    try {
        // One change at a time, newest first, until the transaction is undone:
        // each puts back the segments its change replaced.
        for (;;) {
            skarn::change_ptr change = std::move(model.changes.back());
            model.changes.pop_back();
            if (model.spliced == model.changes.size() + 1) {
                unsplice_last_change(model, change.get());
            } else {
                // Without the change's splice record (a model update that
                // failed halfway), the level is rebuilt from its file by
                // replaying the changes that remain.
                const int64_t size = model.file_size();
                if (size < 0) return -1;
                reset_model_segments_(model, size);
                for (const auto &remaining : model.changes) {
                    if (update_model_(session, remaining) != 0) return -1;
                }
            }
            change->serial = -change->serial;
            model.changes_undone.push_back(change);
            update_viewports_(session, change.get());
            skarn_session_notify(session, SESSION_EVT_UNDO, change.get());
            if (model.changes.empty() || model.changes.back()->transaction() != change->transaction()) {
                return change->serial;
            }
        }
    } catch (...) {
        return -1;
    }
}

int64_t skarn_edit_redo_last_undo(skarn_session_struct *session) noexcept {
    if (session == nullptr || session->has_flag(flag_changes_paused)) return 0;
    if (refuse_reentry_(session, "skarn_edit_redo_last_undo")) return 0;
    skarn_model_struct &model = session->current();
    if (model.changes_undone.empty()) return 0;
    try {
        // Oldest change of the transaction first; the result is the newest's.
        for (;;) {
            skarn::change_ptr change = model.changes_undone.back();
            const int64_t result = apply_change_(session, change);
            model.changes_undone.pop_back();
            if (model.changes_undone.empty() || model.changes_undone.back()->transaction() != change->transaction()) {
                return result;
            }
        }
    } catch (...) {
        return -1;
    }
}

int skarn_edit_clear_changes(skarn_session_struct *session) noexcept {
    if (session == nullptr || refuse_reentry_(session, "skarn_edit_clear_changes")) return -1;
    try {
        // Clearing forgets the whole history, checkpoints included: the
        // content returns to the original file.
        const int64_t size = session->base().file_size();
        if (size < 0) return -1;
        while (session->models.size() > 1) {
            if (!drop_current_level(session)) SKARN_LOG(skarn::log::system_error_line());
        }
        skarn_model_struct &base = session->base();
        reset_model_segments_(base, size);
        base.changes.clear();
        base.changes_undone.clear();
        session->num_changes_adjustment = 0;
        mark_viewports_stale_(session, VIEWPORT_EVT_CLEAR);
        skarn_session_notify(session, SESSION_EVT_CLEAR, nullptr);
        return 0;
    } catch (...) {
        return -1;
    }
}

// Keeping viewports informed.

int change_affects_viewport_(const skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept {
    switch (change->change_kind()) {
        case CHANGE_OVERWRITE: return skarn_viewport_in_segment(viewport, change->offset, change->length);
        case CHANGE_INSERT:
        case CHANGE_DELETE:
            return change->offset <= skarn::saturating_add(viewport->offset(), viewport->data_segment.abs_capacity())
                       ? 1
                       : 0;
        default: SKARN_FATAL("Unhandled change kind");
    }
}

namespace {

// Moves a floating viewport past bytes that `change` removed in front of it;
// it never lands before the change's offset.
void float_back(skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept {
    viewport->move_to(std::max(skarn::saturating_sub(viewport->offset(), change->length), change->offset));
}

// Moves a floating viewport past bytes that `change` added in front of it;
// it stops at the largest offset there is.
void float_forward(skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept {
    viewport->move_to(skarn::saturating_add(viewport->offset(), change->length));
}

}  // namespace

namespace {

// The content changed: what search contexts kept of it is stale.
void drop_search_windows(skarn_session_struct *session) noexcept {
    for (const auto &context : session->search_contexts) context->window_valid = false;
}

}  // namespace

int update_viewports_(skarn_session_struct *session, const skarn_change_struct *change) noexcept {
    drop_search_windows(session);
    const bool undone = change->serial <= 0;
    for (const auto &viewport : session->viewports) {
        auto &segment = viewport->data_segment;
        if (segment.is_floating && change->offset <= viewport->offset()) {
            // An undone change moves floating viewports the opposite way, so
            // that they show the same bytes after an edit and its undo.
            switch (change->change_kind()) {
                case CHANGE_DELETE:
                    if (undone)
                        float_forward(viewport.get(), change);
                    else
                        float_back(viewport.get(), change);
                    break;
                case CHANGE_INSERT:
                    if (undone)
                        float_back(viewport.get(), change);
                    else
                        float_forward(viewport.get(), change);
                    break;
                default: break;  // an overwrite moves nothing
            }
        }
        if (change_affects_viewport_(viewport.get(), change) != 0) {
            viewport->mark_stale();
            skarn_viewport_notify(viewport.get(), undone ? VIEWPORT_EVT_UNDO : VIEWPORT_EVT_EDIT, change);
        }
    }
    return 0;
}

void mark_viewports_stale_(skarn_session_struct *session, int32_t viewport_event) noexcept {
    drop_search_windows(session);
    for (const auto &viewport : session->viewports) {
        viewport->mark_stale();
        if (viewport_event != 0) skarn_viewport_notify(viewport.get(), viewport_event, nullptr);
    }
}

// Saving, checkpoints and transforms.

namespace {

// Saving moves bytes in 512-byte chunks; stdio buffers of this size gather
// them into one read or write call per 64 KiB. Larger buffers are slower, not
// faster: the input and output buffers together must stay within the CPU's
// own cache while the kernel copies to and from them (1 MiB buffers cost five
// times the CPU time of 64 KiB ones).
constexpr size_t save_stream_buffer_size = size_t{64} << 10;

// A stream buffer for one save, or null when memory is short (the stream then
// keeps its own smaller buffer; the save is only slower).
std::unique_ptr<char[]> make_stream_buffer() noexcept {
    return std::unique_ptr<char[]>(new (std::nothrow) char[save_stream_buffer_size]);
}

// Writes [offset, offset + length) of the current level's content to `out`,
// segment by segment in content order, telling `progress` as it goes, and
// returns 0, or the save result of the failure: -6 a read segment could not
// be copied, -7 inserted bytes could not be written, -8 fewer bytes than
// asked for were found, -13 `progress` cancelled, -14 the file an in-place
// level reads was changed by another program. Logs under `caller`'s name.
int write_content(const skarn_session_struct *session, int64_t offset, int64_t length, FILE *out,
                  skarn::progress_meter &progress, const char *caller) {
    const skarn_model_struct &model = session->current();
    // The save's own read-ahead: a call from a progress callback (a read of
    // the content, another save) reads through one of its own.
    std::vector<uint8_t> read_ahead;
    file_reader reader(model.file, read_ahead);
    int64_t expected_offset = 0;
    int64_t written = 0;
    for (const auto &piece : model.model_segments) {
        if (piece.computed_offset != expected_offset) {
            SKARN_FATAL("break in model continuity, expected: " << expected_offset
                                                                << ", got: " << piece.computed_offset);
        }
        const int64_t end = expected_offset + piece.computed_length;
        if (end <= offset) {
            expected_offset = end;
            continue;
        }
        if (written >= length) break;
        const int64_t skip = std::max<int64_t>(offset - piece.computed_offset, 0);
        const int64_t count = std::min(piece.computed_length - skip, length - written);
        switch (piece.kind()) {
            case skarn::SEGMENT_INSERT: {
                const uint8_t *bytes = skarn_change_get_bytes(piece.change.get()) + piece.change_offset + skip;
                if (static_cast<int64_t>(std::fwrite(bytes, 1, static_cast<size_t>(count), out)) != count) {
                    SKARN_LOG_AS(caller, "fwrite failed");
                    return -7;
                }
                progress.advance(count);
                break;
            }
            case skarn::SEGMENT_READ:
                if (!model.file.is_open()) SKARN_FATAL("attempt to read segment from null file pointer");
                // In steps, so that progress is told and cancelling is heard.
                for (int64_t done = 0; done < count && !progress.cancelled();) {
                    const int64_t step = std::min(count - done, file_reader::ahead_limit);
                    const uint8_t *bytes = reader.view(piece.change_offset + skip + done, step, count - done);
                    if (bytes == nullptr ||
                        std::fwrite(bytes, 1, static_cast<size_t>(step), out) != static_cast<size_t>(step)) {
                        SKARN_LOG_AS(caller, "skarn_util_write_segment_to_file failed");
                        return -6;
                    }
                    done += step;
                    progress.advance(step);
                }
                break;
            default: SKARN_FATAL("Unhandled segment kind");
        }
        if (progress.cancelled()) {
            SKARN_LOG_AS(caller, "cancelled by the progress callback");
            return -13;
        }
        written += count;
        expected_offset = end;
    }
    // Bytes read from a file changed meanwhile may mix two contents.
    if (!model.file_intact()) {
        SKARN_LOG_AS(caller, "'" << model.file_path
                                 << "' was changed by another program while it was read, "
                                    "nothing written");
        return -14;
    }
    if (written != length) {
        SKARN_LOG_AS(caller, "failed to write all requested bytes, expected: " << length << ", got: " << written);
        return -8;
    }
    return 0;
}

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

// Makes a rename in `directory` durable. False (errno set) when it fails.
bool sync_directory(const char *directory) noexcept {
    const int fd = ::open(directory[0] != '\0' ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

// A checkpoint's file, written through the descriptor that created it, then
// read back through a stream over that same descriptor. Returns the stream
// (positioned at 0) or null; on failure the file is removed.
FILE *write_checkpoint_file(const skarn_session_struct *session, char *path, int64_t size,
                            skarn::progress_meter &progress) {
    const int fd = skarn::create_private_file(path);
    if (fd < 0) {
        SKARN_LOG(skarn::log::system_error_line());
        return nullptr;
    }
    int written = 0;
    const auto fail = [&](FILE *stream) -> FILE * {
        const int error = errno;
        if (stream != nullptr) std::fclose(stream);
        ::close(fd);
        ::unlink(path);
        // A cancelled or refused copy has said why already.
        if (written != -13 && written != -14) SKARN_LOG(skarn::log::system_error_line(error));
        return nullptr;
    };
    const int writer_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    FILE *out = writer_fd >= 0 ? fdopen(writer_fd, "wb") : nullptr;
    if (out == nullptr) {
        if (writer_fd >= 0) ::close(writer_fd);
        return fail(nullptr);
    }
    const std::unique_ptr<char[]> out_buffer = make_stream_buffer();  // outlives `out`
    if (out_buffer) std::setvbuf(out, out_buffer.get(), _IOFBF, save_stream_buffer_size);
    written = write_content(session, 0, size, out, progress, "skarn_edit_create_checkpoint");
    const bool flushed = written == 0 && std::fflush(out) == 0;
    const bool closed = std::fclose(out) == 0;
    if (!flushed || !closed) return fail(nullptr);
    if (file_identity_of_(fd).size != size) {
        SKARN_LOG("checkpoint file '" << path << "' does not hold " << size << " bytes");
        errno = EIO;
        return fail(nullptr);
    }
    FILE *level_file = fdopen(fd, "rb");
    if (level_file == nullptr) return fail(nullptr);
    return level_file;
}

}  // namespace

int skarn_edit_save(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path) noexcept {
    return skarn_edit_save_segment(session, file_path, io_flags, saved_path, 0, 0);
}

int skarn_edit_save_segment(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path,
                            int64_t offset, int64_t length) noexcept {
    if (session == nullptr || file_path == nullptr) return -1;
    if (saved_path != nullptr) *saved_path = '\0';
    try {
        const int64_t size = skarn_session_get_computed_file_size(session);
        // What is left from the offset, saturated: a negative offset is
        // refused below, and size - offset must not overflow on the way.
        int64_t rest = 0;
        if (__builtin_sub_overflow(size, offset, &rest)) rest = INT64_MAX;
        const int64_t adjusted_length = length < 1 || rest < length ? rest : length;
        // A negative offset is refused too: the copy starts at offset 0 at the earliest.
        if (adjusted_length < 0 || offset < 0) {
            SKARN_LOG("invalid offset: " << offset << ", length: " << length << ", adjusted_length: " << adjusted_length
                                         << ", computed_file_size: " << size);
            return -1;
        }
        const bool overwrite = (io_flags & (IO_FLG_OVERWRITE | IO_FLG_FORCE_OVERWRITE)) != 0;

        // 1. The file really written: a link is followed to its file.
        std::string target;
        bool through_link = false;
        if (!resolve_save_target(file_path, target, through_link)) {
            SKARN_LOG(skarn::log::system_error_line());
            return -12;
        }
        struct stat existing {};
        const bool target_exists = ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);

        // 2. Replacing the caller's file is refused when anything changed it
        // since the session read it (or last saved over it).
        const bool has_caller_file = session->caller_file.known;
        const char *caller_path = session->base().file_path.c_str();
        bool own_file = false;
        if (overwrite && has_caller_file && target_exists) {
            own_file =
                (existing.st_dev == session->caller_file.device && existing.st_ino == session->caller_file.inode) ||
                skarn_util_paths_equivalent(target.c_str(), caller_path) != 0;
            if (own_file && (io_flags & IO_FLG_FORCE_OVERWRITE) == 0 &&
                !(file_identity_of_(caller_path) == session->caller_file)) {
                SKARN_LOG("original file '" << caller_path
                                            << "' has been modified since the session was created, save failed "
                                               "(use IO_FLG_FORCE_OVERWRITE to override)");
                return -100;
            }
        }

        // An in-place level whose file another program changed cannot give
        // its content any more; nothing is written from mixed content.
        if (!session->current().file_intact()) {
            SKARN_LOG("'" << session->current().file_path
                          << "' was changed by another program while the session read it in place, save refused");
            return -14;
        }
        // A save over the file an in-place base level reads: that level keeps
        // reading the old content through its descriptor, whose identity the
        // replacement changes (its link count and change time).
        skarn_model_struct &base = session->base();
        const bool replaces_base = base.in_place && target_exists && existing.st_dev == base.identity.device &&
                                   existing.st_ino == base.identity.inode;
        skarn::progress_meter progress = session->progress(PROGRESS_OP_SAVE, adjusted_length);

        // 3. The temporary file goes beside the target, so that the final
        // rename stays within one file system.
        char directory[path_buffer_size];
        if (skarn_util_dirname(target.c_str(), directory) == nullptr) {
            // The directory alone does not fit a path buffer, so neither does the temporary name.
            SKARN_LOG(skarn::log::system_error_line(ENAMETOOLONG));
            return -3;
        }
        if (directory[0] == '\0') skarn_util_get_current_dir(directory);  // stays empty when unknown
        if (through_link && skarn_util_directory_exists(directory) == 0) {
            // A link may name a place anywhere: nothing is made on the way to it.
            SKARN_LOG("the directory '" << directory << "' of the file that '" << file_path
                                        << "' links to does not exist; not created");
            return -2;
        }
        if (skarn_util_directory_exists(directory) == 0 && skarn_util_create_directory(directory) != 0) {
            char normalized[path_buffer_size];
            const char *shown = skarn_util_normalize_path(directory, normalized);
            SKARN_LOG("failed to create directory: " << (shown != nullptr ? shown : directory));
            return -2;
        }
        char temp_name[path_buffer_size];
        const int formatted = directory[0] == '\0' ? std::snprintf(temp_name, sizeof temp_name, ".Skarnpad_XXXXXX")
                                                   : std::snprintf(temp_name, sizeof temp_name, "%s%c.Skarnpad_XXXXXX",
                                                                   directory, skarn_util_directory_separator());
        if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof temp_name) {
            SKARN_LOG(skarn::log::system_error_line(formatted < 0 ? errno : ENAMETOOLONG));
            return -3;
        }
        // Removed when the save returns, unless it was renamed into place.
        skarn::save_file temp;
        const int fd = temp.create(temp_name, static_cast<mode_t>(skarn_util_compute_mode(0666)));
        if (fd < 0) {
            const int error = errno;
            SKARN_LOG("mkstemp failed, temp filename: " << temp.name());
            SKARN_LOG(skarn::log::system_error_line(error));
            return -4;
        }

        // From here on every failure removes the temporary file; the target
        // is not touched before the rename, which replaces it in one step.
        FILE *out = nullptr;
        const auto fail = [&](int code, int error) {
            if (out != nullptr)
                std::fclose(out);
            else
                ::close(fd);
            if (error != 0) SKARN_LOG_AS("skarn_edit_save_segment", skarn::log::system_error_line(error));
            return code;
        };

        // 4. Write, through the descriptor just made. Reopening the file by
        // name for writing would truncate it, and ext4 pushes all the data
        // of a file written after a truncation out to the disk when it is
        // closed, which costs about as much again as the whole copy.
        const std::unique_ptr<char[]> out_buffer = make_stream_buffer();  // outlives `out`
        out = fdopen(fd, "wb");
        if (out == nullptr) return fail(-5, errno);
        if (out_buffer) std::setvbuf(out, out_buffer.get(), _IOFBF, save_stream_buffer_size);
        if (const int written = write_content(session, offset, adjusted_length, out, progress, __func__);
            written != 0) {
            return fail(written, 0);
        }
        // The last word of the progress callback comes before anything is
        // replaced.
        if (!progress.finish()) {
            SKARN_LOG("cancelled by the progress callback");
            return fail(-13, 0);
        }

        // 5. Flush, give the file what the replaced one had, make the data
        // durable, check the size. An error reported by any of these is a
        // write failure.
        if (std::fflush(out) != 0) return fail(-7, errno);
        if (overwrite && target_exists && !carry_over_metadata(fd, existing)) return fail(-7, errno);
        if (::fsync(fd) != 0) return fail(-7, errno);
        const int64_t temp_size = file_identity_of_(fd).size;
        if (temp_size != adjusted_length) {
            SKARN_LOG("failed to write all requested bytes to '" << temp.name() << "', expected: " << adjusted_length
                                                                 << ", got: " << temp_size);
            return fail(-9, 0);
        }
        // 6. The last look at the caller's file before it is replaced:
        // another program's write that landed while this save ran (up to
        // its fsync) is not lost.
        if (own_file && (io_flags & IO_FLG_FORCE_OVERWRITE) == 0 &&
            !(file_identity_of_(caller_path) == session->caller_file)) {
            SKARN_LOG("original file '" << caller_path
                                        << "' was modified by another program while the save ran, save failed "
                                           "(use IO_FLG_FORCE_OVERWRITE to override)");
            return fail(-100, 0);
        }
        // 7. The complete file gets its temporary name, then is closed.
        if (temp.name_now() != 0) {
            SKARN_LOG("failed to name the temporary file '" << temp.name() << "'");
            return fail(-12, errno);
        }
        const int closed = std::fclose(out);
        out = nullptr;
        if (closed != 0) {
            SKARN_LOG(skarn::log::system_error_line());
            return -7;
        }

        // 8. The name: without overwrite an existing target keeps its file
        // and the content takes a free numbered variant of the name.
        // 9. Rename: with overwrite the target is replaced at once, or not at
        // all. Without, a name another program takes meanwhile is not
        // replaced either: the rename refuses it and the next free name is
        // tried.
        const char *final_name = target.c_str();
        char available[path_buffer_size];
        // Taken before the rename, which changes the base level's file.
        const bool base_intact = replaces_base && base.file_intact();
        for (int attempt = 0;; ++attempt) {
            if (!overwrite && skarn_util_file_exists(final_name) != 0) {
                final_name = skarn_util_available_filename(target.c_str(), available);
                if (final_name == nullptr) {
                    SKARN_LOG("cannot find an available filename");
                    return -11;
                }
            }
            int renamed =
                overwrite ? std::rename(temp.name(), final_name) : rename_without_replacing(temp.name(), final_name);
            if (renamed != 0 && !overwrite && errno == EEXIST) {
                // A file that appeared meanwhile: take the next free name. Any
                // other kind of entry is left to the plain rename to judge.
                if (skarn_util_file_exists(final_name) != 0 && attempt < 8) continue;
                renamed = std::rename(temp.name(), final_name);
            }
            if (renamed == 0) break;
            SKARN_LOG(skarn::log::system_error_line());
            return -12;
        }
        temp.renamed();

        // The in-place base level reads the replaced file, unchanged but for
        // its link count: the identity it keeps is the one it has now.
        if (base_intact) base.identity = file_identity_of_(base.file.fd);

        // 10. The new directory entry reaches the disk too.
        if (!sync_directory(directory)) {
            SKARN_LOG("'" << final_name << "' is in place but its directory could not be flushed");
            SKARN_LOG(skarn::log::system_error_line());
            return -15;
        }

        // The caller's file now holds what the session wrote: the next save
        // over it compares with this state.
        if (own_file) session->caller_file = file_identity_of_(final_name);
        if (saved_path != nullptr) skarn_util_normalize_path(final_name, saved_path);
        skarn_session_notify(session, SESSION_EVT_SAVE, saved_path);
        return 0;
    } catch (...) {
        return -1;
    }
}

int skarn_edit_create_checkpoint(skarn_session_struct *session) noexcept {
    if (session == nullptr || refuse_reentry_(session, "skarn_edit_create_checkpoint")) return -1;
    const std::string &directory = session->checkpoint_directory;
    const bool directory_missing = skarn_util_directory_exists(directory.c_str()) == 0;
    if (directory_missing) SKARN_LOG("checkpoint directory '" << directory << "' does not exist");
    char path[path_buffer_size];
    const int formatted = std::snprintf(path, sizeof path, "%s%c.Skarnpad-chk.%zu.XXXXXX", directory.c_str(),
                                        skarn_util_directory_separator(), session->models.size());
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof path) {
        SKARN_LOG("failed to create checkpoint filename template");
        return -1;
    }
    if (directory_missing && skarn_util_create_directory(directory.c_str()) != 0) {
        SKARN_LOG("failed to create directory: " << directory);
        SKARN_LOG("failed to save checkpoint to '" << path << "'");
        return -1;
    }
    FILE *file = nullptr;
    bool written = false;  // the checkpoint file exists and must go on failure
    try {
        const int64_t size = skarn_session_get_computed_file_size(session);
        const int64_t num_changes = skarn_session_get_num_changes(session);
        // A transform's checkpoint reports as part of the transform.
        skarn::progress_meter own_progress = session->progress(PROGRESS_OP_CHECKPOINT, size);
        skarn::progress_meter &progress =
            session->enclosing_progress != nullptr ? *session->enclosing_progress : own_progress;
        file = write_checkpoint_file(session, path, size, progress);
        if (file == nullptr) {
            if (!progress.cancelled()) SKARN_LOG("failed to save checkpoint to '" << path << "'");
            return -1;
        }
        written = true;
        if (&progress == &own_progress && !progress.finish()) {
            SKARN_LOG("cancelled by the progress callback");
            std::fclose(file);
            file = nullptr;
            ::unlink(path);
            return -1;
        }
        auto level = std::make_unique<skarn_model_struct>();
        level->file_path = path;
        const bool adopted = level->file.adopt(file);  // the level closes it from here on
        file = nullptr;
        if (!adopted) {
            SKARN_LOG(skarn::log::system_error_line());
            ::unlink(path);
            return -1;
        }
        reset_model_segments_(*level, size);
        // The content is saved: announced as a save to no path, as before.
        skarn_session_notify(session, SESSION_EVT_SAVE, nullptr);
        session->models.push_back(std::move(level));
        session->num_changes_adjustment = num_changes;
    } catch (...) {
        if (file != nullptr) std::fclose(file);
        if (written) ::unlink(path);
        return -1;
    }
    skarn_session_notify(session, SESSION_EVT_CREATE_CHECKPOINT, nullptr);
    return 0;
}

int skarn_edit_destroy_last_checkpoint(skarn_session_struct *session) noexcept {
    if (session == nullptr || skarn_session_get_num_checkpoints(session) <= 0) return -1;
    if (refuse_reentry_(session, "skarn_edit_destroy_last_checkpoint")) return -1;
    skarn_model_struct &level = session->current();
    level.close_file();
    if (::unlink(level.file_path.c_str()) != 0) SKARN_LOG(skarn::log::system_error_line());
    level.changes.clear();
    level.changes_undone.clear();
    session->models.pop_back();
    // The adjustment counted the level below's changes as well; now they are current.
    session->num_changes_adjustment -= static_cast<int64_t>(session->current().changes.size());
    // The content is that of the level below now: every viewport must read again.
    mark_viewports_stale_(session);
    skarn_session_notify(session, SESSION_EVT_DESTROY_CHECKPOINT, nullptr);
    return 0;
}

int skarn_edit_apply_transform(skarn_session_struct *session, skarn_util_byte_transform_t transform, void *user_data,
                               int64_t offset, int64_t length) noexcept {
    if (session == nullptr || skarn_session_changes_paused(session) != 0) return -1;
    if (refuse_reentry_(session, "skarn_edit_apply_transform")) return -1;
    // One meter for the whole: the checkpoint's copy, then the rewrite.
    skarn::progress_meter progress =
        session->progress(PROGRESS_OP_TRANSFORM, 2 * skarn_session_get_computed_file_size(session));
    session->enclosing_progress = &progress;
    const int checkpointed = skarn_edit_create_checkpoint(session);
    session->enclosing_progress = nullptr;
    if (checkpointed != 0) return -1;
    char output[path_buffer_size] = "";
    FILE *out = nullptr;
    try {
        // The transformed copy is written to a private file of its own beside
        // the checkpoint, created exclusively, then renamed over it; its
        // stream becomes the level's file. Nothing is opened again by name.
        skarn_model_struct &level = session->current();
        const int64_t size = level.computed_size();
        const auto failed = [&] {
            if (out != nullptr) std::fclose(out);
            if (output[0] != '\0') ::unlink(output);
            if (progress.cancelled()) {
                // Cancelled: the session goes back to where it was.
                SKARN_LOG("cancelled by the progress callback");
                skarn_edit_destroy_last_checkpoint(session);
                return -1;
            }
            skarn::log::to_stderr(__FILE__, __LINE__, "skarn_edit_apply_transform", "transform failed");
            return -1;  // the checkpoint stays, untransformed
        };
        // The range is judged as the file transform judges it, under its name.
        if (transform == nullptr ||
            !transform_range_valid_(size, offset, length, "skarn_util_apply_byte_transform_to_file")) {
            return failed();
        }
        if (length == 0) length = size - offset;
        const int formatted = std::snprintf(output, sizeof output, "%s%c.Skarnpad-xfm.XXXXXX",
                                            session->checkpoint_directory.c_str(), skarn_util_directory_separator());
        if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof output) {
            output[0] = '\0';
            return failed();
        }
        const int fd = skarn::create_private_file(output);
        if (fd < 0) {
            output[0] = '\0';
            return failed();
        }
        out = fdopen(fd, "w+b");
        if (out == nullptr) {
            ::close(fd);
            return failed();
        }
        if (transform_stream_(level.file.fd, size, out, transform, user_data, offset, length, __func__, &progress) !=
                0 ||
            std::fflush(out) != 0 || file_identity_of_(fd).size != size || fseeko(out, 0, SEEK_SET) != 0 ||
            !progress.finish()) {
            return failed();
        }
        if (std::rename(output, level.file_path.c_str()) != 0) {
            SKARN_LOG(skarn::log::system_error_line());
            return failed();
        }
        // A transform keeps the size: the single read segment stays valid.
        const bool adopted = level.file.adopt(out);  // the level closes it from here on
        out = nullptr;
        output[0] = '\0';  // renamed: it is the checkpoint file now
        if (!adopted) {
            SKARN_LOG(skarn::log::system_error_line());
            skarn_edit_destroy_last_checkpoint(session);
            return -1;
        }

        mark_viewports_stale_(session, VIEWPORT_EVT_TRANSFORM);
        skarn_session_notify(session, SESSION_EVT_TRANSFORM, nullptr);
        return 0;
    } catch (...) {
        if (out != nullptr) std::fclose(out);
        if (output[0] != '\0') ::unlink(output);
        return -1;
    }
}
