// Byte helpers, byte transforms of buffers, and the stream range copier.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "skarn_edit.h"
#include "support/test_support.hpp"
#include "support/utility_support.hpp"

namespace {

using skarn_test::byte_vector;
using skarn_test::expect_log_lines;
using skarn_test::read_file;
using skarn_test::TempDir;
using skarn_test::TransformLog;
using skarn_test::upper_and_record;
using skarn_test::write_file;

// ---------------------------------------------------------------------------
// Bit shifts

// The buffer as a string of '0' and '1', most significant bit of byte 0 first.
std::string to_bits(const std::vector<uint8_t> &buffer) {
    std::string bits;
    for (uint8_t byte : buffer) {
        for (int bit = 7; bit >= 0; --bit) bits += ((byte >> bit) & 1) ? '1' : '0';
    }
    return bits;
}

TEST(ShiftBuffer, DocumentedExamples) {
    auto buffer = byte_vector({129, 1});
    ASSERT_EQ(skarn_util_left_shift_buffer(buffer.data(), 2, 1, 0), 0);
    EXPECT_EQ(buffer, byte_vector({2, 2}));

    buffer = byte_vector({129, 1});
    ASSERT_EQ(skarn_util_left_shift_buffer(buffer.data(), 2, 1, 1), 0);
    EXPECT_EQ(buffer, byte_vector({2, 3}));

    buffer = byte_vector({129, 1});
    ASSERT_EQ(skarn_util_right_shift_buffer(buffer.data(), 2, 1, 0), 0);
    EXPECT_EQ(buffer, byte_vector({64, 128}));

    buffer = byte_vector({129, 1});
    ASSERT_EQ(skarn_util_right_shift_buffer(buffer.data(), 2, 1, 1), 0);
    EXPECT_EQ(buffer, byte_vector({192, 128}));
}

TEST(ShiftBuffer, BadArgumentsAreRefusedShiftFirstAndLeaveTheBufferAlone) {
    using shift_fn = int (*)(uint8_t *, int64_t, uint8_t, int);
    for (shift_fn fn : {shift_fn{skarn_util_left_shift_buffer}, shift_fn{skarn_util_right_shift_buffer}}) {
        auto buffer = byte_vector({0xA5, 0x5A, 0xFF});
        const auto original = buffer;
        EXPECT_EQ(fn(buffer.data(), 3, 0, 0), -1);
        EXPECT_EQ(fn(buffer.data(), 3, 8, 1), -1);
        EXPECT_EQ(fn(buffer.data(), 3, 255, 0), -1);
        EXPECT_EQ(fn(buffer.data(), 3, 1, 2), -2);
        EXPECT_EQ(fn(buffer.data(), 3, 7, -1), -2);
        EXPECT_EQ(fn(buffer.data(), 3, 0, 2), -1);
        EXPECT_EQ(buffer, original);
        EXPECT_EQ(fn(buffer.data(), 0, 3, 1), 0);
        EXPECT_EQ(fn(buffer.data(), -5, 3, 1), 0);
        EXPECT_EQ(buffer, original);
    }
}

TEST(ShiftBuffer, MatchesABitStringModelOverRandomBuffers) {
    std::mt19937_64 rng(20240611);
    for (int64_t length = 0; length <= 64; ++length) {
        for (uint8_t shift = 1; shift <= 7; ++shift) {
            for (int fill = 0; fill <= 1; ++fill) {
                for (int round = 0; round < 4; ++round) {
                    const auto original = byte_vector(skarn_test::random_bytes(rng, static_cast<size_t>(length)));
                    const std::string bits = to_bits(original);
                    const std::string fill_bits(length > 0 ? shift : 0, fill ? '1' : '0');

                    auto left = original;
                    ASSERT_EQ(skarn_util_left_shift_buffer(left.data(), length, shift, fill), 0);
                    const std::string left_model = length > 0 ? bits.substr(shift) + fill_bits : "";
                    ASSERT_EQ(to_bits(left), left_model)
                        << "left, length " << length << " shift " << int{shift} << " fill " << fill;

                    auto right = original;
                    ASSERT_EQ(skarn_util_right_shift_buffer(right.data(), length, shift, fill), 0);
                    const std::string right_model = length > 0 ? fill_bits + bits.substr(0, bits.size() - shift) : "";
                    ASSERT_EQ(to_bits(right), right_model)
                        << "right, length " << length << " shift " << int{shift} << " fill " << fill;
                }
            }
        }
    }
}

TEST(ShiftBuffer, TouchesOnlyTheGivenLength) {
    auto buffer = byte_vector({0xFF, 0xFF, 0x81, 0x81});
    ASSERT_EQ(skarn_util_left_shift_buffer(buffer.data(), 2, 4, 0), 0);
    EXPECT_EQ(buffer, byte_vector({0xFF, 0xF0, 0x81, 0x81}));
    ASSERT_EQ(skarn_util_right_shift_buffer(buffer.data() + 2, 2, 4, 1), 0);
    EXPECT_EQ(buffer, byte_vector({0xFF, 0xF0, 0xF8, 0x18}));
}

// ---------------------------------------------------------------------------
// Masks, backward search, comparisons, duplication, file modes

TEST(MaskByte, AppliesEachKind) {
    EXPECT_EQ(skarn_util_mask_byte(240, 60, MASK_AND), 48);
    EXPECT_EQ(skarn_util_mask_byte(240, 60, MASK_OR), 252);
    EXPECT_EQ(skarn_util_mask_byte(240, 60, MASK_XOR), 204);
    EXPECT_EQ(skarn_util_mask_byte(0xFF, 0xFF, MASK_XOR), 0);
}

TEST(MaskByte, UnknownKindIsLoggedAndLeavesTheByte) {
    for (int kind : {3, -1, 100}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(skarn_util_mask_byte(0xA7, 0x0F, kind), 0xA7);
        expect_log_lines(testing::internal::GetCapturedStderr(),
                         {{"utility.cpp", "skarn_util_mask_byte", "unhandled mask kind"}});
    }
}

TEST(Memrchr, FindsTheLastOccurrence) {
    const char text[] = "xax";
    EXPECT_EQ(skarn_util_memrchr(text, 'x', 3), text + 2);
    EXPECT_EQ(skarn_util_memrchr(text, 'a', 3), text + 1);
    EXPECT_EQ(skarn_util_memrchr(text, 'x', 2), text + 0);
    EXPECT_EQ(skarn_util_memrchr(text, 'b', 3), nullptr);
    EXPECT_EQ(skarn_util_memrchr(text, 'x', 0), nullptr);
    EXPECT_EQ(skarn_util_memrchr(text, 'x', -1), nullptr);
}

TEST(Memrchr, ComparesBytesAsUnsignedAndIgnoresValuesOutOfRange) {
    const auto data = byte_vector({0xFF, 0x00, 0x80, 0x00, 0x41});
    EXPECT_EQ(skarn_util_memrchr(data.data(), 0xFF, 5), data.data());
    EXPECT_EQ(skarn_util_memrchr(data.data(), 0x80, 5), data.data() + 2);
    EXPECT_EQ(skarn_util_memrchr(data.data(), 0, 5), data.data() + 3);
    EXPECT_EQ(skarn_util_memrchr(data.data(), -1, 5), nullptr);
    EXPECT_EQ(skarn_util_memrchr(data.data(), 0x141, 5), nullptr);
    EXPECT_EQ(skarn_util_memrchr(data.data(), 256, 5), nullptr);
}

TEST(Memrchr, AgreesWithAPlainScanOverLongBuffers) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 50; ++round) {
        const std::string data = skarn_test::random_bytes(rng, 1 + rng() % 3000);
        const int value = static_cast<int>(rng() % 256);
        const auto pos = data.rfind(static_cast<char>(value));
        const void *expected = pos == std::string::npos ? nullptr : data.data() + pos;
        EXPECT_EQ(skarn_util_memrchr(data.data(), value, static_cast<int64_t>(data.size())), expected);
    }
}

