// Byte-order marks: names, sizes and bytes of each kind, and detection in
// memory and in files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "skarn_edit.h"
#include "support/test_support.hpp"
#include "support/utility_support.hpp"

namespace {

using skarn_test::byte_vector;
using skarn_test::TempDir;
using skarn_test::write_file;

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
    const auto data = byte_vector(values);
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

}  // namespace
