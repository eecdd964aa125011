// Session lifecycle and session events: where the checkpoint directory and the
// private copy go, what a failed creation leaves behind (nothing), that the
// caller's file is never touched, and which events a scripted run announces.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "engine/session.hpp"
#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace fs = std::filesystem;
using skarn_test::ClogCapture;
using skarn_test::read_file;
using skarn_test::Session;
using skarn_test::TempDir;
using skarn_test::write_file;

// Allocation failure injection: while armed, the allocation counted down to
// zero fails (once); every other allocation goes to malloc. The library's
// allocations come here too, since the executable's global operators new and
// delete replace the default ones for the whole process.
namespace {
std::atomic<long> allocations_before_failure{-1};  // -1: disarmed
}  // namespace

// The replacements pair malloc with free; g++ cannot see that across them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void *operator new(std::size_t size) {
    long remaining = allocations_before_failure.load();
    while (remaining >= 0) {
        if (allocations_before_failure.compare_exchange_weak(remaining, remaining - 1)) {
            if (remaining == 0) throw std::bad_alloc();
            break;
        }
    }
    if (void *block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept { return operator new(size, tag); }
void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
void operator delete(void *block, const std::nothrow_t &) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete[](void *block, std::size_t) noexcept { std::free(block); }
void operator delete[](void *block, const std::nothrow_t &) noexcept { std::free(block); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

constexpr int32_t all_session_events = 4095;

// Restores the working directory when the test ends, however it ends.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path &path) : previous_(fs::current_path()) { fs::current_path(path); }
    ~WorkingDirectory() {
        std::error_code ec;
        fs::current_path(previous_, ec);
    }
    WorkingDirectory(const WorkingDirectory &) = delete;
    WorkingDirectory &operator=(const WorkingDirectory &) = delete;

private:
    fs::path previous_;
};

bool is_original_checkpoint_name(const std::string &name) {
    return std::regex_match(name, std::regex(R"(\.Skarnpad-orig\.[A-Za-z0-9]{6})"));
}

std::string canonical_text(const fs::path &path) { return fs::canonical(path).string(); }

// ---------------------------------------------------------------------------
// Event recording: session and viewport callbacks append to one log.
// ---------------------------------------------------------------------------

const char *session_event_name(int32_t event) {
    switch (event) {
        case SESSION_EVT_CREATE: return "CREATE";
        case SESSION_EVT_EDIT: return "EDIT";
        case SESSION_EVT_UNDO: return "UNDO";
        case SESSION_EVT_CLEAR: return "CLEAR";
        case SESSION_EVT_TRANSFORM: return "TRANSFORM";
        case SESSION_EVT_CREATE_CHECKPOINT: return "CREATE_CHECKPOINT";
        case SESSION_EVT_DESTROY_CHECKPOINT: return "DESTROY_CHECKPOINT";
        case SESSION_EVT_SAVE: return "SAVE";
        case SESSION_EVT_CHANGES_PAUSED: return "CHANGES_PAUSED";
        case SESSION_EVT_CHANGES_RESUMED: return "CHANGES_RESUMED";
        case SESSION_EVT_CREATE_VIEWPORT: return "CREATE_VIEWPORT";
        case SESSION_EVT_DESTROY_VIEWPORT: return "DESTROY_VIEWPORT";
        default: return "?";
    }
}

const char *viewport_event_name(int32_t event) {
    switch (event) {
        case VIEWPORT_EVT_CREATE: return "CREATE";
        case VIEWPORT_EVT_EDIT: return "EDIT";
        case VIEWPORT_EVT_UNDO: return "UNDO";
        case VIEWPORT_EVT_CLEAR: return "CLEAR";
        default: return "?";
    }
}

struct Recorder {
    // Each entry: its text, and the viewport address its text ends with, if
    // any; viewports are named when the log is taken, since an event can
    // arrive before the test learns the new viewport's address.
    std::vector<std::pair<std::string, const void *>> log;
    std::map<const void *, std::string> names;
    const skarn_session_struct *session = nullptr;
    const void *last_change_pointer = nullptr;

    void record(std::string text, const void *pointer, bool is_change) {
        text += ' ';
        if (pointer == nullptr) {
            log.emplace_back(text + "null", nullptr);
        } else if (is_change) {
            last_change_pointer = pointer;
            const auto *change = static_cast<const skarn_change_struct *>(pointer);
            log.emplace_back(text + std::to_string(skarn_change_get_serial(change)), nullptr);
        } else {
            log.emplace_back(text, pointer);
        }
    }

    static void on_session(const skarn_session_struct *session, int32_t event, const void *pointer) {
        auto *self = static_cast<Recorder *>(skarn_session_get_user_data_ptr(session));
        self->session = session;
        self->record(std::string("S:") + session_event_name(event), pointer,
                     event == SESSION_EVT_EDIT || event == SESSION_EVT_UNDO);
    }

    static void on_viewport(const skarn_viewport_struct *viewport, int32_t event, const void *pointer) {
        auto *self = static_cast<Recorder *>(skarn_viewport_get_user_data_ptr(viewport));
        self->record(self->names[viewport] + ":" + viewport_event_name(event), pointer,
                     event == VIEWPORT_EVT_EDIT || event == VIEWPORT_EVT_UNDO);
    }

    bool empty() const { return log.empty(); }

    std::vector<std::string> take() {
        std::vector<std::string> taken;
        for (const auto &[text, pointer] : log) {
            const auto found = names.find(pointer);
            taken.push_back(pointer == nullptr ? text : text + (found != names.end() ? found->second : "?"));
        }
        log.clear();
        return taken;
    }
};

using Events = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

TEST(SessionCreate, OverNothingUsesTheTemporaryDirectoryAndHasNoContent) {
    Recorder recorder;
    Session session(skarn_edit_create_session(nullptr, Recorder::on_session, &recorder, all_session_events, nullptr));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(recorder.take(), Events({"S:CREATE null"}));
    EXPECT_EQ(recorder.session, session.get());
    EXPECT_EQ(std::string(skarn_session_get_checkpoint_directory(session.get())),
              canonical_text(fs::temp_directory_path()));
    EXPECT_EQ(skarn_session_get_checkpoint_directory_length(session.get()),
              static_cast<int64_t>(std::strlen(skarn_session_get_checkpoint_directory(session.get()))));
    EXPECT_EQ(skarn_session_get_file_path(session.get()), nullptr);
    EXPECT_TRUE(session->original_checkpoint_path.empty());
    EXPECT_TRUE(session->current().pieces.empty());
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 0);
    EXPECT_EQ(skarn_session_get_num_checkpoints(session.get()), 0);
    EXPECT_EQ(skarn_session_get_num_viewports(session.get()), 0);
    EXPECT_EQ(skarn_session_get_num_search_contexts(session.get()), 0);
    EXPECT_EQ(skarn_session_get_user_data_ptr(session.get()), &recorder);
    EXPECT_EQ(skarn_session_get_event_cbk(session.get()), &Recorder::on_session);
    EXPECT_EQ(skarn_session_get_event_interest(session.get()), all_session_events);
    EXPECT_EQ(skarn_session_get_transaction_state(session.get()), SESSION_TRANSACTION_NONE);
    EXPECT_EQ(skarn_session_changes_paused(session.get()), 0);
}

