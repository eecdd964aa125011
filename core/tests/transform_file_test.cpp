// The byte transform of a file into another: the range, its checks, and what
// a failure logs and leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "skarn_edit.h"
#include "support/test_support.hpp"
#include "support/utility_support.hpp"

namespace {

using skarn_test::expect_log_lines;
using skarn_test::invert;
using skarn_test::read_file;
using skarn_test::TempDir;
using skarn_test::TransformLog;
using skarn_test::upper_and_record;
using skarn_test::write_file;

// ---------------------------------------------------------------------------
// Byte transform of a file

class ByteTransformFile : public testing::Test {
protected:
    void SetUp() override {
        std::mt19937_64 rng(2718);
        content_ = skarn_test::random_bytes(rng, 1000);
        in_ = dir_.file("in.bin");
        out_ = dir_.file("out.bin");
        write_file(in_, content_);
    }

    // Runs the transform with stderr captured into `log_`.
    int run(int64_t offset, int64_t length, skarn_util_byte_transform_t transform = invert, void *user = nullptr) {
        testing::internal::CaptureStderr();
        const int result =
            skarn_util_apply_byte_transform_to_file(in_.c_str(), out_.c_str(), transform, user, offset, length);
        log_ = testing::internal::GetCapturedStderr();
        return result;
    }

    std::string inverted(size_t from, size_t to) const {
        std::string s = content_;
        for (size_t i = from; i < to; ++i) s[i] = static_cast<char>(~s[i]);
        return s;
    }

