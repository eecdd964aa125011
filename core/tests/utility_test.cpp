// Byte helpers, byte-order marks, character counting of buffers, byte
// transforms of buffers, and the stream range copier.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "skarn_edit.h"
#include "support/test_support.hpp"

namespace {

using skarn_test::append_utf8;
using skarn_test::Counts;
using skarn_test::read_counts;
using skarn_test::read_file;
using skarn_test::TempDir;
using skarn_test::write_file;

std::vector<uint8_t> bytes_of(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

std::vector<uint8_t> bytes_of(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Asserts that `captured` is exactly the given messages, each in the log line
// format of this source ("utility.cpp@<line>::<function>: <message>").
void expect_log_lines(const std::string &captured, const std::string &function,
                      const std::vector<std::string> &messages) {
    std::string pattern;
    for (const auto &message : messages) pattern += "utility\\.cpp@[0-9]+::" + function + ": " + message + "\n";
    EXPECT_TRUE(std::regex_match(captured, std::regex(pattern))) << "stderr was:\n" << captured;
}

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
    auto buffer = bytes_of({129, 1});
    ASSERT_EQ(skarn_util_left_shift_buffer(buffer.data(), 2, 1, 0), 0);
    EXPECT_EQ(buffer, bytes_of({2, 2}));

    buffer = bytes_of({129, 1});
    ASSERT_EQ(skarn_util_left_shift_buffer(buffer.data(), 2, 1, 1), 0);
    EXPECT_EQ(buffer, bytes_of({2, 3}));

    buffer = bytes_of({129, 1});
    ASSERT_EQ(skarn_util_right_shift_buffer(buffer.data(), 2, 1, 0), 0);
    EXPECT_EQ(buffer, bytes_of({64, 128}));

    buffer = bytes_of({129, 1});
    ASSERT_EQ(skarn_util_right_shift_buffer(buffer.data(), 2, 1, 1), 0);
    EXPECT_EQ(buffer, bytes_of({192, 128}));
}

TEST(ShiftBuffer, BadArgumentsAreRefusedShiftFirstAndLeaveTheBufferAlone) {
    using shift_fn = int (*)(uint8_t *, int64_t, uint8_t, int);
    for (shift_fn fn : {shift_fn{skarn_util_left_shift_buffer}, shift_fn{skarn_util_right_shift_buffer}}) {
        auto buffer = bytes_of({0xA5, 0x5A, 0xFF});
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
                    const auto original = bytes_of(skarn_test::random_bytes(rng, static_cast<size_t>(length)));
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
    auto buffer = bytes_of({0xFF, 0xFF, 0x81, 0x81});
    ASSERT_EQ(skarn_util_left_shift_buffer(buffer.data(), 2, 4, 0), 0);
    EXPECT_EQ(buffer, bytes_of({0xFF, 0xF0, 0x81, 0x81}));
    ASSERT_EQ(skarn_util_right_shift_buffer(buffer.data() + 2, 2, 4, 1), 0);
    EXPECT_EQ(buffer, bytes_of({0xFF, 0xF0, 0xF8, 0x18}));
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
        expect_log_lines(testing::internal::GetCapturedStderr(), "skarn_util_mask_byte", {"unhandled mask kind"});
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
    const auto data = bytes_of({0xFF, 0x00, 0x80, 0x00, 0x41});
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
// Byte-order marks

constexpr skarn_bom_t kind(int value) { return static_cast<skarn_bom_t>(value); }

TEST(BomNames, NamesSizesAndMarksOfEveryKind) {
    const char *names[] = {"unknown", "none", "UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"};
    const size_t sizes[] = {0, 0, 3, 2, 2, 4, 4};
    const std::vector<std::vector<uint8_t>> marks = {
        {}, {}, {0xEF, 0xBB, 0xBF}, {0xFF, 0xFE}, {0xFE, 0xFF}, {0xFF, 0xFE, 0, 0}, {0, 0, 0xFE, 0xFF}};
    for (int k = 0; k <= 6; ++k) {
        EXPECT_STREQ(skarn_util_BOM_to_cstring(kind(k)), names[k]);
        EXPECT_EQ(skarn_util_BOM_size(kind(k)), sizes[k]);
        const skarn_byte_buffer_t *mark = skarn_util_BOM_to_buffer(kind(k));
        if (marks[k].empty()) {
            EXPECT_EQ(mark, nullptr);
        } else {
            ASSERT_NE(mark, nullptr);
            ASSERT_EQ(mark->length, static_cast<int64_t>(marks[k].size()));
            EXPECT_EQ(std::vector<uint8_t>(mark->data, mark->data + mark->length), marks[k]);
            EXPECT_EQ(skarn_util_BOM_to_buffer(kind(k)), mark) << "the marks are constants of the library";
        }
    }
}

TEST(BomNames, UnknownValuesAreAnsweredNotRefused) {
    for (int k : {7, -1, 1000, INT32_MIN}) {
        EXPECT_STREQ(skarn_util_BOM_to_cstring(kind(k)), "unknown");
        EXPECT_EQ(skarn_util_BOM_size(kind(k)), 0u);
        EXPECT_EQ(skarn_util_BOM_to_buffer(kind(k)), nullptr);
    }
}

TEST(BomNames, EveryKindComesBackThroughItsName) {
    for (int k = 1; k <= 6; ++k) EXPECT_EQ(skarn_util_cstring_to_BOM(skarn_util_BOM_to_cstring(kind(k))), kind(k));
}

TEST(BomNames, LookupIgnoresCaseAndWhatFollowsAFullName) {
    EXPECT_EQ(skarn_util_cstring_to_BOM("utf-8"), BOM_UTF8);
    EXPECT_EQ(skarn_util_cstring_to_BOM("uTf-8"), BOM_UTF8);
    EXPECT_EQ(skarn_util_cstring_to_BOM("NONE"), BOM_NONE);
    EXPECT_EQ(skarn_util_cstring_to_BOM("utf-32be"), BOM_UTF32BE);
    EXPECT_EQ(skarn_util_cstring_to_BOM("UTF-16LEXYZ"), BOM_UTF16LE);
    EXPECT_EQ(skarn_util_cstring_to_BOM("nonesuch"), BOM_NONE);
    EXPECT_EQ(skarn_util_cstring_to_BOM("UTF-8 with more"), BOM_UTF8);
}

TEST(BomNames, LookupFailsForPartialAndForeignNames) {
    EXPECT_EQ(skarn_util_cstring_to_BOM("UTF8"), BOM_UNKNOWN);
    EXPECT_EQ(skarn_util_cstring_to_BOM("UTF-16"), BOM_UNKNOWN);
    EXPECT_EQ(skarn_util_cstring_to_BOM("UTF-32"), BOM_UNKNOWN);
    EXPECT_EQ(skarn_util_cstring_to_BOM("non"), BOM_UNKNOWN);
    EXPECT_EQ(skarn_util_cstring_to_BOM(""), BOM_UNKNOWN);
    EXPECT_EQ(skarn_util_cstring_to_BOM("unknown"), BOM_UNKNOWN);
    EXPECT_EQ(skarn_util_cstring_to_BOM(" UTF-8"), BOM_UNKNOWN);
    EXPECT_EQ(skarn_util_cstring_to_BOM(nullptr), BOM_UNKNOWN);
}

skarn_bom_t detect(std::initializer_list<int> values, size_t n) {
    const auto data = bytes_of(values);
    return skarn_util_detect_BOM_from_memory(data.data(), n);
}

skarn_bom_t detect(std::initializer_list<int> values) { return detect(values, values.size()); }

TEST(BomDetection, RecognisesEachMark) {
    EXPECT_EQ(detect({0xEF, 0xBB, 0xBF}), BOM_UTF8);
    EXPECT_EQ(detect({0xEF, 0xBB, 0xBF, 0x41, 0x42}), BOM_UTF8);
    EXPECT_EQ(detect({0xFF, 0xFE}), BOM_UTF16LE);
    EXPECT_EQ(detect({0xFE, 0xFF}), BOM_UTF16BE);
    EXPECT_EQ(detect({0xFF, 0xFE, 0x00, 0x00}), BOM_UTF32LE);
    EXPECT_EQ(detect({0x00, 0x00, 0xFE, 0xFF}), BOM_UTF32BE);
    EXPECT_EQ(detect({0x41, 0x42, 0x43, 0x44}), BOM_NONE);
}

TEST(BomDetection, UtfSixteenAndThirtyTwoLittleEndianDependOnLength) {
    EXPECT_EQ(detect({0xFF, 0xFE, 0x00, 0x00}, 4), BOM_UTF32LE);
    EXPECT_EQ(detect({0xFF, 0xFE, 0x00, 0x00}, 3), BOM_UTF16LE);
    EXPECT_EQ(detect({0xFF, 0xFE, 0x41, 0x00}), BOM_UTF16LE);
    EXPECT_EQ(detect({0xFF, 0xFE, 0x00, 0x41}), BOM_UTF16LE);
}

TEST(BomDetection, IncompleteMarksGiveNone) {
    EXPECT_EQ(detect({0xEF, 0xBB, 0xBF}, 2), BOM_NONE);
    EXPECT_EQ(detect({0xEF, 0xBB}), BOM_NONE);
    EXPECT_EQ(detect({0xEF, 0xBB, 0x41, 0x42}), BOM_NONE);
    EXPECT_EQ(detect({0x00, 0x00, 0xFE, 0xFF}, 3), BOM_NONE);
    EXPECT_EQ(detect({0x00, 0x00, 0xFE}), BOM_NONE);
    EXPECT_EQ(detect({0xFF}), BOM_NONE);
    EXPECT_EQ(detect({0xFE}), BOM_NONE);
    EXPECT_EQ(detect({0xFF, 0xFE}, 1), BOM_NONE);
    EXPECT_EQ(detect({0xFF, 0xFE}, 0), BOM_NONE);
    EXPECT_EQ(detect({0xFF, 0x00}), BOM_NONE);
    EXPECT_EQ(skarn_util_detect_BOM_from_memory(nullptr, 0), BOM_NONE);
}

TEST(BomDetection, FromFileReadsAtMostTheFirstFourBytes) {
    TempDir dir;
    const std::string path = dir.file("marked.txt");
    write_file(path, std::string("\x00\x00\xFE\xFF\x00\x00\x00\x41", 8));
    EXPECT_EQ(skarn_util_detect_BOM_from_file(path.c_str()), BOM_UTF32BE);
    write_file(path, std::string("\xFF\xFE\x00", 3));
    EXPECT_EQ(skarn_util_detect_BOM_from_file(path.c_str()), BOM_UTF16LE);
    write_file(path, "\xEF\xBB\xBFtext");
    EXPECT_EQ(skarn_util_detect_BOM_from_file(path.c_str()), BOM_UTF8);
}

TEST(BomDetection, FromFileEmptyIsSilentMissingIsReported) {
    TempDir dir;
    const std::string empty = dir.file("empty.txt");
    write_file(empty, "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(skarn_util_detect_BOM_from_file(empty.c_str()), BOM_NONE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    const std::string missing = dir.file("missing.txt");
    testing::internal::CaptureStderr();
    EXPECT_EQ(skarn_util_detect_BOM_from_file(missing.c_str()), BOM_NONE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error opening file: " + std::string(std::strerror(ENOENT)) + "\n");
}

// ---------------------------------------------------------------------------
// Character counting

// A record of the caller's, released at scope exit.
class CountsRecord {
public:
    CountsRecord() : record_(skarn_character_counts_create()) {}
    ~CountsRecord() { skarn_character_counts_destroy(record_); }
    CountsRecord(const CountsRecord &) = delete;
    CountsRecord &operator=(const CountsRecord &) = delete;
    skarn_character_counts_struct *get() const { return record_; }

private:
    skarn_character_counts_struct *record_;
};

Counts count(skarn_bom_t bom, const std::vector<uint8_t> &data) {
    CountsRecord record;
    skarn_character_counts_set_BOM(record.get(), bom);
    skarn_util_count_characters(data.data(), data.size(), record.get());
    return read_counts(record.get());
}

Counts count(skarn_bom_t bom, std::initializer_list<int> values) { return count(bom, bytes_of(values)); }

Counts make_counts(int64_t bom, int64_t single, int64_t dbl, int64_t triple, int64_t quad, int64_t invalid) {
    Counts c;
    c.bom = bom;
    c.single = single;
    c.dbl = dbl;
    c.triple = triple;
    c.quad = quad;
    c.invalid = invalid;
    return c;
}

TEST(CharacterCountsRecord, CreateResetAndKind) {
    CountsRecord record;
    ASSERT_NE(record.get(), nullptr);
    EXPECT_EQ(skarn_character_counts_get_BOM(record.get()), BOM_UNKNOWN);
    EXPECT_EQ(read_counts(record.get()), Counts{});

    EXPECT_EQ(skarn_character_counts_set_BOM(record.get(), BOM_UTF8), record.get());
    EXPECT_EQ(skarn_character_counts_get_BOM(record.get()), BOM_UTF8);
    const auto data = bytes_of({0xEF, 0xBB, 0xBF, 0x41, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0xC3});
    skarn_util_count_characters(data.data(), data.size(), record.get());
    EXPECT_EQ(read_counts(record.get()), make_counts(3, 1, 1, 1, 1, 1));

    EXPECT_EQ(skarn_character_counts_reset(record.get()), record.get());
    EXPECT_EQ(read_counts(record.get()), Counts{});
    EXPECT_EQ(skarn_character_counts_get_BOM(record.get()), BOM_UTF8) << "reset keeps the kind";

    skarn_character_counts_destroy(nullptr);
}

TEST(CharacterCountsRecord, CountingAccumulatesExceptTheMarkSize) {
    CountsRecord record;
    skarn_character_counts_set_BOM(record.get(), BOM_UTF16LE);
    const auto data = bytes_of({0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x42});
    skarn_util_count_characters(data.data(), data.size(), record.get());
    EXPECT_EQ(read_counts(record.get()), make_counts(2, 1, 2, 0, 0, 1));
    skarn_util_count_characters(data.data(), data.size(), record.get());
    EXPECT_EQ(read_counts(record.get()), make_counts(2, 2, 4, 0, 0, 2));

    // A later buffer without a mark keeps the size of the last mark found.
    const auto plain = bytes_of({0x41, 0x00});
    skarn_util_count_characters(plain.data(), plain.size(), record.get());
    EXPECT_EQ(read_counts(record.get()), make_counts(2, 3, 4, 0, 0, 2));

    // An empty buffer changes nothing.
    skarn_util_count_characters(plain.data(), 0, record.get());
    EXPECT_EQ(read_counts(record.get()), make_counts(2, 3, 4, 0, 0, 2));
}

TEST(CharacterCountsUtf8, MarkOnlyForTheUtf8Kind) {
    EXPECT_EQ(count(BOM_UTF8, {0xEF, 0xBB, 0xBF, 0x41}), make_counts(3, 1, 0, 0, 0, 0));
    EXPECT_EQ(count(BOM_NONE, {0xEF, 0xBB, 0xBF, 0x41}), make_counts(0, 1, 0, 1, 0, 0));
    EXPECT_EQ(count(BOM_UNKNOWN, {0xEF, 0xBB, 0xBF, 0x41}), make_counts(0, 1, 0, 1, 0, 0));
    EXPECT_EQ(count(BOM_UTF8, {0xEF, 0xBB}), make_counts(0, 0, 0, 0, 0, 2));
    EXPECT_EQ(count(BOM_UTF8, {0xEF, 0xBB, 0xBF}), make_counts(3, 0, 0, 0, 0, 0));
}

TEST(CharacterCountsUtf8, SequencesOfEachWidth) {
    EXPECT_EQ(count(BOM_NONE, {0xC3, 0xA9}), make_counts(0, 0, 1, 0, 0, 0));
    EXPECT_EQ(count(BOM_NONE, {0xC3}), make_counts(0, 0, 0, 0, 0, 1));
    EXPECT_EQ(count(BOM_NONE, {0xC3, 0x41}), make_counts(0, 1, 0, 0, 0, 1));
    EXPECT_EQ(count(BOM_NONE, {0xE2, 0x82, 0xAC}), make_counts(0, 0, 0, 1, 0, 0));
    EXPECT_EQ(count(BOM_NONE, {0xF0, 0x9F, 0x98, 0x80}), make_counts(0, 0, 0, 0, 1, 0));
    EXPECT_EQ(count(BOM_NONE, {0x80}), make_counts(0, 0, 0, 0, 0, 1));
    EXPECT_EQ(count(BOM_NONE, {}), Counts{});
}

TEST(CharacterCountsUtf8, FourByteRowAcceptsAnyLeadWithThreeContinuations) {
    EXPECT_EQ(count(BOM_NONE, {0x80, 0x80, 0x80, 0x80}), make_counts(0, 0, 0, 0, 1, 0));
    EXPECT_EQ(count(BOM_NONE, {0xFF, 0xBF, 0xBF, 0xBF}), make_counts(0, 0, 0, 0, 1, 0));
    EXPECT_EQ(count(BOM_NONE, {0xF8, 0x80, 0x80, 0x80, 0x80}), make_counts(0, 0, 0, 0, 1, 1));
    // Overlong forms and encoded surrogates are not detected.
    EXPECT_EQ(count(BOM_NONE, {0xC0, 0x80, 0xED, 0xA0, 0x80}), make_counts(0, 0, 1, 1, 0, 0));
}

TEST(CharacterCountsUtf8, CutOffSequencesAreInvalidByteByByte) {
    EXPECT_EQ(count(BOM_NONE, {0xE2, 0x82}), make_counts(0, 0, 0, 0, 0, 2));
    EXPECT_EQ(count(BOM_NONE, {0xF0, 0x9F, 0x98}), make_counts(0, 0, 0, 0, 0, 3));
    EXPECT_EQ(count(BOM_NONE, {0x41, 0xF0, 0x9F, 0x98}), make_counts(0, 1, 0, 0, 0, 3));
    // E2 82 then a lead byte: both invalid, the following character counts.
    EXPECT_EQ(count(BOM_NONE, {0xE2, 0x82, 0xC3, 0xA9}), make_counts(0, 0, 1, 0, 0, 2));
}

TEST(CharacterCountsUtf16, LittleEndian) {
    EXPECT_EQ(count(BOM_UTF16LE, {0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00}), make_counts(2, 1, 1, 0, 0, 0));
    EXPECT_EQ(count(BOM_UTF16LE, {0x3D, 0xD8, 0x00, 0xDE}), make_counts(0, 0, 1, 0, 0, 0));
    EXPECT_EQ(count(BOM_UTF16LE, {0x3D, 0xD8}), make_counts(0, 0, 0, 0, 0, 2));
    EXPECT_EQ(count(BOM_UTF16LE, {0x3D, 0xD8, 0x00}), make_counts(0, 0, 0, 0, 0, 3));
    EXPECT_EQ(count(BOM_UTF16LE, {0x00, 0xDC}), make_counts(0, 0, 0, 0, 0, 2));
    EXPECT_EQ(count(BOM_UTF16LE, {0x41, 0x00, 0x42}), make_counts(0, 1, 0, 0, 0, 1));
    EXPECT_EQ(count(BOM_UTF16LE, {0x7F, 0x00, 0x80, 0x00}), make_counts(0, 1, 1, 0, 0, 0));
    EXPECT_EQ(count(BOM_UTF16LE, {0xFF}), make_counts(0, 0, 0, 0, 0, 1));
}

TEST(CharacterCountsUtf16, BigEndianHasItsOwnMark) {
    // FF FE is not the big-endian mark: it is the character U+FFFE.
    EXPECT_EQ(count(BOM_UTF16BE, {0xFF, 0xFE, 0x00, 0x41}), make_counts(0, 1, 1, 0, 0, 0));
    EXPECT_EQ(count(BOM_UTF16BE, {0xFE, 0xFF, 0x00, 0x41, 0xD8, 0x3D, 0xDE, 0x00}), make_counts(2, 1, 1, 0, 0, 0));
}

TEST(CharacterCountsUtf16, InvalidUnitsMoveOnByOneByte) {
    // 41 00 | 00 DC (lone low surrogate) | 42 00: after the invalid unit the
    // bytes DC 42 are read as the unit 0x42DC, and the last byte is left over.
    EXPECT_EQ(count(BOM_UTF16LE, {0x41, 0x00, 0x00, 0xDC, 0x42, 0x00}), make_counts(0, 1, 1, 0, 0, 2));
    // A high surrogate followed by a non-surrogate: 00 D8 | 41 00 | 42 00 reads
    // D8 41 (0x41D8), then 00 42 (0x4200), then one byte is left over.
    EXPECT_EQ(count(BOM_UTF16LE, {0x00, 0xD8, 0x41, 0x00, 0x42, 0x00}), make_counts(0, 0, 2, 0, 0, 2));
    // A high surrogate followed by another one is invalid, and the pair after
    // it is read out of alignment: D8 00 | D8 3D | DE 00 gives 00 D8 and 3D DE
    // (two double-byte characters) and one byte left over.
    EXPECT_EQ(count(BOM_UTF16BE, {0xD8, 0x00, 0xD8, 0x3D, 0xDE, 0x00}), make_counts(0, 0, 2, 0, 0, 2));
}

TEST(CharacterCountsUtf32, MarksValuesAndLeftovers) {
    EXPECT_EQ(count(BOM_UTF32LE, {0xFF, 0xFE, 0x00, 0x00, 0x41, 0x00, 0x00, 0x00}), make_counts(4, 1, 0, 0, 0, 0));
    EXPECT_EQ(count(BOM_UTF32LE, {0x00, 0x00, 0x11, 0x00}), make_counts(0, 0, 0, 0, 0, 4));
    EXPECT_EQ(count(BOM_UTF32BE, {0x00, 0x00, 0xFE, 0xFF, 0x00, 0x01, 0xF6, 0x00}), make_counts(4, 0, 0, 0, 1, 0));
    EXPECT_EQ(count(BOM_UTF32BE, {0x00, 0x10, 0xFF, 0xFF, 0x00, 0x00, 0x00}), make_counts(0, 0, 0, 0, 1, 3));
    EXPECT_EQ(count(BOM_UTF32LE, {0xFF, 0xFE, 0x00}), make_counts(0, 0, 0, 0, 0, 3));
    // 41 | 00 D8 00 00 (a surrogate) | 42: the invalid value shifts the reading
    // by one byte, and the three values read after it are 0x420000D8 and
    // 0x00420000 (both too large) and 0x4200.
    EXPECT_EQ(count(BOM_UTF32LE, {0x41, 0, 0, 0, 0x00, 0xD8, 0, 0, 0x42, 0, 0, 0}), make_counts(0, 1, 0, 0, 1, 4));
}

TEST(CharacterCountsKinds, UnknownKindIsReportedOnceAndCountsNothing) {
    for (int k : {7, -1, 42}) {
        CountsRecord record;
        skarn_character_counts_set_BOM(record.get(), BOM_UTF8);
        const auto data = bytes_of({0xEF, 0xBB, 0xBF, 0x41, 0x42});
        skarn_util_count_characters(data.data(), data.size(), record.get());
        const Counts before = read_counts(record.get());

        skarn_character_counts_set_BOM(record.get(), kind(k));
        EXPECT_EQ(skarn_character_counts_get_BOM(record.get()), kind(k));
        testing::internal::CaptureStderr();
        skarn_util_count_characters(data.data(), data.size(), record.get());
        expect_log_lines(testing::internal::GetCapturedStderr(), "skarn_util_count_characters", {"unhandled BOM"});
        EXPECT_EQ(read_counts(record.get()), before);
    }
}

// UTF-16 and UTF-32 encoders of the test's own (the UTF-8 one is shared), to
// build valid text from code points.
void append_unit16(std::vector<uint8_t> &out, uint32_t unit, bool big_endian) {
    const auto hi = static_cast<uint8_t>(unit >> 8), lo = static_cast<uint8_t>(unit & 0xFF);
    out.push_back(big_endian ? hi : lo);
    out.push_back(big_endian ? lo : hi);
}

void append_utf16(std::vector<uint8_t> &out, uint32_t cp, bool big_endian) {
    if (cp < 0x10000) {
        append_unit16(out, cp, big_endian);
    } else {
        const uint32_t v = cp - 0x10000;
        append_unit16(out, 0xD800 | (v >> 10), big_endian);
        append_unit16(out, 0xDC00 | (v & 0x3FF), big_endian);
    }
}

void append_utf32(std::vector<uint8_t> &out, uint32_t cp, bool big_endian) {
    for (int i = 0; i < 4; ++i) {
        const int shift = big_endian ? 24 - 8 * i : 8 * i;
        out.push_back(static_cast<uint8_t>((cp >> shift) & 0xFF));
    }
}

// Random code points of every range and plane, surrogates excluded; the
// boundaries of each width come first.
std::vector<uint32_t> random_code_points(std::mt19937_64 &rng, size_t n) {
    std::vector<uint32_t> points = {0x41, 0x00, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
    while (points.size() < n) {
        uint32_t cp = 0;
        switch (rng() % 4) {
            case 0: cp = rng() % 0x80; break;
            case 1: cp = 0x80 + rng() % (0x800 - 0x80); break;
            case 2: cp = 0x800 + rng() % (0x10000 - 0x800); break;
            default:
                cp = 0x10000 * (1 + rng() % 16) + rng() % 0x10000;  // planes 1 to 16
                break;
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        points.push_back(cp);
    }
    return points;
}

TEST(CharacterCountsRandomText, ValidTextIsCountedByWidth) {
    std::mt19937_64 rng(424242);
    for (int round = 0; round < 40; ++round) {
        const auto points = random_code_points(rng, 11 + rng() % 400);
        for (bool with_mark : {false, true}) {
            for (int k = BOM_UNKNOWN; k <= BOM_UTF32BE; ++k) {
                const skarn_bom_t bom = kind(k);
                const bool big_endian = bom == BOM_UTF16BE || bom == BOM_UTF32BE;
                const skarn_byte_buffer_t *mark = skarn_util_BOM_to_buffer(bom);
                if (with_mark && mark == nullptr) continue;

                std::vector<uint8_t> data;
                if (with_mark) data.assign(mark->data, mark->data + mark->length);
                Counts expected;
                expected.bom = with_mark ? mark->length : 0;
                for (uint32_t cp : points) {
                    if (bom == BOM_UTF16LE || bom == BOM_UTF16BE) {
                        append_utf16(data, cp, big_endian);
                        ++(cp <= 0x7F ? expected.single : expected.dbl);
                    } else if (bom == BOM_UTF32LE || bom == BOM_UTF32BE) {
                        append_utf32(data, cp, big_endian);
                        ++(cp <= 0x7F ? expected.single : expected.quad);
                    } else {
                        append_utf8(data, cp);
                        ++(cp < 0x80      ? expected.single
                           : cp < 0x800   ? expected.dbl
                           : cp < 0x10000 ? expected.triple
                                          : expected.quad);
                    }
                }
                ASSERT_EQ(count(bom, data), expected) << skarn_util_BOM_to_cstring(bom) << " mark " << with_mark;
            }
        }
    }
}

TEST(CharacterCountsRandomText, InvalidUtf8FragmentsCountOnlyTheirOwnBytes) {
    // Fragments that begin with a lead byte and are cut short: each of their
    // bytes is invalid, and the character after them counts as usual.
    const std::vector<std::vector<uint8_t>> fragments = {{0xC3}, {0xE2, 0x82}, {0xE2}, {0xF0, 0x9F, 0x98}, {0xF0}};
    std::mt19937_64 rng(99);
    for (int round = 0; round < 100; ++round) {
        const auto points = random_code_points(rng, 11 + rng() % 100);
        std::vector<uint8_t> data;
        Counts expected;
        for (uint32_t cp : points) {
            if (rng() % 4 == 0) {
                const auto &fragment = fragments[rng() % fragments.size()];
                data.insert(data.end(), fragment.begin(), fragment.end());
                expected.invalid += static_cast<int64_t>(fragment.size());
            }
            append_utf8(data, cp);
            ++(cp < 0x80      ? expected.single
               : cp < 0x800   ? expected.dbl
               : cp < 0x10000 ? expected.triple
                              : expected.quad);
        }
        const auto &tail = fragments[rng() % fragments.size()];
        data.insert(data.end(), tail.begin(), tail.end());
        expected.invalid += static_cast<int64_t>(tail.size());
        ASSERT_EQ(count(BOM_UTF8, data), expected);
    }
}

TEST(CharacterCountsRandomText, CutOffTailsAreLeftOverBytes) {
    std::mt19937_64 rng(5);
    const auto points = random_code_points(rng, 300);
    for (bool big_endian : {false, true}) {
        std::vector<uint8_t> utf16, utf32;
        Counts expected16, expected32;
        for (uint32_t cp : points) {
            append_utf16(utf16, cp, big_endian);
            ++(cp <= 0x7F ? expected16.single : expected16.dbl);
            append_utf32(utf32, cp, big_endian);
            ++(cp <= 0x7F ? expected32.single : expected32.quad);
        }
        // A high surrogate cut off by the end, then a single stray byte.
        const skarn_bom_t bom16 = big_endian ? BOM_UTF16BE : BOM_UTF16LE;
        auto cut16 = utf16;
        append_unit16(cut16, 0xD83D, big_endian);
        expected16.invalid = 2;
        EXPECT_EQ(count(bom16, cut16), expected16);
        cut16.push_back(0xDE);
        expected16.invalid = 3;
        EXPECT_EQ(count(bom16, cut16), expected16);

        const skarn_bom_t bom32 = big_endian ? BOM_UTF32BE : BOM_UTF32LE;
        for (int extra = 1; extra <= 3; ++extra) {
            auto cut32 = utf32;
            for (int i = 0; i < extra; ++i) cut32.push_back(0x41);
            expected32.invalid = extra;
            EXPECT_EQ(count(bom32, cut32), expected32);
        }
    }
}

// ---------------------------------------------------------------------------
// Byte transform of a buffer

struct TransformLog {
    std::vector<uint8_t> seen;
};

uint8_t upper_and_record(uint8_t byte, void *user_data) {
    static_cast<TransformLog *>(user_data)->seen.push_back(byte);
    return byte >= 'a' && byte <= 'z' ? static_cast<uint8_t>(byte - 'a' + 'A') : byte;
}

TEST(ByteTransformBuffer, ReplacesEachByteInOrder) {
    auto buffer = bytes_of("hello, World!");
    TransformLog log;
    skarn_util_apply_byte_transform(buffer.data(), static_cast<int64_t>(buffer.size()), upper_and_record, &log);
    EXPECT_EQ(buffer, bytes_of("HELLO, WORLD!"));
    EXPECT_EQ(log.seen, bytes_of("hello, World!"));
}

TEST(ByteTransformBuffer, EmptyOrNegativeLengthNeverCallsTheTransform) {
    auto buffer = bytes_of("abc");
    TransformLog log;
    skarn_util_apply_byte_transform(buffer.data(), 0, upper_and_record, &log);
    skarn_util_apply_byte_transform(buffer.data(), -3, upper_and_record, &log);
    EXPECT_TRUE(log.seen.empty());
    EXPECT_EQ(buffer, bytes_of("abc"));
    skarn_util_apply_byte_transform(buffer.data(), 2, upper_and_record, &log);
    EXPECT_EQ(buffer, bytes_of("ABc"));
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
