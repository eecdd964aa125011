// The prompts of skarn view on the message line (a line of text, a yes/no
// question) and the reading of what is typed into them: offsets to go to and
// search patterns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "view_screen.hpp"

namespace skarn_cli {

// Waits for the next key; a stop signal (SIGTERM, SIGHUP) throws `interrupted`.
int read_key();

// Reads a line after `question`; Enter gives it, Esc gives nothing.
std::optional<std::string> prompt_line(const view_layout &layout, const std::string &question);

// Asks `question` until y or n is typed (Esc is no).
bool prompt_yes_no(const view_layout &layout, const std::string &question);

// The offset that `text` names from `cursor` in content of `size` bytes:
// decimal, 0x hex, +N or -N from the cursor, N% of the size, or "end".
// Nothing for anything else; the result is held within [0, size].
std::optional<int64_t> parse_goto(std::string_view text, int64_t cursor, int64_t size);

// The bytes a search looks for: the text as typed, or after "hex:" hex
// digits in pairs (spaces between them allowed). Nothing when empty or malformed.
std::optional<std::vector<uint8_t>> parse_pattern(std::string_view text);

}  // namespace skarn_cli
