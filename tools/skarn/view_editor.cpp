// The editing state of skarn view; see view_editor.hpp.
#include "view_editor.hpp"

#include <algorithm>
#include <utility>

#include "library_log.hpp"
#include "errors.hpp"
#include "values.hpp"
#include "view_session.hpp"

namespace skarn_cli {

namespace {

constexpr int32_t window_events =
    VIEWPORT_EVT_EDIT | VIEWPORT_EVT_UNDO | VIEWPORT_EVT_CLEAR | VIEWPORT_EVT_TRANSFORM | VIEWPORT_EVT_MODIFY;

// What a failed save's result means, in a person's words.
std::string save_failure(int result) {
    switch (result) {
        case -2: return "the target's directory cannot be created";
        case -4: return "a temporary file cannot be created beside the target";
        case -7: return "writing the new content failed";
        case -11: return "no free name for the target";
        case -12: return "the target cannot be replaced";
        case -13: return "cancelled";
        case -14:
        case -100: return "another program changed the file since it was opened";
        case -15: return "the file is saved but its directory could not be flushed";
        case -16: return "this content cannot be saved in place";
        case -17: return "a block device cannot change size";
        case -18: return "the save's journal cannot be written (is the disk full?)";
        case -19: return "the file could not be brought to the new content; its journal stays for recovery";
        default: return "error " + std::to_string(result);
    }
}

}  // namespace

view_editor::view_editor(skarn_session_struct *session, std::string path, bool read_only)
    : session_(session), path_(std::move(path)), read_only_(read_only) {
    viewport_ = skarn_edit_create_viewport(session_, 0, 1, 0, on_viewport_event, this, window_events);
}

view_editor::~view_editor() { skarn_edit_destroy_session(session_); }

void view_editor::on_viewport_event(const skarn_viewport_struct *viewport, int32_t, const void *) {
    static_cast<view_editor *>(skarn_viewport_get_user_data_ptr(viewport))->window_changed = true;
}

bool view_editor::modified() const {
    return undone_below_save_ || skarn_session_get_num_changes(session_) != saved_changes_;
}

int64_t view_editor::unsaved_changes() const { return skarn_session_get_num_changes(session_) - saved_changes_; }

void view_editor::move_to(int64_t offset) {
    finish_byte();
    cursor_ = std::clamp<int64_t>(offset, 0, size());
}

void view_editor::move_by(int64_t delta) {
    const int64_t target = delta < 0 ? std::max<int64_t>(cursor_ + delta, 0) : cursor_ + std::min(delta, size());
    move_to(target);
}

void view_editor::toggle_pane() {
    finish_byte();
    pane_ = pane_ == view_pane::hex ? view_pane::text : view_pane::hex;
}

void view_editor::finish_byte() {
    if (!nibble_pending_) return;
    nibble_pending_ = false;
    skarn_session_end_transaction(session_);
}

void view_editor::forget_changes() {
    window_changed = true;
    changed_.forget();
}

bool view_editor::edited(int64_t result, const char *what) {
    if (result > 0) {
        note_change();
        return true;
    }
    message = std::string("cannot ") + what + (result == 0 ? ": refused" : with_reason(library_failure_cause()));
    return false;
}

void view_editor::note_change() {
    window_changed = true;
    changed_.note_edit(skarn_session_get_last_change(session_));
}

void view_editor::type_hex_digit(int digit) {
    const std::string old = read(cursor_, 1);
    const uint8_t byte = old.empty() ? 0 : static_cast<uint8_t>(old[0]);
    if (!nibble_pending_) {
        skarn_session_begin_transaction(session_);
        const uint8_t high = static_cast<uint8_t>(digit << 4);
        const uint8_t value = insert_mode_ ? high : static_cast<uint8_t>((byte & 0x0f) | high);
        const int64_t result = insert_mode_ ? skarn_edit_insert_bytes(session_, cursor_, &value, 1)
                                            : skarn_edit_overwrite_bytes(session_, cursor_, &value, 1);
        nibble_pending_ = edited(result, "edit");
        if (!nibble_pending_) skarn_session_end_transaction(session_);
        return;
    }
    const uint8_t value = static_cast<uint8_t>((byte & 0xf0) | digit);
    const bool done = edited(skarn_edit_overwrite_bytes(session_, cursor_, &value, 1), "edit");
    finish_byte();
    if (done) cursor_ += 1;
}

void view_editor::type_character(uint8_t character) {
    finish_byte();
    const int64_t result = insert_mode_ ? skarn_edit_insert_bytes(session_, cursor_, &character, 1)
                                        : skarn_edit_overwrite_bytes(session_, cursor_, &character, 1);
    if (edited(result, "edit")) cursor_ += 1;
}

void view_editor::delete_under_cursor() {
    finish_byte();
    if (cursor_ >= size()) {
        message = "nothing to delete at the end";
        return;
    }
    edited(skarn_edit_delete(session_, cursor_, 1), "delete");
}

void view_editor::delete_before_cursor() {
    finish_byte();
    if (cursor_ == 0) {
        message = "nothing to delete before the start";
        return;
    }
    if (edited(skarn_edit_delete(session_, cursor_ - 1, 1), "delete")) cursor_ -= 1;
}

void view_editor::move_to_change(int64_t serial) {
    const skarn_change_struct *change = skarn_session_get_change(session_, serial);
    if (change != nullptr) cursor_ = std::clamp<int64_t>(skarn_change_get_offset(change), 0, size());
}

void view_editor::undo() {
    finish_byte();
    const int64_t result = skarn_edit_undo_last_change(session_);
    if (result == 0) {
        message = "nothing to undo";
        return;
    }
    if (result < 0 && skarn_session_get_change(session_, result) == nullptr) {
        message = "cannot undo" + with_reason(library_failure_cause());
        return;
    }
    const int64_t in_force = skarn_session_get_num_changes(session_);
    if (in_force < saved_changes_) {
        saved_changes_ = in_force;
        undone_below_save_ = true;
    }
    forget_changes();
    move_to_change(result);
}

void view_editor::redo() {
    finish_byte();
    const int64_t result = skarn_edit_redo_last_undo(session_);
    if (result <= 0) {
        message = result == 0 ? "nothing to redo" : "cannot redo" + with_reason(library_failure_cause());
        return;
    }
    forget_changes();
    move_to_change(result);
}

bool view_editor::saved(int result) {
    if (result != 0 && result != -15) {
        message = "save failed: " + save_failure(result);
        const std::string reason = library_system_reason();
        if (!reason.empty()) message += " (" + reason + ")";
        return false;
    }
    message = result == 0 ? "saved" : "saved, but " + save_failure(result);
    return true;
}

bool view_editor::save_in_place() {
    finish_byte();
    if (read_only_) {
        message = "read-only: not saved (Ctrl-W saves under another name)";
        return false;
    }
    forget_library_failure();
    if (!saved(skarn_edit_save(session_, path_.c_str(), IO_FLG_IN_PLACE, nullptr))) return false;
    saved_changes_ = skarn_session_get_num_changes(session_);
    undone_below_save_ = false;
    forget_changes();
    return true;
}

bool view_editor::save_as(const std::string &target, bool replace) {
    finish_byte();
    forget_library_failure();
    char saved_path[4096] = {};
    if (!saved(skarn_edit_save(session_, target.c_str(), replace ? IO_FLG_OVERWRITE : IO_FLG_NONE, saved_path))) {
        return false;
    }
    if (message == "saved") message = std::string("saved as ") + saved_path;
    return true;
}

void view_editor::show_window(int64_t offset, int64_t length) {
    length = std::clamp<int64_t>(length, 1, SKARN_VIEWPORT_MAX_CAPACITY);
    if (offset == window_offset() && length == skarn_viewport_get_capacity(viewport_)) return;
    skarn_viewport_modify(viewport_, offset, length, 0);
    window_changed = true;
}

std::string view_editor::read(int64_t offset, int64_t length) const {
    std::string bytes(static_cast<size_t>(std::max<int64_t>(length, 0)), '\0');
    const int64_t got = skarn_session_read(session_, offset, reinterpret_cast<uint8_t *>(bytes.data()), length);
    bytes.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
    return bytes;
}

}  // namespace skarn_cli
