// Resuming a session from its journal: the base level opened again as the
// journal's header says, then every whole record replayed through the same
// engine calls that made it, with the journal only echoing the bytes it
// already holds.
//
// Invariants kept here:
// 1. Replaying a record does what the recorded call did: the engine is
//    deterministic given the same state, so the same serials, counts,
//    levels and transaction state follow. A record whose replay does not
//    succeed means the journal is not this library's own: resuming is refused.
// 2. Nothing is told to the host while replaying (no event, no progress).
// 3. The resumed session is handed out only once the caller's file is
//    found as the journal last recorded it.
// 4. A transform is one call: a journal that ends between its checkpoint
//    and its end resumes without either.
#include "engine/session_resume.hpp"

#include <memory>
#include <string>

#include "engine/checkpoints.hpp"
#include "engine/history.hpp"
#include "engine/levels.hpp"
#include "engine/save_plan.hpp"
#include "engine/session_open.hpp"
#include "engine/splice.hpp"
#include "common/log.hpp"
#include "io/private_copy.hpp"
#include "io/private_files.hpp"
#include "io/session_journal.hpp"
#include "skarn_edit.hpp"

namespace skarn {
namespace {

// The base level as the journal's header describes it: its private copy,
// or the caller's file read in place. False, logged, on failure.
bool reopen_base(const journal_header &header, skarn_model_struct &base) {
    if (header.file_path.empty()) return true;
    base.file_path = header.file_path;
    if (header.base_path.empty()) {
        // Read in place: the file must still be as the journal last
        // recorded it, which is checked once its saves are replayed.
        unique_fd file = open_in_place(header.file_path.c_str());
        if (!file.valid() || !base.file.adopt(std::move(file))) {
            SKARN_LOG("cannot open '" << header.file_path << "', read in place by the journal's session");
            return false;
        }
        base.in_place = true;
        base.identity = header.identity;
        base.original_size = header.identity.size;
        return true;
    }
    unique_fd copy = open_kept_file(header.base_path);
    return copy.valid() && base.file.adopt(std::move(copy));
}

// What a save over the file an in-place base level reads did to the level.
bool replay_base_update(skarn_model_struct &base, const journal_save &save) {
    if (save.base_lost) {
        SKARN_LOG("the journal's session saved over the file it read in place, whose old content is gone");
        return false;
    }
    if (!save.base_path.empty()) {
        unique_fd old_file = open_kept_file(save.base_path);
        if (!old_file.valid() || !base.file.adopt(std::move(old_file))) return false;
    }
    if (save.kept_path.empty()) {
        base.file.kept.reset();
        base.file.kept_path.clear();
    } else if (save.kept_path != base.file.kept_path) {
        // The next in-place save appends the bytes it destroys.
        base.file.kept = open_kept_file(save.kept_path, true);
        if (!base.file.kept.valid()) return false;
        base.file.kept_path = save.kept_path;
    }
    base.file.kept_size = save.kept_size;
    base.file.view = save.view;
    base.identity = save.base_identity;
    if (save.rebased) {
        base.original_size = save.original_size;
        reset_pieces(base, base.original_size);
    }
    return true;
}

// Replays one record (invariant 1): true when it did what it did first.
bool replay(skarn_session_struct *session, const journal_record &record) {
    switch (record.op) {
        case journal_op::edit: return edit(session, record.kind, record.offset, record.bytes, record.length) > 0;
        case journal_op::undo: return undo(session) != 0;
        case journal_op::redo: return redo(session) != 0;
        case journal_op::clear: return clear_history(session) == 0;
        case journal_op::transaction:
            session->flags =
                static_cast<uint8_t>((session->flags & ~transaction_flags) | (record.kind & transaction_flags));
            return true;
        case journal_op::checkpoint: return replay_checkpoint(session, std::string(record.path)) == 0;
        case journal_op::transform: return replay_transform(session, std::string(record.path)) == 0;
        case journal_op::destroy_checkpoint: return destroy_last_checkpoint(session) == 0;
        case journal_op::transform_failed: return true;
        case journal_op::replaced: return replay_checkpoint(session, std::string(record.path), false) == 0;
        case journal_op::save:
            if (record.save.base_updated && !replay_base_update(session->base(), record.save)) return false;
            session->caller_file = record.save.identity;
            remember_saved_content(*session, record.save.offset, record.save.length);
            return true;
    }
    return false;
}

// Invariant 3: the caller's file is as the journal last recorded it.
bool caller_file_unchanged(const skarn_session_struct &session, const std::string &file_path) {
    if (file_path.empty()) return true;
    if (identity_of(file_path.c_str()) == session.caller_file) return true;
    SKARN_LOG("'" << file_path << "' has changed since the session journal last recorded it");
    return false;
}

}  // namespace

skarn_session_struct *resume_session(const char *journal_path, const skarn_session_options_struct &options) {
    std::unique_ptr<session_journal> journal = session_journal::open(journal_path, options.journal_sync_ms);
    if (journal == nullptr) return nullptr;
    const journal_header header = journal->header();
    skarn_session_options_struct own = options;
    own.flags = header.options_flags;
    const std::string directory = directory_of(journal->path());
    std::unique_ptr<skarn_session_struct> session = new_session_record(own, directory.c_str());
    auto base = std::make_unique<skarn_model_struct>();
    if (!reopen_base(header, *base)) return nullptr;
    const int64_t size = base->in_place ? base->original_size : base->file.size;
    session->caller_file = header.identity;
    if (header.identity.known) session->file_map.reset_to_base(size);
    session->original_checkpoint_path = header.base_path;
    reset_pieces(*base, size);
    push_level(session.get(), std::move(base));
    if (!header.base_path.empty()) journal->keep_file(header.base_path);

    // Invariant 2: the callbacks are the host's once the session is handed out.
    session->event_cbk = nullptr;
    session->progress_cbk = nullptr;
    session->journal = std::move(journal);
    session->journal->set_replaying(true);
    int64_t replayed = 0;
    bool in_transform = false;  // the last record is a transform's checkpoint
    bool whole = session->journal->read_records([&](const journal_record &record) {
        ++replayed;
        in_transform = record.op == journal_op::checkpoint && record.kind == 1;
        return replay(session.get(), record);
    });
    // A transform the process died in never returned: its checkpoint goes.
    if (whole && in_transform) whole = destroy_last_checkpoint(session.get()) == 0;
    session->journal->set_replaying(false);
    if (!whole) {
        SKARN_LOG("record " << replayed << " of the session journal '" << journal_path
                            << "' does not replay: resuming refused");
        session->journal.reset();  // the journal stays for another try
        return nullptr;
    }
    if (!caller_file_unchanged(*session, header.file_path) || !session->base().file_intact()) {
        session->journal.reset();
        return nullptr;
    }
    session->journal->remove_unkept_files();  // made by the call the process died in
    session->event_cbk = options.event_cbk;
    session->progress_cbk = options.progress_cbk;
    skarn_session_notify(session.get(), SESSION_EVT_CREATE, nullptr);
    return session.release();
}

}  // namespace skarn
