// Argument parsing, number and data parsing, the session handle and the
// match scanner shared by the subcommands.
#include "cli.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <sstream>

#include "progress.hpp"

namespace skarn_cli {

namespace {

volatile std::sig_atomic_t stop_signal = 0;

extern "C" void note_stop_signal(int signal_number) { stop_signal = signal_number; }

// The library logs its errors to std::clog; the tool keeps them here, so that
// a failure can name the system's reason in its own words and a success can
// pass them on (unless --quiet).
std::ostringstream &log_buffer() {
    static std::ostringstream buffer;
    return buffer;
}

struct log_redirect {
    log_redirect() : previous(std::clog.rdbuf(log_buffer().rdbuf())) {}
    ~log_redirect() { std::clog.rdbuf(previous); }
    std::streambuf *previous;
};

const log_redirect redirect_library_log;

// The library's utility functions print their lines to the C stream stderr.
// glibc's stderr is a plain variable, so it is pointed at a memory stream for
// as long as the tool runs; the tool itself writes to the real one.
struct stderr_capture {
    stderr_capture() : real(stderr) {
        if (std::FILE *memory = ::open_memstream(&text, &length)) stderr = memory;
    }
    ~stderr_capture() {
        if (stderr != real) {
            std::fclose(stderr);
            stderr = real;
        }
        std::free(text);
    }
    std::string captured() {
        if (stderr == real) return {};
        std::fflush(stderr);
        return {text, length};
    }
    std::FILE *real;
    char *text = nullptr;
    size_t length = 0;
};

stderr_capture &library_stderr() {
    static stderr_capture capture;
    return capture;
}

bool quiet = false;

std::string output_buffer;
constexpr size_t output_buffer_limit = 65536;

const option_def *find_option(std::span<const option_def> known, std::string_view word) {
    for (const option_def &def : known) {
        if (word == def.name || (!def.short_name.empty() && word == def.short_name)) return &def;
    }
    return nullptr;
}

}  // namespace

void install_signal_handlers() {
    library_stderr();  // from here on the library's stderr lines are kept
    struct sigaction action {};
    action.sa_handler = note_stop_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read from a terminal or a pipe returns EINTR, so that
    // the tool reaches its next safe point instead of waiting for input.
    action.sa_flags = 0;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int pending_signal() { return stop_signal; }

bool quiet_requested() { return quiet; }

void check_interrupted() {
    if (stop_signal != 0) throw interrupted{stop_signal};
}

std::FILE *message_stream() { return library_stderr().real; }

std::string library_log() { return log_buffer().str() + library_stderr().captured(); }

std::string library_system_reason() {
    // The library's system error lines end in "error code=<number>: <text>".
    const std::string log = library_log();
    const size_t at = log.rfind("error code=");
    if (at == std::string::npos) return {};
    int code = 0;
    const char *digits = log.c_str() + at + std::strlen("error code=");
    const auto [end, error] = std::from_chars(digits, log.c_str() + log.size(), code);
    if (error != std::errc{} || end == digits || code <= 0) return {};
    return std::strerror(code);
}

std::string with_reason(const std::string &reason) { return reason.empty() ? std::string() : ": " + reason; }

bool command_line::has(std::string_view name) const {
    return std::any_of(options.begin(), options.end(), [name](const parsed_option &o) { return o.name == name; });
}

const std::string_view *command_line::value(std::string_view name) const {
    for (const parsed_option &option : options) {
        if (option.name == name) return &option.value;
    }
    return nullptr;
}

command_line parse_command_line(std::span<char *const> args, std::span<const option_def> known,
                                std::span<const std::string_view> operand_names) {
    command_line result;
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view word = args[i];
        if (options_ended || word.size() < 2 || word[0] != '-') {
            result.operands.push_back(word);
            continue;
        }
        if (word == "--") {
            options_ended = true;
            continue;
        }
        if (word == "--help" || word == "-h") {
            result.help = true;
            continue;
        }
        if (word == "--quiet" || word == "-q") {
            result.quiet = true;
            continue;
        }
        if (word == "--progress") {
            result.progress = true;
            continue;
        }
        std::string_view name = word;
        std::string_view inline_value;
        bool has_inline_value = false;
        if (const size_t equals = word.find('='); word.starts_with("--") && equals != std::string_view::npos) {
            name = word.substr(0, equals);
            inline_value = word.substr(equals + 1);
            has_inline_value = true;
        }
        const option_def *def = find_option(known, name);
        if (def == nullptr) throw usage_error("unknown option " + in_quotes(name));
        if (!def->repeatable && result.has(def->name)) throw usage_error(std::string(def->name) + " given twice");
        parsed_option option{def->name, {}};
        if (def->takes_value) {
            if (has_inline_value) {
                option.value = inline_value;
            } else if (i + 1 < args.size()) {
                option.value = args[++i];
            } else {
                throw usage_error(std::string(def->name) + " needs a value");
            }
        } else if (has_inline_value) {
            throw usage_error(std::string(def->name) + " takes no value");
        }
        result.options.push_back(option);
    }
    if (result.quiet && result.progress) throw usage_error("give either --quiet or --progress, not both");
    quiet = result.quiet;
    progress_configure(result.quiet      ? progress_mode::off
                       : result.progress ? progress_mode::forced
                                         : progress_mode::automatic);
    if (result.help) return result;
    if (result.operands.size() < operand_names.size()) {
        std::string missing = "missing ";
        for (size_t i = result.operands.size(); i < operand_names.size(); ++i) {
            if (i > result.operands.size()) missing += " and ";
            missing += operand_names[i];
        }
        throw usage_error(missing);
    }
    if (result.operands.size() > operand_names.size()) throw usage_error("too many operands");
    return result;
}

int64_t parse_number(std::string_view text, std::string_view what) {
    std::string_view digits = text;
    int base = 10;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        digits.remove_prefix(2);
        base = 16;
    }
    if (text.starts_with('-')) throw usage_error("negative number for " + std::string(what) + ": " + in_quotes(text));
    if (base == 10 && digits.size() > 1 && digits[0] == '0' && digits[1] >= '0' && digits[1] <= '9') {
        throw usage_error("number with a leading 0 for " + std::string(what) + ": " + in_quotes(text) +
                          " (octal is not read; write it without the 0s, or in hex with 0x)");
    }
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error == std::errc::invalid_argument || end != digits.data() + digits.size()) {
        throw usage_error("invalid number for " + std::string(what) + ": " + in_quotes(text));
    }
    if (error == std::errc::result_out_of_range || value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        throw usage_error("number too large for " + std::string(what) + ": " + in_quotes(text));
    }
    return static_cast<int64_t>(value);
}

