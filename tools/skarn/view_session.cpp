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

// Records reach the disk at most a second after an edit; a process that
// dies loses nothing.
constexpr int32_t journal_sync_ms = 1000;

skarn_session_options_struct view_options() {
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = SESSION_OPT_IN_PLACE | SESSION_OPT_JOURNAL;
    options.progress_cbk = report_progress;
    options.journal_sync_ms = journal_sync_ms;
    return options;
}

}  // namespace

void check_openable(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw failure("cannot open " + in_quotes(path) + ": " + std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw failure("cannot open " + in_quotes(path) + ": it is a directory");
    if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
        throw failure("cannot open " + in_quotes(path) + ": not a regular file or a block device");
    }
}

void set_view_progress(view_progress progress) { progress_target() = std::move(progress); }

skarn_session_struct *open_view_session(const std::string &path) {
    check_openable(path);
    const skarn_session_options_struct options = view_options();
    forget_library_failure();
    skarn_session_struct *session = skarn_edit_create_session_with_options(path.c_str(), &options);
    if (session == nullptr) {
        const std::string cause = library_failure_cause();
        throw failure("cannot open " + in_quotes(path) + (cause.empty() ? "" : ": " + cause));
    }
    return session;
}

std::string left_journal(const std::string &path) {
    char journal[SKARN_PATH_BUFFER_SIZE] = {};
    return skarn_util_find_journal(path.c_str(), nullptr, journal) == 1 ? std::string(journal) : std::string();
}

skarn_session_struct *resume_view_session(const std::string &journal, std::string &why) {
    const skarn_session_options_struct options = view_options();
    forget_library_failure();
    skarn_session_struct *session = skarn_edit_resume_session(journal.c_str(), &options);
    if (session == nullptr) why = library_failure_cause();
    return session;
}

}  // namespace skarn_cli
