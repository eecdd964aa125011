// The screen of skarn view: the layout that fits the terminal (offset, hex
// and text columns, the value inspector, the status and message lines) and
// the drawing of it from the editor's window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "view_editor.hpp"

namespace skarn_cli {

struct view_layout {
    int width = 0;
    int height = 0;
    int bytes_per_row = 16;
    int offset_digits = 8;
    int rows = 1;            // rows of bytes
    int inspector_rows = 0;  // 0 when the inspector is off or does not fit

    int hex_column() const { return offset_digits + 2; }
    int text_column() const { return hex_column() + 3 * bytes_per_row + 1; }
    int status_row() const { return height - 2; }
    int message_row() const { return height - 1; }
    int64_t window_bytes() const { return int64_t{rows} * bytes_per_row; }
};

// The layout of a terminal of `width` x `height` for content of `size`
// bytes, or nothing when even one byte a row does not fit.
std::optional<view_layout> fit_layout(int width, int height, int64_t size, bool inspector);

// Why a terminal of that size is too small, for the line the program ends with.
std::string too_small(int width, int height, int64_t size);

class view_screen {
public:
    // Scrolls so that the cursor is on screen and points the editor's window at the rows shown.
    void follow_cursor(view_editor &editor, const view_layout &layout);
    // Draws everything but the refresh: rows, inspector, status and message lines.
    void draw(view_editor &editor, const view_layout &layout);
    // The key list, over the whole screen.
    void draw_help(const view_layout &layout);
    // The message line alone (for prompts and progress).
    static void draw_message(const view_layout &layout, const std::string &text);

    int64_t top() const { return top_; }

private:
    void refresh_window(view_editor &editor);
    void draw_row(const view_editor &editor, const view_layout &layout, int row);
    void draw_byte(const view_editor &editor, const view_layout &layout, int row, int column, int64_t offset);
    void draw_inspector(const view_editor &editor, const view_layout &layout);
    void draw_status(const view_editor &editor, const view_layout &layout);
    void place_cursor(const view_editor &editor, const view_layout &layout);

    int64_t top_ = 0;
    // A copy of the window's bytes and which of them were changed, taken
    // when the viewport says the window changed.
    std::string bytes_;
    std::vector<bool> changed_;
    bool unreadable_ = false;
};

}  // namespace skarn_cli
