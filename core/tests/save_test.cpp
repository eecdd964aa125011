// Tests of saving: the whole content or a range of it, through a temporary
// file beside the target, with every result code, its message and what it
// leaves on disk.

#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using skarn_test::ClogCapture;
using skarn_test::content_of;
using skarn_test::directory_of_length;
using skarn_test::names_with_prefix;
using skarn_test::random_bytes;
using skarn_test::read_file;
using skarn_test::Session;
using skarn_test::TempDir;
using skarn_test::write_file;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// ---------------------------------------------------------------------------
// Fault injection: fdopen() and remove() are interposed so that a test can
// make one chosen stream creation or removal fail the way a lack of memory or
// a busy file would. Unarmed, both only forward to the C library.
// ---------------------------------------------------------------------------

namespace {

struct FaultHook {
    std::string fdopen_mode;  // fail streams made over a descriptor in this mode
    int fdopen_failures = 0;
    std::string remove_path;  // fail removals of exactly this path
    int remove_failures = 0;
};

FaultHook fault_hook;

template <typename Fn>
Fn next_symbol(const char *name) {
    auto *fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    if (fn == nullptr) std::abort();
    return fn;
}

}  // namespace

extern "C" FILE *fdopen(int fd, const char *mode) noexcept {
    using fdopen_fn = FILE *(*)(int, const char *);
    static const auto real = next_symbol<fdopen_fn>("fdopen");
    if (fault_hook.fdopen_failures > 0 && fault_hook.fdopen_mode == mode) {
        --fault_hook.fdopen_failures;
        errno = ENOMEM;
        return nullptr;
    }
    return real(fd, mode);
}

extern "C" int remove(const char *path) noexcept {
    using remove_fn = int (*)(const char *);
    static const auto real = next_symbol<remove_fn>("remove");
    if (fault_hook.remove_failures > 0 && path != nullptr && fault_hook.remove_path == path) {
        --fault_hook.remove_failures;
        errno = EBUSY;
        return -1;
    }
    return real(path);
}

namespace {

// The log line of one message of the save function.
std::string save_line(const std::string &message) { return "::skarn_edit_save_segment: " + message + "\n"; }

// Lowers the file size limit of the process for one scope, so that writes
// past `bytes` fail with EFBIG (the signal that would end the process is
// ignored meanwhile).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit old_{};
    void (*old_handler_)(int) = nullptr;
};

// Session events as they arrive; for a save, the text its pointer shows.
struct EventLog {
    struct Entry {
        int32_t event;
        const void *pointer;
        std::string text;
    };
    std::vector<Entry> entries;

    static void record(const skarn_session_struct *session, int32_t event, const void *pointer) {
        auto *log = static_cast<EventLog *>(skarn_session_get_user_data_ptr(session));
        std::string text = pointer != nullptr && event == SESSION_EVT_SAVE ? static_cast<const char *>(pointer) : "";
        log->entries.push_back({event, pointer, text});
    }
    size_t count(int32_t event) const {
        size_t n = 0;
        for (const auto &entry : entries) n += entry.event == event ? 1 : 0;
        return n;
    }
};

Session open_session(const std::string &path, const std::string &checkpoint_dir, EventLog *events = nullptr,
                     int32_t interest = ~0) {
    return Session(skarn_edit_create_session(path.empty() ? nullptr : path.c_str(),
                                             events != nullptr ? &EventLog::record : nullptr, events, interest,
                                             checkpoint_dir.c_str()));
}

std::vector<std::string> temp_files(const fs::path &dir) { return names_with_prefix(dir, ".Skarnpad_"); }

// The size of the largest regular file that process `pid` holds open in
// `dir` (named or not: an unnamed file shows there as "#<inode> (deleted)"),
// or -1.
int64_t size_of_file_written_in(pid_t pid, const fs::path &dir) {
    int64_t largest = -1;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const fs::path opened = fs::read_symlink(entry.path(), ec);
        if (ec || opened.parent_path() != dir) continue;
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            largest = std::max<int64_t>(largest, info.st_size);
        }
    }
    return largest;
}

// The fixture: a scratch directory with a checkpoint directory of its own, so
// that the only ".Skarnpad_" files in the scratch directory are the saves'.
class SaveTest : public ::testing::Test {
protected:
    SaveTest() { fs::create_directory(chk_dir()); }
    std::string chk_dir() const { return dir.file("chk"); }
    std::string path(const std::string &name) const { return dir.file(name); }

    // A session over a new file `name` holding `content`.
    Session session_over(const std::string &name, const std::string &content, EventLog *events = nullptr) {
        write_file(path(name), content);
        return open_session(path(name), chk_dir(), events);
    }

    TempDir dir;
};

// ---------------------------------------------------------------------------
// Content and ranges
// ---------------------------------------------------------------------------

