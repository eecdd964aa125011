// The exit statuses of the skarn tool and the exceptions by which a command
// tells main how it ended.
#pragma once

#include <stdexcept>

namespace skarn_cli {

// Exit statuses of every subcommand.
constexpr int exit_ok = 0;
constexpr int exit_not_found = 1;
constexpr int exit_error = 2;

// A mistake in the command line; main prints it with a pointer to --help.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An operation that could not be carried out; the message is the whole line.
struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// SIGINT, SIGTERM or SIGHUP arrived; the command stops at the next safe
// point, its files are removed while the stack unwinds, and main exits with
// 128 + the signal number.
struct interrupted {
    int signal_number;
};

// The reader of standard output went away (a closed pipe); main ends the
// command quietly, as if SIGPIPE had ended it.
struct output_closed {};

}  // namespace skarn_cli
