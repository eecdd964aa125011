// Tests of checkpoints and transforms: the stack of levels, their files,
// serials across levels, events, viewports, and transforms with their
// failures and recovery.

#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace fs = std::filesystem;
using skarn_test::ClogCapture;
using skarn_test::content_of;
using skarn_test::directory_of_length;
using skarn_test::names_with_prefix;
using skarn_test::random_bytes;
using skarn_test::read_file;
using skarn_test::Session;
using skarn_test::TempDir;
using skarn_test::write_file;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// ---------------------------------------------------------------------------
// Fault injection: fopen64() and remove() are interposed so that a test can
// make chosen opens fail as they would with an exhausted descriptor table, and
// chosen removals as they would for a busy file. Unarmed, both only forward to
// the C library.
// ---------------------------------------------------------------------------

namespace {

struct FopenHook {
    std::string match;  // fail opens whose path contains this, in this mode,
    std::string mode;
    int skip = 0;      // after letting this many through,
    int failures = 0;  // this many times
};

FopenHook fopen_hook;

struct RemoveHook {
    std::string match;  // fail removals of paths that end with this,
    int failures = 0;   // this many times
};

RemoveHook remove_hook;

}  // namespace

extern "C" int remove(const char *path) noexcept {
    using remove_fn = int (*)(const char *);
    static const auto real = reinterpret_cast<remove_fn>(dlsym(RTLD_NEXT, "remove"));
    if (real == nullptr) std::abort();
    const std::string_view name = path != nullptr ? path : "";
    if (remove_hook.failures > 0 && name.size() >= remove_hook.match.size() &&
        name.substr(name.size() - remove_hook.match.size()) == remove_hook.match) {
        --remove_hook.failures;
        errno = EBUSY;
        return -1;
    }
    return real(path);
}

extern "C" FILE *fopen64(const char *path, const char *mode) {
    using fopen_fn = FILE *(*)(const char *, const char *);
    static const auto real = reinterpret_cast<fopen_fn>(dlsym(RTLD_NEXT, "fopen64"));
    if (real == nullptr) std::abort();
    if (fopen_hook.failures > 0 && path != nullptr && std::strstr(path, fopen_hook.match.c_str()) != nullptr &&
        fopen_hook.mode == mode) {
        if (fopen_hook.skip > 0) {
            --fopen_hook.skip;
        } else {
            --fopen_hook.failures;
            errno = EMFILE;
            return nullptr;
        }
    }
    return real(path, mode);
}

namespace {

// Session and viewport events in the order they arrive, as one list.
struct Events {
    std::vector<std::string> seen;

    static void session_event(const skarn_session_struct *session, int32_t event, const void *pointer) {
        auto *events = static_cast<Events *>(skarn_session_get_user_data_ptr(session));
        events->seen.push_back("session " + std::to_string(event) + (pointer != nullptr ? " ptr" : " null"));
    }
    static void viewport_event(const skarn_viewport_struct *viewport, int32_t event, const void *pointer) {
        auto *events = static_cast<Events *>(skarn_viewport_get_user_data_ptr(viewport));
        events->seen.push_back("viewport " + std::to_string(event) + (pointer != nullptr ? " ptr" : " null"));
    }
};

// Names in the directory that end with "_": transform outputs.
std::vector<std::string> transform_outputs(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && name.back() == '_') names.push_back(name);
    }
    return names;
}

uint8_t to_upper(uint8_t byte, void *) { return static_cast<uint8_t>(std::toupper(byte)); }

// Counts its calls through the user data pointer.
uint8_t counting_xor(uint8_t byte, void *user_data) {
    ++*static_cast<int64_t *>(user_data);
    return byte ^ 0x20;
}

class CheckpointTest : public ::testing::Test {
protected:
    CheckpointTest() { fs::create_directory(chk_dir()); }
    std::string chk_dir() const { return dir.file("chk"); }
    std::string path(const std::string &name) const { return dir.file(name); }

