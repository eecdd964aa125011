// A crash at every point of a save in place: for each edit script (overwrites
// only, inserts, deletes, random mixed edits), over a file saved in chunks
// small enough that moves overlap their own sources, a child process saves
// and is ended before its Nth file-changing call, keeping or dropping what it
// had not synced; recovery must then give exactly the old or exactly the new
// content, remove the journal, and leave nothing for a second recovery.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "crash_plan.hpp"
#include "io/in_place_save.hpp"
#include "support/test_support.hpp"

namespace {

using namespace skarn_test;

constexpr int64_t chunk_bytes = 512;
constexpr size_t file_bytes = 24 * 1024;

// ---------------------------------------------------------------------------
// Edit scripts, applied to a session and to a plain string alike

struct Edit {
    enum Kind { insert, remove, overwrite } kind;
    int64_t offset;
    std::string bytes;   // insert, overwrite
    int64_t length = 0;  // remove
};
using Script = std::vector<Edit>;

std::string edited(std::string content, const Script &script) {
    for (const Edit &edit : script) {
        const auto at = static_cast<size_t>(edit.offset);
        switch (edit.kind) {
            case Edit::insert: content.insert(at, edit.bytes); break;
            case Edit::remove: content.erase(at, static_cast<size_t>(edit.length)); break;
            case Edit::overwrite:
                content.resize(std::max(content.size(), at + edit.bytes.size()));
                content.replace(at, edit.bytes.size(), edit.bytes);
                break;
        }
    }
    return content;
}

bool apply(skarn_session_struct *session, const Script &script) {
    for (const Edit &edit : script) {
        int64_t serial = 0;
        switch (edit.kind) {
            case Edit::insert: serial = skarn_edit_insert_string(session, edit.offset, edit.bytes); break;
            case Edit::remove: serial = skarn_edit_delete(session, edit.offset, edit.length); break;
            case Edit::overwrite: serial = skarn_edit_overwrite_string(session, edit.offset, edit.bytes); break;
        }
        if (serial <= 0) return false;
    }
    return true;
}

enum class ScriptKind { overwrites, inserts, deletes, mixed };

const char *name_of(ScriptKind kind) {
    switch (kind) {
        case ScriptKind::overwrites: return "Overwrites";
        case ScriptKind::inserts: return "Inserts";
        case ScriptKind::deletes: return "Deletes";
        case ScriptKind::mixed: return "Mixed";
    }
    return "?";
}

// Random edits over content of `size` bytes, of the kinds in `kinds`.
Script random_script(std::mt19937_64 &rng, int64_t size, int edits, std::vector<Edit::Kind> kinds) {
    Script script;
    for (int i = 0; i < edits; ++i) {
        const Edit::Kind kind = kinds[rng() % kinds.size()];
        const int64_t length = 1 + static_cast<int64_t>(rng() % 700);
        const int64_t offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size - length));
        if (kind == Edit::remove) {
            script.push_back({kind, offset, {}, length});
            size -= length;
        } else {
            script.push_back({kind, offset, random_bytes(rng, static_cast<size_t>(length))});
            if (kind == Edit::insert) size += length;
        }
    }
    return script;
}

// Each script shifts the tail both by less than a chunk (so that a chunk's
// move overlaps its own source) and by more.
Script script_of(ScriptKind kind, std::mt19937_64 &rng) {
    const auto size = static_cast<int64_t>(file_bytes);
    switch (kind) {
        case ScriptKind::overwrites: return random_script(rng, size, 6, {Edit::overwrite});
        case ScriptKind::inserts:
            return {{Edit::insert, 7, "+"}, {Edit::insert, 9000, random_bytes(rng, 700)}, {Edit::insert, 20000, "abc"}};
        case ScriptKind::deletes:
            return {{Edit::remove, 7, {}, 1}, {Edit::remove, 9000, {}, 900}, {Edit::remove, 20000, {}, 5}};
        case ScriptKind::mixed: return random_script(rng, size, 12, {Edit::insert, Edit::remove, Edit::overwrite});
    }
    return {};
}

