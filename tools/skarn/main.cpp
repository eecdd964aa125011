// skarn: look at, search and edit files of any size from the command line,
// through skarn_edit's C interface.
#include <skarn_edit.h>

#include <signal.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <span>
#include <sstream>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "library_log.hpp"
#include "progress.hpp"
#include "signals.hpp"

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
    "  edit FILE (-o OUT | --in-place [--by-rename]) OP...\n"
    "                insert, overwrite, delete, replace, change case, then save\n"
    "  recover FILE  complete or take back an in-place save of FILE cut short\n"
    "  journals [DIR...] | --remove JOURNAL...\n"
    "                list or remove the session journals that dead programs left\n"
    "  view [--read-only] FILE\n"
    "                full-screen hex editor: move, edit, undo, search, save\n"
    "\n"
    "Run 'skarn COMMAND --help' for the options of a command, 'skarn --version' for\n"
    "the version. FILE - reads standard input; a pipe as FILE (a FIFO, bash's\n"
    "<(command)) is read the same way. Numbers are decimal or 0x hex; a leading 0\n"
    "is refused (xxd would read it as octal). Every command takes\n"
    "-q/--quiet (no progress line, no log lines of the library) and --progress\n"
    "(a progress line even when stderr is not a terminal).\n"
    "\n"
    "Exit status: 0 success, 1 nothing found (find), 2 usage error or failure,\n"
    "128 + N when signal N (SIGINT 130, SIGTERM 143, SIGHUP 129) stopped it; the\n"
    "files it made are removed first. A closed output pipe ends it quietly.\n";

using command_fn = int (*)(std::span<char *const>);

struct command {
    std::string_view name;
    command_fn run;
};

constexpr command commands[] = {
    {"info", skarn_cli::run_info}, {"find", skarn_cli::run_find},       {"dump", skarn_cli::run_dump},
    {"edit", skarn_cli::run_edit}, {"recover", skarn_cli::run_recover}, {"journals", skarn_cli::run_journals},
    {"view", skarn_cli::run_view},
};

// Prints "skarn[ COMMAND]: MESSAGE" as one line on stderr; usage errors point
// to the help. Returns the error exit status.
int report(std::string_view command, std::string_view message, bool usage) {
    skarn_cli::progress_finish();
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

// Ends the process as SIGPIPE would have, now that the session is gone:
// the shell and `set -o pipefail` see the same status as for grep or xxd.
[[noreturn]] void end_by_sigpipe() {
    std::fflush(stdout);
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(SIGPIPE);
    std::_Exit(128 + SIGPIPE);
}

int run_command(const command &candidate, std::span<char *const> args) {
    const std::string_view name = candidate.name;
    try {
        const int status = candidate.run(args);
        skarn_cli::progress_finish();
        // The library's log lines of a successful command are passed on as they are.
        if (!skarn_cli::quiet_requested()) std::fputs(skarn_cli::library_log().c_str(), stderr);
        return status;
    } catch (const skarn_cli::interrupted &stop) {
        skarn_cli::progress_finish();
        return 128 + stop.signal_number;
    } catch (const skarn_cli::output_closed &) {
        skarn_cli::progress_finish();
        end_by_sigpipe();
    } catch (const skarn_cli::usage_error &error) {
        return report(name, error.what(), true);
    } catch (const skarn_cli::failure &error) {
        // A library call cancelled by a stop signal fails: the signal is what
        // happened, and the cleanup has run as the stack unwound.
        try {
            skarn_cli::check_interrupted();
        } catch (const skarn_cli::interrupted &stop) {
            skarn_cli::progress_finish();
            return 128 + stop.signal_number;
        }
        // The command's own line says what failed and why; the library's
        // lines name its internals, so they are not shown.
        return report(name, error.what(), false);
    } catch (const std::bad_alloc &) {
        return report(name, "out of memory", false);
    } catch (const std::exception &error) {
        return report(name, error.what(), false);
    } catch (...) {
        return report(name, "unexpected error", false);
    }
}

}  // namespace

int main(int argc, char **argv) {
    skarn_cli::capture_library_log();
    skarn_cli::install_signal_handlers();

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
        if (candidate.name == name) return run_command(candidate, args.subspan(2));
    }
    std::fprintf(stderr, "skarn: unknown command '%.*s' (see 'skarn --help')\n", static_cast<int>(name.size()),
                 name.data());
    return skarn_cli::exit_error;
}
