// Search contexts: creation and its refusals, the documented match sequences
// in both directions, ranges and advances, case folding, the contexts' life in
// their session, and differential checks against std::string find/rfind over
// edited sessions and over ranges of several windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/search_context.hpp"
#include "engine/session.hpp"
#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace {

using skarn_test::Session;
using skarn_test::TempDir;

constexpr int64_t window_size = 1048576;

// A session over a file holding `content` (over nothing when it is empty).
Session open_session(const TempDir &dir, const std::string &content) {
    return content.empty() ? skarn_test::open_session("", dir) : skarn_test::open_file_session(dir, content);
}

skarn_search_context_struct *make_context(skarn_session_struct *session, std::string_view pattern, int64_t offset = 0,
                                          int64_t length = 0, bool fold = false, bool reverse = false) {
    return skarn_search_create_context_string(session, pattern, offset, length, fold, reverse);
}

// Calls skarn_search_next_match until it returns 0 and collects the offsets;
// stops early (and fails) if the sequence does not end.
std::vector<int64_t> collect(skarn_search_context_struct *context, int64_t advance, size_t limit = 100000) {
    std::vector<int64_t> offsets;
    while (skarn_search_next_match(context, advance) == 1) {
        offsets.push_back(skarn_search_context_get_match_offset(context));
        if (offsets.size() > limit) {
            ADD_FAILURE() << "the match sequence does not end";
            break;
        }
    }
    return offsets;
}

std::string folded(std::string s) {
    for (char &c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// The content a session is expected to hold, as is and case-folded.
struct Model {
    explicit Model(std::string content) : plain(std::move(content)), lower(folded(plain)) {}

    void replace(size_t at, const std::string &bytes) {
        plain.replace(at, bytes.size(), bytes);
        lower.replace(at, bytes.size(), folded(bytes));
    }

    std::string plain;
    std::string lower;
};

// The matches a context over [start, end) of the content must report, derived
// from the documented rules: forwards each next match is the first one that
// starts at or after M + advance; backwards the last one that ends at or
// before the byte at M - advance (so starts at or before M - advance - m + 1).
std::vector<int64_t> expected_matches(const Model &model, const std::string &pattern, int64_t start, int64_t end,
                                      int64_t advance, bool fold, bool reverse) {
    const std::string_view hay = std::string_view(fold ? model.lower : model.plain).substr(0, static_cast<size_t>(end));
    const std::string needle = fold ? folded(pattern) : pattern;
    const auto m = static_cast<int64_t>(needle.size());
    std::vector<int64_t> offsets;
    if (!reverse) {
        for (int64_t from = start; from <= end;) {
            const size_t p = hay.find(needle, static_cast<size_t>(from));
            if (p == std::string_view::npos) break;
            offsets.push_back(static_cast<int64_t>(p));
            from = static_cast<int64_t>(p) + advance;
        }
    } else {
        for (int64_t last_start = end - m; last_start >= start;) {
            const size_t p = hay.rfind(needle, static_cast<size_t>(last_start));
            if (p == std::string_view::npos || static_cast<int64_t>(p) < start) break;
            offsets.push_back(static_cast<int64_t>(p));
            last_start = static_cast<int64_t>(p) - advance - m + 1;
        }
    }
    return offsets;
}

// Runs one context over [start, start + length) through its whole sequence,
// checks the no-match state after the 0, and checks that the next call
// starts over.
void check_sequence(skarn_session_struct *session, const Model &model, const std::string &pattern, int64_t start,
                    int64_t length, int64_t advance, bool fold, bool reverse) {
    SCOPED_TRACE("pattern length " + std::to_string(pattern.size()) + ", range [" + std::to_string(start) + ", +" +
                 std::to_string(length) + "), advance " + std::to_string(advance) + (fold ? ", folded" : "") +
                 (reverse ? ", backwards" : ", forwards"));
    const std::vector<int64_t> expected =
        expected_matches(model, pattern, start, start + length, advance, fold, reverse);
    skarn_search_context_struct *context = make_context(session, pattern, start, length, fold, reverse);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(collect(context, advance, expected.size() + 2), expected);
    EXPECT_EQ(skarn_search_context_get_match_offset(context), start + length);
    if (expected.empty()) {
        EXPECT_EQ(skarn_search_next_match(context, advance), 0);
    } else {
        EXPECT_EQ(skarn_search_next_match(context, advance), 1);
        EXPECT_EQ(skarn_search_context_get_match_offset(context), expected.front());
    }
    skarn_search_destroy_context(context);
}

// ---------------------------------------------------------------------------
// Creation

TEST(SearchCreate, RecordsTheRangeAndStartsWithoutAMatch) {
    TempDir dir;
    Session session = open_session(dir, "0123456789abcdef");
    ASSERT_NE(session, nullptr);
    skarn_search_context_struct *context = make_context(session.get(), "cd", 3, 10, false, true);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(skarn_search_context_get_pattern_length(context), 2);
    EXPECT_EQ(skarn_search_context_get_session_offset(context), 3);
    EXPECT_EQ(skarn_search_context_get_session_length(context), 10);
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 13);
    EXPECT_EQ(skarn_search_context_is_reverse_search(context), 1);
    EXPECT_EQ(skarn_session_get_num_search_contexts(session.get()), 1);

    skarn_search_context_struct *forward = make_context(session.get(), "cd", 0, 0, false, false);
    ASSERT_NE(forward, nullptr);
    EXPECT_EQ(skarn_search_context_is_reverse_search(forward), 0);
}

TEST(SearchCreate, ZeroPatternLengthTakesACString) {
    TempDir dir;
    Session session = open_session(dir, "xxabcxx");
    skarn_search_context_struct *context = skarn_search_create_context(session.get(), "abc", 0, 0, 0, 0, 0);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(skarn_search_context_get_pattern_length(context), 3);
    EXPECT_EQ(collect(context, 1), std::vector<int64_t>{2});
}

TEST(SearchCreate, ExplicitLengthKeepsEmbeddedZeroBytes) {
    TempDir dir;
    const std::string content("a\0b a\0c a\0b", 11);
    Session session = open_session(dir, content);
    const std::string pattern("a\0b", 3);
    skarn_search_context_struct *context = make_context(session.get(), pattern);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(skarn_search_context_get_pattern_length(context), 3);
    EXPECT_EQ(collect(context, 1), (std::vector<int64_t>{0, 8}));
}

TEST(SearchCreate, ZeroSessionLengthMeansToTheEnd) {
    TempDir dir;
    Session session = open_session(dir, "abcabcabc");
    skarn_search_context_struct *context = make_context(session.get(), "abc", 2);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(skarn_search_context_get_session_length(context), 7);
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 9);
    EXPECT_EQ(collect(context, 1), (std::vector<int64_t>{3, 6}));

    // Seven bytes remain after offset 2: an eight-byte pattern does not fit.
    EXPECT_EQ(make_context(session.get(), "abcabcab", 2), nullptr);
    EXPECT_EQ(skarn_session_get_num_search_contexts(session.get()), 1);
}