std::pair<int64_t, bool> parse_signed_number(std::string_view text, std::string_view what) {
    if (text.starts_with('-')) return {parse_number(text.substr(1), what), true};
    return {parse_number(text, what), false};
}

std::vector<uint8_t> parse_hex(std::string_view digits, std::string_view what) {
    if (digits.empty()) throw usage_error("no hex digits in " + std::string(what));
    if (digits.size() % 2 != 0) throw usage_error("odd number of hex digits in " + std::string(what));
    const std::string source(digits);
    std::vector<uint8_t> bytes(source.size() / 2 + 1);
    const int64_t length = static_cast<int64_t>(source.size());
    if (skarn_encode_hex2bin(source.c_str(), bytes.data(), length) != length / 2) {
        throw usage_error("invalid hex digits in " + std::string(what) + ": " + in_quotes(digits));
    }
    bytes.resize(source.size() / 2);
    return bytes;
}

std::vector<uint8_t> parse_data(std::string_view text, std::string_view what) {
    if (text.starts_with("hex:")) return parse_hex(text.substr(4), what);
    return {text.begin(), text.end()};
}

std::string in_quotes(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    quoted += text;
    quoted += '\'';
    return quoted;
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0.
size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    unsigned char low = 0x80;  // allowed range of the second byte
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // no overlong forms
        if (lead == 0xed) high = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t length = utf8_sequence_length(text.substr(i));
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out += text.substr(i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out + "\"";
}

int show_help(const char *text) {
    write_output(text);
    flush_output();
    return exit_ok;
}

void write_output(std::string_view bytes) {
    output_buffer.append(bytes);
    if (output_buffer.size() >= output_buffer_limit) flush_output();
}

void flush_output() {
    // Output and the progress line on one terminal would mix: the line goes
    // and is drawn again below the output by the next update.
    static const bool output_on_terminal = ::isatty(STDOUT_FILENO) == 1;
    if (output_on_terminal && !output_buffer.empty()) progress_finish();
    size_t written = 0;
    while (written < output_buffer.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, output_buffer.data() + written, output_buffer.size() - written);
        if (n >= 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) {
            check_interrupted();
            continue;
        }
        const int error = errno;
        output_buffer.clear();
        if (error == EPIPE) throw output_closed{};
        throw failure(std::string("cannot write the output: ") + std::strerror(error));
    }
    output_buffer.clear();
}

