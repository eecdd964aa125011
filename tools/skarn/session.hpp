// The session every subcommand works on: what a FILE operand names, and a
// session over it whose private copy lives in a temporary directory.
#pragma once

#include <skarn_edit.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace skarn_cli {

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

// The journal an in-place save of `path` keeps while it runs, and leaves when
// it is cut short: ".<name>.skarn-journal" beside the file a link leads to.
std::filesystem::path journal_of(const std::string &path);

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

}  // namespace skarn_cli
