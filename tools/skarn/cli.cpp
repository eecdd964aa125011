// Argument parsing, number and data parsing, the session handle and the
// match scanner shared by the subcommands.
#include "cli.hpp"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

namespace skarn_cli {

namespace {

const option_def *find_option(std::span<const option_def> known, std::string_view word) {
    for (const option_def &def : known) {
        if (word == def.name || (!def.short_name.empty() && word == def.short_name)) return &def;
    }
    return nullptr;
}

}  // namespace

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

int show_help(const char *text) {
    std::fputs(text, stdout);
    flush_output();
    return exit_ok;
}

void flush_output() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        throw failure(std::string("cannot write the output: ") + std::strerror(errno));
    }
}

session_handle::session_handle(const std::string &path) {
    // Checked here so that a missing or unreadable file gives one clear line.
    std::FILE *probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) throw failure("cannot open " + in_quotes(path) + ": " + std::strerror(errno));
    std::fclose(probe);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) throw failure(in_quotes(path) + " is not a regular file");

    const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    if (error) throw failure("no temporary directory: " + error.message());
    std::string pattern = (temp / "skarn-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw failure("cannot create a temporary directory in " + in_quotes(temp.string()) + ": " +
                      std::strerror(errno));
    }
    directory_ = pattern;
    // Read in place: opening costs nothing whatever the size, and a save by
    // rename over the file leaves the session reading its old content.
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = SESSION_OPT_IN_PLACE;
    options.checkpoint_directory = directory_.c_str();
    session_ = skarn_edit_create_session_with_options(path.c_str(), &options);
    if (session_ == nullptr) {
        std::filesystem::remove_all(directory_, error);
        throw failure("cannot open a session over " + in_quotes(path));
    }
}

session_handle::~session_handle() {
    skarn_edit_destroy_session(session_);
    std::error_code error;
    std::filesystem::remove_all(directory_, error);
}

match_scanner::match_scanner(skarn_session_struct *session, std::span<const uint8_t> pattern, bool case_insensitive,
                             bool reverse, bool overlap, int64_t begin, int64_t end) {
    const auto m = static_cast<int64_t>(pattern.size());
    // Forwards the advance is where the next search starts after a match.
    // Backwards the next match must end at or before match + 1 - advance: 1
    // keeps matches apart, 2 - m lets the next one start just below the last.
    advance_ = reverse ? (overlap ? 2 - m : 1) : (overlap ? 1 : m);
    // A range shorter than the pattern holds no match (and a length of 0
    // would mean "to the end" to the library).
    if (end - begin < m) return;
    context_ = skarn_search_create_context_bytes(session, pattern.data(), m, begin, end - begin,
                                                 case_insensitive ? 1 : 0, reverse ? 1 : 0);
    if (context_ == nullptr) throw failure("cannot create a search context");
}

match_scanner::~match_scanner() { skarn_search_destroy_context(context_); }

bool match_scanner::next(int64_t &offset) {
    if (context_ == nullptr) return false;
    if (skarn_search_next_match(context_, advance_) != 1) {
        // The context would start over on the next call.
        skarn_search_destroy_context(context_);
        context_ = nullptr;
        return false;
    }
    offset = skarn_search_context_get_match_offset(context_);
    return true;
}

}  // namespace skarn_cli
