// Viewports: capacity bounds, lazy reading, which changes affect a viewport,
// how floating viewports follow edits, undo and redo, modify, the order of
// viewport and session events, pausing, and a randomized check of all of it
// against a model of the content.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/session.hpp"
#include "engine/viewport.hpp"
#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace {

using skarn_test::TempDir;

constexpr int32_t all_viewport_events = 0x7f;
constexpr int32_t all_session_events = 0xfff;

// One event as a callback saw it. For edit and undo events `serial` is the
// change's serial at the time of the call.
struct Event {
    char source;  // 'S' session, 'V' viewport
    const void *who;
    int32_t event;
    const void *ptr;
    int64_t serial;

    bool operator==(const Event &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Event &e) {
    return out << '{' << e.source << ' ' << e.who << " evt=" << e.event << " ptr=" << e.ptr << " serial=" << e.serial
               << '}';
}

struct EventLog {
    std::vector<Event> events;
};

int64_t serial_of(int32_t event, const void *ptr) {
    // Edit and undo carry the change for both families (the values coincide).
    if ((event == SESSION_EVT_EDIT || event == SESSION_EVT_UNDO) && ptr != nullptr) {
        return skarn_change_get_serial(static_cast<const skarn_change_struct *>(ptr));
    }
    return 0;
}

void session_cbk(const skarn_session_struct *session, int32_t event, const void *ptr) {
    auto *log = static_cast<EventLog *>(skarn_session_get_user_data_ptr(session));
    log->events.push_back({'S', session, event, ptr, serial_of(event, ptr)});
}

void viewport_cbk(const skarn_viewport_struct *viewport, int32_t event, const void *ptr) {
    auto *log = static_cast<EventLog *>(skarn_viewport_get_user_data_ptr(viewport));
    log->events.push_back({'V', viewport, event, ptr, serial_of(event, ptr)});
}

// Distinct bytes at every offset below 251, NUL bytes included.
std::string pattern_bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7) % 251);
    return s;
}

class ViewportTest : public ::testing::Test {
protected:
    void TearDown() override { skarn_edit_destroy_session(session); }

    void open(const std::string &content, int32_t session_interest = all_session_events) {
        const std::string path = dir.file("content.bin");
        skarn_test::write_file(path, content);
        session = skarn_edit_create_session(path.c_str(), session_cbk, &log, session_interest, dir.str().c_str());
        ASSERT_NE(session, nullptr);
        log.events.clear();
    }

    skarn_viewport_struct *viewport(int64_t offset, int64_t capacity, bool floating,
                                    int32_t interest = all_viewport_events) {
        return skarn_edit_create_viewport(session, offset, capacity, floating ? 1 : 0, viewport_cbk, &log, interest);
    }

    // Reads the viewport so that it is current again.
    static void settle(skarn_viewport_struct *vp) { ASSERT_NE(skarn_viewport_get_data(vp), nullptr); }

    std::string content() const { return skarn_test::content_of(session); }

    const skarn_change_struct *last_change() const { return skarn_session_get_last_change(session); }

    TempDir dir;
    EventLog log;
    skarn_session_struct *session = nullptr;
};

// ---------------------------------------------------------------------------
// Creation, capacity bounds and reading

TEST_F(ViewportTest, CapacityOutOfRangeIsRefusedWithoutEvents) {
    open(pattern_bytes(30));
    for (int64_t capacity : {int64_t{0}, int64_t{-1}, int64_t{-8}, int64_t{SKARN_VIEWPORT_MAX_CAPACITY + 1},
                             std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
        EXPECT_EQ(viewport(0, capacity, false), nullptr) << capacity;
    }
    EXPECT_EQ(skarn_session_get_num_viewports(session), 0);
    EXPECT_TRUE(log.events.empty());
}

TEST_F(ViewportTest, SmallestAndLargestCapacityAreAccepted) {
    const std::string text = pattern_bytes(30);
    open(text);
    skarn_viewport_struct *smallest = viewport(3, 1, false);
    skarn_viewport_struct *largest = viewport(5, SKARN_VIEWPORT_MAX_CAPACITY, false);
    ASSERT_NE(smallest, nullptr);
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(skarn_session_get_num_viewports(session), 2);
    EXPECT_EQ(skarn_viewport_get_capacity(smallest), 1);
    EXPECT_EQ(skarn_viewport_get_capacity(largest), SKARN_VIEWPORT_MAX_CAPACITY);
    EXPECT_EQ(skarn_viewport_get_string(smallest), text.substr(3, 1));
    EXPECT_EQ(skarn_viewport_get_string(largest), text.substr(5));
    EXPECT_EQ(skarn_viewport_get_length(largest), 25);
    EXPECT_EQ(skarn_viewport_get_following_byte_count(largest), 0);
}

TEST_F(ViewportTest, CapacitiesBelowEightLiveInsideTheRecord) {
    const std::string text = pattern_bytes(30);
    open(text);
    for (int64_t capacity = 1; capacity <= 9; ++capacity) {
        skarn_viewport_struct *vp = viewport(2, capacity, false);
        ASSERT_NE(vp, nullptr);
        const uint8_t *data = skarn_viewport_get_data(vp);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data == vp->data_segment.data.inline_bytes, capacity < 8) << capacity;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), static_cast<size_t>(capacity)),
                  text.substr(2, static_cast<size_t>(capacity)));
        EXPECT_EQ(data[capacity], 0) << "the bytes are followed by a 0 byte";
    }
}

TEST_F(ViewportTest, NewViewportIsStaleAndItsLengthIsKnownBeforeReading) {
    const std::string text = pattern_bytes(30);
    open(text);
    skarn_viewport_struct *whole = viewport(0, 100, false);
    skarn_viewport_struct *inner = viewport(10, 5, true);
    EXPECT_EQ(skarn_viewport_has_changes(whole), 1);
    EXPECT_EQ(skarn_viewport_get_length(whole), 30);
    EXPECT_EQ(skarn_viewport_get_following_byte_count(whole), 0);
    EXPECT_EQ(skarn_viewport_get_length(inner), 5);
    EXPECT_EQ(skarn_viewport_get_following_byte_count(inner), 15);

    EXPECT_EQ(skarn_viewport_get_string(whole), text);
    EXPECT_EQ(skarn_viewport_has_changes(whole), 0);
    EXPECT_EQ(skarn_viewport_get_length(whole), 30);
    EXPECT_EQ(skarn_viewport_has_changes(inner), 1) << "reading one viewport leaves the others stale";
    EXPECT_EQ(skarn_viewport_get_string(inner), text.substr(10, 5));
}

