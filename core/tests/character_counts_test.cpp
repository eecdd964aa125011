// Character counting of buffers: the counts record, each encoding, random
// valid and invalid text, and the vector paths and streams of buffers
// against the byte-at-a-time counter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "analysis/character_counter.hpp"
#include "skarn_edit.h"
#include "support/test_support.hpp"
#include "support/utility_support.hpp"

namespace {

using skarn_test::append_utf8;
using skarn_test::byte_vector;
using skarn_test::Counts;
using skarn_test::expect_log_lines;
using skarn_test::read_counts;

constexpr skarn_bom_t kind(int value) { return static_cast<skarn_bom_t>(value); }

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

Counts count(skarn_bom_t bom, std::initializer_list<int> values) { return count(bom, byte_vector(values)); }

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
    const auto data = byte_vector({0xEF, 0xBB, 0xBF, 0x41, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0xC3});
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
    const auto data = byte_vector({0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x42});
    skarn_util_count_characters(data.data(), data.size(), record.get());
    EXPECT_EQ(read_counts(record.get()), make_counts(2, 1, 2, 0, 0, 1));
    skarn_util_count_characters(data.data(), data.size(), record.get());
    EXPECT_EQ(read_counts(record.get()), make_counts(2, 2, 4, 0, 0, 2));

    // A later buffer without a mark keeps the size of the last mark found.
    const auto plain = byte_vector({0x41, 0x00});
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
        const auto data = byte_vector({0xEF, 0xBB, 0xBF, 0x41, 0x42});
        skarn_util_count_characters(data.data(), data.size(), record.get());
        const Counts before = read_counts(record.get());

