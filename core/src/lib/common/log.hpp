// The library's one logging facility, and the thread's record of its last
// failure. Every message is one line:
//   <source file name>@<line>::<function>: <message>
// where <function> is the exported function whose call wrote it (the inner
// one when one calls another), set once by the interface scope it opens. Lines go to std::clog, or for the
// utility functions to stderr (written with "%s@%d::%s: %s\n"), unless the
// host set a log callback, which then receives every line without its end.
//
// Invariants kept here:
// 1. A line names the innermost open interface scope's function; with none
//    open (a white-box test calling an internal routine) the routine's own.
// 2. Only the outermost scope of a thread, the call the host made, records a
//    failure; calls the library makes to its own exported functions add
//    their lines to it. A callback the library calls runs outside the scopes
//    of the call that called it (host_callback), so its own calls record.
// 3. The cause of a failure is the first line the call wrote; its system
//    reason the first errno reported with system_error_line().
#ifndef SKARN_COMMON_LOG_HPP
#define SKARN_COMMON_LOG_HPP

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <type_traits>

#include "skarn_edit/error.h"

namespace skarn::log {

// Where an interface scope's lines go by default.
enum class stream { log, error };

// Writes one line built from `message`, under the innermost scope's function
// (or `fallback` outside every scope), to `where`, or with none to that
// scope's stream (the log stream outside every scope).
void write(const char *file, int line, const char *fallback, const stream *where, const std::string &message) noexcept;

// "Windows error code=<errno>: <strerror(errno)>": the system error line,
// built from the host's last error (errno here). Building it reports `code`
// as the running call's system reason, unless one was reported before.
std::string system_error_line(int code = errno);

// Opened by an exported function for the length of its call.
class interface_scope {
public:
    interface_scope(const char *function, stream where) noexcept;
    ~interface_scope();
    interface_scope(const interface_scope &) = delete;
    interface_scope &operator=(const interface_scope &) = delete;

    // The call returns `result`: the outermost scope records the failure when
    // the call wrote a line, unless `succeeded` says the line only informed.
    void finish(int64_t result, bool succeeded = false) noexcept;
    const char *function() const noexcept { return function_; }
    stream where() const noexcept { return where_; }

private:
    const char *function_;
    stream where_;
    interface_scope *outer_;
};

// What one call of the host has written so far.
struct call_record {
    bool wrote = false;     // a line
    std::string cause;      // the first line's message
    int32_t sys_errno = 0;  // the first system reason reported
};

// Held while the library runs a host callback: calls from inside it are the
// host's own, with scopes and failures of their own, and the call that runs
// the callback goes on with what it had written before.
class host_callback {
public:
    host_callback() noexcept;
    ~host_callback();
    host_callback(const host_callback &) = delete;
    host_callback &operator=(const host_callback &) = delete;

private:
    interface_scope *saved_scope_;
    call_record saved_call_;
};

// The calling thread's last failure, or null; forgetting it; the host's log
// callback (null: the standard streams).
const skarn_error_struct *last_failure() noexcept;
void clear_failure() noexcept;
void set_callback(skarn_log_cbk_t function, void *user_data) noexcept;

// A result as the failure record keeps it: a handle as 0 (null) or 1.
template <typename R>
int64_t result_value(R result) noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return result == nullptr ? 0 : 1;
    } else {
        return static_cast<int64_t>(result);
    }
}

// Whether `result` says the call succeeded whatever it logged: a handle that
// is not null. (A call returning a number writes lines only when it fails.)
template <typename R>
bool plainly_succeeded(R result) noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return result != nullptr;
    } else {
        return false;
    }
}

// Runs `body`, the work of the exported function `function`, inside its
// interface scope: an exception ends the call with `on_exception`.
template <typename Body, typename R = std::invoke_result_t<Body>>
R call(const char *function, stream where, R on_exception, Body &&body) noexcept {
    interface_scope scope(function, where);
    R result = on_exception;
    try {
        result = body();
    } catch (...) {
        result = on_exception;
    }
    scope.finish(result_value(result), plainly_succeeded(result));
    return result;
}

// The same for a function that returns nothing.
template <typename Body>
void call_void(const char *function, stream where, Body &&body) noexcept {
    call(function, where, 0, [&] {
        body();
        return 0;
    });
}

}  // namespace skarn::log

// A line to `where` (a pointer to a stream, or null for the scope's),
// built with stream insertions.
#define SKARN_LOG_LINE_(where, message)                                                        \
    do {                                                                                       \
        try {                                                                                  \
            std::ostringstream skarn_log_stream_;                                              \
            skarn_log_stream_ << message;                                                      \
            ::skarn::log::write(__FILE__, __LINE__, __func__, where, skarn_log_stream_.str()); \
        } catch (...) {                                                                        \
        }                                                                                      \
    } while (0)

// SKARN_LOG("expected: " << n): a line to the scope's stream.
#define SKARN_LOG(message) SKARN_LOG_LINE_(nullptr, message)

// A line to `where`, whatever the scope's stream.
#define SKARN_LOG_TO(where, message)                         \
    do {                                                     \
        const ::skarn::log::stream skarn_log_where_ = where; \
        SKARN_LOG_LINE_(&skarn_log_where_, message);         \
    } while (0)

// Internal faults: a broken invariant of the model. Log, then end the process.
#define SKARN_FATAL(message) \
    do {                     \
        SKARN_LOG(message);  \
        std::abort();        \
    } while (0)

#endif  // SKARN_COMMON_LOG_HPP
