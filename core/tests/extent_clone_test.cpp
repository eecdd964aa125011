// Tests of saves and checkpoints that share the blocks of the session's file
// copy-on-write, on a real XFS with reflink in a loop-mounted image (as root;
// skipped elsewhere): the content is exact, all but a few blocks are shared,
// and cloning gives way to writing where it cannot work. Clones that fail
// are tested in fault/fault_test.cpp.

#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "skarn_edit.hpp"
#include "support/reflink_volume.hpp"
#include "support/test_support.hpp"

using skarn_test::ClogCapture;
using skarn_test::names_with_prefix;
using skarn_test::random_bytes;
using skarn_test::Session;
using skarn_test::TempDir;
using ::testing::HasSubstr;

namespace {

using skarn_test::block;
using skarn_test::Fd;
using skarn_test::pattern;
using skarn_test::ReflinkVolume;
using skarn_test::run;
using skarn_test::unshared_bytes;

constexpr int64_t big_size = (int64_t{1} << 30) + 100;  // a partial last block, never cloned

// `count` bytes from `offset` of a file made of the pattern.
std::string pattern_bytes(int64_t offset, int64_t count) {
    const auto period = static_cast<int64_t>(pattern().size());
    std::string out;
    for (int64_t step = 0; count > 0; offset += step, count -= step) {
        step = std::min(count, period - offset % period);
        out.append(pattern(), static_cast<size_t>(offset % period), static_cast<size_t>(step));
    }
    return out;
}

// What a file made of the pattern holds after an insertion at offset 0 and
// the overwrite of one byte (at an offset of the pattern's file).
struct expected_content {
    int64_t source_size = big_size;
    std::string inserted_at_0;
    int64_t overwritten = -1;  // none
    char overwritten_with = '*';

    int64_t size() const { return static_cast<int64_t>(inserted_at_0.size()) + source_size; }

    // `count` bytes from `offset` of the content.
    std::string bytes(int64_t offset, int64_t count) const {
        const auto head = static_cast<int64_t>(inserted_at_0.size());
        std::string out = offset < head ? inserted_at_0.substr(static_cast<size_t>(offset)) : "";
        out.resize(std::min(out.size(), static_cast<size_t>(count)));
        const int64_t source = offset + static_cast<int64_t>(out.size()) - head;
        const int64_t from_source = count - static_cast<int64_t>(out.size());
        if (overwritten >= source && overwritten < source + from_source) {
            out += pattern_bytes(source, overwritten - source) + overwritten_with +
                   pattern_bytes(overwritten + 1, source + from_source - overwritten - 1);
        } else {
            out += pattern_bytes(source, from_source);
        }
        return out;
    }
};

// Checks that the file at `path` holds exactly `expected`.
void expect_content(const std::string &path, const expected_content &expected) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_GE(fd.get(), 0) << path;
    ASSERT_EQ(::lseek(fd.get(), 0, SEEK_END), expected.size()) << path;
    constexpr int64_t chunk = int64_t{8} << 20;
    std::string got(static_cast<size_t>(chunk), '\0');
    for (int64_t at = 0; at < expected.size(); at += chunk) {
        const int64_t count = std::min(chunk, expected.size() - at);
        ASSERT_EQ(::pread(fd.get(), got.data(), static_cast<size_t>(count), at), count);
        const std::string want = expected.bytes(at, count);
        ASSERT_EQ(std::memcmp(got.data(), want.data(), static_cast<size_t>(count)), 0)
            << path << " differs in the 8 MiB from " << at;
    }
}

struct edit_case {
    const char *name;
    std::string inserted_at_0;
    int64_t overwritten;
    bool shared;  // all but a few blocks
};

