// The keys of skarn view: what each key does to the editor, the screen and
// the prompts. Modeless: every key means one thing in a pane.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "view_editor.hpp"
#include "view_screen.hpp"

namespace skarn_cli {

// Key codes for the keys that terminals send as sequences ncurses may not
// know (Ctrl-Home, Ctrl-End, Shift-F3); registered by register_view_keys.
enum : int { key_ctrl_home = 0x2001, key_ctrl_end = 0x2002, key_shift_f3 = 0x2003 };

// Teaches ncurses the sequences of those keys (xterm's and rxvt's, and the
// terminal's own where its description has them).
void register_view_keys();

class view_keys {
public:
    explicit view_keys(view_editor &editor) : editor_(editor) {}

    // Carries out one key; returns false when the program should end.
    bool handle(int key, const view_layout &layout);
    bool inspector_shown() const { return inspector_; }
    bool help_shown() const { return help_; }

private:
    bool handle_command(int key, const view_layout &layout);
    bool handle_motion(int key, const view_layout &layout);
    void handle_typing(int key);
    void go_to(const view_layout &layout);
    void search(const view_layout &layout, bool backward);
    void search_again(const view_layout &layout, bool backward);
    void save_as(const view_layout &layout);
    bool quit(const view_layout &layout);

    view_editor &editor_;
    bool inspector_ = false;
    bool help_ = false;
    std::optional<std::vector<uint8_t>> last_pattern_;
};

}  // namespace skarn_cli
