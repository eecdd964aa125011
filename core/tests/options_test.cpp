// Sessions made with an options record: the private copy (faithful for
// ordinary, empty, sparse and size-0-but-readable files), sessions that read
// the file in place, progress and cancellation of every long operation, and
// the windowed content analysis against a reading by 512-byte pieces.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <functional>

#include <gmock/gmock.h>

#include "support/loop_device.hpp"
#include "support/test_support.hpp"

namespace {

using namespace skarn_test;
using ::testing::HasSubstr;

constexpr int64_t MiB = int64_t{1} << 20;

Session open_with(const std::string &path, const TempDir &dir, int32_t flags, skarn_progress_cbk_t cbk = nullptr,
                  void *user = nullptr) {
    const std::string directory = dir.str();
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = flags;
    options.checkpoint_directory = directory.c_str();
    options.progress_cbk = cbk;
    options.progress_user_data = user;
    return Session(skarn_edit_create_session_with_options(path.empty() ? nullptr : path.c_str(), &options));
}

// A whole file in one read (read_file goes byte by byte: too slow for MiBs).
std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::string original_copy_path(const TempDir &dir) {
    const auto names = names_with_prefix(dir.path(), ".Skarnpad-orig.");
    return names.size() == 1 ? dir.file(names[0]) : std::string();
}

// ---------------------------------------------------------------------------
// The private copy

TEST(PrivateCopy, EqualsOrdinaryEmptySparseAndSizeZeroFiles) {
    TempDir dir;
    std::mt19937_64 rng(7);

    // Ordinary: more than one kernel copy chunk, not a whole number of them.
    const std::string ordinary = random_bytes(rng, static_cast<size_t>(9 * MiB + 12345));
    write_file(dir.file("ordinary"), ordinary);
    {
        Session session = open_with(dir.file("ordinary"), dir, 0);
        ASSERT_NE(session, nullptr);
        EXPECT_TRUE(content_of(session.get()) == ordinary);
        EXPECT_TRUE(slurp(original_copy_path(dir)) == ordinary);
    }

    write_file(dir.file("empty"), "");
    {
        Session session = open_with(dir.file("empty"), dir, 0);
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 0);
    }

    // Sparse: 64 MiB with three written blocks, one at the very end.
    const std::string sparse = dir.file("sparse");
    const int64_t sparse_size = 64 * MiB;
    const std::array<int64_t, 3> written = {5 * MiB + 100, 30 * MiB, sparse_size - 4096};
    {
        const int fd = open(sparse.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, sparse_size), 0);
        for (const int64_t at : written) {
            const std::string block = random_bytes(rng, 4096);
            ASSERT_EQ(pwrite(fd, block.data(), block.size(), at), 4096);
        }
        close(fd);
    }
    struct stat original {};
    ASSERT_EQ(stat(sparse.c_str(), &original), 0);
    if (original.st_blocks * 512 >= sparse_size) GTEST_SKIP() << "this file system keeps no holes";
    {
        Session session = open_with(sparse, dir, 0);
        ASSERT_NE(session, nullptr);
        ASSERT_EQ(skarn_session_get_computed_file_size(session.get()), sparse_size);
        const std::string source = slurp(sparse);
        for (const int64_t at : {int64_t{0}, written[0] - 7, written[1], written[2], sparse_size - 100}) {
            const auto length = std::min<int64_t>(8192, sparse_size - at);
            EXPECT_TRUE(skarn_session_get_segment_string(session.get(), at, length) ==
                        source.substr(static_cast<size_t>(at), static_cast<size_t>(length)))
                << "at " << at;
        }
        const std::string copy = original_copy_path(dir);
        EXPECT_TRUE(slurp(copy) == source);
        struct stat copied {};
        ASSERT_EQ(stat(copy.c_str(), &copied), 0);
        EXPECT_LE(copied.st_blocks, original.st_blocks + 64) << "the copy filled the holes";
        const int fd = open(copy.c_str(), O_RDONLY);
        EXPECT_EQ(lseek(fd, 0, SEEK_HOLE), 0) << "the copy starts with data, not a hole";
        close(fd);
    }

    // A file that reports size 0 but has content.
    const std::string proc = "/proc/self/status";
    std::ifstream probe(proc);
    if (!probe) GTEST_SKIP() << "no " << proc;
    {
        Session session = open_with(proc, dir, SESSION_OPT_IN_PLACE);  // in place falls back to a copy
        ASSERT_NE(session, nullptr);
        const std::string content = content_of(session.get());
        EXPECT_GT(content.size(), 0u);
        EXPECT_EQ(content.rfind("Name:", 0), 0u) << content.substr(0, 40);
    }
}