TEST(SearchCreate, RefusalsAddNothing) {
    TempDir dir;
    Session session = open_session(dir, std::string(16, 'a'));
    const uint8_t bytes[] = {'a', 'a'};
    EXPECT_EQ(skarn_search_create_context_bytes(nullptr, bytes, 2, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(skarn_search_create_context_bytes(session.get(), nullptr, 2, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(skarn_search_create_context(session.get(), "", 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(make_context(session.get(), std::string_view()), nullptr);
    EXPECT_EQ(make_context(session.get(), ""), nullptr);
    // The range is shorter than the pattern.
    EXPECT_EQ(make_context(session.get(), "aaa", 4, 2), nullptr);
    EXPECT_EQ(make_context(session.get(), "aaa", 15), nullptr);
    // A range end that cannot be represented.
    EXPECT_EQ(make_context(session.get(), "aa", std::numeric_limits<int64_t>::max() - 1, 10), nullptr);
    EXPECT_EQ(make_context(session.get(), "aa", std::numeric_limits<int64_t>::min()), nullptr);
    EXPECT_EQ(skarn_session_get_num_search_contexts(session.get()), 0);
    // The pattern length is only checked against the range, not the content.
    EXPECT_NE(make_context(session.get(), "aaa", 100, 5), nullptr);
    EXPECT_EQ(skarn_session_get_num_search_contexts(session.get()), 1);
}

TEST(SearchCreate, PatternLengthLimit) {
    TempDir dir;
    const int64_t limit = 524288;
    const std::string content(static_cast<size_t>(limit) + 100, 'z');
    Session session = open_session(dir, content);
    ASSERT_NE(session, nullptr);
    const std::string longest(static_cast<size_t>(limit) - 1, 'z');
    EXPECT_EQ(make_context(session.get(), content.substr(0, static_cast<size_t>(limit))), nullptr);
    skarn_search_context_struct *forward = make_context(session.get(), longest);
    ASSERT_NE(forward, nullptr);
    EXPECT_EQ(skarn_search_next_match(forward, 1), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(forward), 0);
    skarn_search_context_struct *backward = make_context(session.get(), longest, 0, 0, false, true);
    ASSERT_NE(backward, nullptr);
    EXPECT_EQ(skarn_search_next_match(backward, 1), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(backward), 101);
}

TEST(SearchCreate, CaseInsensitivePatternIsStoredFoldedAndTerminated) {
    TempDir dir;
    Session session = open_session(dir, std::string(32, '.'));
    for (const std::string pattern : {"AbC", "MiXeD-CaSe_0123XYZ"}) {
        skarn_search_context_struct *context = make_context(session.get(), pattern, 0, 0, true);
        ASSERT_NE(context, nullptr);
        const auto *stored = reinterpret_cast<const char *>(context->pattern_bytes());
        EXPECT_EQ(std::string(stored, pattern.size()), folded(pattern));
        EXPECT_EQ(stored[pattern.size()], '\0');
        EXPECT_NE(context->byte_transform, nullptr);

        skarn_search_context_struct *exact = make_context(session.get(), pattern);
        ASSERT_NE(exact, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(exact->pattern_bytes()), pattern.size()), pattern);
        EXPECT_EQ(exact->byte_transform, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Match sequences

TEST(SearchSequence, ForwardOverlappingMatchesThenNoneThenStartOver) {
    TempDir dir;
    Session session = open_session(dir, "aaaa");
    skarn_search_context_struct *context = make_context(session.get(), "aa");
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(collect(context, 1), (std::vector<int64_t>{0, 1, 2}));
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 4);
    EXPECT_EQ(skarn_search_next_match(context, 1), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 0);
}

TEST(SearchSequence, BackwardSkipsMatchesOverlappingTheCurrentOne) {
    TempDir dir;
    Session session = open_session(dir, "aaaa");
    skarn_search_context_struct *context = make_context(session.get(), "aa", 0, 0, false, true);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(collect(context, 1), (std::vector<int64_t>{2, 0}));
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 4);
    EXPECT_EQ(skarn_search_next_match(context, 1), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 2);
}

TEST(SearchSequence, AdvanceOfPatternLengthFindsOnlyDisjointMatches) {
    TempDir dir;
    Session session = open_session(dir, "aaaaaaa");
    skarn_search_context_struct *context = make_context(session.get(), "aa");
    EXPECT_EQ(collect(context, 2), (std::vector<int64_t>{0, 2, 4}));
    skarn_search_context_struct *backward = make_context(session.get(), "aa", 0, 0, false, true);
    EXPECT_EQ(collect(backward, 2), (std::vector<int64_t>{5, 2}));
}

TEST(SearchSequence, AdvanceIsIgnoredWithoutACurrentMatch) {
    TempDir dir;
    Session session = open_session(dir, "ab..ab..ab");
    skarn_search_context_struct *forward = make_context(session.get(), "ab");
    EXPECT_EQ(skarn_search_next_match(forward, 5), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(forward), 0);
    EXPECT_EQ(skarn_search_next_match(forward, 5), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(forward), 8);
    skarn_search_context_struct *backward = make_context(session.get(), "ab", 0, 0, false, true);
    EXPECT_EQ(skarn_search_next_match(backward, 7), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(backward), 8);
}

TEST(SearchSequence, AdvanceZeroRepeatsTheMatch) {
    TempDir dir;
    Session session = open_session(dir, "xxabxxab");
    skarn_search_context_struct *forward = make_context(session.get(), "ab");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(skarn_search_next_match(forward, 0), 1);
        EXPECT_EQ(skarn_search_context_get_match_offset(forward), 2);
    }
    // Backwards, advance 0 keeps only matches that end by the byte after M.
    skarn_search_context_struct *single = make_context(session.get(), "b", 0, 0, false, true);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(skarn_search_next_match(single, 0), 1);
        EXPECT_EQ(skarn_search_context_get_match_offset(single), 7);
    }
}

TEST(SearchSequence, ExtremeAdvancesStayInsideTheRange) {
    TempDir dir;
    Session session = open_session(dir, "ab_ab_ab_ab");
    const int64_t huge = std::numeric_limits<int64_t>::max();
    const int64_t tiny = std::numeric_limits<int64_t>::min();

    skarn_search_context_struct *forward = make_context(session.get(), "ab", 3, 6);
    EXPECT_EQ(skarn_search_next_match(forward, 1), 1);
    EXPECT_EQ(skarn_search_next_match(forward, huge), 0);
    EXPECT_EQ(skarn_search_context_get_match_offset(forward), 9);
    EXPECT_EQ(skarn_search_next_match(forward, 1), 1);
    // Going back past the range start lands on the range start, never before it.
    EXPECT_EQ(skarn_search_next_match(forward, tiny), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(forward), 3);
    EXPECT_EQ(skarn_search_next_match(forward, 3), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(forward), 6);
    EXPECT_EQ(skarn_search_next_match(forward, -2), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(forward), 6);

    skarn_search_context_struct *backward = make_context(session.get(), "ab", 3, 6, false, true);
    EXPECT_EQ(skarn_search_next_match(backward, 1), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(backward), 6);
    EXPECT_EQ(skarn_search_next_match(backward, huge), 0);
    EXPECT_EQ(skarn_search_next_match(backward, 1), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(backward), 6);
    // Going forward past the range end is cut at the range end: the match at 9 is outside.
    EXPECT_EQ(skarn_search_next_match(backward, tiny), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(backward), 6);
}

TEST(SearchSequence, RangeLimitsTheMatches) {
    TempDir dir;
    Session session = open_session(dir, "aaaaaa");
    skarn_search_context_struct *context = make_context(session.get(), "a", 0, 4);
    EXPECT_EQ(collect(context, 1), (std::vector<int64_t>{0, 1, 2, 3}));
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 4);

    // Matches that straddle either edge of the range are not reported.
    Session other = open_session(dir, "abXabXab");
    skarn_search_context_struct *forward = make_context(other.get(), "ab", 1, 5);
    EXPECT_EQ(collect(forward, 1), std::vector<int64_t>{3});
    skarn_search_context_struct *backward = make_context(other.get(), "ab", 1, 5, false, true);
    EXPECT_EQ(collect(backward, 1), std::vector<int64_t>{3});
}

TEST(SearchSequence, NoMatchLeavesTheMatchOffsetAtTheRangeEnd) {
    TempDir dir;
    Session session = open_session(dir, "hello, world");
    for (const bool reverse : {false, true}) {
        skarn_search_context_struct *context = make_context(session.get(), "xyz", 2, 8, false, reverse);
        ASSERT_NE(context, nullptr);
        EXPECT_EQ(skarn_search_next_match(context, 1), 0);
        EXPECT_EQ(skarn_search_context_get_match_offset(context), 10);
    }
}

TEST(SearchSequence, CaseFolding) {
    TempDir dir;
    const std::string content = "ab aB Ab AB";
    Session session = open_session(dir, content);
    EXPECT_EQ(collect(make_context(session.get(), "AB", 0, 0, true), 1), (std::vector<int64_t>{0, 3, 6, 9}));
    EXPECT_EQ(collect(make_context(session.get(), "AB", 0, 0, true, true), 1), (std::vector<int64_t>{9, 6, 3, 0}));
    EXPECT_EQ(collect(make_context(session.get(), "AB"), 1), std::vector<int64_t>{9});
    EXPECT_EQ(collect(make_context(session.get(), "aB"), 1), std::vector<int64_t>{3});
    // Only A to Z fold: bytes above 127 and punctuation match exactly.
    Session binary = open_session(dir, "\xC4[\xE4{");
    EXPECT_EQ(collect(make_context(binary.get(), "\xC4[", 0, 0, true), 1), std::vector<int64_t>{0});
    EXPECT_EQ(collect(make_context(binary.get(), "\xE4{", 0, 0, true), 1), std::vector<int64_t>{2});
    // The session's content is not folded by searching it.
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 0, 100), content);
}

TEST(SearchSequence, EmptyContentAndContentShorterThanTheRange) {
    TempDir dir;
    Session empty = open_session(dir, "");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(make_context(empty.get(), "a"), nullptr);
    for (const bool reverse : {false, true}) {
        skarn_search_context_struct *context = make_context(empty.get(), "a", 0, 10, false, reverse);
        ASSERT_NE(context, nullptr);
        EXPECT_EQ(skarn_search_next_match(context, 1), 0);
        EXPECT_EQ(skarn_search_context_get_match_offset(context), 10);
    }

    // A range beyond the content's end finds what the content holds: a
    // backward window starting after the end reads nothing.
    Session session = open_session(dir, "ab-ab");
    EXPECT_EQ(collect(make_context(session.get(), "ab", 0, 10), 1), (std::vector<int64_t>{0, 3}));
    EXPECT_EQ(collect(make_context(session.get(), "ab", 0, 10, false, true), 1), (std::vector<int64_t>{3, 0}));
    EXPECT_EQ(collect(make_context(session.get(), "ab", 2, 30, false, true), 1), std::vector<int64_t>{3});
    EXPECT_EQ(collect(make_context(session.get(), "ab", 20, 10, false, false), 1), std::vector<int64_t>{});
    // Over a range of several windows a backward search starts at the end
    // of the content, not at the end of the range.
    EXPECT_EQ(collect(make_context(session.get(), "ab", 0, 3 * window_size, false, true), 1),
              (std::vector<int64_t>{3, 0}));
}

TEST(SearchSequence, EditsNeitherMoveNorResetTheCurrentMatch) {
    TempDir dir;
    Session session = open_session(dir, "ab ab ab");
    skarn_search_context_struct *context = make_context(session.get(), "ab", 0, 20);
    EXPECT_EQ(skarn_search_next_match(context, 2), 1);
    EXPECT_EQ(skarn_search_next_match(context, 2), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 3);
    // "ab ab ab" becomes "abab ab ab": the next search starts at 3 + 2.
    ASSERT_GT(skarn_edit_insert_string(session.get(), 0, "ab"), 0);
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 3);
    EXPECT_EQ(collect(context, 2), (std::vector<int64_t>{5, 8}));
    // Deleting the bytes under the current match: the search goes on from the old offset.
    EXPECT_EQ(skarn_search_next_match(context, 2), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 0);
    ASSERT_GT(skarn_edit_delete(session.get(), 0, 5), 0);  // "ab ab"
    EXPECT_EQ(skarn_search_context_get_match_offset(context), 0);
    EXPECT_EQ(collect(context, 1), std::vector<int64_t>{3});
}

