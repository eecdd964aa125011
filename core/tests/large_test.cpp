// A file larger than 4 GiB: offsets, sizes and file positions must stay 64-bit
// all the way from session creation through reading and editing. The file is
// sparse, but the session's private copy is written out in full (about 4 GiB
// of disk for the duration of the test).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/level.hpp"
#include "engine/session.hpp"
#include "skarn_edit.hpp"
#include "support/test_support.hpp"

using skarn_test::Session;
using skarn_test::TempDir;

namespace {

constexpr int64_t four_gib = int64_t{1} << 32;
constexpr int64_t file_size = four_gib + 4096;

// Writes `text` at `offset` of the open descriptor.
void put(int fd, int64_t offset, const std::string &text) {
    ASSERT_EQ(pwrite(fd, text.data(), text.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(text.size()));
}

// A sparse file of `file_size` bytes, zeros except for a few markers.
void make_sparse_file(const std::string &path) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(file_size)), 0);
    ASSERT_NO_FATAL_FAILURE(put(fd, 0, "HEAD"));
    ASSERT_NO_FATAL_FAILURE(put(fd, four_gib - 4, "EDGE"));  // ends exactly at 4 GiB
    ASSERT_NO_FATAL_FAILURE(put(fd, four_gib + 100, "MARKER-1"));
    ASSERT_NO_FATAL_FAILURE(put(fd, file_size - 8, "LASTBYTE"));
    ASSERT_EQ(close(fd), 0);
}

std::string zeros(size_t n) { return std::string(n, '\0'); }

TEST(LargeFile, SessionOverMoreThanFourGiBReadsAndEditsAboveTheBoundary) {
    TempDir dir;
    const std::string path = dir.file("sparse.bin");
    ASSERT_NO_FATAL_FAILURE(make_sparse_file(path));

    Session session(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, dir.str().c_str()));
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_EQ(skarn_session_get_computed_file_size(s), file_size);
    ASSERT_EQ(session->current().pieces.size(), 1u);
    EXPECT_EQ(session->current().pieces[0].change->length, file_size);

    // Reads on both sides of the boundary and at the very end.
    EXPECT_EQ(skarn_session_get_segment_string(s, 0, 6), "HEAD" + zeros(2));
    EXPECT_EQ(skarn_session_get_segment_string(s, four_gib - 4, 8), "EDGE" + zeros(4));
    EXPECT_EQ(skarn_session_get_segment_string(s, four_gib + 96, 16), zeros(4) + "MARKER-1" + zeros(4));
    EXPECT_EQ(skarn_session_get_segment_string(s, file_size - 8, 100), "LASTBYTE");
    EXPECT_EQ(skarn_session_get_segment_string(s, file_size, 10), "");
    std::unique_ptr<skarn_segment_struct, decltype(&skarn_segment_destroy)> segment(skarn_segment_create(16),
                                                                                    &skarn_segment_destroy);
    ASSERT_NE(segment, nullptr);
    EXPECT_EQ(skarn_session_get_segment(s, segment.get(), file_size + 1), -1);

    // An insert and an overwrite above 4 GiB.
    ASSERT_EQ(skarn_edit_insert(s, four_gib + 50, "INSERTED", 0), 1);
    ASSERT_EQ(skarn_edit_overwrite(s, four_gib + 108, "OVER", 0), 2);
    EXPECT_EQ(skarn_session_get_computed_file_size(s), file_size + 8);
    EXPECT_EQ(skarn_check_model(s), 0);

    const std::string expected = zeros(10) + "INSERTED" + zeros(50) + "OVERER-1" + zeros(12);
    EXPECT_EQ(skarn_session_get_segment_string(s, four_gib + 40, static_cast<int64_t>(expected.size())), expected);
    EXPECT_EQ(skarn_session_get_segment_string(s, file_size, 100), "LASTBYTE");
    EXPECT_EQ(skarn_session_get_segment_string(s, four_gib - 4, 8), "EDGE" + zeros(4));

    // The read segments after the edits point above 4 GiB in the file.
    const auto &segments = session->current().pieces;
    ASSERT_EQ(segments.size(), 5u);
    EXPECT_EQ(segments[2].change_offset, four_gib + 50);
    EXPECT_EQ(segments[4].computed_offset, four_gib + 112);
    EXPECT_EQ(segments[4].change_offset, four_gib + 104);

    // Undo rebuilds the level from the big file.
    ASSERT_EQ(skarn_edit_undo_last_change(s), -2);
    EXPECT_EQ(skarn_session_get_segment_string(s, four_gib + 104, 12), zeros(4) + "MARKER-1");
    ASSERT_EQ(skarn_edit_undo_last_change(s), -1);
    EXPECT_EQ(skarn_session_get_computed_file_size(s), file_size);

    session.reset();
    EXPECT_EQ(dir.entries(), std::vector<std::string>({"sparse.bin"}));
}

}  // namespace
