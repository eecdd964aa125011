// Recovery from journals that are not as an interrupted save leaves them: cut
// short at every length, a byte flipped in each of their records, another
// file's journal, a foreign magic. None may be applied, none may crash the
// library, and each returns what skarn_util_recover_file's comment says. And
// a session created over a file whose save was interrupted recovers it first.
//
// The journals come from real saves stopped at a chosen sync by the fault
// stand-ins; their layout is the one stated at the top of
// core/src/lib/io/save_journal.cpp.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "crash_plan.hpp"
#include "fault_injection.hpp"
#include "io/in_place_save.hpp"
#include "support/test_support.hpp"

namespace {

using namespace skarn_test;

constexpr int64_t chunk_bytes = 512;
constexpr int exit_stopped = 86;

// The journal's layout.
constexpr size_t header_bytes = 96;
constexpr size_t header_checked_bytes = 92;  // the last 4 bytes are a zero field
constexpr size_t data_bytes_field = 80;      // the header's count of new bytes
constexpr size_t record_bytes = 40;
constexpr size_t progress_alignment = 4096;

// Syncs (fsync or fdatasync) of a save in place, counted from its start: the journal
// and its directory (the commit point), then per chunk the journal's
// progress record and the file.
constexpr int commit_point = 2;
constexpr int second_record_durable = 5;  // chunk 0 moved, the record of chunk 1 durable, chunk 1 not moved

// Recovery with syncs not forwarded: nothing crashes here, so their
// durability is not what is tested, and the loops over thousands of journals
// stay fast.
int recover(const std::string &path) {
    skarn_fault::arm_crash({});
    const int result = skarn_util_recover_file(path.c_str());
    skarn_fault::disarm_crash();
    return result;
}

std::string slurp(const std::string &path) { return fs::exists(path) ? read_file(path) : std::string(); }

// A file whose save in place stopped right after its `syncs`-th sync, with
// what the file and the journal held then.
struct Stopped {
    TempDir dir;
    std::string path = dir.file("doc.bin");
    std::string journal = dir.file(".doc.bin.skarn-journal");
    std::string old_content;
    std::string new_content;
    std::string file_then;
    std::string journal_then;

    explicit Stopped(int syncs) {
        std::mt19937_64 rng(5);
        old_content = random_bytes(rng, 24 * 1024);
        // One byte inserted near the front: every chunk's move overlaps its source.
        const std::string overwrite = random_bytes(rng, 100);
        new_content = old_content;
        new_content.insert(5, "+");
        new_content.replace(10000, overwrite.size(), overwrite);
        write_file(path, old_content);
        const pid_t child = fork();
        if (child == 0) save_and_stop(syncs, overwrite);
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == exit_stopped) << "status " << status;
        file_then = slurp(path);
        journal_then = slurp(journal);
    }

    [[noreturn]] void save_and_stop(int syncs, const std::string &overwrite) const {
        skarn::in_place_chunk_bytes = chunk_bytes;
        skarn_session_struct *session = skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, dir.str().c_str());
        if (session == nullptr || skarn_edit_insert(session, 5, "+", 0) <= 0 ||
            skarn_edit_overwrite_string(session, 10000, overwrite) <= 0) {
            _exit(1);
        }
        skarn_fault::act_after({skarn_fault::call_kind::fsync}, syncs, [] { _exit(exit_stopped); });
        skarn_edit_save(session, path.c_str(), IO_FLG_IN_PLACE | IO_FLG_OVERWRITE, nullptr);
        _exit(0);
    }

    // Puts the file back as the save left it, beside a journal holding `bytes`.
    void restore(const std::string &bytes) const {
        write_file(path, file_then);
        write_file(journal, bytes);
    }

    int64_t data_bytes() const {
        int64_t count = 0;
        std::memcpy(&count, journal_then.data() + data_bytes_field, sizeof count);
        return count;
    }
};

std::string flipped(std::string bytes, size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
    return bytes;
}

// What a journal that must not be applied leaves: the file as it was, and
// either the journal dropped (1: an incomplete save, the old content kept) or
// the journal kept for another look (-1).
void expect_not_applied(const Stopped &stopped, int result, const std::string &journal, const std::string &what) {
    EXPECT_EQ(slurp(stopped.path), stopped.file_then) << what;
    if (result == 1) {
        EXPECT_FALSE(fs::exists(stopped.journal)) << what;
        EXPECT_EQ(recover(stopped.path), 0) << what << ": a second recovery";
    } else {
        EXPECT_EQ(result, -1) << what;
        EXPECT_EQ(slurp(stopped.journal), journal) << what << ": the journal stays as it was";
    }
}

// What a journal of a committed save leaves: the new content, nothing after.
void expect_new_content(const Stopped &stopped, int result, const std::string &what) {
    EXPECT_EQ(result, 1) << what;
    EXPECT_TRUE(slurp(stopped.path) == stopped.new_content) << what;
    EXPECT_FALSE(fs::exists(stopped.journal)) << what;
    EXPECT_EQ(recover(stopped.path), 0) << what << ": a second recovery";
}

TEST(SaveJournal, StoppedAtTheCommitPointLeavesTheOldFileAndACompleteJournal) {
    const Stopped stopped(commit_point);
    ASSERT_EQ(stopped.file_then, stopped.old_content);
    ASSERT_GT(stopped.journal_then.size(), header_bytes);
    expect_new_content(stopped, recover(stopped.path), "the journal as written");
}

