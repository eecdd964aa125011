// Segment records and segment reading: how a range of the computed content is
// gathered from read and insert segments, where the small-buffer rule puts the
// bytes of segments and changes, the model dump, the model check, and the
// internal faults that end the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "engine/change.hpp"
#include "engine/level.hpp"
#include "engine/segment.hpp"
#include "engine/session.hpp"
#include "skarn_edit.hpp"
#include "engine/reader.hpp"
#include "support/damaged_model.hpp"
#include "support/model_support.hpp"
#include "support/test_support.hpp"

namespace fs = std::filesystem;
using skarn_test::ClogCapture;
using skarn_test::content_of;
using skarn_test::describe;
using skarn_test::open_file_session;
using skarn_test::open_session;
using skarn_test::Session;
using skarn_test::TempDir;

namespace {

struct SegmentDeleter {
    void operator()(skarn_segment_struct *segment) const { skarn_segment_destroy(segment); }
};
using Segment = std::unique_ptr<skarn_segment_struct, SegmentDeleter>;

std::string segment_text(skarn_segment_struct *segment) {
    return std::string(reinterpret_cast<const char *>(skarn_segment_get_data(segment)),
                       static_cast<size_t>(skarn_segment_get_length(segment)));
}

bool points_into(const void *pointer, const void *record, size_t size) {
    const auto *p = static_cast<const uint8_t *>(pointer);
    const auto *r = static_cast<const uint8_t *>(record);
    return p >= r && p < r + size;
}

// A change record built field by field, holding `bytes` unless it is a delete.
skarn::change_ptr hand_made_change(int64_t serial, uint8_t kind, int64_t offset, std::string_view bytes,
                                   int64_t length) {
    auto change = std::make_shared<skarn_change_struct>();
    change->serial = serial;
    change->kind = kind;
    change->offset = offset;
    change->length = length;
    if (change->change_kind() != CHANGE_DELETE) {
        uint8_t *area = skarn::area_allocate(change->data, length);
        std::memcpy(area, bytes.data(), static_cast<size_t>(length));
    }
    return change;
}

// ---------------------------------------------------------------------------
// Segment records
// ---------------------------------------------------------------------------

TEST(SegmentRecord, NewSegmentStartsUnreadWithATerminatorAtItsCapacity) {
    for (const int64_t capacity : {0, 1, 7, 8, 9, 4096}) {
        SCOPED_TRACE(capacity);
        Segment segment(skarn_segment_create(capacity));
        ASSERT_NE(segment, nullptr);
        EXPECT_EQ(skarn_segment_get_offset(segment.get()), -1);
        EXPECT_EQ(skarn_segment_get_length(segment.get()), 0);
        EXPECT_EQ(skarn_segment_get_capacity(segment.get()), capacity);
        EXPECT_EQ(skarn_segment_get_offset_adjustment(segment.get()), 0);
        EXPECT_FALSE(segment->is_floating);
        const uint8_t *data = skarn_segment_get_data(segment.get());
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data[capacity], 0);
    }
}

TEST(SegmentRecord, CapacityOfSevenStaysInsideTheRecordAndEightGetsItsOwnBlock) {
    Segment seven(skarn_segment_create(7));
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(skarn_segment_get_data(seven.get()), seven->data.inline_bytes);

    Segment eight(skarn_segment_create(8));
    ASSERT_NE(eight, nullptr);
    const uint8_t *block = skarn_segment_get_data(eight.get());
    EXPECT_FALSE(points_into(block, eight.get(), sizeof(skarn_segment_struct)));
    EXPECT_EQ(block, eight->data.heap);
    // All nine bytes of the block are usable (ASan checks the bound).
    std::memset(eight->data.heap, 'x', 9);
}

TEST(SegmentRecord, NegativeCapacityIsRefusedAndNullIsIgnoredOnDestroy) {
    EXPECT_EQ(skarn_segment_create(-1), nullptr);
    EXPECT_EQ(skarn_segment_create(-8), nullptr);
    skarn_segment_destroy(nullptr);
}

TEST(SegmentRecord, NegativeLengthMeansNoData) {
    Segment segment(skarn_segment_create(16));
    ASSERT_NE(segment, nullptr);
    segment->length = -1;
    EXPECT_EQ(skarn_segment_get_data(segment.get()), nullptr);
}

