// The skip-table matcher: table contents, scanning in both directions, the
// boundaries of the haystack, and a differential check against std::string_view.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/skip_table.hpp"
#include "skarn_edit.h"
#include "support/test_support.hpp"

namespace {

using skarn_test::bytes_of;

struct TableDeleter {
    void operator()(skarn_find_skip_table_struct *table) const { skarn_find_destroy_skip_table(table); }
};
using Table = std::unique_ptr<skarn_find_skip_table_struct, TableDeleter>;

Table make_table(std::string_view pattern, bool reverse) {
    return Table(
        skarn_find_create_skip_table(bytes_of(pattern), static_cast<int64_t>(pattern.size()), reverse ? 1 : 0));
}

// Position of the match found with a freshly built table, or npos.
size_t find_at(std::string_view haystack, std::string_view needle, bool reverse) {
    Table table = make_table(needle, reverse);
    EXPECT_NE(table, nullptr);
    if (!table) return std::string_view::npos;
    const uint8_t *hit = skarn_find(bytes_of(haystack), static_cast<int64_t>(haystack.size()), table.get(),
                                    bytes_of(needle), static_cast<int64_t>(needle.size()));
    if (hit == nullptr) return std::string_view::npos;
    EXPECT_GE(hit, bytes_of(haystack));
    EXPECT_LE(hit + needle.size(), bytes_of(haystack) + haystack.size());
    return static_cast<size_t>(hit - bytes_of(haystack));
}

// Every entry of a table must equal `fill` except the listed ones.
void expect_shifts(const skarn_find_skip_table_struct &table, int64_t fill,
                   const std::vector<std::pair<char, int64_t>> &special) {
    ASSERT_EQ(table.shifts.size(), 256u);
    std::vector<int64_t> expected(256, fill);
    for (const auto &[byte, shift] : special) expected[static_cast<uint8_t>(byte)] = shift;
    for (size_t b = 0; b < 256; ++b) EXPECT_EQ(table.shifts[b], expected[b]) << "byte " << b;
}

TEST(FindSkipTable, ForwardTableTakesTheLastOccurrenceBeforeTheAnchor) {
    Table table = make_table("abcab", false);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->is_reversed, 0);
    EXPECT_EQ(skarn_find_is_reversed(table.get()), 0);
    expect_shifts(*table, 5, {{'a', 1}, {'b', 3}, {'c', 2}});
}

TEST(FindSkipTable, BackwardTableTakesTheFirstOccurrenceAfterTheAnchor) {
    Table table = make_table("abcab", true);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->is_reversed, 1);
    EXPECT_EQ(skarn_find_is_reversed(table.get()), 1);
    expect_shifts(*table, 5, {{'a', 3}, {'b', 1}, {'c', 2}});
}

TEST(FindSkipTable, AnchorByteCountsOnlyThroughItsOtherOccurrences) {
    // Forwards the last byte is the anchor: 'z' occurs nowhere else, so it keeps the full length.
    Table forward = make_table("xyz", false);
    ASSERT_NE(forward, nullptr);
    expect_shifts(*forward, 3, {{'x', 2}, {'y', 1}});
    // Backwards the first byte is the anchor.
    Table backward = make_table("xyz", true);
    ASSERT_NE(backward, nullptr);
    expect_shifts(*backward, 3, {{'y', 1}, {'z', 2}});
    // A two-byte run of one value: the anchor's twin sits one position away.
    Table twin = make_table("qq", false);
    ASSERT_NE(twin, nullptr);
    expect_shifts(*twin, 2, {{'q', 1}});
}

TEST(FindSkipTable, AnyNonZeroIsReverseMeansBackward) {
    const uint8_t pattern[] = {1, 2, 3};
    Table table(skarn_find_create_skip_table(pattern, 3, 42));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->is_reversed, 1);
    EXPECT_EQ(skarn_find_is_reversed(table.get()), 1);
    Table negative(skarn_find_create_skip_table(pattern, 3, -1));
    ASSERT_NE(negative, nullptr);
    EXPECT_EQ(skarn_find_is_reversed(negative.get()), 1);
}

TEST(FindSkipTable, OneBytePatternHasNoTableButKeepsItsDirection) {
    Table forward = make_table("a", false);
    Table backward = make_table("a", true);
    ASSERT_NE(forward, nullptr);
    ASSERT_NE(backward, nullptr);
    EXPECT_TRUE(forward->shifts.empty());
    EXPECT_TRUE(backward->shifts.empty());
    EXPECT_EQ(skarn_find_is_reversed(forward.get()), 0);
    EXPECT_EQ(skarn_find_is_reversed(backward.get()), 1);
}

