// Content analysis over sessions: byte-order marks at any offset of the edited
// content, character counts of ranges as one run of bytes, and byte
// frequency profiles with their CR LF count, checked against a model of the
// edited content kept as a std::string.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "analysis/character_counter.hpp"
#include "analysis/character_counts_def.hpp"
#include "analysis/content_windows.hpp"
#include "engine/session.hpp"
#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace {

using skarn_test::append_utf8;
using skarn_test::content_of;
using skarn_test::Counts;
using skarn_test::open_file_session;
using skarn_test::open_session;
using skarn_test::read_counts;
using skarn_test::Session;
using skarn_test::TempDir;

constexpr size_t piece = 512;

struct CountsDeleter {
    void operator()(skarn_character_counts_struct *counts) const { skarn_character_counts_destroy(counts); }
};
using CountsRecord = std::unique_ptr<skarn_character_counts_struct, CountsDeleter>;

// A session whose content is `text`, made of a file holding some stretches of
// it and inserts that put the others back, so that the content is spread over
// read and insert segments.
void make_edited_session(const TempDir &dir, const std::string &text, std::mt19937_64 &rng, Session &out) {
    std::vector<size_t> cuts{0, text.size()};
    for (int i = 0; i < 9; ++i) cuts.push_back(static_cast<size_t>(rng() % (text.size() + 1)));
    std::sort(cuts.begin(), cuts.end());
    std::string file;
    std::vector<std::pair<size_t, std::string>> inserts;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        const std::string stretch = text.substr(cuts[i], cuts[i + 1] - cuts[i]);
        if (i % 2 == 0) {
            file += stretch;
        } else if (!stretch.empty()) {
            inserts.emplace_back(cuts[i], stretch);
        }
    }
    out = open_file_session(dir, file);
    ASSERT_NE(out, nullptr);
    for (const auto &[at, stretch] : inserts) {
        ASSERT_GT(skarn_edit_insert_string(out.get(), static_cast<int64_t>(at), stretch), 0);
    }
    ASSERT_EQ(content_of(out.get()), text);
}

// ---------------------------------------------------------------------------
// Character counts as plain values

// A record holding nonzero counts and a kind other than `bom`, to show that
// the session function resets it.
CountsRecord dirty_record(skarn_bom_t bom) {
    CountsRecord record(skarn_character_counts_create());
    if (!record) return record;
    skarn_character_counts_set_BOM(record.get(), bom == BOM_UTF8 ? BOM_UTF16LE : BOM_UTF8);
    const std::string bytes =
        "\xEF\xBB\xBF"
        "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x80";
    skarn_util_count_characters(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), record.get());
    return record;
}

struct SessionCount {
    int rc;
    Counts counts;
    skarn_bom_t kind;
};

SessionCount count_session(const skarn_session_struct *session, int64_t offset, int64_t length, skarn_bom_t bom) {
    CountsRecord record = dirty_record(bom);
    if (!record) return {-100, {}, BOM_UNKNOWN};
    const int rc = skarn_session_character_counts(session, record.get(), offset, length, bom);
    return {rc, read_counts(record.get()), skarn_character_counts_get_BOM(record.get())};
}

// The counts of [offset, offset + length) of `text` counted the way the
// session function must count them: the whole range in one pass of the
// byte-at-a-time counter.
Counts counts_of_range(const std::string &text, size_t offset, size_t length, skarn_bom_t bom) {
    skarn_character_counts_struct record{};
    record.bom = bom;
    const size_t end = std::min(text.size(), offset + length);
    skarn::count_characters(reinterpret_cast<const uint8_t *>(text.data() + offset), end - offset, record,
                            skarn::count_path::bytes);
    return read_counts(&record);
}

// ---------------------------------------------------------------------------
// UTF-8 text from random code points