namespace {

// The library's progress reports go to the progress line; a stop signal
// cancels the operation that reports.
int report_progress(int32_t /*operation*/, int64_t done, int64_t total, void * /*user_data*/) {
    return progress_update(done, total) ? 0 : 1;
}

}  // namespace

// The one place where the tool creates sessions. They read the file in
// place: opening costs nothing whatever the size, and a save by rename over
// the file leaves the session reading its old content. The library copies
// what it cannot read in place (pipes, /proc files) into the private
// directory.
skarn_session_struct *create_session(const std::string &source, const std::string &private_directory) {
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = SESSION_OPT_IN_PLACE;
    options.checkpoint_directory = private_directory.c_str();
    options.progress_cbk = report_progress;
    return skarn_edit_create_session_with_options(source.c_str(), &options);
}

namespace {

struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
};

failure neither_file_nor_pipe(const std::string &path, mode_t mode) {
    const char *kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "a special file";
    return failure(in_quotes(path) + " is " + kind + ", not a regular file or a pipe");
}

// Opens a pipe for reading, waiting for a writer as cat would; a stop signal
// ends the wait.
int open_pipe(const std::string &path) {
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            struct stat info {};
            if (::fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISREG(info.st_mode))) return fd;
            // Replaced by something else since it was looked at.
            ::close(fd);
            throw neither_file_nor_pipe(path, info.st_mode);
        }
        if (errno != EINTR) throw failure("cannot open " + in_quotes(path) + ": " + std::strerror(errno));
        check_interrupted();
    }
}

}  // namespace

input_kind input_kind_of(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw failure("cannot open " + in_quotes(path) + ": " + std::strerror(errno));
    if (S_ISREG(info.st_mode)) return input_kind::regular;
    if (S_ISFIFO(info.st_mode)) return input_kind::pipe;
    throw neither_file_nor_pipe(path, info.st_mode);
}

session_handle::session_handle(const std::string &path) {
    std::string source = path;
    if (path == standard_stream) {
        from_stream_ = true;
        make_directory();
        source = copy_stream(STDIN_FILENO, "standard input");
    } else if (input_kind_of(path) == input_kind::pipe) {
        // Read once, here: the library would open it again after looking.
        from_stream_ = true;
        const fd_guard pipe{open_pipe(path)};
        make_directory();
        source = copy_stream(pipe.fd, in_quotes(path));
    } else {
        // Checked here so that an unreadable file gives one clear line.
        std::FILE *probe = std::fopen(path.c_str(), "rb");
        if (probe == nullptr) throw failure("cannot open " + in_quotes(path) + ": " + std::strerror(errno));
        std::fclose(probe);
        make_directory();
    }
    check_interrupted();
    progress_begin("opening");
    session_.reset(create_session(source, directory_.path));
    if (session_ == nullptr) {
        check_interrupted();  // a copy cancelled by a signal is no failure of its own
        std::string reason = library_system_reason();
        std::error_code space_error;
        std::error_code size_error;
        const auto space = std::filesystem::space(directory_.path, space_error);
        const auto size = std::filesystem::file_size(source, size_error);
        if (reason.empty() && !space_error && !size_error && space.available < size) reason = std::strerror(ENOSPC);
        throw failure("cannot make a private copy of " + in_quotes(path) + " in " +
                      in_quotes(std::filesystem::path(directory_.path).parent_path().string()) + with_reason(reason));
    }
    // A signal during the copy is seen here; the destructor removes the copy.
    check_interrupted();
}

void session_handle::make_directory() {
    std::error_code error;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    if (error) throw failure("no temporary directory: " + error.message());
    std::string pattern = (temp / "skarn-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw failure("cannot create a temporary directory in " + in_quotes(temp.string()) + ": " +
                      std::strerror(errno));
    }
    directory_.path = pattern;
}

std::string session_handle::copy_stream(int fd, const std::string &name) {
    const std::string copy = directory_.path + "/input";
    const auto store_failure = [&] {
        return failure("cannot store " + name + " in " + in_quotes(directory_.path) + ": " + std::strerror(errno));
    };
    fd_guard guard{::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    if (guard.fd < 0) throw store_failure();
    progress_begin("reading " + name);
    std::vector<char> buffer(1 << 20);
    int64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) {
                check_interrupted();
                continue;
            }
            throw failure("cannot read " + name + ": " + std::strerror(errno));
        }
        for (ssize_t put = 0; put < n;) {
            const ssize_t w = ::write(guard.fd, buffer.data() + put, static_cast<size_t>(n - put));
            if (w < 0) {
                if (errno == EINTR) {
                    check_interrupted();
                    continue;
                }
                throw store_failure();
            }
            put += w;
        }
        total += n;
        if (!progress_update(total, -1)) check_interrupted();
    }
    const int closed = ::close(guard.fd);
    guard.fd = -1;
    if (closed != 0) throw store_failure();
    progress_finish();
    return copy;
}

