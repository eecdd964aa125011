// The editing engine: session lifecycle, edits and the model update, the
// change history, the viewports' update after each change, and persistence:
// saving, checkpoints and transforms.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "impl_/file_copy.hpp"
#include "impl_/internal_fun.hpp"
#include "impl_/log.hpp"
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

// Chooses the checkpoint directory of a new session: the caller's, else the
// file's directory (the current directory for a bare file name), else the
// temporary directory, else the current directory.
std::string choose_checkpoint_directory(const char *file_path, const char *checkpoint_directory) {
    if (checkpoint_directory != nullptr) return checkpoint_directory;
    char buffer[path_buffer_size];
    if (file_path != nullptr && *file_path != '\0') {
        const char *dir = skarn_util_dirname(file_path, buffer);
        if (dir != nullptr && *dir != '\0') return dir;
        const char *cwd = skarn_util_get_current_dir(buffer);
        return cwd != nullptr ? cwd : "";
    }
    if (char *temp = skarn_util_get_temp_directory()) {
        std::string dir = temp;
        std::free(temp);
        return dir;
    }
    const char *cwd = skarn_util_get_current_dir(buffer);
    return cwd != nullptr ? cwd : "";
}

}  // namespace

// Session lifecycle.

namespace {

// The time of day in ns since the epoch, as file times are kept.
int64_t now_ns() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Opens the caller's file to be read where it is. Null (nothing logged) for
// a file whose size the file system cannot tell, which is copied instead:
// anything but a regular file, and a regular file of size 0 (as /proc files
// report), where an empty file costs nothing to copy.
FILE *open_in_place(const char *file_path) noexcept {
    const int fd = open(file_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) {
        close(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}

// Fills the original checkpoint `name` (just made by mkstemp, open as `fd`,
// which this closes) with the content of the caller's file. 0, 1 when
// cancelled, -1 on failure; the caller removes the file on 1 and -1.
int fill_original_checkpoint(const char *file_path, int fd, skarn::progress_meter &progress) noexcept {
    const int source = open(file_path, O_RDONLY | O_CLOEXEC);
    int result = -1;
    if (source < 0) {
        SKARN_LOG(skarn::log::system_error_line());
    } else {
        result = copy_descriptor_contents_(source, fd, &progress);
        close(source);
    }
    if (close(fd) != 0 && result == 0) {
        SKARN_LOG(skarn::log::system_error_line());
        result = -1;
    }
    return result;
}

// Logs under the name of `caller`, the exported function.
skarn_session_struct *create_session(const char *file_path, const skarn_session_options_struct &options,
                                     const char *caller) noexcept {
    // The original checkpoint once made, and its stream until the base level
    // owns it: a creation that fails on the way leaves neither behind.
    char created[path_buffer_size] = "";
    FILE *file = nullptr;
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

        int64_t size = 0;
        std::string original_checkpoint;
        const bool has_file = file_path != nullptr && *file_path != '\0';
        const bool in_place =
            has_file && (options.flags & SESSION_OPT_IN_PLACE) != 0 && (file = open_in_place(file_path)) != nullptr;
        if (has_file && !in_place) {
            char name[path_buffer_size];
            const int n = std::snprintf(name, sizeof name, "%s%c.Skarnpad-orig.XXXXXX", normalized,
                                        skarn_util_directory_separator());
            if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
                SKARN_LOG_AS(caller, "failed to create original checkpoint filename template");
                return nullptr;
            }
            const int fd = skarn_util_mkstemp(name, 0600);
            if (fd >= 0) std::memcpy(created, name, sizeof name);
            skarn::progress_meter progress(options.progress_cbk, options.progress_user_data, PROGRESS_OP_COPY, -1);
            const int copied = fd < 0 ? -1 : fill_original_checkpoint(file_path, fd, progress);
            if (copied != 0) {
                if (copied > 0) {
                    SKARN_LOG_AS(caller, "copying '" << file_path << "' was cancelled");
                } else {
                    SKARN_LOG_AS(caller, "failed to copy original file '" << file_path << "' to checkpoint file '"
                                                                          << name << "'");
                }
                if (fd >= 0) skarn_util_remove_file(name);
                return nullptr;
            }
            original_checkpoint = name;
            file = std::fopen(name, "rb");
            if (file == nullptr || (size = file_size_(file)) < 0) {
                if (file != nullptr) std::fclose(file);
                skarn_util_remove_file(name);
                return nullptr;
            }
        }

        auto session = std::make_unique<skarn_session_struct>();
        session->event_cbk = options.event_cbk;
        session->user_data_ptr = options.user_data;
        session->event_interest = options.event_interest;
        session->progress_cbk = options.progress_cbk;
        session->progress_user_data = options.progress_user_data;
        session->checkpoint_directory = normalized;
        auto base = std::make_unique<skarn_model_struct>();
        base->file = file;  // owned by the level from here on
        file = nullptr;
        if (in_place) {
            base->in_place = true;
            session->in_place_dated_ns = now_ns();
            base->identity = skarn::file_identity::of(base->file);
            size = base->identity.size;
            if (size < 0) {
                SKARN_LOG_AS(caller, skarn::log::system_error_line());
                return nullptr;
            }
        }
        if (has_file) {
            base->file_path = file_path;
            session->original_checkpoint_path = original_checkpoint;
        }
        session->models.push_back(std::move(base));
        reset_model_segments_(session->base(), size);
        skarn_session_notify(session.get(), SESSION_EVT_CREATE, nullptr);
        return session.release();
    } catch (...) {
        if (file != nullptr) std::fclose(file);
        if (created[0] != '\0') skarn_util_remove_file(created);
        return nullptr;
    }
}

}  // namespace

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
    if (session == nullptr) return;
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
    skarn_model_struct &model = session->current();
    if (change->change_kind() == CHANGE_OVERWRITE) {
        // An overwrite removes what it covers, then inserts its bytes.
        const auto removal = make_change_(0, CHANGE_DELETE, change->offset, nullptr, change->length);
        if (const int result = update_model_helper_(model, removal); result != 0) return result;
    }
    return update_model_helper_(model, change);
}

