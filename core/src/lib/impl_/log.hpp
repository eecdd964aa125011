// The library's one logging facility. Every message is one line:
//   <source file name>@<line>::<function>: <message>
// The editing sources write to std::clog; the utility source writes the same
// line with "%s@%d::%s: %s\n" to stderr.
#ifndef SKARN_IMPL_LOG_HPP
#define SKARN_IMPL_LOG_HPP

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

namespace skarn::log {

// The part of a built-in source path after its last '/'.
constexpr const char *base_name(const char *path) noexcept {
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/') base = p + 1;
    }
    return base;
}

inline void to_clog(const char *file, int line, const char *func, const std::string &message) noexcept {
    try {
        std::clog << base_name(file) << '@' << line << "::" << func << ": " << message << std::endl;
    } catch (...) {
        // Logging never throws out of the library.
    }
}

inline void to_stderr(const char *file, int line, const char *func, const char *message) noexcept {
    std::fprintf(stderr, "%s@%d::%s: %s\n", base_name(file), line, func, message);
}

// "Windows error code=<errno>: <strerror(errno)>": the system error line, built
// from the host's last error (errno here).
inline std::string system_error_line(int code = errno) {
    std::string text = "Windows error code=";
    text += std::to_string(static_cast<unsigned>(code));
    text += ": ";
    text += std::strerror(code);
    return text;
}

}  // namespace skarn::log

// Builds the message with stream insertions: SKARN_LOG_AS(name, "expected: " << n)
// logs under the function name `name` (helpers that work for an exported
// function log under that function's name); SKARN_LOG under its own.
#define SKARN_LOG_AS(function, message)                                                   \
    do {                                                                                  \
        try {                                                                             \
            std::ostringstream skarn_log_stream_;                                         \
            skarn_log_stream_ << message;                                                 \
            ::skarn::log::to_clog(__FILE__, __LINE__, function, skarn_log_stream_.str()); \
        } catch (...) {                                                                   \
        }                                                                                 \
    } while (0)
#define SKARN_LOG(message) SKARN_LOG_AS(__func__, message)

// The utility source's form, to stderr.
#define SKARN_LOG_STDERR_AS(function, message)                                                      \
    do {                                                                                            \
        try {                                                                                       \
            std::ostringstream skarn_log_stream_;                                                   \
            skarn_log_stream_ << message;                                                           \
            ::skarn::log::to_stderr(__FILE__, __LINE__, function, skarn_log_stream_.str().c_str()); \
        } catch (...) {                                                                             \
        }                                                                                           \
    } while (0)
#define SKARN_LOG_STDERR(message) SKARN_LOG_STDERR_AS(__func__, message)

// Internal faults: a broken invariant of the model. Log, then end the process.
#define SKARN_FATAL(message) \
    do {                     \
        SKARN_LOG(message);  \
        std::abort();        \
    } while (0)

#endif  // SKARN_IMPL_LOG_HPP