TEST(SearchSequence, ContextsOfOneSessionAreIndependent) {
    TempDir dir;
    Session session = open_session(dir, "xyxyxy");
    skarn_search_context_struct *first = make_context(session.get(), "xy");
    skarn_search_context_struct *second = make_context(session.get(), "xy");
    EXPECT_EQ(skarn_search_next_match(first, 2), 1);
    EXPECT_EQ(skarn_search_next_match(first, 2), 1);
    EXPECT_EQ(skarn_search_next_match(second, 2), 1);
    EXPECT_EQ(skarn_search_context_get_match_offset(first), 2);
    EXPECT_EQ(skarn_search_context_get_match_offset(second), 0);
}

// ---------------------------------------------------------------------------
// Life in the session

TEST(SearchLifecycle, DestroyRemovesOnlyThatContextAndKeepsTheOrder) {
    TempDir dir;
    Session session = open_session(dir, "abcdefgh");
    std::vector<skarn_search_context_struct *> contexts;
    for (const char *pattern : {"ab", "bcdefgh", "cdefgh", "abcdefgh"}) {
        contexts.push_back(make_context(session.get(), pattern));
        ASSERT_NE(contexts.back(), nullptr);
    }
    EXPECT_EQ(skarn_session_get_num_search_contexts(session.get()), 4);
    skarn_search_destroy_context(contexts[1]);
    skarn_search_destroy_context(contexts[3]);
    skarn_search_destroy_context(nullptr);
    EXPECT_EQ(skarn_session_get_num_search_contexts(session.get()), 2);
    const auto &list = session->search_contexts;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].get(), contexts[0]);
    EXPECT_EQ(list[1].get(), contexts[2]);
    // The survivors still search.
    EXPECT_EQ(collect(contexts[2], 1), std::vector<int64_t>{2});
}