TEST_F(ViewportTest, ViewportAtTheEndReadsNothingSuccessfully) {
    open(pattern_bytes(30));
    skarn_viewport_struct *vp = viewport(30, 4, false);
    EXPECT_EQ(skarn_viewport_get_length(vp), 0);
    EXPECT_EQ(skarn_viewport_get_following_byte_count(vp), 0);
    const uint8_t *data = skarn_viewport_get_data(vp);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(skarn_viewport_get_length(vp), 0);
    EXPECT_EQ(data[0], 0);
}

TEST_F(ViewportTest, ViewportPastTheEndFailsOnceAndThenCountsAsCurrent) {
    open(pattern_bytes(30));
    skarn_viewport_struct *vp = viewport(40, 10, false);
    ASSERT_NE(vp, nullptr) << "the offset is not compared with the content's size";
    EXPECT_EQ(skarn_viewport_get_length(vp), 0);
    EXPECT_EQ(skarn_viewport_get_following_byte_count(vp), -10);
    EXPECT_EQ(skarn_viewport_get_data(vp), nullptr);
    EXPECT_EQ(skarn_viewport_has_changes(vp), 0);
    EXPECT_EQ(skarn_viewport_get_length(vp), 0);
    EXPECT_NE(skarn_viewport_get_data(vp), nullptr) << "a failed read is not repeated";
    EXPECT_EQ(skarn_viewport_get_string(vp), "");

    // Content growing to reach it makes it stale and readable.
    ASSERT_GT(skarn_edit_insert_string(session, 30, pattern_bytes(15)), 0);
    EXPECT_EQ(skarn_viewport_has_changes(vp), 1);
    EXPECT_EQ(skarn_viewport_get_length(vp), 5);
    EXPECT_EQ(skarn_viewport_get_string(vp), pattern_bytes(15).substr(10, 5));
}

TEST_F(ViewportTest, ViewportOfAnEmptySessionHoldsNothing) {
    session = skarn_edit_create_session(nullptr, session_cbk, &log, all_session_events, dir.str().c_str());
    ASSERT_NE(session, nullptr);
    skarn_viewport_struct *vp = viewport(0, 16, true);
    EXPECT_EQ(skarn_viewport_get_length(vp), 0);
    EXPECT_EQ(skarn_viewport_get_string(vp), "");
    ASSERT_GT(skarn_edit_insert_string(session, 0, "hello"), 0);
    EXPECT_EQ(skarn_viewport_get_offset(vp), 5) << "an insert at a floating viewport's offset moves it";
    ASSERT_EQ(skarn_viewport_modify(vp, 0, 16, 0), 0);
    EXPECT_EQ(skarn_viewport_get_string(vp), "hello");
}

TEST_F(ViewportTest, AccessorsReturnWhatWasGiven) {
    open(pattern_bytes(10));
    int marker = 0;
    skarn_viewport_struct *plain = skarn_edit_create_viewport(session, 4, 6, 0, nullptr, &marker, 0x12);
    skarn_viewport_struct *floating = skarn_edit_create_viewport(session, 1, 2, 7, viewport_cbk, &log, 0);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(floating, nullptr);
    EXPECT_EQ(skarn_viewport_get_session(plain), session);
    EXPECT_EQ(skarn_viewport_get_event_cbk(plain), nullptr);
    EXPECT_EQ(skarn_viewport_get_event_cbk(floating), &viewport_cbk);
    EXPECT_EQ(skarn_viewport_get_user_data_ptr(plain), &marker);
    EXPECT_EQ(skarn_viewport_get_event_interest(plain), 0x12);
    EXPECT_EQ(skarn_viewport_set_event_interest(plain, VIEWPORT_EVT_EDIT), VIEWPORT_EVT_EDIT);
    EXPECT_EQ(skarn_viewport_get_event_interest(plain), VIEWPORT_EVT_EDIT);
    EXPECT_EQ(skarn_viewport_is_floating(plain), 0);
    EXPECT_EQ(skarn_viewport_is_floating(floating), 1) << "any non-zero flag floats";
    EXPECT_EQ(skarn_viewport_get_offset(plain), 4);
}

TEST_F(ViewportTest, DataPointerStaysTheSameAcrossReads) {
    open(pattern_bytes(40));
    skarn_viewport_struct *vp = viewport(0, 16, false);
    const uint8_t *first = skarn_viewport_get_data(vp);
    ASSERT_GT(skarn_edit_insert_string(session, 0, "0123456789"), 0);
    const uint8_t *second = skarn_viewport_get_data(vp);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(second), 10), "0123456789");
}

// ---------------------------------------------------------------------------
// Which changes affect a viewport (fixed viewport at 100 with capacity 10)

TEST_F(ViewportTest, InsertsAndDeletesAffectUpToTheInclusiveEnd) {
    open(pattern_bytes(200));
    skarn_viewport_struct *vp = viewport(100, 10, false);
    struct Case {
        bool insert;
        int64_t offset;
        bool affects;
    };
    const Case cases[] = {
        {true, 111, false}, {true, 110, true}, {false, 111, false}, {false, 110, true},
        {true, 105, true},  {true, 0, true},   {false, 0, true},    {false, 100, true},
    };
    for (const Case &c : cases) {
        settle(vp);
        log.events.clear();
        const int64_t serial =
            c.insert ? skarn_edit_insert_string(session, c.offset, "xy") : skarn_edit_delete(session, c.offset, 2);
        ASSERT_GT(serial, 0);
        EXPECT_EQ(skarn_viewport_has_changes(vp), c.affects ? 1 : 0) << c.insert << " at " << c.offset;
        EXPECT_EQ(skarn_viewport_get_offset(vp), 100) << "a fixed viewport never moves";
        std::vector<Event> expected;
        if (c.affects) expected.push_back({'V', vp, VIEWPORT_EVT_EDIT, last_change(), serial});
        expected.push_back({'S', session, SESSION_EVT_EDIT, last_change(), serial});
        EXPECT_EQ(log.events, expected) << c.insert << " at " << c.offset;
    }
    EXPECT_EQ(skarn_viewport_get_string(vp), content().substr(100, 10));
}

TEST_F(ViewportTest, OverwritesAffectOnlyWhenTheyTouchTheWindow) {
    open(pattern_bytes(200));
    skarn_viewport_struct *vp = viewport(100, 10, false);
    struct Case {
        int64_t offset;
        int64_t length;
        bool affects;
    };
    const Case cases[] = {
        {95, 5, true}, {95, 4, false}, {110, 3, true}, {111, 3, false}, {0, 3, false}, {90, 40, true}, {104, 1, true},
    };
    for (const Case &c : cases) {
        settle(vp);
        ASSERT_GT(skarn_edit_overwrite_string(session, c.offset, std::string(static_cast<size_t>(c.length), 'o')), 0);
        EXPECT_EQ(skarn_viewport_has_changes(vp), c.affects ? 1 : 0) << c.offset << "+" << c.length;
    }
    EXPECT_EQ(skarn_viewport_get_string(vp), content().substr(100, 10));
}

