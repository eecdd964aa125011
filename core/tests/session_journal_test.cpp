// Journaled sessions: a session killed at any step resumes as it was when its
// last call returned; a journal cut short or damaged resumes up to its last
// whole record, or is refused; a session that ends leaves nothing behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace {

using namespace skarn_test;

Session open_journaled(const std::string &path, const TempDir &dir, int32_t flags = 0) {
    const std::string directory = dir.str();
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = SESSION_OPT_JOURNAL | flags;
    options.checkpoint_directory = directory.c_str();
    return Session(skarn_edit_create_session_with_options(path.c_str(), &options));
}

Session resume(const std::string &journal) { return Session(skarn_edit_resume_session(journal.c_str(), nullptr)); }

uint8_t flip_case(uint8_t byte, void *) { return static_cast<uint8_t>(byte ^ 0x20); }

// A random script of every kind of call that changes a session. Its draws
// depend only on the seed and the session's state, so the same seed gives
// the same calls on two sessions in the same state.
class Script {
public:
    explicit Script(uint64_t seed) : rng_(seed) {}

    void step(skarn_session_struct *s) {
        const int64_t size = skarn_session_get_computed_file_size(s);
        const int64_t offset = draw(0, size);
        const int64_t pick = draw(0, 99);
        if (pick < 1) {
            skarn_edit_clear_changes(s);
        } else if (pick < 4) {
            skarn_edit_create_checkpoint(s);
        } else if (pick < 6) {
            skarn_edit_destroy_last_checkpoint(s);
        } else if (pick < 7) {
            if (size > 0)
                skarn_edit_apply_transform(s, flip_case, nullptr, offset % size, draw(1, size - offset % size));
        } else if (pick < 8) {
            const std::string pattern = random_bytes(rng_, 1);
            const std::string replacement = random_bytes(rng_, static_cast<size_t>(draw(0, 3)));
            skarn_edit_replace_all(s, bytes_of(pattern), 1, bytes_of(replacement),
                                   static_cast<int64_t>(replacement.size()), offset, draw(0, size - offset), 0);
        } else if (pick < 12) {
            skarn_session_begin_transaction(s);
        } else if (pick < 16) {
            skarn_session_end_transaction(s);
        } else if (pick < 28) {
            skarn_edit_undo_last_change(s);
        } else if (pick < 36) {
            skarn_edit_redo_last_undo(s);
        } else if (pick < 51) {
            if (size > 0) skarn_edit_delete(s, offset % size, draw(1, 64));
        } else if (pick < 66) {
            const std::string bytes = random_bytes(rng_, static_cast<size_t>(draw(1, 40)));
            skarn_edit_overwrite_bytes(s, offset, bytes_of(bytes), static_cast<int64_t>(bytes.size()));
        } else {
            const int64_t kind = draw(0, 9);
            const int64_t length = kind < 7 ? draw(1, 16) : kind < 9 ? draw(64, 300) : draw(4096, 9000);
            const std::string bytes = random_bytes(rng_, static_cast<size_t>(length));
            skarn_edit_insert_bytes(s, offset, bytes_of(bytes), length);
        }
    }

private:
    int64_t draw(int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(rng_); }
    std::mt19937_64 rng_;
};

// What a resumed session must have as its model had it.
struct State {
    std::string content;
    int64_t changes, undone, transactions, undone_transactions, checkpoints;
    int transaction_state;

    explicit State(const skarn_session_struct *s)
        : content(content_of(s)),
          changes(skarn_session_get_num_changes(s)),
          undone(skarn_session_get_num_undone_changes(s)),
          transactions(skarn_session_get_num_change_transactions(s)),
          undone_transactions(skarn_session_get_num_undone_change_transactions(s)),
          checkpoints(skarn_session_get_num_checkpoints(s)),
          transaction_state(skarn_session_get_transaction_state(s)) {}
    bool operator==(const State &) const = default;
};

std::ostream &operator<<(std::ostream &out, const State &s) {
    return out << "{" << s.content.size() << " bytes, changes " << s.changes << ", undone " << s.undone
               << ", transactions " << s.transactions << "/" << s.undone_transactions << ", checkpoints "
               << s.checkpoints << ", transaction state " << s.transaction_state << "}";
}

// Undoes everything, checkpoints included.
void undo_all(skarn_session_struct *s) {
    for (;;) {
        while (skarn_edit_undo_last_change(s) != 0) {
        }
        if (skarn_session_get_num_checkpoints(s) == 0 || skarn_edit_destroy_last_checkpoint(s) != 0) return;
    }
}

