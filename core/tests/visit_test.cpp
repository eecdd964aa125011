// Change visiting: callback walks and step walks over the changes in force,
// forwards and in reverse, early stops, undo and redo, and the behaviour of a
// context before a begin, after its end and over an emptied list.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/visit.hpp"
#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace {

using skarn_test::TempDir;

struct ContextDeleter {
    void operator()(skarn_visit_change_context_struct *context) const { skarn_visit_change_destroy_context(context); }
};
using Context = std::unique_ptr<skarn_visit_change_context_struct, ContextDeleter>;

// Collects the serials the callback walk hands out; returns `stop_with` at
// the change numbered `stop_at` (counting calls from 1), else 0.
struct Collector {
    std::vector<int64_t> serials;
    int stop_at = 0;
    int stop_with = 0;
};

int collect(const skarn_change_struct *change, void *user_data) {
    auto *collector = static_cast<Collector *>(user_data);
    collector->serials.push_back(skarn_change_get_serial(change));
    return static_cast<int>(collector->serials.size()) == collector->stop_at ? collector->stop_with : 0;
}

std::vector<int64_t> callback_walk(const skarn_session_struct *session, bool reverse) {
    Collector collector;
    const int result = reverse ? skarn_visit_changes_reverse(session, collect, &collector)
                               : skarn_visit_changes(session, collect, &collector);
    EXPECT_EQ(result, 0);
    return collector.serials;
}

// The step walk as a caller writes it: begin; while not at the end, take the
// change and move on. Also checks that next's result agrees with at_end.
std::vector<int64_t> step_walk(skarn_visit_change_context_struct *context) {
    std::vector<int64_t> serials;
    EXPECT_EQ(skarn_visit_change_begin(context), 0);
    while (skarn_visit_change_at_end(context) == 0) {
        const skarn_change_struct *change = skarn_visit_change_context_get_change(context);
        EXPECT_NE(change, nullptr);
        if (change == nullptr) break;
        serials.push_back(skarn_change_get_serial(change));
        const int at_end = skarn_visit_change_next(context);
        EXPECT_EQ(at_end, skarn_visit_change_at_end(context));
        if (serials.size() > 100000) break;  // a walk that never ends is a failure, not a hang
    }
    EXPECT_EQ(skarn_visit_change_context_get_change(context), nullptr);
    return serials;
}

class VisitTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string path = dir.file("content.txt");
        skarn_test::write_file(path, "0123456789abcdefghij");
        session = skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, dir.str().c_str());
        ASSERT_NE(session, nullptr);
    }
    void TearDown() override { skarn_edit_destroy_session(session); }

    Context context(bool reverse) { return Context(skarn_visit_change_create_context(session, reverse ? 1 : 0)); }

    TempDir dir;
    skarn_session_struct *session = nullptr;
};

TEST_F(VisitTest, NoChangesMeansNoVisits) {
    Collector collector;
    EXPECT_EQ(skarn_visit_changes(session, collect, &collector), 0);
    EXPECT_EQ(skarn_visit_changes_reverse(session, collect, &collector), 0);
    EXPECT_TRUE(collector.serials.empty());

    for (bool reverse : {false, true}) {
        Context walk = context(reverse);
        ASSERT_NE(walk, nullptr);
        EXPECT_EQ(skarn_visit_change_at_end(walk.get()), 1);
        EXPECT_EQ(skarn_visit_change_context_get_change(walk.get()), nullptr);
        EXPECT_EQ(skarn_visit_change_next(walk.get()), 1) << "next before begin does not move";
        EXPECT_EQ(skarn_visit_change_begin(walk.get()), 0);
        EXPECT_EQ(skarn_visit_change_at_end(walk.get()), 1);
        EXPECT_EQ(walk->position, nullptr) << "an empty list keeps no position";
        EXPECT_EQ(skarn_visit_change_context_get_change(walk.get()), nullptr);
        EXPECT_EQ(skarn_visit_change_next(walk.get()), 1);
    }
    skarn_visit_change_destroy_context(nullptr);  // ignored
}