TEST(SegmentRecord, StaleNegatedCapacityStillAddressesTheSameBytes) {
    // Viewports store the capacity negated; data access and release go by its magnitude.
    for (const int64_t capacity : {5, 32}) {
        Segment segment(skarn_segment_create(capacity));
        ASSERT_NE(segment, nullptr);
        const uint8_t *data = skarn_segment_get_data(segment.get());
        segment->capacity = -capacity;
        EXPECT_EQ(skarn_segment_get_capacity(segment.get()), -capacity);
        EXPECT_EQ(skarn_segment_get_data(segment.get()), data);
    }
}

// ---------------------------------------------------------------------------
// Changes and the small-buffer rule
// ---------------------------------------------------------------------------

TEST(ChangeRecord, SevenBytesStayInsideTheChangeAndEightGoToABlock) {
    TempDir dir;
    Session session = open_session("", dir);
    ASSERT_NE(session, nullptr);

    ASSERT_EQ(skarn_edit_insert(session.get(), 0, "1234567", 7), 1);
    const skarn_change_struct *seven = skarn_session_get_last_change(session.get());
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(skarn_change_get_bytes(seven), seven->data.inline_bytes);
    EXPECT_EQ(skarn_change_get_string(seven), "1234567");
    EXPECT_EQ(skarn_change_get_bytes(seven)[7], 0);

    ASSERT_EQ(skarn_edit_overwrite(session.get(), 7, "ABCDEFGH", 8), 2);
    const skarn_change_struct *eight = skarn_session_get_last_change(session.get());
    ASSERT_NE(eight, nullptr);
    const uint8_t *block = skarn_change_get_bytes(eight);
    EXPECT_FALSE(points_into(block, eight, sizeof(skarn_change_struct)));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block), 8), "ABCDEFGH");
    EXPECT_EQ(block[8], 0);
    EXPECT_EQ(skarn_change_get_kind_as_char(eight), 'O');
}

TEST(ChangeRecord, CallerBytesAreCopied) {
    TempDir dir;
    Session session = open_session("", dir);
    ASSERT_NE(session, nullptr);
    char small[] = "abc";
    char large[] = "abcdefghijkl";
    ASSERT_GT(skarn_edit_insert(session.get(), 0, small, 3), 0);
    ASSERT_GT(skarn_edit_insert(session.get(), 3, large, 12), 0);
    small[0] = 'X';
    large[0] = 'X';
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 0, 100), "abcabcdefghijkl");
}

TEST(ChangeRecord, DeleteHoldsNoBytes) {
    TempDir dir;
    Session session = open_session("", dir);
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 0, "0123456789", 0), 1);
    ASSERT_EQ(skarn_edit_delete(session.get(), 2, 3), 2);
    const skarn_change_struct *change = skarn_session_get_last_change(session.get());
    EXPECT_EQ(skarn_change_get_kind_as_char(change), 'D');
    EXPECT_EQ(skarn_change_get_bytes(change), nullptr);
    EXPECT_EQ(skarn_change_get_string(change), "");
    EXPECT_EQ(skarn_change_get_length(change), 3);
}