TEST(PrivateCopy, ClonesWhereTheFileSystemCan) {
    TempDir dir;
    const std::string source = dir.file("source");
    std::mt19937_64 rng(8);
    const std::string content = random_bytes(rng, static_cast<size_t>(MiB));
    write_file(source, content);
    // Whether this file system clones at all.
    const int from = open(source.c_str(), O_RDONLY);
    const int to = open(dir.file("probe").c_str(), O_CREAT | O_WRONLY, 0600);
    const bool clones = ioctl(to, FICLONE, from) == 0;
    close(from);
    close(to);
    if (!clones) GTEST_SKIP() << "the file system of " << dir.str() << " cannot clone files";
    Session session = open_with(source, dir, 0);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(slurp(original_copy_path(dir)) == content);
    EXPECT_TRUE(content_of(session.get()) == content);
}

// ---------------------------------------------------------------------------
// In-place sessions

TEST(InPlace, MatchesACopySessionOnARandomEditAndSaveScript) {
    TempDir dir;
    std::mt19937_64 rng(11);
    const std::string path = dir.file("file.bin");
    write_file(path, random_bytes(rng, 300000));
    Session copy = open_with(path, dir, 0);
    Session in_place = open_with(path, dir, SESSION_OPT_IN_PLACE);
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(in_place, nullptr);
    EXPECT_EQ(names_with_prefix(dir.path(), ".Skarnpad-orig.").size(), 1u) << "only the copy session copies";

    for (int step = 0; step < 300; ++step) {
        const int64_t size = skarn_session_get_computed_file_size(copy.get());
        const int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(size + 1));
        const std::string bytes = random_bytes(rng, 1 + rng() % 3000);
        const auto both = [&](const std::function<int64_t(skarn_session_struct *)> &op) {
            EXPECT_EQ(op(copy.get()), op(in_place.get())) << "step " << step;
        };
        switch (rng() % 8) {
            case 0: both([&](auto *s) { return skarn_edit_delete(s, at, static_cast<int64_t>(bytes.size())); }); break;
            case 1: both([&](auto *s) { return skarn_edit_overwrite_string(s, at, bytes); }); break;
            case 2: both([](auto *s) { return skarn_edit_undo_last_change(s); }); break;
            case 3: both([](auto *s) { return skarn_edit_redo_last_undo(s); }); break;
            case 4: {
                // Saves of both to files of their own, compared.
                ASSERT_EQ(skarn_edit_save(copy.get(), dir.file("a").c_str(), IO_FLG_OVERWRITE, nullptr), 0);
                ASSERT_EQ(skarn_edit_save(in_place.get(), dir.file("b").c_str(), IO_FLG_OVERWRITE, nullptr), 0);
                EXPECT_TRUE(read_file(dir.file("a")) == read_file(dir.file("b"))) << "step " << step;
                break;
            }
            default: both([&](auto *s) { return skarn_edit_insert_string(s, at, bytes); }); break;
        }
        if (step % 50 == 0) {
            EXPECT_TRUE(content_of(copy.get()) == content_of(in_place.get())) << "step " << step;
        }
    }
    // Reads behind many edits never map the caller's file: another program
    // may cut it short at any time, and a mapped byte cut away would fault.
    std::ifstream maps("/proc/self/maps");
    const std::string mapped{std::istreambuf_iterator<char>(maps), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(mapped.empty());
    EXPECT_EQ(mapped.find(fs::canonical(path).string()), std::string::npos);

    // A save over the caller's own file: the in-place session reads on what
    // it showed, edits and saves again.
    const std::string shown = content_of(in_place.get());
    const std::string before = read_file(path);
    ASSERT_EQ(skarn_edit_save(in_place.get(), path.c_str(), IO_FLG_OVERWRITE, nullptr), 0);
    EXPECT_TRUE(read_file(path) == shown);
    ASSERT_EQ(skarn_edit_clear_changes(in_place.get()), 0);
    EXPECT_TRUE(content_of(in_place.get()) == before) << "the old content is read through the descriptor";
    ASSERT_GT(skarn_edit_insert_string(in_place.get(), 0, "head"), 0);
    ASSERT_EQ(skarn_edit_save(in_place.get(), path.c_str(), IO_FLG_OVERWRITE, nullptr), 0);
    EXPECT_TRUE(read_file(path) == "head" + before);
}