TEST(SearchLifecycle, ContextMissingFromItsSessionIsLeftAlone) {
    TempDir dir;
    Session session = open_session(dir, "abab");
    skarn_search_context_struct *context = make_context(session.get(), "abab");
    ASSERT_NE(context, nullptr);
    const auto held = session->search_contexts.back();
    session->search_contexts.clear();
    skarn_search_destroy_context(context);
    // Nothing was released: the context still searches once it is back.
    session->search_contexts.push_back(held);
    ASSERT_NE(context->skip_table, nullptr);
    EXPECT_EQ(collect(context, 1), std::vector<int64_t>{0});
}

TEST(SearchLifecycle, SessionDestructionDestroysEveryContext) {
    TempDir dir;
    Session session = open_session(dir, std::string(64, 'q'));
    for (int i = 0; i < 5; ++i) {
        // Short and long patterns: the long ones own a separate block.
        ASSERT_NE(make_context(session.get(), std::string(static_cast<size_t>(3 + 10 * i), 'q'), 0, 0, i % 2 == 0),
                  nullptr);
    }
    EXPECT_EQ(skarn_session_get_num_search_contexts(session.get()), 5);
    session.reset();  // leaks would show under the sanitizers
}

// ---------------------------------------------------------------------------
// Differential checks against std::string