    TempDir dir_;
    std::string content_;
    std::string in_;
    std::string out_;
    std::string log_;
};

TEST_F(ByteTransformFile, TransformsOnlyTheRangeInOrder) {
    TransformLog log;
    ASSERT_EQ(run(100, 700, upper_and_record, &log), 0);
    EXPECT_EQ(log_, "");
    ASSERT_EQ(log.seen.size(), 700u);
    EXPECT_EQ(std::string(log.seen.begin(), log.seen.end()), content_.substr(100, 700));

    const std::string out = read_file(out_);
    ASSERT_EQ(out.size(), content_.size());
    EXPECT_EQ(out.substr(0, 100), content_.substr(0, 100));
    EXPECT_EQ(out.substr(800), content_.substr(800));
    std::string middle = content_.substr(100, 700);
    for (char &c : middle) c = static_cast<char>(upper_and_record(static_cast<uint8_t>(c), &log));
    EXPECT_EQ(out.substr(100, 700), middle);
    EXPECT_EQ(read_file(in_), content_) << "the input is never modified";
}

TEST_F(ByteTransformFile, ZeroLengthRunsToTheEnd) {
    ASSERT_EQ(run(0, 0), 0);
    EXPECT_EQ(read_file(out_), inverted(0, 1000));
    ASSERT_EQ(run(999, 0), 0);
    EXPECT_EQ(read_file(out_), inverted(999, 1000));
    ASSERT_EQ(run(513, 0), 0);
    EXPECT_EQ(read_file(out_), inverted(513, 1000));
    EXPECT_EQ(read_file(in_), content_);
}

TEST_F(ByteTransformFile, RangesAtChunkBoundaries) {
    const std::pair<int64_t, int64_t> ranges[] = {{0, 1}, {0, 512}, {0, 1000}, {1, 512}, {487, 513}, {999, 1}};
    for (const auto &[offset, length] : ranges) {
        ASSERT_EQ(run(offset, length), 0);
        EXPECT_EQ(read_file(out_), inverted(static_cast<size_t>(offset), static_cast<size_t>(offset + length)))
            << "offset " << offset << " length " << length;
    }
}

TEST_F(ByteTransformFile, ReplacesAnExistingOutput) {
    write_file(out_, std::string(3000, 'x'));
    ASSERT_EQ(run(10, 20), 0);
    EXPECT_EQ(read_file(out_), inverted(10, 30));
}

TEST_F(ByteTransformFile, OutOfRangeFailsWithoutOutput) {
    const std::pair<int64_t, int64_t> ranges[] = {{1000, 0}, {1000, 1}, {999, 2},       {0, 1001},     {-1, 0},
                                                  {-1, 10},  {5, -1},   {INT64_MAX, 1}, {1, INT64_MAX}};
    for (const auto &[offset, length] : ranges) {
        EXPECT_EQ(run(offset, length), -1) << "offset " << offset << " length " << length;
        expect_log_lines(log_,
                         {{"transform_file.cpp", "skarn_util_apply_byte_transform_to_file", "transform out of range"},
                          {"utility.cpp", "skarn_util_apply_byte_transform_to_file", "transform failed"}});
        EXPECT_FALSE(skarn_test::fs::exists(out_)) << "offset " << offset << " length " << length;
    }
    EXPECT_EQ(read_file(in_), content_);
}

TEST_F(ByteTransformFile, EmptyInputIsOutOfRange) {
    write_file(in_, "");
    EXPECT_EQ(run(0, 0), -1);
    expect_log_lines(log_, {{"transform_file.cpp", "skarn_util_apply_byte_transform_to_file", "transform out of range"},
                            {"utility.cpp", "skarn_util_apply_byte_transform_to_file", "transform failed"}});
    EXPECT_FALSE(skarn_test::fs::exists(out_));
}

TEST_F(ByteTransformFile, MissingInputFailsWithoutOutput) {
    in_ = dir_.file("missing.bin");
    EXPECT_EQ(run(0, 0), -1);
    expect_log_lines(log_, {{"utility.cpp", "skarn_util_apply_byte_transform_to_file", "transform failed"}});
    EXPECT_FALSE(skarn_test::fs::exists(out_));
    EXPECT_FALSE(skarn_test::fs::exists(in_));
}

TEST_F(ByteTransformFile, UnwritableOutputFails) {
    out_ = dir_.file("no/such/dir/out.bin");
    EXPECT_EQ(run(0, 0), -1);
    expect_log_lines(log_, {{"utility.cpp", "skarn_util_apply_byte_transform_to_file", "transform failed"}});
    EXPECT_FALSE(skarn_test::fs::exists(out_));
    EXPECT_EQ(read_file(in_), content_);
}

TEST_F(ByteTransformFile, OutputThatIsTheInputIsRefused) {
    out_ = in_;
    EXPECT_EQ(run(0, 0), -1);
    expect_log_lines(log_, {{"utility.cpp", "skarn_util_apply_byte_transform_to_file", "transform failed"}});
    EXPECT_EQ(read_file(in_), content_);
}

// A transform that cuts the input file short at its first call, so that the
// reads after the stream's buffered bytes come back empty.
struct Truncator {
    std::string path;
    uintmax_t new_size = 0;
    bool done = false;
};

uint8_t truncate_input_once(uint8_t byte, void *user_data) {
    auto *truncator = static_cast<Truncator *>(user_data);
    if (!truncator->done) {
        skarn_test::fs::resize_file(truncator->path, truncator->new_size);
        truncator->done = true;
    }
    return byte;
}

TEST_F(ByteTransformFile, InputCutShortInTheRangeRemovesTheOutput) {
    // Longer than one read of the transform, so that the cut lands before the next.
    write_file(in_, std::string(256 * 1024, 'a'));
    Truncator truncator{in_, 100};
    EXPECT_EQ(run(0, 0, truncate_input_once, &truncator), -1);
    expect_log_lines(log_,
                     {{"transform_file.cpp", "skarn_util_apply_byte_transform_to_file", "failed to read buffer"},
                      {"transform_file.cpp", "skarn_util_apply_byte_transform_to_file", "there are remaining bytes"},
                      {"utility.cpp", "skarn_util_apply_byte_transform_to_file", "transform failed"}});
    EXPECT_FALSE(skarn_test::fs::exists(out_));
}

TEST_F(ByteTransformFile, InputCutShortAfterTheRangeRemovesTheOutput) {
    write_file(in_, std::string(64 * 1024, 'a'));
    Truncator truncator{in_, 50};
    EXPECT_EQ(run(0, 100, truncate_input_once, &truncator), -1);
    expect_log_lines(log_,
                     {{"transform_file.cpp", "skarn_util_apply_byte_transform_to_file", "failed to write last segment"},
                      {"utility.cpp", "skarn_util_apply_byte_transform_to_file", "transform failed"}});
    EXPECT_FALSE(skarn_test::fs::exists(out_));
}

TEST_F(ByteTransformFile, NullTransformFails) {
    EXPECT_EQ(run(0, 0, nullptr), -1);
    expect_log_lines(log_, {{"utility.cpp", "skarn_util_apply_byte_transform_to_file", "transform failed"}});
    EXPECT_FALSE(skarn_test::fs::exists(out_));
}

}  // namespace
