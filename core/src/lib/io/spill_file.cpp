// The spill file of a session's large edits.
#include "io/spill_file.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/log.hpp"
#include "io/level_file.hpp"
#include "io/private_files.hpp"
#include "skarn_edit/filesystem.h"

namespace skarn {
namespace {

int64_t page_size() noexcept {
    static const int64_t size = ::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096;
    return size;
}

int64_t round_up(int64_t value, int64_t unit) noexcept { return (value + unit - 1) / unit * unit; }

}  // namespace

spill_file::~spill_file() {
    for (const segment &s : segments_) ::munmap(const_cast<uint8_t *>(s.base), static_cast<size_t>(s.size));
}

bool spill_file::open_file() noexcept {
    char name[SKARN_PATH_BUFFER_SIZE];
    const int formatted = std::snprintf(name, sizeof name, "%s/.Skarnpad-spill.XXXXXX", directory_.c_str());
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof name) {
        errno = ENAMETOOLONG;
        return false;
    }
    unique_fd fd{create_private_file(name)};
    // Unnamed from the start (invariant 1): it goes with its descriptor.
    if (!fd.valid() || ::unlink(name) != 0) return false;
    fd_ = std::move(fd);
    return true;
}

// A new segment from the next page after the end, large enough for `length` bytes.
bool spill_file::map_segment(int64_t length) noexcept {
    const int64_t start = round_up(end_, page_size());
    const int64_t size = std::max(segment_bytes, round_up(length, page_size()));
    void *base =
        ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd_.get(), static_cast<off_t>(start));
    if (base == MAP_FAILED) return false;
    segments_.push_back({static_cast<const uint8_t *>(base), start, size});
    end_ = start;
    return true;
}

const uint8_t *spill_file::append(const uint8_t *bytes, int64_t length) noexcept {
    if (given_up_) return nullptr;
    const int64_t needed = length + 1;  // the 0 byte after the string
    static constexpr uint8_t zero = 0;
    if ((!fd_.valid() && !open_file()) ||
        ((segments_.empty() || end_ + needed > segments_.back().start + segments_.back().size) &&
         !map_segment(needed)) ||
        !write_exact_at(fd_.get(), end_, length, bytes) || !write_exact_at(fd_.get(), end_ + length, 1, &zero)) {
        const int error = errno;
        SKARN_LOG("cannot keep " << length << " bytes in the spill file in '" << directory_
                                 << "': the bytes of large edits stay in memory from now on");
        SKARN_LOG(log::system_error_line(error));
        given_up_ = true;
        return nullptr;
    }
    const segment &s = segments_.back();
    const uint8_t *at = s.base + (end_ - s.start);
    end_ += needed;
    return at;
}

}  // namespace skarn