TEST(SessionCreate, EmptyFilePathIsASessionOverNothing) {
    TempDir dir;
    Session session(skarn_edit_create_session("", nullptr, nullptr, 0, dir.str().c_str()));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(skarn_session_get_file_path(session.get()), nullptr);
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 0);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(SessionCreate, OverAFileCopiesItIntoTheFilesDirectory) {
    TempDir dir;
    const std::string path = dir.file("input.txt");
    write_file(path, "0123456789");
    Session session(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, nullptr));
    ASSERT_NE(session, nullptr);

    EXPECT_EQ(std::string(skarn_session_get_checkpoint_directory(session.get())), canonical_text(dir.path()));
    EXPECT_STREQ(skarn_session_get_file_path(session.get()), path.c_str());
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 10);
    ASSERT_EQ(session->current().pieces.size(), 1u);
    EXPECT_EQ(session->current().pieces[0].computed_length, 10);

    const auto entries = dir.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1], "input.txt");
    EXPECT_TRUE(is_original_checkpoint_name(entries[0])) << entries[0];
    EXPECT_EQ(session->original_checkpoint_path, (fs::path(canonical_text(dir.path())) / entries[0]).string());
    EXPECT_EQ(read_file(session->original_checkpoint_path), "0123456789");
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 0, 100), "0123456789");
}