    Session session_over(const std::string &content, Events *events = nullptr) {
        write_file(path("doc.txt"), content);
        return Session(skarn_edit_create_session(path("doc.txt").c_str(),
                                                 events != nullptr ? &Events::session_event : nullptr, events, ~0,
                                                 chk_dir().c_str()));
    }
    Session session_over_nothing(Events *events = nullptr) {
        return Session(skarn_edit_create_session(nullptr, events != nullptr ? &Events::session_event : nullptr, events,
                                                 ~0, chk_dir().c_str()));
    }
    std::vector<std::string> checkpoint_files() const { return names_with_prefix(chk_dir(), ".Skarnpad-chk."); }

    TempDir dir;
};

// ---------------------------------------------------------------------------
// Creating and destroying checkpoints
// ---------------------------------------------------------------------------

TEST_F(CheckpointTest, TwoCheckpointsMakeNumberedFilesAndKeepContentAndCounts) {
    Events events;
    Session s = session_over("0123456789", &events);
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 3, "abc", 0), 0);
    const std::string content = content_of(s.get());
    events.seen.clear();

    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 0);
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 1);
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 2);

    EXPECT_EQ(content_of(s.get()), content);
    EXPECT_EQ(skarn_session_get_num_changes(s.get()), 1);
    EXPECT_EQ(skarn_session_get_computed_file_size(s.get()), 13);
    const auto files = checkpoint_files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_THAT(files[0], MatchesRegex("\\.Skarnpad-chk\\.1\\.[A-Za-z0-9]{6}"));
    EXPECT_THAT(files[1], MatchesRegex("\\.Skarnpad-chk\\.2\\.[A-Za-z0-9]{6}"));
    EXPECT_EQ(read_file(chk_dir() + "/" + files[0]), content);
    EXPECT_EQ(read_file(chk_dir() + "/" + files[1]), content);
    // The session's file is now the newest checkpoint's.
    EXPECT_STREQ(skarn_session_get_file_path(s.get()), (chk_dir() + "/" + files[1]).c_str());
    EXPECT_THAT(events.seen, ElementsAre("session 128 null", "session 32 null", "session 128 null", "session 32 null"));
    EXPECT_TRUE(names_with_prefix(chk_dir(), ".Skarnpad_").empty());
}

TEST_F(CheckpointTest, DestroyingBringsBackContentSerialsAndFilePath) {
    Events events;
    Session s = session_over("abcdef", &events);
    ASSERT_TRUE(s);
    EXPECT_EQ(skarn_edit_insert(s.get(), 0, "1", 0), 1);
    EXPECT_EQ(skarn_edit_delete(s.get(), 3, 2), 2);
    EXPECT_EQ(skarn_edit_overwrite(s.get(), 0, "XY", 0), 3);
    const std::string after_third = content_of(s.get());
    ASSERT_EQ(after_third, "XYbef");

    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    const std::string checkpoint_file = skarn_session_get_file_path(s.get());
    // Serials go on from the level below.
    EXPECT_EQ(skarn_edit_insert(s.get(), 5, "!", 0), 4);
    EXPECT_EQ(skarn_edit_delete(s.get(), 0, 1), 5);
    EXPECT_EQ(content_of(s.get()), "Ybef!");
    EXPECT_EQ(skarn_session_get_num_changes(s.get()), 5);
    for (int64_t serial = 1; serial <= 5; ++serial) {
        const skarn_change_struct *change = skarn_session_get_change(s.get(), serial);
        ASSERT_NE(change, nullptr) << "serial " << serial;
        EXPECT_EQ(skarn_change_get_serial(change), serial);
    }
    EXPECT_EQ(skarn_change_get_kind_as_char(skarn_session_get_change(s.get(), 2)), 'D');
    EXPECT_EQ(skarn_change_get_string(skarn_session_get_change(s.get(), 3)), "XY");
    EXPECT_EQ(skarn_session_get_change(s.get(), 6), nullptr);
    // Undo stays on the current level.
    EXPECT_EQ(skarn_edit_undo_last_change(s.get()), -5);
    EXPECT_EQ(skarn_edit_undo_last_change(s.get()), -4);
    EXPECT_EQ(skarn_edit_undo_last_change(s.get()), 0);
    EXPECT_EQ(content_of(s.get()), after_third);
    EXPECT_EQ(skarn_edit_redo_last_undo(s.get()), 4);
    EXPECT_EQ(skarn_edit_redo_last_undo(s.get()), 5);

    events.seen.clear();
    ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), 0);
    EXPECT_THAT(events.seen, ElementsAre("session 64 null"));
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 0);
    EXPECT_EQ(skarn_session_get_num_changes(s.get()), 3);
    EXPECT_EQ(content_of(s.get()), after_third);
    EXPECT_FALSE(fs::exists(checkpoint_file));
    EXPECT_TRUE(checkpoint_files().empty());
    EXPECT_STREQ(skarn_session_get_file_path(s.get()), path("doc.txt").c_str());
    // The history of the level below is back in force.
    EXPECT_EQ(skarn_edit_insert(s.get(), 0, "+", 0), 4);
    EXPECT_EQ(skarn_edit_undo_last_change(s.get()), -4);
    EXPECT_EQ(skarn_edit_undo_last_change(s.get()), -3);
    EXPECT_EQ(content_of(s.get()), "1abef");
}