TEST_F(SaveTest, WholeContentAfterEditsOfEveryKind) {
    Session s = session_over("in.txt", "0123456789");
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 5, "abc", 0), 0);               // inline bytes
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "a long insertion", 0), 0);  // bytes in a block
    ASSERT_GT(skarn_edit_delete(s.get(), 17, 2), 0);
    ASSERT_GT(skarn_edit_overwrite(s.get(), 25, "XYZ", 0), 0);  // runs past the end
    const std::string expected = content_of(s.get());
    ASSERT_EQ(expected, "a long insertion034abc567XYZ");

    EXPECT_EQ(skarn_edit_save(s.get(), path("out.txt").c_str(), IO_FLG_NONE, nullptr), 0);
    EXPECT_EQ(read_file(path("out.txt")), expected);
    EXPECT_EQ(content_of(s.get()), expected) << "a save changes nothing in the session";
    EXPECT_EQ(skarn_session_get_num_changes(s.get()), 4);
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, SessionOverNothingWritesEmptyFile) {
    Session s = open_session("", chk_dir());
    ASSERT_TRUE(s);
    EXPECT_EQ(skarn_edit_save(s.get(), path("empty.bin").c_str(), IO_FLG_NONE, nullptr), 0);
    ASSERT_TRUE(fs::is_regular_file(path("empty.bin")));
    EXPECT_EQ(fs::file_size(path("empty.bin")), 0u);
}

TEST_F(SaveTest, ContentWithZeroBytesIsSavedExactly) {
    const std::string data("\0\x01\xff\0tail\0", 9);
    Session s = session_over("in.bin", data);
    ASSERT_TRUE(s);
    const std::string inserted("\0\0\x7f", 3);
    ASSERT_GT(skarn_edit_insert_string(s.get(), 4, inserted), 0);
    EXPECT_EQ(skarn_edit_save(s.get(), path("out.bin").c_str(), IO_FLG_NONE, nullptr), 0);
    EXPECT_EQ(read_file(path("out.bin")), data.substr(0, 4) + inserted + data.substr(4));
}

TEST_F(SaveTest, OffsetAtTheEndWritesEmptyFile) {
    Session s = session_over("in.txt", "0123456789");
    ASSERT_TRUE(s);
    EXPECT_EQ(skarn_edit_save_segment(s.get(), path("out.txt").c_str(), IO_FLG_NONE, nullptr, 10, 0), 0);
    EXPECT_EQ(read_file(path("out.txt")), "");
}

TEST_F(SaveTest, OffsetPastTheEndIsRefused) {
    Session s = session_over("in.txt", "0123456789");
    ASSERT_TRUE(s);
    ClogCapture log;
    EXPECT_EQ(skarn_edit_save_segment(s.get(), path("out.txt").c_str(), IO_FLG_NONE, nullptr, 11, 0), -1);
    EXPECT_THAT(log.str(),
                HasSubstr(save_line("invalid offset: 11, length: 0, adjusted_length: -1, computed_file_size: 10")));
    EXPECT_THAT(log.str(), ContainsRegex("^[a-z_]+\\.cpp@[0-9]+::skarn_edit_save_segment: "));
    EXPECT_FALSE(fs::exists(path("out.txt")));
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, NegativeOffsetIsRefused) {
    Session s = session_over("in.txt", "0123456789");
    ASSERT_TRUE(s);
    ClogCapture log;
    EXPECT_EQ(skarn_edit_save_segment(s.get(), path("a.txt").c_str(), IO_FLG_NONE, nullptr, -1, 0), -1);
    EXPECT_EQ(skarn_edit_save_segment(s.get(), path("b.txt").c_str(), IO_FLG_NONE, nullptr, -3, 2), -1);
    EXPECT_THAT(log.str(),
                HasSubstr(save_line("invalid offset: -1, length: 0, adjusted_length: 11, computed_file_size: 10")));
    EXPECT_THAT(log.str(),
                HasSubstr(save_line("invalid offset: -3, length: 2, adjusted_length: 2, computed_file_size: 10")));
    EXPECT_FALSE(fs::exists(path("a.txt")));
    EXPECT_FALSE(fs::exists(path("b.txt")));
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, RangeAcrossSegmentsAndLengthCutAtTheEnd) {
    Session s = session_over("in.txt", "0123456789");
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 4, "ABCDEFGHIJ", 0), 0);  // 0123ABCDEFGHIJ456789
    ASSERT_GT(skarn_edit_insert(s.get(), 16, "xy", 0), 0);         // 0123ABCDEFGHIJ45xy6789
    const std::string all = content_of(s.get());
    ASSERT_EQ(all, "0123ABCDEFGHIJ45xy6789");

    struct Case {
        int64_t offset, length;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {2, 5, "23ABC"},          // read segment into an insert
        {6, 12, "CDEFGHIJ45xy"},  // inside one insert to the end of another
        {13, 6, "J45xy6"},        // three segments
        {0, 1, "0"},              // first byte only
        {21, 1, "9"},             // last byte only
        {17, 100, "y6789"},       // cut at the end
        {5, -7, all.substr(5)},   // below 1: to the end
        {0, 22, all},             // exactly everything
        {4, 10, "ABCDEFGHIJ"},    // exactly one segment
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string out = path("range" + std::to_string(i));
        ASSERT_EQ(skarn_edit_save_segment(s.get(), out.c_str(), IO_FLG_NONE, nullptr, cases[i].offset, cases[i].length),
                  0)
            << "case " << i;
        EXPECT_EQ(read_file(out), cases[i].expected) << "offset " << cases[i].offset << " length " << cases[i].length;
    }
}