session_handle::private_directory::~private_directory() {
    if (!path.empty()) {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
}

void write_content_to_output(skarn_session_struct *session) {
    constexpr int64_t piece = int64_t{1} << 20;
    skarn_segment_struct *segment = skarn_segment_create(piece);
    if (segment == nullptr) throw std::bad_alloc();
    struct segment_guard {
        skarn_segment_struct *segment;
        ~segment_guard() { skarn_segment_destroy(segment); }
    } guard{segment};
    const int64_t size = skarn_session_get_computed_file_size(session);
    progress_begin("writing");
    for (int64_t offset = 0; offset < size;) {
        check_interrupted();
        if (skarn_session_get_segment(session, segment, offset) != 0 || skarn_segment_get_length(segment) <= 0) {
            throw failure("cannot read the content at offset " + std::to_string(offset));
        }
        const int64_t length = std::min(skarn_segment_get_length(segment), size - offset);
        write_output({reinterpret_cast<const char *>(skarn_segment_get_data(segment)), static_cast<size_t>(length)});
        offset += length;
        progress_update(offset, size);
    }
    flush_output();
    progress_finish();
}

match_scanner::match_scanner(skarn_session_struct *session, std::span<const uint8_t> pattern, bool case_insensitive,
                             bool reverse, bool overlap, int64_t begin, int64_t end)
    : session_(session),
      pattern_(pattern.begin(), pattern.end()),
      case_insensitive_(case_insensitive),
      reverse_(reverse),
      overlap_(overlap),
      begin_(begin),
      end_(end),
      window_begin_(reverse ? end : begin),
      window_end_(reverse ? end : begin),
      limit_(reverse ? end : begin) {}

match_scanner::~match_scanner() { close_window(); }

void match_scanner::close_window() {
    skarn_search_destroy_context(context_);
    context_ = nullptr;
}

// Opens the context of the next window, or returns false when the range is
// used up. Forwards a window starts where no match is ruled out yet: behind
// the last match as far as overlapping allows, and m - 1 bytes before the end
// of the previous window, whose context could not see the matches that cross
// its end. Backwards mirrors this.
bool match_scanner::open_window() {
    const auto m = static_cast<int64_t>(pattern_.size());
    int64_t from = 0;
    int64_t to = 0;
    if (!reverse_) {
        if (started_ && window_end_ >= end_) return false;
        from = started_ ? std::max(limit_, window_end_ - (m - 1)) : begin_;
        to = std::min(end_, from + search_window);
    } else {
        if (started_ && window_begin_ <= begin_) return false;
        to = started_ ? std::min(limit_, window_begin_ + (m - 1)) : end_;
        from = std::max(begin_, to - search_window);
    }
    started_ = true;
    window_begin_ = from;
    window_end_ = to;
    // Windows are longer than patterns, so a short one is the last, and holds
    // no match (a length of 0 would even mean "to the end" to the library).
    if (to - from < m) {
        window_begin_ = begin_;
        window_end_ = end_;
        return false;
    }
    context_ = skarn_search_create_context_bytes(session_, pattern_.data(), m, from, to - from,
                                                 case_insensitive_ ? 1 : 0, reverse_ ? 1 : 0);
    if (context_ == nullptr) throw failure("cannot create a search context");
    return true;
}

bool match_scanner::next(int64_t &offset) {
    const auto m = static_cast<int64_t>(pattern_.size());
    // Forwards the advance is where the next search starts after a match.
    // Backwards the next match must end at or before match + 1 - advance: 1
    // keeps matches apart, 2 - m lets the next one start just below the last.
    const int64_t advance = reverse_ ? (overlap_ ? 2 - m : 1) : (overlap_ ? 1 : m);
    for (;;) {
        if (context_ != nullptr && skarn_search_next_match(context_, advance) == 1) {
            offset = skarn_search_context_get_match_offset(context_);
            limit_ = reverse_ ? offset + 1 - advance : offset + advance;
            return true;
        }
        // The library's context would start over on the next call.
        close_window();
        if (started_ && !progress_update(searched(), range())) check_interrupted();
        check_interrupted();
        if (!open_window()) return false;
    }
}

}  // namespace skarn_cli
