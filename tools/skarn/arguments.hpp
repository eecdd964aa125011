// The command line of a subcommand: its options, its operands, and the
// options every subcommand takes (--help, --quiet, --progress).
#pragma once

#include <span>
#include <string_view>
#include <vector>

namespace skarn_cli {

struct option_def {
    std::string_view name;        // long form, "--offset"
    std::string_view short_name;  // "-i", or empty
    bool takes_value = false;
    bool repeatable = false;
};

struct parsed_option {
    std::string_view name;  // always the long form
    std::string_view value;
};

struct command_line {
    std::vector<parsed_option> options;  // in the order given
    std::vector<std::string_view> operands;
    bool help = false;
    bool quiet = false;     // -q, --quiet: no progress, no library log lines
    bool progress = false;  // --progress: a progress line even when stderr is no terminal

    bool has(std::string_view name) const;
    // The value of a non-repeatable option, or null when it was not given.
    const std::string_view *value(std::string_view name) const;
};

// Splits `args` (the words after the subcommand) into options and operands,
// which must be exactly those named in `operand_names` (unless --help was
// given); a last name ending in "..." ("DIR...") takes any number of them. "--name=value" and "--name value" are both
// accepted; "--" ends the options; --help, --quiet and --progress are recognised everywhere and set up the progress
// display. A single "-" is an operand (standard input or output).
command_line parse_command_line(std::span<char *const> args, std::span<const option_def> known,
                                std::span<const std::string_view> operand_names);

// Whether --quiet was given.
bool quiet_requested();

// The operands of the subcommands that take one file.
inline constexpr std::string_view file_operand[] = {"FILE"};

// Prints a subcommand's help text; returns exit_ok.
int show_help(const char *text);

}  // namespace skarn_cli
