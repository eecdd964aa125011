// A file system that shares extents, for the tests of copy-on-write saves:
// an XFS with reflink in a file image, loop-mounted for one test (as root;
// the test is skipped elsewhere), files of a known pattern on it, and the
// count of a file's blocks that it shares with no other file (FIEMAP).
#ifndef SKARN_TESTS_REFLINK_VOLUME_HPP
#define SKARN_TESTS_REFLINK_VOLUME_HPP

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace skarn_test {

inline constexpr int64_t block = 4096;  // the volume's block size

// A descriptor, closed when the object goes.
struct Fd {
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

inline bool run(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// The content of the files made here: random bytes repeating with an odd
// period, so that content shifted by any number of blocks differs.
inline const std::string &pattern() {
    static const std::string bytes = [] {
        std::mt19937_64 rng(7);
        return random_bytes(rng, (size_t{3} << 20) + 7);
    }();
    return bytes;
}

// Bytes of the file at `path` in extents no other file shares (those past
// its end, preallocated by the file system, aside); -1 when FIEMAP cannot tell.
inline int64_t unshared_bytes(const std::string &path) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const auto size = static_cast<uint64_t>(std::max<off_t>(::lseek(fd.get(), 0, SEEK_END), 0));
    constexpr unsigned max_extents = 256;
    std::vector<char> storage(sizeof(fiemap) + max_extents * sizeof(fiemap_extent));
    auto *map = reinterpret_cast<fiemap *>(storage.data());
    int64_t unshared = 0;
    for (uint64_t next = 0;;) {
        std::memset(storage.data(), 0, storage.size());
        map->fm_start = next;
        map->fm_length = FIEMAP_MAX_OFFSET - next;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = max_extents;
        if (fd.get() < 0 || ::ioctl(fd.get(), FS_IOC_FIEMAP, map) != 0) return -1;
        if (map->fm_mapped_extents == 0) return unshared;
        for (unsigned i = 0; i < map->fm_mapped_extents; ++i) {
            const fiemap_extent &extent = map->fm_extents[i];
            const uint64_t end = std::min<uint64_t>(extent.fe_logical + extent.fe_length, size);
            if ((extent.fe_flags & FIEMAP_EXTENT_SHARED) == 0 && end > extent.fe_logical) {
                unshared += static_cast<int64_t>(end - extent.fe_logical);
            }
            next = extent.fe_logical + extent.fe_length;
            if ((extent.fe_flags & FIEMAP_EXTENT_LAST) != 0 || next >= size) return unshared;
        }
    }
}

// An XFS with reflink in a file image, loop-mounted for the test (as root).
class ReflinkVolume : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount an XFS image";
        if (!run("command -v mkfs.xfs")) GTEST_SKIP() << "needs mkfs.xfs (Debian's xfsprogs)";
        const std::string image = scratch_.file("xfs.img");
        mount_point_ = scratch_.file("mnt");
        ASSERT_TRUE(run("mkdir " + mount_point_ + " && truncate -s 4G " + image));
        if (!run("mkfs.xfs -q -m reflink=1 " + image)) GTEST_SKIP() << "mkfs.xfs cannot make an XFS with reflink";
        if (!run("mount -o loop " + image + " " + mount_point_)) GTEST_SKIP() << "cannot loop-mount XFS here";
        mounted_ = true;
        checkpoints_ = file("checkpoints");
        ASSERT_TRUE(run("mkdir " + checkpoints_));
    }

    void TearDown() override {
        // The loop device goes with the mount.
        if (mounted_ && !run("umount " + mount_point_)) run("umount -l " + mount_point_);
    }

    std::string file(const std::string &name) const { return mount_point_ + "/" + name; }

    // Makes `path` a file of `size` bytes of the pattern.
    static void make_pattern_file(const std::string &path, int64_t size) {
        const Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        ASSERT_GE(fd.get(), 0) << path;
        const auto period = static_cast<int64_t>(pattern().size());
        for (int64_t at = 0; at < size; at += period) {
            const auto count = static_cast<size_t>(std::min(period, size - at));
            ASSERT_EQ(::pwrite(fd.get(), pattern().data(), count, at), static_cast<ssize_t>(count));
        }
    }

    // A session over `path`, its private copy (if any) on the volume.
    Session open(const std::string &path, int32_t flags, skarn_progress_cbk_t progress = nullptr,
                 void *progress_data = nullptr) const {
        skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
        options.flags = flags;
        options.checkpoint_directory = checkpoints_.c_str();
        options.progress_cbk = progress;
        options.progress_user_data = progress_data;
        return Session(skarn_edit_create_session_with_options(path.c_str(), &options));
    }

    // `doc` made a clone of `original`, as a fresh file of the same content.
    static void clone_file(const std::string &original, const std::string &doc) {
        ASSERT_TRUE(run("cp --reflink=always " + original + " " + doc));
    }

    TempDir scratch_;
    std::string mount_point_;
    std::string checkpoints_;
    bool mounted_ = false;
};

}  // namespace skarn_test

#endif  // SKARN_TESTS_REFLINK_VOLUME_HPP