TEST(StringCompare, ComparesExactlyLengthBytesThroughNuls) {
    EXPECT_EQ(skarn_util_strncmp("a\0b", "a\0c", 3), -1);
    EXPECT_EQ(skarn_util_strncmp("a\0b", "a\0b", 3), 0);
    EXPECT_EQ(skarn_util_strncmp("abc", "abd", 2), 0);
    EXPECT_EQ(skarn_util_strncmp("abc", "xyz", 0), 0);
    EXPECT_EQ(skarn_util_strncmp("b", "a", 1), 1);
}

TEST(StringCompare, TakesBytesAsSignedCharacters) {
    EXPECT_EQ(skarn_util_strncmp("\x80", "a", 1), -128 - 'a');
    EXPECT_EQ(skarn_util_strncmp("\xff", "\x01", 1), -1 - 1);
    EXPECT_EQ(skarn_util_strnicmp("\x80", "A", 1), -128 - 'a');
}

TEST(StringCompare, CaseInsensitiveFoldsAsciiLetters) {
    EXPECT_EQ(skarn_util_strnicmp("ABC", "abd", 2), 0);
    EXPECT_EQ(skarn_util_strnicmp("ABC", "abd", 3), 'c' - 'd');
    EXPECT_EQ(skarn_util_strnicmp("Hello\0X", "hELLO\0x", 7), 0);
    EXPECT_EQ(skarn_util_strnicmp("Z", "a", 1), 'z' - 'a');
    EXPECT_EQ(skarn_util_strnicmp("[", "{", 1), '[' - '{');
    EXPECT_EQ(skarn_util_strncmp("ABC", "abc", 3), 'A' - 'a');
}