// Applies one random insert, delete or overwrite to the session and to the model.
void random_edit(std::mt19937_64 &rng, skarn_session_struct *session, std::string &model, std::string_view alphabet) {
    const auto size = static_cast<int64_t>(model.size());
    const int64_t offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size + 1));
    std::string bytes(1 + rng() % 12, ' ');
    for (char &c : bytes) c = alphabet[rng() % alphabet.size()];
    switch (rng() % 3) {
        case 0:
            ASSERT_GT(skarn_edit_insert_string(session, offset, bytes), 0);
            model.insert(static_cast<size_t>(offset), bytes);
            break;
        case 1:
            if (offset == size) return;
            ASSERT_GT(skarn_edit_delete(session, offset, static_cast<int64_t>(bytes.size())), 0);
            model.erase(static_cast<size_t>(offset), bytes.size());
            break;
        default:
            ASSERT_GT(skarn_edit_overwrite_string(session, offset, bytes), 0);
            model.replace(static_cast<size_t>(offset), std::min(bytes.size(), model.size() - offset), bytes);
            break;
    }
}

TEST(SearchDifferential, EditedSessionsAgreeWithFindAndRfind) {
    TempDir dir;
    std::mt19937_64 rng(20240611);
    const std::string_view alphabet = "abAB";
    for (int round = 0; round < 12; ++round) {
        std::string content(200 + rng() % 300, ' ');
        for (char &c : content) c = alphabet[rng() % alphabet.size()];
        Session session = open_session(dir, content);
        ASSERT_NE(session, nullptr);
        for (int edit = 0; edit < 40; ++edit) random_edit(rng, session.get(), content, alphabet);
        ASSERT_EQ(skarn_session_get_segment_string(session.get(), 0, static_cast<int64_t>(content.size())), content);
        ASSERT_GT(session->current().pieces.size(), 10u);
        const Model model(content);

        const auto size = static_cast<int64_t>(content.size());
        for (int trial = 0; trial < 8; ++trial) {
            const size_t m = 1 + rng() % 6;
            std::string pattern = content.substr(rng() % (content.size() - m), m);
            if (rng() % 2 == 0) {
                for (char &c : pattern) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            }
            int64_t start = 0;
            int64_t length = size;
            if (trial % 2 == 1) {
                start = static_cast<int64_t>(rng() % static_cast<uint64_t>(size - static_cast<int64_t>(m)));
                length = static_cast<int64_t>(m + rng() % static_cast<uint64_t>(size - start - m + 1));
            }
            for (const bool fold : {false, true}) {
                check_sequence(session.get(), model, pattern, start, length, 1, fold, false);
                check_sequence(session.get(), model, pattern, start, length, static_cast<int64_t>(m), fold, false);
                check_sequence(session.get(), model, pattern, start, length, 1, fold, true);
            }
        }
    }
}

