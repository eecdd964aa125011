// skarn find: the offsets of a pattern's matches, through search contexts.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

#include "cli.hpp"

namespace skarn_cli {

namespace {

constexpr const char *find_help =
    "usage: skarn find [-i] [--reverse] [--hex] [--offset N] [--length N] [--max N]\n"
    "                  [--overlap] PATTERN FILE\n"
    "\n"
    "Prints the byte offset of each match of PATTERN in FILE, one decimal number a\n"
    "line, in search order. Matches do not overlap unless --overlap is given.\n"
    "Exit status 1 when nothing is found.\n"
    "\n"
    "options:\n"
    "  -i, --ignore-case  ASCII letters match in either case\n"
    "  --reverse          search from the end backwards (offsets in descending order)\n"
    "  --hex              PATTERN is hex digits, two per byte (0d0a for CR LF)\n"
    "  --offset N         search from offset N (default 0)\n"
    "  --length N         search N bytes (default: to the end)\n"
    "  --max N            stop after N matches\n"
    "  --overlap          report every match, also those overlapping the previous one\n"
    "  --                 ends the options (for a PATTERN that begins with -)\n"
    "\n"
    "example: skarn find -i --max 10 error server.log\n";

constexpr option_def find_options[] = {
    {"--ignore-case", "-i", false, false}, {"--reverse", "", false, false}, {"--hex", "", false, false},
    {"--offset", "", true, false},         {"--length", "", true, false},   {"--max", "", true, false},
    {"--overlap", "", false, false},
};

constexpr std::string_view find_operands[] = {"PATTERN", "FILE"};

// Patterns must be shorter than this (the library's limit).
constexpr int64_t pattern_limit = 524288;

}  // namespace

int run_find(std::span<char *const> args) {
    const command_line cl = parse_command_line(args, find_options, find_operands);
    if (cl.help) return show_help(find_help);
    const std::string_view pattern_text = cl.operands[0];
    const std::vector<uint8_t> pattern = cl.has("--hex")
                                             ? parse_hex(pattern_text, "PATTERN")
                                             : std::vector<uint8_t>(pattern_text.begin(), pattern_text.end());
    if (pattern.empty()) throw usage_error("empty PATTERN");
    if (static_cast<int64_t>(pattern.size()) >= pattern_limit) {
        throw usage_error("PATTERN longer than " + std::to_string(pattern_limit - 1) + " bytes");
    }
    const std::string_view *offset_text = cl.value("--offset");
    const std::string_view *length_text = cl.value("--length");
    const std::string_view *max_text = cl.value("--max");
    const int64_t offset = offset_text != nullptr ? parse_number(*offset_text, "--offset") : 0;
    const int64_t wanted_length = length_text != nullptr ? parse_number(*length_text, "--length") : -1;
    const int64_t max = max_text != nullptr ? parse_number(*max_text, "--max") : std::numeric_limits<int64_t>::max();

    const std::string path(cl.operands[1]);
    const session_handle session(path);
    const int64_t size = session.size();
    if (offset > size) {
        throw failure("--offset " + std::to_string(offset) + " is past the end of " + in_quotes(path) + " (size " +
                      std::to_string(size) + ")");
    }
    const int64_t length = wanted_length < 0 ? size - offset : std::min(wanted_length, size - offset);

    match_scanner scanner(session.get(), pattern, cl.has("--ignore-case"), cl.has("--reverse"), cl.has("--overlap"),
                          offset, offset + length);
    int64_t found = 0;
    int64_t match = 0;
    while (found < max && scanner.next(match)) {
        std::printf("%lld\n", static_cast<long long>(match));
        ++found;
    }
    flush_output();
    return found > 0 ? exit_ok : exit_not_found;
}

}  // namespace skarn_cli