TEST(ChangeRecord, ReadChangeStandsForTheWholeFileOutsideTheHistory) {
    TempDir dir;
    Session big = open_file_session(dir, "0123456789");
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(big->current().pieces.size(), 1u);
    const skarn_change_struct *read = big->current().pieces[0].change.get();
    EXPECT_EQ(skarn_change_get_serial(read), 0);
    EXPECT_EQ(skarn_change_get_kind_as_char(read), 'I');
    EXPECT_EQ(skarn_change_get_offset(read), 0);
    EXPECT_EQ(skarn_change_get_length(read), 10);
    EXPECT_EQ(skarn_change_get_transaction_bit(read), 0);
    // Ten bytes: the field would hold a block pointer, and there is none.
    EXPECT_EQ(skarn_change_get_bytes(read), nullptr);

    TempDir small_dir;
    Session small = open_file_session(small_dir, "0123");
    ASSERT_NE(small, nullptr);
    const skarn_change_struct *small_read = small->current().pieces[0].change.get();
    // Four bytes: the inline field, all zeros (the file's bytes are not in it).
    const uint8_t *inline_bytes = skarn_change_get_bytes(small_read);
    ASSERT_EQ(inline_bytes, small_read->data.inline_bytes);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(inline_bytes[i], 0) << i;
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

// A session over "0123456789" edited into "XY01" "" "234" "abc" "56789" "!":
// insert and read segments alternate, with a zero-length insert among them.
class MixedSegments : public ::testing::Test {
protected:
    void SetUp() override {
        session_ = open_file_session(dir_, "0123456789");
        ASSERT_NE(session_, nullptr);
        ASSERT_EQ(skarn_edit_insert(session_.get(), 5, "abc", 0), 1);
        ASSERT_EQ(skarn_edit_insert(session_.get(), 0, "XY", 0), 2);
        ASSERT_EQ(skarn_edit_insert(session_.get(), 15, "!", 0), 3);
        ASSERT_EQ(skarn_edit_insert_string(session_.get(), 4, std::string_view()), 4);
        ASSERT_EQ(describe(session_.get()), "I(0,2,0) R(2,2,0) I(4,0,0) R(4,3,2) I(7,3,0) R(10,5,5) I(15,1,0)");
    }

    TempDir dir_;
    Session session_;
    const std::string content_ = "XY01234abc56789!";
};

TEST_F(MixedSegments, EveryStartAndCapacityReadsExactlyTheExpectedBytes) {
    const auto size = static_cast<int64_t>(content_.size());
    ASSERT_EQ(skarn_session_get_computed_file_size(session_.get()), size);
    for (int64_t capacity = 0; capacity <= size + 1; ++capacity) {
        Segment segment(skarn_segment_create(capacity));
        ASSERT_NE(segment, nullptr);
        for (int64_t start = 0; start <= size + 1; ++start) {
            SCOPED_TRACE("start " + std::to_string(start) + " capacity " + std::to_string(capacity));
            // Poison the bytes so that a missing terminator shows.
            std::memset(skarn_segment_get_data(segment.get()), '#', static_cast<size_t>(capacity) + 1);
            const int result = skarn_session_get_segment(session_.get(), segment.get(), start);
            EXPECT_EQ(skarn_segment_get_offset(segment.get()), start);
            if (start > size) {
                EXPECT_EQ(result, -1);
                EXPECT_EQ(skarn_segment_get_length(segment.get()), 0);
                continue;
            }
            ASSERT_EQ(result, 0);
            const std::string expected = content_.substr(static_cast<size_t>(start), static_cast<size_t>(capacity));
            EXPECT_EQ(segment_text(segment.get()), expected);
            EXPECT_EQ(skarn_segment_get_data(segment.get())[expected.size()], 0);
        }
    }
}

TEST_F(MixedSegments, ReadingAtTheEndGivesNothingButATerminator) {
    Segment segment(skarn_segment_create(4));
    ASSERT_NE(segment, nullptr);
    ASSERT_EQ(skarn_session_get_segment(session_.get(), segment.get(), 0), 0);
    ASSERT_EQ(segment_text(segment.get()), "XY01");
    const auto size = static_cast<int64_t>(content_.size());
    EXPECT_EQ(skarn_session_get_segment(session_.get(), segment.get(), size), 0);
    EXPECT_EQ(skarn_segment_get_length(segment.get()), 0);
    EXPECT_EQ(skarn_segment_get_data(segment.get())[0], 0);
    EXPECT_EQ(skarn_session_get_segment(session_.get(), segment.get(), size + 1), -1);
    EXPECT_EQ(skarn_segment_get_length(segment.get()), 0);
}

TEST_F(MixedSegments, NegativeOffsetsAreRefused) {
    Segment segment(skarn_segment_create(8));
    ASSERT_NE(segment, nullptr);
    EXPECT_EQ(skarn_session_get_segment(session_.get(), segment.get(), -1), -1);
    EXPECT_EQ(skarn_segment_get_length(segment.get()), 0);
    segment->offset = INT64_MIN;
    EXPECT_EQ(populate_data_segment_(session_.get(), segment.get()), -1);
    EXPECT_EQ(skarn_session_get_segment_string(session_.get(), -3, 5), "");
}

TEST_F(MixedSegments, OffsetAdjustmentMovesTheStart) {
    Segment segment(skarn_segment_create(5));
    ASSERT_NE(segment, nullptr);
    segment->offset_adjustment = 3;
    ASSERT_EQ(skarn_session_get_segment(session_.get(), segment.get(), 2), 0);
    EXPECT_EQ(skarn_segment_get_offset(segment.get()), 2);
    EXPECT_EQ(segment_text(segment.get()), "34abc");

    segment->offset = 12;
    ASSERT_EQ(populate_data_segment_(session_.get(), segment.get()), 0);
    EXPECT_EQ(segment_text(segment.get()), "!");

    // The adjustment can take an otherwise valid offset past the end...
    EXPECT_EQ(skarn_session_get_segment(session_.get(), segment.get(), 14), -1);
    // ...or a negative offset back into the content.
    segment->offset_adjustment = 5;
    ASSERT_EQ(skarn_session_get_segment(session_.get(), segment.get(), -1), 0);
    EXPECT_EQ(segment_text(segment.get()), "234ab");
}

TEST_F(MixedSegments, SegmentStringReturnsWhatFitsAndNothingPastTheEnd) {
    EXPECT_EQ(skarn_session_get_segment_string(session_.get(), 0, 100), content_);
    EXPECT_EQ(skarn_session_get_segment_string(session_.get(), 13, 100), "89!");
    EXPECT_EQ(skarn_session_get_segment_string(session_.get(), 3, 4), "1234");
    EXPECT_EQ(skarn_session_get_segment_string(session_.get(), 16, 4), "");
    EXPECT_EQ(skarn_session_get_segment_string(session_.get(), 17, 4), "");
    EXPECT_EQ(skarn_session_get_segment_string(session_.get(), 0, -1), "");
    EXPECT_EQ(skarn_session_get_segment_string(session_.get(), 0, 0), "");
}

TEST(SegmentReading, EmptySessionReadsNothingAnywhereAndLeavesTheBytesAlone) {
    TempDir dir;
    Session session = open_session("", dir);
    ASSERT_NE(session, nullptr);
    Segment segment(skarn_segment_create(4));
    ASSERT_NE(segment, nullptr);
    std::memcpy(skarn_segment_get_data(segment.get()), "wxyz", 4);
    for (const int64_t offset : {0, 1, 1000}) {
        EXPECT_EQ(skarn_session_get_segment(session.get(), segment.get(), offset), 0);
        EXPECT_EQ(skarn_segment_get_length(segment.get()), 0);
    }
    EXPECT_EQ(std::memcmp(skarn_segment_get_data(segment.get()), "wxyz", 4), 0);
    EXPECT_EQ(skarn_session_get_segment(session.get(), segment.get(), -1), -1);
}

TEST(SegmentReading, OldEndOfTheFileShowsTheAppendedBytes) {
    TempDir dir;
    Session session = open_file_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 10, "tail", 0), 1);
    ASSERT_EQ(describe(session.get()), "R(0,10,0) I(10,4,0)");
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 10, 8), "tail");
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 8, 4), "89ta");
}