TEST_F(CheckpointTest, SerialsContinueThroughThreeLevelsAndBackDown) {
    Session s = session_over_nothing();
    ASSERT_TRUE(s);
    std::vector<std::string> contents;
    int64_t serial = 0;
    for (int level = 0; level < 3; ++level) {
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(skarn_edit_insert(s.get(), 0, std::to_string(level).c_str(), 0), ++serial);
        }
        contents.push_back(content_of(s.get()));
        ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    }
    EXPECT_EQ(skarn_session_get_num_changes(s.get()), 6);
    for (int64_t i = 1; i <= 6; ++i) {
        ASSERT_NE(skarn_session_get_change(s.get(), i), nullptr) << i;
        EXPECT_EQ(skarn_change_get_string(skarn_session_get_change(s.get(), i)), std::to_string((i - 1) / 2)) << i;
    }
    EXPECT_EQ(skarn_edit_insert(s.get(), 0, "top", 0), 7);
    EXPECT_EQ(checkpoint_files().size(), 3u);

    for (int level = 2; level >= 0; --level) {
        ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), 0);
        EXPECT_EQ(skarn_session_get_num_changes(s.get()), 2 * (level + 1));
        EXPECT_EQ(content_of(s.get()), contents[static_cast<size_t>(level)]);
        EXPECT_EQ(checkpoint_files().size(), static_cast<size_t>(level));
    }
    EXPECT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), -1);
    EXPECT_EQ(content_of(s.get()), "00");
}

TEST_F(CheckpointTest, DestroyWithoutCheckpointFailsSilently) {
    Events events;
    Session s = session_over("abc", &events);
    ASSERT_TRUE(s);
    events.seen.clear();
    ClogCapture log;
    EXPECT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), -1);
    EXPECT_TRUE(events.seen.empty());
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(content_of(s.get()), "abc");
}

TEST_F(CheckpointTest, CheckpointOfEmptyContentHasNoSegments) {
    Session s = session_over_nothing();
    ASSERT_TRUE(s);
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    const auto files = checkpoint_files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(fs::file_size(chk_dir() + "/" + files[0]), 0u);
    EXPECT_EQ(skarn_session_get_computed_file_size(s.get()), 0);
    EXPECT_GT(skarn_edit_insert(s.get(), 0, "grows", 0), 0);
    EXPECT_EQ(content_of(s.get()), "grows");
    ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), 0);
    EXPECT_EQ(skarn_session_get_computed_file_size(s.get()), 0);
}