TEST_F(ViewportTest, InSegmentBoundsAreInclusiveAndMeasuredByCapacity) {
    open(pattern_bytes(103));  // the viewport below holds only 3 bytes
    skarn_viewport_struct *vp = viewport(100, 10, false);
    EXPECT_EQ(skarn_viewport_get_length(vp), 3);
    EXPECT_EQ(skarn_viewport_in_segment(vp, 90, 10), 1);  // ends exactly at the start
    EXPECT_EQ(skarn_viewport_in_segment(vp, 90, 9), 0);
    EXPECT_EQ(skarn_viewport_in_segment(vp, 100, 0), 1);
    EXPECT_EQ(skarn_viewport_in_segment(vp, 99, 0), 0);
    EXPECT_EQ(skarn_viewport_in_segment(vp, 110, 5), 1);  // starts exactly at the end
    EXPECT_EQ(skarn_viewport_in_segment(vp, 111, 0), 0);
    EXPECT_EQ(skarn_viewport_in_segment(vp, 108, 1), 1);   // past the bytes held, inside the capacity
    EXPECT_EQ(skarn_viewport_in_segment(vp, 0, 1000), 1);  // covers the window

    // A floating viewport is measured where it now is.
    skarn_viewport_struct *floating = viewport(10, 10, true);
    ASSERT_GT(skarn_edit_insert_string(session, 0, "12345"), 0);
    ASSERT_EQ(skarn_viewport_get_offset(floating), 15);
    EXPECT_EQ(skarn_viewport_in_segment(floating, 5, 9), 0);
    EXPECT_EQ(skarn_viewport_in_segment(floating, 5, 10), 1);
    EXPECT_EQ(skarn_viewport_in_segment(floating, 25, 0), 1);
    EXPECT_EQ(skarn_viewport_in_segment(floating, 26, 0), 0);
}

// ---------------------------------------------------------------------------
// Floating viewports

TEST_F(ViewportTest, InsertAtTheViewportOffsetMovesItAndOneAfterDoesNot) {
    open(pattern_bytes(200));
    skarn_viewport_struct *floating = viewport(100, 10, true);
    skarn_viewport_struct *fixed = viewport(100, 10, false);
    const std::string shown = skarn_viewport_get_string(floating);
    settle(fixed);

    ASSERT_GT(skarn_edit_insert_string(session, 100, "0123456789"), 0);
    EXPECT_EQ(skarn_viewport_get_offset(floating), 110);
    EXPECT_EQ(skarn_viewport_get_offset(fixed), 100);
    EXPECT_EQ(skarn_viewport_has_changes(floating), 1);
    EXPECT_EQ(skarn_viewport_get_string(floating), shown);
    EXPECT_EQ(skarn_viewport_get_string(fixed), "0123456789");

    ASSERT_GT(skarn_edit_insert_string(session, 111, "x"), 0);
    EXPECT_EQ(skarn_viewport_get_offset(floating), 110);
    EXPECT_EQ(skarn_viewport_has_changes(floating), 1);
    EXPECT_EQ(skarn_viewport_get_string(floating), shown.substr(0, 1) + "x" + shown.substr(1, 8));
}

TEST_F(ViewportTest, DeleteInFrontPullsAFloatingViewportBack) {
    open(pattern_bytes(200));
    skarn_viewport_struct *vp = viewport(100, 10, true);
    const std::string shown = skarn_viewport_get_string(vp);
    ASSERT_GT(skarn_edit_delete(session, 50, 10), 0);
    EXPECT_EQ(skarn_viewport_get_offset(vp), 90);
    EXPECT_EQ(skarn_viewport_get_string(vp), shown);
    ASSERT_GT(skarn_edit_delete(session, 90, 3), 0);  // at its offset: its first bytes go
    EXPECT_EQ(skarn_viewport_get_offset(vp), 90);
    EXPECT_EQ(skarn_viewport_get_string(vp).substr(0, 7), shown.substr(3));
}

TEST_F(ViewportTest, DeleteOverTheStartLandsOnTheDeleteOffset) {
    open(pattern_bytes(200));
    skarn_viewport_struct *undrifted = viewport(20, 10, true);
    ASSERT_GT(skarn_edit_delete(session, 0, 50), 0);
    EXPECT_EQ(skarn_viewport_get_offset(undrifted), 0) << "never below 0";

    skarn_viewport_struct *inside = viewport(20, 10, true);
    ASSERT_GT(skarn_edit_delete(session, 15, 10), 0);
    EXPECT_EQ(skarn_viewport_get_offset(inside), 15);

    // A viewport that drifted forwards first lands on the delete's offset too,
    // not at its anchor minus the overshoot.
    skarn_viewport_struct *drifted = viewport(20, 10, true);
    ASSERT_GT(skarn_edit_insert_string(session, 0, std::string(30, 'i')), 0);
    ASSERT_EQ(skarn_viewport_get_offset(drifted), 50);
    ASSERT_GT(skarn_edit_delete(session, 10, 60), 0);
    EXPECT_EQ(skarn_viewport_get_offset(drifted), 10);
    EXPECT_EQ(skarn_viewport_get_string(drifted), content().substr(10, 10));
}

TEST_F(ViewportTest, DeleteBehindTheStartDoesNotMoveAFloatingViewport) {
    open(pattern_bytes(200));
    skarn_viewport_struct *vp = viewport(20, 10, true);
    settle(vp);
    ASSERT_GT(skarn_edit_delete(session, 21, 3), 0);
    EXPECT_EQ(skarn_viewport_get_offset(vp), 20);
    EXPECT_EQ(skarn_viewport_has_changes(vp), 1);
    settle(vp);
    ASSERT_GT(skarn_edit_delete(session, 31, 3), 0);
    EXPECT_EQ(skarn_viewport_get_offset(vp), 20);
    EXPECT_EQ(skarn_viewport_has_changes(vp), 0);
}

TEST_F(ViewportTest, OverwriteMovesNoFloatingViewport) {
    open(pattern_bytes(200));
    skarn_viewport_struct *vp = viewport(20, 10, true);
    ASSERT_GT(skarn_edit_overwrite_string(session, 5, "abcdefghij"), 0);
    ASSERT_GT(skarn_edit_overwrite_string(session, 20, "ABC"), 0);
    EXPECT_EQ(skarn_viewport_get_offset(vp), 20);
    EXPECT_EQ(skarn_viewport_get_string(vp), "ABC" + pattern_bytes(200).substr(23, 7));
    ASSERT_EQ(skarn_edit_undo_last_change(session), -2);
    EXPECT_EQ(skarn_viewport_get_offset(vp), 20);
}