TEST(SessionCreate, PrivateCopyIsReadableAndWritableByTheOwnerAtMost) {
    TempDir dir;
    const std::string path = dir.file("shared.txt");
    write_file(path, "shared bytes");
    fs::permissions(path,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    TempDir checkpoints;
    Session session(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, checkpoints.str().c_str()));
    ASSERT_NE(session, nullptr);
    const fs::perms perms = fs::status(session->original_checkpoint_path).permissions();
    EXPECT_EQ(perms & ~(fs::perms::owner_read | fs::perms::owner_write), fs::perms::none)
        << std::oct << static_cast<unsigned>(perms);
}

TEST(SessionCreate, FilePathIsReturnedExactlyAsPassed) {
    TempDir dir;
    write_file(dir.file("input.txt"), "abc");
    const std::string odd = dir.str() + "/./input.txt";
    Session session(skarn_edit_create_session(odd.c_str(), nullptr, nullptr, 0, (dir.str() + "/.").c_str()));
    ASSERT_NE(session, nullptr);
    EXPECT_STREQ(skarn_session_get_file_path(session.get()), odd.c_str());
    // The checkpoint directory, by contrast, is absolute and normalised.
    EXPECT_EQ(std::string(skarn_session_get_checkpoint_directory(session.get())), canonical_text(dir.path()));
}

TEST(SessionCreate, EmptyFileHasNoSegmentsButStillGetsItsCopy) {
    TempDir dir;
    const std::string path = dir.file("empty.bin");
    write_file(path, "");
    TempDir checkpoints;
    Session session(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, checkpoints.str().c_str()));
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(session->current().pieces.empty());
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 0);
    ASSERT_EQ(checkpoints.entries().size(), 1u);
    EXPECT_TRUE(is_original_checkpoint_name(checkpoints.entries()[0]));
    EXPECT_STREQ(skarn_session_get_file_path(session.get()), path.c_str());
}

TEST(SessionCreate, MissingCheckpointDirectoryIsCreatedWithItsParents) {
    TempDir dir;
    const std::string path = dir.file("input.txt");
    write_file(path, "abc");
    const fs::path nested = dir.path() / "a" / "b" / "c";
    {
        Session session(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, nested.string().c_str()));
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(std::string(skarn_session_get_checkpoint_directory(session.get())), canonical_text(nested));
        EXPECT_EQ(std::distance(fs::directory_iterator(nested), fs::directory_iterator()), 1);
    }
    // The directory itself stays; the session's files do not.
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_TRUE(fs::is_empty(nested));
}

TEST(SessionCreate, BareFileNameUsesTheCurrentDirectory) {
    TempDir dir;
    const WorkingDirectory cwd(dir.path());
    write_file("bare.txt", "bare content");
    {
        Session session(skarn_edit_create_session("bare.txt", nullptr, nullptr, 0, nullptr));
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(std::string(skarn_session_get_checkpoint_directory(session.get())), canonical_text(dir.path()));
        EXPECT_STREQ(skarn_session_get_file_path(session.get()), "bare.txt");
        EXPECT_EQ(skarn_session_get_segment_string(session.get(), 0, 100), "bare content");
        const auto entries = dir.entries();
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_TRUE(is_original_checkpoint_name(entries[0])) << entries[0];
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>({"bare.txt"}));

    // A relative path with a directory part uses that directory, made absolute.
    fs::create_directory("sub");
    write_file("sub/inner.txt", "inner");
    Session session(skarn_edit_create_session("sub/inner.txt", nullptr, nullptr, 0, nullptr));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(std::string(skarn_session_get_checkpoint_directory(session.get())), canonical_text(dir.path() / "sub"));
}

