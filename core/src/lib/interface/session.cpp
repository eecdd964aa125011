// Session accessors, reading, the model check, and the history's queries,
// transactions and pausing.
#include <iostream>
#include <string>

#include "engine/reader.hpp"
#include "common/log.hpp"
#include "engine/segment.hpp"
#include "engine/session.hpp"
#include "skarn_edit.hpp"

using skarn::flag_changes_paused;
using skarn::flag_transaction_has_change;
using skarn::flag_transaction_open;

void skarn_session_notify(const skarn_session_struct *session, int32_t event, const void *event_ptr) noexcept {
    if (session->event_cbk != nullptr && (session->event_interest & event) != 0) {
        const skarn::callback_scope running(session);
        session->event_cbk(session, event, event_ptr);
    }
}

skarn_session_event_cbk_t skarn_session_get_event_cbk(const skarn_session_struct *session) noexcept {
    return session->event_cbk;
}

void *skarn_session_get_user_data_ptr(const skarn_session_struct *session) noexcept { return session->user_data_ptr; }

int32_t skarn_session_get_event_interest(const skarn_session_struct *session) noexcept {
    return session->event_interest;
}

int32_t skarn_session_set_event_interest(skarn_session_struct *session, int32_t interest) noexcept {
    session->event_interest = interest;
    return session->event_interest;
}

const char *skarn_session_get_file_path(const skarn_session_struct *session) noexcept {
    const std::string &path = session->current().file_path;
    return path.empty() ? nullptr : path.c_str();
}

const char *skarn_session_get_checkpoint_directory(const skarn_session_struct *session) noexcept {
    return session->checkpoint_directory.c_str();
}

int64_t skarn_session_get_checkpoint_directory_length(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->checkpoint_directory.size());
}

int64_t skarn_session_get_num_checkpoints(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->models.size()) - 1;
}

int64_t skarn_session_get_num_viewports(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->viewports.size());
}

int64_t skarn_session_get_num_search_contexts(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->search_contexts.size());
}

int64_t skarn_session_get_computed_file_size(const skarn_session_struct *session) noexcept {
    return session->current().computed_size();
}

int skarn_session_get_segment(const skarn_session_struct *session, skarn_segment_struct *segment,
                              int64_t offset) noexcept {
    segment->offset = offset;
    return populate_data_segment_(session, segment);
}

int64_t skarn_session_read(const skarn_session_struct *session, int64_t offset, uint8_t *buffer,
                           int64_t length) noexcept {
    return skarn::log::call(__func__, skarn::log::stream::log, static_cast<int64_t>(-1), [&]() -> int64_t {
        if (session == nullptr || buffer == nullptr || length < 0) {
            SKARN_LOG("null session or buffer, or negative length: " << length);
            return -1;
        }
        const int64_t size = session->current().computed_size();
        if (offset < 0 || offset > size) {
            SKARN_LOG("offset " << offset << " is outside the content (size " << size << ")");
            return -1;
        }
        if (offset == size || length == 0) return 0;
        int64_t copied = 0;
        if (skarn::read_content(session, offset, buffer, length, copied) != 0) {
            SKARN_LOG("cannot read " << length << " bytes at offset " << offset);
            return -1;
        }
        return copied;
    });
}

std::string skarn_session_get_segment_string(const skarn_session_struct *session, int64_t offset,
                                             int64_t length) noexcept {
    try {
        skarn_segment_struct *segment = skarn_segment_create(length);
        if (segment == nullptr) return {};
        skarn_session_get_segment(session, segment, offset);
        std::string result(reinterpret_cast<const char *>(segment->bytes()), static_cast<size_t>(segment->length));
        skarn_segment_destroy(segment);
        return result;
    } catch (...) {
        return {};
    }
}

int skarn_check_model(const skarn_session_struct *session) noexcept {
    // Every level's segments start again at offset 0 and must follow one
    // another without a gap, each within the bytes of its change (a read
    // change covers the level's file), and the tree below them must hold its
    // own invariants.
    for (const auto &model : session->models) {
        const char *why = nullptr;
        if (!model->pieces.check_structure(&why)) {
            print_model_segments_(&session->current(), std::clog);
            return -1;
        }
        int64_t running = 0;
        for (const auto &piece : model->pieces) {
            if (piece.computed_offset != running || piece.computed_length < 0 || piece.change_offset < 0 ||
                piece.change_offset + piece.computed_length > piece.change->length) {
                print_model_segments_(&session->current(), std::clog);
                return -1;
            }
            running += piece.computed_length;
        }
    }
    return 0;
}

// History queries.

int64_t skarn_session_get_num_changes(const skarn_session_struct *session) noexcept { return session->num_changes(); }