TEST_F(ViewportTest, FloatingViewportsShowTheSameBytesAfterEditUndoAndRedo) {
    const std::string text = pattern_bytes(120);
    open(text);
    std::vector<skarn_viewport_struct *> floating;
    for (int64_t offset : {0, 19, 20, 21, 50, 110}) floating.push_back(viewport(offset, 8, true));

    struct Edit {
        char kind;
        int64_t offset;
        int64_t length;
    };
    for (const Edit &edit : {Edit{'I', 20, 10}, Edit{'D', 5, 10}, Edit{'O', 20, 30}, Edit{'I', 0, 3}}) {
        std::vector<int64_t> offsets;
        std::vector<std::string> shown;
        for (auto *vp : floating) {
            offsets.push_back(skarn_viewport_get_offset(vp));
            shown.push_back(skarn_viewport_get_string(vp));
        }
        const std::string bytes(static_cast<size_t>(edit.length), '#');
        const int64_t serial = edit.kind == 'I'   ? skarn_edit_insert_string(session, edit.offset, bytes)
                               : edit.kind == 'D' ? skarn_edit_delete(session, edit.offset, edit.length)
                                                  : skarn_edit_overwrite_string(session, edit.offset, bytes);
        ASSERT_GT(serial, 0);
        std::vector<int64_t> edited;
        for (auto *vp : floating) edited.push_back(skarn_viewport_get_offset(vp));

        ASSERT_EQ(skarn_edit_undo_last_change(session), -serial);
        for (size_t i = 0; i < floating.size(); ++i) {
            // Viewports inside a deleted range cannot return to where they were.
            const bool was_deleted =
                edit.kind == 'D' && offsets[i] >= edit.offset && offsets[i] < edit.offset + edit.length;
            if (was_deleted) continue;
            EXPECT_EQ(skarn_viewport_get_offset(floating[i]), offsets[i]) << edit.kind << " viewport " << i;
            EXPECT_EQ(skarn_viewport_get_string(floating[i]), shown[i]) << edit.kind << " viewport " << i;
        }
        ASSERT_EQ(skarn_edit_redo_last_undo(session), serial);
        for (size_t i = 0; i < floating.size(); ++i) {
            EXPECT_EQ(skarn_viewport_get_offset(floating[i]), edited[i]) << edit.kind << " redo, viewport " << i;
        }
    }
}

TEST_F(ViewportTest, UndoingAnInsertNeverMovesAViewportBeforeItsOffset) {
    open(pattern_bytes(60));
    ASSERT_GT(skarn_edit_insert_string(session, 5, std::string(10, 'X')), 0);
    std::vector<skarn_viewport_struct *> vps;
    for (int64_t offset : {4, 5, 8, 15, 16}) vps.push_back(viewport(offset, 4, true));
    ASSERT_EQ(skarn_edit_undo_last_change(session), -1);
    const std::vector<int64_t> after_undo = {4, 5, 5, 5, 6};
    for (size_t i = 0; i < vps.size(); ++i) EXPECT_EQ(skarn_viewport_get_offset(vps[i]), after_undo[i]) << i;
    ASSERT_EQ(skarn_edit_redo_last_undo(session), 1);
    const std::vector<int64_t> after_redo = {4, 15, 15, 15, 16};
    for (size_t i = 0; i < vps.size(); ++i) EXPECT_EQ(skarn_viewport_get_offset(vps[i]), after_redo[i]) << i;
}

TEST_F(ViewportTest, UndoingADeleteMovesViewportsAtOrAfterItsOffsetForward) {
    open(pattern_bytes(60));
    ASSERT_GT(skarn_edit_delete(session, 5, 10), 0);
    std::vector<skarn_viewport_struct *> vps;
    for (int64_t offset : {4, 5, 6}) vps.push_back(viewport(offset, 4, true));
    skarn_viewport_struct *fixed = viewport(6, 4, false);
    ASSERT_EQ(skarn_edit_undo_last_change(session), -1);
    const std::vector<int64_t> after_undo = {4, 15, 16};
    for (size_t i = 0; i < vps.size(); ++i) EXPECT_EQ(skarn_viewport_get_offset(vps[i]), after_undo[i]) << i;
    EXPECT_EQ(skarn_viewport_get_offset(fixed), 6);
    EXPECT_EQ(skarn_viewport_get_string(vps[2]), pattern_bytes(60).substr(16, 4));
    ASSERT_EQ(skarn_edit_redo_last_undo(session), 1);
    const std::vector<int64_t> after_redo = {4, 5, 6};
    for (size_t i = 0; i < vps.size(); ++i) EXPECT_EQ(skarn_viewport_get_offset(vps[i]), after_redo[i]) << i;
}

TEST_F(ViewportTest, UndoAndRedoSendTheirEventsWithTheChange) {
    open(pattern_bytes(60));
    skarn_viewport_struct *vp = viewport(10, 10, false);
    ASSERT_EQ(skarn_edit_insert_string(session, 12, "abc"), 1);
    const skarn_change_struct *change = last_change();
    log.events.clear();

    ASSERT_EQ(skarn_edit_undo_last_change(session), -1);
    std::vector<Event> expected = {{'V', vp, VIEWPORT_EVT_UNDO, change, -1},
                                   {'S', session, SESSION_EVT_UNDO, change, -1}};
    EXPECT_EQ(log.events, expected);
    EXPECT_EQ(skarn_viewport_get_string(vp), pattern_bytes(60).substr(10, 10));

    log.events.clear();
    ASSERT_EQ(skarn_edit_redo_last_undo(session), 1);
    expected = {{'V', vp, VIEWPORT_EVT_EDIT, change, 1}, {'S', session, SESSION_EVT_EDIT, change, 1}};
    EXPECT_EQ(log.events, expected);
}

TEST_F(ViewportTest, TransactionUndoTellsViewportsNewestChangeFirst) {
    open(pattern_bytes(60));
    skarn_viewport_struct *vp = viewport(0, 60, false);
    ASSERT_EQ(skarn_session_begin_transaction(session), 0);
    ASSERT_EQ(skarn_edit_insert_string(session, 1, "a"), 1);
    ASSERT_EQ(skarn_edit_delete(session, 2, 2), 2);
    ASSERT_EQ(skarn_session_end_transaction(session), 0);
    const skarn_change_struct *first = skarn_session_get_change(session, 1);
    const skarn_change_struct *second = skarn_session_get_change(session, 2);
    log.events.clear();

    ASSERT_EQ(skarn_edit_undo_last_change(session), -1);
    const std::vector<Event> undo = {{'V', vp, VIEWPORT_EVT_UNDO, second, -2},
                                     {'S', session, SESSION_EVT_UNDO, second, -2},
                                     {'V', vp, VIEWPORT_EVT_UNDO, first, -1},
                                     {'S', session, SESSION_EVT_UNDO, first, -1}};
    EXPECT_EQ(log.events, undo);
    log.events.clear();
    ASSERT_EQ(skarn_edit_redo_last_undo(session), 2);
    const std::vector<Event> redo = {{'V', vp, VIEWPORT_EVT_EDIT, first, 1},
                                     {'S', session, SESSION_EVT_EDIT, first, 1},
                                     {'V', vp, VIEWPORT_EVT_EDIT, second, 2},
                                     {'S', session, SESSION_EVT_EDIT, second, 2}};
    EXPECT_EQ(log.events, redo);
}