TEST(SegmentReading, FileThatLostItsBytesFailsAndKeepsWhatWasPlaced) {
    TempDir dir;
    Session session = open_file_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 0, "ab", 0), 1);
    ASSERT_EQ(describe(session.get()), "I(0,2,0) R(2,10,0)");
    // Shorten the session's private copy behind its back.
    fs::resize_file(session->original_checkpoint_path, 4);

    Segment segment(skarn_segment_create(12));
    ASSERT_NE(segment, nullptr);
    EXPECT_EQ(skarn_session_get_segment(session.get(), segment.get(), 0), -1);
    EXPECT_EQ(skarn_segment_get_length(segment.get()), 2);
    EXPECT_EQ(std::memcmp(skarn_segment_get_data(segment.get()), "ab", 2), 0);

    // Bytes the shorter file still holds are read normally.
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 2, 3), "012");
    // A start past the file's end fails without placing anything.
    EXPECT_EQ(skarn_session_get_segment(session.get(), segment.get(), 7), -1);
    EXPECT_EQ(skarn_segment_get_length(segment.get()), 0);
    // The string overload returns whatever was placed before the failure.
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 1, 6), "b");
}

TEST(SegmentReading, FileCutShortAfterItsShortPiecesWereReadFailsInsteadOfFaulting) {
    TempDir dir;
    Session session = open_file_session(dir, std::string(256 << 10, 'x'));
    ASSERT_NE(session, nullptr);
    for (int64_t at = 1000; at < (256 << 10); at += 1000) ASSERT_GT(skarn_edit_insert(session.get(), at, "#", 0), 0);
    const std::string before = content_of(session.get());  // every short piece read once
    fs::resize_file(session->original_checkpoint_path, 100 << 10);
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 0, 4000), before.substr(0, 4000));
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 200 << 10, 4000), "");
}

