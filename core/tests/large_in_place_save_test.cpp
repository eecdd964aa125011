// A save in place of a 2 GiB file that shifts the whole tail, killed with
// SIGKILL at random moments: recovery must leave exactly the old or exactly
// the new content, checked by streaming the file against both, each derived
// from offsets of the first content through a list of pieces.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace {

using namespace skarn_test;
using clock_type = std::chrono::steady_clock;

constexpr int64_t MiB = int64_t{1} << 20;
constexpr int64_t first_size = 2048 * MiB;
constexpr int64_t block_bytes = 4 * MiB;

// Writes the `count` bytes of the first content from `offset` on to `out`:
// each byte is the top byte of its offset times an odd constant.
void first_bytes(int64_t offset, char *out, size_t count) {
    constexpr uint64_t factor = 0x9E3779B97F4A7C15ull;
    uint64_t product = static_cast<uint64_t>(offset) * factor;
    for (size_t i = 0; i < count; ++i, product += factor) out[i] = static_cast<char>(product >> 56);
}

// A content as stretches of the first content (`from` >= 0) and literal bytes.
struct Piece {
    int64_t from;  // -1 for literal bytes
    int64_t length;
    std::string literal;
};
using Pieces = std::vector<Piece>;

int64_t size_of(const Pieces &pieces) {
    int64_t size = 0;
    for (const Piece &piece : pieces) size += piece.length;
    return size;
}

// Splits the piece holding `offset` there; returns the index of the piece that begins at it.
size_t split_at(Pieces &pieces, int64_t offset) {
    size_t index = 0;
    for (; index < pieces.size() && offset >= pieces[index].length; ++index) offset -= pieces[index].length;
    if (offset == 0 || index == pieces.size()) return index;
    Piece &piece = pieces[index];
    Piece tail{piece.from < 0 ? -1 : piece.from + offset, piece.length - offset,
               piece.from < 0 ? piece.literal.substr(static_cast<size_t>(offset)) : std::string()};
    piece.length = offset;
    if (piece.from < 0) piece.literal.resize(static_cast<size_t>(offset));
    pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(tail));
    return index + 1;
}

void insert_into(Pieces &pieces, int64_t offset, const std::string &bytes) {
    const size_t index = split_at(pieces, offset);
    pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(index),
                  Piece{-1, static_cast<int64_t>(bytes.size()), bytes});
}

void erase_from(Pieces &pieces, int64_t offset, int64_t length) {
    const size_t begin = split_at(pieces, offset);
    const size_t end = split_at(pieces, offset + length);
    pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(begin),
                 pieces.begin() + static_cast<std::ptrdiff_t>(end));
}

// Fills `out` with the content's bytes from `offset` on (fewer at the end).
void content_bytes(const Pieces &pieces, int64_t offset, std::string &out) {
    size_t filled = 0;
    int64_t start = 0;
    for (const Piece &piece : pieces) {
        const int64_t begin = std::max(offset, start) - start;
        const int64_t count = std::min<int64_t>(piece.length - begin, static_cast<int64_t>(out.size() - filled));
        if (count > 0 && piece.from < 0) {
            std::memcpy(out.data() + filled, piece.literal.data() + begin, static_cast<size_t>(count));
        } else if (count > 0) {
            first_bytes(piece.from + begin, out.data() + filled, static_cast<size_t>(count));
        }
        filled += static_cast<size_t>(std::max<int64_t>(count, 0));
        start += piece.length;
    }
    out.resize(filled);
}

void write_first_content(const std::string &path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string block(static_cast<size_t>(block_bytes), '\0');
    for (int64_t offset = 0; offset < first_size; offset += block_bytes) {
        first_bytes(offset, block.data(), block.size());
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    ASSERT_TRUE(out.good());
}

// Whether the file holds exactly `pieces`, read block by block.
bool holds(const std::string &path, const Pieces &pieces) {
    if (static_cast<int64_t>(fs::file_size(path)) != size_of(pieces)) return false;
    std::ifstream in(path, std::ios::binary);
    std::string got(static_cast<size_t>(block_bytes), '\0'), expected = got;
    for (int64_t offset = 0; offset < size_of(pieces); offset += block_bytes) {
        in.read(got.data(), static_cast<std::streamsize>(got.size()));
        got.resize(static_cast<size_t>(in.gcount()));
        expected.resize(got.size());
        content_bytes(pieces, offset, expected);
        if (got.empty() || std::memcmp(got.data(), expected.data(), got.size()) != 0) return false;
    }
    return true;
}

// One byte inserted near the front and a few deletes across the file: the
// whole tail moves by a few bytes.
Pieces edited(Pieces pieces, std::mt19937_64 &rng, std::vector<Piece> &edits) {
    edits.clear();
    const int64_t insert_at = 100 + static_cast<int64_t>(rng() % 4096);
    edits.push_back({insert_at, 1, std::string(1, static_cast<char>(rng()))});
    insert_into(pieces, insert_at, edits.back().literal);
    for (int i = 0; i < 3; ++i) {
        const int64_t length = 1 + static_cast<int64_t>(rng() % 5000);
        const int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(size_of(pieces) - length));
        edits.push_back({at, length, {}});  // a delete: no literal
        erase_from(pieces, at, length);
    }
    return pieces;
}

