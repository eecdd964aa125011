// Tests of replace-all: the content it makes against a byte-string model,
// its checkpoint level and undo, what it refuses and how it is announced.
// (Its cancellation at every progress call is in the options family, with
// the other long operations.)

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "skarn_edit.hpp"
#include "support/test_support.hpp"

using namespace skarn_test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const uint8_t *bytes_of(const std::string &text) { return reinterpret_cast<const uint8_t *>(text.data()); }

const uint8_t one_byte[] = {'1'};

int64_t replace_all(skarn_session_struct *session, const std::string &pattern, const std::string &replacement,
                    int64_t offset, int64_t length, bool ignore_case) {
    return skarn_edit_replace_all(session, bytes_of(pattern), static_cast<int64_t>(pattern.size()),
                                  bytes_of(replacement), static_cast<int64_t>(replacement.size()), offset, length,
                                  ignore_case ? REPLACE_IGNORE_CASE : 0);
}

// The model: sed's s/pattern/replacement/g over [offset, end), by bytes.
int64_t model_replace(std::string &content, const std::string &pattern, const std::string &replacement, size_t offset,
                      size_t end, bool ignore_case) {
    const auto same = [&](char a, char b) {
        return ignore_case ? std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b))
                           : a == b;
    };
    std::string out = content.substr(0, offset);
    int64_t count = 0;
    size_t i = offset;
    while (i < end) {
        bool match = i + pattern.size() <= end;
        for (size_t k = 0; match && k < pattern.size(); ++k) match = same(content[i + k], pattern[k]);
        if (match) {
            out += replacement;
            i += pattern.size();
            ++count;
        } else {
            out += content[i++];
        }
    }
    content = out + content.substr(end);
    return count;
}

// Bytes from a small alphabet of both cases, so that patterns match often.
std::string letters(std::mt19937_64 &rng, size_t n) {
    static const char alphabet[] = "abAB\n";
    std::string s(n, 'a');
    for (char &c : s) c = alphabet[rng() % 5];
    return s;
}

size_t checkpoint_files(const TempDir &dir) { return names_with_prefix(dir.path(), ".Skarnpad-chk.").size(); }

}  // namespace

TEST(ReplaceAll, MatchesTheModelOverEditedContentRangesAndCaseAndUndoesAsOneCheckpoint) {
    std::mt19937_64 rng(2207);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir dir;
        // Every tenth round spans several of the engine's 1 MiB windows.
        const size_t size = round % 10 == 9 ? (2u << 20) + rng() % 100000 : rng() % 5000;
        std::string model = letters(rng, size);
        Session session = open_file_session(dir, model);
        ASSERT_TRUE(session);
        skarn_session_struct *s = session.get();
        for (int step = 0; step < 6; ++step) {
            // Edits first, so that the content is made of many pieces.
            for (int e = 0; e < 30; ++e) {
                const size_t at = rng() % (model.size() + 1);
                const std::string text = letters(rng, 1 + rng() % 12);
                if (rng() % 2 == 0 || at == model.size()) {
                    ASSERT_GT(skarn_edit_insert_string(s, static_cast<int64_t>(at), text), 0);
                    model.insert(at, text);
                } else {
                    const size_t n = std::min<size_t>(1 + rng() % 20, model.size() - at);
                    ASSERT_GT(skarn_edit_delete(s, static_cast<int64_t>(at), static_cast<int64_t>(n)), 0);
                    model.erase(at, n);
                }
            }
            const size_t m = 1 + rng() % 6;
            const std::string pattern = letters(rng, m);
            const size_t lengths[] = {0, m - 1, m, m + 1 + rng() % 9};
            // A replacement may hold the pattern: it is never searched again.
            const std::string replacement = rng() % 4 == 0 ? pattern + pattern : letters(rng, lengths[rng() % 4]);
            const size_t offset = rng() % 3 == 0 ? 0 : rng() % (model.size() + 1);
            const size_t length = rng() % 2 == 0 ? 0 : rng() % (model.size() - offset + 1);
            const bool ignore_case = rng() % 2 == 0;
            const size_t end = length == 0 ? model.size() : offset + length;

            const std::string before = model;
            const int64_t levels = skarn_session_get_num_checkpoints(s);
            const int64_t expected = model_replace(model, pattern, replacement, offset, end, ignore_case);
            ASSERT_EQ(replace_all(s, pattern, replacement, static_cast<int64_t>(offset), static_cast<int64_t>(length),
                                  ignore_case),
                      expected)
                << "'" << pattern << "' -> '" << replacement << "' in " << offset << "+" << length;
            ASSERT_TRUE(content_of(s) == model) << "'" << pattern << "' -> '" << replacement << "'";
            ASSERT_EQ(skarn_session_get_num_checkpoints(s), levels + (expected > 0 ? 1 : 0));
            ASSERT_EQ(checkpoint_files(dir), static_cast<size_t>(skarn_session_get_num_checkpoints(s)));
            // Now and then the whole replacement is taken back; else edits go on over it.
            if (expected > 0 && rng() % 3 == 0) {
                ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s), 0);
                ASSERT_TRUE(content_of(s) == before);
                model = before;
            }
        }
    }
}

