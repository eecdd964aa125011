// skarn edit: applies a list of edits to a session in the order given and
// saves the result; nothing is saved when any edit is refused or fails.
#include <skarn_edit.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "library_log.hpp"
#include "matches.hpp"
#include "output.hpp"
#include "progress.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "values.hpp"

namespace skarn_cli {

namespace {

constexpr const char *edit_help =
    "usage: skarn edit FILE (-o OUT | --in-place [--by-rename]) [--force] OP...\n"
    "\n"
    "Applies the operations in the order given, then saves the result and prints\n"
    "the path written and the new size. Offsets are positions in the content as\n"
    "the operations before have left it. Nothing is saved when an operation fails.\n"
    "\n"
    "operations:\n"
    "  --insert OFF:DATA     insert DATA at OFF\n"
    "  --overwrite OFF:DATA  overwrite from OFF with DATA (may extend the content)\n"
    "  --delete OFF:LEN      delete LEN bytes at OFF (cut at the end)\n"
    "  --replace FIND=REPL   replace every non-overlapping FIND, left to right, by REPL\n"
    "                        (REPL may be empty), in one pass\n"
    "  --upper OFF:LEN       ASCII letters of the range to upper case (LEN 0: to the end)\n"
    "  --lower OFF:LEN       ASCII letters of the range to lower case (LEN 0: to the end)\n"
    "DATA, FIND and REPL are text, or hex: followed by hex digits (hex:0d0a).\n"
    "\n"
    "saving:\n"
    "  -o, --output OUT  write to OUT; an existing OUT is kept and the result gets a\n"
    "                    free numbered name (OUT-1.ext, ...) unless --force is given;\n"
    "                    an existing directory OUT gets OUT/<FILE's name> (as cp);\n"
    "                    OUT's directory must exist; -o - writes to standard output\n"
    "  --in-place        write the result into FILE itself, through a journal beside\n"
    "                    it (.FILE.skarn-journal); refused when FILE changed on disk\n"
    "                    meanwhile\n"
    "  --by-rename       with --in-place, replace FILE by a new file renamed over it\n"
    "  --force           replace an existing OUT; with --in-place, skip the check\n"
    "  -q, --quiet       no progress line, no log lines of the library\n"
    "  --progress        a progress line even when stderr is not a terminal\n"
    "The saved file gets FILE's permissions. FILE - reads standard input; a pipe\n"
    "as FILE (a FIFO, bash's <(command)) is read the same way, and so is saved with\n"
    "the permissions of a new file; --in-place refuses it.\n"
    "Numbers are decimal or 0x hex; a leading 0 (octal to xxd) is refused.\n"
    "On an error or a signal nothing is saved and nothing is left behind, but for\n"
    "the journal of an in-place save that failed part way ('skarn recover' ends it).\n"
    "\n"
    "in place or by rename:\n"
    "  in place keeps FILE's inode, so its hard links and the programs that have it\n"
    "  open see the new content, and needs free space only for the journal (the new\n"
    "  bytes and at most 32 MiB); a save cut short (a crash, a power cut) is\n"
    "  completed or taken back by 'skarn recover FILE' or the next run over FILE.\n"
    "  By rename FILE gets a new inode: its other hard links and open readers keep\n"
    "  the old content; it needs free space for a whole copy and leaves no journal.\n"
    "\n"
    "example: skarn edit notes.txt -o fixed.txt --replace teh=the --insert 0:hex:efbbbf\n";

constexpr option_def edit_options[] = {
    {"--output", "-o", true, false}, {"--in-place", "", false, false}, {"--by-rename", "", false, false},
    {"--force", "", false, false},   {"--insert", "", true, true},     {"--overwrite", "", true, true},
    {"--delete", "", true, true},    {"--replace", "", true, true},    {"--upper", "", true, true},
    {"--lower", "", true, true},
};

enum class op_kind { insert, overwrite, erase, replace, upper, lower };

struct operation {
    op_kind kind = op_kind::insert;
    std::string label;  // the option as given, for messages
    int64_t offset = 0;
    int64_t length = 0;
    std::vector<uint8_t> data;  // inserted or written bytes; FIND for a replace
    std::vector<uint8_t> replacement;
};

uint8_t to_upper(uint8_t byte, void * /*user_data*/) {
    return byte >= 'a' && byte <= 'z' ? static_cast<uint8_t>(byte - 'a' + 'A') : byte;
}

uint8_t to_lower(uint8_t byte, void * /*user_data*/) {
    return byte >= 'A' && byte <= 'Z' ? static_cast<uint8_t>(byte - 'A' + 'a') : byte;
}

// Splits "LEFT<separator>RIGHT" at the first separator.
std::pair<std::string_view, std::string_view> split(std::string_view value, char separator, const std::string &label,
                                                    std::string_view form) {
    const size_t at = value.find(separator);
    if (at == std::string_view::npos) throw usage_error(label + ": expected " + std::string(form));
    return {value.substr(0, at), value.substr(at + 1)};
}

operation parse_operation(const parsed_option &option) {
    const std::string name(option.name);
    operation op;
    op.label = name + " " + std::string(option.value);
    if (name == "--insert" || name == "--overwrite") {
        op.kind = name == "--insert" ? op_kind::insert : op_kind::overwrite;
        const auto [offset, data] = split(option.value, ':', op.label, "OFF:DATA");
        op.offset = parse_number(offset, name + " offset");
        op.data = parse_data(data, name + " data");
        if (op.data.empty()) throw usage_error(op.label + ": empty DATA");
    } else if (name == "--replace") {
        op.kind = op_kind::replace;
        const auto [find, replacement] = split(option.value, '=', op.label, "FIND=REPL");
        op.data = parse_data(find, "--replace FIND");
        op.replacement = parse_data(replacement, "--replace REPL");
        if (op.data.empty()) throw usage_error(op.label + ": empty FIND");
        if (static_cast<int64_t>(op.data.size()) >= pattern_limit) throw usage_error(op.label + ": FIND too long");
    } else {
        op.kind = name == "--delete" ? op_kind::erase : name == "--upper" ? op_kind::upper : op_kind::lower;
        const auto [offset, length] = split(option.value, ':', op.label, "OFF:LEN");
        op.offset = parse_number(offset, name + " offset");
        op.length = parse_number(length, name + " length");
        if (op.kind == op_kind::erase && op.length == 0) throw usage_error(op.label + ": LEN must be at least 1");
    }
    return op;
}

[[noreturn]] void refuse_offset(const operation &op, int64_t size, bool inside) {
    throw failure(op.label + ": offset " + std::to_string(op.offset) +
                  (inside ? " is not inside" : " is past the end of") + " the content (size " + std::to_string(size) +
                  ")");
}

void check_serial(int64_t serial, const operation &op) {
    if (serial == 0) throw failure(op.label + ": refused by the library");
    if (serial < 0) throw failure(op.label + ": failed");
}

// Replaces every non-overlapping match, left to right, in one pass of the
// library that writes the result into a new checkpoint level (undone as one
// step). A stop signal cancels it through the progress callback.
void replace_all(skarn_session_struct *session, const operation &op) {
    progress_begin("replacing");
    const int64_t replaced =
        skarn_edit_replace_all(session, op.data.data(), static_cast<int64_t>(op.data.size()), op.replacement.data(),
                               static_cast<int64_t>(op.replacement.size()), 0, 0, 0);
    progress_finish();
    if (replaced < 0) {
        check_interrupted();
        throw failure(op.label + ": failed");
    }
}

void apply(skarn_session_struct *session, const operation &op) {
    const int64_t size = skarn_session_get_computed_file_size(session);
    const auto length = static_cast<int64_t>(op.data.size());
    switch (op.kind) {
        case op_kind::insert:
            if (op.offset > size) refuse_offset(op, size, false);
            check_serial(skarn_edit_insert_bytes(session, op.offset, op.data.data(), length), op);
            break;
        case op_kind::overwrite:
            if (op.offset > size) refuse_offset(op, size, false);
            check_serial(skarn_edit_overwrite_bytes(session, op.offset, op.data.data(), length), op);
            break;
        case op_kind::erase:
            if (op.offset >= size) refuse_offset(op, size, true);
            check_serial(skarn_edit_delete(session, op.offset, op.length), op);
            break;
        case op_kind::replace: replace_all(session, op); break;
        case op_kind::upper:
        case op_kind::lower: {
            if (op.offset >= size) refuse_offset(op, size, true);
            // A range reaching past the end is cut there, as deletes are.
            const int64_t range = op.length == 0 ? 0 : std::min(op.length, size - op.offset);
            if (skarn_edit_apply_transform(session, op.kind == op_kind::upper ? to_upper : to_lower, nullptr, op.offset,
                                           range) != 0) {
                throw failure(op.label + ": failed");
            }
            break;
        }
    }
}

std::string describe_save_error(int code) {
    switch (code) {
        case -2: return std::strerror(ENOENT);
        case -3: return std::strerror(ENAMETOOLONG);
        case -4:
        case -5: return "cannot create a temporary file beside it";
        case -6:
        case -7: return "cannot write the content";
        case -8:
        case -9: return "the written size does not match the content";
        case -10: return "cannot remove the existing file";
        case -11: return "no free numbered name";
        case -12: return "cannot rename the temporary file into place";
        case -16: return "it is read through a copy, so it cannot be written in place (--by-rename can)";
        case -17: return "a block device cannot change size";
        default: return "error " + std::to_string(code);
    }
}

// Why an in-place save failed with the journal's results: -18 left the file
// as it was, -19 left a complete journal that recovery applies.
std::string in_place_failure_reason(int code, const std::string &path) {
    const std::string reason = library_system_reason();
    if (code == -19) {
        return "the file could not be brought to the new content" + with_reason(reason) +
               "; its journal stays and 'skarn recover " + path + "' completes the save";
    }
    std::error_code error;
    const std::filesystem::path journal = journal_of(path);
    if (std::filesystem::is_symlink(journal, error) || std::filesystem::exists(journal, error)) {
        return "its journal " + in_quotes(journal.string()) +
               " exists: another save of it is under way, or one was cut short ('skarn recover " + path +
               "' ends it); the file is unchanged";
    }
    return "cannot write its journal or make room for the new length" + with_reason(reason) + "; the file is unchanged";
}

// The reason a save failed, in the system's words where it gave some.
std::string save_failure_reason(int code, const std::string &target, int64_t size) {
    if (code == -18 || code == -19) return in_place_failure_reason(code, target);
    if (std::string reason = library_system_reason(); !reason.empty()) return reason;
    if (code >= -9 && code <= -4) {
        // A short write does not always leave the system's reason in the log;
        // a full disk is the usual one.
        std::error_code error;
        std::filesystem::path directory = std::filesystem::path(target).parent_path();
        if (directory.empty()) directory = ".";
        const auto space = std::filesystem::space(directory, error);
        if (!error && space.available < static_cast<uintmax_t>(size)) return std::strerror(ENOSPC);
    }
    if (code == -12) {
        // The library never replaces a device, FIFO or socket by a file.
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(target, error);
        if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
            !std::filesystem::is_directory(status)) {
            return "not a regular file (a device, FIFO or socket is never replaced)";
        }
    }
    return describe_save_error(code);
}

// Where -o OUT writes: OUT/<FILE's name> for an existing directory, as cp
// does; OUT's directory must exist, it is not created.
std::string resolve_output(const std::string &output, const std::string &input, bool from_stdin) {
    namespace fs = std::filesystem;
    std::error_code error;
    std::string target = output;
    if (fs::is_directory(output, error)) {
        if (from_stdin) {
            throw failure("cannot name the output in directory " + in_quotes(output) +
                          " for standard input; give a file name");
        }
        target = (fs::path(output) / fs::path(input).filename()).string();
    } else if (!output.empty() && output.back() == '/') {
        throw failure("cannot save to " + in_quotes(output) + ": " +
                      std::strerror(fs::exists(fs::path(output).parent_path(), error) ? ENOTDIR : ENOENT));
    }
    fs::path directory = fs::path(target).parent_path();
    if (directory.empty()) directory = ".";
    const fs::file_status status = fs::status(directory, error);
    if (!fs::exists(status)) throw failure("cannot save to " + in_quotes(target) + ": " + std::strerror(ENOENT));
    if (!fs::is_directory(status)) throw failure("cannot save to " + in_quotes(target) + ": " + std::strerror(ENOTDIR));
    if (fs::is_directory(target, error)) {
        throw failure("cannot save to " + in_quotes(target) + ": " + std::strerror(EISDIR));
    }
    return target;
}

failure changed_on_disk(const std::string &path) {
    return failure("refusing to overwrite " + in_quotes(path) +
                   ": it changed on disk after it was opened (--force overrides)");
}

}  // namespace