size_t utf8_width(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

// A code point of a width chosen evenly from one to four bytes. Surrogates
// are not characters, and U+FEFF is left out because its encoding is the
// UTF-8 byte-order mark.
char32_t random_code_point(std::mt19937_64 &rng) {
    for (;;) {
        char32_t cp = 0;
        switch (rng() % 4) {
            case 0: cp = static_cast<char32_t>(rng() % 0x80); break;
            case 1: cp = static_cast<char32_t>(0x80 + rng() % (0x800 - 0x80)); break;
            case 2: cp = static_cast<char32_t>(0x800 + rng() % (0x10000 - 0x800)); break;
            default: cp = static_cast<char32_t>(0x10000 + rng() % (0x110000 - 0x10000)); break;
        }
        if ((cp < 0xD800 || cp > 0xDFFF) && cp != 0xFEFF) return cp;
    }
}

void add_width(Counts &counts, size_t width) {
    switch (width) {
        case 1: ++counts.single; break;
        case 2: ++counts.dbl; break;
        case 3: ++counts.triple; break;
        default: ++counts.quad; break;
    }
}

// ---------------------------------------------------------------------------
// Byte profiles as vectors

using Profile = std::vector<int64_t>;

Profile direct_profile(const std::string &content, size_t offset, size_t length) {
    Profile profile(static_cast<size_t>(skarn_session_byte_frequency_profile_size()), 0);
    const size_t end = std::min(content.size(), offset + length);
    uint8_t previous = 0;
    for (size_t i = offset; i < end; ++i) {
        const auto byte = static_cast<uint8_t>(content[i]);
        if (previous == '\r' && byte == '\n')
            ++profile[static_cast<size_t>(skarn_session_byte_frequency_profile_dos_eol_index())];
        ++profile[byte];
        previous = byte;
    }
    return profile;
}

// The session's profile; every slot starts as garbage so that a slot left
// unwritten shows.
Profile session_profile(const skarn_session_struct *session, int64_t offset, int64_t length, int &rc) {
    skarn_byte_frequency_profile_t profile;
    std::fill(std::begin(profile), std::end(profile), -7);
    rc = skarn_session_byte_frequency_profile(session, profile, offset, length);
    return Profile(std::begin(profile), std::end(profile));
}

Profile zeros() { return Profile(static_cast<size_t>(skarn_session_byte_frequency_profile_size()), 0); }

int64_t dos_eols(const Profile &profile) {
    return profile[static_cast<size_t>(skarn_session_byte_frequency_profile_dos_eol_index())];
}

// Random bytes of which about half are CR or LF, so that pairs are frequent.
std::string line_end_heavy_bytes(std::mt19937_64 &rng, size_t n) {
    std::string s = skarn_test::random_bytes(rng, n);
    for (char &c : s) {
        const auto pick = rng() % 4;
        if (pick == 0) c = '\r';
        if (pick == 1) c = '\n';
    }
    return s;
}

// Cuts the session's private copy of its file short, so that reads of the
// content past `size` fail.
void truncate_private_copy(const skarn_session_struct *session, uintmax_t size) {
    ASSERT_FALSE(session->original_checkpoint_path.empty());
    std::error_code ec;
    std::filesystem::resize_file(session->original_checkpoint_path, size, ec);
    ASSERT_FALSE(ec) << ec.message();
}

// ===========================================================================
// Byte-order marks in a session

TEST(SessionDetectBOM, MarkAtTheStartIsFoundOnlyAtItsOwnOffset) {
    TempDir dir;
    Session session = open_file_session(dir,
                                        "\xEF\xBB\xBF"
                                        "ab");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 0), BOM_UTF8);
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 1), BOM_NONE);
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 5), BOM_NONE);  // the content's size
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 6), BOM_NONE);  // past the end: the fill refuses
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), -1), BOM_NONE);
}

TEST(SessionDetectBOM, MarkIsFoundAtAnyOffsetOfTheContent) {
    TempDir dir;
    Session session = open_file_session(dir, std::string("xy\xFF\xFE\x00\x00z\x00\x00\xFE\xFF", 11));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 2), BOM_UTF32LE);
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 3), BOM_NONE);  // FE 00 00 z
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 7), BOM_UTF32BE);
}

TEST(SessionDetectBOM, ContentShorterThanFourBytesIsDetectedOnWhatRemains) {
    TempDir dir;
    // FF FE 00 at the end: only three bytes, so not UTF-32LE.
    Session tail = open_file_session(dir, std::string("ab\xFF\xFE\x00", 5));
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(skarn_session_detect_BOM(tail.get(), 2), BOM_UTF16LE);
    EXPECT_EQ(skarn_session_detect_BOM(tail.get(), 3), BOM_NONE);

    TempDir other;
    Session cut = open_file_session(other, std::string("a\x00\x00\xFE", 4));
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(skarn_session_detect_BOM(cut.get(), 1), BOM_NONE);  // 00 00 FE without its FF
}

TEST(SessionDetectBOM, MarkAssembledByEditsIsFound) {
    TempDir dir;
    Session session = open_file_session(dir,
                                        "\xBB\xBF"
                                        "A");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 0), BOM_NONE);
    ASSERT_GT(skarn_edit_insert_string(session.get(), 0, "\xEF"), 0);
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 0), BOM_UTF8);

    // FF A FE 00 00: deleting the A joins a UTF-32LE mark over three segments.
    TempDir other;
    Session joined = open_file_session(other,
                                       "\xFF"
                                       "A");
    ASSERT_NE(joined, nullptr);
    ASSERT_GT(skarn_edit_insert_string(joined.get(), 2, std::string("\xFE\x00\x00", 3)), 0);
    EXPECT_EQ(skarn_session_detect_BOM(joined.get(), 0), BOM_NONE);
    ASSERT_GT(skarn_edit_delete(joined.get(), 1, 1), 0);
    EXPECT_EQ(skarn_session_detect_BOM(joined.get(), 0), BOM_UTF32LE);
}

TEST(SessionDetectBOM, EmptySessionHasNoMark) {
    TempDir dir;
    Session session = open_session("", dir);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 0), BOM_NONE);
    EXPECT_EQ(skarn_session_detect_BOM(session.get(), 3), BOM_NONE);
}

// ===========================================================================
// Character counts of session ranges

TEST(SessionCharacterCounts, CharactersAcrossPieceBoundariesCountWhole) {
    // 1000 bytes: a euro sign (E2 82 AC) at positions 511 to 513, ASCII around it.
    const std::string content = std::string(511, 'a') + "\xE2\x82\xAC" + std::string(486, 'b');
    ASSERT_EQ(content.size(), 1000u);
    TempDir dir;
    Session session = open_file_session(dir, content);
    ASSERT_NE(session, nullptr);

    // The sign straddles the first 512 bytes of the range and counts as one character.
    const Counts whole{0, 997, 0, 1, 0, 0};
    SessionCount all = count_session(session.get(), 0, 0, BOM_NONE);
    EXPECT_EQ(all.rc, 0);
    EXPECT_EQ(all.counts, whole);
    EXPECT_EQ(all.kind, BOM_NONE);
    EXPECT_EQ(count_session(session.get(), 0, 1000, BOM_NONE).counts, whole);
    EXPECT_EQ(count_session(session.get(), 1, 0, BOM_NONE).counts, (Counts{0, 996, 0, 1, 0, 0}));
    EXPECT_EQ(count_session(session.get(), 2, 0, BOM_NONE).counts, (Counts{0, 995, 0, 1, 0, 0}));
    // A range that ends inside the sign leaves its first bytes invalid.
    EXPECT_EQ(count_session(session.get(), 500, 13, BOM_NONE).counts, (Counts{0, 11, 0, 0, 0, 2}));
}