// What the callbacks of a session saw; from the viewport's, a replace-all
// is tried (and must be refused).
struct Heard {
    std::vector<std::string> seen;
    skarn_session_struct *session = nullptr;
    int64_t from_callback = 0;

    static void session_event(const skarn_session_struct *session, int32_t event, const void *) {
        static_cast<Heard *>(skarn_session_get_user_data_ptr(session))
            ->seen.push_back("session " + std::to_string(event));
    }
    static void viewport_event(const skarn_viewport_struct *viewport, int32_t event, const void *) {
        auto *heard = static_cast<Heard *>(skarn_viewport_get_user_data_ptr(viewport));
        heard->seen.push_back("viewport " + std::to_string(event));
        heard->from_callback = replace_all(heard->session, "t", "T", 0, 0, false);
    }
};

TEST(ReplaceAll, IsAnnouncedAsATransformAndRefusesWhatTransformsRefuse) {
    TempDir dir;
    Heard heard;
    write_file(dir.file("doc.txt"), "one two one");
    Session session(
        skarn_edit_create_session(dir.file("doc.txt").c_str(), Heard::session_event, &heard, ~0, dir.str().c_str()));
    ASSERT_TRUE(session);
    skarn_session_struct *s = session.get();
    heard.session = s;
    skarn_viewport_struct *viewport = skarn_edit_create_viewport(s, 0, 8, 0, Heard::viewport_event, &heard, ~0);
    ASSERT_NE(viewport, nullptr);
    std::vector<std::string> &seen = heard.seen;
    seen.clear();
    EXPECT_EQ(replace_all(s, "ONE", "1", 0, 0, true), 2);
    EXPECT_THAT(seen, ElementsAre("session 128", "session 32", "viewport 16", "session 16"));
    EXPECT_EQ(heard.from_callback, -1);
    EXPECT_EQ(skarn_viewport_get_string(viewport), "1 two 1");

    // Nothing found: no level, no file, no event.
    seen.clear();
    EXPECT_EQ(replace_all(s, "three", "3", 0, 0, false), 0);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(skarn_session_get_num_checkpoints(s), 1);
    EXPECT_EQ(checkpoint_files(dir), 1u);

    ClogCapture log;
    EXPECT_EQ(replace_all(s, "", "x", 0, 0, false), -1);
    EXPECT_EQ(replace_all(s, "1", "x", 3, 5, false), -1);
    EXPECT_EQ(replace_all(s, "1", "x", -1, 0, false), -1);
    EXPECT_EQ(skarn_edit_replace_all(s, one_byte, 1, nullptr, 1, 0, 0, 0), -1);
    EXPECT_EQ(skarn_edit_replace_all(s, one_byte, 1, nullptr, 0, 0, 0, 2), -1);
    skarn_session_pause_changes(s);
    EXPECT_EQ(replace_all(s, "1", "x", 0, 0, false), -1);
    skarn_session_resume_changes(s);
    EXPECT_THAT(log.str(), HasSubstr("skarn_edit_replace_all: invalid pattern length 0"));
    EXPECT_THAT(log.str(), HasSubstr("skarn_edit_replace_all: replace out of range"));
    EXPECT_THAT(log.str(), HasSubstr("skarn_edit_replace_all: unknown replace flags 2"));
    EXPECT_EQ(content_of(s), "1 two 1");
    EXPECT_EQ(skarn_session_get_num_checkpoints(s), 1);
    EXPECT_EQ(checkpoint_files(dir), 1u);
    // An empty replacement deletes; the range may end at the content's end.
    EXPECT_EQ(skarn_edit_replace_all(s, one_byte, 1, nullptr, 0, 1, 0, 0), 1);
    EXPECT_EQ(content_of(s), "1 two ");
}