// One changed byte, or a whole block inserted in front, leaves every other
// block where a clone can carry it; one byte inserted in front puts every
// byte off its block, and all are written. Saved over the file or to a new
// name, from a private copy or from the file read in place.
TEST_F(ReflinkVolume, SavesShareAllButTheChangedBlocks) {
    const std::string original = file("original.bin");
    make_pattern_file(original, big_size);
    const std::string doc = file("doc.bin");
    const edit_case edits[] = {{"one byte overwritten", "", big_size / 2 + 5, true},
                               {"a block inserted at 0", std::string(block, 'I'), -1, true},
                               {"one byte inserted at 0", "+", -1, false}};
    for (const int32_t flags : {0, static_cast<int32_t>(SESSION_OPT_IN_PLACE)}) {
        for (const edit_case &edit : edits) {
            for (const bool over_the_file : {true, false}) {
                // Writing all of it takes seconds: once, in place to a new name.
                if (!edit.shared && (flags == 0 || over_the_file)) continue;
                SCOPED_TRACE(std::string(flags != 0 ? "in place, " : "private copy, ") + edit.name +
                             (over_the_file ? ", over the file" : ", to a new name"));
                clone_file(original, doc);
                expected_content expected;
                expected.inserted_at_0 = edit.inserted_at_0;
                const std::string target = over_the_file ? doc : file("saved.bin");
                {
                    Session session = open(doc, flags);
                    ASSERT_TRUE(session);
                    if (edit.overwritten >= 0) {
                        expected.overwritten = edit.overwritten;
                        ASSERT_GT(skarn_edit_overwrite(session.get(), edit.overwritten, "*", 0), 0);
                    } else {
                        ASSERT_GT(skarn_edit_insert(session.get(), 0, edit.inserted_at_0.c_str(), 0), 0);
                    }
                    ASSERT_EQ(skarn_edit_save(session.get(), target.c_str(), IO_FLG_OVERWRITE, nullptr), 0);
                }
                expect_content(target, expected);
                const int64_t unshared = unshared_bytes(target);
                EXPECT_GE(unshared, edit.shared ? 0 : expected.size() - 4 * block);
                EXPECT_LE(unshared, edit.shared ? 4 * block : expected.size());
                ASSERT_TRUE(run("rm -f " + doc + " " + file("saved.bin")));
            }
        }
    }
}

// A checkpoint's file shares the blocks of the file below it too, and the
// session reads on from it.
TEST_F(ReflinkVolume, ACheckpointSharesTheBlocksOfTheFile) {
    const std::string doc = file("doc.bin");
    make_pattern_file(doc, big_size);
    for (const int32_t flags : {0, static_cast<int32_t>(SESSION_OPT_IN_PLACE)}) {
        SCOPED_TRACE(flags != 0 ? "in place" : "private copy");
        Session session = open(doc, flags);
        ASSERT_TRUE(session);
        expected_content expected;
        expected.overwritten = 3 * block + 1;
        ASSERT_GT(skarn_edit_overwrite(session.get(), expected.overwritten, "*", 0), 0);
        ASSERT_EQ(skarn_edit_create_checkpoint(session.get()), 0);
        const auto files = names_with_prefix(checkpoints_, ".Skarnpad-chk.");
        ASSERT_EQ(files.size(), 1u);
        const std::string checkpoint = checkpoints_ + "/" + files[0];
        expect_content(checkpoint, expected);
        const int64_t unshared = unshared_bytes(checkpoint);
        EXPECT_GE(unshared, 0);
        EXPECT_LE(unshared, 4 * block);
        uint8_t around[3] = {};
        ASSERT_EQ(skarn_session_read(session.get(), expected.overwritten - 1, around, 3), 3);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(around), 3), expected.bytes(expected.overwritten - 1, 3));
    }
}

