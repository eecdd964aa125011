// skarn: look at, search and edit files of any size from the command line,
// through skarn_edit's C interface.
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <span>
#include <sstream>
#include <string>
#include <string_view>

#include "cli.hpp"

namespace {

constexpr const char *usage_text =
    "usage: skarn COMMAND [OPTIONS] ...\n"
    "\n"
    "Look at, search and edit files of any size without loading them into memory.\n"
    "\n"
    "commands:\n"
    "  info FILE     size, byte-order mark, character counts, line ends, frequent bytes\n"
    "  find PATTERN FILE\n"
    "                print the offset of each match\n"
    "  dump FILE     hex and text dump in xxd's layout\n"
    "  edit FILE (-o OUT | --in-place) OP...\n"
    "                insert, overwrite, delete, replace, change case, then save\n"
    "\n"
    "Run 'skarn COMMAND --help' for the options of a command, 'skarn --version' for\n"
    "the version. Numbers are decimal or 0x hex. Exit status: 0 success, 1 nothing\n"
    "found (find), 2 usage error or failure.\n";

using command_fn = int (*)(std::span<char *const>);

struct command {
    std::string_view name;
    command_fn run;
};

constexpr command commands[] = {
    {"info", skarn_cli::run_info},
    {"find", skarn_cli::run_find},
    {"dump", skarn_cli::run_dump},
    {"edit", skarn_cli::run_edit},
};

// Prints "skarn[ COMMAND]: MESSAGE" as one line on stderr; usage errors point
// to the help. Returns the error exit status.
int report(std::string_view command, std::string_view message, bool usage) {
    const std::string_view space = command.empty() ? "" : " ";
    std::fprintf(stderr, "skarn%.*s%.*s: %.*s", static_cast<int>(space.size()), space.data(),
                 static_cast<int>(command.size()), command.data(), static_cast<int>(message.size()), message.data());
    if (usage) {
        std::fprintf(stderr, " (see 'skarn%.*s%.*s --help')", static_cast<int>(space.size()), space.data(),
                     static_cast<int>(command.size()), command.data());
    }
    std::fputc('\n', stderr);
    return skarn_cli::exit_error;
}

// The library logs its errors to std::clog. While a command runs they are
// kept here: a failure folds the last one into its own line, a success passes
// them on unchanged.
class library_log_capture {
public:
    library_log_capture() : previous_(std::clog.rdbuf(log_.rdbuf())) {}
    ~library_log_capture() {
        std::clog.rdbuf(previous_);
        if (!released_) std::fputs(log_.str().c_str(), stderr);
    }
    library_log_capture(const library_log_capture &) = delete;
    library_log_capture &operator=(const library_log_capture &) = delete;

    // The message of the last line logged, without its "source@line::function: " prefix.
    std::string last_message() {
        released_ = true;
        std::string text = log_.str();
        while (!text.empty() && text.back() == '\n') text.pop_back();
        text = text.substr(text.find_last_of('\n') + 1);  // npos + 1 == 0
        if (const size_t scope = text.find("::"); scope != std::string::npos) {
            if (const size_t colon = text.find(": ", scope); colon != std::string::npos) text = text.substr(colon + 2);
        }
        return text;
    }

private:
    std::ostringstream log_;
    std::streambuf *previous_;
    bool released_ = false;
};

}  // namespace

int main(int argc, char **argv) {
    // A closed pipe shows up as a write error, so the session still cleans up
    // its temporary copy of the file.
    std::signal(SIGPIPE, SIG_IGN);

    const std::span<char *const> args(argv, static_cast<size_t>(argc));
    if (args.size() < 2) return report("", "missing command", true);
    const std::string_view name = args[1];
    if (name == "--help" || name == "-h" || name == "help") {
        std::fputs(usage_text, stdout);
        return std::fflush(stdout) == 0 ? skarn_cli::exit_ok : skarn_cli::exit_error;
    }
    if (name == "--version") {
        std::printf("skarn %d.%d.%d\n", skarn_version_major(), skarn_version_minor(), skarn_version_patch());
        return std::fflush(stdout) == 0 ? skarn_cli::exit_ok : skarn_cli::exit_error;
    }
    for (const command &candidate : commands) {
        if (candidate.name != name) continue;
        try {
            library_log_capture log;
            try {
                return candidate.run(args.subspan(2));
            } catch (const skarn_cli::failure &error) {
                const std::string detail = log.last_message();
                if (error.explained || detail.empty()) return report(name, error.what(), false);
                return report(name, std::string(error.what()) + " (" + detail + ")", false);
            }
        } catch (const skarn_cli::usage_error &error) {
            return report(name, error.what(), true);
        } catch (const std::bad_alloc &) {
            return report(name, "out of memory", false);
        } catch (const std::exception &error) {
            return report(name, error.what(), false);
        } catch (...) {
            return report(name, "unexpected error", false);
        }
    }
    std::fprintf(stderr, "skarn: unknown command '%.*s' (see 'skarn --help')\n", static_cast<int>(name.size()),
                 name.data());
    return skarn_cli::exit_error;
}
