// Edits and the change history: refusals, how changes are spliced into the
// segment list, serials and transaction bits, undo and redo of transactions,
// pausing and clearing, and a randomized differential run against a plain
// in-memory model of the content and of the history's counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/change.hpp"
#include "engine/level.hpp"
#include "engine/session.hpp"
#include "io/spill_file.hpp"
#include "skarn_edit.hpp"
#include "support/model_support.hpp"
#include "support/test_support.hpp"

using skarn_test::bytes_of;
using skarn_test::content_of;
using skarn_test::describe;
using skarn_test::Session;
using skarn_test::TempDir;
using skarn_test::write_file;

namespace {

// Counts the session events it receives, by kind.
struct EventCounter {
    int edits = 0;
    int undos = 0;
    int others = 0;
    static void on_event(const skarn_session_struct *session, int32_t event, const void *) {
        auto *self = static_cast<EventCounter *>(skarn_session_get_user_data_ptr(session));
        if (event == SESSION_EVT_EDIT) {
            ++self->edits;
        } else if (event == SESSION_EVT_UNDO) {
            ++self->undos;
        } else {
            ++self->others;
        }
    }
    int total() const { return edits + undos + others; }
};

// A session over a file of `content` in `dir` (over nothing when `content` is null).
Session open_session(const TempDir &dir, const char *content, EventCounter *counter = nullptr) {
    std::string path;
    if (content != nullptr) {
        path = dir.file("input.bin");
        write_file(path, content);
    }
    return Session(skarn_edit_create_session(path.empty() ? nullptr : path.c_str(),
                                             counter != nullptr ? EventCounter::on_event : nullptr, counter, 4095,
                                             dir.str().c_str()));
}

// ---------------------------------------------------------------------------
// Refusals
// ---------------------------------------------------------------------------

TEST(EditRefusal, OutOfRangeOffsetsAndBadLengthsMakeNothing) {
    TempDir dir;
    EventCounter counter;
    Session session = open_session(dir, "0123456789", &counter);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    const int before = counter.total();

    EXPECT_EQ(skarn_edit_insert(s, 11, "x", 0), 0);
    EXPECT_EQ(skarn_edit_insert(s, -1, "x", 0), 0);
    EXPECT_EQ(skarn_edit_insert(s, INT64_MIN, "x", 0), 0);
    EXPECT_EQ(skarn_edit_insert(s, 0, "x", -1), 0);
    EXPECT_EQ(skarn_edit_insert_bytes(s, 0, nullptr, 3), 0);
    EXPECT_EQ(skarn_edit_overwrite(s, 11, "x", 0), 0);
    EXPECT_EQ(skarn_edit_overwrite(s, -1, "x", 0), 0);
    EXPECT_EQ(skarn_edit_overwrite(s, 0, "x", -2), 0);
    EXPECT_EQ(skarn_edit_delete(s, 10, 1), 0);
    EXPECT_EQ(skarn_edit_delete(s, -1, 1), 0);
    EXPECT_EQ(skarn_edit_delete(s, -1, 5), 0);
    EXPECT_EQ(skarn_edit_delete(s, 0, 0), 0);
    EXPECT_EQ(skarn_edit_delete(s, 0, -1), 0);
    EXPECT_EQ(skarn_edit_insert_string(s, -1, "abc"), 0);
    EXPECT_EQ(skarn_edit_overwrite_string(s, 12, "abc"), 0);

    EXPECT_EQ(skarn_session_get_num_changes(s), 0);
    EXPECT_EQ(content_of(s), "0123456789");
    EXPECT_EQ(describe(s), "R(0,10,0)");
    EXPECT_EQ(counter.total(), before);
}

TEST(EditRefusal, NegativeOffsetOnAnEmptySessionMakesNoSegment) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(skarn_edit_insert(session.get(), -4, "abc", 0), 0);
    EXPECT_EQ(skarn_edit_overwrite(session.get(), -4, "abc", 0), 0);
    EXPECT_TRUE(session->current().pieces.empty());
    EXPECT_TRUE(session->current().changes.empty());
}

TEST(EditRefusal, PausedSessionRefusesEveryEdit) {
    TempDir dir;
    Session session = open_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 0, "a", 0), 1);
    skarn_session_pause_changes(s);
    EXPECT_EQ(skarn_session_changes_paused(s), 1);
    EXPECT_EQ(skarn_edit_insert(s, 0, "x", 0), 0);
    EXPECT_EQ(skarn_edit_overwrite(s, 0, "x", 0), 0);
    EXPECT_EQ(skarn_edit_delete(s, 0, 1), 0);
    EXPECT_EQ(skarn_edit_insert_string(s, 0, "x"), 0);
    EXPECT_EQ(skarn_edit_undo_last_change(s), 0);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 0);
    EXPECT_EQ(content_of(s), "a0123456789");
    EXPECT_EQ(skarn_session_get_num_changes(s), 1);
    skarn_session_resume_changes(s);
    EXPECT_EQ(skarn_session_changes_paused(s), 0);
    EXPECT_EQ(skarn_edit_insert(s, 0, "x", 0), 2);
}

// ---------------------------------------------------------------------------
// Splicing
// ---------------------------------------------------------------------------

TEST(EditSplice, InsertIntoAnEmptySessionMakesOneInsertSegment) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(skarn_edit_insert(session.get(), 0, "abc", 0), 1);
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 3);
    EXPECT_EQ(describe(session.get()), "I(0,3,0)");
    // Appending at the end is allowed; one further is not.
    EXPECT_EQ(skarn_edit_insert(session.get(), 3, "de", 0), 2);
    EXPECT_EQ(skarn_edit_insert(session.get(), 6, "!", 0), 0);
    EXPECT_EQ(content_of(session.get()), "abcde");
}

