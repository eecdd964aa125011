// The editing engine against a reference engine (the earlier vector-and-replay
// one, kept in the test support): random and scripted runs of edits, undo,
// redo, transactions, pauses, clears, checkpoints and transforms, comparing
// after every step the results, the model dump, the content, the counters and
// the model check.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/session.hpp"
#include "support/reference_engine.hpp"
#include "support/test_support.hpp"

namespace {

using skarn_test::ReferenceEngine;
using skarn_test::TempDir;

uint8_t next_byte(uint8_t byte, void * /*user_data*/) { return static_cast<uint8_t>(byte == 'z' ? 'a' : byte + 1); }

struct Op {
    enum Code {
        Insert,
        Overwrite,
        Delete,
        Undo,
        Redo,
        Begin,
        End,
        Pause,
        Resume,
        Clear,
        Checkpoint,
        Transform,
        Destroy
    };
    Op(Code code_, int64_t offset_ = 0, int64_t length_ = 0, std::string bytes_ = {})
        : code(code_), offset(offset_), length(length_), bytes(std::move(bytes_)) {}
    Code code;
    int64_t offset;
    int64_t length;
    std::string bytes;
};

std::string describe(const Op &op) {
    static const char *names[] = {"insert", "overwrite", "delete", "undo",       "redo",      "begin",  "end",
                                  "pause",  "resume",    "clear",  "checkpoint", "transform", "destroy"};
    std::ostringstream out;
    out << names[op.code] << "(" << op.offset << ", " << op.length << ", \"" << op.bytes << "\")";
    return out.str();
}

// A session and the reference engine over the same file, driven in step.
class Pair {
public:
    Pair(const TempDir &dir, const std::string &content) : reference_(content) {
        const std::string path = dir.file("input.bin");
        skarn_test::write_file(path, content);
        session_ =
            skarn_edit_create_session(content.empty() ? "" : path.c_str(), nullptr, nullptr, 0, dir.str().c_str());
    }
    ~Pair() { skarn_edit_destroy_session(session_); }
    Pair(const Pair &) = delete;
    Pair &operator=(const Pair &) = delete;

    skarn_session_struct *session() const { return session_; }
    const ReferenceEngine &reference() const { return reference_; }

    // Runs `op` on both and, with `check`, compares them; a failure names the step.
    void step(const Op &op, bool check = true) {
        SCOPED_TRACE(describe(op));
        int64_t got = 0;
        int64_t expected = 0;
        skarn_session_struct *s = session_;
        const auto *bytes = reinterpret_cast<const uint8_t *>(op.bytes.c_str());
        switch (op.code) {
            case Op::Insert:
                got = skarn_edit_insert_bytes(s, op.offset, bytes, op.length);
                expected = reference_.edit(ReferenceEngine::Insert, op.offset, op.bytes, op.length);
                break;
            case Op::Overwrite:
                got = skarn_edit_overwrite_bytes(s, op.offset, bytes, op.length);
                expected = reference_.edit(ReferenceEngine::Overwrite, op.offset, op.bytes, op.length);
                break;
            case Op::Delete:
                got = skarn_edit_delete(s, op.offset, op.length);
                expected = reference_.edit(ReferenceEngine::Delete, op.offset, "", op.length);
                break;
            case Op::Undo:
                got = skarn_edit_undo_last_change(s);
                expected = reference_.undo();
                break;
            case Op::Redo:
                got = skarn_edit_redo_last_undo(s);
                expected = reference_.redo();
                break;
            case Op::Begin:
                got = skarn_session_begin_transaction(s);
                expected = reference_.begin_transaction();
                break;
            case Op::End:
                got = skarn_session_end_transaction(s);
                expected = reference_.end_transaction();
                break;
            case Op::Pause:
                skarn_session_pause_changes(s);
                reference_.pause(true);
                break;
            case Op::Resume:
                skarn_session_resume_changes(s);
                reference_.pause(false);
                break;
            case Op::Clear:
                got = skarn_edit_clear_changes(s);
                reference_.clear();
                break;
            case Op::Checkpoint:
                got = skarn_edit_create_checkpoint(s);
                reference_.checkpoint();
                break;
            case Op::Transform:
                got = skarn_edit_apply_transform(s, next_byte, nullptr, op.offset, op.length);
                expected = reference_.transform([](uint8_t b) { return next_byte(b, nullptr); }, op.offset, op.length);
                break;
            case Op::Destroy:
                got = skarn_edit_destroy_last_checkpoint(s);
                expected = reference_.destroy_checkpoint();
                break;
        }
        ASSERT_EQ(got, expected) << "result";
        if (check) {
            ASSERT_NO_FATAL_FAILURE(compare());
        }
    }