// Runs `steps` steps of the script of `seed` in a child over `file`,
// reporting each step that returned, and kills it once it has reported
// `kill_after`. Returns the last step it reported.
int run_and_kill(const std::string &file, const TempDir &dir, uint64_t seed, int steps, int kill_after) {
    int reports[2];
    if (::pipe(reports) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(reports[0]);
        Session session = open_journaled(file, dir);
        if (!session) ::_exit(2);
        Script script(seed);
        for (int32_t i = 1; i <= steps; ++i) {
            script.step(session.get());
            if (::write(reports[1], &i, sizeof i) != sizeof i) ::_exit(3);
        }
        for (;;) ::pause();
    }
    ::close(reports[1]);
    int32_t last = 0;
    int32_t report = 0;
    while (last < kill_after && ::read(reports[0], &report, sizeof report) == sizeof report) last = report;
    ::kill(child, SIGKILL);
    while (::read(reports[0], &report, sizeof report) == sizeof report) last = report;
    ::close(reports[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return last;
}

TEST(SessionJournal, ASessionKilledAtARandomStepResumesAsItWasAfterItsLastCall) {
    constexpr int seeds = 8;
    constexpr int steps = 1500;  // 12,000 steps in all
    // SKARN_JOURNAL_SEED picks other scripts and kill points, to search further.
    const char *seed_text = std::getenv("SKARN_JOURNAL_SEED");
    std::mt19937_64 rng(seed_text != nullptr ? std::strtoull(seed_text, nullptr, 10) : 20261209);
    for (uint64_t seed = 1; seed <= seeds; ++seed) {
        TempDir dir;
        const std::string file = dir.file("file.bin");
        const std::string original = random_bytes(rng, 3000);
        write_file(file, original);
        const int kill_after = std::uniform_int_distribution<int>(1, steps)(rng);
        const int reported = run_and_kill(file, dir, seed, steps, kill_after);
        ASSERT_GE(reported, kill_after) << "seed " << seed;

        char journal[SKARN_PATH_BUFFER_SIZE];
        ASSERT_EQ(skarn_util_find_journal(file.c_str(), dir.str().c_str(), journal), 1) << "seed " << seed;
        Session resumed = resume(journal);
        ASSERT_TRUE(resumed) << "seed " << seed;

        // The model: the same script on a session without a journal, up to
        // the last step reported, or the one after it when the child was
        // killed between its return and its report.
        Session model = open_session(file, dir);
        Script script(seed);
        for (int i = 0; i < reported; ++i) script.step(model.get());
        if (!(State(resumed.get()) == State(model.get())) && reported < steps) script.step(model.get());
        ASSERT_EQ(State(resumed.get()), State(model.get())) << "seed " << seed << ", step " << reported;

        const uint8_t byte = 'x';
        EXPECT_EQ(skarn_edit_insert_bytes(resumed.get(), 0, &byte, 1),
                  skarn_edit_insert_bytes(model.get(), 0, &byte, 1))
            << "the next change gets the next serial, seed " << seed;
        undo_all(resumed.get());
        EXPECT_EQ(content_of(resumed.get()), original) << "seed " << seed;
        model.reset();
        resumed.reset();
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"file.bin"}) << "a session that ended leaves nothing";
    }
}