TEST(SessionCreate, CheckpointNameOfUpTo259CharactersFits) {
    TempDir dir;
    const std::string path = dir.file("input.txt");
    write_file(path, "abc");
    // "/.Skarnpad-orig.XXXXXX" adds 22 characters to the directory.
    const std::string base = canonical_text(dir.path());
    const auto directory_of_length = [&](size_t length) {
        const fs::path result = fs::path(base) / std::string(length - base.size() - 1, 'd');
        fs::create_directories(result);
        return result.string();
    };
    ASSERT_LT(base.size() + 2, 237u) << "temporary directory path too long for this test";

    const std::string longest = directory_of_length(237);
    Session session(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, longest.c_str()));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->original_checkpoint_path.size(), 259u);
    session.reset();

    const std::string too_long = directory_of_length(238);
    ClogCapture log;
    EXPECT_EQ(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, too_long.c_str()), nullptr);
    EXPECT_NE(log.str().find("skarn_edit_create_session: failed to create original checkpoint filename template\n"),
              std::string::npos)
        << log.str();
    EXPECT_TRUE(fs::is_empty(too_long));
}

// ---------------------------------------------------------------------------
// Failed creation
// ---------------------------------------------------------------------------

TEST(SessionCreateFailure, MissingSourceLeavesNothingBehind) {
    TempDir dir;
    const std::string missing = dir.file("missing.txt");
    TempDir checkpoints;
    ClogCapture log;
    EXPECT_EQ(skarn_edit_create_session(missing.c_str(), nullptr, nullptr, 0, checkpoints.str().c_str()), nullptr);
    EXPECT_TRUE(checkpoints.entries().empty());
    const std::regex line("[a-z_]+\\.cpp@[0-9]+::skarn_edit_create_session: failed to copy original file '" + missing +
                          "' to checkpoint file '" + canonical_text(checkpoints.path()) +
                          "/\\.Skarnpad-orig\\.[A-Za-z0-9]{6}'\n");
    EXPECT_TRUE(std::regex_search(log.str(), line)) << log.str();
}

TEST(SessionCreateFailure, DirectoryAsSourceLeavesNothingBehind) {
    TempDir dir;
    fs::create_directory(dir.path() / "not_a_file");
    TempDir checkpoints;
    ClogCapture log;
    EXPECT_EQ(skarn_edit_create_session(dir.file("not_a_file").c_str(), nullptr, nullptr, 0, checkpoints.str().c_str()),
              nullptr);
    EXPECT_TRUE(checkpoints.entries().empty());
    EXPECT_NE(log.str().find("failed to copy original file '"), std::string::npos) << log.str();
}

TEST(SessionCreateFailure, CheckpointDirectoryThatCannotBeCreated) {
    TempDir dir;
    const std::string path = dir.file("input.txt");
    write_file(path, "abc");
    write_file(dir.file("blocker"), "a file where a directory should go");
    const std::string impossible = dir.file("blocker") + "/sub";
    Recorder recorder;
    ClogCapture log;
    EXPECT_EQ(skarn_edit_create_session(path.c_str(), Recorder::on_session, &recorder, all_session_events,
                                        impossible.c_str()),
              nullptr);
    EXPECT_NE(log.str().find("skarn_edit_create_session: failed to create checkpoint directory '" + impossible + "'\n"),
              std::string::npos)
        << log.str();
    EXPECT_TRUE(recorder.empty());
    EXPECT_EQ(dir.entries(), std::vector<std::string>({"blocker", "input.txt"}));
}

TEST(SessionCreateFailure, EmptyCheckpointDirectoryIsTakenAsGivenAndRefused) {
    TempDir dir;
    const std::string path = dir.file("input.txt");
    write_file(path, "abc");
    ClogCapture log;
    EXPECT_EQ(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, ""), nullptr);
    EXPECT_NE(log.str().find("failed to create checkpoint directory ''"), std::string::npos) << log.str();
    EXPECT_EQ(dir.entries(), std::vector<std::string>({"input.txt"}));
}

TEST(SessionCreateFailure, AllocationFailureAtAnyPointLeavesNothingBehind) {
    TempDir dir;
    const std::string path = dir.file("input.txt");
    write_file(path, "0123456789");
    TempDir checkpoints;
    const std::string checkpoint_directory = checkpoints.str();
    ClogCapture log;  // the failures are logged; keep them out of the test output
    // Fail the first allocation, then the second, and so on, until creation
    // makes fewer allocations than the count and so gets through untouched.
    for (long failing = 0;; ++failing) {
        SCOPED_TRACE("allocation " + std::to_string(failing));
        allocations_before_failure = failing;
        skarn_session_struct *session =
            skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, checkpoint_directory.c_str());
        const bool failure_met = allocations_before_failure.exchange(-1) < 0;
        if (session == nullptr) {
            ASSERT_TRUE(failure_met);
            ASSERT_TRUE(checkpoints.entries().empty()) << checkpoints.entries()[0];
            continue;
        }
        // A creation that met the failure and still succeeded must be complete.
        EXPECT_EQ(skarn_session_get_segment_string(session, 0, 100), "0123456789");
        skarn_edit_destroy_session(session);
        EXPECT_TRUE(checkpoints.entries().empty());
        if (!failure_met) break;
    }
    EXPECT_EQ(read_file(path), "0123456789");
}

