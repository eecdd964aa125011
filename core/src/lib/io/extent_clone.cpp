// Copy-on-write clones of a level file's blocks into a save's or a
// checkpoint's file; when it clones is told in extent_clone.hpp.
#include "io/extent_clone.hpp"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace skarn {
namespace {

// File systems found unable to clone: from `source` into `output`, or into
// `output` from anywhere.
struct refusal {
    dev_t source;
    dev_t output;
    bool any_source;
};

std::mutex refusals_mutex;
std::vector<refusal> refusals;

bool refused(dev_t source, dev_t output) noexcept {
    const std::lock_guard<std::mutex> lock(refusals_mutex);
    return std::any_of(refusals.begin(), refusals.end(), [&](const refusal &known) {
        return known.output == output && (known.any_source || known.source == source);
    });
}

void remember_refusal(dev_t source, dev_t output, int error) noexcept {
    // The kernel says EXDEV for two file systems before it asks the output's
    // whether it clones at all: these say that it never does.
    const bool any_source = error == EOPNOTSUPP || error == ENOTTY || error == ENOSYS;
    try {
        const std::lock_guard<std::mutex> lock(refusals_mutex);
        refusals.push_back({source, output, any_source});
    } catch (...) {
        // Not remembered: the next write tries again, and is refused again.
    }
}

// The errors by which FICLONERANGE says these files cannot share blocks, as
// opposed to failing to.
bool is_refusal(int error) noexcept {
    return error == EOPNOTSUPP || error == EXDEV || error == EINVAL || error == ENOTTY || error == ENOSYS ||
           error == EBADF || error == ETXTBSY || error == EPERM;
}

int64_t round_up(int64_t value, int64_t block) noexcept { return (value + block - 1) / block * block; }

// The file open as `fd` reaches `end`.
bool reaches(int fd, int64_t end) noexcept {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && info.st_size >= end;
}

}  // namespace

extent_cloner::extent_cloner(int source, int output) noexcept : source_(source), output_(output) {
    struct stat from {};
    struct stat to {};
    if (source < 0 || ::fstat(source, &from) != 0 || ::fstat(output, &to) != 0) return;
    if (!S_ISREG(from.st_mode) || !S_ISREG(to.st_mode) || to.st_blksize <= 0) return;
    // Writing a file over itself: its blocks are to change, not be shared.
    if (from.st_dev == to.st_dev && from.st_ino == to.st_ino) return;
    if (refused(from.st_dev, to.st_dev)) return;
    block_ = to.st_blksize;
    source_device_ = from.st_dev;
    output_device_ = to.st_dev;
}

clone_span extent_cloner::span(int64_t source, int64_t destination, int64_t count) const noexcept {
    if (block_ == 0 || source < 0 || destination < 0 || source % block_ != destination % block_) return {};
    const int64_t head = round_up(source, block_) - source;
    const int64_t length = head < count ? (count - head) / block_ * block_ : 0;
    if (length == 0) return {};
    return {head, length};
}

extent_cloner::outcome extent_cloner::clone(int64_t source, int64_t destination, int64_t length) noexcept {
    if (block_ == 0) return outcome::unsupported;
    file_clone_range range{};
    range.src_fd = source_;
    range.src_offset = static_cast<uint64_t>(source);
    range.src_length = static_cast<uint64_t>(length);
    range.dest_offset = static_cast<uint64_t>(destination);
    int done;
    do {
        done = ::ioctl(output_, FICLONERANGE, &range);
    } while (done != 0 && errno == EINTR);
    // A clone stops, without a word, at the end of a source shorter than
    // the range asked for: the output then ends short of where it should.
    if (done == 0) return reaches(output_, destination + length) ? outcome::cloned : outcome::source_short;
    const int error = errno;
    if (!is_refusal(error)) return outcome::failed;
    // A range past the source's end is refused too, not for want of support.
    if (!reaches(source_, source + length)) return outcome::source_short;
    remember_refusal(source_device_, output_device_, error);
    block_ = 0;
    return outcome::unsupported;
}

}  // namespace skarn