TEST(SaveJournal, CutShortAtEveryLengthIsNeverApplied) {
    const Stopped stopped(commit_point);
    const ClogCapture quiet;
    for (size_t length = 0; length < stopped.journal_then.size(); ++length) {
        const std::string cut = stopped.journal_then.substr(0, length);
        stopped.restore(cut);
        const int result = recover(stopped.path);
        expect_not_applied(stopped, result, cut, "cut to " + std::to_string(length) + " bytes");
        EXPECT_EQ(result, 1) << "an incomplete journal, cut to " << length << " bytes, is dropped";
        fs::remove(stopped.journal);
    }
}

TEST(SaveJournal, AFlippedByteInTheHeaderPlanOrNewBytesIsNeverApplied) {
    const Stopped stopped(commit_point);
    const std::string &journal = stopped.journal_then;
    const ClogCapture quiet;
    const size_t plan_begin = header_bytes + static_cast<size_t>(stopped.data_bytes());
    const size_t plan_checked_end = journal.size() - 4;  // the plan ends with a zero field
    for (size_t at = 0; at < plan_checked_end; ++at) {
        if (at >= header_checked_bytes && at < header_bytes) continue;
        const std::string damaged = flipped(journal, at);
        stopped.restore(damaged);
        const int result = recover(stopped.path);
        const char *part = at < header_bytes ? "header" : at < plan_begin ? "new bytes" : "plan";
        expect_not_applied(stopped, result, damaged,
                           std::string("a byte of the ") + part + " flipped at " + std::to_string(at));
        if (at < header_bytes) {
            EXPECT_EQ(result, -1) << "a damaged header fails, at " << at;
        }
        fs::remove(stopped.journal);
    }
}

TEST(SaveJournal, AFlippedByteInEitherProgressRecordStillGivesTheNewContent) {
    const Stopped stopped(second_record_durable);
    ASSERT_NE(stopped.file_then, stopped.old_content) << "the first chunk has moved";
    const size_t slot_bytes = record_bytes + static_cast<size_t>(chunk_bytes);
    const size_t base = (stopped.journal_then.size() - 2 * slot_bytes) / progress_alignment * progress_alignment;
    ASSERT_EQ(stopped.journal_then.size(), base + 2 * slot_bytes) << "both slots hold a record with saved bytes";
    const ClogCapture quiet;
    stopped.restore(stopped.journal_then);
    expect_new_content(stopped, recover(stopped.path), "as written");
    for (size_t at = base; at < stopped.journal_then.size(); ++at) {
        stopped.restore(flipped(stopped.journal_then, at));
        expect_new_content(stopped, recover(stopped.path), "a progress byte flipped at " + std::to_string(at));
    }
}

TEST(SaveJournal, AnotherFilesJournalOrAForeignMagicIsNeverApplied) {
    const Stopped stopped(commit_point);
    const std::string other = stopped.dir.file("other.bin");
    const std::string other_journal = stopped.dir.file(".other.bin.skarn-journal");
    write_file(other, stopped.old_content);
    write_file(other_journal, stopped.journal_then);
    EXPECT_EQ(recover(other), -1) << "another file's identity";
    EXPECT_EQ(slurp(other), stopped.old_content);
    EXPECT_EQ(slurp(other_journal), stopped.journal_then);

    std::string foreign = stopped.journal_then;
    foreign.replace(0, 8, "NOTOURS!");
    stopped.restore(foreign);
    expect_not_applied(stopped, recover(stopped.path), foreign, "a foreign magic");
    EXPECT_TRUE(fs::exists(stopped.journal)) << "a foreign journal is left alone";

    // A zeroed magic is what a save that gave up leaves: dropped.
    std::string abandoned = stopped.journal_then;
    abandoned.replace(0, 8, 8, '\0');
    stopped.restore(abandoned);
    const int result = recover(stopped.path);
    EXPECT_EQ(result, 1);
    expect_not_applied(stopped, result, abandoned, "a zeroed magic");
}

TEST(SaveJournal, ASessionOverAFileWithAnInterruptedSaveRecoversItFirst) {
    for (const int syncs : {commit_point, second_record_durable}) {
        const Stopped stopped(syncs);
        const Session session = open_session(stopped.path, stopped.dir);
        ASSERT_TRUE(session) << "stopped after sync " << syncs;
        EXPECT_TRUE(content_of(session.get()) == stopped.new_content) << "stopped after sync " << syncs;
        EXPECT_FALSE(fs::exists(stopped.journal));
        EXPECT_TRUE(slurp(stopped.path) == stopped.new_content);
    }
}

TEST(SaveJournal, ASessionOverAFileWhoseRecoveryFailsIsNotCreated) {
    const Stopped stopped(commit_point);
    const std::string damaged = flipped(stopped.journal_then, 20);  // inside the header's checked bytes
    stopped.restore(damaged);
    EXPECT_FALSE(open_session(stopped.path, stopped.dir));
    EXPECT_EQ(slurp(stopped.path), stopped.old_content);
    EXPECT_EQ(slurp(stopped.journal), damaged);
}

}  // namespace