// ---------------------------------------------------------------------------
// The caller's file and the session's own files
// ---------------------------------------------------------------------------

TEST(SessionFiles, CallersFileIsNeverModified) {
    TempDir dir;
    const std::string path = dir.file("precious.txt");
    const std::string content = "The quick brown fox jumps over the lazy dog.";
    write_file(path, content);
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(48);
    fs::last_write_time(path, stamp);

    Session session(skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, nullptr));
    ASSERT_NE(session, nullptr);
    const std::string copy = session->original_checkpoint_path;
    ASSERT_GT(skarn_edit_insert(session.get(), 4, "very ", 0), 0);
    ASSERT_GT(skarn_edit_overwrite(session.get(), 0, "A", 0), 0);
    ASSERT_GT(skarn_edit_delete(session.get(), 10, 20), 0);
    ASSERT_GT(
        skarn_edit_overwrite(session.get(), skarn_session_get_computed_file_size(session.get()) - 1, "!!! and more", 0),
        0);
    ASSERT_LT(skarn_edit_undo_last_change(session.get()), 0);
    ASSERT_GT(skarn_edit_redo_last_undo(session.get()), 0);
    EXPECT_NE(skarn_session_get_segment_string(session.get(), 0, 1000), content);
    EXPECT_EQ(read_file(path), content);
    EXPECT_EQ(read_file(copy), content);  // the private copy is not written either
    ASSERT_EQ(skarn_edit_clear_changes(session.get()), 0);
    EXPECT_EQ(skarn_session_get_segment_string(session.get(), 0, 1000), content);
    session.reset();

    EXPECT_EQ(read_file(path), content);
    EXPECT_EQ(fs::last_write_time(path), stamp);
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_EQ(dir.entries(), std::vector<std::string>({"precious.txt"}));
}