// One random edit made to the session and to `model` alike: lengths of a few
// bytes and around whole blocks, at any offset and at block boundaries, so
// that stretches of the files fall in and out of step with their blocks.
void random_edit(skarn_session_struct *session, std::string &model, std::mt19937_64 &rng) {
    const int64_t lengths[] = {1, 7, block - 1, block, block + 1, 2 * block, 3 * block + 5};
    const int64_t length = lengths[rng() % std::size(lengths)];
    const auto size = static_cast<int64_t>(model.size());
    int64_t offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size + 1));
    if (rng() % 2 == 0) offset -= offset % block;
    const std::string bytes = random_bytes(rng, static_cast<size_t>(length));
    const auto at = static_cast<size_t>(offset);
    switch (rng() % 3) {
        case 0:
            ASSERT_GT(skarn_edit_insert_bytes(session, offset, skarn_test::bytes_of(bytes), length), 0);
            model.insert(at, bytes);
            break;
        case 1:
            if (offset == size) return;
            ASSERT_GT(skarn_edit_delete(session, offset, length), 0);
            model.erase(at, static_cast<size_t>(length));
            break;
        default:
            ASSERT_GT(skarn_edit_overwrite_bytes(session, offset, skarn_test::bytes_of(bytes), length), 0);
            model.resize(std::max(model.size(), at + bytes.size()));
            model.replace(at, bytes.size(), bytes);
    }
}

// Saves after random edits, some of them over checkpoints, from a private
// copy and in place, hold exactly what a plain string model holds.
TEST_F(ReflinkVolume, SavesAfterRandomEditsHoldExactlyTheModelsContent) {
    std::mt19937_64 rng(2026);
    const std::string doc = file("doc.bin");
    const std::string original = random_bytes(rng, (size_t{64} << 10) + 123);
    skarn_test::write_file(doc, original);
    for (const int32_t flags : {0, static_cast<int32_t>(SESSION_OPT_IN_PLACE)}) {
        SCOPED_TRACE(flags != 0 ? "in place" : "private copy");
        Session session = open(doc, flags);
        ASSERT_TRUE(session);
        std::string model = original;
        for (int edit = 1; edit <= 200; ++edit) {
            ASSERT_NO_FATAL_FAILURE(random_edit(session.get(), model, rng));
            if (edit % 50 == 0) {
                ASSERT_EQ(skarn_edit_create_checkpoint(session.get()), 0);
            }
            if (edit % 5 != 0) continue;
            SCOPED_TRACE("after edit " + std::to_string(edit));
            ASSERT_EQ(skarn_edit_save(session.get(), file("saved.bin").c_str(), IO_FLG_OVERWRITE, nullptr), 0);
            ASSERT_TRUE(skarn_test::read_file(file("saved.bin")) == model);
        }
    }
}

// Another program's write to the file read in place, landing while the save
// clones from it, makes the save refuse (-14) and leave nothing.
std::string changed_meanwhile;
int change_the_file_once(int32_t operation, int64_t, int64_t, void *) {
    static bool changed = false;
    if (operation == PROGRESS_OP_SAVE && !changed) {
        changed = true;
        const Fd fd(::open(changed_meanwhile.c_str(), O_WRONLY | O_CLOEXEC));
        EXPECT_EQ(::pwrite(fd.get(), "X", 1, big_size - 1), 1);
    }
    return 0;
}

TEST_F(ReflinkVolume, AChangeToTheFileReadInPlaceDuringTheSaveIsRefused) {
    changed_meanwhile = file("doc.bin");
    make_pattern_file(changed_meanwhile, big_size);
    // Times no later write can share, so that its identity surely tells a change.
    const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, changed_meanwhile.c_str(), long_ago, 0), 0);
    Session session = open(changed_meanwhile, SESSION_OPT_IN_PLACE, &change_the_file_once);
    ASSERT_TRUE(session);
    ASSERT_GT(skarn_edit_overwrite(session.get(), 10, "*", 0), 0);
    ClogCapture log;
    EXPECT_EQ(skarn_edit_save(session.get(), file("saved.bin").c_str(), 0, nullptr), -14);
    EXPECT_THAT(log.str(), HasSubstr("was changed by another program"));
    EXPECT_TRUE(names_with_prefix(mount_point_, "saved").empty());
    EXPECT_TRUE(names_with_prefix(mount_point_, ".Skarnpad_").empty());
}

