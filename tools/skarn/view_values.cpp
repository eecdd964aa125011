// The values pane of skarn view; see view_values.hpp.
#include "view_values.hpp"

#include <bit>
#include <cstdio>
#include <cstring>

namespace skarn_cli {

namespace {

// The first `width` bytes as an unsigned number, little or big endian.
uint64_t unsigned_value(std::span<const uint8_t> bytes, size_t width, bool big_endian) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        const uint8_t byte = big_endian ? bytes[i] : bytes[width - 1 - i];
        value = (value << 8) | byte;
    }
    return value;
}

// The same bits as a signed number of `width` bytes.
int64_t signed_value(uint64_t value, size_t width) {
    if (width == 8) return static_cast<int64_t>(value);
    const uint64_t sign = uint64_t{1} << (width * 8 - 1);
    return static_cast<int64_t>(value ^ sign) - static_cast<int64_t>(sign);
}

std::string integers(std::span<const uint8_t> bytes, size_t width, bool big_endian) {
    if (bytes.size() < width) return "-";
    const uint64_t value = unsigned_value(bytes, width, big_endian);
    char text[64];
    std::snprintf(text, sizeof text, "%lld %llu", static_cast<long long>(signed_value(value, width)),
                  static_cast<unsigned long long>(value));
    return text;
}

std::string floating(std::span<const uint8_t> bytes, size_t width, bool big_endian) {
    if (bytes.size() < width) return "-";
    const uint64_t value = unsigned_value(bytes, width, big_endian);
    char text[64];
    if (width == 4) {
        std::snprintf(text, sizeof text, "%.9g", std::bit_cast<float>(static_cast<uint32_t>(value)));
    } else {
        std::snprintf(text, sizeof text, "%.17g", std::bit_cast<double>(value));
    }
    return text;
}

}  // namespace

std::vector<std::string> inspector_lines(std::span<const uint8_t> bytes) {
    if (bytes.size() > 8) bytes = bytes.first(8);
    std::vector<std::string> lines;
    lines.push_back("int8 (signed unsigned) " + integers(bytes, 1, false));
    for (const size_t width : {size_t{2}, size_t{4}}) {
        const std::string bits = std::to_string(width * 8);
        lines.push_back("int" + bits + " le " + integers(bytes, width, false) + "   be " +
                        integers(bytes, width, true));
    }
    // Two numbers of up to 20 digits each way do not fit one line of 80.
    lines.push_back("int64 le " + integers(bytes, 8, false));
    lines.push_back("int64 be " + integers(bytes, 8, true));
    lines.push_back("float32 le " + floating(bytes, 4, false) + "   be " + floating(bytes, 4, true));
    lines.push_back("float64 le " + floating(bytes, 8, false) + "   be " + floating(bytes, 8, true));
    return lines;
}

}  // namespace skarn_cli