TEST(SegmentReading, ShortPiecesAcrossTheHalfGiBStepsOfASparseFileReadInAnyOrder) {
    TempDir dir;
    const std::string path = dir.file("sparse.bin");
    constexpr int64_t step = int64_t{512} << 20;
    const auto marks = [](int64_t k) {  // 80 bytes around step k
        std::string bytes(80, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('A' + (k * 7 + i) % 26);
        return bytes;
    };
    std::ofstream out(path, std::ios::binary);
    for (int64_t k = 1; k <= 4; ++k) out.seekp(k * step - 40).write(marks(k).data(), 80);
    out.close();
    Session session = open_session(path, dir);
    ASSERT_NE(session, nullptr);
    for (int64_t k = 4; k >= 1; --k) {  // a piece [k * step - 30, k * step + 30) between two inserts
        for (const int64_t at : {k * step + 30, k * step - 30})
            ASSERT_GT(skarn_edit_insert(session.get(), at, "<>", 0), 0);
    }
    for (const int64_t k : {3, 1, 4, 2, 1, 4}) {
        const std::string m = marks(k);
        EXPECT_EQ(skarn_session_get_segment_string(session.get(), k * step + 4 * (k - 1) - 40, 84),
                  m.substr(0, 10) + "<>" + m.substr(10, 60) + "<>" + m.substr(70))
            << "step " << k;
    }
}

// ---------------------------------------------------------------------------
// The model dump
// ---------------------------------------------------------------------------

TEST(ModelDump, ReadSegmentOfATenByteFile) {
    TempDir dir;
    Session session = open_file_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    std::ostringstream out;
    print_model_segments_(&session->current(), out);
    EXPECT_EQ(out.str(),
              "{\"kind\": \"R\", \"computed_offset\": 0, \"computed_length\": 10, \"change_offset\": 0, \"change\": "
              "{\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n");
}

TEST(ModelDump, SplitReadSegmentAroundAnInsertAndAnOverwrite) {
    TempDir dir;
    Session session = open_file_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 4, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_overwrite(session.get(), 9, "ZZ", 0), 2);
    std::ostringstream out;
    print_model_segments_(&session->current(), out);
    EXPECT_EQ(out.str(),
              "{\"kind\": \"R\", \"computed_offset\": 0, \"computed_length\": 4, \"change_offset\": 0, \"change\": "
              "{\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n"
              "{\"kind\": \"I\", \"computed_offset\": 4, \"computed_length\": 3, \"change_offset\": 0, \"change\": "
              "{\"serial\": 1, \"kind\": \"I\", \"offset\": 4, \"length\": 3, \"bytes\": \"abc\"}}\n"
              "{\"kind\": \"R\", \"computed_offset\": 7, \"computed_length\": 2, \"change_offset\": 4, \"change\": "
              "{\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n"
              "{\"kind\": \"I\", \"computed_offset\": 9, \"computed_length\": 2, \"change_offset\": 0, \"change\": "
              "{\"serial\": 2, \"kind\": \"O\", \"offset\": 9, \"length\": 2, \"bytes\": \"ZZ\"}}\n"
              "{\"kind\": \"R\", \"computed_offset\": 11, \"computed_length\": 2, \"change_offset\": 8, \"change\": "
              "{\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n");
}

TEST(ModelDump, HandMadeModelShowsRawBytesSignedNumbersAndNoBytesForADelete) {
    skarn_model_struct model;
    EXPECT_EQ(
        [&] {
            std::ostringstream out;
            print_model_segments_(&model, out);
            return out.str();
        }(),
        "");

    const std::string raw("q\"\n\0z", 5);
    model.pieces.push_back({0, 5, 0, hand_made_change(-7, CHANGE_INSERT | 4, 5000000000, raw, 5)});
    model.pieces.push_back({5, 2, 1, hand_made_change(3, CHANGE_DELETE, 12, "", 3)});
    std::ostringstream out;
    print_model_segments_(&model, out);
    EXPECT_EQ(out.str(),
              "{\"kind\": \"I\", \"computed_offset\": 0, \"computed_length\": 5, \"change_offset\": 0, \"change\": "
              "{\"serial\": -7, \"kind\": \"I\", \"offset\": 5000000000, \"length\": 5, \"bytes\": \"q\"\n" +
                  std::string(1, '\0') +
                  "z\"}}\n"
                  "{\"kind\": \"I\", \"computed_offset\": 5, \"computed_length\": 2, \"change_offset\": 1, \"change\": "
                  "{\"serial\": 3, \"kind\": \"D\", \"offset\": 12, \"length\": 3}}\n");
}

// ---------------------------------------------------------------------------
// The model check
// ---------------------------------------------------------------------------