TEST_F(CheckpointTest, DestroyingMarksEveryViewportStaleWithoutEvents) {
    Events events;
    Session s = session_over("0123456789", &events);
    ASSERT_TRUE(s);
    skarn_viewport_struct *near = skarn_edit_create_viewport(s.get(), 0, 4, 0, &Events::viewport_event, &events, ~0);
    skarn_viewport_struct *far = skarn_edit_create_viewport(s.get(), 6, 4, 0, &Events::viewport_event, &events, ~0);
    ASSERT_NE(near, nullptr);
    ASSERT_NE(far, nullptr);
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    ASSERT_GT(skarn_edit_overwrite(s.get(), 0, "ABCDEFGHIJ", 0), 0);
    EXPECT_EQ(skarn_viewport_get_string(near), "ABCD");
    EXPECT_EQ(skarn_viewport_get_string(far), "GHIJ");
    ASSERT_EQ(skarn_viewport_has_changes(near), 0);
    ASSERT_EQ(skarn_viewport_has_changes(far), 0);

    events.seen.clear();
    ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), 0);
    EXPECT_THAT(events.seen, ElementsAre("session 64 null"));
    EXPECT_EQ(skarn_viewport_has_changes(near), 1);
    EXPECT_EQ(skarn_viewport_has_changes(far), 1);
    events.seen.clear();
    EXPECT_EQ(skarn_session_notify_changed_viewports(s.get()), 2);
    EXPECT_THAT(events.seen, ElementsAre("viewport 64 null", "viewport 64 null"));
    EXPECT_EQ(skarn_viewport_get_string(near), "0123");
    EXPECT_EQ(skarn_viewport_get_string(far), "6789");
}

TEST_F(CheckpointTest, CreatingTouchesNoViewport) {
    Events events;
    Session s = session_over("0123456789", &events);
    ASSERT_TRUE(s);
    skarn_viewport_struct *viewport =
        skarn_edit_create_viewport(s.get(), 2, 4, 0, &Events::viewport_event, &events, ~0);
    ASSERT_NE(viewport, nullptr);
    EXPECT_EQ(skarn_viewport_get_string(viewport), "2345");
    events.seen.clear();
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    EXPECT_EQ(skarn_viewport_has_changes(viewport), 0);
    EXPECT_THAT(events.seen, ElementsAre("session 128 null", "session 32 null"));
}

TEST_F(CheckpointTest, MissingCheckpointDirectoryIsLoggedAndMadeAgain) {
    Session s = session_over_nothing();
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "kept", 0), 0);
    const std::string directory = skarn_session_get_checkpoint_directory(s.get());
    fs::remove(chk_dir());
    ClogCapture log;
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    EXPECT_THAT(log.str(),
                HasSubstr("::skarn_edit_create_checkpoint: checkpoint directory '" + directory + "' does not exist\n"));
    EXPECT_EQ(checkpoint_files().size(), 1u);
    EXPECT_EQ(content_of(s.get()), "kept");
    EXPECT_GT(skarn_edit_insert(s.get(), 4, "!", 0), 0);
    EXPECT_EQ(content_of(s.get()), "kept!");
}

TEST_F(CheckpointTest, NameThatDoesNotFitIsRefused) {
    // A checkpoint directory whose checkpoint names need 260 characters.
    const std::string tail = "/.Skarnpad-chk.1.XXXXXX";
    const std::string long_dir = directory_of_length(dir.str(), 260 - tail.size(), 'd');
    ASSERT_EQ(long_dir.size() + tail.size(), 260u);
    fs::create_directories(long_dir);
    Events events;
    Session s(skarn_edit_create_session(nullptr, &Events::session_event, &events, ~0, long_dir.c_str()));
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "x", 0), 0);
    events.seen.clear();
    ClogCapture log;
    EXPECT_EQ(skarn_edit_create_checkpoint(s.get()), -1);
    EXPECT_THAT(log.str(),
                HasSubstr("::skarn_edit_create_checkpoint: failed to create checkpoint filename template\n"));
    EXPECT_TRUE(events.seen.empty());
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 0);
    EXPECT_TRUE(fs::is_empty(long_dir));
}