    void compare() const {
        std::ostringstream dump;
        print_model_segments_(&session_->current(), dump);
        ASSERT_EQ(dump.str(), reference_.dump());
        const int64_t size = reference_.size();
        ASSERT_EQ(skarn_session_get_computed_file_size(session_), size);
        const std::string content = size == 0 ? "" : skarn_session_get_segment_string(session_, 0, size);
        ASSERT_EQ(content, reference_.content());
        ASSERT_EQ(skarn_session_get_num_changes(session_), reference_.num_changes());
        ASSERT_EQ(skarn_session_get_num_undone_changes(session_), reference_.num_undone());
        ASSERT_EQ(skarn_session_get_num_change_transactions(session_), reference_.num_transactions(false));
        ASSERT_EQ(skarn_session_get_num_undone_change_transactions(session_), reference_.num_transactions(true));
        ASSERT_EQ(skarn_check_model(session_), 0);
    }

private:
    ReferenceEngine reference_;
    skarn_session_struct *session_ = nullptr;
};

std::string random_text(std::mt19937_64 &rng, size_t length) {
    std::string text(length, ' ');
    for (char &c : text) c = static_cast<char>('a' + rng() % 26);
    return text;
}

// One random step: mostly small edits (also at the ends, past the end and of
// length 0), undo and redo in runs, now and then a long delete, a transaction
// edge, a pause, a clear, a checkpoint, a transform or a destroyed checkpoint.
Op random_op(std::mt19937_64 &rng, int64_t size, int64_t checkpoints) {
    const auto pick = [&rng](int64_t bound) { return static_cast<int64_t>(rng() % static_cast<uint64_t>(bound)); };
    const auto offset = [&]() -> int64_t {
        switch (pick(8)) {
            case 0: return 0;
            case 1: return size;
            case 2: return size + 1;
            default: return pick(size + 1);
        }
    };
    const int64_t roll = pick(1000);
    if (roll < 300) {
        Op op{Op::Insert, offset(), pick(10), {}};
        op.bytes = random_text(rng, static_cast<size_t>(op.length));
        return op;
    }
    if (roll < 420) {
        Op op{Op::Overwrite, offset(), pick(12), {}};
        op.bytes = random_text(rng, static_cast<size_t>(op.length));
        return op;
    }
    if (roll < 540) return {Op::Delete, offset(), pick(16) - 1, {}};
    if (roll < 560) return {Op::Delete, pick(size / 4 + 1), pick(size + 1) + 1, {}};
    if (roll < 740) return {Op::Undo};
    if (roll < 860) return {Op::Redo};
    if (roll < 900) return {Op::Begin};
    if (roll < 940) return {Op::End};
    if (roll < 955) return {Op::Pause};
    if (roll < 975) return {Op::Resume};
    if (roll < 979) return {Op::Clear};
    if (roll < 986) return {Op::Checkpoint};
    if (roll < 992 && size > 0) {
        const int64_t from = pick(size);
        return {Op::Transform, from, 1 + pick(size - from), {}};
    }
    if (checkpoints > 0) return {Op::Destroy};
    return {Op::Undo};
}

TEST(EngineDifferential, RandomScriptsAgreeWithTheReferenceEngine) {
    constexpr int seeds = 8;
    constexpr int steps = 2500;  // 20,000 steps a run
    for (int seed = 1; seed <= seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::cout << "seed " << seed << std::endl;  // shown even when the library aborts
        TempDir dir;
        std::mt19937_64 rng(static_cast<uint64_t>(seed) * 7919);
        Pair pair(dir, random_text(rng, static_cast<size_t>(rng() % 3 == 0 ? 0 : rng() % 400)));
        ASSERT_NE(pair.session(), nullptr);
        for (int step = 0; step < steps; ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            const Op op = random_op(rng, pair.reference().size(), skarn_session_get_num_checkpoints(pair.session()));
            ASSERT_NO_FATAL_FAILURE(pair.step(op));
        }
    }
}

// Zero-length inserts and overwrites stacked at the front, at the end and
// between segments, and removals next to them: the places where a cut is
// ambiguous without knowing where the change put it.
TEST(EngineDifferential, EmptySegmentsAtTheEdgesUndoToTheSameSequence) {
    TempDir dir;
    Pair pair(dir, "0123456789");
    ASSERT_NE(pair.session(), nullptr);
    const std::vector<Op> script = {
        {Op::Insert, 0, 0, ""},
        {Op::Insert, 0, 0, ""},
        {Op::Insert, 10, 0, ""},
        {Op::Insert, 5, 0, ""},
        {Op::Delete, 0, 3, ""},
        {Op::Overwrite, 0, 4, "wxyz"},
        {Op::Insert, 0, 2, "ab"},
        {Op::Delete, 0, 2, ""},
        {Op::Overwrite, 0, 0, ""},
        {Op::Overwrite, 5, 0, ""},
        {Op::Delete, 5, 1, ""},
        {Op::Overwrite, 7, 9, "123456789"},
        {Op::Insert, 16, 0, ""},
        {Op::Delete, 2, 100, ""},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Redo},
        {Op::Delete, 0, 1000, ""},
        {Op::Insert, 0, 0, ""},
        {Op::Overwrite, 0, 3, "abc"},
        {Op::Undo},
        {Op::Undo},
        {Op::Undo},
    };
    for (const Op &op : script) ASSERT_NO_FATAL_FAILURE(pair.step(op));
}