TEST(ModelCheck, PassesOnValidSessionsWithAndWithoutAFile) {
    TempDir dir;
    Session empty = open_session("", dir);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(skarn_check_model(empty.get()), 0);
    ASSERT_GT(skarn_edit_insert(empty.get(), 0, "hello", 0), 0);
    ASSERT_GT(skarn_edit_insert(empty.get(), 0, "<<", 0), 0);
    ASSERT_GT(skarn_edit_delete(empty.get(), 1, 3), 0);
    EXPECT_EQ(skarn_check_model(empty.get()), 0);

    Session file = open_file_session(dir, "0123456789");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(skarn_check_model(file.get()), 0);
    // An edit at the front puts a change other than the read change first.
    ASSERT_GT(skarn_edit_insert(file.get(), 0, "front", 0), 0);
    ASSERT_GT(skarn_edit_overwrite(file.get(), 8, "middle", 0), 0);
    ASSERT_GT(skarn_edit_delete(file.get(), 2, 4), 0);
    EXPECT_EQ(skarn_check_model(file.get()), 0);
    // The whole content deleted leaves an empty list, which is fine too.
    ASSERT_GT(skarn_edit_delete(file.get(), 0, 1000), 0);
    EXPECT_EQ(skarn_session_get_computed_file_size(file.get()), 0);
    EXPECT_EQ(skarn_check_model(file.get()), 0);
}

TEST(ModelCheck, LengthChangedBehindTheTreeFailsWithTheDump) {
    TempDir dir;
    Session session = open_file_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 4, "abc", 0), 1);
    // The first read segment grows by a byte the file has: only the tree's
    // total tells that something is wrong.
    skarn::piece_tree &segments = session->current().pieces;
    skarn_test::set_length_behind_the_tree(segments, 0, 5);
    std::string dump;
    {
        ClogCapture log;
        EXPECT_EQ(skarn_check_model(session.get()), -1);
        dump = log.str();
    }
    EXPECT_NE(dump.find("{\"kind\": \"R\", \"computed_offset\": 8, \"computed_length\": 6"), std::string::npos) << dump;
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 3) << dump;
    skarn_test::set_length_behind_the_tree(segments, 0, 4);
    EXPECT_EQ(skarn_check_model(session.get()), 0);
}

TEST(ModelCheck, SegmentReachingPastItsChangeFails) {
    TempDir dir;
    Session session = open_file_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 10, "abc", 0), 1);
    // The last segment grows by one byte: continuity holds, its change cannot supply it.
    skarn::piece_tree &segments = session->current().pieces;
    skarn_test::set_length(segments, 1, 4);
    {
        ClogCapture log;
        EXPECT_EQ(skarn_check_model(session.get()), -1);
        EXPECT_NE(log.str().find("\"computed_length\": 4, \"change_offset\": 0"), std::string::npos) << log.str();
    }
    skarn_test::set_length(segments, 1, 3);
    // A read segment starting inside the file but running past its end.
    skarn_test::set_change_offset(segments, 0, 1);
    {
        ClogCapture log;
        EXPECT_EQ(skarn_check_model(session.get()), -1);
    }
    skarn_test::set_change_offset(segments, 0, 0);
    EXPECT_EQ(skarn_check_model(session.get()), 0);
}

TEST(ModelCheck, EachLevelStartsItsRunningTotalAtZero) {
    TempDir dir;
    Session session = open_file_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    // A second level over five bytes, built by hand: its segments start at 0 again.
    auto level = std::make_unique<skarn_model_struct>();
    level->pieces.push_back({0, 5, 0, hand_made_change(1, CHANGE_INSERT, 0, "abcde", 5)});
    session->models.push_back(std::move(level));
    EXPECT_EQ(skarn_check_model(session.get()), 0);

    // A fault in the lower level fails the check; the dump shows the current level.
    skarn_test::set_length_behind_the_tree(session->models[0]->pieces, 0, 9);
    {
        ClogCapture log;
        EXPECT_EQ(skarn_check_model(session.get()), -1);
        EXPECT_NE(log.str().find("\"bytes\": \"abcde\""), std::string::npos) << log.str();
        EXPECT_EQ(log.str().find("\"length\": 10"), std::string::npos) << log.str();
    }
    skarn_test::set_length_behind_the_tree(session->models[0]->pieces, 0, 10);
    session->models.pop_back();
}

