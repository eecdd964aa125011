// skarn journals: lists the session journals left behind in directories by
// programs that died, and removes them with the files they kept.
#include <skarn_edit.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "arguments.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "library_log.hpp"
#include "output.hpp"
#include "values.hpp"

namespace skarn_cli {

namespace {

constexpr const char *journals_help =
    "usage: skarn journals [DIR...]\n"
    "       skarn journals --remove JOURNAL...\n"
    "\n"
    "Lists the session journals in each DIR (default: the current directory). A\n"
    "program editing with a journaled session of skarn_edit leaves its journal\n"
    "(.Skarnpad-journal.XXXXXX, in the session's checkpoint directory) behind\n"
    "when it dies, and can resume the session from it. One line per journal, its\n"
    "fields separated by tabs: the journal's path, the file its session was over\n"
    "(empty for a session over nothing), and 'left' when no live session holds\n"
    "it, 'held' when one does, 'unreadable' when its header cannot be read.\n"
    "\n"
    "With --remove, removes each JOURNAL with the files it kept (the session's\n"
    "private copy and checkpoints) and prints 'removed: JOURNAL'. A journal that\n"
    "a live session holds, or that is not a session journal, is refused (exit\n"
    "status 2); the journals named before it are removed.\n"
    "\n"
    "options:\n"
    "  --remove     remove the journals named instead of listing them\n"
    "  -q, --quiet  no log lines of the library\n"
    "\n"
    "example: skarn journals --remove ./.Skarnpad-journal.x7Qa2b\n";

constexpr option_def journals_options[] = {
    {"--remove", "", false, false},
};

constexpr std::string_view journals_operands[] = {"DIR..."};
constexpr std::string_view journal_prefix = ".Skarnpad-journal.";

// The paths of the entries of `directory` named as journals, sorted.
std::vector<std::string> journal_candidates(const std::string &directory) {
    std::error_code error;
    std::filesystem::directory_iterator entries(directory, error);
    std::vector<std::string> paths;
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        if (entries->path().filename().string().starts_with(journal_prefix)) {
            paths.push_back((std::filesystem::path(directory) / entries->path().filename()).string());
        }
    }
    if (error) throw failure("cannot read " + in_quotes(directory) + ": " + error.message());
    std::sort(paths.begin(), paths.end());
    return paths;
}

// "JOURNAL\tFILE\tSTATE\n" for the journal at `path`.
std::string journal_line(const std::string &path) {
    char file[SKARN_PATH_BUFFER_SIZE] = {};
    const int kind = skarn_util_describe_journal(path.c_str(), file);
    const char *state = kind == 1 ? "left" : kind == 2 ? "held" : "unreadable";
    return path + "\t" + file + "\t" + state + "\n";
}

void list_journals(const std::vector<std::string_view> &directories) {
    for (const std::string_view directory : directories) {
        for (const std::string &path : journal_candidates(std::string(directory))) write_output(journal_line(path));
    }
}

// Removes one journal, or says in one line why it cannot.
void remove_journal(const std::string &path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        throw failure("cannot open " + in_quotes(path) + ": " + std::strerror(errno));
    const int kind = skarn_util_describe_journal(path.c_str(), nullptr);
    if (kind == 0) throw failure("cannot remove " + in_quotes(path) + ": not a session journal");
    if (kind == 2) throw failure("cannot remove " + in_quotes(path) + ": a live session holds it");
    forget_library_failure();
    if (skarn_util_remove_journal(path.c_str()) != 0) {
        throw failure("cannot remove " + in_quotes(path) + with_reason(library_failure_cause()));
    }
    write_output("removed: " + path + "\n");
}

void remove_journals(const std::vector<std::string_view> &paths) {
    if (paths.empty()) throw usage_error("missing JOURNAL");
    try {
        for (const std::string_view path : paths) remove_journal(std::string(path));
    } catch (const failure &) {
        flush_output();  // what was removed is told before the line of what was not
        throw;
    }
}

}  // namespace

int run_journals(std::span<char *const> args) {
    const command_line cl = parse_command_line(args, journals_options, journals_operands);
    if (cl.help) return show_help(journals_help);
    if (cl.has("--remove")) {
        remove_journals(cl.operands);
    } else {
        list_journals(cl.operands.empty() ? std::vector<std::string_view>{"."} : cl.operands);
    }
    flush_output();
    return exit_ok;
}

}  // namespace skarn_cli