// ---------------------------------------------------------------------------
// Modify

TEST_F(ViewportTest, ModifyWithTheSameValuesChangesNothing) {
    open(pattern_bytes(60));
    skarn_viewport_struct *vp = viewport(20, 10, true);
    ASSERT_GT(skarn_edit_insert_string(session, 0, "12345"), 0);
    ASSERT_EQ(skarn_viewport_get_offset(vp), 25);
    const uint8_t *data = skarn_viewport_get_data(vp);
    log.events.clear();

    // The anchor is compared, not the drifted offset; any non-zero flag floats.
    EXPECT_EQ(skarn_viewport_modify(vp, 20, 10, 1), 0);
    EXPECT_EQ(skarn_viewport_modify(vp, 20, 10, 9), 0);
    EXPECT_EQ(skarn_viewport_get_offset(vp), 25);
    EXPECT_EQ(skarn_viewport_has_changes(vp), 0);
    EXPECT_EQ(skarn_viewport_get_data(vp), data);
    EXPECT_TRUE(log.events.empty());
}

TEST_F(ViewportTest, ModifyReanchorsDropsTheDriftAndMakesStale) {
    const std::string text = pattern_bytes(60);
    open(text);
    skarn_viewport_struct *vp = viewport(20, 10, true);
    ASSERT_GT(skarn_edit_insert_string(session, 0, "12345"), 0);
    settle(vp);
    log.events.clear();

    // Only the floating flag differs: the viewport goes back to its anchor.
    EXPECT_EQ(skarn_viewport_modify(vp, 20, 10, 0), 0);
    EXPECT_EQ(skarn_viewport_get_offset(vp), 20);
    EXPECT_EQ(skarn_viewport_is_floating(vp), 0);
    EXPECT_EQ(skarn_viewport_has_changes(vp), 1);
    const std::vector<Event> expected = {{'V', vp, VIEWPORT_EVT_MODIFY, nullptr, 0}};
    EXPECT_EQ(log.events, expected) << "modify sends no session event";
    EXPECT_EQ(skarn_viewport_get_string(vp), text.substr(15, 10));

    // Re-anchoring where a drifted viewport stands starts it over with no drift.
    skarn_viewport_struct *other = viewport(30, 4, true);
    ASSERT_GT(skarn_edit_insert_string(session, 0, "abc"), 0);
    ASSERT_EQ(skarn_viewport_get_offset(other), 33);
    EXPECT_EQ(skarn_viewport_modify(other, 33, 4, 1), 0);
    EXPECT_EQ(other->data_segment.offset_adjustment, 0);
    EXPECT_EQ(skarn_viewport_get_offset(other), 33);
    EXPECT_EQ(skarn_viewport_has_changes(other), 1);
}

TEST_F(ViewportTest, ModifyWithCapacityOutOfRangeLeavesTheViewportAlone) {
    open(pattern_bytes(60));
    skarn_viewport_struct *vp = viewport(20, 10, true);
    ASSERT_GT(skarn_edit_insert_string(session, 0, "12345"), 0);
    const uint8_t *data = skarn_viewport_get_data(vp);
    log.events.clear();
    for (int64_t capacity : {int64_t{0}, int64_t{-10}, int64_t{SKARN_VIEWPORT_MAX_CAPACITY + 1}}) {
        EXPECT_EQ(skarn_viewport_modify(vp, 3, capacity, 0), -1) << capacity;
    }
    EXPECT_EQ(skarn_viewport_get_offset(vp), 25);
    EXPECT_EQ(skarn_viewport_get_capacity(vp), 10);
    EXPECT_EQ(skarn_viewport_is_floating(vp), 1);
    EXPECT_EQ(skarn_viewport_has_changes(vp), 0);
    EXPECT_EQ(skarn_viewport_get_data(vp), data);
    EXPECT_TRUE(log.events.empty());
}

TEST_F(ViewportTest, ModifyResizesBetweenInlineAndHeapStorage) {
    const std::string text = pattern_bytes(300);
    open(text);
    skarn_viewport_struct *vp = viewport(0, 4, false);
    EXPECT_EQ(skarn_viewport_get_string(vp), text.substr(0, 4));
    for (int64_t capacity : {int64_t{100}, int64_t{3}, int64_t{8}, int64_t{7}, int64_t{SKARN_VIEWPORT_MAX_CAPACITY}}) {
        ASSERT_EQ(skarn_viewport_modify(vp, 50, capacity, 0), 0);
        EXPECT_EQ(skarn_viewport_get_capacity(vp), capacity);
        EXPECT_EQ(skarn_viewport_get_length(vp), std::min<int64_t>(capacity, 250));
        EXPECT_EQ(skarn_viewport_get_string(vp), text.substr(50, static_cast<size_t>(capacity))) << capacity;
    }
}

// ---------------------------------------------------------------------------
// Events

TEST_F(ViewportTest, NotifyCallsOnlyAnInterestedCallbackWhileNotPaused) {
    open(pattern_bytes(10));
    skarn_viewport_struct *silent = skarn_edit_create_viewport(session, 0, 4, 0, nullptr, &log, all_viewport_events);
    skarn_viewport_struct *vp = viewport(0, 4, false, VIEWPORT_EVT_EDIT | VIEWPORT_EVT_CHANGES);
    log.events.clear();
    int token = 0;
    EXPECT_EQ(skarn_viewport_notify(silent, VIEWPORT_EVT_EDIT, &token), 0);
    EXPECT_EQ(skarn_viewport_notify(vp, VIEWPORT_EVT_CREATE, &token), 0);
    EXPECT_TRUE(log.events.empty());
    EXPECT_EQ(skarn_viewport_notify(vp, VIEWPORT_EVT_CHANGES, &token), 1);
    skarn_session_pause_viewport_event_callbacks(session);
    EXPECT_EQ(skarn_viewport_notify(vp, VIEWPORT_EVT_CHANGES, &token), 0);
    skarn_session_resume_viewport_event_callbacks(session);
    skarn_viewport_set_event_interest(vp, 0);
    EXPECT_EQ(skarn_viewport_notify(vp, VIEWPORT_EVT_CHANGES, &token), 0);
    const std::vector<Event> expected = {{'V', vp, VIEWPORT_EVT_CHANGES, &token, 0}};
    EXPECT_EQ(log.events, expected);
}

