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
#include "values.hpp"
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
    "The session keeps a journal: after a crash or a kill, the next run over FILE\n"
    "offers the edits it had.\n"
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

    void note(const char *what, const char *key, clock_type::time_point since) const {
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

// Asks on the first screen, which shows the edits of a session that ended
// abruptly, whether to keep them; discarding them ends that session (and
// removes its journal) and opens the file anew.
void offer_resumed_edits(const view_layout &layout, std::unique_ptr<view_editor> &editor) {
    const std::string question = "these unsaved edits were left by a session that ended abruptly: keep them?";
    if (prompt_yes_no(layout, question)) {
        editor->message = "kept the earlier session's edits (Ctrl-S saves them)";
        return;
    }
    const std::string path = editor->path();
    const bool read_only = editor->read_only();
    editor.reset();
    editor = std::make_unique<view_editor>(open_view_session(path), path, read_only);
    editor->message = "discarded the earlier session's edits";
}

// The editor over `path`: over the session a dead process left behind, when
// it can be resumed (`resumed` tells), else over a new one.
std::unique_ptr<view_editor> open_editor(const std::string &path, bool read_only, bool &resumed) {
    check_openable(path);
    const std::string journal = left_journal(path);
    std::string why;
    skarn_session_struct *session = journal.empty() ? nullptr : resume_view_session(journal, why);
    resumed = session != nullptr;
    auto editor = std::make_unique<view_editor>(resumed ? session : open_view_session(path), path, read_only);
    if (!journal.empty() && !resumed) {
        editor->message = "the journal " + journal + " of an earlier session cannot be resumed" + with_reason(why);
    }
    return editor;
}

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

// Shows the first screen, with the question about resumed edits when there are some.
void show_first_screen(std::unique_ptr<view_editor> &editor, bool resumed, view_screen &screen,
                       const timing_log &timing, clock_type::time_point started) {
    const view_keys first_keys(*editor);
    const std::optional<view_layout> layout = current_layout(*editor, first_keys);
    if (!layout) {
        int height = 0;
        int width = 0;
        getmaxyx(stdscr, height, width);
        throw failure(too_small(width, height, editor->size()));
    }
    show(screen, *editor, first_keys, layout);
    timing.note("open-to-screen", "-", started);
    if (resumed) offer_resumed_edits(*layout, editor);
}

void run_editor(std::unique_ptr<view_editor> &first, bool resumed, clock_type::time_point started) {
    const timing_log timing;
    view_screen screen;
    show_first_screen(first, resumed, screen, timing, started);
    view_editor &editor = *first;
    view_keys keys(editor);
    std::optional<view_layout> layout = current_layout(editor, keys);
    show(screen, editor, keys, layout);
    for (;;) {
        const int key = read_key();
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
    bool resumed = false;
    std::unique_ptr<view_editor> editor = open_editor(path, cl.has("--read-only"), resumed);
    apply_random_edits(*editor);
    try {
        const curses_terminal terminal;
        run_editor(editor, resumed, started);
    } catch (const interrupted &stop) {
        // A closed terminal (SIGHUP) or a kill must not take unsaved edits
        // with it: the session is left as a dying process leaves it, and its
        // journal offers them to the next start.
        if (!editor->modified()) throw;
        std::fprintf(stderr, "skarn view: stopped; the unsaved edits are offered again by the next 'skarn view %s'\n",
                     path.c_str());
        std::_Exit(128 + stop.signal_number);
    }
    return exit_ok;
}

}  // namespace skarn_cli
