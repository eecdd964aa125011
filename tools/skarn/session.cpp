// The session handle; see session.hpp.
#include "session.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "errors.hpp"
#include "library_log.hpp"
#include "progress.hpp"
#include "signals.hpp"
#include "values.hpp"

namespace skarn_cli {

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

std::filesystem::path journal_of(const std::string &path) {
    std::error_code error;
    std::filesystem::path file = std::filesystem::canonical(path, error);
    if (error) file = path;
    // Appended piece by piece: GCC 12 at -O3 warns falsely about "." + name.
    std::string name = ".";
    name += file.filename().string();
    name += ".skarn-journal";
    return file.parent_path() / name;
}

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
    forget_library_failure();
    session_.reset(create_session(source, directory_.path));
    if (session_ == nullptr) {
        check_interrupted();  // a copy cancelled by a signal is no failure of its own
        // A journal beside FILE that the session could not recover first.
        std::error_code journal_error;
        if (!from_stream_ && std::filesystem::exists(journal_of(path), journal_error)) {
            const std::string cause = library_failure_cause();
            throw failure("cannot open " + in_quotes(path) + ": " +
                          (cause.empty()
                               ? "its journal " + in_quotes(journal_of(path).string()) + " cannot be recovered"
                               : cause));
        }
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

}  // namespace skarn_cli