TEST_F(ViewportTest, CreateTellsTheViewportThenTheSession) {
    open(pattern_bytes(10));
    skarn_viewport_struct *a = viewport(0, 4, false);
    skarn_viewport_struct *b = viewport(2, 4, true, VIEWPORT_EVT_EDIT);
    const std::vector<Event> expected = {{'V', a, VIEWPORT_EVT_CREATE, a, 0},
                                         {'S', session, SESSION_EVT_CREATE_VIEWPORT, a, 0},
                                         {'S', session, SESSION_EVT_CREATE_VIEWPORT, b, 0}};
    EXPECT_EQ(log.events, expected);
    EXPECT_EQ(skarn_session_get_num_viewports(session), 2);
}

TEST_F(ViewportTest, EditEventsGoToViewportsInCreationOrderBeforeTheSession) {
    open(pattern_bytes(100));
    skarn_viewport_struct *a = viewport(50, 10, false);
    skarn_viewport_struct *b = viewport(60, 10, true, VIEWPORT_EVT_UNDO);  // not interested in edits
    skarn_viewport_struct *c = viewport(52, 3, false);
    skarn_viewport_struct *d = viewport(0, 10, false);  // ends before the change
    for (auto *vp : {a, b, c, d}) settle(vp);
    log.events.clear();
    ASSERT_EQ(skarn_edit_delete(session, 55, 1), 1);
    const skarn_change_struct *change = last_change();
    const std::vector<Event> expected = {{'V', a, VIEWPORT_EVT_EDIT, change, 1},
                                         {'V', c, VIEWPORT_EVT_EDIT, change, 1},
                                         {'S', session, SESSION_EVT_EDIT, change, 1}};
    EXPECT_EQ(log.events, expected);
    EXPECT_EQ(skarn_viewport_has_changes(b), 1) << "marking does not depend on interest";
    EXPECT_EQ(skarn_viewport_get_offset(b), 59);
    EXPECT_EQ(skarn_viewport_has_changes(d), 0);
}

TEST_F(ViewportTest, DestroyTellsOnlyTheSessionAndKeepsTheOthersInOrder) {
    open(pattern_bytes(100));
    skarn_viewport_struct *a = viewport(0, 10, false);
    skarn_viewport_struct *b = viewport(0, 10, false);
    skarn_viewport_struct *c = viewport(0, 10, false);
    log.events.clear();
    skarn_edit_destroy_viewport(b);
    std::vector<Event> expected = {{'S', session, SESSION_EVT_DESTROY_VIEWPORT, b, 0}};
    EXPECT_EQ(log.events, expected);
    EXPECT_EQ(skarn_session_get_num_viewports(session), 2);

    log.events.clear();
    ASSERT_EQ(skarn_edit_insert_string(session, 0, "x"), 1);
    const skarn_change_struct *change = last_change();
    expected = {{'V', a, VIEWPORT_EVT_EDIT, change, 1},
                {'V', c, VIEWPORT_EVT_EDIT, change, 1},
                {'S', session, SESSION_EVT_EDIT, change, 1}};
    EXPECT_EQ(log.events, expected);

    // A viewport record that its session does not hold is left alone.
    skarn_viewport_struct stranger;
    stranger.session = session;
    log.events.clear();
    skarn_edit_destroy_viewport(&stranger);
    EXPECT_TRUE(log.events.empty());
    EXPECT_EQ(skarn_session_get_num_viewports(session), 2);
}

TEST_F(ViewportTest, SessionDestructionDestroysViewportsNewestFirst) {
    open(pattern_bytes(100));
    skarn_viewport_struct *a = viewport(0, 10, false);
    skarn_viewport_struct *b = viewport(5, 10, true);
    skarn_viewport_struct *c = viewport(9, 10, false);
    log.events.clear();
    const skarn_session_struct *gone = session;
    skarn_edit_destroy_session(session);
    session = nullptr;
    const std::vector<Event> expected = {{'S', gone, SESSION_EVT_DESTROY_VIEWPORT, c, 0},
                                         {'S', gone, SESSION_EVT_DESTROY_VIEWPORT, b, 0},
                                         {'S', gone, SESSION_EVT_DESTROY_VIEWPORT, a, 0}};
    EXPECT_EQ(log.events, expected);
}

TEST_F(ViewportTest, ClearMarksEveryViewportAndKeepsTheDrift) {
    const std::string text = pattern_bytes(100);
    open(text);
    skarn_viewport_struct *a = viewport(0, 10, false);
    skarn_viewport_struct *b = viewport(50, 10, true);
    skarn_viewport_struct *c = viewport(95, 10, false, VIEWPORT_EVT_EDIT);  // not interested in clear
    ASSERT_GT(skarn_edit_insert_string(session, 10, "0123456789"), 0);
    ASSERT_EQ(skarn_viewport_get_offset(b), 60);
    for (auto *vp : {a, b, c}) settle(vp);
    log.events.clear();

    ASSERT_EQ(skarn_edit_clear_changes(session), 0);
    const std::vector<Event> expected = {{'V', a, VIEWPORT_EVT_CLEAR, nullptr, 0},
                                         {'V', b, VIEWPORT_EVT_CLEAR, nullptr, 0},
                                         {'S', session, SESSION_EVT_CLEAR, nullptr, 0}};
    EXPECT_EQ(log.events, expected);
    for (auto *vp : {a, b, c}) EXPECT_EQ(skarn_viewport_has_changes(vp), 1);
    EXPECT_EQ(skarn_viewport_get_offset(b), 60);
    EXPECT_EQ(skarn_viewport_get_string(b), text.substr(60, 10));
}

TEST_F(ViewportTest, PausedCallbacksStillMarkAndCountAfterResuming) {
    open(pattern_bytes(100));
    constexpr int32_t changes_only = VIEWPORT_EVT_CHANGES;
    skarn_viewport_struct *a = viewport(35, 10, false, changes_only);
    skarn_viewport_struct *no_callback = skarn_edit_create_viewport(session, 30, 10, 0, nullptr, nullptr, changes_only);
    skarn_viewport_struct *not_interested = viewport(40, 10, false, VIEWPORT_EVT_EDIT);
    skarn_viewport_struct *untouched = viewport(0, 10, false, changes_only);  // ends before the insert
    skarn_viewport_struct *b = viewport(40, 10, true, changes_only | VIEWPORT_EVT_EDIT);
    for (auto *vp : {a, no_callback, not_interested, untouched, b}) settle(vp);
    EXPECT_EQ(skarn_session_notify_changed_viewports(session), 0) << "nothing is stale yet";

    skarn_session_pause_viewport_event_callbacks(session);
    skarn_session_pause_viewport_event_callbacks(session);
    EXPECT_EQ(skarn_session_viewport_event_callbacks_paused(session), 1);
    log.events.clear();
    ASSERT_EQ(skarn_edit_insert_string(session, 40, "ab"), 1);
    const std::vector<Event> only_session = {{'S', session, SESSION_EVT_EDIT, last_change(), 1}};
    EXPECT_EQ(log.events, only_session);
    EXPECT_EQ(skarn_viewport_get_offset(b), 42) << "floating goes on while paused";
    for (auto *vp : {a, no_callback, not_interested, b}) EXPECT_EQ(skarn_viewport_has_changes(vp), 1);
    EXPECT_EQ(skarn_viewport_has_changes(untouched), 0);
    EXPECT_EQ(skarn_session_notify_changed_viewports(session), 0);

    skarn_session_resume_viewport_event_callbacks(session);
    EXPECT_EQ(skarn_session_viewport_event_callbacks_paused(session), 0) << "one resume undoes any number of pauses";
    log.events.clear();
    EXPECT_EQ(skarn_session_notify_changed_viewports(session), 2);
    EXPECT_EQ(skarn_session_notify_changed_viewports(session), 2) << "notifying does not clear the stale flags";
    const std::vector<Event> expected = {{'V', a, VIEWPORT_EVT_CHANGES, nullptr, 0},
                                         {'V', b, VIEWPORT_EVT_CHANGES, nullptr, 0},
                                         {'V', a, VIEWPORT_EVT_CHANGES, nullptr, 0},
                                         {'V', b, VIEWPORT_EVT_CHANGES, nullptr, 0}};
    EXPECT_EQ(log.events, expected);
    settle(a);
    EXPECT_EQ(skarn_session_notify_changed_viewports(session), 1);
}