TEST(EditSplice, InsertInsideAReadSegmentSplitsIt) {
    TempDir dir;
    Session session = open_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 4, "abc", 0), 1);
    EXPECT_EQ(describe(session.get()), "R(0,4,0) I(4,3,0) R(7,6,4)");
    EXPECT_EQ(content_of(session.get()), "0123abc456789");
}

TEST(EditSplice, InsertOnABoundaryLandsBetweenTheSegments) {
    TempDir dir;
    Session session = open_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 4, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_insert(session.get(), 7, "XY", 0), 2);
    EXPECT_EQ(describe(session.get()), "R(0,4,0) I(4,3,0) I(7,2,0) R(9,6,4)");
    ASSERT_EQ(skarn_edit_insert(session.get(), 4, "<", 0), 3);
    EXPECT_EQ(describe(session.get()), "R(0,4,0) I(4,1,0) I(5,3,0) I(8,2,0) R(10,6,4)");
    ASSERT_EQ(skarn_edit_insert(session.get(), 0, ">", 0), 4);
    EXPECT_EQ(describe(session.get()), "I(0,1,0) R(1,4,0) I(5,1,0) I(6,3,0) I(9,2,0) R(11,6,4)");
    EXPECT_EQ(content_of(session.get()), ">0123<abcXY456789");
}

TEST(EditSplice, InsertInsideAnInsertSegmentSplitsItsBytes) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 0, "abcdefghij", 0), 1);
    ASSERT_EQ(skarn_edit_insert(session.get(), 3, "123", 0), 2);
    EXPECT_EQ(describe(session.get()), "I(0,3,0) I(3,3,0) I(6,7,3)");
    EXPECT_EQ(content_of(session.get()), "abc123defghij");
}

TEST(EditSplice, DeleteIsCutAtTheEndOfTheContent) {
    TempDir dir;
    Session session = open_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_delete(session.get(), 8, 3), 1);
    EXPECT_EQ(skarn_change_get_length(skarn_session_get_last_change(session.get())), 2);
    EXPECT_EQ(content_of(session.get()), "01234567");
    ASSERT_EQ(skarn_edit_delete(session.get(), 2, INT64_MAX), 2);
    EXPECT_EQ(skarn_change_get_length(skarn_session_get_last_change(session.get())), 6);
    EXPECT_EQ(content_of(session.get()), "01");
}

TEST(EditSplice, DeleteAcrossSegmentsDropsTheMiddleAndTrimsTheLast) {
    TempDir dir;
    Session session = open_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 3, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_insert(session.get(), 8, "XY", 0), 2);
    ASSERT_EQ(describe(session.get()), "R(0,3,0) I(3,3,0) R(6,2,3) I(8,2,0) R(10,5,5)");
    ASSERT_EQ(content_of(session.get()), "012abc34XY56789");

    ASSERT_EQ(skarn_edit_delete(session.get(), 4, 9), 3);
    EXPECT_EQ(describe(session.get()), "R(0,3,0) I(3,1,0) R(4,2,8)");
    EXPECT_EQ(content_of(session.get()), "012a89");
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 6);
    EXPECT_EQ(skarn_check_model(session.get()), 0);
}

TEST(EditSplice, DeleteEndingOnABoundaryRemovesWholeSegments) {
    TempDir dir;
    Session session = open_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 5, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_delete(session.get(), 5, 3), 2);
    EXPECT_EQ(describe(session.get()), "R(0,5,0) R(5,5,5)");
    ASSERT_EQ(skarn_edit_delete(session.get(), 0, 5), 3);
    EXPECT_EQ(describe(session.get()), "R(0,5,5)");
    EXPECT_EQ(content_of(session.get()), "56789");
}

TEST(EditSplice, DeletingEverythingLeavesAnEmptyListThatTakesNewInserts) {
    TempDir dir;
    Session session = open_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 5, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_delete(session.get(), 0, 13), 2);
    EXPECT_EQ(describe(session.get()), "");
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 0);
    EXPECT_EQ(skarn_edit_delete(session.get(), 0, 1), 0);
    EXPECT_EQ(skarn_edit_insert(session.get(), 1, "x", 0), 0);
    ASSERT_EQ(skarn_edit_insert(session.get(), 0, "new", 0), 3);
    EXPECT_EQ(describe(session.get()), "I(0,3,0)");
    EXPECT_EQ(content_of(session.get()), "new");
}

TEST(EditSplice, OverwriteReplacesWhatItCoversAndGrowsPastTheEnd) {
    TempDir dir;
    Session session = open_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_overwrite(session.get(), 8, "WXYZ", 0), 1);
    EXPECT_EQ(content_of(session.get()), "01234567WXYZ");
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 12);
    EXPECT_EQ(describe(session.get()), "R(0,8,0) I(8,4,0)");

    ASSERT_EQ(skarn_edit_overwrite(session.get(), 2, "ab", 0), 2);
    EXPECT_EQ(content_of(session.get()), "01ab4567WXYZ");
    EXPECT_EQ(describe(session.get()), "R(0,2,0) I(2,2,0) R(4,4,4) I(8,4,0)");

    // Across a read and an insert segment.
    ASSERT_EQ(skarn_edit_overwrite(session.get(), 6, "----", 0), 3);
    EXPECT_EQ(content_of(session.get()), "01ab45----YZ");
    EXPECT_EQ(describe(session.get()), "R(0,2,0) I(2,2,0) R(4,2,4) I(6,4,0) I(10,2,2)");

    // At the very end it appends.
    ASSERT_EQ(skarn_edit_overwrite(session.get(), 12, "++", 0), 4);
    EXPECT_EQ(content_of(session.get()), "01ab45----YZ++");
    // An empty overwrite changes nothing but is still a change.
    ASSERT_EQ(skarn_edit_overwrite_string(session.get(), 3, ""), 5);
    EXPECT_EQ(content_of(session.get()), "01ab45----YZ++");
    EXPECT_EQ(skarn_check_model(session.get()), 0);
}