TEST(StringDuplicate, CopiesExactlyLengthBytesAndTerminates) {
    char *empty = skarn_util_strndup("abc", 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    std::free(empty);

    char *copy = skarn_util_strndup("ab\0cdef", 4);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string(copy, 5), std::string("ab\0c\0", 5));
    std::free(copy);

    EXPECT_EQ(skarn_util_strndup("abc", -1), nullptr);
}

TEST(ComputeMode, KeepsOnlyOwnerReadAndWrite) {
    skarn_test::expect_compute_mode_keeps_only_owner_read_and_write();
    EXPECT_EQ(skarn_util_compute_mode(0177), 0);
}

// ---------------------------------------------------------------------------
// Byte transform of a buffer

TEST(ByteTransformBuffer, ReplacesEachByteInOrder) {
    auto buffer = byte_vector("hello, World!");
    TransformLog log;
    skarn_util_apply_byte_transform(buffer.data(), static_cast<int64_t>(buffer.size()), upper_and_record, &log);
    EXPECT_EQ(buffer, byte_vector("HELLO, WORLD!"));
    EXPECT_EQ(log.seen, byte_vector("hello, World!"));
}

TEST(ByteTransformBuffer, EmptyOrNegativeLengthNeverCallsTheTransform) {
    auto buffer = byte_vector("abc");
    TransformLog log;
    skarn_util_apply_byte_transform(buffer.data(), 0, upper_and_record, &log);
    skarn_util_apply_byte_transform(buffer.data(), -3, upper_and_record, &log);
    EXPECT_TRUE(log.seen.empty());
    EXPECT_EQ(buffer, byte_vector("abc"));
    skarn_util_apply_byte_transform(buffer.data(), 2, upper_and_record, &log);
    EXPECT_EQ(buffer, byte_vector("ABc"));
}

// ---------------------------------------------------------------------------
// Range copier

class WriteSegmentToFile : public testing::Test {
protected:
    void SetUp() override {
        std::mt19937_64 rng(31337);
        content_ = skarn_test::random_bytes(rng, 5000);
        source_path_ = dir_.file("source.bin");
        write_file(source_path_, content_);
        source_ = std::fopen(source_path_.c_str(), "rb");
        ASSERT_NE(source_, nullptr);
    }
    void TearDown() override {
        if (source_ != nullptr) std::fclose(source_);
    }

