// Searching in skarn view; see view_search.hpp.
#include "view_search.hpp"

#include <curses.h>

#include <algorithm>

#include "signals.hpp"
#include "view_session.hpp"

namespace skarn_cli {

namespace {

constexpr int key_escape = 27;

// Esc typed since the last look; other keys typed meanwhile are dropped.
bool escape_typed() {
    nodelay(stdscr, TRUE);
    bool escape = false;
    for (int key = getch(); key != ERR; key = getch()) escape = escape || key == key_escape;
    nodelay(stdscr, FALSE);
    return escape;
}

// The progress line of a search, and Esc to cancel it.
struct search_progress {
    const view_layout &layout;
    bool cancelled = false;

    bool operator()(int64_t done, int64_t total) {
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
        view_screen::draw_message(layout, "searching... " + std::to_string(percent) + "% (Esc stops)");
        refresh();
        cancelled = cancelled || escape_typed() || pending_signal() != 0;
        return !cancelled;
    }
};

// The match of a search over [begin, end), or -1.
int64_t find_in(view_editor &editor, const std::vector<uint8_t> &pattern, int64_t begin, int64_t end, bool backward) {
    const auto length = static_cast<int64_t>(pattern.size());
    // A length of 0 would mean "to the end" to the library.
    if (end - begin < length) return -1;
    skarn_search_context_struct *context = skarn_search_create_context_bytes(editor.session(), pattern.data(), length,
                                                                             begin, end - begin, 0, backward ? 1 : 0);
    if (context == nullptr) return -1;
    const int64_t match =
        skarn_search_next_match(context, 1) == 1 ? skarn_search_context_get_match_offset(context) : -1;
    skarn_search_destroy_context(context);
    return match;
}

}  // namespace

void search_and_move(view_editor &editor, const view_layout &layout, const std::vector<uint8_t> &pattern, int64_t from,
                     bool backward) {
    const int64_t size = editor.size();
    const auto length = static_cast<int64_t>(pattern.size());
    const int64_t begin = backward ? 0 : std::clamp<int64_t>(from, 0, size);
    const int64_t end = backward ? std::min(size, from - 1 + length) : size;
    search_progress progress{layout};
    set_view_progress(std::ref(progress));
    const int64_t match = find_in(editor, pattern, begin, end, backward);
    set_view_progress({});
    if (progress.cancelled) {
        editor.message = "search cancelled";
    } else if (match < 0) {
        editor.message = backward ? "not found before the cursor" : "not found after the cursor";
    } else {
        editor.move_to(match);
        editor.message = "found at " + std::to_string(match);
    }
}

}  // namespace skarn_cli