TEST(ModelCheck, EmptyBaseLevelUnderAFilledLevelPasses) {
    TempDir dir;
    Session session = open_session("", dir);
    ASSERT_NE(session, nullptr);
    auto level = std::make_unique<skarn_model_struct>();
    level->pieces.push_back({0, 3, 0, hand_made_change(1, CHANGE_INSERT, 0, "xyz", 3)});
    level->pieces.push_back({3, 2, 1, hand_made_change(2, CHANGE_INSERT, 3, "xyz", 3)});
    session->models.push_back(std::move(level));
    EXPECT_EQ(skarn_check_model(session.get()), 0);
    session->models.pop_back();
}

// ---------------------------------------------------------------------------
// The continuity check of every lookup
// ---------------------------------------------------------------------------

// 65 one-byte inserts at the end: the level's tree holds them in two leaves,
// of 32 and 33 pieces, under one inner node.
Session sixty_five_inserts(const TempDir &dir) {
    Session session = open_session("", dir);
    for (int k = 0; k < 65 && session != nullptr; ++k) {
        if (skarn_edit_insert(session.get(), k, "x", 0) <= 0) return nullptr;
    }
    return session;
}

TEST(ModelContinuity, WrongLengthKeptForALeafBreaksEveryLookupAtThatLeafsEnd) {
#ifdef NDEBUG
    GTEST_SKIP() << "lookups check the tree's kept lengths in debug builds only";
#endif
    TempDir dir;
    Session session = sixty_five_inserts(dir);
    ASSERT_NE(session, nullptr);
    const skarn_model_struct &level = session->current();
    ASSERT_EQ(level.pieces.size(), 65u);
    for (int64_t offset : {0, 31, 32, 40, 65}) EXPECT_FALSE(skarn::locate_piece(level, offset).broken) << offset;

    // The root says the first leaf holds 33 bytes: every piece after it is
    // put one byte late, whichever leaf a lookup goes down to.
    skarn_test::set_kept_leaf_length(level.pieces, 0, 33);
    for (int64_t offset : {0, 31, 33, 40, 65}) {
        const skarn::piece_position found = skarn::locate_piece(level, offset);
        EXPECT_TRUE(found.broken) << offset;
        EXPECT_EQ(found.expected, 32) << offset;
        EXPECT_EQ(found.got, 33) << offset;
    }
    skarn_test::set_kept_leaf_length(level.pieces, 0, 32);
    EXPECT_EQ(skarn_check_model(session.get()), 0);
}

TEST(ModelContinuity, PieceChangedBehindTheTreeBreaksTheLookupsThatPassIt) {
#ifdef NDEBUG
    GTEST_SKIP() << "lookups check the tree's kept lengths in debug builds only";
#endif
    TempDir dir;
    Session session = sixty_five_inserts(dir);
    ASSERT_NE(session, nullptr);
    const skarn_model_struct &level = session->current();
    ASSERT_EQ(level.pieces.size(), 65u);
    // A piece of the second leaf grows by two bytes: that leaf really ends at
    // 67, where the tree's total says 65.
    skarn_test::set_length_behind_the_tree(level.pieces, 40, 3);
    // A lookup in the first leaf trusts nothing the damage touched.
    EXPECT_FALSE(skarn::locate_piece(level, 10).broken);
    for (int64_t offset : {33, 50, 65}) {
        const skarn::piece_position found = skarn::locate_piece(level, offset);
        EXPECT_TRUE(found.broken) << offset;
        EXPECT_EQ(found.expected, 67) << offset;
        EXPECT_EQ(found.got, 65) << offset;
    }
    skarn_test::set_length_behind_the_tree(level.pieces, 40, 1);
    EXPECT_FALSE(skarn::locate_piece(level, 50).broken);
}

// ---------------------------------------------------------------------------
// Internal faults
// ---------------------------------------------------------------------------

using SegmentDeathTest = ::testing::Test;

TEST_F(SegmentDeathTest, ContinuityBreakDuringAFillAborts) {
#ifdef NDEBUG
    GTEST_SKIP() << "lookups check the tree's kept lengths in debug builds only";
#endif
    TempDir dir;
    Session session = open_file_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 4, "abc", 0), 1);
    Segment segment(skarn_segment_create(4));
    ASSERT_NE(segment, nullptr);
    EXPECT_DEATH(
        {
            skarn_test::set_length_behind_the_tree(session->current().pieces, 0, 5);
            skarn_session_get_segment(session.get(), segment.get(), 8);
        },
        "[a-z_]+\\.cpp@[0-9]+::populate_data_segment_: break in model continuity, expected: 14, got: 13");
    // The parent's session is untouched and reads fine.
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 0, 20), "0123abc456789");
}