    // Copies through a fresh destination file holding `prefix`; returns the
    // result and leaves the destination's content in `written`.
    int64_t copy(int64_t offset, int64_t count, std::string &written, const std::string &prefix = "") {
        const std::string path = dir_.file("destination.bin");
        FILE *destination = std::fopen(path.c_str(), "wb");
        EXPECT_NE(destination, nullptr);
        if (destination == nullptr) return -100;
        std::fwrite(prefix.data(), 1, prefix.size(), destination);
        const int64_t result = skarn_util_write_segment_to_file(source_, offset, count, destination);
        std::fclose(destination);
        written = read_file(path);
        return result;
    }

    TempDir dir_;
    std::string content_;
    std::string source_path_;
    FILE *source_ = nullptr;
};

TEST_F(WriteSegmentToFile, CopiesRangesAtOddOffsets) {
    const std::pair<int64_t, int64_t> ranges[] = {{0, 5000},   {1, 1},      {3, 511},    {7, 513},  {511, 1025},
                                                  {513, 1500}, {4095, 905}, {333, 4667}, {4999, 1}, {1001, 2047}};
    for (const auto &[offset, count] : ranges) {
        std::string written;
        EXPECT_EQ(copy(offset, count, written), count) << "offset " << offset << " count " << count;
        EXPECT_EQ(written, content_.substr(static_cast<size_t>(offset), static_cast<size_t>(count)))
            << "offset " << offset << " count " << count;
    }
}

TEST_F(WriteSegmentToFile, WritesAtTheDestinationsCurrentPosition) {
    std::string written;
    EXPECT_EQ(copy(1234, 700, written, "HEAD"), 700);
    EXPECT_EQ(written, "HEAD" + content_.substr(1234, 700));
}

TEST_F(WriteSegmentToFile, ShortChunkContributesNothing) {
    std::string written;
    // 100 bytes remain after the offset: the first chunk of 512 is short.
    EXPECT_EQ(copy(4900, 600, written), 0);
    EXPECT_EQ(written, "");
    // 1000 bytes remain: one full chunk, then a short one of 488.
    EXPECT_EQ(copy(4000, 1100, written), 512);
    EXPECT_EQ(written, content_.substr(4000, 512));
    // Past the end, nothing can be read.
    EXPECT_EQ(copy(6000, 10, written), 0);
}

TEST_F(WriteSegmentToFile, ZeroCountPositionsTheSource) {
    std::string written;
    EXPECT_EQ(copy(2500, 0, written), 0);
    EXPECT_EQ(written, "");
    EXPECT_EQ(ftello(source_), 2500);
    EXPECT_EQ(copy(10, 100, written), 100);
    EXPECT_EQ(ftello(source_), 110);
}

TEST_F(WriteSegmentToFile, UnpositionableSourceGivesMinusOne) {
    std::string written;
    EXPECT_EQ(copy(-1, 10, written), -1);
    EXPECT_EQ(written, "");
}

TEST_F(WriteSegmentToFile, RefusedWritesAreNotCounted) {
    // A stream opened for reading accepts no writes.
    FILE *read_only = std::fopen(source_path_.c_str(), "rb");
    ASSERT_NE(read_only, nullptr);
    EXPECT_EQ(skarn_util_write_segment_to_file(source_, 0, 1000, read_only), 0);
    std::fclose(read_only);
    EXPECT_EQ(read_file(source_path_), content_);
}

#if defined(__GLIBC__)
// A destination that records the size of every write it receives.
ssize_t record_write(void *cookie, const char *data, size_t size) {
    auto *sizes = static_cast<std::vector<size_t> *>(cookie);
    sizes->push_back(size);
    (void)data;
    return static_cast<ssize_t>(size);
}

TEST_F(WriteSegmentToFile, MovesBytesInChunksOf512) {
    std::vector<size_t> sizes;
    cookie_io_functions_t functions{};
    functions.write = record_write;
    FILE *destination = fopencookie(&sizes, "w", functions);
    ASSERT_NE(destination, nullptr);
    ASSERT_EQ(std::setvbuf(destination, nullptr, _IONBF, 0), 0);
    EXPECT_EQ(skarn_util_write_segment_to_file(source_, 17, 1500, destination), 1500);
    std::fclose(destination);
    EXPECT_EQ(sizes, (std::vector<size_t>{512, 512, 476}));
}
#endif

}  // namespace
