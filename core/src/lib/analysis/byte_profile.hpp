// The byte profile: counts of each byte value over consecutive windows of one
// range, with the CR LF pairs among them.
#ifndef SKARN_ANALYSIS_BYTE_PROFILE_HPP
#define SKARN_ANALYSIS_BYTE_PROFILE_HPP

#include <cstdint>

namespace skarn {

constexpr int byte_profile_size = 257;
constexpr int byte_profile_dos_eol_index = 256;

// Byte counts of consecutive windows of one range, with the CR LF pairs among
// them: the previous byte carries over from one window to the next, so a pair
// split across windows still counts; a LF that opens the range never does.
//
// Long ranges are counted two bytes at a time, into tables indexed by the
// 16-bit value of each aligned pair: half the increments of counting single
// bytes, which is what bounds a histogram's speed (about twice as fast on
// text; a little slower on random bytes, whose 65536 pairs do not stay in the
// first-level cache). The pair counts are folded
// into the byte counts by flush(), and before they could overflow.
class profile_counter {
public:
    // Ranges from this length on are counted in pairs; below it the tables
    // would cost more to clear and fold than they save.
    static constexpr int64_t pair_threshold = int64_t{1} << 18;

    // The bytes counted in one go by every pass: what the first-level cache
    // holds with room to spare.
    static constexpr int64_t block_size = int64_t{16} << 10;

    // Counts into the byte_profile_size entries at `profile`, which the
    // caller zeroed, for a range of `length` bytes.
    profile_counter(int64_t *profile, int64_t length) noexcept;
    ~profile_counter();
    profile_counter(const profile_counter &) = delete;
    profile_counter &operator=(const profile_counter &) = delete;

    // Counts the next `count` bytes (at least one) of the range.
    void add(const uint8_t *bytes, int64_t count) noexcept;

    // Folds the pair counts into the byte counts; called whether or not every
    // window was counted, so that a partial profile holds what was read.
    void flush() noexcept;

    // Stores the pairs once every window was counted.
    void finish() noexcept { profile_[byte_profile_dos_eol_index] = dos_eols_; }

private:
    static constexpr uint32_t pair_values = 1u << 16;

    void add_pairs(const uint8_t *bytes, int64_t count) noexcept;
    void add_bytes(const uint8_t *bytes, int64_t count) noexcept;

    int64_t *profile_;
    uint32_t *pairs_ = nullptr;  // null: counted a byte at a time
    int64_t unflushed_ = 0;      // bytes counted into the pair tables since the last flush
    uint8_t previous_ = 0;
    int64_t dos_eols_ = 0;
};

}  // namespace skarn

#endif  // SKARN_ANALYSIS_BYTE_PROFILE_HPP
