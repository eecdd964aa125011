// skarn view: a full-screen hex editor on ncurses. The file is read in place,
// the screen is filled from a viewport over the rows shown, and the keys of
// view_keys edit, search and save through the library.
#include <curses.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "arguments.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "signals.hpp"
#include "view_editor.hpp"
#include "view_keys.hpp"
#include "view_prompt.hpp"
#include "view_screen.hpp"
#include "view_session.hpp"

namespace skarn_cli {

namespace {

constexpr const char *view_help =
    "usage: skarn view [--read-only] FILE\n"
    "\n"
    "A full-screen hex editor: FILE is read where it is, so a file of any size\n"
    "opens at once. Arrows, PgUp/PgDn, Home/End move; Tab switches between the\n"
    "hex and the text pane; typing edits (Insert or Ctrl-T: insert/overwrite);\n"
    "Ctrl-Z/Ctrl-Y undo and redo; Ctrl-F/Ctrl-B search; Ctrl-S saves in place;\n"
    "Ctrl-W saves under another name; Ctrl-Q quits. F1 lists every key.\n"
    "\n"
    "options:\n"
    "  --read-only  refuse to save over FILE (saving under another name works)\n"
    "\n"
    "Set SKARN_VIEW_TIMING=PATH to append to PATH the microseconds from each key\n"
    "to the updated screen, and from the start to the first screen.\n";

constexpr option_def view_options[] = {{"--read-only", "", false, false}};

using clock_type = std::chrono::steady_clock;

// The lines of SKARN_VIEW_TIMING, when it names a file.
class timing_log {
public:
    timing_log() {
        const char *path = std::getenv("SKARN_VIEW_TIMING");
        if (path != nullptr && *path != '\0') file_ = std::fopen(path, "a");
    }
    ~timing_log() {
        if (file_ != nullptr) std::fclose(file_);
    }
    timing_log(const timing_log &) = delete;
    timing_log &operator=(const timing_log &) = delete;

    void note(const char *what, const char *key, clock_type::time_point since) {
        if (file_ == nullptr) return;
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - since);
        std::fprintf(file_, "%s %s %lld\n", what, key, static_cast<long long>(micros.count()));
        std::fflush(file_);
    }

private:
    std::FILE *file_ = nullptr;
};

// The terminal in curses mode for as long as it lives.
class curses_terminal {
public:
    curses_terminal() {
        if (::isatty(STDIN_FILENO) == 0 || ::isatty(STDOUT_FILENO) == 0) {
            throw failure("standard input and output must be a terminal");
        }
        set_escdelay(25);
        screen_ = newterm(nullptr, stdout, stdin);
        if (screen_ == nullptr) {
            const char *term = std::getenv("TERM");
            throw failure(std::string("cannot use the terminal of type ") + (term != nullptr ? term : "(unset)"));
        }
        raw();
        noecho();
        nonl();
        keypad(stdscr, TRUE);
        register_view_keys();
    }
    ~curses_terminal() {
        endwin();
        delscreen(screen_);
    }
    curses_terminal(const curses_terminal &) = delete;
    curses_terminal &operator=(const curses_terminal &) = delete;

private:
    SCREEN *screen_;
};

// Test and benchmark aid: SKARN_VIEW_RANDOM_EDITS=N applies N seeded random
// edits before the first screen, for a session with a long history.
void apply_random_edits(view_editor &editor) {
    const char *count_text = std::getenv("SKARN_VIEW_RANDOM_EDITS");
    if (count_text == nullptr) return;
    const long count = std::strtol(count_text, nullptr, 10);
    std::mt19937_64 random(20261209);
    skarn_session_struct *session = editor.session();
    for (long i = 0; i < count; ++i) {
        const int64_t size = editor.size();
        const int64_t offset = size > 0 ? static_cast<int64_t>(random() % static_cast<uint64_t>(size)) : 0;
        const uint8_t bytes[4] = {static_cast<uint8_t>(random()), 'e', 'd', '!'};
        const int64_t length = 1 + static_cast<int64_t>(random() % 4);
        switch (random() % 3) {
            case 0: skarn_edit_insert_bytes(session, offset, bytes, length); break;
            case 1: skarn_edit_overwrite_bytes(session, offset, bytes, length); break;
            default: skarn_edit_delete(session, offset, length); break;
        }
    }
}

// Where a journal left behind for the file will be offered for resuming,
// once the library keeps journals of sessions: for now there is none to offer.
void offer_left_journal(const view_layout & /*layout*/, view_editor & /*editor*/) {}

std::optional<view_layout> current_layout(const view_editor &editor, const view_keys &keys) {
    int height = 0;
    int width = 0;
    getmaxyx(stdscr, height, width);
    return fit_layout(width, height, editor.size(), keys.inspector_shown());
}

void show(view_screen &screen, view_editor &editor, const view_keys &keys, const std::optional<view_layout> &layout) {
    if (!layout) {
        erase();
        mvaddstr(0, 0, "too small: make the terminal larger (Ctrl-Q quits)");
    } else if (keys.help_shown()) {
        screen.draw_help(*layout);
    } else {
        screen.follow_cursor(editor, *layout);
        screen.draw(editor, *layout);
    }
    refresh();
}

// Reads the next key; a stop signal ends the program.
int next_key() {
    for (;;) {
        const int key = getch();
        if (key != ERR) return key;
        check_interrupted();
    }
}

void run_editor(view_editor &editor, clock_type::time_point started) {
    timing_log timing;
    view_keys keys(editor);
    view_screen screen;
    std::optional<view_layout> layout = current_layout(editor, keys);
    if (!layout) {
        int height = 0;
        int width = 0;
        getmaxyx(stdscr, height, width);
        throw failure(too_small(width, height, editor.size()));
    }
    show(screen, editor, keys, layout);
    timing.note("open-to-screen", "-", started);
    offer_left_journal(*layout, editor);
    show(screen, editor, keys, layout);
    for (;;) {
        const int key = next_key();
        const auto pressed = clock_type::now();
        if (key != KEY_RESIZE) {
            if (!layout && key == ('Q' & 0x1f)) return;
            if (layout && !keys.handle(key, *layout)) return;
        }
        layout = current_layout(editor, keys);
        show(screen, editor, keys, layout);
        timing.note("key-to-screen", keyname(key), pressed);
    }
}

}  // namespace

int run_view(std::span<char *const> args) {
    const auto started = clock_type::now();
    const command_line cl = parse_command_line(args, view_options, file_operand);
    if (cl.help) return show_help(view_help);
    const std::string path(cl.operands[0]);
    auto editor = std::make_unique<view_editor>(open_view_session(path), path, cl.has("--read-only"));
    apply_random_edits(*editor);
    {
        curses_terminal terminal;
        run_editor(*editor, started);
    }
    return exit_ok;
}

}  // namespace skarn_cli
