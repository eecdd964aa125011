// The editing state of skarn view: the session, the cursor, the mode and
// pane, the viewport over the window on screen, and the edits, undo, redo and
// saves that the keys ask for. Nothing here draws.
#pragma once

#include <skarn_edit.h>

#include <cstdint>
#include <string>
#include <vector>

#include "view_changes.hpp"

namespace skarn_cli {

enum class view_pane { hex, text };

class view_editor {
public:
    // Takes over `session` (destroyed with the editor).
    view_editor(skarn_session_struct *session, std::string path, bool read_only);
    ~view_editor();
    view_editor(const view_editor &) = delete;
    view_editor &operator=(const view_editor &) = delete;

    skarn_session_struct *session() const { return session_; }
    const std::string &path() const { return path_; }
    bool read_only() const { return read_only_; }
    int64_t size() const { return skarn_session_get_computed_file_size(session_); }
    int64_t cursor() const { return cursor_; }
    bool insert_mode() const { return insert_mode_; }
    view_pane pane() const { return pane_; }
    // The first nibble of a byte was typed, the second not yet.
    bool nibble_pending() const { return nibble_pending_; }
    // The content differs from the file as last saved (or opened).
    bool modified() const;
    // How many of the newest changes in force are not saved yet.
    int64_t unsaved_changes() const;
    // Which bytes of [offset, offset + length) the unsaved changes wrote.
    std::vector<bool> changed_bytes_at(int64_t offset, int64_t length) {
        return changed_.get(session_, offset, length, unsaved_changes());
    }

    // Moves the cursor, held within [0, size]; ends a half-typed byte.
    void move_to(int64_t offset);
    void move_by(int64_t delta);
    void toggle_mode() { insert_mode_ = !insert_mode_; }
    void toggle_pane();
    // Ends a half-typed byte: its first nibble stays as typed.
    void finish_byte();

    // Edits at the cursor in the current mode; each reports a refusal in the message.
    void type_hex_digit(int digit);
    void type_character(uint8_t character);
    void delete_under_cursor();
    void delete_before_cursor();
    void undo();
    void redo();

    // Saves in place (refused with --read-only; the session then starts
    // over on the saved file, with an empty history) or to another file; the
    // outcome goes to the message. Returns true on success.
    bool save_in_place();
    bool save_as(const std::string &target, bool replace);

    // The window on screen: `length` bytes from `offset`, read through the viewport.
    void show_window(int64_t offset, int64_t length);
    int64_t window_offset() const { return skarn_viewport_get_offset(viewport_); }
    // The window's bytes, or null when they cannot be read.
    const uint8_t *window_data() const { return skarn_viewport_get_data(viewport_); }
    int64_t window_length() const { return skarn_viewport_get_length(viewport_); }
    // Up to `length` bytes from `offset`, read outside the window.
    std::string read(int64_t offset, int64_t length) const;

    // Set by the viewport's callback when a change touched the window.
    bool window_changed = true;
    // The line shown under the status line until the next key.
    std::string message;

private:
    static void on_viewport_event(const skarn_viewport_struct *viewport, int32_t event, const void *event_ptr);
    // Runs an edit; a refusal or failure is told in the message.
    bool edited(int64_t result, const char *what);
    // A new edit: the changed bytes around the window follow it.
    void note_change();
    // Undo, redo or a save: the changed bytes are found again.
    void forget_changes();
    void move_to_change(int64_t serial);
    bool saved(int result);

    skarn_session_struct *session_;
    skarn_viewport_struct *viewport_ = nullptr;
    std::string path_;
    bool read_only_;
    int64_t cursor_ = 0;
    bool insert_mode_ = false;
    view_pane pane_ = view_pane::hex;
    bool nibble_pending_ = false;
    // Changes in force at the last save, lowered when undo goes below them.
    int64_t saved_changes_ = 0;
    bool undone_below_save_ = false;
    changed_bytes_cache changed_;
};

}  // namespace skarn_cli
