// The library's log lines and failures; see library_log.hpp.
#include "library_log.hpp"

#include <skarn_edit.h>

#include <cstring>

namespace skarn_cli {

namespace {

std::string &kept_lines() {
    static std::string lines;
    return lines;
}

// The library calls this for each line instead of writing it out. A line
// that does not fit in memory is dropped: no exception may cross the library.
extern "C" void keep_log_line(const char *line, void * /*user_data*/) {
    try {
        kept_lines().append(line).append(1, '\n');
    } catch (...) {
    }
}

}  // namespace

void capture_library_log() { skarn_set_log_callback(keep_log_line, nullptr); }

std::string library_log() { return kept_lines(); }

void forget_library_log_since(size_t size) {
    if (size < kept_lines().size()) kept_lines().resize(size);
}

void forget_library_failure() { skarn_error_clear(); }

std::string library_failure_cause() {
    const skarn_error_struct *last = skarn_error_last();
    if (last == nullptr || last->message == nullptr) return {};
    return last->message;
}

std::string library_system_reason() {
    const skarn_error_struct *last = skarn_error_last();
    if (last == nullptr || last->sys_errno <= 0) return {};
    return std::strerror(last->sys_errno);
}

}  // namespace skarn_cli