// ---------------------------------------------------------------------------
// Changes made by edits
// ---------------------------------------------------------------------------

TEST(EditChange, SerialsCountUpAndTheTransactionBitAlternates) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    EXPECT_EQ(skarn_session_get_transaction_bit_(s), 1);  // an empty list
    ASSERT_EQ(skarn_edit_insert(s, 0, "abcdef", 0), 1);
    ASSERT_EQ(skarn_edit_overwrite(s, 1, "XY", 0), 2);
    ASSERT_EQ(skarn_edit_delete(s, 0, 2), 3);
    ASSERT_EQ(skarn_edit_insert(s, 1, "q", 0), 4);
    ASSERT_EQ(skarn_edit_overwrite(s, 0, "Z", 0), 5);
    ASSERT_EQ(skarn_edit_delete(s, 1, 1), 6);

    struct Expected {
        uint8_t kind_byte;
        char letter;
        int64_t offset;
        int64_t length;
        const char *bytes;
    };
    const Expected expected[] = {{1, 'I', 0, 6, "abcdef"}, {6, 'O', 1, 2, "XY"}, {0, 'D', 0, 2, nullptr},
                                 {5, 'I', 1, 1, "q"},      {2, 'O', 0, 1, "Z"},  {4, 'D', 1, 1, nullptr}};
    for (int64_t serial = 1; serial <= 6; ++serial) {
        SCOPED_TRACE(serial);
        const skarn_change_struct *change = skarn_session_get_change(s, serial);
        ASSERT_NE(change, nullptr);
        const Expected &e = expected[serial - 1];
        EXPECT_EQ(skarn_change_get_serial(change), serial);
        EXPECT_EQ(change->kind, e.kind_byte);
        EXPECT_EQ(skarn_change_get_kind_as_char(change), e.letter);
        EXPECT_EQ(skarn_change_get_transaction_bit(change), (serial + 1) % 2);
        EXPECT_EQ(skarn_change_get_offset(change), e.offset);
        EXPECT_EQ(skarn_change_get_length(change), e.length);
        EXPECT_EQ(skarn_change_is_undone(change), 0);
        if (e.bytes == nullptr) {
            EXPECT_EQ(skarn_change_get_bytes(change), nullptr);
        } else {
            EXPECT_EQ(skarn_change_get_string(change), e.bytes);
        }
    }
    EXPECT_EQ(skarn_session_get_transaction_bit_(s), 1);
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), 6);
    EXPECT_EQ(content_of(s), "Zdef");
}

TEST(EditChange, ZeroLengthTakesTheBytesAsACString) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 0, "hello\0hidden", 0), 1);
    EXPECT_EQ(skarn_change_get_length(skarn_session_get_last_change(s)), 5);
    ASSERT_EQ(skarn_edit_overwrite(s, 0, "J", 0), 2);
    EXPECT_EQ(content_of(s), "Jello");
    // An empty C string makes an empty change.
    ASSERT_EQ(skarn_edit_insert(s, 2, "", 0), 3);
    EXPECT_EQ(skarn_change_get_length(skarn_session_get_last_change(s)), 0);
    EXPECT_EQ(content_of(s), "Jello");
    // An explicit length takes embedded zero bytes as they are.
    ASSERT_EQ(skarn_edit_insert(s, 5, "a\0b", 3), 4);
    EXPECT_EQ(content_of(s), std::string("Jelloa\0b", 8));
}

TEST(EditChange, StringViewsKeepTheirLengthAndEmptyViewsAreEmpty) {
    TempDir dir;
    Session session = open_session(dir, "0123");
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    // An empty view over a C string must not be measured as that C string.
    ASSERT_EQ(skarn_edit_insert_string(s, 1, std::string_view("xyz", 0)), 1);
    EXPECT_EQ(skarn_change_get_length(skarn_session_get_last_change(s)), 0);
    ASSERT_EQ(skarn_edit_overwrite_string(s, 1, std::string_view("xyz", 0)), 2);
    EXPECT_EQ(skarn_change_get_length(skarn_session_get_last_change(s)), 0);
    ASSERT_EQ(skarn_edit_insert_string(s, 0, std::string_view()), 3);
    EXPECT_EQ(content_of(s), "0123");

    ASSERT_EQ(skarn_edit_insert_string(s, 2, std::string("A\0B", 3)), 4);
    EXPECT_EQ(content_of(s), std::string("01A\0B23", 7));
    ASSERT_EQ(skarn_edit_overwrite_string(s, 0, std::string_view("wxyz!", 2)), 5);
    EXPECT_EQ(content_of(s), std::string("wxA\0B23", 7));
    EXPECT_EQ(skarn_change_get_string(skarn_session_get_change(s, 4)), std::string("A\0B", 3));
}

// ---------------------------------------------------------------------------
// History
// ---------------------------------------------------------------------------

