// Searching in skarn view: the next match of a pattern after the cursor, or
// the last one before it, with the progress of a long search shown and Esc
// cancelling it.
#pragma once

#include <cstdint>
#include <vector>

#include "view_editor.hpp"
#include "view_screen.hpp"

namespace skarn_cli {

// Moves the cursor to the next match at or after `from` (forwards) or to the
// last match that starts before `from` (backwards); the outcome (not found,
// cancelled) goes to the editor's message.
void search_and_move(view_editor &editor, const view_layout &layout, const std::vector<uint8_t> &pattern, int64_t from,
                     bool backward);

}  // namespace skarn_cli
