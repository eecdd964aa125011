// skarn dump: a hex and text dump in xxd's default layout, read through one
// viewport that steps over the range, so memory use does not grow with it.
#include <skarn_edit.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "arguments.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "output.hpp"
#include "progress.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "values.hpp"

namespace skarn_cli {

namespace {

constexpr const char *dump_help =
    "usage: skarn dump [-s N | -s -N] [-l N] FILE\n"
    "\n"
    "Prints a hex and text dump in the layout of xxd: 16 bytes a line, the offset,\n"
    "the bytes in groups of two, and the text with '.' for bytes that are not\n"
    "printable ASCII. FILE - reads standard input, and so does a pipe as FILE.\n"
    "\n"
    "options:\n"
    "  -s, --offset N   start at offset N (as xxd -s N; the addresses stay file offsets)\n"
    "  -s, --offset -N  start N bytes before the end (as xxd -s -N)\n"
    "  -l, --length N   dump at most N bytes (as xxd -l N)\n"
    "  -q, --quiet      no progress line, no log lines of the library\n"
    "  --progress       a progress line even when stderr is not a terminal\n"
    "Numbers are decimal or 0x hex; a leading 0 (octal to xxd) is refused.\n"
    "\n"
    "example: skarn dump -s 0x100 -l 64 image.bin\n";

constexpr option_def dump_options[] = {
    {"--offset", "-s", true, false},
    {"--length", "-l", true, false},
};

constexpr int64_t viewport_capacity = 65536;  // a multiple of 16: windows end on whole lines
constexpr size_t bytes_per_line = 16;

// Appends one line of up to 16 bytes that start at `address`.
void format_line(std::string &out, int64_t address, const uint8_t *bytes, size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    char line[80];
    size_t at =
        static_cast<size_t>(std::snprintf(line, sizeof line, "%08llx: ", static_cast<unsigned long long>(address)));
    out.append(line, at);
    at = 0;
    for (size_t i = 0; i < bytes_per_line; ++i) {
        if (i < count) {
            line[at++] = digits[bytes[i] >> 4];
            line[at++] = digits[bytes[i] & 0xf];
        } else {
            line[at++] = ' ';
            line[at++] = ' ';
        }
        if (i % 2 == 1) line[at++] = ' ';
    }
    line[at++] = ' ';
    for (size_t i = 0; i < count; ++i) {
        line[at++] = bytes[i] >= 0x20 && bytes[i] <= 0x7e ? static_cast<char>(bytes[i]) : '.';
    }
    line[at++] = '\n';
    out.append(line, at);
}

}  // namespace

int run_dump(std::span<char *const> args) {
    const command_line cl = parse_command_line(args, dump_options, file_operand);
    if (cl.help) return show_help(dump_help);
    const std::string_view *offset_text = cl.value("--offset");
    const std::string_view *length_text = cl.value("--length");
    const auto [offset_value, from_end] =
        offset_text != nullptr ? parse_signed_number(*offset_text, "--offset") : std::pair<int64_t, bool>{0, false};
    const int64_t wanted_length = length_text != nullptr ? parse_number(*length_text, "--length") : -1;

    const std::string path(cl.operands[0]);
    const session_handle session(path);
    const int64_t size = session.size();
    if (from_end && offset_value > size) {
        throw failure("--offset -" + std::to_string(offset_value) + " is before the start of " + in_quotes(path) +
                      " (size " + std::to_string(size) + ")");
    }
    const int64_t offset = from_end ? size - offset_value : offset_value;
    if (offset > size) {
        throw failure("--offset " + std::to_string(offset) + " is past the end of " + in_quotes(path) + " (size " +
                      std::to_string(size) + ")");
    }
    int64_t remaining = wanted_length < 0 ? size - offset : std::min(wanted_length, size - offset);
    if (remaining == 0) return exit_ok;

    const int64_t capacity = std::min(remaining, viewport_capacity);
    skarn_viewport_struct *viewport =
        skarn_edit_create_viewport(session.get(), offset, capacity, 0, nullptr, nullptr, 0);
    if (viewport == nullptr) throw failure("cannot create a viewport");

    progress_begin("dumping");
    std::string out;
    uint8_t line[bytes_per_line];
    size_t pending = 0;  // bytes in `line` not yet printed
    int64_t position = offset;
    int64_t line_address = offset;
    while (remaining > 0) {
        const uint8_t *data = skarn_viewport_get_data(viewport);
        const int64_t held = std::min(skarn_viewport_get_length(viewport), remaining);
        if (data == nullptr || held <= 0) {
            throw failure("cannot read " + in_quotes(path) + " at offset " + std::to_string(position));
        }
        out.clear();
        for (int64_t i = 0; i < held; ++i) {
            line[pending++] = data[i];
            if (pending == bytes_per_line) {
                format_line(out, line_address, line, pending);
                line_address += bytes_per_line;
                pending = 0;
            }
        }
        position += held;
        remaining -= held;
        if (remaining == 0 && pending > 0) format_line(out, line_address, line, pending);
        write_output(out);
        check_interrupted();
        progress_update(position - offset, position - offset + remaining);
        if (remaining > 0 && skarn_viewport_modify(viewport, position, capacity, 0) != 0) {
            throw failure("cannot move the viewport to offset " + std::to_string(position));
        }
    }
    flush_output();
    progress_finish();
    return exit_ok;
}

}  // namespace skarn_cli