// ---------------------------------------------------------------------------
// Targets: directories, numbered names, flags and the saved path
// ---------------------------------------------------------------------------

TEST_F(SaveTest, MissingDirectoryIsCreatedWithItsParents) {
    Session s = session_over("in.txt", "hello");
    ASSERT_TRUE(s);
    const std::string out = path("a/b/c/out.txt");
    EXPECT_EQ(skarn_edit_save(s.get(), out.c_str(), IO_FLG_NONE, nullptr), 0);
    EXPECT_EQ(read_file(out), "hello");
    EXPECT_TRUE(temp_files(path("a/b/c")).empty());
}

TEST_F(SaveTest, ExistingTargetGetsNumberedNamesAndBufferHoldsTheNameUsed) {
    Session s = session_over("in.txt", "new content");
    ASSERT_TRUE(s);
    write_file(path("out.dat"), "old");
    fs::create_directory(path("sub"));
    // A path that is not in normal form: the buffer gets the canonical one.
    const std::string target = path("sub/../out.dat");
    const std::string canonical_dir = fs::canonical(dir.path()).string();

    char saved[SKARN_PATH_BUFFER_SIZE];
    ASSERT_EQ(skarn_edit_save(s.get(), target.c_str(), IO_FLG_NONE, saved), 0);
    EXPECT_STREQ(saved, (canonical_dir + "/out-1.dat").c_str());
    ASSERT_EQ(skarn_edit_save(s.get(), target.c_str(), IO_FLG_NONE, saved), 0);
    EXPECT_STREQ(saved, (canonical_dir + "/out-2.dat").c_str());

    EXPECT_EQ(read_file(path("out.dat")), "old");
    EXPECT_EQ(read_file(path("out-1.dat")), "new content");
    EXPECT_EQ(read_file(path("out-2.dat")), "new content");
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, BareFileNameSavesInTheCurrentDirectory) {
    Session s = session_over("in.txt", "cwd content");
    ASSERT_TRUE(s);
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    char saved[SKARN_PATH_BUFFER_SIZE];
    const int result = skarn_edit_save(s.get(), "bare.txt", IO_FLG_NONE, saved);
    fs::current_path(previous);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(read_file(path("bare.txt")), "cwd content");
    EXPECT_STREQ(saved, (fs::canonical(dir.path()) / "bare.txt").c_str());
}

TEST_F(SaveTest, OverwriteFlagsAndIgnoredBits) {
    Session s = session_over("in.txt", "fresh");
    ASSERT_TRUE(s);
    struct Case {
        int flags;
        bool replaces;
    };
    const std::vector<Case> cases = {{IO_FLG_NONE, false},
                                     {IO_FLG_OVERWRITE, true},
                                     {IO_FLG_FORCE_OVERWRITE, true},  // implies overwriting on its own
                                     {IO_FLG_OVERWRITE | IO_FLG_FORCE_OVERWRITE, true},
                                     {8, false},  // 4 is IO_FLG_IN_PLACE
                                     {0x70, false},
                                     {8 | IO_FLG_OVERWRITE, true},
                                     {0x40 | IO_FLG_FORCE_OVERWRITE, true}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const fs::path case_dir = dir.path() / ("case" + std::to_string(i));
        fs::create_directory(case_dir);
        const std::string target = (case_dir / "t.txt").string();
        write_file(target, "stale");
        ASSERT_EQ(skarn_edit_save(s.get(), target.c_str(), cases[i].flags, nullptr), 0) << "flags " << cases[i].flags;
        if (cases[i].replaces) {
            EXPECT_EQ(read_file(target), "fresh") << "flags " << cases[i].flags;
            EXPECT_FALSE(fs::exists(case_dir / "t-1.txt")) << "flags " << cases[i].flags;
        } else {
            EXPECT_EQ(read_file(target), "stale") << "flags " << cases[i].flags;
            EXPECT_EQ(read_file((case_dir / "t-1.txt").string()), "fresh") << "flags " << cases[i].flags;
        }
    }
}