TEST(FindSkipTable, EmptyPatternBuildsAZeroTableButNeverMatches) {
    Table forward(skarn_find_create_skip_table(nullptr, 0, 0));
    ASSERT_NE(forward, nullptr);
    expect_shifts(*forward, 0, {});
    Table backward = make_table("", true);
    ASSERT_NE(backward, nullptr);
    expect_shifts(*backward, 0, {});

    const std::string_view haystack = "abc";
    EXPECT_EQ(skarn_find(bytes_of(haystack), 3, forward.get(), bytes_of(haystack), 0), nullptr);
    EXPECT_EQ(skarn_find(bytes_of(haystack), 3, backward.get(), bytes_of(haystack), 0), nullptr);
}

TEST(FindSkipTable, RejectsInvalidPatterns) {
    const uint8_t pattern[] = {'a', 'b'};
    EXPECT_EQ(skarn_find_create_skip_table(pattern, -1, 0), nullptr);
    EXPECT_EQ(skarn_find_create_skip_table(pattern, INT64_MIN, 1), nullptr);
    EXPECT_EQ(skarn_find_create_skip_table(nullptr, 2, 0), nullptr);
    // 2^31 bytes is one too many; the length is refused before the pattern is read.
    EXPECT_EQ(skarn_find_create_skip_table(pattern, int64_t{1} << 31, 0), nullptr);
    EXPECT_EQ(skarn_find_create_skip_table(pattern, INT64_MAX, 1), nullptr);
}

TEST(FindSkipTable, DestroyAndQueryToleratesNull) {
    skarn_find_destroy_skip_table(nullptr);
    EXPECT_EQ(skarn_find_is_reversed(nullptr), 0);
}

TEST(FindScan, OverlappingMatchesGiveLowestAndHighestStart) {
    EXPECT_EQ(find_at("aaaa", "aa", false), 0u);
    EXPECT_EQ(find_at("aaaa", "aa", true), 2u);
    EXPECT_EQ(find_at("abababa", "aba", false), 0u);
    EXPECT_EQ(find_at("abababa", "aba", true), 4u);
}

TEST(FindScan, FirstMatchForwardsLastMatchBackwards) {
    EXPECT_EQ(find_at("xxabxxab", "ab", false), 2u);
    EXPECT_EQ(find_at("xxabxxab", "ab", true), 6u);
}

TEST(FindScan, MatchesAtTheVeryEdgesOfTheHaystack) {
    // Forwards the only match is at the last possible start; backwards at position 0.
    EXPECT_EQ(find_at("zzzzzzzabc", "abc", false), 7u);
    EXPECT_EQ(find_at("abczzzzzzz", "abc", true), 0u);
    EXPECT_EQ(find_at("abczzzzabc", "abc", false), 0u);
    EXPECT_EQ(find_at("abczzzzabc", "abc", true), 7u);
}

TEST(FindScan, NeedleAsLongAsTheHaystack) {
    for (bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "backward" : "forward");
        EXPECT_EQ(find_at("needle", "needle", reverse), 0u);
        // Mismatch at the anchor of either direction, and in the middle.
        EXPECT_EQ(find_at("needlf", "needle", reverse), std::string_view::npos);
        EXPECT_EQ(find_at("meedle", "needle", reverse), std::string_view::npos);
        EXPECT_EQ(find_at("neexle", "needle", reverse), std::string_view::npos);
        // One byte longer than the haystack.
        EXPECT_EQ(find_at("needl", "needle", reverse), std::string_view::npos);
        EXPECT_EQ(find_at("", "n", reverse), std::string_view::npos);
    }
}

TEST(FindScan, OneByteNeedle) {
    EXPECT_EQ(find_at("banana", "a", false), 1u);
    EXPECT_EQ(find_at("banana", "a", true), 5u);
    EXPECT_EQ(find_at("banana", "b", true), 0u);
    EXPECT_EQ(find_at("banana", "z", false), std::string_view::npos);
    EXPECT_EQ(find_at("banana", "z", true), std::string_view::npos);
    // Only the first `length` bytes count, even when the buffer goes on.
    const std::string_view buffer = "xxxxa";
    Table table = make_table("a", true);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(skarn_find(bytes_of(buffer), 4, table.get(), bytes_of("a"), 1), nullptr);
}

TEST(FindScan, BinaryBytesIncludingZeroAndHighValues) {
    const std::string haystack("\x00\xff\x00\x00\xff\x80\x00\x00\xff\x80", 10);
    const std::string needle("\x00\xff\x80", 3);
    EXPECT_EQ(find_at(haystack, needle, false), 3u);
    EXPECT_EQ(find_at(haystack, needle, true), 7u);
    EXPECT_EQ(find_at(haystack, std::string("\x00", 1), true), 7u);
    EXPECT_EQ(find_at(haystack, std::string("\x00", 1), false), 0u);
}