TEST(History, UndoTakesBackTheLastChange) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 0, "one ", 0), 1);
    ASSERT_EQ(skarn_edit_insert(s, 4, "two ", 0), 2);
    ASSERT_EQ(skarn_edit_insert(s, 8, "three", 0), 3);
    EXPECT_EQ(skarn_edit_undo_last_change(s), -3);
    EXPECT_EQ(content_of(s), "one two ");
    EXPECT_EQ(skarn_session_get_num_changes(s), 2);
    EXPECT_EQ(skarn_session_get_num_undone_changes(s), 1);
    EXPECT_EQ(skarn_session_get_num_undone_change_transactions(s), 1);
    EXPECT_EQ(skarn_change_get_serial(skarn_session_get_last_change(s)), 2);
    EXPECT_EQ(skarn_change_get_serial(skarn_session_get_last_undo(s)), -3);
}

TEST(History, UndoRestoresOverwritesAndDeletesOverAFile) {
    TempDir dir;
    Session session = open_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_overwrite(s, 7, "abcdef", 0), 1);
    ASSERT_EQ(skarn_edit_delete(s, 1, 4), 2);
    ASSERT_EQ(skarn_edit_insert(s, 0, "#", 0), 3);
    ASSERT_EQ(content_of(s), "#056abcdef");
    EXPECT_EQ(skarn_edit_undo_last_change(s), -3);
    EXPECT_EQ(content_of(s), "056abcdef");
    EXPECT_EQ(skarn_edit_undo_last_change(s), -2);
    EXPECT_EQ(content_of(s), "0123456abcdef");
    EXPECT_EQ(skarn_edit_undo_last_change(s), -1);
    EXPECT_EQ(content_of(s), "0123456789");
    EXPECT_EQ(describe(s), "R(0,10,0)");
    EXPECT_EQ(skarn_edit_undo_last_change(s), 0);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 1);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 2);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 3);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 0);
    EXPECT_EQ(content_of(s), "#056abcdef");
}

TEST(History, TransactionIsUndoneAndRedoneAsOne) {
    TempDir dir;
    Session session = open_session(dir, "base");
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 4, "!", 0), 1);
    ASSERT_EQ(skarn_session_begin_transaction(s), 0);
    ASSERT_EQ(skarn_edit_insert(s, 0, "a", 0), 2);
    ASSERT_EQ(skarn_edit_insert(s, 1, "b", 0), 3);
    ASSERT_EQ(skarn_edit_delete(s, 2, 2), 4);
    ASSERT_EQ(skarn_session_end_transaction(s), 0);
    ASSERT_EQ(content_of(s), "abse!");
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), 2);

    EXPECT_EQ(skarn_edit_undo_last_change(s), -2);
    EXPECT_EQ(content_of(s), "base!");
    EXPECT_EQ(skarn_session_get_num_undone_changes(s), 3);
    EXPECT_EQ(skarn_session_get_num_undone_change_transactions(s), 1);
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), 1);
    // The next to redo is the oldest of the transaction.
    EXPECT_EQ(skarn_change_get_serial(skarn_session_get_last_undo(s)), -2);

    EXPECT_EQ(skarn_edit_redo_last_undo(s), 4);
    EXPECT_EQ(content_of(s), "abse!");
    EXPECT_EQ(skarn_session_get_num_undone_changes(s), 0);
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), 2);
}

TEST(History, SeveralUndoneTransactionsComeBackInOrder) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    const auto transaction = [s](const std::vector<std::string> &pieces) {
        ASSERT_EQ(skarn_session_begin_transaction(s), 0);
        for (const auto &piece : pieces) {
            ASSERT_GT(skarn_edit_insert_string(s, skarn_session_get_computed_file_size(s), piece), 0);
        }
        ASSERT_EQ(skarn_session_end_transaction(s), 0);
    };
    transaction({"a", "b"});       // 1, 2
    transaction({"c"});            // 3
    transaction({"d", "e", "f"});  // 4, 5, 6
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), 3);
    EXPECT_EQ(skarn_edit_undo_last_change(s), -4);
    EXPECT_EQ(skarn_edit_undo_last_change(s), -3);
    EXPECT_EQ(skarn_edit_undo_last_change(s), -1);
    EXPECT_EQ(content_of(s), "");
    EXPECT_EQ(skarn_session_get_num_undone_change_transactions(s), 3);
    EXPECT_EQ(skarn_session_get_num_undone_changes(s), 6);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 2);
    EXPECT_EQ(content_of(s), "ab");
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 3);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 6);
    EXPECT_EQ(content_of(s), "abcdef");
    EXPECT_EQ(skarn_session_get_num_undone_change_transactions(s), 0);
}

TEST(History, NothingToUndoOrRedoReturnsZero) {
    TempDir dir;
    EventCounter counter;
    Session session = open_session(dir, "abc", &counter);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(skarn_edit_undo_last_change(session.get()), 0);
    EXPECT_EQ(skarn_edit_redo_last_undo(session.get()), 0);
    EXPECT_EQ(counter.undos + counter.edits, 0);
    EXPECT_EQ(skarn_session_get_last_change(session.get()), nullptr);
    EXPECT_EQ(skarn_session_get_last_undo(session.get()), nullptr);
}

