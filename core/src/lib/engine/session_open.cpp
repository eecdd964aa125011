// Opening and closing a session: the checkpoint directory it works in, its
// base level over the caller's file (read in place or privately copied),
// and what it removes when it ends.
#include "engine/session_open.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "engine/levels.hpp"
#include "engine/splice.hpp"
#include "common/log.hpp"
#include "engine/search_context.hpp"
#include "engine/viewport.hpp"
#include "io/private_copy.hpp"
#include "io/private_files.hpp"
#include "io/save_journal.hpp"
#include "skarn_edit.hpp"

namespace skarn {
namespace {

// The longest checkpoint directory whose private file names still fit a path
// buffer: the longest of them, a checkpoint's, adds
// "/.Skarnpad-j.XXXXXX.chk.<level>.XXXXXX" (up to 45 characters) to the directory.
constexpr size_t longest_checkpoint_directory = SKARN_PATH_BUFFER_SIZE - 1 - 45;

// The host's temporary directory, or the empty string.
std::string temp_directory() {
    std::string dir;
    if (char *temp = skarn_util_get_temp_directory()) {
        dir = temp;
        std::free(temp);
    }
    return dir;
}

}  // namespace

// Chooses the checkpoint directory of a new session: the caller's, else the
// file's directory (the current directory for a bare file name), else the
// temporary directory, else the current directory. A file's directory too
// long for the names of the private files is replaced by the temporary
// directory; a directory the caller chose is kept as given.
std::string choose_checkpoint_directory(const char *file_path, const char *checkpoint_directory) {
    char buffer[SKARN_PATH_BUFFER_SIZE];
    if (checkpoint_directory != nullptr) return checkpoint_directory;
    if (file_path != nullptr && *file_path != '\0') {
        const char *dir = skarn_util_dirname(file_path, buffer);
        if (dir != nullptr && *dir == '\0') {
            const char *cwd = skarn_util_get_current_dir(buffer);
            return cwd != nullptr ? cwd : "";
        }
        if (dir != nullptr && std::strlen(dir) <= longest_checkpoint_directory) return dir;
        std::string temp = temp_directory();
        SKARN_LOG("directory of '" << file_path << "' too long for checkpoint names, using the temporary directory '"
                                   << temp << "'");
        return temp;
    }
    std::string temp = temp_directory();
    if (!temp.empty()) return temp;
    const char *cwd = skarn_util_get_current_dir(buffer);
    return cwd != nullptr ? cwd : "";
}

std::unique_ptr<skarn_session_struct> new_session_record(const skarn_session_options_struct &options,
                                                         const char *directory) {
    auto session = std::make_unique<skarn_session_struct>();
    session->event_cbk = options.event_cbk;
    session->user_data_ptr = options.user_data;
    session->event_interest = options.event_interest;
    session->progress_cbk = options.progress_cbk;
    session->progress_user_data = options.progress_user_data;
    session->checkpoint_directory = directory;
    if ((options.flags & SESSION_OPT_JOURNAL) == 0) session->spill = std::make_unique<spill_file>(directory);
    return session;
}

namespace {

// The base level's file: the caller's file read in place when the options
// ask and its size can be told, else a private copy in `directory`, kept in
// `copy`, named with `tag`. False, logged, on failure.
bool open_base_file(const char *file_path, const skarn_session_options_struct &options, const char *directory,
                    const char *tag, skarn_model_struct &base, scoped_private_file &copy, file_identity &identity) {
    if ((options.flags & SESSION_OPT_IN_PLACE) != 0) {
        if (unique_fd file = open_in_place(file_path); file.valid()) {
            // The level reads the caller's file through its own descriptor,
            // which must keep the identity it has now.
            if (!base.file.adopt(std::move(file))) {
                SKARN_LOG(log::system_error_line());
                return false;
            }
            base.in_place = true;
            base.identity = identity_of(base.file.fd());
            base.original_size = base.identity.size;
            identity = base.identity;
            return true;
        }
    }
    progress_meter progress(options.progress_cbk, options.progress_user_data, PROGRESS_OP_COPY, -1);
    if (!make_private_copy(file_path, directory, tag, copy, identity, progress)) return false;
    return base.file.adopt(copy.take_descriptor());
}

// Starts `journal` for a new session over `file_path` (null for none),
// whose base level is ready, and hands it to the session: false, logged, on failure.
bool start_journal(skarn_session_struct &session, std::unique_ptr<session_journal> journal, const char *file_path,
                   const skarn_session_options_struct &options) {
    journal_header header;
    header.options_flags = options.flags;
    header.identity = session.caller_file;
    skarn_model_struct &base = session.base();
    if (file_path != nullptr) {
        char absolute[SKARN_PATH_BUFFER_SIZE];
        if (skarn_util_normalize_path(file_path, absolute) == nullptr) {
            SKARN_LOG("failed to resolve '" << file_path << "' to an absolute path for the session journal");
            return false;
        }
        header.file_path = absolute;
        header.base_path = session.original_checkpoint_path;
    }
    // The journal names the private copy: it is whole on disk first.
    if (!header.base_path.empty() && options.journal_sync_ms != 0 && !base.file.sync()) {
        SKARN_LOG("cannot sync the private copy '" << header.base_path << "' for the session journal");
        SKARN_LOG(log::system_error_line());
        return false;
    }
    if (!journal->start(header)) return false;
    if (!header.base_path.empty()) journal->keep_file(header.base_path);
    session.journal = std::move(journal);
    return true;
}

}  // namespace

skarn_session_struct *create_session(const char *file_path, const skarn_session_options_struct &options) {
    const std::string directory = choose_checkpoint_directory(file_path, options.checkpoint_directory);
    if (!skarn_util_directory_exists(directory.c_str()) && skarn_util_create_directory(directory.c_str()) != 0) {
        SKARN_LOG("failed to create checkpoint directory '" << directory << "'");
        return nullptr;
    }
    char normalized[SKARN_PATH_BUFFER_SIZE];
    if (skarn_util_normalize_path(directory.c_str(), normalized) == nullptr) {
        SKARN_LOG("failed to resolve checkpoint_directory path '" << directory << "' to absolute path");
        return nullptr;
    }
    // Files that sessions killed on the way left here go before this
    // session adds its own.
    remove_abandoned_files(normalized);
    remove_abandoned_journal_files(normalized);
    // A journal comes first: the names of the session's files carry its own.
    std::unique_ptr<session_journal> journal;
    if ((options.flags & SESSION_OPT_JOURNAL) != 0) {
        journal = session_journal::create(normalized, options.journal_sync_ms);
        if (journal == nullptr) return nullptr;
    }

    auto base = std::make_unique<skarn_model_struct>();
    scoped_private_file copy;  // the private copy, removed unless the session is made
    file_identity identity;
    const bool has_file = file_path != nullptr && *file_path != '\0';
    // An in-place save of the file that was interrupted is finished or taken
    // back before anything reads the file.
    if (has_file && recover_file(file_path) == recovery_result::failed) {
        SKARN_LOG("'" << file_path << "' has an unfinished in-place save that could not be recovered");
        return nullptr;
    }
    if (has_file && !open_base_file(file_path, options, normalized, journal != nullptr ? journal->file_tag() : "",
                                    *base, copy, identity)) {
        return nullptr;
    }
    const int64_t size = base->in_place ? base->identity.size : base->file.size;

    std::unique_ptr<skarn_session_struct> session = new_session_record(options, normalized);
    session->caller_file = identity;
    if (identity.known) session->file_map.reset_to_base(size);
    if (has_file) {
        base->file_path = file_path;
        session->original_checkpoint_path = copy.path();
    }
    reset_pieces(*base, size);
    push_level(session.get(), std::move(base));
    if (journal != nullptr && !start_journal(*session, std::move(journal), has_file ? file_path : nullptr, options))
        return nullptr;
    copy.keep();  // the session removes it when it ends
    skarn_session_notify(session.get(), SESSION_EVT_CREATE, nullptr);
    return session.release();
}

void destroy_session(skarn_session_struct *session) noexcept {
    for (auto &level : session->models) level->close_file();
    while (!session->search_contexts.empty()) skarn_search_destroy_context(session->search_contexts.back().get());
    while (!session->viewports.empty()) skarn_edit_destroy_viewport(session->viewports.back().get());
    for (auto &level : session->models) {
        level->changes.clear();
        level->changes_undone.clear();
    }
    drop_levels_above_base(session);
    if (session->journal != nullptr) {
        session->journal->remove_all();  // with the private copy and every checkpoint file
    } else if (!session->original_checkpoint_path.empty() &&
               !remove_private_file(session->original_checkpoint_path.c_str())) {
        SKARN_LOG(log::system_error_line());
    }
    delete session;
}

}  // namespace skarn
