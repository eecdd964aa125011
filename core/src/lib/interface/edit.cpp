// The exported functions of the edit family: session lifecycle, edits, the
// history, saving, checkpoints, transforms and replace-all. Each checks its arguments,
// opens its interface scope and calls into the engine.
#include <cstddef>
#include <cstring>

#include "engine/checkpoints.hpp"
#include "engine/history.hpp"
#include "engine/replace_all.hpp"
#include "engine/reentry.hpp"
#include "engine/session_open.hpp"
#include "engine/session_resume.hpp"
#include "common/log.hpp"
#include "engine/session.hpp"
#include "io/save.hpp"
#include "skarn_edit.hpp"

using skarn::log::stream;

// Session lifecycle.

skarn_session_struct *skarn_edit_create_session(const char *file_path, skarn_session_event_cbk_t cbk, void *user_data,
                                                int32_t event_interest, const char *checkpoint_directory) noexcept {
    return skarn::log::call(__func__, stream::log, static_cast<skarn_session_struct *>(nullptr), [&] {
        skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
        options.checkpoint_directory = checkpoint_directory;
        options.event_cbk = cbk;
        options.user_data = user_data;
        options.event_interest = event_interest;
        return skarn::create_session(file_path, options);
    });
}

namespace {

// The caller's options record of any version this library knows, as one of
// the newest version (the fields it lacks at their defaults) in `out`, its
// values checked; false, logged, for anything else.
bool read_options(const skarn_session_options_struct *given, skarn_session_options_struct &out) noexcept {
    out = SKARN_SESSION_OPTIONS_INIT;
    if (given == nullptr) return true;
    if (given->version == 1) {
        std::memcpy(&out, given, offsetof(skarn_session_options_struct, journal_sync_ms));
    } else if (given->version == SKARN_SESSION_OPTIONS_VERSION) {
        out = *given;
    } else {
        SKARN_LOG("unknown options version " << given->version << " (this library knows "
                                             << SKARN_SESSION_OPTIONS_VERSION << ")");
        return false;
    }
    out.version = SKARN_SESSION_OPTIONS_VERSION;
    if ((out.flags & ~(SESSION_OPT_IN_PLACE | SESSION_OPT_JOURNAL)) != 0) {
        SKARN_LOG("unknown option flags " << out.flags);
        return false;
    }
    if (out.journal_sync_ms < -1) {
        SKARN_LOG("invalid journal_sync_ms " << out.journal_sync_ms << " (0, -1 or a number of milliseconds)");
        return false;
    }
    return true;
}

}  // namespace

skarn_session_struct *skarn_edit_create_session_with_options(const char *file_path,
                                                             const skarn_session_options_struct *options) noexcept {
    return skarn::log::call(__func__, stream::log, static_cast<skarn_session_struct *>(nullptr),
                            [&]() -> skarn_session_struct * {
                                skarn_session_options_struct known;
                                if (!read_options(options, known)) return nullptr;
                                return skarn::create_session(file_path, known);
                            });
}

skarn_session_struct *skarn_edit_resume_session(const char *journal_path,
                                                const skarn_session_options_struct *options) noexcept {
    return skarn::log::call(__func__, stream::log, static_cast<skarn_session_struct *>(nullptr),
                            [&]() -> skarn_session_struct * {
                                skarn_session_options_struct known;
                                if (journal_path == nullptr || !read_options(options, known)) return nullptr;
                                return skarn::resume_session(journal_path, known);
                            });
}

void skarn_edit_destroy_session(skarn_session_struct *session) noexcept {
    if (session == nullptr) return;
    skarn::log::call_void(__func__, stream::log, [&] {
        if (!skarn::refuse_reentry(session)) skarn::destroy_session(session);
    });
}

// Edits.

namespace {

int64_t edit(const char *function, skarn_session_struct *session, uint8_t kind, int64_t offset, const uint8_t *bytes,
             int64_t length) noexcept {
    if (session == nullptr) return 0;
    return skarn::log::call(function, stream::log, int64_t{-1},
                            [&] { return skarn::edit(session, kind, offset, bytes, length); });
}

// An empty view is an empty byte string: a length of 0 would make the C
// functions measure a C string behind the view's pointer.
const uint8_t *bytes_of(std::string_view data) noexcept {
    static const uint8_t empty[1] = {0};
    return data.empty() ? empty : reinterpret_cast<const uint8_t *>(data.data());
}

}  // namespace

int64_t skarn_edit_insert_bytes(skarn_session_struct *session, int64_t offset, const uint8_t *bytes,
                                int64_t length) noexcept {
    return edit(__func__, session, CHANGE_INSERT, offset, bytes, length);
}