TEST(InPlace, ABlockDeviceIsReadWhereItIsWithItsOwnSize) {
    TempDir dir;
    std::mt19937_64 rng(21);
    const std::string image = dir.file("disk.img");
    const std::string bytes = random_bytes(rng, static_cast<size_t>(2 * MiB));
    write_file(image, bytes);
    LoopDevice loop(image);
    if (loop.path().empty()) GTEST_SKIP() << "needs root and a free loop device to attach " << image;

    Session session = open_with(loop.path(), dir, SESSION_OPT_IN_PLACE);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(original_copy_path(dir).empty()) << "the device is read in place, not copied";
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 2 * MiB);
    EXPECT_TRUE(content_of(session.get()) == bytes);
    ASSERT_GT(skarn_edit_overwrite_string(session.get(), MiB, "patched"), 0);
    ASSERT_GT(skarn_edit_delete(session.get(), 0, 4096), 0);
    const std::string out = dir.file("out.img");
    ASSERT_EQ(skarn_edit_save(session.get(), out.c_str(), IO_FLG_NONE, nullptr), 0);
    std::string expected = bytes;
    expected.replace(static_cast<size_t>(MiB), 7, "patched");
    expected.erase(0, 4096);
    EXPECT_TRUE(slurp(out) == expected);
    // A save never replaces the device node itself.
    EXPECT_EQ(skarn_edit_save(session.get(), loop.path().c_str(), IO_FLG_OVERWRITE, nullptr), -12);
    EXPECT_TRUE(fs::is_block_file(loop.path()));
    EXPECT_TRUE(slurp(image) == bytes);
}

TEST(InPlace, AChangeByAnotherWriterFailsReadsAndRefusesSaves) {
    TempDir dir;
    const std::string path = dir.file("file.txt");
    write_file(path, std::string(5000, 'a'));
    Session session = open_with(path, dir, SESSION_OPT_IN_PLACE);
    ASSERT_NE(session, nullptr);
    ASSERT_GT(skarn_edit_insert_string(session.get(), 10, "new"), 0);
    ASSERT_EQ(skarn_session_get_segment_string(session.get(), 0, 13), "aaaaaaaaaanew");

    // Same size, written in place.
    {
        const int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "b", 1, 4000), 1);
        close(fd);
    }
    const std::string changed = read_file(path);
    const auto entries = dir.entries();
    ClogCapture log;
    skarn_segment_struct *segment = skarn_segment_create(100);
    EXPECT_EQ(skarn_session_get_segment(session.get(), segment, 0), -1);
    skarn_segment_destroy(segment);
    EXPECT_NE(log.str().find("was changed by another program"), std::string::npos) << log.str();
    int64_t profile[257];
    EXPECT_EQ(skarn_session_byte_frequency_profile(session.get(), profile, 0, 0), 1);
    EXPECT_EQ(skarn_edit_save(session.get(), path.c_str(), IO_FLG_FORCE_OVERWRITE, nullptr), -14);
    EXPECT_EQ(skarn_edit_save(session.get(), dir.file("elsewhere").c_str(), IO_FLG_NONE, nullptr), -14);
    EXPECT_EQ(skarn_edit_create_checkpoint(session.get()), -1);
    EXPECT_TRUE(read_file(path) == changed);
    EXPECT_EQ(dir.entries(), entries) << "nothing written, nothing left behind";
}

// ---------------------------------------------------------------------------
// Progress and cancellation

struct ProgressLog {
    int cancel_at = 0;  // the call (from 1) that cancels; 0 never
    std::vector<std::array<int64_t, 3>> calls;