TEST(History, NewEditAfterUndoReusesTheSerialAndEndsRedo) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 0, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_insert(s, 3, "def", 0), 2);
    ASSERT_EQ(skarn_edit_undo_last_change(s), -2);
    ASSERT_EQ(skarn_edit_insert(s, 0, "X", 0), 2);
    EXPECT_EQ(skarn_session_get_num_undone_changes(s), 0);
    EXPECT_EQ(skarn_session_get_last_undo(s), nullptr);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 0);
    EXPECT_EQ(content_of(s), "Xabc");
    EXPECT_EQ(skarn_change_get_string(skarn_session_get_change(s, 2)), "X");
}

TEST(History, RefusedEditKeepsTheRedoList) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 0, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_undo_last_change(s), -1);
    EXPECT_EQ(skarn_edit_insert(s, 5, "x", 0), 0);
    EXPECT_EQ(skarn_edit_delete(s, 0, 1), 0);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 1);
    EXPECT_EQ(content_of(s), "abc");
}

TEST(History, UndoneFlagFollowsTheSameChangeRecord) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 0, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_undo_last_change(s), -1);
    const skarn_change_struct *undone = skarn_session_get_last_undo(s);
    ASSERT_NE(undone, nullptr);
    EXPECT_EQ(skarn_change_is_undone(undone), 1);
    EXPECT_EQ(skarn_change_get_serial(undone), -1);
    EXPECT_EQ(skarn_session_get_change(s, -1), undone);
    ASSERT_EQ(skarn_edit_redo_last_undo(s), 1);
    EXPECT_EQ(skarn_change_is_undone(undone), 0);
    EXPECT_EQ(skarn_session_get_change(s, 1), undone);
    EXPECT_EQ(skarn_session_get_change(s, -1), nullptr);
}

TEST(History, ChangesAreFoundByTheirSerial) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(skarn_edit_insert_string(s, 0, std::string(1, char('a' + i))), i + 1);
    ASSERT_EQ(skarn_edit_undo_last_change(s), -5);
    ASSERT_EQ(skarn_edit_undo_last_change(s), -4);
    for (int64_t serial = 1; serial <= 3; ++serial) {
        const skarn_change_struct *change = skarn_session_get_change(s, serial);
        ASSERT_NE(change, nullptr);
        EXPECT_EQ(skarn_change_get_serial(change), serial);
    }
    EXPECT_EQ(skarn_change_get_string(skarn_session_get_change(s, -4)), "d");
    EXPECT_EQ(skarn_change_get_string(skarn_session_get_change(s, -5)), "e");
    EXPECT_EQ(skarn_session_get_change(s, 0), nullptr);
    EXPECT_EQ(skarn_session_get_change(s, 4), nullptr);
    EXPECT_EQ(skarn_session_get_change(s, 100), nullptr);
    EXPECT_EQ(skarn_session_get_change(s, -1), nullptr);
    EXPECT_EQ(skarn_session_get_change(s, -6), nullptr);
}

TEST(History, TransactionStatesAndMisuse) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 0, "a", 0), 1);
    const int64_t transactions = skarn_session_get_num_change_transactions(s);

    EXPECT_EQ(skarn_session_end_transaction(s), -1);
    EXPECT_EQ(skarn_session_get_transaction_state(s), SESSION_TRANSACTION_NONE);
    EXPECT_EQ(skarn_session_begin_transaction(s), 0);
    EXPECT_EQ(skarn_session_get_transaction_state(s), SESSION_TRANSACTION_OPENED);
    EXPECT_EQ(skarn_session_begin_transaction(s), -1);
    EXPECT_EQ(skarn_session_get_transaction_state(s), SESSION_TRANSACTION_OPENED);
    EXPECT_EQ(skarn_session_end_transaction(s), 0);
    EXPECT_EQ(skarn_session_end_transaction(s), -1);
    EXPECT_EQ(skarn_session_get_transaction_state(s), SESSION_TRANSACTION_NONE);
    // A transaction without a change leaves no trace.
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), transactions);

    ASSERT_EQ(skarn_session_begin_transaction(s), 0);
    // A refused edit does not start the transaction's content.
    EXPECT_EQ(skarn_edit_insert(s, 10, "x", 0), 0);
    EXPECT_EQ(skarn_session_get_transaction_state(s), SESSION_TRANSACTION_OPENED);
    ASSERT_EQ(skarn_edit_insert(s, 0, "b", 0), 2);
    EXPECT_EQ(skarn_session_get_transaction_state(s), SESSION_TRANSACTION_IN_PROGRESS);
    ASSERT_EQ(skarn_edit_insert(s, 0, "c", 0), 3);
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), transactions + 1);
    EXPECT_EQ(skarn_session_end_transaction(s), 0);
    EXPECT_EQ(skarn_session_get_transaction_state(s), SESSION_TRANSACTION_NONE);
    ASSERT_EQ(skarn_edit_insert(s, 0, "d", 0), 4);
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), transactions + 2);
}

TEST(History, ChangeAfterAnUndoInsideATransactionJoinsTheEarlierTransaction) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 0, "A", 0), 1);
    ASSERT_EQ(skarn_session_begin_transaction(s), 0);
    ASSERT_EQ(skarn_edit_insert(s, 1, "B", 0), 2);
    ASSERT_EQ(skarn_edit_insert(s, 2, "C", 0), 3);
    ASSERT_EQ(skarn_edit_undo_last_change(s), -2);
    ASSERT_EQ(content_of(s), "A");
    ASSERT_EQ(skarn_edit_insert(s, 1, "D", 0), 2);
    const skarn_change_struct *a = skarn_session_get_change(s, 1);
    const skarn_change_struct *d = skarn_session_get_change(s, 2);
    EXPECT_EQ(skarn_change_get_transaction_bit(d), skarn_change_get_transaction_bit(a));
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), 1);
    ASSERT_EQ(skarn_session_end_transaction(s), 0);
    EXPECT_EQ(skarn_edit_undo_last_change(s), -1);
    EXPECT_EQ(content_of(s), "");
    EXPECT_EQ(skarn_session_get_num_undone_changes(s), 2);
}