TEST_F(CheckpointTest, FailedSaveLeavesSessionAndDirectoryAsBefore) {
    Session s = session_over_nothing();
    ASSERT_TRUE(s);
    std::mt19937_64 rng(3);
    const std::string content = random_bytes(rng, 3 << 20);
    ASSERT_GT(skarn_edit_insert_string(s.get(), 0, content), 0);
    ClogCapture log;
    int result = 0;
    {
        // Writes past 64 KiB fail, so the save of the content fails half way.
        rlimit old_limit{};
        getrlimit(RLIMIT_FSIZE, &old_limit);
        rlimit limit = old_limit;
        limit.rlim_cur = 64 << 10;
        auto *old_handler = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        result = skarn_edit_create_checkpoint(s.get());
        setrlimit(RLIMIT_FSIZE, &old_limit);
        signal(SIGXFSZ, old_handler);
    }
    EXPECT_EQ(result, -1);
    const auto files = checkpoint_files();
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_create_checkpoint: failed to save checkpoint to '" + chk_dir() +
                                     "/.Skarnpad-chk.1."));
    EXPECT_TRUE(files.empty()) << "the reserved name is given back";
    EXPECT_TRUE(names_with_prefix(chk_dir(), ".Skarnpad_").empty());
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 0);
    EXPECT_EQ(skarn_session_get_num_changes(s.get()), 1);
    EXPECT_TRUE(content_of(s.get()) == content);
    EXPECT_EQ(skarn_edit_create_checkpoint(s.get()), 0) << "works again without the limit";
}

TEST_F(CheckpointTest, DirectoryThatCannotBeMadeAgainFailsTheCheckpoint) {
    Session s = session_over_nothing();
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "abc", 0), 0);
    fs::remove(chk_dir());
    write_file(chk_dir(), "a file where the directory was");
    ClogCapture log;
    EXPECT_EQ(skarn_edit_create_checkpoint(s.get()), -1);
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_create_checkpoint: failed to create directory: "));
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_create_checkpoint: failed to save checkpoint to '"));
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 0);
    EXPECT_EQ(content_of(s.get()), "abc");
}

TEST_F(CheckpointTest, CheckpointFileIsReadThroughTheDescriptorThatMadeIt) {
    // Every open of a checkpoint file by name fails: the checkpoint, its
    // reading and a transform over it must not need one.
    Events events;
    Session s = session_over("content", &events);
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "my ", 0), 0);
    events.seen.clear();
    fopen_hook = FopenHook{".Skarnpad-chk.", "rb", 0, 1000};
    const int result = skarn_edit_create_checkpoint(s.get());
    const std::string content = content_of(s.get());
    const int transformed = skarn_edit_apply_transform(s.get(), &to_upper, nullptr, 0, 0);
    const std::string upper = content_of(s.get());
    const int unused = fopen_hook.failures;
    fopen_hook = FopenHook{};
    EXPECT_EQ(unused, 1000);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(transformed, 0);
    EXPECT_EQ(content, "my content");
    EXPECT_EQ(upper, "MY CONTENT");
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 2);
    EXPECT_EQ(skarn_session_get_num_changes(s.get()), 1);
    EXPECT_THAT(events.seen, ElementsAre("session 128 null", "session 32 null", "session 128 null", "session 32 null",
                                         "session 16 null"));
}

TEST_F(CheckpointTest, ClearingDropsEveryCheckpoint) {
    Events events;
    Session s = session_over("original", &events);
    ASSERT_TRUE(s);
    skarn_viewport_struct *viewport =
        skarn_edit_create_viewport(s.get(), 0, 8, 0, &Events::viewport_event, &events, ~0);
    ASSERT_NE(viewport, nullptr);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "1", 0), 0);
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "2", 0), 0);
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    ASSERT_GT(skarn_edit_delete(s.get(), 0, 4), 0);
    ASSERT_EQ(checkpoint_files().size(), 2u);
    EXPECT_EQ(skarn_viewport_get_string(viewport), "iginal");

    events.seen.clear();
    ASSERT_EQ(skarn_edit_clear_changes(s.get()), 0);
    EXPECT_THAT(events.seen, ElementsAre("viewport 8 null", "session 8 null"));
    EXPECT_EQ(content_of(s.get()), "original");
    EXPECT_EQ(skarn_viewport_get_string(viewport), "original");
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 0);
    EXPECT_EQ(skarn_session_get_num_changes(s.get()), 0);
    EXPECT_TRUE(checkpoint_files().empty());
    EXPECT_STREQ(skarn_session_get_file_path(s.get()), path("doc.txt").c_str());
    EXPECT_EQ(skarn_edit_insert(s.get(), 0, "new ", 0), 1);
}