    static int callback(int32_t operation, int64_t done, int64_t total, void *user) {
        auto *self = static_cast<ProgressLog *>(user);
        self->calls.push_back({operation, done, total});
        return static_cast<int>(self->calls.size()) == self->cancel_at ? 1 : 0;
    }
};

// Runs `operation` once to learn its calls, checks they are in order and
// reach the total, then cancels it at each call in turn: each time `check`
// must find its cancelled result, and the directory and session as before.
void cancel_at_every_call(const char *name, int32_t op, const TempDir &dir, skarn_session_struct *session,
                          ProgressLog &log, const std::function<int()> &operation, int success, int cancelled) {
    SCOPED_TRACE(name);
    const auto entries = dir.entries();
    const std::string content = session != nullptr ? content_of(session) : std::string();
    const int64_t checkpoints = session != nullptr ? skarn_session_get_num_checkpoints(session) : 0;

    log.cancel_at = 0;
    log.calls.clear();
    ASSERT_EQ(operation(), success);
    const auto calls = log.calls;
    ASSERT_GE(calls.size(), 2u) << "a long operation reports more than its end";
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i][0], op);
        EXPECT_EQ(calls[i][2], calls.back()[2]);
        if (i > 0) {
            EXPECT_GT(calls[i][1], calls[i - 1][1]) << "call " << i;
        }
    }
    EXPECT_EQ(calls.back()[1], calls.back()[2]);

    for (int k = 1; k <= static_cast<int>(calls.size()); ++k) {
        // What a successful run made is not what a cancelled one may leave.
        while (session != nullptr && skarn_session_get_num_checkpoints(session) > checkpoints) {
            skarn_edit_destroy_last_checkpoint(session);
        }
        for (const auto &entry : dir.entries()) {
            if (std::find(entries.begin(), entries.end(), entry) == entries.end()) fs::remove(dir.path() / entry);
        }
        log.cancel_at = k;
        log.calls.clear();
        ClogCapture captured;
        EXPECT_EQ(operation(), cancelled) << "cancelled at call " << k;
        EXPECT_EQ(static_cast<int>(log.calls.size()), k) << "no call after the cancelling one";
        EXPECT_NE(captured.str().find("cancelled"), std::string::npos) << captured.str();
        EXPECT_EQ(dir.entries(), entries) << "cancelled at call " << k;
        if (session == nullptr) continue;
        EXPECT_EQ(skarn_session_get_num_checkpoints(session), checkpoints);
        EXPECT_TRUE(content_of(session) == content) << "cancelled at call " << k;
    }
    log.cancel_at = 0;
}

const uint8_t *bytes(const char *text) { return reinterpret_cast<const uint8_t *>(text); }

uint8_t upper_byte(uint8_t byte, void *) { return static_cast<uint8_t>(std::toupper(byte)); }

// 13 MiB of random lower-case letters, from `seed`.
std::string random_letters(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string content = random_bytes(rng, static_cast<size_t>(13 * MiB));
    for (auto &c : content) c = static_cast<char>('a' + static_cast<uint8_t>(c) % 26);
    return content;
}