TEST(History, ClearingForgetsEverythingAndWorksWhilePaused) {
    TempDir dir;
    EventCounter counter;
    Session session = open_session(dir, "0123456789", &counter);
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_edit_insert(s, 3, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_overwrite(s, 0, "XYZ", 0), 2);
    ASSERT_EQ(skarn_edit_delete(s, 5, 3), 3);
    ASSERT_EQ(skarn_edit_undo_last_change(s), -3);
    skarn_session_pause_changes(s);
    const int others = counter.others;
    ASSERT_EQ(skarn_edit_clear_changes(s), 0);
    EXPECT_EQ(counter.others, others + 1);  // SESSION_EVT_CLEAR
    EXPECT_EQ(skarn_session_changes_paused(s), 1);
    EXPECT_EQ(content_of(s), "0123456789");
    EXPECT_EQ(describe(s), "R(0,10,0)");
    EXPECT_EQ(skarn_session_get_num_changes(s), 0);
    EXPECT_EQ(skarn_session_get_num_undone_changes(s), 0);
    EXPECT_EQ(skarn_session_get_num_change_transactions(s), 0);
    EXPECT_EQ(skarn_session_get_num_undone_change_transactions(s), 0);
    EXPECT_EQ(skarn_session_get_last_change(s), nullptr);
    EXPECT_EQ(skarn_session_get_last_undo(s), nullptr);
    skarn_session_resume_changes(s);
    ASSERT_EQ(skarn_edit_insert(s, 0, "new", 0), 1);
    EXPECT_EQ(skarn_change_get_transaction_bit(skarn_session_get_last_change(s)), 0);
}

TEST(History, ClearingAnEmptySessionLeavesItEmpty) {
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 0, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_clear_changes(session.get()), 0);
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 0);
    EXPECT_TRUE(session->current().pieces.empty());
}

// ---------------------------------------------------------------------------
// Randomized differential run
// ---------------------------------------------------------------------------

// The expected behaviour, kept as plainly as possible: the content as a
// string, and the history as stacks of transactions, each remembering the
// content before it and after its last change.
class ReferenceModel {
public:
    explicit ReferenceModel(std::string original) : original_(original), content_(std::move(original)) {}

    const std::string &content() const { return content_; }
    int64_t size() const { return static_cast<int64_t>(content_.size()); }
    bool paused() const { return paused_; }

    int64_t insert(int64_t offset, const std::string &bytes) {
        if (paused_ || offset < 0 || offset > size()) return 0;
        std::string next = content_;
        next.insert(static_cast<size_t>(offset), bytes);
        return record(std::move(next));
    }

    int64_t overwrite(int64_t offset, const std::string &bytes) {
        if (paused_ || offset < 0 || offset > size()) return 0;
        const auto start = static_cast<size_t>(offset);
        const size_t end = std::min(content_.size(), start + bytes.size());
        return record(content_.substr(0, start) + bytes + content_.substr(end));
    }

    int64_t erase(int64_t offset, int64_t length) {
        if (paused_ || offset < 0 || length <= 0 || offset >= size()) return 0;
        std::string next = content_;
        next.erase(static_cast<size_t>(offset), static_cast<size_t>(std::min(length, size() - offset)));
        return record(std::move(next));
    }

    int64_t undo() {
        if (paused_ || done_.empty()) return 0;
        Transaction transaction = std::move(done_.back());
        done_.pop_back();
        content_ = transaction.before;
        const int64_t result = -transaction.serials.front();
        undone_.push_back(std::move(transaction));
        return result;
    }

    int64_t redo() {
        if (paused_ || undone_.empty()) return 0;
        Transaction transaction = std::move(undone_.back());
        undone_.pop_back();
        content_ = transaction.after;
        const int64_t result = transaction.serials.back();
        done_.push_back(std::move(transaction));
        return result;
    }

    void clear() {
        content_ = original_;
        done_.clear();
        undone_.clear();
    }

    int begin() {
        if (open_) return -1;
        open_ = true;
        return 0;
    }

    int end() {
        if (!open_) return -1;
        open_ = false;
        has_change_ = false;
        return 0;
    }

    void pause() { paused_ = true; }
    void resume() { paused_ = false; }

    int transaction_state() const {
        if (!open_) return SESSION_TRANSACTION_NONE;
        return has_change_ ? SESSION_TRANSACTION_IN_PROGRESS : SESSION_TRANSACTION_OPENED;
    }

    int64_t changes() const { return count_changes(done_); }
    int64_t undone_changes() const { return count_changes(undone_); }
    int64_t transactions() const { return static_cast<int64_t>(done_.size()); }
    int64_t undone_transactions() const { return static_cast<int64_t>(undone_.size()); }
    int64_t last_serial() const { return done_.empty() ? 0 : done_.back().serials.back(); }
    int64_t next_redo_serial() const { return undone_.empty() ? 0 : -undone_.back().serials.front(); }

private:
    struct Transaction {
        std::vector<int64_t> serials;
        std::string before;
        std::string after;
    };

    static int64_t count_changes(const std::vector<Transaction> &list) {
        int64_t n = 0;
        for (const auto &transaction : list) n += static_cast<int64_t>(transaction.serials.size());
        return n;
    }