// The child: a session over the file, the edits, a save in place.
[[noreturn]] void save_in_child(const std::string &path, const std::string &checkpoints,
                                const std::vector<Piece> &edits) {
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = SESSION_OPT_IN_PLACE;
    options.checkpoint_directory = checkpoints.c_str();
    skarn_session_struct *session = skarn_edit_create_session_with_options(path.c_str(), &options);
    if (session == nullptr) _exit(2);
    for (const Piece &edit : edits) {
        const int64_t serial = edit.literal.empty() ? skarn_edit_delete(session, edit.from, edit.length)
                                                    : skarn_edit_insert_string(session, edit.from, edit.literal);
        if (serial <= 0) _exit(3);
    }
    _exit(skarn_edit_save(session, path.c_str(), IO_FLG_IN_PLACE | IO_FLG_OVERWRITE, nullptr) == 0 ? 0 : 4);
}

// Runs the save in a child, killed after `delay` (never when negative);
// returns whether it was killed, and how long it ran.
struct SaveRun {
    bool killed = false;
    double seconds = 0;
};
SaveRun run_save(const std::string &path, const std::string &checkpoints, const std::vector<Piece> &edits,
                 std::chrono::milliseconds delay) {
    const auto start = clock_type::now();
    const pid_t child = fork();
    if (child == 0) save_in_child(path, checkpoints, edits);
    if (delay.count() >= 0) {
        std::this_thread::sleep_for(delay);
        kill(child, SIGKILL);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    const SaveRun run{WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
                      std::chrono::duration<double>(clock_type::now() - start).count()};
    if (!run.killed) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    return run;
}

TEST(LargeInPlaceSave, KilledAtRandomMomentsRecoversExactlyTheOldOrTheNewContent) {
    TempDir dir;
    if (fs::space(dir.path()).available < (uint64_t{8} << 30)) {
        GTEST_SKIP() << "needs 8 GiB free beside " << dir.str();
    }
    const std::string path = dir.file("big.bin");
    const std::string journal = dir.file(".big.bin.skarn-journal");
    const std::string checkpoints = dir.file("chk");
    fs::create_directory(checkpoints);
    write_first_content(path);
    Pieces content{{0, first_size, {}}};
    std::mt19937_64 rng(2026);
    std::vector<Piece> edits;

    // A first save runs to its end: its length bounds the random delays.
    Pieces next = edited(content, rng, edits);
    const double full_seconds = run_save(path, checkpoints, edits, std::chrono::milliseconds(-1)).seconds;
    ASSERT_TRUE(holds(path, next));
    content = next;
    std::cout << "a whole save: " << full_seconds << " s\n";

    int old_rounds = 0, new_rounds = 0;
    // Half the delays uniform over a whole save (kills during the moves), half
    // evenly spread on a log scale from 1 ms (kills before the journal is
    // complete, or soon after).
    const double full_ms = full_seconds * 1000;
    std::uniform_real_distribution<double> uniform_delay(0, full_ms), log_delay(0, std::log(full_ms));
    for (int round = 0; round < 6; ++round) {
        next = edited(content, rng, edits);
        const double ms = round % 2 == 0 ? uniform_delay(rng) : std::exp(log_delay(rng));
        const auto delay = std::chrono::milliseconds(static_cast<int64_t>(ms));
        const SaveRun run = run_save(path, checkpoints, edits, delay);
        const int recovered = skarn_util_recover_file(path.c_str());
        EXPECT_TRUE(recovered == 0 || recovered == 1) << "round " << round << ": " << recovered;
        EXPECT_FALSE(fs::exists(journal)) << "round " << round;
        EXPECT_EQ(skarn_util_recover_file(path.c_str()), 0) << "a second recovery, round " << round;
        const bool is_new = holds(path, next);
        ASSERT_TRUE(is_new || holds(path, content))
            << "round " << round << ", killed after " << delay.count() << " ms: neither the old nor the new content";
        if (is_new) content = next;
        (is_new ? new_rounds : old_rounds) += 1;
        std::cout << "round " << round << ": " << (run.killed ? "killed" : "not killed") << " after " << delay.count()
                  << " ms, recovery " << recovered << ", " << (is_new ? "new" : "old") << " content\n";
    }
    std::cout << old_rounds << " rounds old, " << new_rounds << " new\n";
}

}  // namespace
