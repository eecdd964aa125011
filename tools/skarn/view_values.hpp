// The values pane of skarn view: the bytes at the cursor read as
// integers of 8 to 64 bits, signed and unsigned, little and big endian, and
// as 32- and 64-bit floats.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace skarn_cli {

// The inspector's lines for the bytes from the cursor on (up to 8 of them;
// fewer near the end, and a width that does not fit shows "-").
std::vector<std::string> inspector_lines(std::span<const uint8_t> bytes);

// How many lines inspector_lines gives.
inline constexpr int inspector_line_count = 7;

}  // namespace skarn_cli