int run_edit(std::span<char *const> args) {
    const command_line cl = parse_command_line(args, edit_options, file_operand);
    if (cl.help) return show_help(edit_help);
    const bool in_place = cl.has("--in-place");
    const bool by_rename = cl.has("--by-rename");
    const bool force = cl.has("--force");
    const std::string_view *output = cl.value("--output");
    if (in_place && output != nullptr) throw usage_error("give either -o OUT or --in-place, not both");
    if (!in_place && output == nullptr) throw usage_error("missing -o OUT or --in-place");
    if (by_rename && !in_place) throw usage_error("--by-rename goes with --in-place");
    if (output != nullptr && output->empty()) throw usage_error("empty OUT");
    std::vector<operation> operations;
    for (const parsed_option &option : cl.options) {
        if (option.name != "--output" && option.name != "--in-place" && option.name != "--by-rename" &&
            option.name != "--force") {
            operations.push_back(parse_operation(option));
        }
    }
    if (operations.empty()) throw usage_error("no operation given");

    const std::string path(cl.operands[0]);
    const bool to_stdout = output != nullptr && *output == standard_stream;
    if (in_place && path == standard_stream) throw usage_error("--in-place needs a FILE, not standard input");
    // Told without opening the pipe, which would wait for a writer and take its data.
    if (in_place && input_kind_of(path) == input_kind::pipe) {
        throw failure("cannot edit " + in_quotes(path) + " in place: it is a pipe, not a regular file");
    }
    if (to_stdout && force) throw usage_error("--force has no use with -o -");
    // In place without --by-rename: written into FILE itself through the journal.
    const bool into_file = in_place && !by_rename;
    const int flags =
        (in_place ? (force ? IO_FLG_FORCE_OVERWRITE : IO_FLG_OVERWRITE) : (force ? IO_FLG_OVERWRITE : IO_FLG_NONE)) |
        (into_file ? IO_FLG_IN_PLACE : IO_FLG_NONE);
    // Checked before the work, so that a wrong OUT costs no time.
    const std::string target = in_place    ? path
                               : to_stdout ? std::string()
                                           : resolve_output(std::string(*output), path, path == standard_stream);
    const session_handle session(path);
    std::error_code error;
    // Content from standard input or a pipe (whose mode only says who may
    // open it) gets what a shell's "> OUT" would give it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    auto permissions = static_cast<std::filesystem::perms>(0666 & ~mask);
    if (!session.from_stream()) {
        permissions = std::filesystem::status(path, error).permissions();
        if (error) throw failure("cannot read the permissions of " + in_quotes(path) + ": " + error.message());
    }
    for (const operation &op : operations) {
        check_interrupted();
        apply(session.get(), op);
    }
    check_interrupted();

    if (to_stdout) {
        write_content_to_output(session.get());
        return exit_ok;
    }

    const bool target_existed = std::filesystem::exists(target, error);
    char saved[260] = {};
    progress_begin("saving");
    forget_library_failure();
    const int result = skarn_edit_save(session.get(), target.c_str(), flags, saved);
    progress_finish();
    // -14: the same refusal from a session that reads FILE itself.
    if (result == -100 || result == -14) {
        throw changed_on_disk(path);
    }
    // -13: the save was cancelled on a signal.
    if (result == -13) check_interrupted();
    if (result != 0) {
        throw failure("cannot save to " + in_quotes(target) + ": " +
                      save_failure_reason(result, target, session.size()));
    }
    const std::string written = saved[0] != '\0' ? saved : target;
    // A signal during the save: the result is taken back when it is a new
    // file; a file written over cannot be, and stays complete. The library
    // names the file it wrote in its own way (an absolute path), so the file
    // written over is told by its identity, not by its name.
    std::error_code same_error;
    const bool written_over = target_existed && std::filesystem::equivalent(written, target, same_error);
    if (pending_signal() != 0 && !written_over) {
        std::filesystem::remove(written, error);
        check_interrupted();
    }
    // The library creates files readable by their owner only; the result gets
    // FILE's permissions. A file written into keeps its own (and may belong
    // to someone else).
    if (!into_file) {
        std::filesystem::permissions(written, permissions, error);
        if (error) {
            throw failure("saved " + in_quotes(written) + " but cannot set its permissions: " + error.message());
        }
    }
    write_output("saved: " + written + "\nsize: " + std::to_string(session.size()) + "\n");
    flush_output();
    return exit_ok;
}

}  // namespace skarn_cli
