// The log facility: formatting a line, choosing its destination, the host's
// log callback, and each thread's interface scopes and last failure.
#include "common/log.hpp"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>

#include "skarn_edit/error.h"

namespace skarn::log {
namespace {

// The part of a built-in source path after its last '/'.
const char *base_name(const char *path) noexcept {
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// The host's log callback, shared by every thread.
struct log_callback {
    std::mutex lock;
    skarn_log_cbk_t function = nullptr;
    void *user_data = nullptr;
};

log_callback &callback() noexcept {
    static log_callback instance;
    return instance;
}

// What the scopes of a thread need on every call: kept trivial and in the
// static TLS block, so that opening and closing a scope costs a few stores.
struct scope_state {
    interface_scope *innermost;
    bool wrote;  // the running call wrote a line
    int32_t sys_errno;
};
__attribute__((tls_model("initial-exec"))) constinit thread_local scope_state scopes{nullptr, false, 0};

// The rest of what a thread knows, touched only when a line is written or a
// failure recorded.
struct failure_state {
    std::string cause;    // the running call's first line
    bool failed = false;  // `last` holds a failure
    skarn_error_struct last{};
    std::string last_message;
};

failure_state &failures() noexcept {
    thread_local failure_state instance;
    return instance;
}

void deliver(const char *file, int line, const char *function, stream where, const std::string &message) noexcept {
    try {
        if (scopes.innermost != nullptr && !scopes.wrote) {
            scopes.wrote = true;
            failures().cause = message;
        }
        std::string text = base_name(file);
        text += '@';
        text += std::to_string(line);
        text += "::";
        text += function;
        text += ": ";
        text += message;
        log_callback &host = callback();
        {
            const std::lock_guard<std::mutex> held(host.lock);
            if (host.function != nullptr) {
                host.function(text.c_str(), host.user_data);
                return;
            }
        }
        if (where == stream::error) {
            std::fprintf(stderr, "%s\n", text.c_str());
        } else {
            std::clog << text << std::endl;
        }
    } catch (...) {
        // Logging never throws out of the library.
    }
}

}  // namespace

void write(const char *file, int line, const char *fallback, const stream *where, const std::string &message) noexcept {
    const interface_scope *scope = scopes.innermost;
    const stream chosen = where != nullptr ? *where : scope != nullptr ? scope->where() : stream::log;
    deliver(file, line, scope != nullptr ? scope->function() : fallback, chosen, message);
}

std::string system_error_line(int code) {
    if (scopes.innermost != nullptr && scopes.sys_errno == 0) scopes.sys_errno = code;
    std::string text = "Windows error code=";
    text += std::to_string(static_cast<unsigned>(code));
    text += ": ";
    text += std::strerror(code);
    return text;
}

interface_scope::interface_scope(const char *function, stream where) noexcept
    : function_(function), where_(where), outer_(scopes.innermost) {
    if (outer_ == nullptr) {
        scopes.wrote = false;
        scopes.sys_errno = 0;
    }
    scopes.innermost = this;
}

interface_scope::~interface_scope() { scopes.innermost = outer_; }

void interface_scope::finish(int64_t result, bool succeeded) noexcept {
    if (outer_ != nullptr || !scopes.wrote || succeeded) return;
    failure_state &thread = failures();
    thread.last_message.swap(thread.cause);
    thread.last = {result, scopes.sys_errno, function_, thread.last_message.c_str()};
    thread.failed = true;
}

host_callback::host_callback() noexcept : saved_scope_(scopes.innermost) {
    saved_call_.wrote = scopes.wrote;
    saved_call_.sys_errno = scopes.sys_errno;
    if (scopes.wrote) saved_call_.cause.swap(failures().cause);
    scopes.innermost = nullptr;
}

host_callback::~host_callback() {
    scopes.innermost = saved_scope_;
    scopes.wrote = saved_call_.wrote;
    scopes.sys_errno = saved_call_.sys_errno;
    if (saved_call_.wrote) failures().cause.swap(saved_call_.cause);
}

const skarn_error_struct *last_failure() noexcept {
    const failure_state &thread = failures();
    return thread.failed ? &thread.last : nullptr;
}

void clear_failure() noexcept {
    failure_state &thread = failures();
    thread.failed = false;
    thread.last = {};
    thread.last_message.clear();
}

void set_callback(skarn_log_cbk_t function, void *user_data) noexcept {
    log_callback &host = callback();
    const std::lock_guard<std::mutex> held(host.lock);
    host.function = function;
    host.user_data = function != nullptr ? user_data : nullptr;
}

}  // namespace skarn::log
