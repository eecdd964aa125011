// The library's log lines; see library_log.hpp.
#include "library_log.hpp"

#include <stdio.h>
#include <stdlib.h>

#include <charconv>
#include <cstring>
#include <iostream>
#include <sstream>

namespace skarn_cli {

namespace {

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

}  // namespace

void capture_library_log() {
    library_stderr();  // from here on the library's stderr lines are kept
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

}  // namespace skarn_cli