// Recovery with syncs not forwarded: the parent does not crash, so their
// durability is not what is tested, and thousands of recoveries stay fast.
int recover(const std::string &path) {
    skarn_fault::arm_crash({});
    const int result = skarn_util_recover_file(path.c_str());
    skarn_fault::disarm_crash();
    return result;
}

// ---------------------------------------------------------------------------
// One save in a child process, ended at a chosen point

constexpr int exit_crashed = 86;
constexpr int exit_saved = 0;
constexpr int exit_no_session = 81;
constexpr int exit_edit_refused = 82;
constexpr int exit_wrong_content = 83;
constexpr int exit_save_failed = 100;  // plus the save's negated result

std::string describe_exit(int code) {
    switch (code) {
        case exit_no_session: return "the session could not be created";
        case exit_edit_refused: return "an edit was refused";
        case exit_wrong_content: return "the session's content is not the script's";
        default: break;
    }
    if (code > exit_save_failed) return "the save returned " + std::to_string(exit_save_failed - code);
    return "exit code " + std::to_string(code);
}

struct Scene {
    TempDir dir;
    std::string path = dir.file("doc.bin");
    std::string journal = dir.file(".doc.bin.skarn-journal");
    std::string checkpoints = dir.file("chk");
    std::string old_content;
    std::string new_content;
    Script script;
    bool in_place_session = false;
};

[[noreturn]] void save_in_child(const Scene &scene, skarn_fault::crash_plan plan) {
    skarn::in_place_chunk_bytes = chunk_bytes;
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = scene.in_place_session ? SESSION_OPT_IN_PLACE : 0;
    options.checkpoint_directory = scene.checkpoints.c_str();
    skarn_session_struct *session = skarn_edit_create_session_with_options(scene.path.c_str(), &options);
    if (session == nullptr) _exit(exit_no_session);
    if (!apply(session, scene.script)) _exit(exit_edit_refused);
    if (content_of(session) != scene.new_content) _exit(exit_wrong_content);
    skarn_fault::arm_crash(plan);
    const int result = skarn_edit_save(session, scene.path.c_str(), IO_FLG_IN_PLACE | IO_FLG_OVERWRITE, nullptr);
    skarn_fault::disarm_crash();
    _exit(result == 0 ? exit_saved : exit_save_failed - result);
}

// Puts the old content back and empties the checkpoint directory, then runs
// the save in a child ended before call `crash_at`; returns its exit code.
int run_save(const Scene &scene, int crash_at, bool drop_unsynced) {
    write_file(scene.path, scene.old_content);
    fs::remove_all(scene.checkpoints);
    fs::create_directories(scene.checkpoints);
    std::cout.flush();
    const pid_t child = fork();
    if (child == 0) save_in_child(scene, {crash_at, drop_unsynced, exit_crashed});
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// ---------------------------------------------------------------------------
// The crash plan itself

// Writes, syncs and resizes two files, and is ended before unlinking one.
[[noreturn]] void change_files_and_crash(const std::string &kept, const std::string &created, bool drop_unsynced) {
    skarn_fault::arm_crash({7, drop_unsynced, exit_crashed});
    const int fd = open(kept.c_str(), O_RDWR);
    bool done = pwrite(fd, "bbbb", 4, 10) == 4 && fsync(fd) == 0;  // calls 1, 2
    done = done && pwrite(fd, "cccc", 4, 20) == 4 && ftruncate(fd, 500) == 0;
    const int other = open(created.c_str(), O_CREAT | O_WRONLY, 0600);
    done = done && write(other, "new", 3) == 3 && lseek(fd, 990, SEEK_SET) == 990 && write(fd, "dddd", 4) == 4;
    if (done) unlink(created.c_str());  // call 7: never made
    _exit(done ? exit_saved : exit_save_failed);
}

TEST(CrashPlan, EndsBeforeTheChosenCallAndDropsExactlyWhatWasNotSynced) {
    for (const bool drop_unsynced : {false, true}) {
        TempDir dir;
        const std::string kept = dir.file("kept.bin"), created = dir.file("created.bin");
        write_file(kept, std::string(1000, 'a'));
        const pid_t child = fork();
        if (child == 0) change_files_and_crash(kept, created, drop_unsynced);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), exit_crashed) << describe_exit(WEXITSTATUS(status));
        std::string expected = std::string(10, 'a') + "bbbb" + std::string(986, 'a');
        if (!drop_unsynced) {
            expected.replace(20, 4, "cccc");
            expected.resize(500);
            expected.resize(990, '\0');
            expected += "dddd";
        }
        EXPECT_EQ(read_file(kept), expected) << (drop_unsynced ? "dropped" : "kept");
        EXPECT_EQ(read_file(created), drop_unsynced ? "" : "new");
    }
}