TEST_F(SegmentDeathTest, ContinuityBreakDuringAnEditAborts) {
#ifdef NDEBUG
    GTEST_SKIP() << "lookups check the tree's kept lengths in debug builds only";
#endif
    TempDir dir;
    Session session = open_file_session(dir, "0123456789");
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 4, "abc", 0), 1);
    EXPECT_DEATH(
        {
            skarn_test::set_length_behind_the_tree(session->current().pieces, 2, 8);
            skarn_edit_insert(session.get(), 12, "x", 0);
        },
        "[a-z_]+\\.cpp@[0-9]+::skarn_edit_insert_bytes: break in model continuity, expected: 15, got: 13");
}

TEST_F(SegmentDeathTest, UnknownChangeKindAborts) {
    TempDir dir;
    Session session = open_session("", dir);
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 0, "abc", 0), 1);
    auto *change = const_cast<skarn_change_struct *>(skarn_session_get_last_change(session.get()));
    EXPECT_DEATH(
        {
            change->kind = static_cast<uint8_t>(3 | (change->kind & skarn_change_struct::transaction_bit));
            skarn_change_get_kind_as_char(change);
        },
        "change\\.cpp@[0-9]+::skarn_change_get_kind_as_char: Unhandled change kind");
    // Splicing a change of that kind into a non-empty list (here through redo) aborts as well.
    ASSERT_EQ(skarn_edit_insert(session.get(), 3, "def", 0), 2);
    ASSERT_EQ(skarn_edit_undo_last_change(session.get()), -2);
    auto *undone = const_cast<skarn_change_struct *>(skarn_session_get_last_undo(session.get()));
    EXPECT_DEATH(
        {
            undone->kind = 3;
            skarn_edit_redo_last_undo(session.get());
        },
        "[a-z_]+\\.cpp@[0-9]+::skarn_edit_redo_last_undo: Unhandled change kind");
}

}  // namespace

// Reading straight into a caller's buffer gives what a segment of the same
// capacity gets, at every offset of content pieced from the file and from
// inserts, and refuses what a segment refuses, with a log line.
TEST(SessionRead, MatchesSegmentReadingEverywhereAndRefusesBadRanges) {
    skarn_test::TempDir dir;
    auto session = skarn_test::open_file_session(dir, "0123456789abcdefghij");
    ASSERT_NE(session, nullptr);
    ASSERT_GT(skarn_edit_insert(session.get(), 3, "INS", 3), 0);
    ASSERT_GT(skarn_edit_delete(session.get(), 10, 4), 0);
    ASSERT_GT(skarn_edit_overwrite(session.get(), 15, "OVERWRITE", 9), 0);
    ASSERT_GT(skarn_edit_insert(session.get(), 0, "<", 1), 0);
    const int64_t size = skarn_session_get_computed_file_size(session.get());
    for (int64_t offset = 0; offset <= size; ++offset) {
        for (int64_t length : {int64_t{1}, int64_t{2}, int64_t{7}, size}) {
            std::string buffer(static_cast<size_t>(length), '?');
            const int64_t copied =
                skarn_session_read(session.get(), offset, reinterpret_cast<uint8_t *>(buffer.data()), length);
            const std::string expected = skarn_session_get_segment_string(session.get(), offset, length);
            ASSERT_EQ(copied, std::min(length, size - offset)) << offset << "+" << length;
            EXPECT_EQ(buffer.substr(0, static_cast<size_t>(copied)), expected) << offset << "+" << length;
            EXPECT_EQ(buffer.substr(static_cast<size_t>(copied)), std::string(buffer.size() - copied, '?'));
        }
    }
    uint8_t byte = 0;
    ClogCapture log;
    EXPECT_EQ(skarn_session_read(session.get(), size + 1, &byte, 1), -1);
    EXPECT_EQ(skarn_session_read(session.get(), -1, &byte, 1), -1);
    EXPECT_EQ(skarn_session_read(session.get(), 0, &byte, -1), -1);
    EXPECT_EQ(skarn_session_read(session.get(), 0, nullptr, 1), -1);
    EXPECT_EQ(skarn_session_read(nullptr, 0, &byte, 1), -1);
    EXPECT_EQ(skarn_session_read(session.get(), 0, &byte, 0), 0);
    EXPECT_NE(log.str().find("skarn_session_read"), std::string::npos);
}
