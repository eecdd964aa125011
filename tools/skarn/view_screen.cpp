// The screen of skarn view; see view_screen.hpp.
#include "view_screen.hpp"

#include <curses.h>

#include <algorithm>
#include <cstdio>

#include "view_values.hpp"

namespace skarn_cli {

namespace {

constexpr const char *help_lines[] = {
    "skarn view keys (any key returns)",
    "",
    "arrows, PgUp, PgDn          move",
    "Home, End                   start and end of the row",
    "Ctrl-Home/Ctrl-A, Ctrl-End/Ctrl-E  start and end of the content",
    "Ctrl-G                      go to: 123, 0x7b, +N, -N, N%, end",
    "Tab                         hex pane / text pane",
    "0-9 a-f (hex), text (text)  edit the byte under the cursor",
    "Insert, Ctrl-T              insert / overwrite mode",
    "Delete, Backspace           delete the byte under / before the cursor",
    "Ctrl-Z, Ctrl-Y              undo, redo",
    "Ctrl-F, Ctrl-B              search forward, backward (text, or hex: 41 42)",
    "F3/Ctrl-N, Shift-F3/Ctrl-P  search again forward, backward (Esc stops)",
    "Ctrl-V                      value inspector on / off",
    "Ctrl-S                      save in place",
    "Ctrl-W                      save under another name",
    "Ctrl-Q                      quit",
    "F1, ? (hex pane)            this list",
};

int hex_digits(int64_t value) {
    int digits = 1;
    while (value >>= 4) ++digits;
    return digits;
}

int offset_digits_for(int64_t size) { return std::max(8, hex_digits(size)); }

// Columns a row of `bytes` bytes needs: offset, two spaces, the hex pane, a
// space between, one space more, the text pane.
int row_width(int digits, int bytes) { return digits + 2 + 3 * bytes - 1 + 2 + bytes; }

char shown_as_text(uint8_t byte) { return byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.'; }

void put_line(int row, int width, const std::string &text, attr_t attributes = A_NORMAL) {
    move(row, 0);
    clrtoeol();
    attron(attributes);
    addnstr(text.c_str(), std::min<int>(width, static_cast<int>(text.size())));
    attroff(attributes);
}

std::string with_decimal(int64_t offset, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%0*llX (%lld)", digits, static_cast<unsigned long long>(offset),
                  static_cast<long long>(offset));
    return text;
}

}  // namespace

std::optional<view_layout> fit_layout(int width, int height, int64_t size, bool inspector) {
    view_layout layout;
    layout.width = width;
    layout.height = height;
    layout.offset_digits = offset_digits_for(size);
    // Powers of two keep the offsets of the rows round.
    int bytes = 16;
    while (bytes > 1 && row_width(layout.offset_digits, bytes) > width) bytes /= 2;
    if (row_width(layout.offset_digits, bytes) > width || height < 3) return std::nullopt;
    layout.bytes_per_row = bytes;
    layout.inspector_rows = inspector && height - 2 - inspector_line_count >= 1 ? inspector_line_count : 0;
    layout.rows = height - 2 - layout.inspector_rows;
    return layout;
}

std::string too_small(int width, int height, int64_t size) {
    return "the terminal (" + std::to_string(width) + "x" + std::to_string(height) + ") is too small: at least " +
           std::to_string(row_width(offset_digits_for(size), 1)) + "x3 is needed";
}

void view_screen::follow_cursor(view_editor &editor, const view_layout &layout) {
    const int64_t per_row = layout.bytes_per_row;
    const int64_t cursor_row = editor.cursor() / per_row;
    int64_t top_row = top_ / per_row;
    if (cursor_row < top_row) top_row = cursor_row;
    if (cursor_row >= top_row + layout.rows) top_row = cursor_row - layout.rows + 1;
    top_ = top_row * per_row;
    editor.show_window(top_, layout.window_bytes());
}

void view_screen::refresh_window(view_editor &editor) {
    if (!editor.window_changed) return;
    editor.window_changed = false;
    const uint8_t *data = editor.window_data();
    unreadable_ = data == nullptr;
    bytes_.assign(reinterpret_cast<const char *>(data == nullptr ? reinterpret_cast<const uint8_t *>("") : data),
                  data == nullptr ? 0 : static_cast<size_t>(editor.window_length()));
    changed_ = editor.changed_bytes_at(editor.window_offset(), static_cast<int64_t>(bytes_.size()));
}

void view_screen::draw(view_editor &editor, const view_layout &layout) {
    refresh_window(editor);
    erase();
    for (int row = 0; row < layout.rows; ++row) draw_row(editor, layout, row);
    if (layout.inspector_rows > 0) draw_inspector(editor, layout);
    draw_status(editor, layout);
    const std::string message =
        unreadable_ ? "cannot read the file here (was it changed by another program?)" : editor.message;
    put_line(layout.message_row(), layout.width, message);
    place_cursor(editor, layout);
}

void view_screen::draw_row(const view_editor &editor, const view_layout &layout, int row) {
    const int64_t offset = top_ + int64_t{row} * layout.bytes_per_row;
    const int64_t size = editor.size();
    if (offset > size || (offset == size && editor.cursor() != size)) return;
    char text[32];
    std::snprintf(text, sizeof text, "%0*llx", layout.offset_digits, static_cast<unsigned long long>(offset));
    mvaddstr(row, 0, text);
    for (int column = 0; column < layout.bytes_per_row; ++column) {
        draw_byte(editor, layout, row, column, offset + column);
    }
}

void view_screen::draw_byte(const view_editor &editor, const view_layout &layout, int row, int column, int64_t offset) {
    const size_t index = static_cast<size_t>(offset - top_);
    const bool at_cursor = offset == editor.cursor();
    if (index >= bytes_.size()) {
        if (!at_cursor) return;
        // The place after the last byte, where typing appends.
        mvaddstr(row, layout.hex_column() + 3 * column, editor.pane() == view_pane::hex ? "__" : "  ");
        return;
    }
    const auto byte = static_cast<uint8_t>(bytes_[index]);
    attr_t attributes = changed_[index] ? A_BOLD | A_UNDERLINE : A_NORMAL;
    if (at_cursor) attributes |= A_REVERSE;
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", byte);
    attron(attributes);
    mvaddstr(row, layout.hex_column() + 3 * column, hex);
    mvaddch(row, layout.text_column() + column, static_cast<chtype>(shown_as_text(byte)));
    attroff(attributes);
}

void view_screen::draw_inspector(const view_editor &editor, const view_layout &layout) {
    const std::string bytes = editor.read(editor.cursor(), 8);
    const std::vector<std::string> lines =
        inspector_lines(std::span(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()));
    for (int i = 0; i < layout.inspector_rows && i < static_cast<int>(lines.size()); ++i) {
        put_line(layout.rows + i, layout.width, lines[static_cast<size_t>(i)]);
    }
}

void view_screen::draw_status(const view_editor &editor, const view_layout &layout) {
    // The name comes last: a narrow terminal cuts it first.
    std::string status = with_decimal(editor.cursor(), layout.offset_digits) + " / " + std::to_string(editor.size()) +
                         "  " + (editor.insert_mode() ? "INS" : "OVR") + "  " +
                         (editor.pane() == view_pane::hex ? "hex" : "text");
    if (editor.read_only()) status += "  RO";
    if (editor.modified()) status += "  [modified]";
    status += "  " + editor.path() + "  F1 help";
    put_line(layout.status_row(), layout.width, status, A_REVERSE);
    // The reverse video runs to the edge.
    attron(A_REVERSE);
    for (int column = std::min<int>(layout.width, static_cast<int>(status.size())); column < layout.width; ++column) {
        mvaddch(layout.status_row(), column, ' ');
    }
    attroff(A_REVERSE);
}

void view_screen::place_cursor(const view_editor &editor, const view_layout &layout) {
    const int64_t index = editor.cursor() - top_;
    const int row = static_cast<int>(index / layout.bytes_per_row);
    const int column = static_cast<int>(index % layout.bytes_per_row);
    if (editor.pane() == view_pane::hex) {
        move(row, layout.hex_column() + 3 * column + (editor.nibble_pending() ? 1 : 0));
    } else {
        move(row, layout.text_column() + column);
    }
}

void view_screen::draw_help(const view_layout &layout) {
    erase();
    int row = 0;
    for (const char *line : help_lines) {
        if (row >= layout.height) break;
        put_line(row++, layout.width, line);
    }
}

void view_screen::draw_message(const view_layout &layout, const std::string &text) {
    put_line(layout.message_row(), layout.width, text);
}

}  // namespace skarn_cli
