// Where a session keeps the bytes of its large edits: an unnamed file in its
// checkpoint directory, read back through read-only mappings, so that the
// process's memory does not grow with the bytes inserted or overwritten.
#ifndef SKARN_IO_SPILL_FILE_HPP
#define SKARN_IO_SPILL_FILE_HPP

#include <cstdint>
#include <string>

#include "io/handles.hpp"
#include "io/mapped_bytes.hpp"

namespace skarn {

// Appends byte strings to the file and hands out stable pointers to them.
//
// Invariants:
//   1. The file only grows: a byte once written never changes, and the file
//      has no name (it is unlinked the moment it is made), so no other
//      program can cut it short under a mapping.
//   2. Every pointer handed out points into a mapping of bytes already
//      written (a 0 byte follows each string), and stays valid as long as
//      the store lives.
//   3. The bytes are read through mapped_bytes, whose pointers live as long
//      as the store.
class spill_file {
public:
    // Strings shorter than this stay in memory with their record.
    static constexpr int64_t threshold = int64_t{4} << 10;

    explicit spill_file(std::string directory) : directory_(std::move(directory)) {}
    spill_file(const spill_file &) = delete;
    spill_file &operator=(const spill_file &) = delete;

    // Writes the `length` bytes at `bytes` and a 0 byte after them; returns
    // where they can be read, or null when they cannot be written or mapped
    // (logged the first time; from then on the store takes nothing).
    const uint8_t *append(const uint8_t *bytes, int64_t length) noexcept;

private:
    bool open_file() noexcept;

    std::string directory_;
    unique_fd fd_;
    mapped_bytes mapped_;
    int64_t end_ = 0;        // where the next string goes
    bool given_up_ = false;  // a write or mapping failed: nothing more is taken
};

}  // namespace skarn

#endif  // SKARN_IO_SPILL_FILE_HPP
