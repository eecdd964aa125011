// Read-only mappings of a file that only grows (the spill file, a session
// journal), handing out pointers to bytes already written to it.
#ifndef SKARN_IO_MAPPED_BYTES_HPP
#define SKARN_IO_MAPPED_BYTES_HPP

#include <cstdint>
#include <vector>

namespace skarn {

// Invariants:
//   1. Mappings are made a segment (1 GiB, or more for one longer string)
//      at a time, read-only and shared, and never moved or unmapped before
//      the object goes: every pointer handed out stays valid until then.
//   2. A pointer is handed out only for bytes the caller has written to the
//      file already, so no byte behind it lies past the end of the file.
class mapped_bytes {
public:
    mapped_bytes() = default;
    ~mapped_bytes();
    mapped_bytes(const mapped_bytes &) = delete;
    mapped_bytes &operator=(const mapped_bytes &) = delete;

    // Where the `length` bytes at `position` of the file open as `fd` can be
    // read, or null (errno set) when they cannot be mapped. Positions asked
    // for should grow, as they do when a file is appended to or read in
    // order: only the newest segment is looked in.
    const uint8_t *at(int fd, int64_t position, int64_t length) noexcept;

private:
    struct segment {
        const uint8_t *base = nullptr;
        int64_t start = 0;  // file position of base
        int64_t size = 0;
    };
    static constexpr int64_t segment_bytes = int64_t{1} << 30;

    std::vector<segment> segments_;
};

}  // namespace skarn

#endif  // SKARN_IO_MAPPED_BYTES_HPP