    // An accepted edit: a new transaction, unless an open transaction already
    // has a change, in which case it joins whatever transaction is last.
    int64_t record(std::string next) {
        const int64_t serial = changes() + 1;
        undone_.clear();
        const bool joins = open_ && has_change_ && !done_.empty();
        if (open_) has_change_ = true;
        if (!joins) done_.push_back({{}, content_, {}});
        done_.back().serials.push_back(serial);
        content_ = std::move(next);
        done_.back().after = content_;
        return serial;
    }

    std::string original_;
    std::string content_;
    std::vector<Transaction> done_;
    std::vector<Transaction> undone_;
    bool open_ = false;
    bool has_change_ = false;
    bool paused_ = false;
};

class DifferentialRun {
public:
    DifferentialRun(uint64_t seed, const std::string &original, skarn_session_struct *session)
        : rng_(seed), model_(original), session_(session) {}

    void run(int steps) {
        for (int step = 0; step < steps; ++step) {
            std::string description;
            int64_t expected = 0;
            int64_t actual = 0;
            act(description, expected, actual);
            SCOPED_TRACE("step " + std::to_string(step) + ": " + description);
            ASSERT_EQ(actual, expected);
            ASSERT_NO_FATAL_FAILURE(compare());
        }
    }

private:
    int64_t pick(int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(rng_); }

    // Mostly a valid offset, sometimes one just past the end or a negative one.
    int64_t offset(int64_t size) {
        const int64_t roll = pick(0, 99);
        if (roll < 4) return size + pick(1, 3);
        if (roll < 7) return -pick(1, 3);
        if (roll < 10) return size;
        return pick(0, size);
    }

    std::string bytes() {
        const int64_t length = pick(0, 9) == 0 ? pick(8, 40) : pick(1, 9);
        return skarn_test::random_bytes(rng_, static_cast<size_t>(length));
    }

    void act(std::string &description, int64_t &expected, int64_t &actual) {
        skarn_session_struct *s = session_;
        const int64_t size = model_.size();
        // Deletes win more often as the content grows, which keeps it small.
        const int64_t delete_weight = size > 1500 ? 60 : 14;
        const int64_t roll = pick(0, 99 + delete_weight);
        if (roll >= 100) {
            const int64_t at = offset(size);
            const int64_t length = pick(0, 19) == 0 ? pick(-2, 0) : pick(1, std::max<int64_t>(size / 4, 8));
            description = "delete " + std::to_string(at) + " " + std::to_string(length);
            expected = model_.erase(at, length);
            actual = skarn_edit_delete(s, at, length);
            return;
        }
        if (roll < 30) {
            const int64_t at = offset(size);
            const int64_t form = pick(0, 9);
            if (form == 0) {
                description = "insert empty view at " + std::to_string(at);
                expected = model_.insert(at, "");
                actual = skarn_edit_insert_string(s, at, std::string_view());
            } else if (form == 1) {
                // The C-string form: the bytes end at the first 0 byte.
                const std::string text = "cstr" + std::to_string(pick(0, 999));
                description = "insert c-string " + text + " at " + std::to_string(at);
                expected = model_.insert(at, text);
                actual = skarn_edit_insert(s, at, text.c_str(), 0);
            } else {
                const std::string data = bytes();
                description = "insert " + std::to_string(data.size()) + " bytes at " + std::to_string(at);
                expected = model_.insert(at, data);
                actual = skarn_edit_insert_bytes(s, at, bytes_of(data), static_cast<int64_t>(data.size()));
            }
            return;
        }
        if (roll < 50) {
            // Overwrites often run past the end.
            const int64_t at = pick(0, 3) == 0 ? std::max<int64_t>(0, size - pick(0, 5)) : offset(size);
            const std::string data = bytes();
            description = "overwrite " + std::to_string(data.size()) + " bytes at " + std::to_string(at);
            expected = model_.overwrite(at, data);
            actual = skarn_edit_overwrite_string(s, at, data);
            return;
        }
        if (roll < 66) {
            description = "undo";
            expected = model_.undo();
            actual = skarn_edit_undo_last_change(s);
            return;
        }
        if (roll < 78) {
            description = "redo";
            expected = model_.redo();
            actual = skarn_edit_redo_last_undo(s);
            return;
        }
        if (roll < 85) {
            description = "begin transaction";
            expected = model_.begin();
            actual = skarn_session_begin_transaction(s);
            return;
        }
        if (roll < 92) {
            description = "end transaction";
            expected = model_.end();
            actual = skarn_session_end_transaction(s);
            return;
        }
        if (roll < 93) {
            description = "pause";
            model_.pause();
            skarn_session_pause_changes(s);
            return;
        }
        if (roll < 99) {
            description = "resume";
            model_.resume();
            skarn_session_resume_changes(s);
            return;
        }
        // Clearing is rare: it throws the whole history away.
        if (pick(0, 2) == 0) {
            description = "clear";
            model_.clear();
            expected = 0;
            actual = skarn_edit_clear_changes(s);
        } else {
            description = "read only";
        }
    }