TEST_F(SaveTest, SaveEventCarriesTheBufferOrNull) {
    EventLog events;
    Session s = session_over("in.txt", "evt", &events);
    ASSERT_TRUE(s);
    char saved[SKARN_PATH_BUFFER_SIZE];
    ASSERT_EQ(skarn_edit_save(s.get(), path("one.txt").c_str(), IO_FLG_NONE, saved), 0);
    ASSERT_EQ(events.count(SESSION_EVT_SAVE), 1u);
    EXPECT_EQ(events.entries.back().event, SESSION_EVT_SAVE);
    EXPECT_EQ(events.entries.back().pointer, static_cast<const void *>(saved));
    EXPECT_EQ(events.entries.back().text, fs::canonical(path("one.txt")).string());

    ASSERT_EQ(skarn_edit_save(s.get(), path("two.txt").c_str(), IO_FLG_NONE, nullptr), 0);
    ASSERT_EQ(events.count(SESSION_EVT_SAVE), 2u);
    EXPECT_EQ(events.entries.back().pointer, nullptr);

    // Not announced outside the interest, nor for a failed save.
    skarn_session_set_event_interest(s.get(), ~SESSION_EVT_SAVE);
    ASSERT_EQ(skarn_edit_save(s.get(), path("three.txt").c_str(), IO_FLG_NONE, nullptr), 0);
    skarn_session_set_event_interest(s.get(), ~0);
    ClogCapture log;
    ASSERT_EQ(skarn_edit_save_segment(s.get(), path("four.txt").c_str(), IO_FLG_NONE, nullptr, 99, 0), -1);
    EXPECT_EQ(events.count(SESSION_EVT_SAVE), 2u);
}

TEST_F(SaveTest, SavedPathBufferIsEmptiedByAFailedSave) {
    Session s = session_over("in.txt", "abc");
    ASSERT_TRUE(s);
    char saved[SKARN_PATH_BUFFER_SIZE];
    std::strcpy(saved, "left over from before");
    ClogCapture log;
    fs::create_directory(path("occupied"));
    EXPECT_EQ(skarn_edit_save(s.get(), path("occupied").c_str(), IO_FLG_NONE, saved), -12);
    EXPECT_STREQ(saved, "");
}

// ---------------------------------------------------------------------------
// Saving over the session's own file
// ---------------------------------------------------------------------------

uint8_t upper_case(uint8_t byte, void *) { return static_cast<uint8_t>(std::toupper(byte)); }

class OwnFileTest : public SaveTest {
protected:
    // The original checkpoint: the session's private copy of its file.
    fs::path original_checkpoint() const {
        const auto names = names_with_prefix(chk_dir(), ".Skarnpad-orig.");
        return names.size() == 1 ? fs::path(chk_dir()) / names.front() : fs::path();
    }

    // Another program rewrites the session's file after the session began.
    void rewrite_by_another_program(const std::string &name, const std::string &content) {
        write_file(path(name), content);
        fs::last_write_time(path(name), fs::file_time_type::clock::now() + 10s);
    }
};

TEST_F(OwnFileTest, ModifiedOnDiskRefusesUnlessForced) {
    EventLog events;
    Session s = session_over("doc.txt", "session start", &events);
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, ">> ", 0), 0);
    rewrite_by_another_program("doc.txt", "written elsewhere");
    const auto written_time = fs::last_write_time(path("doc.txt"));
    const auto checkpoint_time = fs::last_write_time(original_checkpoint());

    {
        ClogCapture log;
        char saved[SKARN_PATH_BUFFER_SIZE];
        EXPECT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_OVERWRITE, saved), -100);
        EXPECT_THAT(log.str(), HasSubstr(save_line("original file '" + path("doc.txt") +
                                                   "' has been modified since the session was created, save failed "
                                                   "(use IO_FLG_FORCE_OVERWRITE to override)")));
        EXPECT_STREQ(saved, "");
    }
    // The same file under another spelling is still the session's own.
    const std::string other_spelling = dir.str() + "/./doc.txt";
    {
        ClogCapture log;
        EXPECT_EQ(skarn_edit_save(s.get(), other_spelling.c_str(), IO_FLG_OVERWRITE, nullptr), -100);
    }
    EXPECT_EQ(read_file(path("doc.txt")), "written elsewhere");
    EXPECT_EQ(fs::last_write_time(path("doc.txt")), written_time);
    EXPECT_EQ(fs::last_write_time(original_checkpoint()), checkpoint_time);
    EXPECT_TRUE(temp_files(dir.path()).empty());
    EXPECT_EQ(events.count(SESSION_EVT_SAVE), 0u);
    EXPECT_EQ(content_of(s.get()), ">> session start");

    // Forced, it replaces the file.
    ASSERT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_FORCE_OVERWRITE, nullptr), 0);
    EXPECT_EQ(read_file(path("doc.txt")), ">> session start");
    // The private copy is left as it was: the session remembers the new file instead.
    EXPECT_EQ(fs::last_write_time(original_checkpoint()), checkpoint_time);
    EXPECT_EQ(read_file(original_checkpoint().string()), "session start");

    // So a plain overwrite right after succeeds, also after more edits.
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "again ", 0), 0);
    ASSERT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_OVERWRITE, nullptr), 0);
    EXPECT_EQ(read_file(path("doc.txt")), "again >> session start");
    EXPECT_FALSE(fs::exists(path("doc-1.txt")));
}

