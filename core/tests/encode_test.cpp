// Hex encoding and decoding.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "skarn_edit.h"
#include "support/test_support.hpp"

namespace {

std::string encode(const std::vector<uint8_t> &bytes) {
    std::string out(2 * bytes.size() + 1, '#');
    const int64_t written = skarn_encode_bin2hex(bytes.data(), out.data(), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(written, static_cast<int64_t>(2 * bytes.size()));
    EXPECT_EQ(out.back(), '\0') << "a 0 byte follows the digits";
    out.pop_back();
    return out;
}

TEST(Bin2Hex, WritesTwoLowerCaseDigitsPerByte) {
    EXPECT_EQ(encode({0, 171, 255}), "00abff");
    EXPECT_EQ(encode({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}), "0123456789abcdef");
    EXPECT_EQ(encode({0x10, 0x0F}), "100f");
}

TEST(Bin2Hex, EmptySourceWritesOnlyTheTerminator) {
    char out[2] = {'#', '#'};
    EXPECT_EQ(skarn_encode_bin2hex(reinterpret_cast<const uint8_t *>("x"), out, 0), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');
}

TEST(Hex2Bin, DecodesEitherCase) {
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(skarn_encode_hex2bin("00ABff", out, 6), 3);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 171);
    EXPECT_EQ(out[2], 255);
    EXPECT_EQ(out[3], 0) << "a 0 byte follows the bytes";

    uint8_t all[9];
    EXPECT_EQ(skarn_encode_hex2bin("0123456789aBcDeF", all, 16), 8);
    EXPECT_EQ(std::vector<uint8_t>(all, all + 8),
              (std::vector<uint8_t>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
}

TEST(Hex2Bin, OddLastCharacterIsIgnored) {
    uint8_t out[3] = {9, 9, 9};
    EXPECT_EQ(skarn_encode_hex2bin("a1b2z", out, 5), 2);
    EXPECT_EQ(out[0], 0xA1);
    EXPECT_EQ(out[1], 0xB2);
    EXPECT_EQ(out[2], 0);
}

TEST(Hex2Bin, ShortSourceWritesOnlyTheTerminator) {
    for (int64_t length : {0, 1}) {
        uint8_t out[2] = {9, 9};
        EXPECT_EQ(skarn_encode_hex2bin("7", out, length), 0);
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(out[1], 9);
    }
}

TEST(Hex2Bin, InvalidDigitStopsWithEarlierPairsWritten) {
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(skarn_encode_hex2bin("0g", out, 2), 0);
    EXPECT_EQ(out[0], 9) << "nothing is written for the failing pair";

    EXPECT_EQ(skarn_encode_hex2bin("12345x78", out, 8), 0);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0x34);
    EXPECT_EQ(out[2], 9) << "no 0 byte is added after a failure";

    for (const char *bad : {"g0", " 1", "1 ", "0x", "G0", "-1", "1\0"}) {
        EXPECT_EQ(skarn_encode_hex2bin(bad, out, 2), 0) << '"' << bad << '"';
    }
}

TEST(HexRoundTrip, RandomBytesSurviveEncodingAndDecoding) {
    std::mt19937_64 rng(1234);
    for (size_t n = 0; n <= 300; n += 1 + n / 8) {
        const std::string random = skarn_test::random_bytes(rng, n);
        const std::vector<uint8_t> bytes(random.begin(), random.end());
        const std::string hex = encode(bytes);
        ASSERT_EQ(hex.size(), 2 * n);
        ASSERT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);

        std::vector<uint8_t> back(n + 1, 0xEE);
        ASSERT_EQ(skarn_encode_hex2bin(hex.c_str(), back.data(), static_cast<int64_t>(hex.size())),
                  static_cast<int64_t>(n));
        EXPECT_EQ(back[n], 0);
        back.pop_back();
        EXPECT_EQ(back, bytes);

        // Upper-case digits decode to the same bytes.
        std::string upper = hex;
        for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::vector<uint8_t> from_upper(n + 1);
        ASSERT_EQ(skarn_encode_hex2bin(upper.c_str(), from_upper.data(), static_cast<int64_t>(upper.size())),
                  static_cast<int64_t>(n));
        from_upper.pop_back();
        EXPECT_EQ(from_upper, bytes);
    }
}

}  // namespace