TEST(Progress, EveryLongOperationReportsInOrderAndCancelsCleanly) {
    TempDir dir;
    const std::string content = random_letters(21);
    const std::string path = dir.file("big.txt");
    write_file(path, content);

    ProgressLog log;
    for (const int32_t flags : {0, static_cast<int32_t>(SESSION_OPT_IN_PLACE)}) {
        SCOPED_TRACE(flags);
        if (flags == 0) {
            // The copy made at creation: cancelled creation is null and leaves no file.
            cancel_at_every_call(
                "copy", PROGRESS_OP_COPY, dir, nullptr, log,
                [&] { return open_with(path, dir, 0, ProgressLog::callback, &log) ? 0 : -1; }, 0, -1);
        }
        Session session = open_with(path, dir, flags, ProgressLog::callback, &log);
        ASSERT_NE(session, nullptr);
        skarn_session_struct *s = session.get();
        ASSERT_GT(skarn_edit_insert_string(s, 3 * MiB, "\r\nNEW\r\n"), 0);
        ASSERT_GT(skarn_edit_delete(s, 9 * MiB, 1000), 0);
        const std::string target = dir.file("out.txt");
        const std::string name = flags == 0 ? "copy session" : "in-place session";
        SCOPED_TRACE(name);

        cancel_at_every_call(
            "save", PROGRESS_OP_SAVE, dir, s, log,
            [&] { return skarn_edit_save(s, target.c_str(), IO_FLG_OVERWRITE, nullptr); }, 0, -13);
        fs::remove(target);
        cancel_at_every_call(
            "checkpoint", PROGRESS_OP_CHECKPOINT, dir, s, log, [&] { return skarn_edit_create_checkpoint(s); }, 0, -1);
        cancel_at_every_call(
            "transform", PROGRESS_OP_TRANSFORM, dir, s, log,
            [&] { return skarn_edit_apply_transform(s, upper_byte, nullptr, 5 * MiB, MiB); }, 0, -1);
        cancel_at_every_call(
            "replace", PROGRESS_OP_TRANSFORM, dir, s, log,
            [&] { return skarn_edit_replace_all(s, bytes("ab"), 2, bytes("XYZ"), 3, MiB, 0, 0) > 0 ? 0 : -1; }, 0, -1);
        skarn_character_counts_struct *counts = skarn_character_counts_create();
        cancel_at_every_call(
            "counts", PROGRESS_OP_CHARACTER_COUNTS, dir, s, log,
            [&] { return skarn_session_character_counts(s, counts, 0, 0, BOM_NONE); }, 0, 1);
        skarn_character_counts_destroy(counts);
        int64_t profile[257];
        cancel_at_every_call(
            "profile", PROGRESS_OP_BYTE_PROFILE, dir, s, log,
            [&] { return skarn_session_byte_frequency_profile(s, profile, 0, 0); }, 0, 1);
        // A pattern that is not there: the search covers the whole range.
        skarn_search_context_struct *search = skarn_search_create_context(s, "0123", 4, 0, 0, 0, 0);
        ASSERT_NE(search, nullptr);
        cancel_at_every_call(
            "search", PROGRESS_OP_SEARCH, dir, s, log, [&] { return skarn_search_next_match(search, 1); }, 0, 0);
    }
}

// A progress callback is one of the session's callbacks: what it tries to
// change in the middle of a save or a checkpoint is refused, and the
// operation writes the content as it was when it began.
TEST(Progress, ChangesFromInsideTheCallbackAreRefused) {
    TempDir dir;
    std::mt19937_64 rng(5);
    const std::string content = random_bytes(rng, static_cast<size_t>(9 * MiB));
    const std::string path = dir.file("in.bin");
    write_file(path, content);
    struct attempt {
        skarn_session_struct *session = nullptr;
        int calls = 0;
        int accepted = 0;
    } tries;
    const auto meddle = [](int32_t, int64_t, int64_t, void *user) {
        auto &t = *static_cast<attempt *>(user);
        // Meddles once per operation: a checkpoint let through would call
        // back again from inside its own copy.
        if (t.session == nullptr || t.calls++ % 1000 != 0) return 0;
        if (skarn_edit_insert(t.session, 0, "x", 1) != 0) ++t.accepted;
        if (skarn_edit_undo_last_change(t.session) != 0) ++t.accepted;
        if (skarn_edit_create_checkpoint(t.session) != -1) ++t.accepted;
        return 0;
    };
    Session session = open_with(path, dir, SESSION_OPT_IN_PLACE, meddle, &tries);
    ASSERT_NE(session, nullptr);
    tries.session = session.get();
    ASSERT_GT(skarn_edit_delete(session.get(), MiB, 10), 0);
    const std::string expected = content.substr(0, MiB) + content.substr(MiB + 10);

    const std::string target = dir.file("out.bin");
    ASSERT_EQ(skarn_edit_save(session.get(), target.c_str(), IO_FLG_NONE, nullptr), 0);
    const int save_calls = tries.calls;
    tries.calls = 0;
    ASSERT_EQ(skarn_edit_create_checkpoint(session.get()), 0);
    EXPECT_GT(save_calls, 1);
    EXPECT_GT(tries.calls, 1);
    EXPECT_EQ(tries.accepted, 0);
    EXPECT_TRUE(slurp(target) == expected);
    EXPECT_TRUE(content_of(session.get()) == expected);
    EXPECT_EQ(skarn_session_get_num_changes(session.get()), 1);
    EXPECT_EQ(skarn_session_get_num_checkpoints(session.get()), 1);
}