TEST_F(OwnFileTest, UnmodifiedFileIsOverwrittenWithoutForce) {
    Session s = session_over("doc.txt", "abc");
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_delete(s.get(), 0, 1), 0);
    ASSERT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_OVERWRITE, nullptr), 0);
    EXPECT_EQ(read_file(path("doc.txt")), "bc");
    // The session still reads its private copy, not the file just written.
    EXPECT_EQ(skarn_edit_undo_last_change(s.get()), -1);
    EXPECT_EQ(content_of(s.get()), "abc");
}

TEST_F(OwnFileTest, OutsideChangeIsSeenAtEveryLevelAndWithAnOlderTime) {
    Session s = session_over("doc.txt", "base");
    ASSERT_TRUE(s);
    const auto original_time = fs::last_write_time(path("doc.txt"));
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    ASSERT_GT(skarn_edit_insert(s.get(), 4, "+1", 0), 0);
    // Another program rewrites the file and puts the old time back (cp -p).
    write_file(path("doc.txt"), "someone's");
    fs::last_write_time(path("doc.txt"), original_time);
    {
        ClogCapture log;
        EXPECT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_OVERWRITE, nullptr), -100);
    }
    ASSERT_EQ(skarn_edit_apply_transform(s.get(), &upper_case, nullptr, 0, 0), 0);
    {
        ClogCapture log;
        EXPECT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_OVERWRITE, nullptr), -100);
    }
    EXPECT_EQ(read_file(path("doc.txt")), "someone's");

    // Forced, it is replaced; the session then knows the new file, so plain
    // overwrites go on working, also when its time lies in the future.
    ASSERT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_FORCE_OVERWRITE, nullptr), 0);
    EXPECT_EQ(read_file(path("doc.txt")), "BASE+1");
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "a", 0), 0);
    ASSERT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_OVERWRITE, nullptr), 0);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "b", 0), 0);
    ASSERT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_OVERWRITE, nullptr), 0);
    EXPECT_EQ(read_file(path("doc.txt")), "baBASE+1");
}

TEST_F(OwnFileTest, FutureModificationTimeIsNoOutsideChange) {
    write_file(path("doc.txt"), "dated ahead");
    fs::last_write_time(path("doc.txt"), fs::file_time_type::clock::now() + 3600s);
    Session s = open_session(path("doc.txt"), chk_dir());
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "x", 0), 0);
    EXPECT_EQ(skarn_edit_save(s.get(), path("doc.txt").c_str(), IO_FLG_OVERWRITE, nullptr), 0);
    EXPECT_EQ(read_file(path("doc.txt")), "xdated ahead");
}

// ---------------------------------------------------------------------------
// Result codes and what each leaves on disk
// ---------------------------------------------------------------------------

TEST_F(SaveTest, TargetUnderARegularFileGivesMinus2) {
    Session s = session_over("in.txt", "data");
    ASSERT_TRUE(s);
    write_file(path("blocker"), "a file, not a directory");
    const std::string target = path("blocker/sub/out.txt");
    ClogCapture log;
    EXPECT_EQ(skarn_edit_save(s.get(), target.c_str(), IO_FLG_NONE, nullptr), -2);
    EXPECT_THAT(log.str(), HasSubstr(save_line("failed to create directory: " + path("blocker/sub"))));
    EXPECT_EQ(read_file(path("blocker")), "a file, not a directory");
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, TemporaryNameOf259CharactersFitsAnd260DoNot) {
    Session s = session_over("in.txt", "data");
    ASSERT_TRUE(s);
    const std::string template_tail = "/.Skarnpad_XXXXXX";  // 17 characters
    const std::string fits = directory_of_length(dir.str(), 259 - template_tail.size(), 'f');
    const std::string too_long = directory_of_length(dir.str(), 260 - template_tail.size(), 'g');
    ASSERT_EQ(fits.size() + template_tail.size(), 259u);
    ASSERT_EQ(too_long.size() + template_tail.size(), 260u);

    EXPECT_EQ(skarn_edit_save(s.get(), (fits + "/out.txt").c_str(), IO_FLG_NONE, nullptr), 0);
    EXPECT_EQ(read_file(fits + "/out.txt"), "data");

    ClogCapture log;
    EXPECT_EQ(skarn_edit_save(s.get(), (too_long + "/out.txt").c_str(), IO_FLG_NONE, nullptr), -3);
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_save_segment: Windows error code="));
    // The directory was made in step 4 and stays; nothing is in it.
    ASSERT_TRUE(fs::is_directory(too_long));
    EXPECT_TRUE(fs::is_empty(too_long));
}

TEST_F(SaveTest, TemporaryFileThatCannotBeCreatedGivesMinus4) {
    if (!fs::is_directory("/proc/self")) GTEST_SKIP() << "needs /proc, where no file can be created";
    Session s = session_over("in.txt", "data");
    ASSERT_TRUE(s);
    ClogCapture log;
    EXPECT_EQ(skarn_edit_save(s.get(), "/proc/skarn_out.txt", IO_FLG_NONE, nullptr), -4);
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_save_segment: mkstemp failed, temp filename: /proc/.Skarnpad_"));
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_save_segment: Windows error code="));
    EXPECT_FALSE(fs::exists("/proc/skarn_out.txt"));
}

