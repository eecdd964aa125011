// Shared pieces of the skarn command-line tool: errors, argument parsing,
// number and data parsing, and the session every subcommand works on.
#pragma once

#include <skarn_edit.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace skarn_cli {

// Exit statuses of every subcommand.
constexpr int exit_ok = 0;
constexpr int exit_not_found = 1;
constexpr int exit_error = 2;

// A mistake in the command line; main prints it with a pointer to --help.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An operation that could not be carried out. Unless `explained` is set, the
// last line the library logged is added to the message.
struct failure : std::runtime_error {
    explicit failure(const std::string &message, bool explained = false)
        : std::runtime_error(message), explained(explained) {}
    bool explained;
};

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

    bool has(std::string_view name) const;
    // The value of a non-repeatable option, or null when it was not given.
    const std::string_view *value(std::string_view name) const;
};

// Splits `args` (the words after the subcommand) into options and operands,
// which must be exactly those named in `operand_names` (unless --help was
// given). "--name=value" and "--name value" are both accepted; "--" ends the
// options; --help is recognised everywhere.
command_line parse_command_line(std::span<char *const> args, std::span<const option_def> known,
                                std::span<const std::string_view> operand_names);

// The operands of the subcommands that take one file.
inline constexpr std::string_view file_operand[] = {"FILE"};

// Prints a subcommand's help text; returns exit_ok.
int show_help(const char *text);

// A non-negative 64-bit number in decimal or with a 0x prefix in hex.
int64_t parse_number(std::string_view text, std::string_view what);

// Text taken as it is, or "hex:" followed by an even number of hex digits.
std::vector<uint8_t> parse_data(std::string_view text, std::string_view what);

// Hex digits (two per byte) decoded with the library's decoder.
std::vector<uint8_t> parse_hex(std::string_view digits, std::string_view what);

std::string in_quotes(std::string_view text);

// Flushes stdout; a write error (a full disk, a closed pipe) is a failure.
void flush_output();

// A session over one file whose checkpoint copy lives in a private temporary
// directory; destroying the handle destroys the session and the directory.
class session_handle {
public:
    explicit session_handle(const std::string &path);
    ~session_handle();
    session_handle(const session_handle &) = delete;
    session_handle &operator=(const session_handle &) = delete;

    skarn_session_struct *get() const { return session_; }
    int64_t size() const { return skarn_session_get_computed_file_size(session_); }

private:
    std::string directory_;
    skarn_session_struct *session_ = nullptr;
};

// Walks the matches of a pattern in [begin, end) of a session's content in
// search order, through one search context. Non-overlapping matches by
// default; `overlap` reports every match start.
class match_scanner {
public:
    match_scanner(skarn_session_struct *session, std::span<const uint8_t> pattern, bool case_insensitive, bool reverse,
                  bool overlap, int64_t begin, int64_t end);
    ~match_scanner();
    match_scanner(const match_scanner &) = delete;
    match_scanner &operator=(const match_scanner &) = delete;

    // Stores the next match's offset and returns true, or returns false when
    // there is none left.
    bool next(int64_t &offset);

private:
    skarn_search_context_struct *context_ = nullptr;  // null once the matches are used up
    int64_t advance_;
};

int run_info(std::span<char *const> args);
int run_find(std::span<char *const> args);
int run_dump(std::span<char *const> args);
int run_edit(std::span<char *const> args);

}  // namespace skarn_cli