// Content of several windows: random bytes that never contain 'q' or 'Q', so
// that every match of a pattern holding a 'q' is one planted by the test.
class SearchLargeRange : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::mt19937_64 rng(7);
        const size_t size = 3 * window_size + 54321;
        content_ = new std::string(size, ' ');
        for (char &c : *content_) {
            do {
                c = static_cast<char>(rng() & 0xff);
            } while (c == 'q' || c == 'Q');
        }
    }
    static void TearDownTestSuite() {
        delete content_;
        content_ = nullptr;
    }

    // A session whose content is the file's first part followed by two large inserts.
    Session build_session(const std::string &content) {
        const size_t third = content.size() / 3;
        Session session = open_session(dir_, content.substr(0, third));
        EXPECT_GT(skarn_edit_insert_string(session.get(), static_cast<int64_t>(third), content.substr(2 * third)), 0);
        EXPECT_GT(skarn_edit_insert_string(session.get(), static_cast<int64_t>(third), content.substr(third, third)),
                  0);
        EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), static_cast<int64_t>(content.size()));
        return session;
    }

    // A pattern of m bytes with a 'q' at both ends, and copies of it with
    // random letter case.
    static std::string make_pattern(std::mt19937_64 &rng, size_t m) {
        std::string pattern(m, 'q');
        for (size_t i = 1; i + 1 < m; ++i) pattern[i] = static_cast<char>("xyzXYZ-7"[rng() % 8]);
        return pattern;
    }
    static std::string random_case(std::mt19937_64 &rng, std::string s) {
        for (char &c : s) {
            if (rng() % 2 == 0) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        }
        return s;
    }

    static std::string *content_;
    TempDir dir_;
};

std::string *SearchLargeRange::content_ = nullptr;

