// Hex encoding (lower-case digits) and decoding (either case).
#include <cstdint>

#include "skarn_edit/encode.h"

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Value of a hex digit, or -1 for any other character.
constexpr int digit_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int64_t skarn_encode_bin2hex(const uint8_t *src, char *dst, int64_t length) noexcept {
    if (dst == nullptr) return 0;
    if (src == nullptr || length < 0) length = 0;
    for (int64_t i = 0; i < length; ++i) {
        dst[2 * i] = hex_digits[src[i] >> 4];
        dst[2 * i + 1] = hex_digits[src[i] & 0x0F];
    }
    dst[2 * length] = '\0';
    return 2 * length;
}

int64_t skarn_encode_hex2bin(const char *src, uint8_t *dst, int64_t length) noexcept {
    if (dst == nullptr) return 0;
    // An odd last character is ignored.
    const int64_t pairs = src != nullptr && length > 0 ? length / 2 : 0;
    for (int64_t i = 0; i < pairs; ++i) {
        const int high = digit_value(src[2 * i]);
        const int low = digit_value(src[2 * i + 1]);
        // Bytes of earlier pairs stay written; no 0 byte is added.
        if (high < 0 || low < 0) return 0;
        dst[i] = static_cast<uint8_t>(high * 16 + low);
    }
    dst[pairs] = 0;
    return pairs;
}
