// Saving more than 4 GiB: offsets, lengths and stream positions must hold
// 64-bit values all the way from the edits to the written file.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace fs = std::filesystem;
using skarn_test::Session;
using skarn_test::TempDir;

namespace {

constexpr int64_t GiB = int64_t{1} << 30;

// The original file: sparse zeros with a few markers.
struct Marker {
    int64_t offset;
    std::string text;
};

constexpr int64_t original_size = 4 * GiB + 8192;
const std::vector<Marker> markers = {{0, "begin of file"},
                                     {2 * GiB, "marker at 2 GiB"},
                                     {4 * GiB - 8, "across 4 GiB"},
                                     {4 * GiB + 1000, "marker above 4 GiB"},
                                     {original_size - 4, "tail"}};

char original_byte(int64_t offset) {
    for (const auto &marker : markers) {
        if (offset >= marker.offset && offset < marker.offset + static_cast<int64_t>(marker.text.size())) {
            return marker.text[static_cast<size_t>(offset - marker.offset)];
        }
    }
    return '\0';
}

// The expected content as a list of pieces: a stretch of the original file,
// or literal bytes.
struct Piece {
    int64_t original_offset;  // -1 for literal bytes
    int64_t length;
    std::string literal;
};

std::string expected_range(const std::vector<Piece> &pieces, int64_t offset, int64_t length) {
    std::string out;
    int64_t position = 0;
    for (const auto &piece : pieces) {
        const int64_t begin = std::max(offset, position);
        const int64_t end = std::min(offset + length, position + piece.length);
        for (int64_t i = begin; i < end; ++i) {
            out += piece.original_offset < 0 ? piece.literal[static_cast<size_t>(i - position)]
                                             : original_byte(piece.original_offset + i - position);
        }
        position += piece.length;
    }
    return out;
}

std::string read_range(const std::string &path, int64_t offset, int64_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string data(static_cast<size_t>(length), '\0');
    in.read(data.data(), static_cast<std::streamsize>(length));
    data.resize(static_cast<size_t>(in.gcount()));
    return data;
}

TEST(LargeSave, MoreThan4GiBWithEditsOnBothSidesOf4GiB) {
    TempDir dir;
    const auto space = fs::space(dir.path());
    if (space.available < (uint64_t{12} << 30)) {
        GTEST_SKIP() << "needs 12 GiB free beside " << dir.str() << ", has " << (space.available >> 20) << " MiB";
    }
    const std::string source = dir.file("big.bin");
    {
        std::ofstream out(source, std::ios::binary);
        ASSERT_TRUE(out.good());
    }
    fs::resize_file(source, static_cast<uintmax_t>(original_size));
    {
        std::fstream out(source, std::ios::binary | std::ios::in | std::ios::out);
        for (const auto &marker : markers) {
            out.seekp(static_cast<std::streamoff>(marker.offset));
            out.write(marker.text.data(), static_cast<std::streamsize>(marker.text.size()));
        }
        ASSERT_TRUE(out.good());
    }
    fs::create_directory(dir.file("chk"));
    Session session(skarn_edit_create_session(source.c_str(), nullptr, nullptr, 0, dir.file("chk").c_str()));
    ASSERT_TRUE(session);
    ASSERT_EQ(skarn_session_get_computed_file_size(session.get()), original_size);

    // Edits from the highest offset down, so that each offset is also one of the original.
    const int64_t overwrite_at = 4 * GiB + 1004;  // inside the marker above 4 GiB
    const std::string overwrite = "OVERWRITTEN above 4 GiB";
    const int64_t delete_at = 3 * GiB;
    const int64_t delete_length = 4096;
    const int64_t insert_at = GiB + 17;
    const std::string insert = "INSERTED at 1 GiB";
    const std::string appended = "appended at the end";
    ASSERT_GT(skarn_edit_overwrite_string(session.get(), overwrite_at, overwrite), 0);
    ASSERT_GT(skarn_edit_delete(session.get(), delete_at, delete_length), 0);
    ASSERT_GT(skarn_edit_insert_string(session.get(), insert_at, insert), 0);
    ASSERT_GT(skarn_edit_insert_string(session.get(), skarn_session_get_computed_file_size(session.get()), appended),
              0);

    const auto ins = static_cast<int64_t>(insert.size());
    const auto over = static_cast<int64_t>(overwrite.size());
    const std::vector<Piece> pieces = {
        {0, insert_at, ""},
        {-1, ins, insert},
        {insert_at, delete_at - insert_at, ""},
        {delete_at + delete_length, overwrite_at - delete_at - delete_length, ""},
        {-1, over, overwrite},
        {overwrite_at + over, original_size - overwrite_at - over, ""},
        {-1, static_cast<int64_t>(appended.size()), appended},
    };
    const int64_t expected_size = original_size + ins - delete_length + static_cast<int64_t>(appended.size());
    ASSERT_EQ(skarn_session_get_computed_file_size(session.get()), expected_size);

    const std::string saved = dir.file("saved.bin");
    ASSERT_EQ(skarn_edit_save(session.get(), saved.c_str(), IO_FLG_NONE, nullptr), 0);
    ASSERT_EQ(static_cast<int64_t>(fs::file_size(saved)), expected_size);

    // Windows around every edit, every marker and the 4 GiB boundary of the output.
    std::vector<int64_t> around = {0,
                                   insert_at,
                                   delete_at + ins,
                                   overwrite_at + ins - delete_length,
                                   2 * GiB + ins,
                                   4 * GiB - 8 + ins - delete_length,
                                   4 * GiB,
                                   expected_size};
    for (const int64_t center : around) {
        const int64_t offset = std::max<int64_t>(center - 300, 0);
        const int64_t length = std::min<int64_t>(600, expected_size - offset);
        const std::string expected = expected_range(pieces, offset, length);
        ASSERT_EQ(static_cast<int64_t>(expected.size()), length);
        EXPECT_TRUE(read_range(saved, offset, length) == expected) << "around offset " << center;
        EXPECT_EQ(skarn_session_get_segment_string(session.get(), offset, length), expected)
            << "session around offset " << center;
    }

    // A range that starts above 4 GiB and runs to the end.
    const std::string tail = dir.file("tail.bin");
    const int64_t tail_offset = 4 * GiB + 500;
    ASSERT_EQ(skarn_edit_save_segment(session.get(), tail.c_str(), IO_FLG_NONE, nullptr, tail_offset, 0), 0);
    ASSERT_EQ(static_cast<int64_t>(fs::file_size(tail)), expected_size - tail_offset);
    EXPECT_TRUE(read_range(tail, 0, expected_size - tail_offset) ==
                expected_range(pieces, tail_offset, expected_size - tail_offset));
}

}  // namespace
