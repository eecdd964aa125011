// Shared pieces of the skarn command-line tool: errors, argument parsing,
// number and data parsing, and the session every subcommand works on.
#pragma once

#include <skarn_edit.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <stdexcept>
#include <memory>
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

// Installs the handlers of SIGINT, SIGTERM and SIGHUP, which only note the
// signal, and ignores SIGPIPE so that a closed pipe shows up as EPIPE. Also
// starts keeping the library's log lines (see library_log). Called first.
void install_signal_handlers();

// The signal that asked the command to stop, or 0.
int pending_signal();

// A safe point: throws `interrupted` when a stop signal arrived.
void check_interrupted();

// Whether --quiet was given.
bool quiet_requested();

// The process's standard error stream, for the tool's own messages and the
// progress line (the C stream `stderr` collects the library's lines).
std::FILE *message_stream();

// Everything the library logged (to std::clog or stderr) while the command ran.
std::string library_log();

// The system's reason for the last failure the library logged ("No space
// left on device"), or empty when its log names none.
std::string library_system_reason();

// ": " and the reason, or nothing when `reason` is empty.
std::string with_reason(const std::string &reason);

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
// given). "--name=value" and "--name value" are both accepted; "--" ends the
// options; --help, --quiet and --progress are recognised everywhere and set
// up the progress display. A single "-" is an operand (standard input or output).
command_line parse_command_line(std::span<char *const> args, std::span<const option_def> known,
                                std::span<const std::string_view> operand_names);

// The operands of the subcommands that take one file.
inline constexpr std::string_view file_operand[] = {"FILE"};

// Prints a subcommand's help text; returns exit_ok.
int show_help(const char *text);

// A non-negative 64-bit number in decimal or with a 0x prefix in hex. A
// leading 0 before more digits is refused: xxd reads such numbers as octal,
// so either reading would surprise someone.
int64_t parse_number(std::string_view text, std::string_view what);

// parse_number that also takes a leading '-'; returns the value and whether
// it was negative.
std::pair<int64_t, bool> parse_signed_number(std::string_view text, std::string_view what);

// Text taken as it is, or "hex:" followed by an even number of hex digits.
std::vector<uint8_t> parse_data(std::string_view text, std::string_view what);

// Hex digits (two per byte) decoded with the library's decoder.
std::vector<uint8_t> parse_hex(std::string_view digits, std::string_view what);

std::string in_quotes(std::string_view text);

// A JSON string literal; bytes that are not UTF-8 become U+FFFD.
std::string json_string(std::string_view text);

// Standard output, buffered by the tool itself so that every write error is
// seen where it happens: a closed pipe throws output_closed, any other error
// is a failure with the system's reason.
void write_output(std::string_view bytes);
void flush_output();

// Opens a session over `source` whose private copy goes into
// `private_directory`; null on failure (the library has logged why).
skarn_session_struct *create_session(const std::string &source, const std::string &private_directory);

// The name given for standard input and output.
inline constexpr std::string_view standard_stream = "-";

// What a FILE operand names, told without opening it: opening a pipe waits
// for a writer, and a pipe's data, once read, is gone.
enum class input_kind { regular, pipe };

// The kind of `path` (not "-"). Throws a failure for a missing file and for
// anything that is neither a regular file nor a pipe (a directory, a device).
input_kind input_kind_of(const std::string &path);

// A session over one file whose private copy lives in a private temporary
// directory; destroying the handle destroys the session and the directory
// with everything in it. A regular file is read in place; standard input
// ("-") and a pipe (a FIFO, /dev/fd/N of bash's <(command)) are read to
// their end into the directory first.
class session_handle {
public:
    explicit session_handle(const std::string &path);
    session_handle(const session_handle &) = delete;
    session_handle &operator=(const session_handle &) = delete;

    skarn_session_struct *get() const { return session_.get(); }
    int64_t size() const { return skarn_session_get_computed_file_size(session_.get()); }
    // The content came from standard input or a pipe, not from a file of its own.
    bool from_stream() const { return from_stream_; }

private:
    // Removed with everything in it, also when the constructor throws.
    struct private_directory {
        std::string path;
        private_directory() = default;
        private_directory(const private_directory &) = delete;
        private_directory &operator=(const private_directory &) = delete;
        ~private_directory();
    };
    struct session_deleter {
        void operator()(skarn_session_struct *session) const { skarn_edit_destroy_session(session); }
    };

    void make_directory();
    // Reads `fd` to its end into the private directory; `name` is what
    // messages call it. Returns the copy's path.
    std::string copy_stream(int fd, const std::string &name);

    // Declared in this order so that the session (and its files) goes first.
    private_directory directory_;
    bool from_stream_ = false;
    std::unique_ptr<skarn_session_struct, session_deleter> session_;
};

// Streams the session's content to standard output, checking for signals
// and updating the progress line between pieces.
void write_content_to_output(skarn_session_struct *session);

// Walks the matches of a pattern in [begin, end) of a session's content in
// search order. Non-overlapping matches by default; `overlap` reports every
// match start. The range is searched in windows of search_window bytes, one
// search context each, so that a long stretch without a match still reaches
// a safe point and a progress update after every window.
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

    // Bytes of the range behind the search so far, for progress.
    int64_t searched() const { return reverse_ ? end_ - window_begin_ : window_end_ - begin_; }
    int64_t range() const { return end_ - begin_; }

private:
    bool open_window();
    void close_window();

    skarn_session_struct *session_;
    std::vector<uint8_t> pattern_;
    bool case_insensitive_, reverse_, overlap_;
    int64_t begin_, end_;
    // The window searched by context_; matches outside it are still to come.
    int64_t window_begin_, window_end_;
    // Forwards: no further match starts before this; backwards: none ends after it.
    int64_t limit_;
    skarn_search_context_struct *context_ = nullptr;
    bool started_ = false;  // a window was opened
};

// Bytes one search context of match_scanner covers.
inline constexpr int64_t search_window = int64_t{4} << 20;

int run_info(std::span<char *const> args);
int run_find(std::span<char *const> args);
int run_dump(std::span<char *const> args);
int run_edit(std::span<char *const> args);

}  // namespace skarn_cli