// ---------------------------------------------------------------------------
// Randomized: viewports over random edits, undo, redo, transactions, clears
// and modifies, checked after every step against a model of the content.

struct ModelViewport {
    skarn_viewport_struct *handle = nullptr;
    int64_t anchor = 0;
    int64_t offset = 0;
    int64_t capacity = 0;
    bool floating = false;
    bool stale = true;
    std::string held;          // the bytes the last read left
    bool read_failed = false;  // the last read found the viewport past the end
};

struct ModelChange {
    char kind;  // 'I', 'D', 'O'
    int64_t offset;
    int64_t length;
    std::string bytes;
    std::string before;  // the content before the change
    int64_t serial;
};

class ViewportModel {
public:
    ViewportModel(skarn_session_struct *session, std::string original)
        : session_(session), original_(original), content_(std::move(original)) {}

    std::vector<ModelViewport> viewports;
    std::vector<Event> expected;  // events the last step should have sent

    const std::string &content() const { return content_; }

    // Applies an edit to the session and the model; the kind's arguments are
    // already valid for the current content.
    void edit(char kind, int64_t offset, int64_t length, const std::string &bytes) {
        ModelChange change{kind, offset, static_cast<int64_t>(bytes.size()), bytes, content_, 0};
        int64_t serial = 0;
        switch (kind) {
            case 'I': serial = skarn_edit_insert_string(session_, offset, bytes); break;
            case 'D':
                change.length = std::min<int64_t>(length, size() - offset);
                serial = skarn_edit_delete(session_, offset, length);
                break;
            default: serial = skarn_edit_overwrite_string(session_, offset, bytes); break;
        }
        ASSERT_EQ(serial, in_force_ + 1) << kind << " at " << offset;
        change.serial = serial;
        ++in_force_;
        redo_.clear();
        if (!in_transaction_ || !transaction_has_change_) history_.emplace_back();
        transaction_has_change_ = in_transaction_;
        history_.back().push_back(change);
        apply(change);
    }

    void begin_transaction() {
        ASSERT_EQ(skarn_session_begin_transaction(session_), 0);
        in_transaction_ = true;
        transaction_has_change_ = false;
    }

    void end_transaction() {
        ASSERT_EQ(skarn_session_end_transaction(session_), 0);
        in_transaction_ = false;
    }

    void undo() {
        const int64_t result = skarn_edit_undo_last_change(session_);
        if (history_.empty()) {
            ASSERT_EQ(result, 0);
            return;
        }
        std::vector<ModelChange> transaction = std::move(history_.back());
        history_.pop_back();
        ASSERT_EQ(result, -transaction.front().serial);
        for (auto it = transaction.rbegin(); it != transaction.rend(); ++it) {
            content_ = it->before;
            --in_force_;
            notify(*it, true);
        }
        redo_.push_back(std::move(transaction));
    }

    void redo() {
        const int64_t result = skarn_edit_redo_last_undo(session_);
        if (redo_.empty()) {
            ASSERT_EQ(result, 0);
            return;
        }
        std::vector<ModelChange> transaction = std::move(redo_.back());
        redo_.pop_back();
        ASSERT_EQ(result, transaction.back().serial);
        for (const ModelChange &change : transaction) {
            ++in_force_;
            apply(change);
        }
        history_.push_back(std::move(transaction));
    }

    void clear() {
        ASSERT_EQ(skarn_edit_clear_changes(session_), 0);
        content_ = original_;
        history_.clear();
        redo_.clear();
        in_force_ = 0;
        for (auto &vp : viewports) {
            vp.stale = true;
            expected.push_back({'V', vp.handle, VIEWPORT_EVT_CLEAR, nullptr, 0});
        }
        expected.push_back({'S', session_, SESSION_EVT_CLEAR, nullptr, 0});
    }

    void modify(ModelViewport &vp, int64_t anchor, int64_t capacity, bool floating) {
        ASSERT_EQ(skarn_viewport_modify(vp.handle, anchor, capacity, floating ? 1 : 0), 0);
        if (anchor == vp.anchor && capacity == vp.capacity && floating == vp.floating) return;
        vp.anchor = vp.offset = anchor;
        vp.capacity = capacity;
        vp.floating = floating;
        vp.stale = true;
        expected.push_back({'V', vp.handle, VIEWPORT_EVT_MODIFY, nullptr, 0});
    }

    int64_t size() const { return static_cast<int64_t>(content_.size()); }

private:
    void apply(const ModelChange &change) {
        const auto offset = static_cast<size_t>(change.offset);
        switch (change.kind) {
            case 'I': content_.insert(offset, change.bytes); break;
            case 'D': content_.erase(offset, static_cast<size_t>(change.length)); break;
            default:
                content_ =
                    content_.substr(0, offset) + change.bytes +
                    (offset + change.bytes.size() < content_.size() ? content_.substr(offset + change.bytes.size())
                                                                    : std::string());
                break;
        }
        notify(change, false);
    }