// What a progress callback may still do (save, read) never changes the
// result of the operation it reports on, and what would free a record that
// operation uses (its search context, its counts record) is refused.
TEST(Progress, CallsFromInsideTheCallbackNeverChangeTheRunningOperation) {
    TempDir dir;
    const std::string content = random_letters(8);
    const std::string path = dir.file("in.txt");
    write_file(path, content);
    struct meddling {
        std::function<void()> act;
        bool inside = false;  // the act's own operations report progress too
    } meddle;
    const auto callback = [](int32_t, int64_t done, int64_t total, void *user) {
        auto &m = *static_cast<meddling *>(user);
        if (m.act && !m.inside && done > 0 && done < total) {
            m.inside = true;
            m.act();
            m.inside = false;
        }
        return 0;
    };
    for (const int32_t flags : {0, static_cast<int32_t>(SESSION_OPT_IN_PLACE)}) {
        SCOPED_TRACE(flags);
        Session session = open_with(path, dir, flags, callback, &meddle);
        ASSERT_NE(session, nullptr);
        skarn_session_struct *s = session.get();

        // A save in the middle of a transform writes the content before it
        // and leaves the transform's reading where it was.
        const std::string saved = dir.file("saved.txt");
        int saves = 0;
        meddle.act = [&] { saves += skarn_edit_save(s, saved.c_str(), IO_FLG_OVERWRITE, nullptr) == 0; };
        ASSERT_EQ(skarn_edit_apply_transform(s, upper_byte, nullptr, MiB, 10 * MiB), 0);
        EXPECT_GT(saves, 0);
        std::string expected = content;
        for (int64_t i = MiB; i < 11 * MiB; ++i)
            expected[static_cast<size_t>(i)] = static_cast<char>(std::toupper(expected[static_cast<size_t>(i)]));
        EXPECT_TRUE(content_of(s) == expected);
        EXPECT_TRUE(slurp(saved) == content);

        // Destroying the running search's context, or the counts record
        // being filled, is refused; both go on and are released afterwards.
        skarn_search_context_struct *search = skarn_search_create_context(s, "0123", 4, 0, 0, 0, 0);
        ASSERT_NE(search, nullptr);
        meddle.act = [&] { skarn_search_destroy_context(search); };
        ClogCapture log;
        EXPECT_EQ(skarn_search_next_match(search, 1), 0);
        EXPECT_THAT(log.str(), HasSubstr("skarn_search_destroy_context: refused"));
        EXPECT_EQ(skarn_search_context_get_pattern_length(search), 4);
        skarn_character_counts_struct *counts = skarn_character_counts_create();
        meddle.act = [&] { skarn_character_counts_destroy(counts); };
        testing::internal::CaptureStderr();
        EXPECT_EQ(skarn_session_character_counts(s, counts, 0, 0, BOM_NONE), 0);
        EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("refused"));
        EXPECT_EQ(skarn_character_counts_single_byte_chars(counts), 13 * MiB);
        meddle.act = nullptr;
        skarn_character_counts_destroy(counts);
        skarn_search_destroy_context(search);
        ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s), 0);
    }
}

// ---------------------------------------------------------------------------
// Windowed analysis against a reading of the whole range at once

// Counts and profile of [offset, offset + length) read in one piece and
// counted in one pass.
void whole_range(const skarn_session_struct *session, int64_t offset, int64_t length, skarn_bom_t bom, Counts &counts,
                 std::vector<int64_t> &profile) {
    skarn_character_counts_struct *record = skarn_character_counts_create();
    skarn_character_counts_set_BOM(record, bom);
    profile.assign(257, 0);
    const std::string range = skarn_session_get_segment_string(session, offset, length);
    skarn_util_count_characters(bytes_of(range), range.size(), record);
    uint8_t previous = 0;
    for (const char c : range) {
        const auto byte = static_cast<uint8_t>(c);
        if (previous == '\r' && byte == '\n') ++profile[256];
        ++profile[byte];
        previous = byte;
    }
    counts = read_counts(record);
    skarn_character_counts_destroy(record);
}

