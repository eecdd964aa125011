// CRC-32C (Castagnoli), the checksum of the library's on-disk records.
#ifndef SKARN_IO_CRC32C_HPP
#define SKARN_IO_CRC32C_HPP

#include <cstddef>
#include <cstdint>

namespace skarn {

// The CRC-32C of `count` bytes at `bytes`, continuing from `crc` (0 to
// start): crc32c(crc32c(0, a), b) is the checksum of a followed by b.
uint32_t crc32c(uint32_t crc, const void *bytes, size_t count) noexcept;

}  // namespace skarn

#endif  // SKARN_IO_CRC32C_HPP