// One delete across thousands of segments (many leaves of the tree), its undo
// and its redo, in a transaction with edits on both sides.
TEST(EngineDifferential, DeleteAcrossThousandsOfSegmentsUndoesExactly) {
    TempDir dir;
    std::mt19937_64 rng(99);
    Pair pair(dir, random_text(rng, 20000));
    ASSERT_NE(pair.session(), nullptr);
    skarn_session_struct *s = pair.session();
    for (int i = 0; i < 4000; ++i) {
        const int64_t offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(pair.reference().size()));
        ASSERT_NO_FATAL_FAILURE(pair.step({Op::Insert, offset, 1 + i % 2, i % 2 == 0 ? "x" : "yz"}, false));
    }
    ASSERT_NO_FATAL_FAILURE(pair.compare());
    std::ostringstream before;
    print_model_segments_(&s->current(), before);
    ASSERT_GT(s->current().pieces.size(), 5000u);

    const std::vector<Op> script = {{Op::Begin},
                                    {Op::Insert, 5, 3, "abc"},
                                    {Op::Delete, 100, 23000, ""},
                                    {Op::Overwrite, 90, 20, "01234567890123456789"},
                                    {Op::End},
                                    {Op::Undo},
                                    {Op::Redo},
                                    {Op::Undo}};
    for (const Op &op : script) ASSERT_NO_FATAL_FAILURE(pair.step(op));
    EXPECT_LT(skarn_session_get_num_changes(s), 4001);
    std::ostringstream after;
    print_model_segments_(&s->current(), after);
    EXPECT_TRUE(after.str() == before.str()) << "the undone transaction left the segments changed";
}

// A search context keeps what it read between calls: every way the content
// changes between two calls must make the next call read it again.
TEST(EngineSearchWindow, ContentChangedBetweenMatchesIsSeen) {
    TempDir dir;
    std::string content(600000, '.');
    for (size_t at = 0; at < content.size(); at += 1000) content.replace(at, 3, "hit");
    Pair pair(dir, content);
    skarn_session_struct *s = pair.session();
    ASSERT_NE(s, nullptr);
    skarn_search_context_struct *context = skarn_search_create_context(s, "hit", 0, 0, 0, 1, 0);
    ASSERT_NE(context, nullptr);
    const auto next = [&] {
        return skarn_search_next_match(context, 3) == 1 ? skarn_search_context_get_match_offset(context) : -1;
    };
    ASSERT_EQ(next(), 0);
    ASSERT_GT(skarn_edit_overwrite(s, 1000, "HIT", 0), 0);  // folded: still a match
    ASSERT_GT(skarn_edit_overwrite(s, 2000, "xxx", 0), 0);  // no longer one
    ASSERT_GT(skarn_edit_insert(s, 1500, "hit", 0), 0);
    EXPECT_EQ(next(), 1000);
    EXPECT_EQ(next(), 1500);
    EXPECT_EQ(next(), 3003);
    ASSERT_LT(skarn_edit_undo_last_change(s), 0);  // the insert goes: later matches move back
    EXPECT_EQ(next(), 4000);
    ASSERT_EQ(
        skarn_edit_apply_transform(
            s, [](uint8_t byte, void *) { return static_cast<uint8_t>(byte == 'h' ? 'x' : byte); }, nullptr, 5000, 10),
        0);
    EXPECT_EQ(next(), 6000);
    ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s), 0);
    ASSERT_GT(skarn_edit_overwrite(s, 8000, "xxx", 0), 0);
    EXPECT_EQ(next(), 7000);
    ASSERT_EQ(skarn_edit_clear_changes(s), 0);  // back to the file: 8000 is a match again
    EXPECT_EQ(next(), 8000);
    skarn_search_destroy_context(context);
}

}  // namespace