    void compare() {
        const skarn_session_struct *s = session_;
        ASSERT_EQ(skarn_check_model(s), 0);
        ASSERT_EQ(skarn_session_get_computed_file_size(s), model_.size());
        ASSERT_EQ(content_of(s), model_.content());
        ASSERT_EQ(skarn_session_get_num_changes(s), model_.changes());
        ASSERT_EQ(skarn_session_get_num_undone_changes(s), model_.undone_changes());
        ASSERT_EQ(skarn_session_get_num_change_transactions(s), model_.transactions());
        ASSERT_EQ(skarn_session_get_num_undone_change_transactions(s), model_.undone_transactions());
        ASSERT_EQ(skarn_session_get_transaction_state(s), model_.transaction_state());
        ASSERT_EQ(skarn_session_changes_paused(s), model_.paused() ? 1 : 0);

        const skarn_change_struct *last = skarn_session_get_last_change(s);
        ASSERT_EQ(last == nullptr ? 0 : skarn_change_get_serial(last), model_.last_serial());
        const skarn_change_struct *next_redo = skarn_session_get_last_undo(s);
        ASSERT_EQ(next_redo == nullptr ? 0 : skarn_change_get_serial(next_redo), model_.next_redo_serial());
        if (model_.changes() > 0) {
            const int64_t serial = pick(1, model_.changes());
            const skarn_change_struct *change = skarn_session_get_change(s, serial);
            ASSERT_NE(change, nullptr);
            ASSERT_EQ(skarn_change_get_serial(change), serial);
        }

        // A random range, read through a segment of random capacity.
        const int64_t start = pick(0, model_.size());
        const int64_t capacity = pick(0, 64);
        const std::string expected = model_.content().substr(static_cast<size_t>(start), static_cast<size_t>(capacity));
        ASSERT_EQ(skarn_session_get_segment_string(s, start, capacity), expected) << "range " << start;
    }

    std::mt19937_64 rng_;
    ReferenceModel model_;
    skarn_session_struct *session_;
};

class RandomizedEditing : public ::testing::TestWithParam<uint64_t> {};

TEST_P(RandomizedEditing, MatchesAPlainStringOverAnEmptySession) {
    const uint64_t seed = GetParam();
    SCOPED_TRACE("seed " + std::to_string(seed) + " over nothing");
    TempDir dir;
    Session session = open_session(dir, nullptr);
    ASSERT_NE(session, nullptr);
    DifferentialRun(seed, "", session.get()).run(1500);
}

TEST_P(RandomizedEditing, MatchesAPlainStringOverAFile) {
    const uint64_t seed = GetParam();
    SCOPED_TRACE("seed " + std::to_string(seed) + " over a file");
    std::mt19937_64 rng(seed ^ 0x5eed);
    const std::string original = skarn_test::random_bytes(rng, 600 + static_cast<size_t>(rng() % 600));
    TempDir dir;
    Session session = skarn_test::open_file_session(dir, original);
    ASSERT_NE(session, nullptr);
    DifferentialRun(seed, original, session.get()).run(1500);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomizedEditing, ::testing::Values(1u, 2u, 3u, 20240601u, 987654321u));

}  // namespace

// Bytes of large edits live in the session's spill file, read back through
// its mappings: random large and small edits, undo, redo and checkpoints give
// what a plain model gives, and a change's bytes stay where they were handed out.
TEST(SpilledBytes, LargeEditsReadBackExactlyThroughUndoRedoAndCheckpoints) {
    using namespace skarn_test;
    TempDir dir;
    std::mt19937_64 rng(22);
    Session session = open_file_session(dir, random_bytes(rng, 50000));
    ASSERT_TRUE(session);
    std::vector<std::string> before;  // the content before each change in force
    std::string model = content_of(session.get());
    std::vector<std::pair<skarn::change_ptr, std::string>> spilled;  // kept alive here
    for (int step = 0; step < 300; ++step) {
        const int64_t size = std::ssize(model);
        const int64_t at = size == 0 ? 0 : static_cast<int64_t>(rng() % static_cast<uint64_t>(size));
        const std::string bytes = random_bytes(rng, rng() % 2 == 0 ? 4096 + rng() % 20000 : 1 + rng() % 100);
        const uint64_t choice = rng() % 6;
        if (choice == 4 && !before.empty()) {
            ASSERT_LT(skarn_edit_undo_last_change(session.get()), 0);
            model = before.back();
            before.pop_back();
        } else if (choice == 5) {
            ASSERT_EQ(skarn_edit_create_checkpoint(session.get()), 0);
            before.clear();
        } else {
            before.push_back(model);
            if (choice % 2 == 0) {
                ASSERT_GT(skarn_edit_insert_bytes(session.get(), at, bytes_of(bytes), std::ssize(bytes)), 0);
                model.insert(static_cast<size_t>(at), bytes);
            } else {
                ASSERT_GT(skarn_edit_overwrite_bytes(session.get(), at, bytes_of(bytes), std::ssize(bytes)), 0);
                model.replace(static_cast<size_t>(at), std::min(bytes.size(), model.size() - at), bytes);
            }
            const skarn::change_ptr &change = session->current().changes.back();
            if (std::ssize(bytes) >= skarn::spill_file::threshold) {
                ASSERT_NE(change->kind & skarn_change_struct::spilled_bit, 0) << "step " << step;
                spilled.emplace_back(change, bytes);
            }
        }
        ASSERT_TRUE(content_of(session.get()) == model) << "step " << step;
    }
    // Every change, in force, undone or dropped from the history, shows its
    // bytes where they were handed out for as long as it lives.
    for (const auto &[change, bytes] : spilled) {
        const uint8_t *shown = skarn_change_get_bytes(change.get());
        EXPECT_TRUE(std::string_view(reinterpret_cast<const char *>(shown), bytes.size()) == bytes);
        EXPECT_EQ(shown[bytes.size()], 0) << "a 0 byte follows the bytes";
    }
    EXPECT_FALSE(spilled.empty());
}
