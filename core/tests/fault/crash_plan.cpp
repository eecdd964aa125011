// The crash plan of crash_plan.hpp: the count of file-changing calls, the
// records of what was not synced yet, and putting them back before the end.
#include "crash_plan.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace skarn_fault {
namespace {

template <typename Fn>
Fn real(const char *name) noexcept {
    void *found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) std::abort();
    return reinterpret_cast<Fn>(found);
}

struct file_id {
    dev_t device;
    ino_t inode;
    bool operator==(const file_id &) const = default;
};

// What one write or size change replaced: `old_bytes` stood at `offset`, and
// the file was `old_size` long.
struct record {
    file_id file;
    int restore_fd;
    off64_t offset;
    std::string old_bytes;
    off64_t old_size;
};

struct plan_state {
    bool armed = false;
    crash_plan plan;
    int calls = 0;
    std::vector<record> records;
    // One descriptor of the plan's own per file it recorded, reading the old
    // bytes and putting them back whatever the library did with its own.
    std::vector<std::pair<file_id, int>> restore_fds;
};
plan_state state;

bool standard_descriptor(int fd) noexcept { return fd >= 0 && fd <= 2; }

std::optional<struct stat64> regular_file(int fd) noexcept {
    static const auto fstat = real<int (*)(int, struct stat64 *)>("fstat64");
    struct stat64 info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return info;
}

int restore_fd_of(file_id file, int fd) noexcept {
    for (const auto &[known, restore_fd] : state.restore_fds) {
        if (known == file) return restore_fd;
    }
    static const auto open = real<int (*)(const char *, int, ...)>("open64");
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int restore_fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (restore_fd < 0) {
        std::fprintf(stderr, "crash plan: cannot reopen %s\n", path.c_str());
        std::abort();
    }
    state.restore_fds.emplace_back(file, restore_fd);
    return restore_fd;
}

// Keeps the bytes of [offset, end) the file holds now, and its size.
void remember(int fd, off64_t offset, off64_t end) noexcept {
    static const auto pread = real<ssize_t (*)(int, void *, size_t, off64_t)>("pread64");
    const auto info = regular_file(fd);
    if (!info) return;
    const file_id file{info->st_dev, info->st_ino};
    record kept{file, restore_fd_of(file, fd), offset, {}, info->st_size};
    const off64_t stop = std::min(end, kept.old_size);
    kept.old_bytes.resize(stop > offset ? static_cast<size_t>(stop - offset) : 0);
    for (size_t done = 0; done < kept.old_bytes.size();) {
        const ssize_t got = pread(kept.restore_fd, kept.old_bytes.data() + done, kept.old_bytes.size() - done,
                                  offset + static_cast<off64_t>(done));
        if (got <= 0) std::abort();
        done += static_cast<size_t>(got);
    }
    state.records.push_back(std::move(kept));
}

void put_back(const record &kept) noexcept {
    static const auto pwrite = real<ssize_t (*)(int, const void *, size_t, off64_t)>("pwrite64");
    static const auto ftruncate = real<int (*)(int, off64_t)>("ftruncate64");
    for (size_t done = 0; done < kept.old_bytes.size();) {
        const ssize_t put = pwrite(kept.restore_fd, kept.old_bytes.data() + done, kept.old_bytes.size() - done,
                                   kept.offset + static_cast<off64_t>(done));
        if (put <= 0) std::abort();
        done += static_cast<size_t>(put);
    }
    if (ftruncate(kept.restore_fd, kept.old_size) != 0) std::abort();
}

void drop_unsynced() noexcept {
    for (auto kept = state.records.rbegin(); kept != state.records.rend(); ++kept) put_back(*kept);
}

// Counts a call; ends the process when it is the planned one.
void count_call() noexcept {
    if (++state.calls != state.plan.crash_at) return;
    if (state.plan.drop_unsynced) drop_unsynced();
    _exit(state.plan.exit_code);
}

void close_restore_fds() noexcept {
    static const auto close = real<int (*)(int)>("close");
    for (const auto &entry : state.restore_fds) close(entry.second);
}

}  // namespace

void arm_crash(crash_plan plan) noexcept {
    close_restore_fds();
    state = plan_state{};
    state.armed = true;
    state.plan = plan;
}

int disarm_crash() noexcept {
    const int calls = state.calls;
    close_restore_fds();
    state = plan_state{};
    return calls;
}

bool crash_armed() noexcept { return state.armed; }

namespace crash_hooks {

void before_write(int fd, off64_t offset, size_t count) noexcept {
    if (!state.armed || standard_descriptor(fd)) return;
    count_call();
    if (offset < 0) {
        const auto info = regular_file(fd);
        if (!info) return;
        offset = (fcntl(fd, F_GETFL) & O_APPEND) != 0 ? info->st_size : lseek64(fd, 0, SEEK_CUR);
    }
    remember(fd, offset, offset + static_cast<off64_t>(count));
}

void before_resize(int fd, off64_t new_size) noexcept {
    if (!state.armed || standard_descriptor(fd)) return;
    count_call();
    remember(fd, new_size, INT64_MAX);
}

void before_allocate(int fd, int mode, off64_t offset, off64_t length) noexcept {
    if (!state.armed || standard_descriptor(fd)) return;
    count_call();
    // Collapsing or inserting a range shifts everything after it.
    const bool shifts = (mode & (FALLOC_FL_COLLAPSE_RANGE | FALLOC_FL_INSERT_RANGE)) != 0;
    remember(fd, offset, shifts ? INT64_MAX : offset + length);
}

void before_sync(int fd) noexcept {
    if (!state.armed || standard_descriptor(fd)) return;
    count_call();
    const auto info = regular_file(fd);
    if (!info) return;
    const file_id file{info->st_dev, info->st_ino};
    std::erase_if(state.records, [&](const record &kept) { return kept.file == file; });
}

void before_name_change() noexcept {
    if (state.armed) count_call();
}

}  // namespace crash_hooks
}  // namespace skarn_fault