TEST(SessionCharacterCounts, MarkOnlyAtTheStartOfTheRangeIsLeftOutOfTheCounts) {
    const std::string content = std::string(512, 'a') + "\xEF\xBB\xBF" + std::string(10, 'b') + "\xEF\xBB\xBF";
    TempDir dir;
    Session session = open_file_session(dir, content);
    ASSERT_NE(session, nullptr);

    // Kind UTF-8: marks after the range's start, on a piece boundary or not, are characters.
    EXPECT_EQ(count_session(session.get(), 0, 0, BOM_UTF8).counts, (Counts{0, 522, 0, 2, 0, 0}));
    // Kind none: both are characters.
    EXPECT_EQ(count_session(session.get(), 0, 0, BOM_NONE).counts, (Counts{0, 522, 0, 2, 0, 0}));
    // A range that starts on a mark treats it as a mark.
    EXPECT_EQ(count_session(session.get(), 512, 0, BOM_UTF8).counts, (Counts{3, 10, 0, 1, 0, 0}));
    // Half a mark is no mark: EF BB BF at 512 cut after EF BB by the range.
    EXPECT_EQ(count_session(session.get(), 512, 2, BOM_UTF8).counts, (Counts{0, 0, 0, 0, 0, 2}));
}

TEST(SessionCharacterCounts, CharactersSplitAcrossSegmentsAreCountedWhole) {
    TempDir dir;
    // E2 82 in the file, AC inserted after it; F0 9F inserted before 98 80.
    Session session = open_file_session(dir, "x\xE2\x82\x98\x80");
    ASSERT_NE(session, nullptr);
    ASSERT_GT(skarn_edit_insert_string(session.get(), 3,
                                       "\xAC"
                                       "\xF0\x9F"),
              0);
    ASSERT_EQ(content_of(session.get()), "x\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(count_session(session.get(), 0, 0, BOM_UTF8).counts, (Counts{0, 1, 0, 1, 1, 0}));
}

TEST(SessionCharacterCounts, EmptySessionCountsNothingAndStoresTheKind) {
    TempDir dir;
    Session session = open_session("", dir);
    ASSERT_NE(session, nullptr);
    SessionCount result = count_session(session.get(), 0, 0, BOM_UTF16BE);
    EXPECT_EQ(result.rc, 0);
    EXPECT_EQ(result.counts, Counts{});
    EXPECT_EQ(result.kind, BOM_UTF16BE);
}

TEST(SessionCharacterCounts, RangePastTheEndCountsTheBytesThatExist) {
    TempDir dir;
    Session session = open_file_session(dir, "abc\xE2\x82\xAC");
    ASSERT_NE(session, nullptr);
    SessionCount tail = count_session(session.get(), 3, 100, BOM_UTF8);
    EXPECT_EQ(tail.rc, 0);
    EXPECT_EQ(tail.counts, (Counts{0, 0, 0, 1, 0, 0}));
    // Longer than one piece: the second fill brings nothing and ends the count.
    SessionCount all = count_session(session.get(), 0, 5000, BOM_UTF8);
    EXPECT_EQ(all.rc, 0);
    EXPECT_EQ(all.counts, (Counts{0, 3, 0, 1, 0, 0}));
    SessionCount at_end = count_session(session.get(), 6, 10, BOM_UTF8);
    EXPECT_EQ(at_end.rc, 0);
    EXPECT_EQ(at_end.counts, Counts{});

    TempDir other;
    Session empty = open_session("", other);
    ASSERT_NE(empty, nullptr);
    SessionCount nothing = count_session(empty.get(), 0, 10, BOM_UTF8);
    EXPECT_EQ(nothing.rc, 0);
    EXPECT_EQ(nothing.counts, Counts{});
}

TEST(SessionCharacterCounts, RefusedRangesLeaveTheRecordResetWithTheKind) {
    TempDir dir;
    Session session = open_file_session(dir, "hello");
    ASSERT_NE(session, nullptr);
    TempDir other;
    Session empty = open_session("", other);
    ASSERT_NE(empty, nullptr);

    struct Case {
        const char *what;
        const skarn_session_struct *session;
        int64_t offset, length;
    };
    const Case cases[] = {
        {"offset past the end, to the end", session.get(), 6, 0},
        {"offset past the end, explicit length", session.get(), 6, 3},
        {"negative offset, to the end", session.get(), -1, 0},
        {"negative offset, explicit length", session.get(), -1, 3},
        {"negative length", session.get(), 0, -1},
        {"empty session, offset past the end, to the end", empty.get(), 1, 0},
        {"empty session, offset past the end, explicit length", empty.get(), 1, 4},
    };
    for (const Case &c : cases) {
        SessionCount result = count_session(c.session, c.offset, c.length, BOM_UTF32BE);
        EXPECT_EQ(result.rc, 1) << c.what;
        EXPECT_EQ(result.counts, Counts{}) << c.what;
        EXPECT_EQ(result.kind, BOM_UTF32BE) << c.what;
    }
}

TEST(SessionCharacterCounts, UnknownKindIsReportedOnceAndRefused) {
    TempDir dir;
    Session session = open_file_session(dir, std::string(2000, 'a'));  // four pieces
    ASSERT_NE(session, nullptr);
    const std::regex one_report("character_counts\\.cpp@[0-9]+::skarn_util_count_characters: unhandled BOM\n");
    for (const auto kind : {static_cast<skarn_bom_t>(7), static_cast<skarn_bom_t>(-1)}) {
        ::testing::internal::CaptureStderr();
        SessionCount result = count_session(session.get(), 0, 0, kind);
        const std::string report = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(result.rc, 1);
        EXPECT_EQ(result.counts, Counts{});
        EXPECT_EQ(result.kind, kind);
        EXPECT_TRUE(std::regex_match(report, one_report)) << "stderr: " << report;
    }
}

TEST(SessionCharacterCounts, ReadFailureKeepsTheCountsOfEarlierPieces) {
    TempDir dir;
    Session session = open_file_session(dir, std::string(2000, 'a'));
    ASSERT_NE(session, nullptr);
    ASSERT_NO_FATAL_FAILURE(truncate_private_copy(session.get(), 700));
    // The first piece reads; the second wants 512 bytes at 512 and finds 188.
    SessionCount result = count_session(session.get(), 0, 0, BOM_NONE);
    EXPECT_EQ(result.rc, 1);
    EXPECT_EQ(result.counts, (Counts{0, 512, 0, 0, 0, 0}));
    EXPECT_EQ(result.kind, BOM_NONE);
}

// Sets the size of the windows the analysis reads for as long as it lives.
class WindowSize {
public:
    explicit WindowSize(int64_t bytes) : saved_(skarn::analysis_window_bytes.exchange(bytes)) {}
    ~WindowSize() { skarn::analysis_window_bytes = saved_; }
    WindowSize(const WindowSize &) = delete;
    WindowSize &operator=(const WindowSize &) = delete;

private:
    int64_t saved_;
};

TEST(SessionCharacterCounts, RandomRangesCountAsOneRunForAnyWindowSize) {
    std::mt19937_64 rng(20240611);
    // Characters of every width, marks of every kind and stray bytes, with
    // a UTF-8 mark at the start.
    const std::string marks[] = {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF", std::string("\xFF\xFE\0\0", 4),
                                 std::string("\0\0\xFE\xFF", 4)};
    std::string text = marks[0];
    while (text.size() < 6000) {
        const uint64_t pick = rng() % 40;
        if (pick == 0) {
            text += marks[rng() % std::size(marks)];
        } else if (pick == 1) {
            text += static_cast<char>(0x80 + rng() % 0x80);
        } else {
            append_utf8(text, random_code_point(rng));
        }
    }
    TempDir dir;
    Session session;
    ASSERT_NO_FATAL_FAILURE(make_edited_session(dir, text, rng, session));

    const skarn_bom_t kinds[] = {BOM_NONE, BOM_UTF8, BOM_UTF16LE, BOM_UTF16BE, BOM_UTF32LE, BOM_UTF32BE};
    for (const int64_t window : {int64_t{1}, int64_t{3}, int64_t{64}, int64_t{509}, int64_t{4096}, int64_t{1} << 20}) {
        const WindowSize window_size(window);
        for (int round = 0; round < 12; ++round) {
            // From the start now and then, else anywhere (a mark there now
            // and then); to the end now and then, else up to a few windows,
            // sometimes past the end.
            size_t offset = round % 4 == 0 ? 0 : rng() % (text.size() + 1);
            if (round % 4 == 1) {
                const size_t mark = text.find(marks[rng() % std::size(marks)], offset);
                if (mark != std::string::npos) offset = mark;
            }
            const size_t reach = 3 * static_cast<size_t>(std::min<int64_t>(window, 2100)) + 8;
            const size_t length = round % 3 == 0 ? 0 : 1 + rng() % reach;
            const size_t counted = length == 0 ? text.size() - offset : length;
            for (const skarn_bom_t kind : kinds) {
                SessionCount result =
                    count_session(session.get(), static_cast<int64_t>(offset), static_cast<int64_t>(length), kind);
                EXPECT_EQ(result.rc, 0);
                EXPECT_EQ(result.counts, counts_of_range(text, offset, counted, kind))
                    << "window " << window << ", offset " << offset << ", length " << length << ", kind " << kind;
            }
        }
    }
}

TEST(SessionCharacterCounts, PiecesOfWholeCharactersCountTheCodePointWidths) {
    // Every 512-byte piece holds whole characters, topped up with ASCII.
    std::mt19937_64 rng(77);
    std::string text;
    std::vector<Counts> piece_widths;
    for (int p = 0; p < 9; ++p) {
        Counts widths;
        std::string chunk;
        for (;;) {
            const char32_t cp = random_code_point(rng);
            if (chunk.size() + utf8_width(cp) > piece) break;
            append_utf8(chunk, cp);
            add_width(widths, utf8_width(cp));
        }
        widths.single += static_cast<int64_t>(piece - chunk.size());
        chunk.resize(piece, 'z');
        text += chunk;
        piece_widths.push_back(widths);
    }
    TempDir dir;
    Session session;
    ASSERT_NO_FATAL_FAILURE(make_edited_session(dir, text, rng, session));

    // Ranges that start on a piece boundary and run to the end or over whole pieces.
    for (size_t first = 0; first < piece_widths.size(); first += 2) {
        for (size_t pieces = 1; first + pieces <= piece_widths.size(); pieces += 3) {
            Counts expected;
            for (size_t p = first; p < first + pieces; ++p) {
                expected.single += piece_widths[p].single;
                expected.dbl += piece_widths[p].dbl;
                expected.triple += piece_widths[p].triple;
                expected.quad += piece_widths[p].quad;
            }
            const bool to_end = first + pieces == piece_widths.size();
            const auto offset = static_cast<int64_t>(first * piece);
            const auto length = to_end ? int64_t{0} : static_cast<int64_t>(pieces * piece);
            for (const skarn_bom_t kind : {BOM_NONE, BOM_UTF8}) {
                SessionCount result = count_session(session.get(), offset, length, kind);
                EXPECT_EQ(result.rc, 0);
                EXPECT_EQ(result.counts, expected) << "first piece " << first << ", pieces " << pieces;
            }
        }
    }
}

TEST(SessionCharacterCounts, AsciiRangesCountOneCharacterPerByte) {
    std::mt19937_64 rng(5);
    std::string text(3000, '\0');
    for (char &c : text) c = static_cast<char>(rng() % 0x80);
    TempDir dir;
    Session session;
    ASSERT_NO_FATAL_FAILURE(make_edited_session(dir, text, rng, session));
    for (int round = 0; round < 30; ++round) {
        const size_t offset = rng() % (text.size() + 1);
        const size_t length = 1 + rng() % (text.size() - offset + 1);
        const size_t counted = std::min(length, text.size() - offset);
        SessionCount result =
            count_session(session.get(), static_cast<int64_t>(offset), static_cast<int64_t>(length), BOM_UTF8);
        EXPECT_EQ(result.rc, 0);
        EXPECT_EQ(result.counts, (Counts{0, static_cast<int64_t>(counted), 0, 0, 0, 0}))
            << "offset " << offset << ", length " << length;
    }
}

// ===========================================================================
// Byte frequency profiles of session ranges

TEST(SessionByteFrequencyProfile, CountsEveryByteAndEachCarriageReturnLineFeedPair) {
    ASSERT_EQ(skarn_session_byte_frequency_profile_size(), 257);
    ASSERT_EQ(skarn_session_byte_frequency_profile_dos_eol_index(), 256);
    TempDir dir;
    Session session = open_file_session(dir, "a\r\nb\r\n");
    ASSERT_NE(session, nullptr);
    int rc = -1;
    Profile expected = zeros();
    expected['a'] = 1;
    expected['b'] = 1;
    expected['\r'] = 2;
    expected['\n'] = 2;
    expected[256] = 2;
    EXPECT_EQ(session_profile(session.get(), 0, 0, rc), expected);
    EXPECT_EQ(rc, 0);

    TempDir other;
    Session doubled = open_file_session(other, "\r\r\n");
    ASSERT_NE(doubled, nullptr);
    EXPECT_EQ(dos_eols(session_profile(doubled.get(), 0, 0, rc)), 1);
    EXPECT_EQ(rc, 0);
}

TEST(SessionByteFrequencyProfile, PairIsCountedOnlyWhenBothBytesAreInTheRange) {
    TempDir dir;
    Session session = open_file_session(dir, "a\r\nb");
    ASSERT_NE(session, nullptr);
    int rc = -1;
    // From the line feed on: its carriage return lies before the range.
    Profile from_lf = session_profile(session.get(), 2, 0, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(from_lf, direct_profile("a\r\nb", 2, 2));
    EXPECT_EQ(dos_eols(from_lf), 0);
    EXPECT_EQ(from_lf['\n'], 1);
    // Ending on the carriage return.
    Profile to_cr = session_profile(session.get(), 0, 2, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(dos_eols(to_cr), 0);
    EXPECT_EQ(to_cr['\r'], 1);
    EXPECT_EQ(dos_eols(session_profile(session.get(), 1, 2, rc)), 1);
}

TEST(SessionByteFrequencyProfile, PairAcrossTheWindowBoundaryCountsOnce) {
    std::string content(1100, 'x');
    content[511] = '\r';
    content[512] = '\n';
    content[611] = '\r';
    content[612] = '\n';
    TempDir dir;
    Session session = open_file_session(dir, content);
    ASSERT_NE(session, nullptr);
    int rc = -1;
    // Windows at 0 and 512: the first pair straddles them.
    Profile first = session_profile(session.get(), 0, 1000, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(first, direct_profile(content, 0, 1000));
    EXPECT_EQ(dos_eols(first), 2);
    // Windows at 100 and 612: the second pair straddles them.
    Profile shifted = session_profile(session.get(), 100, 0, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(shifted, direct_profile(content, 100, content.size()));
    EXPECT_EQ(dos_eols(shifted), 2);
    // A range that ends between the bytes of the straddling pair.
    EXPECT_EQ(dos_eols(session_profile(session.get(), 0, 512, rc)), 0);
}

TEST(SessionByteFrequencyProfile, PairAcrossSegmentBoundariesCountsOnce) {
    int rc = -1;
    {
        // CR in the file, LF inserted after it.
        TempDir dir;
        Session session = open_file_session(dir, "abc\r");
        ASSERT_NE(session, nullptr);
        ASSERT_GT(skarn_edit_insert_string(session.get(), 4, "\nxyz"), 0);
        EXPECT_EQ(dos_eols(session_profile(session.get(), 0, 0, rc)), 1);
        EXPECT_EQ(rc, 0);
    }
    {
        // A lone CR inserted in front of the file's LF: three segments.
        TempDir dir;
        Session session = open_file_session(dir, "ab\ncd");
        ASSERT_NE(session, nullptr);
        ASSERT_GT(skarn_edit_insert_string(session.get(), 2, "\r"), 0);
        Profile profile = session_profile(session.get(), 0, 0, rc);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(profile, direct_profile("ab\r\ncd", 0, 6));
        EXPECT_EQ(dos_eols(profile), 1);
    }
    {
        // Deleting the byte between CR and LF joins two read segments.
        TempDir dir;
        Session session = open_file_session(dir, "a\rX\nb");
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(dos_eols(session_profile(session.get(), 0, 0, rc)), 0);
        ASSERT_GT(skarn_edit_delete(session.get(), 2, 1), 0);
        Profile profile = session_profile(session.get(), 0, 0, rc);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(profile['X'], 0);
        EXPECT_EQ(dos_eols(profile), 1);
    }
}

TEST(SessionByteFrequencyProfile, NonPositiveLengthGivesAllZeros) {
    TempDir dir;
    Session session = open_file_session(dir, "a\r\nb");
    ASSERT_NE(session, nullptr);
    int rc = -1;
    EXPECT_EQ(session_profile(session.get(), 0, -1, rc), zeros());
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(session_profile(session.get(), 2, -5, rc), zeros());
    EXPECT_EQ(rc, 0);
    // Length 0 at the end, and past it, leaves nothing to count.
    EXPECT_EQ(session_profile(session.get(), 4, 0, rc), zeros());
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(session_profile(session.get(), 9, 0, rc), zeros());
    EXPECT_EQ(rc, 0);

    TempDir other;
    Session empty = open_session("", other);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(session_profile(empty.get(), 0, 0, rc), zeros());
    EXPECT_EQ(rc, 0);
}

TEST(SessionByteFrequencyProfile, RangePastTheEndCountsTheBytesThatExist) {
    TempDir dir;
    const std::string content = std::string(600, 'q') + "\r\n";
    Session session = open_file_session(dir, content);
    ASSERT_NE(session, nullptr);
    int rc = -1;
    EXPECT_EQ(session_profile(session.get(), 599, 100, rc), direct_profile(content, 599, 3));
    EXPECT_EQ(rc, 0);
    // More than a window past the end.
    Profile all = session_profile(session.get(), 0, 5000, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(all, direct_profile(content, 0, content.size()));
    EXPECT_EQ(session_profile(session.get(), 602, 10, rc), zeros());
    EXPECT_EQ(rc, 0);

    TempDir other;
    Session empty = open_session("", other);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(session_profile(empty.get(), 0, 10, rc), zeros());
    EXPECT_EQ(rc, 0);
}

TEST(SessionByteFrequencyProfile, OffsetOutsideTheContentFails) {
    TempDir dir;
    Session session = open_file_session(dir, "a\r\nb");
    ASSERT_NE(session, nullptr);
    int rc = -1;
    EXPECT_EQ(session_profile(session.get(), -1, 0, rc), zeros());
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(session_profile(session.get(), -1, 3, rc), zeros());
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(session_profile(session.get(), 5, 3, rc), zeros());
    EXPECT_EQ(rc, 1);

    TempDir other;
    Session empty = open_session("", other);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(session_profile(empty.get(), 1, 3, rc), zeros());
    EXPECT_EQ(rc, 1);
}

TEST(SessionByteFrequencyProfile, ReadFailureKeepsEarlierWindowsButNoLineEnds) {
    std::string content;
    while (content.size() < 2000) content += "\r\n";
    TempDir dir;
    Session session = open_file_session(dir, content);
    ASSERT_NE(session, nullptr);
    ASSERT_NO_FATAL_FAILURE(truncate_private_copy(session.get(), 700));
    int rc = -1;
    Profile profile = session_profile(session.get(), 0, 0, rc);
    EXPECT_EQ(rc, 1);
    Profile expected = zeros();
    expected['\r'] = 256;
    expected['\n'] = 256;
    EXPECT_EQ(profile, expected);
}

TEST(SessionByteFrequencyProfile, RandomContentMatchesADirectCount) {
    std::mt19937_64 rng(99);
    const std::string content = line_end_heavy_bytes(rng, 5000);
    TempDir dir;
    Session session = open_file_session(dir, content);
    ASSERT_NE(session, nullptr);
    int rc = -1;
    EXPECT_EQ(session_profile(session.get(), 0, 0, rc), direct_profile(content, 0, content.size()));
    EXPECT_EQ(rc, 0);
    for (int round = 0; round < 40; ++round) {
        const size_t offset = rng() % (content.size() + 1);
        const size_t length = round % 5 == 0 ? 0 : 1 + rng() % 1600;
        const size_t counted = length == 0 ? content.size() - offset : length;
        EXPECT_EQ(session_profile(session.get(), static_cast<int64_t>(offset), static_cast<int64_t>(length), rc),
                  direct_profile(content, offset, counted))
            << "offset " << offset << ", length " << length;
        EXPECT_EQ(rc, 0);
    }
}

TEST(SessionByteFrequencyProfile, EditedSessionMatchesItsModel) {
    std::mt19937_64 rng(4242);
    std::string model = line_end_heavy_bytes(rng, 3000);
    TempDir dir;
    Session session = open_file_session(dir, model);
    ASSERT_NE(session, nullptr);
    int rc = -1;
    for (int step = 0; step < 80; ++step) {
        const size_t size = model.size();
        const size_t at = rng() % (size + 1);
        const std::string bytes = line_end_heavy_bytes(rng, 1 + rng() % 40);
        switch (rng() % 3) {
            case 0:
                ASSERT_GT(skarn_edit_insert_string(session.get(), static_cast<int64_t>(at), bytes), 0);
                model.insert(at, bytes);
                break;
            case 1:
                if (at == size) continue;
                {
                    const size_t n = std::min(size - at, 1 + static_cast<size_t>(rng() % 30));
                    ASSERT_GT(skarn_edit_delete(session.get(), static_cast<int64_t>(at), static_cast<int64_t>(n)), 0);
                    model.erase(at, n);
                }
                break;
            default:
                if (at + bytes.size() > size) continue;
                ASSERT_GT(skarn_edit_overwrite_string(session.get(), static_cast<int64_t>(at), bytes), 0);
                model.replace(at, bytes.size(), bytes);
                break;
        }
        if (step % 10 != 9) continue;
        ASSERT_EQ(content_of(session.get()), model) << "after step " << step;
        EXPECT_EQ(session_profile(session.get(), 0, 0, rc), direct_profile(model, 0, model.size()));
        EXPECT_EQ(rc, 0);
        for (int round = 0; round < 8; ++round) {
            const size_t offset = rng() % (model.size() + 1);
            const size_t length = 1 + rng() % 1300;
            EXPECT_EQ(session_profile(session.get(), static_cast<int64_t>(offset), static_cast<int64_t>(length), rc),
                      direct_profile(model, offset, length))
                << "step " << step << ", offset " << offset << ", length " << length;
            EXPECT_EQ(rc, 0);
        }
    }
}

// ===========================================================================
// Counting both in one reading, and the counters' fast paths

// The counts of one buffer by the plain rules, a byte or a unit at a time:
// the model against which the counter's word-at-a-time paths are checked.
Counts model_counts(const std::string &text, skarn_bom_t bom) {
    Counts c{};
    const auto *p = reinterpret_cast<const uint8_t *>(text.data());
    size_t m = text.size();
    const std::string marks[] = {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
    if (bom >= BOM_UTF8 && bom <= BOM_UTF16BE) {
        const std::string &mark = marks[bom - BOM_UTF8];
        if (text.compare(0, mark.size(), mark) == 0) {
            c.bom = static_cast<int64_t>(mark.size());
            p += mark.size();
            m -= mark.size();
        }
    }
    const auto cont = [&](size_t at) { return at < m && (p[at] & 0xC0) == 0x80; };
    size_t i = 0;
    if (bom == BOM_UTF16LE || bom == BOM_UTF16BE) {
        const auto unit = [&](size_t at) {
            return bom == BOM_UTF16BE ? (p[at] << 8 | p[at + 1]) : (p[at + 1] << 8 | p[at]);
        };
        while (i + 1 < m) {
            const int u = unit(i);
            if (u >= 0xD800 && u <= 0xDBFF) {
                if (i + 3 >= m) break;
                const int next = unit(i + 2);
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    ++c.dbl, i += 4;
                } else {
                    ++c.invalid, ++i;
                }
            } else if (u >= 0xDC00 && u <= 0xDFFF) {
                ++c.invalid, ++i;
            } else {
                ++(u < 0x80 ? c.single : c.dbl), i += 2;
            }
        }
        c.invalid += static_cast<int64_t>(m - i);
        return c;
    }
    while (i < m) {
        const uint8_t lead = p[i];
        if (lead < 0x80) {
            ++c.single, ++i;
        } else if ((lead & 0xE0) == 0xC0 && cont(i + 1)) {
            ++c.dbl, i += 2;
        } else if ((lead & 0xF0) == 0xE0 && cont(i + 1) && cont(i + 2)) {
            ++c.triple, i += 3;
        } else if ((lead & 0xE0) != 0xC0 && (lead & 0xF0) != 0xE0 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
            ++c.quad, i += 4;
        } else {
            ++c.invalid, ++i;
        }
    }
    return c;
}

// Text as the counters meet it: long runs of ASCII (as single bytes or as
// UTF-16 units of either order), broken by marks, multi-byte characters, CR
// LF pairs and stray bytes, at every alignment.
std::string mostly_ascii_text(std::mt19937_64 &rng, size_t n) {
    std::string s;
    while (s.size() < n) {
        const size_t run = rng() % 300;
        switch (rng() % 6) {
            case 0:
                for (size_t i = 0; i < run; ++i) s += static_cast<char>('a' + rng() % 26), s += '\0';
                break;
            case 1:
                for (size_t i = 0; i < run; ++i) s += '\0', s += static_cast<char>(' ' + rng() % 95);
                break;
            default:
                for (size_t i = 0; i < run; ++i) s += static_cast<char>(' ' + rng() % 95);
                break;
        }
        const char *breaks[] = {"\r\n", "\xC3\xA9", "\xE2\x82\xAC", "\xEF\xBB\xBF", "\xFF\xFE", "\x80", "\x7F\x80\0"};
        s += breaks[rng() % std::size(breaks)];
    }
    s.resize(n);
    return s;
}

TEST(CharacterCountsFastPaths, BuffersMatchAByteAtATimeModel) {
    std::mt19937_64 rng(1313);
    const std::string text = mostly_ascii_text(rng, 40000);
    const skarn_bom_t kinds[] = {BOM_NONE, BOM_UTF8, BOM_UTF16LE, BOM_UTF16BE};
    for (int round = 0; round < 400; ++round) {
        const size_t offset = rng() % text.size();
        const size_t length = std::min(text.size() - offset, static_cast<size_t>(rng() % 1200));
        const std::string buffer = text.substr(offset, length);
        for (const skarn_bom_t kind : kinds) {
            CountsRecord record(skarn_character_counts_create());
            ASSERT_TRUE(record);
            skarn_character_counts_set_BOM(record.get(), kind);
            skarn_util_count_characters(reinterpret_cast<const uint8_t *>(buffer.data()), buffer.size(), record.get());
            ASSERT_EQ(read_counts(record.get()), model_counts(buffer, kind))
                << "offset " << offset << ", length " << length << ", kind " << kind;
        }
    }
}

// Ranges long enough for the profile to count in pairs and to span several
// windows, over an edited session: the one-reading function gives what the two
// analyses give, and both equal the models.
TEST(SessionCharacterCountsAndProfile, LongEditedRangesMatchBothAnalysesAndTheModels) {
    std::mt19937_64 rng(8080);
    const std::string text = mostly_ascii_text(rng, (size_t{5} << 19) + 333);
    TempDir dir;
    Session session;
    ASSERT_NO_FATAL_FAILURE(make_edited_session(dir, text, rng, session));
    const skarn_bom_t kinds[] = {BOM_NONE, BOM_UTF8, BOM_UTF16LE};
    for (int round = 0; round < 9; ++round) {
        const size_t offset = round == 0 ? 0 : rng() % (text.size() / 2);
        // To the end, past the end, or an odd length from a few bytes to
        // more than a window.
        const size_t length = round % 3 == 0 ? 0 : round % 3 == 1 ? text.size() : 1 + rng() % (text.size() - offset);
        const size_t counted = std::min(text.size() - offset, length == 0 ? text.size() : length);
        const skarn_bom_t kind = kinds[static_cast<size_t>(round) % std::size(kinds)];
        const auto at = static_cast<int64_t>(offset);
        const auto n = static_cast<int64_t>(length);

        CountsRecord record = dirty_record(kind);
        ASSERT_TRUE(record);
        skarn_byte_frequency_profile_t both;
        std::fill(std::begin(both), std::end(both), -7);
        ASSERT_EQ(skarn_session_character_counts_and_profile(session.get(), record.get(), both, at, n, kind), 0);
        const Profile expected = direct_profile(text, offset, counted);
        EXPECT_EQ(Profile(std::begin(both), std::end(both)), expected) << "offset " << offset << ", length " << length;
        EXPECT_EQ(read_counts(record.get()), counts_of_range(text, offset, counted, kind));
        EXPECT_EQ(skarn_character_counts_get_BOM(record.get()), kind);

        int rc = -1;
        EXPECT_EQ(session_profile(session.get(), at, n, rc), expected);
        EXPECT_EQ(rc, 0);
        const SessionCount separate = count_session(session.get(), at, n, kind);
        EXPECT_EQ(separate.rc, 0);
        EXPECT_EQ(separate.counts, read_counts(record.get()));
    }
}

TEST(SessionCharacterCountsAndProfile, RefusalsAndReadFailuresLeaveWhatTheTwoAnalysesLeave) {
    // Long enough to be counted in pairs.
    std::string content;
    while (content.size() < 300000) content += "a\r\n";
    const auto size = static_cast<int64_t>(content.size());
    TempDir dir;
    Session session = open_file_session(dir, content);
    ASSERT_NE(session, nullptr);
    CountsRecord record = dirty_record(BOM_UTF8);
    ASSERT_TRUE(record);
    skarn_byte_frequency_profile_t profile;
    const auto both = [&](int64_t offset, int64_t length, skarn_bom_t kind) {
        std::fill(std::begin(profile), std::end(profile), -7);
        return skarn_session_character_counts_and_profile(session.get(), record.get(), profile, offset, length, kind);
    };
    const auto profile_of = [&] { return Profile(std::begin(profile), std::end(profile)); };

    EXPECT_EQ(skarn_session_character_counts_and_profile(session.get(), nullptr, profile, 0, 0, BOM_UTF8), 1);
    EXPECT_EQ(skarn_session_character_counts_and_profile(session.get(), record.get(), nullptr, 0, 0, BOM_UTF8), 1);
    for (const auto &[offset, length] : {std::pair<int64_t, int64_t>{-1, 0}, {size + 1, 0}, {0, -5}}) {
        EXPECT_EQ(both(offset, length, BOM_UTF8), 1) << offset << " " << length;
        EXPECT_EQ(profile_of(), zeros());
        EXPECT_EQ(read_counts(record.get()), (Counts{0, 0, 0, 0, 0, 0}));
    }
    EXPECT_EQ(both(0, 0, static_cast<skarn_bom_t>(BOM_UTF32BE + 1)), 1);
    EXPECT_EQ(profile_of(), zeros());
    EXPECT_EQ(both(size, 0, BOM_UTF8), 0);
    EXPECT_EQ(profile_of(), zeros());

    // The first piece reads, the second does not: both keep the first
    // piece's counts, and the profile no line ends.
    ASSERT_NO_FATAL_FAILURE(truncate_private_copy(session.get(), 700));
    EXPECT_EQ(both(0, 0, BOM_UTF8), 1);
    Profile expected = direct_profile(content, 0, piece);
    expected[static_cast<size_t>(skarn_session_byte_frequency_profile_dos_eol_index())] = 0;
    EXPECT_EQ(profile_of(), expected);
    EXPECT_EQ(read_counts(record.get()), counts_of_range(content, 0, piece, BOM_UTF8));
}

}  // namespace
