// CRC-32C: the processor's crc32 instruction where it has one (SSE 4.2),
// else a table a byte at a time.
#include "io/crc32c.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace skarn {
namespace {

constexpr uint32_t polynomial = 0x82F63B78u;  // reflected Castagnoli

constexpr std::array<uint32_t, 256> make_table() noexcept {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) != 0 ? polynomial : 0u);
        table[i] = crc;
    }
    return table;
}
constexpr std::array<uint32_t, 256> table = make_table();

uint32_t crc32c_table(uint32_t crc, const uint8_t *bytes, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) crc = table[(crc ^ bytes[i]) & 0xFFu] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t crc, const uint8_t *bytes, size_t count) noexcept {
    uint64_t wide = crc;
    for (; count >= 8; count -= 8, bytes += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes, sizeof word);
        wide = _mm_crc32_u64(wide, word);
    }
    auto narrow = static_cast<uint32_t>(wide);
    for (; count > 0; --count, ++bytes) narrow = _mm_crc32_u8(narrow, *bytes);
    return narrow;
}

bool has_sse42() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.2") != 0;
    }();
    return has;
}
#endif

}  // namespace

uint32_t crc32c(uint32_t crc, const void *bytes, size_t count) noexcept {
    const auto *data = static_cast<const uint8_t *>(bytes);
    crc = ~crc;
#if defined(__x86_64__)
    if (has_sse42()) return ~crc32c_sse42(crc, data, count);
#endif
    return ~crc32c_table(crc, data, count);
}

}  // namespace skarn