TEST_F(VisitTest, WalksVisitChangesInOrderAndInReverse) {
    ASSERT_EQ(skarn_edit_insert(session, 0, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_delete(session, 5, 2), 2);
    ASSERT_EQ(skarn_edit_overwrite(session, 1, "XY", 0), 3);

    EXPECT_EQ(callback_walk(session, false), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(callback_walk(session, true), (std::vector<int64_t>{3, 2, 1}));

    // The records handed out are the session's own.
    Context forward = context(false);
    ASSERT_EQ(skarn_visit_change_begin(forward.get()), 0);
    const std::string kinds = "IDO";
    for (int64_t serial = 1; serial <= 3; ++serial) {
        const skarn_change_struct *change = skarn_visit_change_context_get_change(forward.get());
        EXPECT_EQ(change, skarn_session_get_change(session, serial));
        EXPECT_EQ(skarn_change_get_kind_as_char(change), kinds[static_cast<size_t>(serial - 1)]);
        EXPECT_EQ(skarn_visit_change_next(forward.get()), serial == 3 ? 1 : 0);
    }
    EXPECT_EQ(skarn_visit_change_at_end(forward.get()), 1);
    EXPECT_EQ(skarn_visit_change_context_get_change(forward.get()), nullptr);

    Context backward = context(true);
    ASSERT_EQ(skarn_visit_change_begin(backward.get()), 0);
    EXPECT_EQ(skarn_visit_change_context_get_change(backward.get()), skarn_session_get_change(session, 3));
    EXPECT_EQ(skarn_visit_change_next(backward.get()), 0);
    EXPECT_EQ(skarn_visit_change_next(backward.get()), 0);
    EXPECT_EQ(skarn_visit_change_context_get_change(backward.get()), skarn_session_get_change(session, 1));
    EXPECT_EQ(skarn_visit_change_next(backward.get()), 1);
    EXPECT_EQ(skarn_visit_change_context_get_change(backward.get()), nullptr);
}

TEST_F(VisitTest, NextAfterTheEndStaysThere) {
    ASSERT_EQ(skarn_edit_insert(session, 0, "a", 0), 1);
    ASSERT_EQ(skarn_edit_insert(session, 0, "b", 0), 2);
    for (bool reverse : {false, true}) {
        Context walk = context(reverse);
        ASSERT_EQ(skarn_visit_change_begin(walk.get()), 0);
        EXPECT_EQ(skarn_visit_change_next(walk.get()), 0);
        EXPECT_EQ(skarn_visit_change_next(walk.get()), 1);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(skarn_visit_change_next(walk.get()), 1) << reverse;
            EXPECT_EQ(skarn_visit_change_at_end(walk.get()), 1);
            EXPECT_EQ(skarn_visit_change_context_get_change(walk.get()), nullptr);
        }
        // Begin restarts a finished walk.
        EXPECT_EQ(step_walk(walk.get()), reverse ? (std::vector<int64_t>{2, 1}) : (std::vector<int64_t>{1, 2}));
    }
}

TEST_F(VisitTest, BeginRestartsAWalkHalfWay) {
    for (int i = 0; i < 4; ++i) ASSERT_GT(skarn_edit_insert(session, 0, "z", 0), 0);
    Context walk = context(false);
    ASSERT_EQ(skarn_visit_change_begin(walk.get()), 0);
    ASSERT_EQ(skarn_visit_change_next(walk.get()), 0);
    ASSERT_EQ(skarn_visit_change_next(walk.get()), 0);
    ASSERT_EQ(skarn_change_get_serial(skarn_visit_change_context_get_change(walk.get())), 3);
    EXPECT_EQ(step_walk(walk.get()), (std::vector<int64_t>{1, 2, 3, 4}));
}

TEST_F(VisitTest, CallbackResultStopsTheWalk) {
    for (int i = 0; i < 3; ++i) ASSERT_GT(skarn_edit_insert(session, 0, "z", 0), 0);

    Collector forward{{}, 2, 7};
    EXPECT_EQ(skarn_visit_changes(session, collect, &forward), 7);
    EXPECT_EQ(forward.serials, (std::vector<int64_t>{1, 2}));

    Collector reverse{{}, 2, 7};
    EXPECT_EQ(skarn_visit_changes_reverse(session, collect, &reverse), 7);
    EXPECT_EQ(reverse.serials, (std::vector<int64_t>{3, 2}));

    Collector first{{}, 1, -1};
    EXPECT_EQ(skarn_visit_changes(session, collect, &first), -1);
    EXPECT_EQ(first.serials, (std::vector<int64_t>{1}));

    Collector last{{}, 3, 7};
    EXPECT_EQ(skarn_visit_changes(session, collect, &last), 7);
    EXPECT_EQ(last.serials, (std::vector<int64_t>{1, 2, 3}));
}

TEST_F(VisitTest, UndoneChangesAreNotVisitedUntilRedone) {
    for (int i = 0; i < 3; ++i) ASSERT_GT(skarn_edit_insert(session, 0, "z", 0), 0);
    ASSERT_EQ(skarn_edit_undo_last_change(session), -3);
    EXPECT_EQ(callback_walk(session, false), (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(callback_walk(session, true), (std::vector<int64_t>{2, 1}));
    Context walk = context(true);
    EXPECT_EQ(step_walk(walk.get()), (std::vector<int64_t>{2, 1}));

    ASSERT_EQ(skarn_edit_redo_last_undo(session), 3);
    EXPECT_EQ(callback_walk(session, false), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(step_walk(walk.get()), (std::vector<int64_t>{3, 2, 1}));

    // A whole transaction goes at once.
    ASSERT_EQ(skarn_session_begin_transaction(session), 0);
    ASSERT_EQ(skarn_edit_delete(session, 0, 1), 4);
    ASSERT_EQ(skarn_edit_overwrite(session, 0, "q", 0), 5);
    ASSERT_EQ(skarn_session_end_transaction(session), 0);
    ASSERT_EQ(skarn_edit_undo_last_change(session), -4);
    EXPECT_EQ(callback_walk(session, false), (std::vector<int64_t>{1, 2, 3}));
}

TEST_F(VisitTest, BeginOnAnEmptiedListEndsTheWalk) {
    ASSERT_EQ(skarn_edit_insert(session, 0, "a", 0), 1);
    Context walk = context(false);
    ASSERT_EQ(skarn_visit_change_begin(walk.get()), 0);
    ASSERT_EQ(skarn_visit_change_at_end(walk.get()), 0);
    ASSERT_EQ(skarn_edit_undo_last_change(session), -1);

    EXPECT_EQ(skarn_visit_change_begin(walk.get()), 0);
    EXPECT_EQ(skarn_visit_change_at_end(walk.get()), 1);
    EXPECT_EQ(walk->position, nullptr);
    EXPECT_EQ(skarn_visit_change_context_get_change(walk.get()), nullptr);
    EXPECT_EQ(skarn_visit_change_next(walk.get()), 1);

    // The context is reusable once there are changes again.
    ASSERT_EQ(skarn_edit_insert(session, 0, "b", 0), 1);
    EXPECT_EQ(step_walk(walk.get()), (std::vector<int64_t>{1}));
}

// Random edits, undo, redo and clears; after each step every walk must list
// exactly the serials in force, in order.
TEST_F(VisitTest, WalksMatchTheChangesInForce) {
    std::mt19937_64 rng(42);
    auto pick = [&rng](int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(rng); };
    std::vector<int64_t> in_force;
    std::vector<int64_t> undone;
    Context forward = context(false);
    Context backward = context(true);

    for (int step = 0; step < 400; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const int64_t op = pick(0, 9);
        const int64_t size = skarn_session_get_computed_file_size(session);
        if (op < 5) {
            const int64_t serial = size > 0 && op == 4 ? skarn_edit_delete(session, pick(0, size - 1), pick(1, 4))
                                                       : skarn_edit_insert(session, pick(0, size), "xyz", 0);
            ASSERT_EQ(serial, static_cast<int64_t>(in_force.size()) + 1);
            in_force.push_back(serial);
            undone.clear();
        } else if (op < 8) {
            const int64_t result = skarn_edit_undo_last_change(session);
            if (in_force.empty()) {
                ASSERT_EQ(result, 0);
            } else {
                ASSERT_EQ(result, -in_force.back());
                undone.push_back(in_force.back());
                in_force.pop_back();
            }
        } else if (op < 9) {
            const int64_t result = skarn_edit_redo_last_undo(session);
            if (undone.empty()) {
                ASSERT_EQ(result, 0);
            } else {
                ASSERT_EQ(result, undone.back());
                in_force.push_back(undone.back());
                undone.pop_back();
            }
        } else if (pick(0, 3) == 0) {
            ASSERT_EQ(skarn_edit_clear_changes(session), 0);
            in_force.clear();
            undone.clear();
        }

        const std::vector<int64_t> reversed(in_force.rbegin(), in_force.rend());
        ASSERT_EQ(callback_walk(session, false), in_force);
        ASSERT_EQ(callback_walk(session, true), reversed);
        ASSERT_EQ(step_walk(forward.get()), in_force);
        ASSERT_EQ(step_walk(backward.get()), reversed);
    }
}

}  // namespace
