// Saving in place: random sessions saved again and again into their own file
// against a model of the content and its history, with chunks small enough
// that moves overlap their own sources; what an in-place save refuses; the
// file's inode and links; a block device.
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/in_place_save.hpp"
#include "skarn_edit.hpp"
#include "support/loop_device.hpp"
#include "support/test_support.hpp"

namespace {

using namespace skarn_test;

constexpr int in_place = IO_FLG_IN_PLACE | IO_FLG_OVERWRITE;

Session open_with(const std::string &path, const TempDir &dir, int32_t flags) {
    const std::string directory = dir.str();
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = flags;
    options.checkpoint_directory = directory.c_str();
    return Session(skarn_edit_create_session_with_options(path.c_str(), &options));
}

ino_t inode_of(const std::string &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Chunks of a few bytes, so that short shifts overlap their own sources.
class SmallChunks : public ::testing::TestWithParam<int32_t> {
protected:
    void SetUp() override { skarn::in_place_chunk_bytes = 48; }
    void TearDown() override { skarn::in_place_chunk_bytes = int64_t{16} << 20; }
};

// The content and its history as a user sees them: each level's content
// before every change in force, and what undo took back.
struct model_level {
    std::string content;
    std::vector<std::string> before;  // content before each change in force
    std::vector<std::string> undone;  // content after each undone change
};

TEST_P(SmallChunks, RandomSessionsSavedInPlaceAgainAndAgainMatchTheModel) {
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        TempDir dir;
        std::mt19937_64 rng(seed);
        const std::string path = dir.file("doc.bin");
        write_file(path, random_bytes(rng, 600 + rng() % 2000));
        ino_t inode = inode_of(path);
        Session session = open_with(path, dir, GetParam());
        ASSERT_NE(session, nullptr);
        std::vector<model_level> levels{{read_file(path), {}, {}}};
        for (int round = 0; round < 40; ++round) {
            model_level &level = levels.back();
            std::string &content = level.content;
            const int64_t size = static_cast<int64_t>(content.size());
            const int64_t at = size == 0 ? 0 : static_cast<int64_t>(rng() % static_cast<uint64_t>(size));
            const std::string bytes = random_bytes(rng, 1 + rng() % 120);
            const std::string previous = content;
            switch (rng() % 9) {
                case 0:
                case 1:
                    ASSERT_GT(skarn_edit_insert_bytes(session.get(), at, bytes_of(bytes), std::ssize(bytes)), 0);
                    content.insert(static_cast<size_t>(at), bytes);
                    break;
                case 2:
                case 3:
                    ASSERT_GT(skarn_edit_overwrite_bytes(session.get(), at, bytes_of(bytes), std::ssize(bytes)), 0);
                    content.replace(static_cast<size_t>(at), std::min(bytes.size(), content.size() - at), bytes);
                    break;
                case 4:
                    if (size == 0) continue;
                    ASSERT_GT(skarn_edit_delete(session.get(), at, std::ssize(bytes)), 0);
                    content.erase(static_cast<size_t>(at), bytes.size());
                    break;
                case 5:
                    if (level.before.empty()) continue;
                    ASSERT_LT(skarn_edit_undo_last_change(session.get()), 0);
                    level.undone.push_back(content);
                    content = level.before.back();
                    level.before.pop_back();
                    continue;
                case 6:
                    if (level.undone.empty()) continue;
                    ASSERT_GT(skarn_edit_redo_last_undo(session.get()), 0);
                    level.before.push_back(content);
                    content = level.undone.back();
                    level.undone.pop_back();
                    continue;
                case 7:
                    if (levels.size() > 1 && rng() % 2 == 0) {
                        ASSERT_EQ(skarn_edit_destroy_last_checkpoint(session.get()), 0);
                        levels.pop_back();
                    } else {
                        ASSERT_EQ(skarn_edit_create_checkpoint(session.get()), 0);
                        levels.push_back({content, {}, {}});
                    }
                    continue;
                default: {
                    // Now and then a save by rename puts a new file under the name.
                    const bool by_rename = rng() % 4 == 0;
                    ASSERT_EQ(
                        skarn_edit_save(session.get(), path.c_str(), by_rename ? IO_FLG_OVERWRITE : in_place, nullptr),
                        0)
                        << "seed " << seed << " round " << round;
                    ASSERT_TRUE(read_file(path) == content) << "seed " << seed << " round " << round;
                    if (by_rename) inode = inode_of(path);
                    ASSERT_EQ(inode_of(path), inode);
                    continue;
                }
            }
            level.before.push_back(previous);
            level.undone.clear();
            ASSERT_TRUE(content_of(session.get()) == levels.back().content) << "seed " << seed << " round " << round;
        }
        // Every level's history still reads after all those saves.
        while (true) {
            model_level &level = levels.back();
            while (!level.before.empty()) {
                ASSERT_LT(skarn_edit_undo_last_change(session.get()), 0);
                level.content = level.before.back();
                level.before.pop_back();
                ASSERT_TRUE(content_of(session.get()) == level.content) << "seed " << seed;
            }
            if (levels.size() == 1) break;
            ASSERT_EQ(skarn_edit_destroy_last_checkpoint(session.get()), 0);
            levels.pop_back();
        }
        ASSERT_EQ(skarn_edit_save(session.get(), path.c_str(), in_place, nullptr), 0);
        ASSERT_TRUE(read_file(path) == levels.back().content);
        // A session opened now reads what the last save wrote; nothing was left beside the file.
        Session reopened = open_with(path, dir, GetParam());
        ASSERT_NE(reopened, nullptr);
        EXPECT_TRUE(content_of(reopened.get()) == levels.back().content);
        EXPECT_FALSE(fs::exists(dir.file(".doc.bin.skarn-journal")));
    }
}

INSTANTIATE_TEST_SUITE_P(InPlaceSave, SmallChunks, ::testing::Values(0, SESSION_OPT_IN_PLACE),
                         [](const auto &info) { return info.param == 0 ? "PrivateCopy" : "ReadInPlace"; });

TEST(InPlaceSave, KeepsTheInodeLinksAndPermissionsAndRefusesAnyOtherTarget) {
    TempDir dir;
    const std::string path = dir.file("doc.txt");
    const std::string link = dir.file("link.txt");
    const std::string other = dir.file("other.txt");
    write_file(path, "hello world");
    write_file(other, "other");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
    Session session = open_with(path, dir, 0);
    ASSERT_NE(session, nullptr);
    ASSERT_GT(skarn_edit_insert_string(session.get(), 5, ","), 0);
    char saved[SKARN_PATH_BUFFER_SIZE] = "";
    ASSERT_EQ(skarn_edit_save(session.get(), link.c_str(), in_place, saved), 0) << "another name of the same file";
    EXPECT_EQ(read_file(path), "hello, world");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_EQ(inode_of(path), inode_of(link));

    EXPECT_EQ(skarn_edit_save(session.get(), other.c_str(), in_place, nullptr), -16);
    EXPECT_EQ(read_file(other), "other");
    EXPECT_EQ(skarn_edit_save_segment(session.get(), path.c_str(), in_place, nullptr, 0, 5), -16);
    EXPECT_EQ(skarn_edit_save_segment(session.get(), path.c_str(), in_place, nullptr, 1, 0), -16);
    Session nothing(skarn_edit_create_session(nullptr, nullptr, nullptr, 0, dir.str().c_str()));
    EXPECT_EQ(skarn_edit_save(nothing.get(), path.c_str(), in_place, nullptr), -16);

    // Another program's write: refused, unless forced, which rewrites the file whole.
    write_file(path, "changed by someone else");
    ASSERT_GT(skarn_edit_insert_string(session.get(), 0, ">"), 0);
    EXPECT_EQ(skarn_edit_save(session.get(), path.c_str(), in_place, nullptr), -100);
    EXPECT_EQ(read_file(path), "changed by someone else");
    EXPECT_EQ(skarn_edit_save(session.get(), path.c_str(), IO_FLG_IN_PLACE | IO_FLG_FORCE_OVERWRITE, nullptr), 0);
    EXPECT_EQ(read_file(link), ">hello, world");
    EXPECT_EQ(skarn_util_recover_file(path.c_str()), 0) << "nothing left to recover";
}

TEST(InPlaceSave, ABlockDeviceIsWrittenWhereItIsOnlyAtItsOwnSize) {
    TempDir dir;
    std::mt19937_64 rng(4);
    const std::string image = dir.file("disk.img");
    std::string bytes = random_bytes(rng, size_t{1} << 20);
    write_file(image, bytes);
    LoopDevice loop(image);
    if (loop.path().empty()) GTEST_SKIP() << "needs root and a free loop device to attach " << image;
    Session session = open_with(loop.path(), dir, SESSION_OPT_IN_PLACE);
    ASSERT_NE(session, nullptr);
    ASSERT_GT(skarn_edit_insert_string(session.get(), 4096, "grown"), 0);
    EXPECT_EQ(skarn_edit_save(session.get(), loop.path().c_str(), in_place, nullptr), -17);
    ASSERT_GT(skarn_edit_delete(session.get(), 0, 5), 0);
    ASSERT_GT(skarn_edit_overwrite_string(session.get(), 100, "patched"), 0);
    ASSERT_EQ(skarn_edit_save(session.get(), loop.path().c_str(), in_place, nullptr), 0);
    bytes.insert(4096, "grown");
    bytes.erase(0, 5);
    bytes.replace(100, 7, "patched");
    EXPECT_TRUE(content_of(session.get()) == bytes);
    ASSERT_LT(skarn_edit_undo_last_change(session.get()), 0) << "the history goes on after the save";
    Session reopened = open_with(loop.path(), dir, SESSION_OPT_IN_PLACE);
    EXPECT_TRUE(content_of(reopened.get()) == bytes) << "the device holds the new content";
}

}  // namespace

