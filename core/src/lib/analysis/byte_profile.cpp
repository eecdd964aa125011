// The byte profile's counting: single bytes through four tables, or aligned
// pairs through one table of 65536 entries, and the CR LF pairs.
#include "analysis/byte_profile.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "analysis/simd_crlf_count.hpp"

namespace skarn {

profile_counter::profile_counter(int64_t *profile, int64_t length) noexcept : profile_(profile) {
    if (length >= pair_threshold) {
        pairs_ = static_cast<uint32_t *>(std::calloc(pair_values, sizeof(uint32_t)));
    }
}

profile_counter::~profile_counter() { std::free(pairs_); }

void profile_counter::add(const uint8_t *bytes, int64_t count) noexcept {
    // Both passes over one block while it is still in the first-level cache.
    for (int64_t at = 0; at < count; at += block_size) {
        const int64_t block = std::min(block_size, count - at);
        if (pairs_ != nullptr) {
            add_pairs(bytes + at, block);
        } else {
            add_bytes(bytes + at, block);
        }
        if (previous_ == '\r' && bytes[at] == '\n') ++dos_eols_;
        // Most text has no CR at all, and finding that out costs a fraction
        // of counting the pairs.
        if (std::memchr(bytes + at, '\r', static_cast<size_t>(block)) != nullptr) {
            dos_eols_ += simd::count_crlf(bytes + at, block);
        }
        previous_ = bytes[at + block - 1];
    }
}

void profile_counter::flush() noexcept {
    if (pairs_ == nullptr) return;
    for (uint32_t value = 0; value < pair_values; ++value) {
        const uint32_t count = pairs_[value];
        if (count == 0) continue;
        // Pairs are loaded in the host's order; the sum over both bytes
        // is the same either way.
        profile_[value & 0xFF] += count;
        profile_[value >> 8] += count;
    }
    std::memset(pairs_, 0, pair_values * sizeof(uint32_t));
    unflushed_ = 0;
}

void profile_counter::add_pairs(const uint8_t *bytes, int64_t count) noexcept {
    // No table entry may pass 2^32 - 1: a flush every 2^32 bytes keeps
    // every entry below 2^31.
    if (unflushed_ + count > (int64_t{1} << 32)) flush();
    unflushed_ += count;
    // One table: more tables taking turns measured slower here, as they
    // spread the hot entries of text over more cache lines.
    uint32_t *const table = pairs_;
    int64_t i = 0;
    for (; i + 16 <= count; i += 16) {
        uint64_t a = 0;
        uint64_t b = 0;
        std::memcpy(&a, bytes + i, 8);
        std::memcpy(&b, bytes + i + 8, 8);
        ++table[a & 0xFFFF];
        ++table[(a >> 16) & 0xFFFF];
        ++table[(a >> 32) & 0xFFFF];
        ++table[a >> 48];
        ++table[b & 0xFFFF];
        ++table[(b >> 16) & 0xFFFF];
        ++table[(b >> 32) & 0xFFFF];
        ++table[b >> 48];
    }
    for (; i < count; ++i) ++profile_[bytes[i]];
}

void profile_counter::add_bytes(const uint8_t *bytes, int64_t count) noexcept {
    // Four tables take turns; a window's counts fit 32 bits.
    uint32_t tables[4][256] = {};
    int64_t i = 0;
    for (; i + 4 <= count; i += 4) {
        ++tables[0][bytes[i]];
        ++tables[1][bytes[i + 1]];
        ++tables[2][bytes[i + 2]];
        ++tables[3][bytes[i + 3]];
    }
    for (; i < count; ++i) ++tables[0][bytes[i]];
    for (int value = 0; value < 256; ++value) {
        profile_[value] += int64_t{tables[0][value]} + tables[1][value] + tables[2][value] + tables[3][value];
    }
}

}  // namespace skarn