TEST_F(CheckpointTest, DestroyingTheSessionRemovesCheckpointFiles) {
    Session s = session_over("abc");
    ASSERT_TRUE(s);
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    ASSERT_EQ(skarn_edit_create_checkpoint(s.get()), 0);
    ASSERT_EQ(checkpoint_files().size(), 2u);
    s.reset();
    EXPECT_TRUE(fs::is_empty(chk_dir()));
}

// ---------------------------------------------------------------------------
// Transforms
// ---------------------------------------------------------------------------

TEST_F(CheckpointTest, UpperCaseTransformOfEverythingAndBack) {
    Events events;
    Session s = session_over("Hello, World! 123 abc", &events);
    ASSERT_TRUE(s);
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "mixed ", 0), 0);
    const std::string before = content_of(s.get());
    skarn_viewport_struct *first = skarn_edit_create_viewport(s.get(), 0, 5, 0, &Events::viewport_event, &events, ~0);
    skarn_viewport_struct *second = skarn_edit_create_viewport(s.get(), 20, 5, 0, &Events::viewport_event, &events, ~0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(skarn_viewport_get_string(first), "mixed");
    events.seen.clear();

    ASSERT_EQ(skarn_edit_apply_transform(s.get(), &to_upper, nullptr, 0, 0), 0);
    EXPECT_EQ(content_of(s.get()), "MIXED HELLO, WORLD! 123 ABC");
    EXPECT_EQ(skarn_session_get_computed_file_size(s.get()), static_cast<int64_t>(before.size()));
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 1);
    EXPECT_THAT(events.seen, ElementsAre("session 128 null", "session 32 null", "viewport 16 null", "viewport 16 null",
                                         "session 16 null"));
    EXPECT_EQ(skarn_viewport_get_string(first), "MIXED");
    EXPECT_EQ(skarn_viewport_get_string(second), "123 A");
    EXPECT_TRUE(transform_outputs(chk_dir()).empty());
    const auto files = checkpoint_files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(read_file(chk_dir() + "/" + files[0]), "MIXED HELLO, WORLD! 123 ABC");

    // Edits go on over the transformed level.
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "x", 0), 0);
    EXPECT_EQ(content_of(s.get()), "xMIXED HELLO, WORLD! 123 ABC");

    ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), 0);
    EXPECT_EQ(content_of(s.get()), before);
    EXPECT_EQ(skarn_viewport_get_string(first), "mixed");
    EXPECT_TRUE(checkpoint_files().empty());
    EXPECT_TRUE(transform_outputs(chk_dir()).empty());
}

TEST_F(CheckpointTest, TransformOfARangeOnly) {
    std::mt19937_64 rng(5);
    const std::string data = random_bytes(rng, 3000);
    Session s = session_over(data);
    ASSERT_TRUE(s);
    int64_t calls = 0;
    ASSERT_EQ(skarn_edit_apply_transform(s.get(), &counting_xor, &calls, 100, 1500), 0);
    EXPECT_EQ(calls, 1500);
    std::string expected = data;
    for (size_t i = 100; i < 1600; ++i) expected[i] = static_cast<char>(expected[i] ^ 0x20);
    EXPECT_TRUE(content_of(s.get()) == expected);

    // To the end with length 0, from an offset inside the content.
    calls = 0;
    ASSERT_EQ(skarn_edit_apply_transform(s.get(), &counting_xor, &calls, 2999, 0), 0);
    EXPECT_EQ(calls, 1);
    expected[2999] = static_cast<char>(expected[2999] ^ 0x20);
    EXPECT_TRUE(content_of(s.get()) == expected);
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 2);
}