// Another program's write to the file an in-place session reads, beneath a
// checkpoint: a forced in-place save writes the checkpoint's content, and the
// level below, whose pieces no longer tell what the file held, stays refused.
TEST(InPlaceSave, ALevelWhoseFileAnotherProgramChangedStaysRefusedAfterAForcedSave) {
    TempDir dir;
    const std::string path = dir.file("doc.txt");
    write_file(path, "0123456789");
    Session session = open_with(path, dir, SESSION_OPT_IN_PLACE);
    ASSERT_NE(session, nullptr);
    ASSERT_GT(skarn_edit_insert_string(session.get(), 0, "<"), 0);
    ASSERT_EQ(skarn_edit_create_checkpoint(session.get()), 0);
    ASSERT_GT(skarn_edit_insert_string(session.get(), 0, ">"), 0);
    write_file(path, "someone else's");
    EXPECT_EQ(skarn_edit_save(session.get(), path.c_str(), in_place, nullptr), -100);
    ASSERT_EQ(skarn_edit_save(session.get(), path.c_str(), IO_FLG_IN_PLACE | IO_FLG_FORCE_OVERWRITE, nullptr), 0);
    EXPECT_EQ(read_file(path), "><0123456789");
    ASSERT_EQ(skarn_edit_destroy_last_checkpoint(session.get()), 0);
    uint8_t byte = 0;
    ClogCapture quiet;
    EXPECT_EQ(skarn_session_read(session.get(), 0, &byte, 1), -1)
        << "the level below reads nothing it cannot vouch for";
}