TEST(FindScan, InvalidArgumentsGiveNull) {
    const std::string_view haystack = "abcabc";
    Table table = make_table("bc", false);
    Table one = make_table("b", false);
    Table empty = make_table("", false);
    ASSERT_TRUE(table && one && empty);
    EXPECT_EQ(skarn_find(bytes_of(haystack), -1, table.get(), bytes_of("bc"), 2), nullptr);
    EXPECT_EQ(skarn_find(bytes_of(haystack), 6, table.get(), bytes_of("bc"), -2), nullptr);
    EXPECT_EQ(skarn_find(nullptr, 6, table.get(), bytes_of("bc"), 2), nullptr);
    EXPECT_EQ(skarn_find(bytes_of(haystack), 6, nullptr, bytes_of("bc"), 2), nullptr);
    EXPECT_EQ(skarn_find(bytes_of(haystack), 6, table.get(), nullptr, 2), nullptr);
    // Tables of a one-byte or empty pattern cannot drive a longer needle.
    EXPECT_EQ(skarn_find(bytes_of(haystack), 6, one.get(), bytes_of("bc"), 2), nullptr);
    EXPECT_EQ(skarn_find(bytes_of(haystack), 6, empty.get(), bytes_of("bc"), 2), nullptr);
    // The haystack itself being empty.
    EXPECT_EQ(skarn_find(bytes_of(haystack), 0, table.get(), bytes_of("bc"), 2), nullptr);
}

TEST(FindScan, OneTableServesManyScansUnchanged) {
    Table table = make_table("abra", false);
    ASSERT_NE(table, nullptr);
    const std::vector<int64_t> before = table->shifts;
    const std::string_view haystack = "abracadabra";
    for (size_t start = 0; start <= haystack.size(); ++start) {
        const std::string_view window = haystack.substr(start);
        const uint8_t *hit =
            skarn_find(bytes_of(window), static_cast<int64_t>(window.size()), table.get(), bytes_of("abra"), 4);
        const size_t expected = window.find("abra");
        if (expected == std::string_view::npos) {
            EXPECT_EQ(hit, nullptr) << "start " << start;
        } else {
            EXPECT_EQ(hit, bytes_of(window) + expected) << "start " << start;
        }
    }
    EXPECT_EQ(table->shifts, before);
}

// Random haystacks over small alphabets, so that matches, near misses and
// overlaps are frequent; needles of 1 to 20 bytes, half of them cut from the
// haystack itself.
TEST(FindDifferential, AgreesWithStringViewFindAndRfind) {
    std::mt19937_64 rng(0x5eedf00dULL);
    const std::vector<std::string> alphabets = {"a", "ab", "abc", std::string("\x00\xff", 2), "abcd"};
    size_t matches = 0;
    size_t misses = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::string &alphabet = alphabets[rng() % alphabets.size()];
        const size_t hay_len = rng() % 120;
        const size_t needle_len = 1 + rng() % 20;
        std::string haystack(hay_len, '\0');
        for (char &c : haystack) c = alphabet[rng() % alphabet.size()];
        std::string needle(needle_len, '\0');
        if (hay_len >= needle_len && rng() % 2 == 0) {
            needle = haystack.substr(rng() % (hay_len - needle_len + 1), needle_len);
        } else {
            for (char &c : needle) c = alphabet[rng() % alphabet.size()];
        }

        for (bool reverse : {false, true}) {
            Table table = make_table(needle, reverse);
            ASSERT_NE(table, nullptr);
            if (needle_len > 1) {
                ASSERT_EQ(table->shifts.size(), 256u);
                for (int64_t shift : table->shifts) {
                    ASSERT_GE(shift, 1);
                    ASSERT_LE(shift, static_cast<int64_t>(needle_len));
                }
            }
            const std::string_view hay_view(haystack);
            const size_t expected = reverse ? hay_view.rfind(needle) : hay_view.find(needle);
            const uint8_t *hit = skarn_find(bytes_of(haystack), static_cast<int64_t>(hay_len), table.get(),
                                            bytes_of(needle), static_cast<int64_t>(needle_len));
            const size_t got = hit == nullptr ? std::string_view::npos : static_cast<size_t>(hit - bytes_of(haystack));
            ASSERT_EQ(got, expected) << (reverse ? "rfind" : "find") << " round " << round << " needle length "
                                     << needle_len << " haystack length " << hay_len;
            (expected == std::string_view::npos ? misses : matches)++;
        }
    }
    // The generator must exercise both outcomes substantially.
    EXPECT_GT(matches, 2000u);
    EXPECT_GT(misses, 1000u);
}

}  // namespace