int update_model_helper_(skarn_model_struct &model, const skarn::const_change_ptr &change) {
    auto &segments = model.model_segments;
    const int kind = change->change_kind();
    if (segments.empty()) {
        if (kind != CHANGE_DELETE) segments.push_back({change->offset, change->length, 0, change});
        return 0;
    }

    // The segment that holds the offset; on a boundary, the earlier one.
    const segment_position found = locate_segment_(model, change->offset);
    if (found.broken) {
        print_model_segments_(&model, std::clog);
        SKARN_FATAL("break in model continuity, expected: " << found.expected
                                                            << ", got: " << segments[found.index].computed_offset);
    }
    const size_t index = found.index;
    if (index == segments.size()) return -1;

    // Cut the list at the offset: `position` is the first segment after it.
    size_t position = index;
    const int64_t delta = change->offset - segments[index].computed_offset;
    if (delta == segments[index].computed_length) {
        position = index + 1;
    } else if (delta != 0) {
        skarn_model_segment_struct tail = segments[index];
        tail.computed_offset += delta;
        tail.computed_length -= delta;
        tail.change_offset += delta;
        segments[index].computed_length = delta;
        segments.insert(segments.begin() + static_cast<ptrdiff_t>(index) + 1, std::move(tail));
        position = index + 1;
    }

    switch (kind) {
        case CHANGE_DELETE: {
            // Whole segments [position, end) go; a segment that only loses its
            // front is trimmed in place and keeps its place.
            int64_t remaining = change->length;
            size_t end = position;
            bool trimmed = false;
            while (remaining != 0 && end < segments.size()) {
                auto &piece = segments[end];
                if (remaining < piece.computed_length) {
                    piece.computed_length -= remaining;
                    piece.change_offset += remaining;
                    piece.computed_offset += remaining - change->length;
                    trimmed = true;
                    break;
                }
                remaining -= piece.computed_length;
                ++end;
            }
            segments.erase(segments.begin() + static_cast<ptrdiff_t>(position),
                           segments.begin() + static_cast<ptrdiff_t>(end));
            for (size_t i = position + (trimmed ? 1 : 0); i < segments.size(); ++i) {
                segments[i].computed_offset -= change->length;
            }
            break;
        }
        case CHANGE_INSERT:
        case CHANGE_OVERWRITE:
            segments.insert(segments.begin() + static_cast<ptrdiff_t>(position),
                            skarn_model_segment_struct{change->offset, change->length, 0, change});
            for (size_t i = position + 1; i < segments.size(); ++i) segments[i].computed_offset += change->length;
            break;
        default: SKARN_FATAL("Unhandled change kind");
    }
    return 0;
}

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
    skarn_model_struct &model = session->current();
    if (model.changes.empty()) return 0;
    try {
        // One change at a time, newest first, until the transaction is undone:
        // the level is rebuilt from its file by replaying what remains.
        for (;;) {
            skarn::change_ptr change = std::move(model.changes.back());
            model.changes.pop_back();
            const int64_t size = model.file_size();
            if (size < 0) return -1;
            reset_model_segments_(model, size);
            for (const auto &remaining : model.changes) {
                if (update_model_(session, remaining) != 0) return -1;
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
    if (session == nullptr) return -1;
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
        case CHANGE_DELETE: return change->offset <= viewport->offset() + viewport->data_segment.abs_capacity() ? 1 : 0;
        default: SKARN_FATAL("Unhandled change kind");
    }
}

namespace {

// Moves a floating viewport past bytes that `change` removed in front of it;
// it never lands before the change's offset.
void float_back(skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept {
    auto &segment = viewport->data_segment;
    segment.offset_adjustment -= change->length;
    if (viewport->offset() < change->offset) segment.offset_adjustment = change->offset - segment.offset;
}

}  // namespace

int update_viewports_(skarn_session_struct *session, const skarn_change_struct *change) noexcept {
    const bool undone = change->serial <= 0;
    for (const auto &viewport : session->viewports) {
        auto &segment = viewport->data_segment;
        if (segment.is_floating && change->offset <= viewport->offset()) {
            // An undone change moves floating viewports the opposite way, so
            // that they show the same bytes after an edit and its undo.
            switch (change->change_kind()) {
                case CHANGE_DELETE:
                    if (undone)
                        segment.offset_adjustment += change->length;
                    else
                        float_back(viewport.get(), change);
                    break;
                case CHANGE_INSERT:
                    if (undone)
                        float_back(viewport.get(), change);
                    else
                        segment.offset_adjustment += change->length;
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

// The stream a save reads a level's file through: a second stream over a
// duplicate of the level's descriptor, with a save buffer of its own, so the
// level's stream keeps its default buffer for the short random reads of
// viewports and searches. Both descriptors share one file offset, which is put
// back when the copy ends. When no second stream can be made, the level's
// stream is used.
class level_file_reader {
public:
    explicit level_file_reader(FILE *level_file) noexcept : level_file_(level_file) {
        if (level_file == nullptr) return;
        const int fd = fileno(level_file);
        saved_offset_ = lseek(fd, 0, SEEK_CUR);
        buffer_ = make_stream_buffer();
        if (saved_offset_ < 0 || !buffer_) return;
        const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) return;
        stream_ = fdopen(copy, "rb");
        if (stream_ == nullptr) {
            close(copy);
            return;
        }
        std::setvbuf(stream_, buffer_.get(), _IOFBF, save_stream_buffer_size);
    }
    ~level_file_reader() {
        if (stream_ == nullptr) return;
        std::fclose(stream_);
        lseek(fileno(level_file_), saved_offset_, SEEK_SET);
    }
    level_file_reader(const level_file_reader &) = delete;
    level_file_reader &operator=(const level_file_reader &) = delete;

    FILE *get() const noexcept { return stream_ != nullptr ? stream_ : level_file_; }

private:
    FILE *level_file_;
    FILE *stream_ = nullptr;
    off_t saved_offset_ = -1;
    std::unique_ptr<char[]> buffer_;
};

// Opens `path` again as the level's file after a transform closed it; only a
// regular file of the level's size will do.
bool reopen_level_file(skarn_model_struct &level, const std::string &path) noexcept {
    if (skarn_util_file_exists(path.c_str()) == 0) return false;
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    if (file_size_(file) != level.computed_size()) {
        std::fclose(file);
        return false;
    }
    level.file = file;
    return true;
}

// True when the file at `path` was last written after `ns` (since the epoch).
bool written_after(const char *path, int64_t ns) noexcept {
    struct stat status {};
    return stat(path, &status) == 0 && int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec > ns;
}

// True when `path` names the file open as `file`.
bool file_is_open_as(const char *path, FILE *file) noexcept {
    struct stat named {};
    struct stat open {};
    return file != nullptr && stat(path, &named) == 0 && fstat(fileno(file), &open) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

}  // namespace

int skarn_edit_save(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path) noexcept {
    return skarn_edit_save_segment(session, file_path, io_flags, saved_path, 0, 0);
}

int skarn_edit_save_segment(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path,
                            int64_t offset, int64_t length) noexcept {
    if (session == nullptr || file_path == nullptr) return -1;
    try {
        const int64_t size = skarn_session_get_computed_file_size(session);
        const int64_t adjusted_length = length < 1 || size - offset < length ? size - offset : length;
        // A negative offset is refused too: the copy below starts at offset 0 at the earliest.
        if (adjusted_length < 0 || offset < 0) {
            SKARN_LOG("invalid offset: " << offset << ", length: " << length << ", adjusted_length: " << adjusted_length
                                         << ", computed_file_size: " << size);
            return -1;
        }

        // An in-place level whose file another program changed cannot give
        // its content any more; nothing is written from mixed content.
        const skarn_model_struct &base = session->base();
        if (!session->current().file_intact()) {
            SKARN_LOG("'" << session->current().file_path
                          << "' was changed by another program while the session read it in place, save refused");
            return -14;
        }
        // A save over the file an in-place base level reads: that level keeps
        // reading the old content through its descriptor, whose identity the
        // replacement changes (its link count and change time).
        const bool replaces_base = base.in_place && file_is_open_as(file_path, base.file);

        skarn::progress_meter own_progress = session->progress(PROGRESS_OP_SAVE, adjusted_length);
        skarn::progress_meter &progress =
            session->enclosing_progress != nullptr ? *session->enclosing_progress : own_progress;

        const bool overwrite = (io_flags & (IO_FLG_OVERWRITE | IO_FLG_FORCE_OVERWRITE)) != 0;
        const char *session_file = skarn_session_get_file_path(session);
        const std::string &original_checkpoint = session->original_checkpoint_path;
        if (saved_path != nullptr) *saved_path = '\0';

        // Replacing the session's own file is refused when another program
        // wrote it after the original checkpoint was taken (or last re-dated).
        bool own_file = false;
        if (overwrite && session_file != nullptr && skarn_util_file_exists(file_path) != 0 &&
            skarn_util_paths_equivalent(file_path, session_file) != 0) {
            own_file = true;
            const bool written_since =
                original_checkpoint.empty()
                    ? base.in_place && written_after(session_file, session->in_place_dated_ns)
                    : skarn_util_compare_modification_times(session_file, original_checkpoint.c_str()) == 1;
            if ((io_flags & IO_FLG_FORCE_OVERWRITE) == 0 && written_since) {
                SKARN_LOG("original file '" << session_file
                                            << "' has been modified since the session was created, save failed "
                                               "(use IO_FLG_FORCE_OVERWRITE to override)");
                return -100;
            }
        }

        // The temporary file goes beside the target, so that the final rename
        // stays within one file system.
        char directory[path_buffer_size];
        if (skarn_util_dirname(file_path, directory) == nullptr) {
            // The directory alone does not fit a path buffer, so neither does the temporary name.
            SKARN_LOG(skarn::log::system_error_line(ENAMETOOLONG));
            return -3;
        }
        if (directory[0] == '\0') skarn_util_get_current_dir(directory);  // stays empty when unknown
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

        const int fd = skarn_util_mkstemp(temp_name, skarn_util_compute_mode(0666));
        if (fd < 0) {
            const int error = errno;
            SKARN_LOG("mkstemp failed, temp filename: " << temp_name);
            SKARN_LOG(skarn::log::system_error_line(error));
            return -4;
        }

        // The stream writes through the descriptor just made. Reopening the
        // file by name for writing would truncate it, and ext4 pushes all the
        // data of a file written after a truncation out to the disk when it is
        // closed, which costs about as much again as the whole copy.
        const std::unique_ptr<char[]> out_buffer = make_stream_buffer();  // outlives `out`
        FILE *out = fdopen(fd, "wb");
        if (out == nullptr) {
            const int error = errno;
            close(fd);
            SKARN_LOG(skarn::log::system_error_line(error));
            skarn_util_remove_file(temp_name);
            return -5;
        }
        if (out_buffer) std::setvbuf(out, out_buffer.get(), _IOFBF, save_stream_buffer_size);

        // Copy the range segment by segment, in content order.
        const skarn_model_struct &model = session->current();
        const level_file_reader reader(model.file);
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
            if (written >= adjusted_length) break;
            const int64_t skip = std::max<int64_t>(offset - piece.computed_offset, 0);
            const int64_t count = std::min(piece.computed_length - skip, adjusted_length - written);
            switch (piece.kind()) {
                case skarn::SEGMENT_INSERT: {
                    const uint8_t *bytes = skarn_change_get_bytes(piece.change.get()) + piece.change_offset + skip;
                    if (static_cast<int64_t>(std::fwrite(bytes, 1, static_cast<size_t>(count), out)) != count) {
                        std::fclose(out);
                        skarn_util_remove_file(temp_name);
                        SKARN_LOG("fwrite failed");
                        return -7;
                    }
                    progress.advance(count);
                    break;
                }
                case skarn::SEGMENT_READ:
                    if (model.file == nullptr) SKARN_FATAL("attempt to read segment from null file pointer");
                    // In steps, so that progress is told and cancelling is heard.
                    for (int64_t done = 0; done < count && !progress.cancelled();) {
                        const int64_t step = std::min(count - done, skarn::progress_step);
                        if (skarn_util_write_segment_to_file(reader.get(), piece.change_offset + skip + done, step,
                                                             out) != step) {
                            std::fclose(out);
                            skarn_util_remove_file(temp_name);
                            SKARN_LOG("skarn_util_write_segment_to_file failed");
                            return -6;
                        }
                        done += step;
                        progress.advance(step);
                    }
                    break;
                default: SKARN_FATAL("Unhandled segment kind");
            }
            if (progress.cancelled()) break;
            written += count;
            expected_offset = end;
        }
        std::fclose(out);

        // The last word of the progress callback comes before anything is
        // replaced; a save for a checkpoint or transform leaves it to them.
        const bool cancelled = &progress == &own_progress ? !progress.finish() : progress.cancelled();
        if (cancelled || !session->current().file_intact()) {
            skarn_util_remove_file(temp_name);
            if (cancelled) {
                SKARN_LOG("cancelled by the progress callback");
                return -13;
            }
            SKARN_LOG("'" << session->current().file_path
                          << "' was changed by another program while it was saved, save refused");
            return -14;
        }

        if (written != adjusted_length) {
            SKARN_LOG("failed to write all requested bytes, expected: " << adjusted_length << ", got: " << written);
            skarn_util_remove_file(temp_name);
            return -8;
        }
        // Closing flushed the buffer: a failure there shows as a short file.
        const int64_t temp_size = skarn_util_file_size(temp_name);
        if (temp_size != written) {
            SKARN_LOG("failed to write all requested bytes to '" << temp_name << "', expected: " << written
                                                                 << ", got: " << temp_size);
            return -9;
        }

        // Taken before the target is removed, which changes the base level's
        // file (its link count and change time).
        const bool base_intact = replaces_base && base.file_intact();

        // From here on a failure leaves the complete temporary file in place.
        const char *target = file_path;
        char available[path_buffer_size];
        if (skarn_util_file_exists(target) != 0) {
            if (!overwrite) {
                target = skarn_util_available_filename(file_path, available);
                if (target == nullptr) {
                    SKARN_LOG("cannot find an available filename");
                    return -11;
                }
            } else if (skarn_util_remove_file(target) != 0) {
                const int error = errno;
                SKARN_LOG(skarn::log::system_error_line(error));
                return -10;
            }
        }
        if (std::rename(temp_name, target) != 0) {
            const int error = errno;
            SKARN_LOG(skarn::log::system_error_line(error));
            return -12;
        }
        // The base level's descriptor still holds the old content, now
        // unlinked: what it is now is what it must stay.
        if (base_intact) session->base().identity = skarn::file_identity::of(base.file);

        // The session's file now holds what the session shows: re-date the
        // original checkpoint so that the next save over it is not refused.
        if (own_file && original_checkpoint.empty()) session->in_place_dated_ns = now_ns();
        if (own_file && !original_checkpoint.empty() && skarn_util_touch(original_checkpoint.c_str(), 0) != 0) {
            SKARN_LOG("failed to touch checkpoint file: " << original_checkpoint);
        }
        if (saved_path != nullptr) skarn_util_normalize_path(target, saved_path);
        skarn_session_notify(session, SESSION_EVT_SAVE, saved_path);
        return 0;
    } catch (...) {
        return -1;
    }
}

int skarn_edit_create_checkpoint(skarn_session_struct *session) noexcept {
    if (session == nullptr) return -1;
    const std::string &directory = session->checkpoint_directory;
    if (skarn_util_directory_exists(directory.c_str()) == 0) {
        // The save below creates it again.
        SKARN_LOG("checkpoint directory '" << directory << "' does not exist");
    }
    char path[path_buffer_size];
    const int formatted = std::snprintf(path, sizeof path, "%s%c.Skarnpad-chk.%zu.XXXXXX", directory.c_str(),
                                        skarn_util_directory_separator(), session->models.size());
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof path) {
        SKARN_LOG("failed to create checkpoint filename template");
        return -1;
    }
    // The file reserves the name; the save replaces it (it is not the
    // session's own file, so there is no modification check).
    const int fd = skarn_util_mkstemp(path, 0600);
    if (fd >= 0) close(fd);
    // A transform's checkpoint reports as part of the transform.
    skarn::progress_meter own_progress =
        session->progress(PROGRESS_OP_CHECKPOINT, skarn_session_get_computed_file_size(session));
    skarn::progress_meter *const enclosing = session->enclosing_progress;
    session->enclosing_progress = enclosing != nullptr ? enclosing : &own_progress;
    const int saved = skarn_edit_save_segment(session, path, IO_FLG_OVERWRITE, nullptr, 0, 0);
    session->enclosing_progress = enclosing;
    const bool cancelled = saved == 0 && enclosing == nullptr && !own_progress.finish();
    if (saved != 0 || cancelled) {
        if (cancelled || saved == -13) {
            SKARN_LOG("cancelled by the progress callback");
        } else {
            SKARN_LOG("failed to save checkpoint to '" << path << "'");
        }
        if (fd >= 0 && skarn_util_file_exists(path) != 0) skarn_util_remove_file(path);
        return -1;
    }

    const int64_t size = skarn_session_get_computed_file_size(session);
    const int64_t num_changes = skarn_session_get_num_changes(session);
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        // Without its file the level could not be read: take the checkpoint back.
        const int error = errno;
        SKARN_LOG(skarn::log::system_error_line(error));
        SKARN_LOG("failed to open checkpoint file '" << path << "'");
        skarn_util_remove_file(path);
        return -1;
    }
    try {
        auto level = std::make_unique<skarn_model_struct>();
        level->file = file;  // the level closes it from here on
        file = nullptr;
        level->file_path = path;
        reset_model_segments_(*level, size);
        session->models.push_back(std::move(level));
    } catch (...) {
        if (file != nullptr) std::fclose(file);
        skarn_util_remove_file(path);
        return -1;
    }
    session->num_changes_adjustment = num_changes;
    skarn_session_notify(session, SESSION_EVT_CREATE_CHECKPOINT, nullptr);
    return 0;
}

int skarn_edit_destroy_last_checkpoint(skarn_session_struct *session) noexcept {
    if (session == nullptr || skarn_session_get_num_checkpoints(session) <= 0) return -1;
    skarn_model_struct &level = session->current();
    level.close_file();
    if (skarn_util_remove_file(level.file_path.c_str()) != 0) SKARN_LOG(skarn::log::system_error_line());
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
    // One meter for the whole: the checkpoint's copy, then the rewrite.
    skarn::progress_meter progress =
        session->progress(PROGRESS_OP_TRANSFORM, 2 * skarn_session_get_computed_file_size(session));
    session->enclosing_progress = &progress;
    const int checkpointed = skarn_edit_create_checkpoint(session);
    session->enclosing_progress = nullptr;
    if (checkpointed != 0) return -1;
    try {
        skarn_model_struct &level = session->current();
        const std::string path = level.file_path;
        const std::string output = path + "_";
        const int rewritten = apply_byte_transform_to_file_(path.c_str(), output.c_str(), transform, user_data, offset,
                                                            length, &progress);
        if (rewritten != 0 || !progress.finish()) {
            if (skarn_util_file_exists(output.c_str()) != 0) skarn_util_remove_file(output.c_str());
            if (!progress.cancelled()) return -1;  // the checkpoint stays, untransformed
            // Cancelled: the session goes back to where it was.
            SKARN_LOG("cancelled by the progress callback");
            skarn_edit_destroy_last_checkpoint(session);
            return -1;
        }

        // Swap the transformed file in. A transform keeps the size, so the
        // level's single read segment stays valid.
        level.close_file();
        bool swapped = false;
        if (skarn_util_remove_file(path.c_str()) != 0) {
            SKARN_LOG(skarn::log::system_error_line());
        } else if (std::rename(output.c_str(), path.c_str()) != 0) {
            SKARN_LOG(skarn::log::system_error_line());
        } else {
            swapped = true;
        }
        if (!swapped && skarn_util_file_exists(output.c_str()) != 0) skarn_util_remove_file(output.c_str());
        // Without the swap the checkpoint file, if still there, holds the
        // untransformed content; a level whose file is lost is dropped.
        if (!reopen_level_file(level, path)) {
            SKARN_LOG("failed to reopen checkpoint file '" << path << "'");
            skarn_edit_destroy_last_checkpoint(session);
            return -1;
        }
        if (!swapped) return -1;

        mark_viewports_stale_(session, VIEWPORT_EVT_TRANSFORM);
        skarn_session_notify(session, SESSION_EVT_TRANSFORM, nullptr);
        return 0;
    } catch (...) {
        return -1;
    }
}