// Where the windows of one whole-range call begin: the first holds 8 KiB
// (or twice the pattern), each next one doubles up to 1 MiB and shares m - 1
// bytes with the one before it; none crosses the range's edge.
std::vector<int64_t> window_starts(int64_t low, int64_t high, int64_t m, bool reverse) {
    const int64_t w = std::min(high - low, window_size);
    int64_t size = std::min(w, std::max<int64_t>(8192, 2 * m));
    int64_t begin = reverse ? high - size : low;
    std::vector<int64_t> starts{begin};
    while (reverse ? begin > low : begin + size < high) {
        const int64_t next = std::min(2 * size, w);
        begin = reverse ? std::max(begin + m - 1 - next, low) : std::min(begin + size - m + 1, high - next);
        size = next;
        starts.push_back(begin);
    }
    return starts;
}

// One match planted on each side of every window boundary that the first
// call of a whole-range search meets: each one must be found and the
// sequence must end right after it.
TEST_F(SearchLargeRange, SingleMatchAroundEveryWindowBoundary) {
    std::mt19937_64 rng(11);
    const std::string &base = *content_;
    const int64_t start = 1000;
    const int64_t end = static_cast<int64_t>(base.size()) - 777;
    Session session = build_session(base);
    const Model base_model(base);
    for (const size_t m : {size_t{1}, size_t{7}, size_t{64}}) {
        const std::string pattern = make_pattern(rng, m);
        for (const bool reverse : {false, true}) {
            std::set<int64_t> offsets;
            const std::vector<int64_t> starts = window_starts(start, end, static_cast<int64_t>(m), reverse);
            for (size_t k = 1; k < starts.size(); ++k) {
                // Forwards window k begins m - 1 bytes before window k - 1
                // ends; backwards window k - 1 begins m - 1 bytes before
                // window k ends.
                const int64_t pivot = reverse ? starts[k - 1] - 1 : starts[k];
                const int64_t m1 = static_cast<int64_t>(m) - 1;
                for (const int64_t d :
                     reverse ? std::vector<int64_t>{1, 0, 1 - m1, -m1} : std::vector<int64_t>{-1, 0, m1 - 1, m1}) {
                    offsets.insert(pivot + d);
                }
            }
            for (const int64_t at : offsets) {
                if (at < start || at + static_cast<int64_t>(m) > end) continue;
                const std::string planted = random_case(rng, pattern);
                Model model = base_model;
                model.replace(static_cast<size_t>(at), planted);
                ASSERT_GT(skarn_edit_overwrite_string(session.get(), at, planted), 0);
                SCOPED_TRACE("planted at " + std::to_string(at));
                ASSERT_EQ(expected_matches(model, planted, start, end, 1, false, reverse), std::vector<int64_t>{at});
                check_sequence(session.get(), model, planted, start, end - start, 1, false, reverse);
                check_sequence(session.get(), model, pattern, start, end - start, 1, true, reverse);
                if (!reverse) {
                    check_sequence(session.get(), model, planted, start, end - start, static_cast<int64_t>(m), false,
                                   false);
                }
                ASSERT_LT(skarn_edit_undo_last_change(session.get()), 0);
            }
        }
    }
}

