// Calls made from inside a session's own callbacks, offsets at the ends of
// the 64-bit range, and checkpoint directories too long for their names.
#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace {

using namespace skarn_test;

uint8_t flip(uint8_t byte, void *) { return static_cast<uint8_t>(byte ^ 0x20); }

// Tries, once per callback, every call that changes the session, and reads.
struct Intruder {
    skarn_session_struct *session = nullptr;
    skarn_viewport_struct *viewport = nullptr;
    std::vector<int64_t> results;  // every change attempt's result
    std::string read;              // what a read inside the callback saw
    int calls = 0;

    void intrude() {
        ++calls;
        read = content_of(session);
        results.push_back(skarn_edit_insert(session, 0, "x", 0));
        results.push_back(skarn_edit_overwrite(session, 0, "y", 0));
        results.push_back(skarn_edit_delete(session, 0, 1));
        results.push_back(skarn_edit_undo_last_change(session));
        results.push_back(skarn_edit_redo_last_undo(session));
        results.push_back(skarn_edit_clear_changes(session) == -1 ? 0 : 1);
        results.push_back(skarn_edit_create_checkpoint(session) == -1 ? 0 : 1);
        results.push_back(skarn_edit_destroy_last_checkpoint(session) == -1 ? 0 : 1);
        results.push_back(skarn_edit_apply_transform(session, &flip, nullptr, 0, 0) == -1 ? 0 : 1);
        results.push_back(skarn_edit_create_viewport(session, 0, 4, 0, nullptr, nullptr, 0) == nullptr ? 0 : 1);
        const int64_t viewports = skarn_session_get_num_viewports(session);
        if (viewport != nullptr) skarn_edit_destroy_viewport(viewport);
        results.push_back(skarn_session_get_num_viewports(session) == viewports ? 0 : 1);
        skarn_edit_destroy_session(session);  // refused: the session stays
    }
    static void on_viewport(const skarn_viewport_struct *viewport, int32_t, const void *) {
        static_cast<Intruder *>(skarn_viewport_get_user_data_ptr(viewport))->intrude();
    }
};

void session_callback(const skarn_session_struct *session, int32_t, const void *) {
    auto *intruder = static_cast<Intruder *>(skarn_session_get_user_data_ptr(session));
    // The handle the caller holds is not const; announced at creation before the caller has it.
    intruder->session = const_cast<skarn_session_struct *>(session);
    intruder->intrude();
}

TEST(Reentry, EveryChangeFromInsideACallbackIsRefusedAndReadsWork) {
    TempDir dir;
    const std::string path = dir.file("doc.txt");
    write_file(path, "0123456789");
    Intruder intruder;
    // Every operation that announces an event, with the intruder listening.
    Session s(skarn_edit_create_session(path.c_str(), &session_callback, &intruder, ~0, dir.str().c_str()));
    ASSERT_TRUE(s);
    intruder.session = s.get();
    intruder.viewport = skarn_edit_create_viewport(s.get(), 0, 8, 1, &Intruder::on_viewport, &intruder, ~0);
    ASSERT_NE(intruder.viewport, nullptr);

    ASSERT_GT(skarn_edit_insert(s.get(), 0, "ab", 0), 0);
    EXPECT_EQ(intruder.read, "ab0123456789");
    ASSERT_LT(skarn_edit_undo_last_change(s.get()), 0);
    ASSERT_GT(skarn_edit_redo_last_undo(s.get()), 0);  // used to redo from an emptied list
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    ASSERT_EQ(skarn_edit_apply_transform(s.get(), &flip, nullptr, 0, 2), 0);
    ASSERT_EQ(skarn_edit_save(s.get(), dir.file("out.txt").c_str(), IO_FLG_NONE, nullptr), 0);
    ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), 0);
    ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), 0);
    ASSERT_EQ(skarn_edit_clear_changes(s.get()), 0);

    EXPECT_GT(intruder.calls, 10);
    for (const int64_t result : intruder.results) EXPECT_EQ(result, 0);
    // Nothing the callbacks tried happened: exactly the caller's operations.
    EXPECT_EQ(read_file(dir.file("out.txt")), "AB0123456789");
    EXPECT_EQ(content_of(s.get()), "0123456789");
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 0);
    EXPECT_EQ(skarn_session_get_num_viewports(s.get()), 1);
    EXPECT_EQ(read_file(path), "0123456789");
    EXPECT_EQ(skarn_check_model(s.get()), 0);
    // Outside callbacks everything works again.
    intruder.results.clear();
    skarn_session_set_event_interest(s.get(), 0);
    skarn_viewport_set_event_interest(intruder.viewport, 0);
    EXPECT_GT(skarn_edit_insert(s.get(), 0, "z", 0), 0);
    EXPECT_EQ(content_of(s.get()), "z0123456789");
}