// The session's own file cut short by another program before the save
// clones from it: a clone past its end is refused (or, on some kernels,
// stops at the end without a word), which is not taken for a lack of
// support; the save fails as a short read does (-6), leaving nothing.
std::string cut_meanwhile;
int cut_the_file_once(int32_t operation, int64_t, int64_t, void *) {
    static bool cut = false;
    if (operation == PROGRESS_OP_SAVE && !cut) {
        cut = true;
        EXPECT_EQ(::truncate(cut_meanwhile.c_str(), 16 << 20), 0);
    }
    return 0;
}

TEST_F(ReflinkVolume, ASourceCutShortBeforeTheCloneFailsTheSave) {
    const std::string doc = file("doc.bin");
    make_pattern_file(doc, int64_t{64} << 20);
    Session session = open(doc, 0, &cut_the_file_once);
    ASSERT_TRUE(session);
    const auto copies = names_with_prefix(checkpoints_, ".Skarnpad-orig.");
    ASSERT_EQ(copies.size(), 1u);
    cut_meanwhile = checkpoints_ + "/" + copies[0];
    // Enough bytes ahead of the file's for the progress callback to run first.
    const std::string inserted(size_t{8} << 20, 'I');
    ASSERT_GT(skarn_edit_insert_bytes(session.get(), 0, skarn_test::bytes_of(inserted),
                                      static_cast<int64_t>(inserted.size())),
              0);
    ClogCapture log;
    EXPECT_EQ(skarn_edit_save(session.get(), file("saved.bin").c_str(), 0, nullptr), -6);
    EXPECT_THAT(log.str(), HasSubstr("ends before offset"));
    EXPECT_TRUE(names_with_prefix(mount_point_, "saved").empty());
    EXPECT_TRUE(names_with_prefix(mount_point_, ".Skarnpad_").empty());
}

// Between two file systems nothing can be cloned: each save writes the
// content instead, silently.
TEST_F(ReflinkVolume, ContentFromAnotherFileSystemIsWrittenSilently) {
    const std::string doc = file("doc.bin");
    constexpr int64_t size = int64_t{16} << 20;
    make_pattern_file(doc, size);
    const TempDir elsewhere;  // the private copy lives on another file system
    const std::string elsewhere_path = elsewhere.str();
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.checkpoint_directory = elsewhere_path.c_str();
    Session session(skarn_edit_create_session_with_options(doc.c_str(), &options));
    ASSERT_TRUE(session);
    expected_content expected;
    expected.source_size = size;
    expected.overwritten = 5;
    ASSERT_GT(skarn_edit_overwrite(session.get(), 5, "*", 0), 0);
    for (const char *name : {"first.bin", "second.bin"}) {
        ClogCapture log;
        ASSERT_EQ(skarn_edit_save(session.get(), file(name).c_str(), 0, nullptr), 0);
        EXPECT_EQ(log.str(), "");
        expect_content(file(name), expected);
        EXPECT_GE(unshared_bytes(file(name)), size - block);
    }
}

}  // namespace

// A file saved into itself no longer holds its original bytes where an
// in-place session's pieces say (here one block further on): a later save by
// rename writes them, never clones them from there.
TEST_F(ReflinkVolume, AFileSavedIntoItselfIsNotClonedFromWhereItsBytesWere) {
    const std::string doc = file("doc.bin");
    make_pattern_file(doc, int64_t{1} << 20);
    std::string model = skarn_test::read_file(doc);
    Session session = open(doc, SESSION_OPT_IN_PLACE);
    ASSERT_TRUE(session);
    ASSERT_GT(skarn_edit_delete(session.get(), 0, block), 0);
    model.erase(0, block);
    ASSERT_EQ(skarn_edit_save(session.get(), doc.c_str(), IO_FLG_IN_PLACE | IO_FLG_OVERWRITE, nullptr), 0);
    ASSERT_EQ(skarn_edit_save(session.get(), file("saved.bin").c_str(), IO_FLG_OVERWRITE, nullptr), 0);
    EXPECT_TRUE(skarn_test::read_file(file("saved.bin")) == model);
    EXPECT_TRUE(skarn_test::read_file(doc) == model);
}
