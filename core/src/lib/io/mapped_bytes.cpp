// Read-only mappings of a growing file.
#include "io/mapped_bytes.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace skarn {
namespace {

int64_t page_size() noexcept {
    static const int64_t size = ::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096;
    return size;
}

}  // namespace

mapped_bytes::~mapped_bytes() {
    for (const segment &s : segments_) ::munmap(const_cast<uint8_t *>(s.base), static_cast<size_t>(s.size));
}

const uint8_t *mapped_bytes::at(int fd, int64_t position, int64_t length) noexcept {
    if (!segments_.empty()) {
        const segment &s = segments_.back();
        if (position >= s.start && position + length <= s.start + s.size) return s.base + (position - s.start);
    }
    const int64_t start = position / page_size() * page_size();
    const int64_t needed = position + length - start;
    const int64_t size = std::max(segment_bytes, (needed + page_size() - 1) / page_size() * page_size());
    try {
        segments_.reserve(segments_.size() + 1);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    }
    void *base = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
    if (base == MAP_FAILED) return nullptr;
    segments_.push_back({static_cast<const uint8_t *>(base), start, size});
    return static_cast<const uint8_t *>(base) + (position - start);
}

}  // namespace skarn
