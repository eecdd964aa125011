// Option parsing; see arguments.hpp.
#include "arguments.hpp"

#include <algorithm>
#include <string>

#include "errors.hpp"
#include "output.hpp"
#include "progress.hpp"
#include "values.hpp"

namespace skarn_cli {

namespace {

bool quiet = false;

const option_def *find_option(std::span<const option_def> known, std::string_view word) {
    for (const option_def &def : known) {
        if (word == def.name || (!def.short_name.empty() && word == def.short_name)) return &def;
    }
    return nullptr;
}

}  // namespace

bool quiet_requested() { return quiet; }

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
    // A last name ending in "..." stands for any number of operands, none included.
    const bool any_number = !operand_names.empty() && operand_names.back().ends_with("...");
    const size_t required = operand_names.size() - (any_number ? 1 : 0);
    if (result.operands.size() < required) {
        std::string missing = "missing ";
        for (size_t i = result.operands.size(); i < required; ++i) {
            if (i > result.operands.size()) missing += " and ";
            missing += operand_names[i];
        }
        throw usage_error(missing);
    }
    if (!any_number && result.operands.size() > operand_names.size()) throw usage_error("too many operands");
    return result;
}

int show_help(const char *text) {
    write_output(text);
    flush_output();
    return exit_ok;
}

}  // namespace skarn_cli