TEST_F(CheckpointTest, TransformOutOfRangeLeavesTheCheckpointAndNoOutput) {
    Events events;
    Session s = session_over("0123456789", &events);
    ASSERT_TRUE(s);
    events.seen.clear();
    testing::internal::CaptureStderr();
    const int result = skarn_edit_apply_transform(s.get(), &to_upper, nullptr, 10, 0);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_THAT(errors, HasSubstr("::skarn_util_apply_byte_transform_to_file: transform out of range"));
    EXPECT_THAT(errors, HasSubstr("::skarn_edit_apply_transform: transform failed"));
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 1);
    EXPECT_EQ(checkpoint_files().size(), 1u);
    EXPECT_TRUE(transform_outputs(chk_dir()).empty());
    EXPECT_EQ(content_of(s.get()), "0123456789");
    EXPECT_THAT(events.seen, ElementsAre("session 128 null", "session 32 null"));

    // A range that runs past the end fails the same way.
    testing::internal::CaptureStderr();
    EXPECT_EQ(skarn_edit_apply_transform(s.get(), &to_upper, nullptr, 5, 6), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 2);
    EXPECT_TRUE(transform_outputs(chk_dir()).empty());
}

TEST_F(CheckpointTest, TransformWhileChangesArePausedDoesNothing) {
    Events events;
    Session s = session_over("abc", &events);
    ASSERT_TRUE(s);
    skarn_session_pause_changes(s.get());
    events.seen.clear();
    EXPECT_EQ(skarn_edit_apply_transform(s.get(), &to_upper, nullptr, 0, 0), -1);
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 0);
    EXPECT_TRUE(checkpoint_files().empty());
    EXPECT_TRUE(events.seen.empty());
    EXPECT_EQ(content_of(s.get()), "abc");
    skarn_session_resume_changes(s.get());
    EXPECT_EQ(skarn_edit_apply_transform(s.get(), &to_upper, nullptr, 0, 0), 0);
    EXPECT_EQ(content_of(s.get()), "ABC");
}

// A transform whose callback, on its first byte, puts a directory where the
// checkpoint file was: the transformed file can then not be swapped in.
struct SabotageTarget {
    const skarn_session_struct *session;
    bool done = false;
};

uint8_t sabotaging_upper(uint8_t byte, void *user_data) {
    auto *target = static_cast<SabotageTarget *>(user_data);
    if (!target->done) {
        target->done = true;
        const fs::path checkpoint = skarn_session_get_file_path(target->session);
        fs::remove(checkpoint);
        fs::create_directory(checkpoint);
    }
    return static_cast<uint8_t>(std::toupper(byte));
}

TEST_F(CheckpointTest, FailedSwapKeepsTheUntransformedLevelAndLeavesTheSessionUsable) {
    Events events;
    Session s = session_over("lower case", &events);
    ASSERT_TRUE(s);
    skarn_viewport_struct *viewport =
        skarn_edit_create_viewport(s.get(), 0, 5, 0, &Events::viewport_event, &events, ~0);
    ASSERT_NE(viewport, nullptr);
    EXPECT_EQ(skarn_viewport_get_string(viewport), "lower");
    ASSERT_GT(skarn_edit_insert(s.get(), 0, "a ", 0), 0);
    EXPECT_EQ(skarn_viewport_get_string(viewport), "a low");
    events.seen.clear();
    SabotageTarget target{s.get()};
    ClogCapture log;
    EXPECT_EQ(skarn_edit_apply_transform(s.get(), &sabotaging_upper, &target, 0, 0), -1);
    EXPECT_TRUE(target.done);
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_apply_transform: Windows error code=" + std::to_string(EISDIR)));
    // The level stays over its untransformed file, still open; no transform event.
    EXPECT_THAT(events.seen, ElementsAre("session 128 null", "session 32 null"));
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 1);
    EXPECT_EQ(content_of(s.get()), "a lower case");
    EXPECT_EQ(skarn_viewport_get_string(viewport), "a low");
    EXPECT_TRUE(transform_outputs(chk_dir()).empty());
    EXPECT_TRUE(names_with_prefix(chk_dir(), ".Skarnpad-xfm.").empty());
    EXPECT_EQ(skarn_session_get_num_changes(s.get()), 1);
    EXPECT_EQ(skarn_edit_insert(s.get(), 0, "still ", 0), 2);
    EXPECT_EQ(skarn_edit_save(s.get(), path("after.txt").c_str(), IO_FLG_NONE, nullptr), 0);
    EXPECT_EQ(read_file(path("after.txt")), "still a lower case");
}

