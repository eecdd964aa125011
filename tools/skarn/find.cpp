// skarn find: the offsets of a pattern's matches, through search contexts.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

#include "arguments.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "matches.hpp"
#include "output.hpp"
#include "progress.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "values.hpp"

namespace skarn_cli {

namespace {

constexpr const char *find_help =
    "usage: skarn find [-i] [--reverse] [--hex] [--offset N] [--length N] [--max N]\n"
    "                  [--overlap] [-c | --json] PATTERN FILE\n"
    "\n"
    "Prints the byte offset of each match of PATTERN in FILE, one decimal number a\n"
    "line, in search order. Matches do not overlap unless --overlap is given.\n"
    "Exit status 1 when nothing is found. FILE - reads standard input, and so\n"
    "does a pipe as FILE.\n"
    "\n"
    "options:\n"
    "  -i, --ignore-case  ASCII letters match in either case\n"
    "  --reverse          search from the end backwards (offsets in descending order)\n"
    "  --hex              PATTERN is hex digits, two per byte (0d0a for CR LF)\n"
    "  --offset N         search from offset N (default 0)\n"
    "  --length N         search N bytes (default: to the end)\n"
    "  --max N            stop after N matches\n"
    "  --overlap          report every match, also those overlapping the previous one\n"
    "  -c, --count        print only the number of matches (as grep -c)\n"
    "  --json             print {\"file\": ..., \"pattern\": ..., \"offsets\": [...]}\n"
    "                     (with -c, \"count\" instead of \"offsets\")\n"
    "  -q, --quiet        no progress line, no log lines of the library\n"
    "  --progress         a progress line even when stderr is not a terminal\n"
    "  --                 ends the options (for a PATTERN that begins with -)\n"
    "Numbers are decimal or 0x hex; a leading 0 (octal to xxd) is refused.\n"
    "\n"
    "example: skarn find -i --max 10 error server.log\n";

constexpr option_def find_options[] = {
    {"--ignore-case", "-i", false, false}, {"--reverse", "", false, false}, {"--hex", "", false, false},
    {"--offset", "", true, false},         {"--length", "", true, false},   {"--max", "", true, false},
    {"--overlap", "", false, false},       {"--count", "-c", false, false}, {"--json", "", false, false},
};

constexpr std::string_view find_operands[] = {"PATTERN", "FILE"};

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

    const bool count_only = cl.has("--count");
    const bool json = cl.has("--json");
    if (json) {
        write_output("{\"file\": " + json_string(path) + ", \"pattern\": " + json_string(pattern_text) +
                     (cl.has("--hex") ? ", \"hex\": true" : "") + (count_only ? ", \"count\": " : ", \"offsets\": ["));
    }
    progress_begin("searching");
    match_scanner scanner(session.get(), pattern, cl.has("--ignore-case"), cl.has("--reverse"), cl.has("--overlap"),
                          offset, offset + length);
    int64_t found = 0;
    int64_t match = 0;
    while (found < max && scanner.next(match)) {
        if (!count_only) {
            const char *separator = !json ? "" : found == 0 ? "" : ", ";
            write_output(separator + std::to_string(match) + (json ? "" : "\n"));
        }
        ++found;
        // Matches can be dense; the progress line and the signals are looked at every so often.
        if (found % 4096 == 0) {
            check_interrupted();
            progress_update(scanner.searched(), scanner.range());
        }
    }
    progress_finish();
    if (json) {
        write_output(count_only ? std::to_string(found) + "}\n" : std::string("]}\n"));
    } else if (count_only) {
        write_output(std::to_string(found) + "\n");
    }
    flush_output();
    return found > 0 ? exit_ok : exit_not_found;
}

}  // namespace skarn_cli