// Many planted matches (around the window boundaries, at and across both
// edges of the ranges, and at random places) checked in every mode over the
// whole content and over sub-ranges larger than one window.
TEST_F(SearchLargeRange, ManyMatchesAgreeWithFindAndRfind) {
    std::mt19937_64 rng(12);
    for (const size_t m : {size_t{1}, size_t{5}, size_t{40}}) {
        std::string content = *content_;
        const auto size = static_cast<int64_t>(content.size());
        const auto sm = static_cast<int64_t>(m);
        const std::string pattern = make_pattern(rng, m);
        struct Range {
            int64_t start, length;
        };
        const std::vector<Range> ranges = {{0, size},
                                           {12345, size - 12345 - 999},
                                           {4099, window_size + 10},
                                           {size - 2 * window_size - 5077, 2 * window_size + 5000}};
        // Planted in this order of priority, each only where it overlaps no
        // earlier one: matches straddling a window boundary first, then those
        // at and across the range edges, then the last ones wholly inside a
        // window, then a few random ones.
        std::vector<int64_t> offsets;
        for (const Range &r : ranges) {
            const auto forward = window_starts(r.start, r.start + r.length, sm, false);
            const auto backward = window_starts(r.start, r.start + r.length, sm, true);
            for (size_t k = 1; k < forward.size(); ++k) offsets.push_back(forward[k] + sm / 2);
            for (size_t k = 1; k < backward.size(); ++k) offsets.push_back(backward[k - 1] - sm / 2);
        }
        const size_t straddling = offsets.size();
        for (const Range &r : ranges) {
            for (const int64_t d : {0, -1, 1}) {
                offsets.push_back(r.start + d);
                offsets.push_back(r.start + r.length - sm + d);
            }
        }
        for (const Range &r : ranges) {
            const auto forward = window_starts(r.start, r.start + r.length, sm, false);
            const auto backward = window_starts(r.start, r.start + r.length, sm, true);
            for (size_t k = 1; k < forward.size(); ++k) offsets.push_back(forward[k] - 1);
            for (size_t k = 1; k < backward.size(); ++k) offsets.push_back(backward[k - 1]);
        }
        for (int i = 0; i < 20; ++i) offsets.push_back(static_cast<int64_t>(rng() % static_cast<uint64_t>(size - sm)));
        std::vector<int64_t> planted;
        size_t straddling_planted = 0;
        for (size_t i = 0; i < offsets.size(); ++i) {
            const int64_t at = offsets[i];
            const bool overlaps = std::any_of(planted.begin(), planted.end(),
                                              [&](int64_t other) { return at < other + sm && other < at + sm; });
            if (at < 0 || at + sm > size || overlaps) continue;
            planted.push_back(at);
            content.replace(static_cast<size_t>(at), m, random_case(rng, pattern));
            if (i < straddling) ++straddling_planted;
        }
        EXPECT_EQ(straddling_planted, straddling);
        ASSERT_GT(planted.size(), 40u);
        Session session = build_session(content);
        const Model model(content);
        for (const Range &r : ranges) {
            for (const bool fold : {false, true}) {
                check_sequence(session.get(), model, pattern, r.start, r.length, 1, fold, false);
                check_sequence(session.get(), model, pattern, r.start, r.length, sm, fold, false);
                check_sequence(session.get(), model, pattern, r.start, r.length, 1, fold, true);
            }
        }
    }
}

// Matches that straddle or touch either edge of a range of several windows
// lie outside it: after the one match inside, a long scan must end with 0.
TEST_F(SearchLargeRange, MatchesAcrossTheEdgesOfALargeRangeAreNotReported) {
    const int64_t start = 5000;
    const int64_t end = 3 * window_size - 3000;
    for (const int64_t m : {1, 2, 9}) {
        SCOPED_TRACE("pattern length " + std::to_string(m));
        const std::string pattern(static_cast<size_t>(m), 'q');
        std::string content = *content_;
        // Runs of 'q' across both edges, with m - 1 of them inside the range.
        content.replace(static_cast<size_t>(start - m - 2), static_cast<size_t>(2 * m + 1),
                        std::string(2 * m + 1, 'q'));
        content.replace(static_cast<size_t>(end - m + 1), static_cast<size_t>(2 * m + 1), std::string(2 * m + 1, 'q'));
        Session session = build_session(content);
        const Model model(content);
        ASSERT_EQ(expected_matches(model, pattern, start, end, 1, false, false), std::vector<int64_t>{});
        check_sequence(session.get(), model, pattern, start, end - start, 1, false, false);
        check_sequence(session.get(), model, pattern, start, end - start, 1, false, true);

        // With one match inside, at the start (forwards) or the end
        // (backwards), the scan for the next one crosses every window.
        for (const bool reverse : {false, true}) {
            const int64_t inside = reverse ? end - m : start;
            std::string with_inside = content;
            with_inside.replace(static_cast<size_t>(inside), static_cast<size_t>(m), pattern);
            ASSERT_GT(skarn_edit_overwrite_string(session.get(), inside, pattern), 0);
            const Model inside_model(with_inside);
            ASSERT_EQ(expected_matches(inside_model, pattern, start, end, 1, false, reverse),
                      std::vector<int64_t>{inside});
            check_sequence(session.get(), inside_model, pattern, start, end - start, 1, false, reverse);
            ASSERT_LT(skarn_edit_undo_last_change(session.get()), 0);
        }
    }
}

TEST_F(SearchLargeRange, BackwardSearchFromTheTopReachesTheFirstBytes) {
    std::string model = content_->substr(0, 2 * window_size + 100);
    model.replace(0, 3, "qQq");
    Session session = build_session(model);
    skarn_search_context_struct *context = make_context(session.get(), "qqq", 0, 0, true, true);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(collect(context, 1), std::vector<int64_t>{0});
    skarn_search_context_struct *exact = make_context(session.get(), "qQq", 0, 0, false, true);
    EXPECT_EQ(collect(exact, 1), std::vector<int64_t>{0});
}

}  // namespace
