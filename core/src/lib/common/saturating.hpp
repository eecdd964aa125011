// Saturating 64-bit arithmetic for offsets that callers may choose anywhere
// in the signed range: a result that does not fit is held at the nearest end.
#ifndef SKARN_COMMON_SATURATING_HPP
#define SKARN_COMMON_SATURATING_HPP

#include <cstdint>

namespace skarn {

inline int64_t saturating_add(int64_t a, int64_t b) noexcept {
    int64_t result = 0;
    if (!__builtin_add_overflow(a, b, &result)) return result;
    return b > 0 ? INT64_MAX : INT64_MIN;
}

inline int64_t saturating_sub(int64_t a, int64_t b) noexcept {
    int64_t result = 0;
    if (!__builtin_sub_overflow(a, b, &result)) return result;
    return b < 0 ? INT64_MAX : INT64_MIN;
}

}  // namespace skarn

#endif  // SKARN_COMMON_SATURATING_HPP