// The temporary file is written through the descriptor that created it: a
// save needs no stream, so a failure to make one (as memory runs short)
// cannot fail it, and -5 is no longer returned.
TEST_F(SaveTest, TemporaryFileIsWrittenWithoutAStream) {
    Session s = session_over("in.txt", "data");
    ASSERT_TRUE(s);
    write_file(path("out.txt"), "old");
    fault_hook = FaultHook{};
    fault_hook.fdopen_mode = "wb";
    fault_hook.fdopen_failures = 1;
    const int result = skarn_edit_save(s.get(), path("out.txt").c_str(), IO_FLG_OVERWRITE, nullptr);
    const int unused_failures = fault_hook.fdopen_failures;
    fault_hook = FaultHook{};
    EXPECT_EQ(unused_failures, 1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(path("out.txt")), "data");
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, ReadSegmentThatCannotBeCopiedGivesMinus6AndTemporaryIsRemoved) {
    std::mt19937_64 rng(6);
    Session s = session_over("in.bin", random_bytes(rng, 3 << 20));
    ASSERT_TRUE(s);
    write_file(path("out.bin"), "old target");
    ClogCapture log;
    int result = 0;
    {
        FileSizeLimit limit(64 << 10);
        result = skarn_edit_save(s.get(), path("out.bin").c_str(), IO_FLG_OVERWRITE, nullptr);
    }
    EXPECT_EQ(result, -6);
    EXPECT_THAT(log.str(), HasSubstr(save_line("skarn_util_write_segment_to_file failed")));
    EXPECT_EQ(read_file(path("out.bin")), "old target");
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, InsertedBytesThatCannotBeWrittenGiveMinus7AndTemporaryIsRemoved) {
    Session s = open_session("", chk_dir());
    ASSERT_TRUE(s);
    std::mt19937_64 rng(7);
    ASSERT_GT(skarn_edit_insert_string(s.get(), 0, random_bytes(rng, 3 << 20)), 0);
    write_file(path("out.bin"), "old target");
    ClogCapture log;
    int result = 0;
    {
        FileSizeLimit limit(64 << 10);
        result = skarn_edit_save(s.get(), path("out.bin").c_str(), IO_FLG_OVERWRITE, nullptr);
    }
    EXPECT_EQ(result, -7);
    EXPECT_THAT(log.str(), HasSubstr(save_line("fwrite failed")));
    EXPECT_EQ(read_file(path("out.bin")), "old target");
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, WriteFailingAtTheFlushGivesMinus7AndTemporaryIsRemoved) {
    Session s = open_session("", chk_dir());
    ASSERT_TRUE(s);
    std::mt19937_64 rng(9);
    // Small enough to sit in the output stream's 64 KiB buffer until the
    // flush, whose write then stops at the limit.
    ASSERT_GT(skarn_edit_insert_string(s.get(), 0, random_bytes(rng, 60000)), 0);
    write_file(path("out.bin"), "old target");
    ClogCapture log;
    int result = 0;
    {
        FileSizeLimit limit(16384);
        result = skarn_edit_save(s.get(), path("out.bin").c_str(), IO_FLG_OVERWRITE, nullptr);
    }
    EXPECT_EQ(result, -7);
    EXPECT_TRUE(temp_files(dir.path()).empty());
    EXPECT_THAT(log.str(),
                HasSubstr(save_line("Windows error code=" + std::to_string(EFBIG) + ": " + std::strerror(EFBIG))));
    EXPECT_EQ(read_file(path("out.bin")), "old target");
}