TEST(ExtremeOffsets, ViewportsAndSavesStayInsideTheRange) {
    TempDir dir;
    Session s = open_file_session(dir, "0123456789");
    ASSERT_TRUE(s);
    skarn_viewport_struct *high = skarn_edit_create_viewport(s.get(), INT64_MAX - 5, 16, 1, nullptr, nullptr, 0);
    skarn_viewport_struct *low = skarn_edit_create_viewport(s.get(), INT64_MIN, 16, 1, nullptr, nullptr, 0);
    skarn_viewport_struct *top = skarn_edit_create_viewport(s.get(), INT64_MAX, 16, 0, nullptr, nullptr, 0);
    ASSERT_TRUE(high != nullptr && low != nullptr && top != nullptr);

    // A floating viewport pushed past the largest offset stays there, and
    // comes back down by the same amount once the insert is undone.
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "0123456789", 0), 0);
    EXPECT_EQ(skarn_viewport_get_offset(high), INT64_MAX);
    EXPECT_EQ(skarn_viewport_get_offset(low), INT64_MIN);
    ASSERT_LT(skarn_edit_undo_last_change(s.get()), 0);
    EXPECT_EQ(skarn_viewport_get_offset(high), INT64_MAX - 10);
    ASSERT_GT(skarn_edit_delete(s.get(), 0, 3), 0);
    EXPECT_EQ(skarn_viewport_get_offset(high), INT64_MAX - 13);

    for (skarn_viewport_struct *viewport : {high, low, top}) {
        EXPECT_EQ(skarn_viewport_get_length(viewport), 0);
        EXPECT_EQ(skarn_viewport_get_data(viewport), nullptr);
        EXPECT_EQ(skarn_viewport_in_segment(viewport, INT64_MAX, INT64_MAX), viewport == low ? 0 : 1);
        EXPECT_EQ(skarn_viewport_in_segment(viewport, INT64_MIN, 1), viewport == low ? 1 : 0);
    }
    EXPECT_EQ(skarn_viewport_get_following_byte_count(low), INT64_MAX);
    EXPECT_EQ(skarn_viewport_get_following_byte_count(top), 7 - INT64_MAX);

    ClogCapture log;
    for (const int64_t offset : {INT64_MIN, int64_t{-1}}) {
        for (const int64_t length : {INT64_MIN, int64_t{0}, INT64_MAX}) {
            EXPECT_EQ(skarn_edit_save_segment(s.get(), dir.file("x").c_str(), IO_FLG_NONE, nullptr, offset, length),
                      -1);
        }
    }
    EXPECT_EQ(skarn_edit_save_segment(s.get(), dir.file("y").c_str(), IO_FLG_NONE, nullptr, 2, INT64_MAX), 0);
    EXPECT_EQ(read_file(dir.file("y")), "56789");
    EXPECT_FALSE(fs::exists(dir.file("x")));
}

TEST(LongDirectories, FileDirectoryTooLongForCheckpointNamesFallsBackToTheTemporaryDirectory) {
    TempDir dir;
    const std::string temp = fs::canonical(fs::temp_directory_path()).string();
    // One directory just too long for the checkpoint names, one too long for
    // any path buffer at all.
    for (const size_t length : {size_t{230}, size_t{300}}) {
        const std::string deep = directory_of_length(dir.str(), length, 'd');
        fs::create_directories(deep);
        const std::string path = deep + "/doc.txt";
        write_file(path, "deep");
        ClogCapture log;
        Session s(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, nullptr));
        ASSERT_TRUE(s) << length;
        EXPECT_EQ(std::string(skarn_session_get_checkpoint_directory(s.get())), temp);
        EXPECT_EQ(content_of(s.get()), "deep");
        EXPECT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
        EXPECT_TRUE(names_with_prefix(fs::current_path(), ".Skarnpad").empty());
        EXPECT_TRUE(names_with_prefix(deep, ".Skarnpad").empty());
    }
}

}  // namespace