int64_t skarn_edit_insert(skarn_session_struct *session, int64_t offset, const char *cstr, int64_t length) noexcept {
    return skarn::log::call(__func__, stream::log, int64_t{-1}, [&] {
        return skarn_edit_insert_bytes(session, offset, reinterpret_cast<const uint8_t *>(cstr), length);
    });
}

int64_t skarn_edit_overwrite_bytes(skarn_session_struct *session, int64_t offset, const uint8_t *bytes,
                                   int64_t length) noexcept {
    return edit(__func__, session, CHANGE_OVERWRITE, offset, bytes, length);
}

int64_t skarn_edit_overwrite(skarn_session_struct *session, int64_t offset, const char *cstr, int64_t length) noexcept {
    return skarn::log::call(__func__, stream::log, int64_t{-1}, [&] {
        return skarn_edit_overwrite_bytes(session, offset, reinterpret_cast<const uint8_t *>(cstr), length);
    });
}

int64_t skarn_edit_delete(skarn_session_struct *session, int64_t offset, int64_t length) noexcept {
    return edit(__func__, session, CHANGE_DELETE, offset, nullptr, length);
}

int64_t skarn_edit_insert_string(skarn_session_struct *session, int64_t offset, std::string_view data) noexcept {
    return skarn::log::call("skarn_edit_insert_string", stream::log, int64_t{-1}, [&] {
        return skarn_edit_insert_bytes(session, offset, bytes_of(data), static_cast<int64_t>(data.size()));
    });
}

int64_t skarn_edit_overwrite_string(skarn_session_struct *session, int64_t offset, std::string_view data) noexcept {
    return skarn::log::call("skarn_edit_overwrite_string", stream::log, int64_t{-1}, [&] {
        return skarn_edit_overwrite_bytes(session, offset, bytes_of(data), static_cast<int64_t>(data.size()));
    });
}

// The history.

int64_t skarn_edit_undo_last_change(skarn_session_struct *session) noexcept {
    if (session == nullptr) return 0;
    return skarn::log::call(__func__, stream::log, int64_t{-1}, [&] { return skarn::undo(session); });
}

int64_t skarn_edit_redo_last_undo(skarn_session_struct *session) noexcept {
    if (session == nullptr) return 0;
    return skarn::log::call(__func__, stream::log, int64_t{-1}, [&] { return skarn::redo(session); });
}

int skarn_edit_clear_changes(skarn_session_struct *session) noexcept {
    if (session == nullptr) return -1;
    return skarn::log::call(__func__, stream::log, -1, [&] { return skarn::clear_history(session); });
}

// Saving.

int skarn_edit_save(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path) noexcept {
    return skarn::log::call(__func__, stream::log, -1,
                            [&] { return skarn_edit_save_segment(session, file_path, io_flags, saved_path, 0, 0); });
}

int skarn_edit_save_segment(skarn_session_struct *session, const char *file_path, int io_flags, char *saved_path,
                            int64_t offset, int64_t length) noexcept {
    if (session == nullptr || file_path == nullptr) return -1;
    if (saved_path != nullptr) *saved_path = '\0';
    return skarn::log::call(__func__, stream::log, -1, [&] {
        return static_cast<int>(skarn::save_content(session, file_path, io_flags, saved_path, offset, length));
    });
}

// Checkpoints, transforms and replace-all.

int skarn_edit_create_checkpoint(skarn_session_struct *session) noexcept {
    if (session == nullptr) return -1;
    return skarn::log::call(__func__, stream::log, -1, [&] { return skarn::create_checkpoint(session); });
}

int skarn_edit_destroy_last_checkpoint(skarn_session_struct *session) noexcept {
    if (session == nullptr) return -1;
    return skarn::log::call(__func__, stream::log, -1, [&] { return skarn::destroy_last_checkpoint(session); });
}

int skarn_edit_apply_transform(skarn_session_struct *session, skarn_util_byte_transform_t transform, void *user_data,
                               int64_t offset, int64_t length) noexcept {
    if (session == nullptr) return -1;
    return skarn::log::call(__func__, stream::log, -1,
                            [&] { return skarn::apply_transform(session, transform, user_data, offset, length); });
}

int64_t skarn_edit_replace_all(skarn_session_struct *session, const uint8_t *pattern, int64_t pattern_length,
                               const uint8_t *replacement, int64_t replacement_length, int64_t offset, int64_t length,
                               int32_t flags) noexcept {
    if (session == nullptr) return -1;
    return skarn::log::call(__func__, stream::log, int64_t{-1}, [&]() -> int64_t {
        if ((flags & ~REPLACE_IGNORE_CASE) != 0) {
            SKARN_LOG("unknown replace flags " << flags);
            return -1;
        }
        const skarn::replace_request request{pattern,
                                             pattern_length,
                                             replacement,
                                             replacement_length,
                                             offset,
                                             length,
                                             (flags & REPLACE_IGNORE_CASE) != 0};
        return skarn::replace_all(*session, request);
    });
}
