// skarn recover: completes or takes back an in-place save of a file that was
// cut short, from the journal it left beside the file.
#include <skarn_edit.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "library_log.hpp"
#include "output.hpp"
#include "values.hpp"

namespace skarn_cli {

namespace {

constexpr const char *recover_help =
    "usage: skarn recover FILE\n"
    "\n"
    "Ends an in-place save of FILE that was cut short (a crash, a power cut, a\n"
    "killed skarn edit --in-place), from the journal it left beside FILE\n"
    "(.FILE.skarn-journal): a journal that reached the disk whole is applied and\n"
    "FILE gets the new content; otherwise FILE gets back its old content. Either\n"
    "way the journal is removed. The next run of skarn over FILE does the same.\n"
    "Prints one line: nothing to recover, or which content FILE now holds.\n"
    "Exit status 0 for both; 2 when the journal cannot be applied (it stays).\n"
    "\n"
    "options:\n"
    "  -q, --quiet  no log lines of the library\n"
    "\n"
    "example: skarn recover big.log\n";

// Which content the recovery left, from the line the library ends with
// "... to the new content of its interrupted in-place save" or "... keeps its
// old content" (the file's name comes before): "new", "old", or empty when
// no line says.
std::string recovered_content(const std::string &lines) {
    const auto ends_with = [](std::string_view line, std::string_view end) {
        return line.size() >= end.size() && line.substr(line.size() - end.size()) == end;
    };
    std::string_view rest = lines;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (ends_with(line, " to the new content of its interrupted in-place save")) return "new";
        if (ends_with(line, " keeps its old content")) return "old";
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return {};
}

}  // namespace

int run_recover(std::span<char *const> args) {
    const command_line cl = parse_command_line(args, {}, file_operand);
    if (cl.help) return show_help(recover_help);
    const std::string path(cl.operands[0]);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw failure("cannot open " + in_quotes(path) + ": " + std::strerror(errno));

    const size_t logged_before = library_log().size();
    forget_library_failure();
    const int result = skarn_util_recover_file(path.c_str());
    if (result < 0) throw failure("cannot recover " + in_quotes(path) + with_reason(library_failure_cause()));
    if (result == 0) {
        write_output("nothing to recover: " + path + " has no journal\n");
    } else {
        // The line that says which content is told here, in the tool's words.
        const std::string content = recovered_content(library_log().substr(logged_before));
        forget_library_log_since(logged_before);
        write_output(content.empty() ? "recovered: " + path + "\n"
                                     : "recovered: " + path + " has its " + content + " content\n");
    }
    flush_output();
    return exit_ok;
}

}  // namespace skarn_cli
