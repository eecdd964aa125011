// The values of the command line (numbers, data, hex digits) and the quoting
// of values in messages and JSON output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skarn_cli {

// A non-negative 64-bit number in decimal or with a 0x prefix in hex. A
// leading 0 before more digits is refused: xxd reads such numbers as octal,
// so either reading would surprise someone.
int64_t parse_number(std::string_view text, std::string_view what);

// parse_number that also takes a leading '-'; returns the value and whether
// it was negative.
std::pair<int64_t, bool> parse_signed_number(std::string_view text, std::string_view what);

// Text taken as it is, or "hex:" followed by an even number of hex digits.
std::vector<uint8_t> parse_data(std::string_view text, std::string_view what);

// Hex digits (two per byte) decoded with the library's decoder.
std::vector<uint8_t> parse_hex(std::string_view digits, std::string_view what);

std::string in_quotes(std::string_view text);

// A JSON string literal; bytes that are not UTF-8 become U+FFFD.
std::string json_string(std::string_view text);

// ": " and the reason, or nothing when `reason` is empty.
std::string with_reason(const std::string &reason);

}  // namespace skarn_cli
