// Opening the session of skarn view; see view_session.hpp.
#include "view_session.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "errors.hpp"
#include "library_log.hpp"
#include "values.hpp"

namespace skarn_cli {

namespace {

view_progress &progress_target() {
    static view_progress target;
    return target;
}

int report_progress(int32_t /*operation*/, int64_t done, int64_t total, void * /*user_data*/) {
    const view_progress &target = progress_target();
    return !target || target(done, total) ? 0 : 1;
}

// Refuses what the editor cannot show: a missing file, a directory, a pipe.
void check_openable(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw failure("cannot open " + in_quotes(path) + ": " + std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw failure("cannot open " + in_quotes(path) + ": it is a directory");
    if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
        throw failure("cannot open " + in_quotes(path) + ": not a regular file or a block device");
    }
}

}  // namespace

void set_view_progress(view_progress progress) { progress_target() = std::move(progress); }

skarn_session_struct *open_view_session(const std::string &path) {
    check_openable(path);
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = SESSION_OPT_IN_PLACE;
    options.progress_cbk = report_progress;
    forget_library_failure();
    skarn_session_struct *session = skarn_edit_create_session_with_options(path.c_str(), &options);
    if (session == nullptr) {
        const std::string cause = library_failure_cause();
        throw failure("cannot open " + in_quotes(path) + (cause.empty() ? "" : ": " + cause));
    }
    return session;
}

}  // namespace skarn_cli