TEST(WindowedAnalysis, EqualsAReadingOfTheWholeRangeAcrossWindowAndPieceBoundaries) {
    TempDir dir;
    std::mt19937_64 rng(31);
    // Text rich in multi-byte characters, byte-order marks and CR LF pairs.
    std::string content;
    const std::array<std::string, 8> atoms = {
        "a", "\r\n", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xef\xbb\xbf", "\xff\xfe", "\r"};
    while (content.size() < static_cast<size_t>(3 * MiB)) content += atoms[rng() % atoms.size()];
    const std::string path = dir.file("text");
    write_file(path, content);
    Session session = open_with(path, dir, SESSION_OPT_IN_PLACE);
    ASSERT_NE(session, nullptr);
    // Edits that straddle the window boundaries, and pieces of odd sizes.
    for (const int64_t at : {MiB - 3, 2 * MiB - 1, MiB + 510, int64_t{511}}) {
        ASSERT_GT(skarn_edit_insert_string(session.get(), at, atoms[rng() % atoms.size()] + "\r"), 0);
        ASSERT_GT(skarn_edit_delete(session.get(), at + 700, 3), 0);
    }
    const int64_t size = skarn_session_get_computed_file_size(session.get());
    skarn_character_counts_struct *record = skarn_character_counts_create();
    for (int round = 0; round < 24; ++round) {
        const int64_t offset = round < 2 ? 0 : static_cast<int64_t>(rng() % static_cast<uint64_t>(size));
        const int64_t length =
            round % 3 == 0 ? 0 : 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(2 * MiB + 999));
        const auto bom = static_cast<skarn_bom_t>(rng() % 7);
        SCOPED_TRACE(testing::Message() << "offset " << offset << ", length " << length << ", bom " << bom);
        Counts expected;
        std::vector<int64_t> expected_profile;
        const int64_t counted = length == 0 ? size - offset : std::min(length, size - offset);
        whole_range(session.get(), offset, counted, bom, expected, expected_profile);

        EXPECT_EQ(skarn_session_character_counts(session.get(), record, offset, length, bom), 0);
        EXPECT_EQ(read_counts(record), expected);
        std::vector<int64_t> profile(257, -1);
        EXPECT_EQ(skarn_session_byte_frequency_profile(session.get(), profile.data(), offset, length), 0);
        EXPECT_EQ(profile, expected_profile);
    }
    skarn_character_counts_destroy(record);
}

// UTF-8 counting by the table of rules, one byte at a time: the model that the
// library's counter, which skips ASCII runs by words, must agree with.
Counts utf8_model(const std::string &text) {
    Counts c;
    const auto cont = [&](size_t i) { return i < text.size() && (static_cast<uint8_t>(text[i]) & 0xC0) == 0x80; };
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        if (lead < 0x80) {
            ++c.single, i += 1;
        } else if ((lead & 0xE0) == 0xC0) {
            cont(i + 1) ? (++c.dbl, i += 2) : (++c.invalid, i += 1);
        } else if ((lead & 0xF0) == 0xE0) {
            cont(i + 1) && cont(i + 2) ? (++c.triple, i += 3) : (++c.invalid, i += 1);
        } else {
            cont(i + 1) && cont(i + 2) && cont(i + 3) ? (++c.quad, i += 4) : (++c.invalid, i += 1);
        }
    }
    return c;
}

TEST(WindowedAnalysis, Utf8CountsOfMixedRunsMatchAByteByByteModel) {
    std::mt19937_64 rng(41);
    skarn_character_counts_struct *record = skarn_character_counts_create();
    for (int round = 0; round < 2000; ++round) {
        // ASCII runs of every length around a word, broken by other bytes.
        std::string text;
        const size_t parts = 1 + rng() % 6;
        for (size_t k = 0; k < parts; ++k) {
            text.append(rng() % 20, static_cast<char>('a' + rng() % 26));
            const std::string other = random_bytes(rng, rng() % 4);
            text += other;
        }
        skarn_character_counts_set_BOM(skarn_character_counts_reset(record), BOM_NONE);
        skarn_util_count_characters(bytes_of(text), text.size(), record);
        ASSERT_EQ(read_counts(record), utf8_model(text)) << testing::PrintToString(text);
    }
    skarn_character_counts_destroy(record);
}

}  // namespace