// Upper case; on its first byte it makes the next removal of the checkpoint
// file being transformed fail. The user data is the session.
uint8_t to_upper_arming_removal_failure(uint8_t byte, void *user_data) {
    const auto *session = static_cast<const skarn_session_struct *>(user_data);
    if (remove_hook.match.empty()) remove_hook = RemoveHook{skarn_session_get_file_path(session), 1};
    return static_cast<uint8_t>(std::toupper(byte));
}

TEST_F(CheckpointTest, TransformReplacesTheCheckpointFileWithoutRemovingIt) {
    Events events;
    Session s = session_over("keep me", &events);
    ASSERT_TRUE(s);
    skarn_viewport_struct *viewport =
        skarn_edit_create_viewport(s.get(), 0, 4, 0, &Events::viewport_event, &events, ~0);
    ASSERT_NE(viewport, nullptr);
    EXPECT_EQ(skarn_viewport_get_string(viewport), "keep");
    events.seen.clear();
    // A removal of the checkpoint file would fail: the rename alone replaces it.
    remove_hook = RemoveHook{};
    const int result = skarn_edit_apply_transform(s.get(), &to_upper_arming_removal_failure, s.get(), 0, 0);
    const RemoveHook used = remove_hook;
    remove_hook = RemoveHook{};
    EXPECT_THAT(used.match, HasSubstr("/.Skarnpad-chk.1."));
    EXPECT_EQ(used.failures, 1);
    EXPECT_EQ(result, 0);
    const auto files = checkpoint_files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(read_file(chk_dir() + "/" + files[0]), "KEEP ME");
    EXPECT_EQ(fs::status(chk_dir() + "/" + files[0]).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(content_of(s.get()), "KEEP ME");
    EXPECT_TRUE(transform_outputs(chk_dir()).empty());
    EXPECT_TRUE(names_with_prefix(chk_dir(), ".Skarnpad-xfm.").empty());
    EXPECT_THAT(events.seen, ElementsAre("session 128 null", "session 32 null", "viewport 16 null", "session 16 null"));
    EXPECT_GT(skarn_edit_insert(s.get(), 7, "!", 0), 0);
    EXPECT_EQ(content_of(s.get()), "KEEP ME!");
    ASSERT_EQ(skarn_edit_destroy_last_checkpoint(s.get()), 0);
    EXPECT_EQ(content_of(s.get()), "keep me");
}

TEST_F(CheckpointTest, TransformOutputIsNeverOpenedByName) {
    Session s = session_over("abc");
    ASSERT_TRUE(s);
    // Any open for writing of a file in the checkpoint directory fails.
    fopen_hook = FopenHook{chk_dir(), "wb", 0, 1000};
    const int result = skarn_edit_apply_transform(s.get(), &to_upper, nullptr, 0, 0);
    const int unused = fopen_hook.failures;
    fopen_hook = FopenHook{};
    EXPECT_EQ(unused, 1000);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(skarn_session_get_num_checkpoints(s.get()), 1);
    EXPECT_EQ(content_of(s.get()), "ABC");
    EXPECT_EQ(checkpoint_files().size(), 1u);
    EXPECT_TRUE(transform_outputs(chk_dir()).empty());
}

}  // namespace
