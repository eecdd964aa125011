// The editing engine on a sparse file of more than 4 GiB: cuts, removals and
// their undo at offsets above the 32-bit boundary.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "engine/session.hpp"
#include "support/test_support.hpp"

namespace {

using skarn_test::TempDir;

constexpr int64_t four_gib = int64_t{4} << 30;
constexpr int64_t file_size = four_gib + (int64_t{1} << 20);

std::string dump_of(skarn_session_struct *session) {
    std::ostringstream out;
    print_model_segments_(&session->current(), out);
    return out.str();
}

TEST(LargeEngine, EditsAboveFourGiBUndoAndRedoExactly) {
    TempDir dir;
    const std::string path = dir.file("sparse.bin");
    {
        const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "ABOVE", 5, four_gib + 10), 5);
        ASSERT_EQ(ftruncate(fd, file_size), 0);
        ASSERT_EQ(close(fd), 0);
    }
    skarn_session_struct *s = skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, dir.str().c_str());
    ASSERT_NE(s, nullptr);
    const std::string original = dump_of(s);

    // Cuts on both sides of the marker, a delete across several segments and
    // an overwrite running past the end of the content.
    ASSERT_EQ(skarn_edit_insert(s, four_gib + 12, "<in>", 0), 1);
    ASSERT_EQ(skarn_edit_insert(s, four_gib + 8, "[", 0), 2);
    ASSERT_EQ(skarn_edit_delete(s, four_gib + 11, 6), 3);
    EXPECT_EQ(skarn_session_get_computed_file_size(s), file_size - 1);
    ASSERT_EQ(skarn_edit_overwrite(s, file_size - 4, "END!", 0), 4);
    EXPECT_EQ(skarn_check_model(s), 0);
    EXPECT_EQ(skarn_session_get_computed_file_size(s), file_size);
    EXPECT_EQ(skarn_session_get_segment_string(s, four_gib + 8, 8), std::string("[\0\0OVE\0\0", 8));
    EXPECT_EQ(skarn_session_get_segment_string(s, file_size - 4, 10), "END!");
    const std::string edited = dump_of(s);

    for (int64_t serial = 4; serial >= 1; --serial) ASSERT_EQ(skarn_edit_undo_last_change(s), -serial);
    EXPECT_EQ(dump_of(s), original);
    EXPECT_EQ(skarn_session_get_segment_string(s, four_gib + 10, 5), "ABOVE");
    for (int64_t serial = 1; serial <= 4; ++serial) ASSERT_EQ(skarn_edit_redo_last_undo(s), serial);
    EXPECT_EQ(dump_of(s), edited);
    EXPECT_EQ(skarn_check_model(s), 0);
    skarn_edit_destroy_session(s);
}

}  // namespace
