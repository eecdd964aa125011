// The change history of a session: edits applied to the current level,
// undo and redo by transaction, and clearing it all.
//
// Invariants kept here:
// 1. A change in force has a positive serial, an undone one its negative;
//    redo gives it back its positive serial.
// 2. A new edit ends all redo, on every level.
// 3. The changes of one transaction share a transaction bit that differs
//    from that of the transaction before; undo and redo take a whole one.
#include "engine/history.hpp"

#include <algorithm>
#include <cstring>

#include "engine/after_change.hpp"
#include "engine/levels.hpp"
#include "engine/reentry.hpp"
#include "engine/splice.hpp"
#include "engine/reader.hpp"
#include "common/log.hpp"
#include "engine/session.hpp"
#include "skarn_edit.hpp"

namespace skarn {

int64_t apply_change(skarn_session_struct *session, const change_ptr &change) {
    skarn_model_struct &model = session->current();
    if (change->offset > model.computed_size()) return -1;
    if (change->serial < 0) {
        change->serial = -change->serial;  // a redo
    } else if (!model.changes_undone.empty()) {
        for (auto &level : session->models) level->changes_undone.clear();  // a new edit ends all redo
    }
    model.changes.push_back(change);
    if (splice_in(model, change) != 0) return -1;
    after_change(session, change.get());
    skarn_session_notify(session, SESSION_EVT_EDIT, change.get());
    return change->serial;
}

bool next_transaction_bit(skarn_session_struct *session) {
    const bool last_bit = skarn_session_get_transaction_bit_(session) != 0;
    switch (skarn_session_get_transaction_state(session)) {
        case SESSION_TRANSACTION_NONE: return !last_bit;
        case SESSION_TRANSACTION_OPENED: session->flags |= flag_transaction_has_change; return !last_bit;
        case SESSION_TRANSACTION_IN_PROGRESS: return last_bit;
        default: SKARN_FATAL("Invalid transaction state");
    }
}

int64_t edit(skarn_session_struct *session, uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length) {
    if (session->has_flag(flag_changes_paused) || offset < 0) return 0;
    if (refuse_reentry(session)) return 0;
    const int64_t size = session->current().computed_size();
    if (kind == CHANGE_DELETE) {
        if (length <= 0 || offset >= size) return 0;
        length = std::min(length, size - offset);
    } else {
        if (length < 0 || offset > size) return 0;
        if (length == 0 && bytes != nullptr)
            length = static_cast<int64_t>(std::strlen(reinterpret_cast<const char *>(bytes)));
        if (length > 0 && bytes == nullptr) return 0;
    }
    const uint8_t *stored = nullptr;
    if (session->journal != nullptr && !session->journal->record_edit(kind, offset, bytes, length, &stored)) return -1;
    const bool transaction_bit = next_transaction_bit(session);
    const uint8_t full_kind = static_cast<uint8_t>(kind | (transaction_bit ? skarn_change_struct::transaction_bit : 0));
    spill_file *spill = session->journal == nullptr ? session->spill.get() : nullptr;
    return apply_change(session,
                        make_change(session->num_changes() + 1, full_kind, offset, bytes, length, spill, stored));
}

int64_t undo(skarn_session_struct *session) {
    if (session->has_flag(flag_changes_paused) || refuse_reentry(session)) return 0;
    skarn_model_struct &model = session->current();
    if (model.changes.empty()) return 0;
    if (!record_in_journal(session, journal_op::undo)) return -1;
    // One change at a time, newest first, until the transaction is undone:
    // each puts back the segments its change replaced.
    for (;;) {
        change_ptr change = std::move(model.changes.back());
        model.changes.pop_back();
        if (model.spliced == model.changes.size() + 1) {
            splice_out_last(model, change.get());
        } else {
            // Without the change's splice record (a model update that
            // failed halfway), the level is rebuilt from its file by
            // replaying the changes that remain.
            const int64_t size = model.file_size();
            if (size < 0) return -1;
            reset_pieces(model, size);
            for (const auto &remaining : model.changes) {
                if (splice_in(model, remaining) != 0) return -1;
            }
        }
        change->serial = -change->serial;
        model.changes_undone.push_back(change);
        after_change(session, change.get());
        skarn_session_notify(session, SESSION_EVT_UNDO, change.get());
        if (model.changes.empty() || model.changes.back()->transaction() != change->transaction()) {
            return change->serial;
        }
    }
}

int64_t redo(skarn_session_struct *session) {
    if (session->has_flag(flag_changes_paused) || refuse_reentry(session)) return 0;
    skarn_model_struct &model = session->current();
    if (model.changes_undone.empty()) return 0;
    if (!record_in_journal(session, journal_op::redo)) return -1;
    // Oldest change of the transaction first; the result is the newest's.
    for (;;) {
        change_ptr change = model.changes_undone.back();
        const int64_t result = apply_change(session, change);
        model.changes_undone.pop_back();
        if (model.changes_undone.empty() || model.changes_undone.back()->transaction() != change->transaction()) {
            return result;
        }
    }
}

int clear_history(skarn_session_struct *session) {
    if (refuse_reentry(session)) return -1;
    // Clearing forgets the whole history, checkpoints included: the
    // content returns to the original file.
    const int64_t size = session->base().file_size();
    if (size < 0 || !record_in_journal(session, journal_op::clear)) return -1;
    drop_levels_above_base(session);
    skarn_model_struct &base = session->base();
    reset_pieces(base, size);
    base.changes.clear();
    base.changes_undone.clear();
    session->num_changes_adjustment = 0;
    mark_viewports_stale(session, VIEWPORT_EVT_CLEAR);
    skarn_session_notify(session, SESSION_EVT_CLEAR, nullptr);
    return 0;
}

}  // namespace skarn