TEST(SessionFiles, DestructionRemovesEverythingTheSessionMade) {
    TempDir dir;
    const std::string path = dir.file("input.txt");
    write_file(path, "0123456789");
    TempDir checkpoints;
    Recorder recorder;
    Session session(skarn_edit_create_session(path.c_str(), Recorder::on_session, &recorder, all_session_events,
                                              checkpoints.str().c_str()));
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(checkpoints.entries().size(), 1u);
    skarn_viewport_struct *first = skarn_edit_create_viewport(session.get(), 0, 4, 0, nullptr, nullptr, 0);
    skarn_viewport_struct *second = skarn_edit_create_viewport(session.get(), 2, 4, 1, nullptr, nullptr, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    recorder.names[first] = "v1";
    recorder.names[second] = "v2";
    ASSERT_GT(skarn_edit_insert(session.get(), 3, "xyz", 0), 0);
    recorder.take();

    session.reset();
    // Newest viewport first; the address names the viewport that has gone.
    EXPECT_EQ(recorder.take(), Events({"S:DESTROY_VIEWPORT v2", "S:DESTROY_VIEWPORT v1"}));
    EXPECT_TRUE(checkpoints.entries().empty());
    EXPECT_EQ(dir.entries(), std::vector<std::string>({"input.txt"}));
    EXPECT_EQ(read_file(path), "0123456789");
}

TEST(SessionFiles, DestroyingNullIsIgnored) { skarn_edit_destroy_session(nullptr); }

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------

TEST(SessionEvents, ScriptedRunAnnouncesEveryEventInOrder) {
    TempDir dir;
    const std::string path = dir.file("input.txt");
    write_file(path, "0123456789");
    Recorder recorder;
    Session session(
        skarn_edit_create_session(path.c_str(), Recorder::on_session, &recorder, all_session_events, nullptr));
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    EXPECT_EQ(recorder.take(), Events({"S:CREATE null"}));

    // Two fixed viewports, told about edits, undos and clears.
    const int32_t viewport_interest = VIEWPORT_EVT_EDIT | VIEWPORT_EVT_UNDO | VIEWPORT_EVT_CLEAR;
    skarn_viewport_struct *v1 = skarn_edit_create_viewport(s, 0, 4, 0, Recorder::on_viewport, &recorder, 0);
    ASSERT_NE(v1, nullptr);
    recorder.names[v1] = "V1";
    skarn_viewport_set_event_interest(v1, viewport_interest);
    skarn_viewport_struct *v2 = skarn_edit_create_viewport(s, 1000, 8, 0, Recorder::on_viewport, &recorder, 0);
    ASSERT_NE(v2, nullptr);
    recorder.names[v2] = "V2";
    skarn_viewport_set_event_interest(v2, viewport_interest);
    EXPECT_EQ(recorder.take(), Events({"S:CREATE_VIEWPORT V1", "S:CREATE_VIEWPORT V2"}));

    // Edits: the viewports an edit affects hear of it first, in creation order.
    ASSERT_EQ(skarn_edit_insert(s, 2, "ab", 0), 1);
    EXPECT_EQ(recorder.take(), Events({"V1:EDIT 1", "V2:EDIT 1", "S:EDIT 1"}));
    EXPECT_EQ(recorder.last_change_pointer, skarn_session_get_last_change(s));
    ASSERT_EQ(skarn_edit_insert(s, 12, "zz", 0), 2);
    EXPECT_EQ(recorder.take(), Events({"V2:EDIT 2", "S:EDIT 2"}));
    ASSERT_EQ(skarn_edit_overwrite(s, 0, "Q", 0), 3);
    EXPECT_EQ(recorder.take(), Events({"V1:EDIT 3", "S:EDIT 3"}));
    ASSERT_EQ(skarn_edit_delete(s, 13, 1), 4);
    EXPECT_EQ(recorder.take(), Events({"V2:EDIT 4", "S:EDIT 4"}));
    ASSERT_EQ(skarn_session_get_segment_string(s, 0, 100), "Q1ab23456789z");

    // Undo and redo of a single change; the undone change carries its negative serial.
    ASSERT_EQ(skarn_edit_undo_last_change(s), -4);
    EXPECT_EQ(recorder.take(), Events({"V2:UNDO -4", "S:UNDO -4"}));
    EXPECT_EQ(recorder.last_change_pointer, skarn_session_get_last_undo(s));
    ASSERT_EQ(skarn_edit_redo_last_undo(s), 4);
    EXPECT_EQ(recorder.take(), Events({"V2:EDIT 4", "S:EDIT 4"}));

    // A transaction: undone newest first, redone oldest first.
    ASSERT_EQ(skarn_session_begin_transaction(s), 0);
    ASSERT_EQ(skarn_edit_insert(s, 0, "x", 0), 5);
    ASSERT_EQ(skarn_edit_insert(s, 14, "y", 0), 6);
    ASSERT_EQ(skarn_session_end_transaction(s), 0);
    EXPECT_EQ(recorder.take(), Events({"V1:EDIT 5", "V2:EDIT 5", "S:EDIT 5", "V2:EDIT 6", "S:EDIT 6"}));
    ASSERT_EQ(skarn_edit_undo_last_change(s), -5);
    EXPECT_EQ(recorder.take(), Events({"V2:UNDO -6", "S:UNDO -6", "V1:UNDO -5", "V2:UNDO -5", "S:UNDO -5"}));
    ASSERT_EQ(skarn_edit_redo_last_undo(s), 6);
    EXPECT_EQ(recorder.take(), Events({"V1:EDIT 5", "V2:EDIT 5", "S:EDIT 5", "V2:EDIT 6", "S:EDIT 6"}));

    // Pausing: announced once; refused operations announce nothing.
    skarn_session_pause_changes(s);
    skarn_session_pause_changes(s);
    EXPECT_EQ(skarn_edit_insert(s, 0, "no", 0), 0);
    EXPECT_EQ(skarn_edit_delete(s, 0, 1), 0);
    EXPECT_EQ(skarn_edit_overwrite(s, 0, "no", 0), 0);
    EXPECT_EQ(skarn_edit_undo_last_change(s), 0);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 0);
    skarn_session_resume_changes(s);
    skarn_session_resume_changes(s);
    EXPECT_EQ(recorder.take(), Events({"S:CHANGES_PAUSED null", "S:CHANGES_RESUMED null"}));

    // Clearing: every viewport, in order, then the session.
    ASSERT_EQ(skarn_edit_clear_changes(s), 0);
    EXPECT_EQ(recorder.take(), Events({"V1:CLEAR null", "V2:CLEAR null", "S:CLEAR null"}));
    EXPECT_EQ(skarn_session_get_segment_string(s, 0, 100), "0123456789");

    // Nothing to undo or redo: nothing announced.
    EXPECT_EQ(skarn_edit_undo_last_change(s), 0);
    EXPECT_EQ(skarn_edit_redo_last_undo(s), 0);
    EXPECT_TRUE(recorder.take().empty());

    session.reset();
    EXPECT_EQ(recorder.take(), Events({"S:DESTROY_VIEWPORT V2", "S:DESTROY_VIEWPORT V1"}));
}

