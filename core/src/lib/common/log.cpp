// The log facility: formatting a line, choosing its destination, the host's
// log callback, and each thread's interface scopes and last failure.
#include "impl_/log.hpp"

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

// What a thread knows of the call the host is making and of its last failure.
struct thread_state {
    interface_scope *innermost = nullptr;
    call_record call;     // of the call the host is making
    bool failed = false;  // `last` holds a failure
    skarn_error_struct last{};
    std::string last_message;
};

thread_state &state() noexcept {
    thread_local thread_state instance;
    return instance;
}

void deliver(const char *file, int line, const char *function, stream where, const std::string &message) noexcept {
    try {
        thread_state &thread = state();
        if (thread.innermost != nullptr && !thread.call.wrote) {
            thread.call.wrote = true;
            thread.call.cause = message;
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

void write(const char *file, int line, const char *fallback, const std::string &message) noexcept {
    const interface_scope *scope = state().innermost;
    if (scope == nullptr) {
        deliver(file, line, fallback, stream::log, message);
    } else {
        deliver(file, line, scope->function(), scope->where(), message);
    }
}

void write_to(const char *file, int line, const char *fallback, stream where, const std::string &message) noexcept {
    const interface_scope *scope = state().innermost;
    deliver(file, line, scope == nullptr ? fallback : scope->function(), where, message);
}

void write_as(const char *file, int line, const char *function, stream where, const std::string &message) noexcept {
    deliver(file, line, function, where, message);
}

std::string system_error_line(int code) {
    thread_state &thread = state();
    if (thread.innermost != nullptr && thread.call.sys_errno == 0) thread.call.sys_errno = code;
    std::string text = "Windows error code=";
    text += std::to_string(static_cast<unsigned>(code));
    text += ": ";
    text += std::strerror(code);
    return text;
}

interface_scope::interface_scope(const char *function, stream where) noexcept
    : function_(function), where_(where), outer_(state().innermost) {
    thread_state &thread = state();
    if (outer_ == nullptr) thread.call = call_record{};
    thread.innermost = this;
}

interface_scope::~interface_scope() { state().innermost = outer_; }

void interface_scope::finish(int64_t result) noexcept {
    thread_state &thread = state();
    if (outer_ != nullptr || !thread.call.wrote) return;
    thread.last_message.swap(thread.call.cause);
    thread.last = {result, thread.call.sys_errno, function_, thread.last_message.c_str()};
    thread.failed = true;
}

host_callback::host_callback() noexcept : saved_scope_(state().innermost) {
    thread_state &thread = state();
    saved_call_.cause.swap(thread.call.cause);
    saved_call_.wrote = thread.call.wrote;
    saved_call_.sys_errno = thread.call.sys_errno;
    thread.innermost = nullptr;
}

host_callback::~host_callback() {
    thread_state &thread = state();
    thread.innermost = saved_scope_;
    thread.call.cause.swap(saved_call_.cause);
    thread.call.wrote = saved_call_.wrote;
    thread.call.sys_errno = saved_call_.sys_errno;
}

const skarn_error_struct *last_failure() noexcept {
    const thread_state &thread = state();
    return thread.failed ? &thread.last : nullptr;
}

void clear_failure() noexcept {
    thread_state &thread = state();
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