    // The floating rule, the affect rule and the events, for one change
    // applied or undone.
    void notify(const ModelChange &change, bool undone) {
        const int64_t o = change.offset;
        const int64_t n = change.length;
        for (auto &vp : viewports) {
            if (vp.floating && o <= vp.offset) {
                const bool moves_forward = (change.kind == 'I' && !undone) || (change.kind == 'D' && undone);
                const bool moves_back = (change.kind == 'D' && !undone) || (change.kind == 'I' && undone);
                if (moves_forward) vp.offset += n;
                if (moves_back) vp.offset = std::max(vp.offset - n, o);
            }
            const bool affected = change.kind == 'O' ? (o + n >= vp.offset && o <= vp.offset + vp.capacity)
                                                     : o <= vp.offset + vp.capacity;
            if (affected) {
                vp.stale = true;
                expected.push_back({'V', vp.handle, undone ? VIEWPORT_EVT_UNDO : VIEWPORT_EVT_EDIT, nullptr,
                                    undone ? -change.serial : change.serial});
            }
        }
        expected.push_back({'S', session_, undone ? SESSION_EVT_UNDO : SESSION_EVT_EDIT, nullptr,
                            undone ? -change.serial : change.serial});
    }

    skarn_session_struct *session_;
    std::string original_;
    std::string content_;
    std::vector<std::vector<ModelChange>> history_;  // transactions in force, oldest first
    std::vector<std::vector<ModelChange>> redo_;     // undone transactions, most recent last
    int64_t in_force_ = 0;
    bool in_transaction_ = false;
    bool transaction_has_change_ = false;
};

class ViewportRandomTest : public ViewportTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(ViewportRandomTest, ViewportsFollowTheModelThroughEditsUndoAndRedo) {
    std::mt19937_64 rng(GetParam());
    auto pick = [&rng](int64_t low, int64_t high) {  // inclusive
        return std::uniform_int_distribution<int64_t>(low, high)(rng);
    };
    auto letters = [&](int64_t n) {
        std::string s(static_cast<size_t>(n), 'a');
        for (auto &c : s) c = static_cast<char>('a' + pick(0, 25));
        return s;
    };

    const std::string original = skarn_test::random_bytes(rng, static_cast<size_t>(pick(0, 80)));
    ASSERT_NO_FATAL_FAILURE(open(original, SESSION_EVT_EDIT | SESSION_EVT_UNDO | SESSION_EVT_CLEAR));
    ViewportModel model(session, original);
    for (int i = 0; i < 16; ++i) {
        ModelViewport vp;
        vp.capacity = pick(1, 64);
        vp.anchor = vp.offset = pick(0, model.size() + 20);
        vp.floating = pick(0, 1) == 1;
        vp.handle = viewport(vp.anchor, vp.capacity, vp.floating);
        ASSERT_NE(vp.handle, nullptr);
        model.viewports.push_back(vp);
    }
    log.events.clear();

    // Edits whose offset and length are valid for the current content.
    auto random_edit = [&]() {
        const int64_t size = model.size();
        const int64_t choice = pick(0, 9);
        if (choice < 4 || size == 0) {
            model.edit('I', pick(0, size), 0, letters(pick(0, 12)));
        } else if (choice < 7) {
            model.edit('D', pick(0, size - 1), pick(1, 24), {});
        } else {
            model.edit('O', pick(0, size), 0, letters(pick(0, 12)));
        }
    };

    for (int step = 0; step < 1500; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const int64_t op = pick(0, 99);
        if (op < 55) {
            ASSERT_NO_FATAL_FAILURE(random_edit());
        } else if (op < 75) {
            ASSERT_NO_FATAL_FAILURE(model.undo());
        } else if (op < 88) {
            ASSERT_NO_FATAL_FAILURE(model.redo());
        } else if (op < 93) {
            ASSERT_NO_FATAL_FAILURE(model.begin_transaction());
            for (int64_t n = pick(1, 3); n > 0; --n) ASSERT_NO_FATAL_FAILURE(random_edit());
            ASSERT_NO_FATAL_FAILURE(model.end_transaction());
        } else if (op < 98) {
            ModelViewport &vp = model.viewports[static_cast<size_t>(pick(0, 15))];
            // Often keep some of the values so that the no-change case comes up.
            const int64_t anchor = pick(0, 1) == 1 ? vp.anchor : pick(0, model.size() + 20);
            const int64_t capacity = pick(0, 1) == 1 ? vp.capacity : pick(1, 64);
            const bool floating = pick(0, 2) == 0 ? !vp.floating : vp.floating;
            ASSERT_NO_FATAL_FAILURE(model.modify(vp, anchor, capacity, floating));
        } else {
            ASSERT_NO_FATAL_FAILURE(model.clear());
        }

        ASSERT_EQ(skarn_session_get_computed_file_size(session), model.size());
        // Events: the change pointers are not modelled, the rest is.
        for (auto &event : log.events) event.ptr = nullptr;
        ASSERT_EQ(log.events, model.expected);
        log.events.clear();
        model.expected.clear();

        const std::string &text = model.content();
        const bool no_segments = session->current().pieces.empty();
        for (size_t i = 0; i < model.viewports.size(); ++i) {
            ModelViewport &vp = model.viewports[i];
            SCOPED_TRACE("viewport " + std::to_string(i));
            ASSERT_EQ(skarn_viewport_get_offset(vp.handle), vp.offset);
            ASSERT_EQ(skarn_viewport_has_changes(vp.handle), vp.stale ? 1 : 0);
            ASSERT_EQ(skarn_viewport_get_capacity(vp.handle), vp.capacity);
            ASSERT_EQ(skarn_viewport_is_floating(vp.handle), vp.floating ? 1 : 0);
            const int64_t available = std::clamp<int64_t>(model.size() - vp.offset, 0, vp.capacity);
            if (vp.stale) {
                ASSERT_EQ(skarn_viewport_get_length(vp.handle), available);
                ASSERT_EQ(skarn_viewport_get_following_byte_count(vp.handle), model.size() - vp.offset - available);
            }
            if (pick(0, 1) == 0) continue;  // leave some viewports unread

            const bool was_stale = vp.stale;
            const uint8_t *data = skarn_viewport_get_data(vp.handle);
            vp.stale = false;
            const std::string want = vp.offset <= model.size()
                                         ? text.substr(static_cast<size_t>(vp.offset), static_cast<size_t>(vp.capacity))
                                         : std::string();
            if (was_stale) {
                vp.read_failed = vp.offset > model.size() && !no_segments;
                vp.held = want;
                if (vp.read_failed) {
                    ASSERT_EQ(data, nullptr);
                    ASSERT_EQ(skarn_viewport_get_length(vp.handle), 0);
                    continue;
                }
            }
            // A current viewport hands out what it holds without reading; unless
            // its last read failed, that is exactly the content at its offset.
            ASSERT_NE(data, nullptr);
            const int64_t length = skarn_viewport_get_length(vp.handle);
            ASSERT_EQ(std::string(reinterpret_cast<const char *>(data), static_cast<size_t>(length)), vp.held);
            if (vp.read_failed) continue;
            ASSERT_EQ(vp.held, want) << "a current viewport must show the content";
            ASSERT_EQ(data[length], 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ViewportRandomTest, ::testing::Values(1u, 2u, 3u, 20240611u, 987654321u));

}  // namespace