TEST(SessionEvents, InterestOfZeroSilencesEverything) {
    TempDir dir;
    const std::string path = dir.file("input.txt");
    write_file(path, "0123456789");
    Recorder recorder;
    Session session(skarn_edit_create_session(path.c_str(), Recorder::on_session, &recorder, 0, nullptr));
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    ASSERT_NE(skarn_edit_create_viewport(s, 0, 4, 0, nullptr, nullptr, 0), nullptr);
    ASSERT_GT(skarn_edit_insert(s, 0, "abc", 0), 0);
    ASSERT_GT(skarn_edit_overwrite(s, 0, "abc", 0), 0);
    ASSERT_GT(skarn_edit_delete(s, 0, 2), 0);
    ASSERT_LT(skarn_edit_undo_last_change(s), 0);
    ASSERT_GT(skarn_edit_redo_last_undo(s), 0);
    skarn_session_pause_changes(s);
    skarn_session_resume_changes(s);
    ASSERT_EQ(skarn_edit_clear_changes(s), 0);
    session.reset();
    EXPECT_TRUE(recorder.empty());
}

TEST(SessionEvents, InterestMaskFiltersAndCanBeChanged) {
    Recorder recorder;
    Session session(skarn_edit_create_session(nullptr, Recorder::on_session, &recorder, SESSION_EVT_EDIT, nullptr));
    ASSERT_NE(session, nullptr);
    skarn_session_struct *s = session.get();
    EXPECT_TRUE(recorder.take().empty());  // CREATE is not of interest
    ASSERT_EQ(skarn_edit_insert(s, 0, "abc", 0), 1);
    ASSERT_EQ(skarn_edit_undo_last_change(s), -1);
    EXPECT_EQ(recorder.take(), Events({"S:EDIT 1"}));

    EXPECT_EQ(skarn_session_set_event_interest(s, SESSION_EVT_UNDO | SESSION_EVT_CLEAR),
              SESSION_EVT_UNDO | SESSION_EVT_CLEAR);
    EXPECT_EQ(skarn_session_get_event_interest(s), SESSION_EVT_UNDO | SESSION_EVT_CLEAR);
    ASSERT_EQ(skarn_edit_redo_last_undo(s), 1);
    ASSERT_EQ(skarn_edit_undo_last_change(s), -1);
    ASSERT_EQ(skarn_edit_clear_changes(s), 0);
    EXPECT_EQ(recorder.take(), Events({"S:UNDO -1", "S:CLEAR null"}));

    // skarn_session_notify applies the same filter.
    skarn_session_notify(s, SESSION_EVT_SAVE, nullptr);
    skarn_session_notify(s, SESSION_EVT_CLEAR | SESSION_EVT_SAVE, nullptr);
    EXPECT_EQ(recorder.take(), Events({"S:? null"}));
}

TEST(SessionEvents, SessionWithoutCallbackStillWorks) {
    Session session(skarn_edit_create_session(nullptr, nullptr, nullptr, all_session_events, nullptr));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(skarn_session_get_event_cbk(session.get()), nullptr);
    ASSERT_EQ(skarn_edit_insert(session.get(), 0, "abc", 0), 1);
    skarn_session_pause_changes(session.get());
    skarn_session_resume_changes(session.get());
    ASSERT_EQ(skarn_edit_undo_last_change(session.get()), -1);
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 0);
}

}  // namespace
