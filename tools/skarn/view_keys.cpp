// The keys of skarn view; see view_keys.hpp.
#include "view_keys.hpp"

#include <curses.h>
#include <term.h>

#include <filesystem>
#include <string>

#include "view_prompt.hpp"
#include "view_search.hpp"

namespace skarn_cli {

namespace {

constexpr int ctrl(char letter) { return letter & 0x1f; }

int hex_digit_value(int key) {
    if (key >= '0' && key <= '9') return key - '0';
    if (key >= 'a' && key <= 'f') return key - 'a' + 10;
    if (key >= 'A' && key <= 'F') return key - 'A' + 10;
    return -1;
}

void define_capability(const char *name, int code) {
    char *sequence = tigetstr(name);
    if (sequence != nullptr && sequence != reinterpret_cast<char *>(-1)) define_key(sequence, code);
}

}  // namespace

void register_view_keys() {
    define_key("\033[1;5H", key_ctrl_home);
    define_key("\033[1;5F", key_ctrl_end);
    define_key("\033[7^", key_ctrl_home);
    define_key("\033[8^", key_ctrl_end);
    define_key("\033[1;2R", key_shift_f3);
    define_key("\033[13;2~", key_shift_f3);
    define_capability("kHOM5", key_ctrl_home);
    define_capability("kEND5", key_ctrl_end);
    define_capability("kf15", key_shift_f3);
}

bool view_keys::handle(int key, const view_layout &layout) {
    if (help_) {
        help_ = false;
        return true;
    }
    editor_.message.clear();
    // Only a second hex digit completes a half-typed byte; any other key leaves it as it is.
    if (editor_.pane() != view_pane::hex || hex_digit_value(key) < 0) editor_.finish_byte();
    if (handle_motion(key, layout)) return true;
    return handle_command(key, layout);
}

bool view_keys::handle_motion(int key, const view_layout &layout) {
    const int64_t row = layout.bytes_per_row;
    const int64_t page = layout.window_bytes();
    const int64_t row_start = editor_.cursor() - editor_.cursor() % row;
    switch (key) {
        case KEY_LEFT: editor_.move_by(-1); return true;
        case KEY_RIGHT: editor_.move_by(1); return true;
        case KEY_UP: editor_.move_by(-row); return true;
        case KEY_DOWN: editor_.move_by(row); return true;
        case KEY_PPAGE: editor_.move_by(-page); return true;
        case KEY_NPAGE: editor_.move_by(page); return true;
        case KEY_HOME: editor_.move_to(row_start); return true;
        case KEY_END: editor_.move_to(row_start + row - 1); return true;
        case key_ctrl_home:
        case ctrl('A'): editor_.move_to(0); return true;
        case key_ctrl_end:
        case ctrl('E'): editor_.move_to(editor_.size()); return true;
        default: return false;
    }
}

bool view_keys::handle_command(int key, const view_layout &layout) {
    switch (key) {
        case ctrl('G'): go_to(layout); return true;
        case '\t': editor_.toggle_pane(); return true;
        case KEY_IC:
        case ctrl('T'): editor_.toggle_mode(); return true;
        case KEY_DC: editor_.delete_under_cursor(); return true;
        case KEY_BACKSPACE:
        case 127:
        case 8: editor_.delete_before_cursor(); return true;
        case ctrl('Z'): editor_.undo(); return true;
        case ctrl('Y'): editor_.redo(); return true;
        case ctrl('F'): search(layout, false); return true;
        case ctrl('B'): search(layout, true); return true;
        case KEY_F(3):
        case ctrl('N'): search_again(layout, false); return true;
        case key_shift_f3:
        case KEY_F(15):
        case ctrl('P'): search_again(layout, true); return true;
        case ctrl('V'): inspector_ = !inspector_; return true;
        case ctrl('S'): editor_.save_in_place(); return true;
        case ctrl('W'): save_as(layout); return true;
        case ctrl('Q'): return quit(layout);
        case KEY_F(1): help_ = true; return true;
        default: handle_typing(key); return true;
    }
}

void view_keys::handle_typing(int key) {
    if (editor_.pane() == view_pane::text) {
        if (key >= 0x20 && key < 0x7f) editor_.type_character(static_cast<uint8_t>(key));
        return;
    }
    if (key == '?') {
        help_ = true;
        return;
    }
    const int digit = hex_digit_value(key);
    if (digit >= 0) editor_.type_hex_digit(digit);
}

void view_keys::go_to(const view_layout &layout) {
    const auto text = prompt_line(layout, "go to (123, 0x7b, +N, -N, N%, end): ");
    if (!text) return;
    const auto offset = parse_goto(*text, editor_.cursor(), editor_.size());
    if (!offset) {
        editor_.message = "not an offset: " + *text;
        return;
    }
    editor_.move_to(*offset);
}

void view_keys::search(const view_layout &layout, bool backward) {
    editor_.finish_byte();
    const auto text = prompt_line(
        layout, backward ? "search backward (text, or hex: 41 42): " : "search forward (text, or hex: 41 42): ");
    if (!text) return;
    const auto pattern = parse_pattern(*text);
    if (!pattern) {
        editor_.message = "not a pattern: " + *text;
        return;
    }
    last_pattern_ = pattern;
    search_and_move(editor_, layout, *pattern, editor_.cursor(), backward);
}

void view_keys::search_again(const view_layout &layout, bool backward) {
    editor_.finish_byte();
    if (!last_pattern_) {
        editor_.message = "no search yet (Ctrl-F)";
        return;
    }
    search_and_move(editor_, layout, *last_pattern_, editor_.cursor() + (backward ? 0 : 1), backward);
}

void view_keys::save_as(const view_layout &layout) {
    editor_.finish_byte();
    const auto target = prompt_line(layout, "save as: ");
    if (!target || target->empty()) return;
    std::error_code error;
    const bool exists = std::filesystem::exists(*target, error);
    if (exists && !prompt_yes_no(layout, "'" + *target + "' exists: replace it?")) return;
    editor_.save_as(*target, exists);
}

bool view_keys::quit(const view_layout &layout) {
    editor_.finish_byte();
    if (!editor_.modified()) return false;
    return !prompt_yes_no(layout, "unsaved changes: quit and lose them?");
}

}  // namespace skarn_cli