TEST_F(SaveTest, OverwriteNeverRemovesTheTargetFirst) {
    Session s = session_over("in.txt", "replacement");
    ASSERT_TRUE(s);
    write_file(path("busy.txt"), "in use");
    fs::permissions(path("busy.txt"), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_exec);
    fault_hook = FaultHook{};
    fault_hook.remove_path = path("busy.txt");
    fault_hook.remove_failures = 1;
    const int result = skarn_edit_save(s.get(), path("busy.txt").c_str(), IO_FLG_OVERWRITE, nullptr);
    const int unused = fault_hook.remove_failures;
    fault_hook = FaultHook{};
    EXPECT_EQ(result, 0);
    EXPECT_EQ(unused, 1) << "the rename alone replaces the target";
    EXPECT_EQ(read_file(path("busy.txt")), "replacement");
    // The replaced file's permission bits carry over.
    EXPECT_EQ(fs::status(path("busy.txt")).permissions() & fs::perms::mask,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::others_exec);
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, NoFreeNumberedNameGivesMinus11AndTemporaryIsRemoved) {
    Session s = session_over("in.txt", "one more");
    ASSERT_TRUE(s);
    write_file(path("out.dat"), "original");
    for (int i = 1; i <= 999; ++i) write_file(path("out-" + std::to_string(i) + ".dat"), "");
    ClogCapture log;
    EXPECT_EQ(skarn_edit_save(s.get(), path("out.dat").c_str(), IO_FLG_NONE, nullptr), -11);
    EXPECT_THAT(log.str(), HasSubstr(save_line("cannot find an available filename")));
    EXPECT_EQ(read_file(path("out.dat")), "original");
    EXPECT_EQ(read_file(path("out-999.dat")), "");
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST_F(SaveTest, DirectoryAsTargetGivesMinus12AndTemporaryIsRemoved) {
    Session s = session_over("in.txt", "for a directory");
    ASSERT_TRUE(s);
    for (const int flags : {IO_FLG_NONE, IO_FLG_OVERWRITE}) {
        const fs::path case_dir = dir.path() / ("flags" + std::to_string(flags));
        fs::create_directories(case_dir / "target");
        ClogCapture log;
        EXPECT_EQ(skarn_edit_save(s.get(), (case_dir / "target").c_str(), flags, nullptr), -12);
        EXPECT_THAT(log.str(), HasSubstr(save_line("Windows error code=" + std::to_string(EISDIR) + ": " +
                                                   std::strerror(EISDIR))));
        EXPECT_TRUE(fs::is_directory(case_dir / "target"));
        EXPECT_TRUE(fs::is_empty(case_dir / "target"));
        EXPECT_TRUE(temp_files(case_dir).empty());
    }
}

// A rename over a special file would replace the node itself by a regular
// file: such a target is refused, with or without overwrite.
TEST_F(SaveTest, SpecialFileAsTargetIsNeverReplaced) {
    Session s = session_over("in.txt", "for a special file");
    ASSERT_TRUE(s);
    std::vector<fs::path> targets;
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    targets.push_back(path("fifo"));
    // A block device node (loop device 0), where this process may make one.
    if (::mknod(path("block").c_str(), S_IFBLK | 0600, makedev(7, 0)) == 0) targets.push_back(path("block"));
    for (const fs::path &target : targets) {
        const fs::file_type type = fs::symlink_status(target).type();
        for (const int flags : {IO_FLG_NONE, IO_FLG_OVERWRITE, IO_FLG_FORCE_OVERWRITE}) {
            ClogCapture log;
            EXPECT_EQ(skarn_edit_save(s.get(), target.c_str(), flags, nullptr), -12) << target;
            EXPECT_THAT(log.str(), HasSubstr(save_line("'" + target.string() +
                                                       "' is a device, FIFO or socket, not a regular file: save "
                                                       "refused, nothing written")));
            EXPECT_EQ(fs::symlink_status(target).type(), type) << target;
        }
    }
    EXPECT_TRUE(temp_files(dir.path()).empty());
}

// ---------------------------------------------------------------------------
// Saved content against an in-memory model
// ---------------------------------------------------------------------------

TEST_F(SaveTest, RandomEditScriptsMatchAModel) {
    for (const uint64_t seed : {11u, 22u, 33u, 44u, 55u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        const fs::path case_dir = dir.path() / ("seed" + std::to_string(seed));
        fs::create_directory(case_dir);
        std::string model = random_bytes(rng, 4096);
        write_file((case_dir / "in.bin").string(), model);
        Session s = open_session((case_dir / "in.bin").string(), chk_dir());
        ASSERT_TRUE(s);

        auto pick = [&](int64_t low, int64_t high) {  // inclusive
            return std::uniform_int_distribution<int64_t>(low, high)(rng);
        };
        for (int step = 0; step < 300; ++step) {
            const auto size = static_cast<int64_t>(model.size());
            const int64_t what = pick(0, 99);
            if (what < 40) {
                const std::string bytes = random_bytes(rng, static_cast<size_t>(pick(1, 40)));
                const int64_t at = pick(0, size);
                ASSERT_GT(skarn_edit_insert_string(s.get(), at, bytes), 0);
                model.insert(static_cast<size_t>(at), bytes);
            } else if (what < 70 && size > 0) {
                const int64_t at = pick(0, size - 1);
                const int64_t n = pick(1, 64);
                ASSERT_GT(skarn_edit_delete(s.get(), at, n), 0);
                model.erase(static_cast<size_t>(at), static_cast<size_t>(n));
            } else if (what < 97) {
                const std::string bytes = random_bytes(rng, static_cast<size_t>(pick(1, 30)));
                const int64_t at = pick(0, size);
                ASSERT_GT(skarn_edit_overwrite_string(s.get(), at, bytes), 0);
                model.replace(static_cast<size_t>(at), bytes.size(), bytes);
            } else {
                // Later edits work on a level read from a checkpoint file.
                ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
            }
        }
        ASSERT_EQ(content_of(s.get()), model);

        const std::string whole = (case_dir / "whole.bin").string();
        ASSERT_EQ(skarn_edit_save(s.get(), whole.c_str(), IO_FLG_NONE, nullptr), 0);
        EXPECT_TRUE(read_file(whole) == model) << "whole content differs";

        const auto size = static_cast<int64_t>(model.size());
        for (int i = 0; i < 40; ++i) {
            const int64_t offset = pick(0, size);
            const int64_t length = pick(-2, size - offset + 20);
            const int64_t expected_length = length < 1 ? size - offset : std::min(length, size - offset);
            const std::string out = (case_dir / ("range" + std::to_string(i))).string();
            ASSERT_EQ(skarn_edit_save_segment(s.get(), out.c_str(), IO_FLG_NONE, nullptr, offset, length), 0);
            EXPECT_TRUE(read_file(out) ==
                        model.substr(static_cast<size_t>(offset), static_cast<size_t>(expected_length)))
                << "range offset " << offset << " length " << length;
            // Reads between saves: the saves must leave the level's own stream usable.
            const int64_t at = pick(0, size);
            EXPECT_TRUE(skarn_session_get_segment_string(s.get(), at, 16) == model.substr(static_cast<size_t>(at), 16))
                << "read at " << at << " after a save";
        }
        EXPECT_TRUE(content_of(s.get()) == model);
        EXPECT_TRUE(temp_files(case_dir).empty());
    }
}

// ---------------------------------------------------------------------------
// Crash safety: a save killed half way leaves the target as it was
// ---------------------------------------------------------------------------

// Fast seeded filler for large files.
std::string pseudo_random_content(uint64_t seed, size_t size) {
    std::mt19937_64 rng(seed);
    std::string data(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t word = rng();
        std::memcpy(&data[i], &word, 8);
    }
    return data;
}

TEST_F(SaveTest, SaveKilledHalfWayLeavesTheTargetUntouched) {
    constexpr size_t source_size = size_t{128} << 20;
    write_file(path("source.bin"), pseudo_random_content(1, source_size));
    const std::string old_target = pseudo_random_content(2, size_t{4} << 20);
    const fs::path target_dir = dir.path() / "target";
    fs::create_directory(target_dir);
    const std::string target = (target_dir / "target.bin").string();
    const int64_t final_size = static_cast<int64_t>(source_size) + 1000 - 4096;

    int killed_half_way = 0;
    for (const double fraction : {0.0, 0.25, 0.5, 0.9}) {
        SCOPED_TRACE("kill after " + std::to_string(fraction) + " of the save");
        write_file(target, old_target);

        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            skarn_session_struct *s =
                skarn_edit_create_session(path("source.bin").c_str(), nullptr, nullptr, 0, chk_dir().c_str());
            if (s == nullptr) _exit(2);
            const std::string block(1000, 'E');
            if (skarn_edit_insert_string(s, 5 << 20, block) <= 0 || skarn_edit_delete(s, 64 << 20, 4096) <= 0 ||
                skarn_edit_overwrite(s, 100 << 20, "overwritten", 0) <= 0) {
                _exit(3);
            }
            _exit(skarn_edit_save(s, target.c_str(), IO_FLG_OVERWRITE, nullptr) == 0 ? 0 : 4);
        }

        // Wait for the temporary file to reach the chosen share of the content.
        const auto threshold = static_cast<int64_t>(fraction * static_cast<double>(final_size));
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        int64_t seen_size = -1;
        while (std::chrono::steady_clock::now() < deadline) {
            const int64_t size = size_of_file_written_in(child, target_dir);
            if (size >= threshold) {
                seen_size = size;
                break;
            }
            if (waitpid(child, nullptr, WNOHANG) == child) break;  // finished (or failed) already
            std::this_thread::sleep_for(100us);
        }
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);

        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
            // Killed before the rename: the old content, byte for byte.
            ASSERT_GE(seen_size, 0) << "killed before the save began";
            EXPECT_LT(seen_size, final_size);
            ++killed_half_way;
            EXPECT_TRUE(read_file(target) == old_target) << "the target changed";
            // Nothing partial is left: the temporary file had no name yet (or,
            // killed in the instant between its naming and its rename, it is complete).
            for (const auto &name : temp_files(target_dir)) {
                EXPECT_EQ(static_cast<int64_t>(fs::file_size(target_dir / name)), final_size) << name;
            }
        } else {
            // The save won the race: then the target is complete, never partial.
            ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
            ASSERT_EQ(WEXITSTATUS(status), 0);
            EXPECT_EQ(static_cast<int64_t>(fs::file_size(target)), final_size);
        }
        for (const auto &name : temp_files(target_dir)) fs::remove(target_dir / name);

        // The killed session's private copy is removed by the next session
        // made in its directory, which keeps its own.
        ASSERT_EQ(names_with_prefix(chk_dir(), ".Skarnpad-orig.").size(), 1u);
        {
            const Session next = open_session(path("source.bin"), chk_dir());
            ASSERT_TRUE(next);
            EXPECT_EQ(names_with_prefix(chk_dir(), ".Skarnpad-orig.").size(), 1u);
        }
        EXPECT_TRUE(names_with_prefix(chk_dir(), ".Skarnpad-orig.").empty());
    }
    EXPECT_GE(killed_half_way, 1) << "no save was interrupted";
}

}  // namespace