int64_t skarn_session_get_num_undone_changes(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->current().changes_undone.size());
}

namespace {

// Runs of changes with the same transaction bit, counted over the lists of
// every level that `list_of` selects.
template <typename ListOf>
int64_t count_transactions(const skarn_session_struct *session, ListOf list_of) noexcept {
    int64_t count = 0;
    for (const auto &model : session->models) {
        const auto &list = list_of(*model);
        for (size_t i = 0; i < list.size(); ++i) {
            if (i == 0 || list[i]->transaction() != list[i - 1]->transaction()) ++count;
        }
    }
    return count;
}

}  // namespace

int64_t skarn_session_get_num_change_transactions(const skarn_session_struct *session) noexcept {
    return count_transactions(
        session, [](const skarn_model_struct &m) -> const auto & { return m.changes; });
}

int64_t skarn_session_get_num_undone_change_transactions(const skarn_session_struct *session) noexcept {
    return count_transactions(
        session, [](const skarn_model_struct &m) -> const auto & { return m.changes_undone; });
}

const skarn_change_struct *skarn_session_get_last_change(const skarn_session_struct *session) noexcept {
    const auto &changes = session->current().changes;
    return changes.empty() ? nullptr : changes.back().get();
}

const skarn_change_struct *skarn_session_get_last_undo(const skarn_session_struct *session) noexcept {
    const auto &undone = session->current().changes_undone;
    return undone.empty() ? nullptr : undone.back().get();
}

const skarn_change_struct *skarn_session_get_change(const skarn_session_struct *session, int64_t serial) noexcept {
    if (serial > 0) {
        if (serial > session->num_changes()) return nullptr;
        if (serial > session->num_changes_adjustment) {
            return session->current().changes[static_cast<size_t>(serial - session->num_changes_adjustment - 1)].get();
        }
        for (size_t level = 0; level + 1 < session->models.size(); ++level) {
            for (const auto &change : session->models[level]->changes) {
                if (change->serial == serial) return change.get();
            }
        }
        return nullptr;
    }
    if (serial < 0) {
        const auto &undone = session->current().changes_undone;
        for (auto it = undone.rbegin(); it != undone.rend(); ++it) {
            if ((*it)->serial == serial) return it->get();
        }
    }
    return nullptr;
}

// Transactions and pausing.

int skarn_session_get_transaction_bit_(const skarn_session_struct *session) noexcept {
    const auto &changes = session->current().changes;
    return changes.empty() ? 1 : (changes.back()->transaction() ? 1 : 0);
}

namespace {

// Sets the transaction flags to `flags`, recorded first in the session's journal.
int set_transaction_flags(const char *function, skarn_session_struct *session, uint8_t flags) noexcept {
    return skarn::log::call(function, skarn::log::stream::log, -1, [&] {
        if (!skarn::record_in_journal(session, skarn::journal_op::transaction, flags)) return -1;
        session->flags = static_cast<uint8_t>((session->flags & ~skarn::transaction_flags) | flags);
        return 0;
    });
}

}  // namespace

int skarn_session_begin_transaction(skarn_session_struct *session) noexcept {
    if (session->has_flag(flag_transaction_open)) return -1;
    return set_transaction_flags(__func__, session, flag_transaction_open);
}

int skarn_session_end_transaction(skarn_session_struct *session) noexcept {
    if (!session->has_flag(flag_transaction_open)) return -1;
    return set_transaction_flags(__func__, session, 0);
}

const char *skarn_session_get_journal_path(const skarn_session_struct *session) noexcept {
    if (session == nullptr || session->journal == nullptr) return nullptr;
    return session->journal->path().c_str();
}

int skarn_session_get_transaction_state(const skarn_session_struct *session) noexcept {
    if (!session->has_flag(flag_transaction_open)) return SESSION_TRANSACTION_NONE;
    return session->has_flag(flag_transaction_has_change) ? SESSION_TRANSACTION_IN_PROGRESS
                                                          : SESSION_TRANSACTION_OPENED;
}

void skarn_session_pause_changes(skarn_session_struct *session) noexcept {
    if (session->has_flag(flag_changes_paused)) return;
    session->flags |= flag_changes_paused;
    skarn_session_notify(session, SESSION_EVT_CHANGES_PAUSED, nullptr);
}

void skarn_session_resume_changes(skarn_session_struct *session) noexcept {
    if (!session->has_flag(flag_changes_paused)) return;
    session->flags &= static_cast<uint8_t>(~flag_changes_paused);
    skarn_session_notify(session, SESSION_EVT_CHANGES_RESUMED, nullptr);
}

int skarn_session_changes_paused(const skarn_session_struct *session) noexcept {
    return session->has_flag(flag_changes_paused) ? 1 : 0;
}