        skarn_character_counts_set_BOM(record.get(), kind(k));
        EXPECT_EQ(skarn_character_counts_get_BOM(record.get()), kind(k));
        testing::internal::CaptureStderr();
        skarn_util_count_characters(data.data(), data.size(), record.get());
        expect_log_lines(testing::internal::GetCapturedStderr(),
                         {{"character_counts.cpp", "skarn_util_count_characters", "unhandled BOM"}});
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
// Vector paths and streams against the byte-at-a-time counter

using skarn::count_path;

// Pieces of text for one family of encodings, good and bad: characters of
// every width, cut and overlong sequences, surrogates, values past the last
// character, stray bytes, marks.
std::vector<std::vector<uint8_t>> atoms_of(int family) {
    switch (family) {
        case 0:  // UTF-8
            return {{0x41},
                    {0xC3, 0xA9},
                    {0xE2, 0x82, 0xAC},
                    {0xF0, 0x9F, 0x98, 0x80},
                    {0xC3},
                    {0xE2, 0x82},
                    {0xF0, 0x9F, 0x98},
                    {0xC0, 0x80},
                    {0xE0, 0x80, 0x80},
                    {0xF0, 0x80, 0x80, 0x80},
                    {0xED, 0xA0, 0x80},
                    {0xF5, 0x80, 0x80, 0x80},
                    {0xFF},
                    {0xF8, 0xBF},
                    {0x80},
                    {0xBF, 0xBF},
                    {0xEF, 0xBB, 0xBF}};
        case 1:  // UTF-16, little-endian units (big-endian text reads them swapped)
            return {{0x41, 0x00},
                    {0xE9, 0x00},
                    {0xAC, 0x20},
                    {0x3D, 0xD8, 0x00, 0xDE},
                    {0x3D, 0xD8},
                    {0x00, 0xDC},
                    {0xFF, 0xDB, 0xFF, 0xDF},
                    {0x00, 0x41},
                    {0x7F, 0x00},
                    {0x80, 0x00},
                    {0x42},
                    {0xFF, 0xFE},
                    {0xFE, 0xFF}};
        default:  // UTF-32, little-endian values
            return {{0x41, 0, 0, 0},    {0xE9, 0, 0, 0},    {0x00, 0xF6, 0x01, 0}, {0xFF, 0xFF, 0x10, 0},
                    {0x00, 0xD8, 0, 0}, {0xFF, 0xDF, 0, 0}, {0x00, 0x00, 0x11, 0}, {0xFF, 0xFF, 0xFF, 0xFF},
                    {0, 0, 0, 0x41},    {0x7F, 0, 0, 0},    {0x80, 0, 0, 0},       {0x42},
                    {0xFF, 0xFE, 0, 0}, {0, 0, 0xFE, 0xFF}};
    }
}

// About `length` bytes of one family's pieces, with runs of the first (an
// ASCII character) so that whole vector blocks are common, and now and then
// a random byte.
std::vector<uint8_t> adversarial_bytes(std::mt19937_64 &rng, int family, size_t length) {
    const auto atoms = atoms_of(family);
    std::vector<uint8_t> out;
    while (out.size() < length) {
        const uint64_t pick = rng() % (atoms.size() + 4);
        const size_t repeat = pick == 0 ? rng() % 300 : 1;
        const auto &atom = pick < atoms.size() ? atoms[pick] : atoms[1 + rng() % 3];
        for (size_t r = 0; r < repeat; ++r) out.insert(out.end(), atom.begin(), atom.end());
        if (rng() % 50 == 0) out.push_back(static_cast<uint8_t>(rng()));
    }
    out.resize(length);
    return out;
}

Counts count_on(count_path path, skarn_bom_t bom, const std::vector<uint8_t> &data) {
    skarn_character_counts_struct record{};
    record.bom = bom;
    skarn::count_characters(data.data(), data.size(), record, path);
    return read_counts(&record);
}

// The counts of `data` handed to a stream in pieces that end at `cuts`.
Counts stream_on(count_path path, skarn_bom_t bom, const std::vector<uint8_t> &data, const std::vector<size_t> &cuts) {
    skarn_character_counts_struct record{};
    record.bom = bom;
    skarn::character_stream stream(record, path);
    size_t at = 0;
    for (size_t cut : cuts) {
        stream.add(data.data() + at, cut - at);
        at = cut;
    }
    stream.add(data.data() + at, data.size() - at);
    stream.finish();
    return read_counts(&record);
}

std::vector<count_path> available_paths() {
    std::vector<count_path> paths;
    for (const count_path path : {count_path::bytes, count_path::sse2, count_path::avx2}) {
        if (skarn::count_path_available(path)) paths.push_back(path);
    }
    if (paths.size() < 3) std::printf("note: only %zu of the three counting paths run here\n", paths.size());
    return paths;
}

TEST(CharacterCountsPaths, VectorsAndStreamsEqualTheByteCounterOnAdversarialBytes) {
    const std::vector<count_path> paths = available_paths();
    std::mt19937_64 rng(8128);
    for (int round = 0; round < 1500; ++round) {
        // Every length up to three blocks and a bit, then longer ones.
        const size_t length = round < 400 ? static_cast<size_t>(round % 200) : 1 + rng() % (round < 1400 ? 700 : 9000);
        const auto data = adversarial_bytes(rng, round % 3, length);
        std::vector<size_t> cuts;  // random pieces of 0 to 8 bytes and longer
        for (size_t at = rng() % 9; at < length; at += rng() % (rng() % 2 ? 9 : 150)) cuts.push_back(at);
        for (int k = BOM_UNKNOWN; k <= BOM_UTF32BE; ++k) {
            const skarn_bom_t bom = kind(k);
            const Counts expected = count_on(count_path::bytes, bom, data);
            for (const count_path path : paths) {
                SCOPED_TRACE(testing::Message()
                             << "round " << round << ", kind " << k << ", path " << static_cast<int>(path));
                ASSERT_EQ(count_on(path, bom, data), expected) << testing::PrintToString(data);
                ASSERT_EQ(stream_on(path, bom, data, cuts), expected);
                // Short inputs: cut in two at every position.
                for (size_t cut = 0; length <= 80 && cut <= length; ++cut) {
                    ASSERT_EQ(stream_on(path, bom, data, {cut}), expected) << "cut at " << cut;
                }
            }
        }
    }
}

}  // namespace