// ---------------------------------------------------------------------------
// The loop over every point

using Param = std::tuple<ScriptKind, bool /* in-place session */, bool /* drop unsynced */>;

class CrashAtEveryPoint : public ::testing::TestWithParam<Param> {};

TEST_P(CrashAtEveryPoint, RecoveryGivesExactlyOldOrNewContent) {
    const auto [kind, in_place_session, drop_unsynced] = GetParam();
    Scene scene;
    std::mt19937_64 rng(static_cast<uint64_t>(kind) + 11);
    scene.old_content = random_bytes(rng, file_bytes);
    scene.script = script_of(kind, rng);
    scene.new_content = edited(scene.old_content, scene.script);
    scene.in_place_session = in_place_session;

    int old_points = 0, new_points = 0;
    for (int crash_at = 1;; ++crash_at) {
        ASSERT_LT(crash_at, 100000) << "the save never completes";
        const int code = run_save(scene, crash_at, drop_unsynced);
        if (code == exit_saved) {
            EXPECT_EQ(read_file(scene.path), scene.new_content) << "a complete save";
            EXPECT_FALSE(fs::exists(scene.journal)) << "a complete save";
            break;
        }
        ASSERT_EQ(code, exit_crashed) << "at point " << crash_at << ": " << describe_exit(code);
        const ClogCapture log;  // recovery's log lines, shown when it fails
        const int recovered = recover(scene.path);
        ASSERT_TRUE(recovered == 0 || recovered == 1) << "at point " << crash_at << ": " << recovered << "\n"
                                                      << log.str();
        const std::string content = read_file(scene.path);
        const bool is_new = content == scene.new_content;
        ASSERT_TRUE(is_new || content == scene.old_content)
            << "at point " << crash_at << ": neither the old nor the new content (size " << content.size() << ")\n"
            << log.str();
        EXPECT_FALSE(!is_new && new_points > 0) << "at point " << crash_at << ": old content after new";
        (is_new ? new_points : old_points) += 1;
        ASSERT_FALSE(fs::exists(scene.journal)) << "at point " << crash_at;
        ASSERT_EQ(recover(scene.path), 0) << "a second recovery at point " << crash_at;
    }
    std::cout << name_of(kind) << (in_place_session ? ", in-place session" : ", copying session")
              << (drop_unsynced ? ", unsynced writes dropped" : ", unsynced writes kept") << ": "
              << old_points + new_points << " points, " << old_points << " old, " << new_points << " new\n";
    EXPECT_GT(old_points, 0);
    EXPECT_GT(new_points, 0);
}

std::string param_name(const ::testing::TestParamInfo<Param> &info) {
    const auto [kind, in_place_session, drop_unsynced] = info.param;
    return std::string(name_of(kind)) + (in_place_session ? "InPlaceSession" : "CopyingSession") +
           (drop_unsynced ? "DroppingUnsynced" : "KeepingUnsynced");
}

INSTANTIATE_TEST_SUITE_P(Scripts, CrashAtEveryPoint,
                         ::testing::Combine(::testing::Values(ScriptKind::overwrites, ScriptKind::inserts,
                                                              ScriptKind::deletes, ScriptKind::mixed),
                                            ::testing::Bool(), ::testing::Bool()),
                         param_name);

}  // namespace
