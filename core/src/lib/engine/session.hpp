// The session record: everything made in a session hangs from it.
#ifndef SKARN_ENGINE_SESSION_HPP
#define SKARN_ENGINE_SESSION_HPP

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "skarn_edit/options.h"
#include "skarn_edit/types.h"
#include "engine/file_map.hpp"
#include "engine/level.hpp"
#include "common/log.hpp"
#include "engine/progress.hpp"
#include "io/session_journal.hpp"
#include "io/spill_file.hpp"

namespace skarn {
// Bits of skarn_session_struct::flags.
constexpr uint8_t flag_viewport_callbacks_paused = 0x01;
constexpr uint8_t flag_changes_paused = 0x02;
constexpr uint8_t flag_transaction_open = 0x04;
constexpr uint8_t flag_transaction_has_change = 0x08;
constexpr uint8_t transaction_flags = flag_transaction_open | flag_transaction_has_change;
}  // namespace skarn

struct skarn_session_struct {
    // First, so that they go last: the changes of every other member may
    // show bytes they hold. A journaled session keeps the bytes of its
    // edits in its journal; any other, those of its large edits in its spill file.
    std::unique_ptr<skarn::session_journal> journal;
    std::unique_ptr<skarn::spill_file> spill;
    skarn_session_event_cbk_t event_cbk = nullptr;
    void *user_data_ptr = nullptr;
    int32_t event_interest = 0;
    std::vector<std::shared_ptr<skarn_viewport_struct>> viewports;              // creation order
    std::vector<std::shared_ptr<skarn_search_context_struct>> search_contexts;  // creation order
    std::vector<std::unique_ptr<skarn_model_struct>> models;                    // base level first; never empty
    int64_t num_changes_adjustment = 0;  // changes counted at the levels below the current one
    uint8_t flags = 0;
    std::string checkpoint_directory;      // absolute and normalised
    std::string original_checkpoint_path;  // the private copy of the caller's file; empty without one
    skarn::file_identity caller_file;      // the caller's file as copied, or as last saved over
    skarn::caller_file_map file_map;       // what the caller's file holds, while it is as caller_file says
    // Callbacks of this session (its event callback or a viewport's) running
    // right now. While it is above 0, calls that would change the content,
    // the history, the levels or the lists being walked are refused.
    mutable int32_t callback_depth = 0;
    skarn_progress_cbk_t progress_cbk = nullptr;  // told the progress of long operations; may cancel them
    void *progress_user_data = nullptr;
    // The meter of the operation that a checkpoint runs for (a transform);
    // null when a checkpoint reports as one of its own.
    skarn::progress_meter *enclosing_progress = nullptr;

    skarn_model_struct &current() noexcept { return *models.back(); }
    const skarn_model_struct &current() const noexcept { return *models.back(); }
    skarn_model_struct &base() noexcept { return *models.front(); }
    const skarn_model_struct &base() const noexcept { return *models.front(); }

    int64_t num_changes() const noexcept {
        return static_cast<int64_t>(current().changes.size()) + num_changes_adjustment;
    }
    bool has_flag(uint8_t flag) const noexcept { return (flags & flag) != 0; }
    bool in_callback() const noexcept { return callback_depth > 0; }
    // The tag in the names of the session's files: a journaled session's
    // files stay until its journal goes, so they are not named as those that
    // an abandoned session's directory sweep removes, and carry the name of
    // their journal.
    const char *file_tag() const noexcept { return journal != nullptr ? journal->file_tag() : ""; }

    // A meter for one long operation of this session.
    skarn::progress_meter progress(int32_t operation, int64_t total) const noexcept {
        return {progress_cbk, progress_user_data, operation, total, &callback_depth};
    }
};

namespace skarn {
// Writes a record of `op` to the session's journal, if it has one: false
// (logged) when that fails, and the operation must then be refused.
inline bool record_in_journal(skarn_session_struct *session, journal_op op, uint8_t kind = 0) noexcept {
    return session->journal == nullptr || session->journal->record(op, kind);
}

// Counts one running callback of `session` for as long as it lives.
class callback_scope {
public:
    explicit callback_scope(const skarn_session_struct *session) noexcept : session_(session) {
        ++session_->callback_depth;
    }
    ~callback_scope() { --session_->callback_depth; }
    callback_scope(const callback_scope &) = delete;
    callback_scope &operator=(const callback_scope &) = delete;

private:
    const skarn_session_struct *session_;
    log::host_callback host_;  // the callback's own calls are the host's
};
}  // namespace skarn

#endif  // SKARN_ENGINE_SESSION_HPP