// A child that makes a journaled session, runs `calls` on it and dies
// without ending it, leaving its journal behind.
template <typename Calls>
void leave_journal(const std::string &file, const TempDir &dir, Calls calls, int32_t flags = 0) {
    const pid_t child = ::fork();
    if (child == 0) {
        Session session = open_journaled(file, dir, flags);
        if (!session) ::_exit(2);
        calls(session.get());
        ::_exit(0);  // no destructor runs: as if killed
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Resumes `journal` in a child (so that the files stay for the next try)
// and tells whether it was refused (-1) or resumed with `expected` (1) or
// with something else (0).
int resume_in_child(const std::string &journal, const std::string &expected) {
    const pid_t child = ::fork();
    if (child == 0) {
        skarn_session_struct *s = skarn_edit_resume_session(journal.c_str(), nullptr);
        ::_exit(s == nullptr ? 3 : content_of(s) == expected ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status)) return -2;  // a crash
    return WEXITSTATUS(status) == 3 ? -1 : WEXITSTATUS(status);
}

TEST(SessionJournal, AJournalCutOrDamagedInItsLastRecordResumesUpToTheRecordBefore) {
    TempDir dir;
    const std::string file = dir.file("file.bin");
    write_file(file, "0123456789");
    const std::string last(100, 'L');
    leave_journal(file, dir, [&](skarn_session_struct *s) {
        skarn_edit_insert(s, 2, "ab", 2);
        skarn_edit_create_checkpoint(s);
        skarn_edit_delete(s, 0, 1);
        skarn_edit_insert_bytes(s, 5, bytes_of(last), static_cast<int64_t>(last.size()));
    });
    char found[SKARN_PATH_BUFFER_SIZE];
    ASSERT_EQ(skarn_util_find_journal(file.c_str(), dir.str().c_str(), found), 1);
    const std::string journal = found;
    const std::string whole = read_file(journal);
    const size_t record = 16 + 16 + last.size() + 1 + 4;  // the last insert's record
    ASSERT_GT(whole.size(), record);
    const std::string before = "1ab23456789";
    const std::string after = "1ab23" + last + "456789";
    ASSERT_EQ(resume_in_child(journal, after), 1);
    for (size_t cut = whole.size() - record; cut < whole.size(); ++cut) {
        write_file(journal, whole.substr(0, cut));
        ASSERT_EQ(resume_in_child(journal, before), 1) << "cut at " << cut;
    }
    for (size_t at = whole.size() - record; at < whole.size(); at += 7) {
        std::string damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        write_file(journal, damaged);
        ASSERT_EQ(resume_in_child(journal, before), 1) << "byte " << at << " flipped";
    }
    std::string damaged_header = whole;
    damaged_header[40] = static_cast<char>(damaged_header[40] ^ 0x01);
    write_file(journal, damaged_header);
    EXPECT_EQ(resume_in_child(journal, after), -1) << "a damaged header is refused";

    write_file(journal, whole);
    {
        Session live = resume(journal);
        ASSERT_TRUE(live);
        EXPECT_EQ(resume(journal), nullptr) << "a live session's journal is refused";
        EXPECT_EQ(skarn_util_find_journal(file.c_str(), dir.str().c_str(), found), 0);
        char described[SKARN_PATH_BUFFER_SIZE];
        EXPECT_EQ(skarn_util_describe_journal(journal.c_str(), described), 2);
        EXPECT_EQ(skarn_util_remove_journal(journal.c_str()), -1);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"file.bin"});

    leave_journal(file, dir, [](skarn_session_struct *s) { skarn_edit_insert(s, 0, "z", 1); });
    ASSERT_EQ(skarn_util_find_journal(file.c_str(), dir.str().c_str(), found), 1);
    write_file(file, "0123456789 changed");
    EXPECT_EQ(resume(found), nullptr) << "a changed caller's file is refused";
    EXPECT_EQ(skarn_util_remove_journal(found), 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"file.bin"}) << "removing a journal removes what it kept";
}

// Saves by rename and in place over the session's own file, for a private
// copy and for a file read in place (whose history then reads bytes the
// saves destroyed or replaced): the resumed session shows, saves and undoes
// as the one that died.
TEST(SessionJournal, SavesOverTheFileAreResumedWithTheFilesNewIdentity) {
    for (const int32_t flags : {0, int32_t{SESSION_OPT_IN_PLACE}}) {
        TempDir dir;
        const std::string file = dir.file("file.bin");
        write_file(file, "0123456789");
        leave_journal(
            file, dir,
            [&](skarn_session_struct *s) {
                skarn_edit_insert(s, 0, "ab", 2);
                skarn_edit_save(s, file.c_str(), IO_FLG_OVERWRITE, nullptr);
                skarn_edit_overwrite(s, 0, "X", 1);
                skarn_edit_delete(s, 5, 3);
                skarn_edit_save(s, file.c_str(), IO_FLG_IN_PLACE, nullptr);
                skarn_edit_delete(s, 0, 1);
                skarn_edit_create_checkpoint(s);
                skarn_edit_insert(s, 8, "!", 1);
                skarn_edit_save(s, file.c_str(), IO_FLG_IN_PLACE, nullptr);
            },
            flags);
        char found[SKARN_PATH_BUFFER_SIZE];
        ASSERT_EQ(skarn_util_find_journal(file.c_str(), dir.str().c_str(), found), 1) << "flags " << flags;
        Session resumed = resume(found);
        ASSERT_TRUE(resumed) << "flags " << flags;
        EXPECT_EQ(content_of(resumed.get()), "b0126789!") << "flags " << flags;
        EXPECT_EQ(skarn_session_get_num_changes(resumed.get()), 5);
        EXPECT_EQ(skarn_edit_overwrite(resumed.get(), 0, "B", 1), 6);
        EXPECT_EQ(skarn_edit_delete(resumed.get(), 2, 2), 7);  // the save destroys bytes the history shows
        EXPECT_EQ(skarn_edit_save(resumed.get(), file.c_str(), IO_FLG_IN_PLACE, nullptr), 0);
        EXPECT_EQ(read_file(file), "B06789!");
        undo_all(resumed.get());
        EXPECT_EQ(content_of(resumed.get()), "0123456789") << "flags " << flags;
        resumed.reset();
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"file.bin"}) << "flags " << flags;
    }
}

}  // namespace
