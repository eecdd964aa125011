// skarn info: what a file holds, from the library's analysis functions.
#include <skarn_edit.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "arguments.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "output.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "values.hpp"

namespace skarn_cli {

namespace {

constexpr const char *info_help =
    "usage: skarn info [--json] [--encoding NAME] FILE\n"
    "\n"
    "Prints the file's size, its byte-order mark, the characters of each width in\n"
    "the encoding of that mark (UTF-8 rules when there is none), the line feeds and\n"
    "DOS line ends (CR LF), and the five most frequent byte values.\n"
    "\n"
    "options:\n"
    "  --json           print one JSON object instead of text\n"
    "  --encoding NAME  count characters as NAME: none, UTF-8, UTF-16LE, UTF-16BE,\n"
    "                   UTF-32LE or UTF-32BE (letter case is ignored)\n"
    "  -q, --quiet      no progress line, no log lines of the library\n"
    "  --progress       a progress line even when stderr is not a terminal\n"
    "FILE - reads standard input, and so does a pipe (bash's <(command)) as FILE.\n"
    "\n"
    "example: skarn info --json notes.txt\n";

constexpr option_def info_options[] = {
    {"--json", "", false, false},
    {"--encoding", "", true, false},
};

constexpr size_t top_count = 5;

struct byte_count {
    int value;
    int64_t count;
};

struct report {
    std::string file;
    int64_t size = 0;
    skarn_bom_t bom = BOM_NONE;
    skarn_bom_t encoding = BOM_NONE;
    int64_t single = 0, dual = 0, triple = 0, quad = 0, invalid = 0, bom_bytes = 0;
    int64_t line_feeds = 0;
    int64_t dos_line_ends = 0;
    std::vector<byte_count> top;

    int64_t characters() const { return single + dual + triple + quad; }
};

// Accepts exactly one of the library's encoding names, in any letter case.
skarn_bom_t parse_encoding(std::string_view text) {
    const std::string name(text);
    const skarn_bom_t kind = skarn_util_cstring_to_BOM(name.c_str());
    // The lookup only compares the length of a known name; anything longer is refused here.
    if (kind == BOM_UNKNOWN || name.size() != std::strlen(skarn_util_BOM_to_cstring(kind))) {
        throw usage_error("unknown encoding " + in_quotes(text) +
                          " (use none, UTF-8, UTF-16LE, UTF-16BE, UTF-32LE or UTF-32BE)");
    }
    return kind;
}

// What the characters were counted by: the kind's name, and for none the
// rules it stands for.
std::string counted_by(skarn_bom_t encoding) {
    return encoding == BOM_NONE ? "UTF-8, no byte-order mark" : skarn_util_BOM_to_cstring(encoding);
}

void print_text(const report &r) {
    const auto line = [](const char *name, const std::string &value) {
        char label[32];
        std::snprintf(label, sizeof label, "%-17s", name);
        write_output(std::string(label) + value + "\n");
    };
    line("file:", r.file);
    line("size:", std::to_string(r.size));
    line("bom:", skarn_util_BOM_to_cstring(r.bom));
    line("encoding:", counted_by(r.encoding));
    line("characters:", std::to_string(r.characters()));
    line("  single-byte:", std::to_string(r.single));
    line("  double-byte:", std::to_string(r.dual));
    line("  triple-byte:", std::to_string(r.triple));
    line("  quad-byte:", std::to_string(r.quad));
    line("  invalid bytes:", std::to_string(r.invalid));
    line("  bom bytes:", std::to_string(r.bom_bytes));
    line("line feeds:", std::to_string(r.line_feeds));
    line("DOS line ends:", std::to_string(r.dos_line_ends));
    std::string top;
    for (const byte_count &entry : r.top) {
        char text[48];
        std::snprintf(text, sizeof text, "%s0x%02x (%lld)", top.empty() ? "" : ", ", entry.value,
                      static_cast<long long>(entry.count));
        top += text;
    }
    line("top bytes:", top);
}

void print_json(const report &r) {
    std::string out =
        "{\"file\": " + json_string(r.file) + ", \"size\": " + std::to_string(r.size) +
        ", \"bom\": " + json_string(skarn_util_BOM_to_cstring(r.bom)) +
        ", \"encoding\": " + json_string(skarn_util_BOM_to_cstring(r.encoding)) +
        ", \"characters\": {\"total\": " + std::to_string(r.characters()) +
        ", \"single_byte\": " + std::to_string(r.single) + ", \"double_byte\": " + std::to_string(r.dual) +
        ", \"triple_byte\": " + std::to_string(r.triple) + ", \"quad_byte\": " + std::to_string(r.quad) +
        ", \"invalid_bytes\": " + std::to_string(r.invalid) + ", \"bom_bytes\": " + std::to_string(r.bom_bytes) +
        "}, \"line_feeds\": " + std::to_string(r.line_feeds) +
        ", \"dos_line_ends\": " + std::to_string(r.dos_line_ends) + ", \"top_bytes\": [";
    for (size_t i = 0; i < r.top.size(); ++i) {
        char entry[64];
        std::snprintf(entry, sizeof entry, "%s{\"value\": \"0x%02x\", \"count\": %lld}", i == 0 ? "" : ", ",
                      r.top[i].value, static_cast<long long>(r.top[i].count));
        out += entry;
    }
    out += "]}\n";
    write_output(out);
}

}  // namespace

int run_info(std::span<char *const> args) {
    const command_line cl = parse_command_line(args, info_options, file_operand);
    if (cl.help) return show_help(info_help);
    std::optional<skarn_bom_t> named;
    if (const std::string_view *value = cl.value("--encoding")) named = parse_encoding(*value);

    report r;
    r.file = cl.operands[0];
    const session_handle session(r.file);
    r.size = session.size();
    r.bom = skarn_session_detect_BOM(session.get(), 0);
    r.encoding = named.value_or(r.bom);

    skarn_character_counts_struct *counts = skarn_character_counts_create();
    if (counts == nullptr) throw std::bad_alloc();
    check_interrupted();
    // One reading of the file for both analyses.
    skarn_byte_frequency_profile_t profile = {};
    const int counted = skarn_session_character_counts_and_profile(session.get(), counts, profile, 0, 0, r.encoding);
    r.single = skarn_character_counts_single_byte_chars(counts);
    r.dual = skarn_character_counts_double_byte_chars(counts);
    r.triple = skarn_character_counts_triple_byte_chars(counts);
    r.quad = skarn_character_counts_quad_byte_chars(counts);
    r.invalid = skarn_character_counts_invalid_bytes(counts);
    r.bom_bytes = skarn_character_counts_bom_bytes(counts);
    skarn_character_counts_destroy(counts);
    if (counted != 0) throw failure("cannot count the characters of " + in_quotes(r.file));

    r.line_feeds = profile[static_cast<unsigned char>('\n')];
    r.dos_line_ends = profile[skarn_session_byte_frequency_profile_dos_eol_index()];
    std::vector<byte_count> bytes;
    for (int value = 0; value < 256; ++value) {
        if (profile[value] > 0) bytes.push_back({value, profile[value]});
    }
    // Most frequent first; equal counts by byte value.
    std::sort(bytes.begin(), bytes.end(), [](const byte_count &a, const byte_count &b) {
        return a.count != b.count ? a.count > b.count : a.value < b.value;
    });
    bytes.resize(std::min(bytes.size(), top_count));
    r.top = bytes;

    check_interrupted();
    if (cl.has("--json")) {
        print_json(r);
    } else {
        print_text(r);
    }
    flush_output();
    return exit_ok;
}

}  // namespace skarn_cli
