// Byte-order marks: their bytes and names, and their detection in memory.
#include "analysis/bom.hpp"

#include "analysis/ascii_case.hpp"

namespace skarn {

namespace {

constexpr uint8_t utf8_mark[] = {0xEF, 0xBB, 0xBF};
constexpr uint8_t utf16le_mark[] = {0xFF, 0xFE};
constexpr uint8_t utf16be_mark[] = {0xFE, 0xFF};
constexpr uint8_t utf32le_mark[] = {0xFF, 0xFE, 0x00, 0x00};
constexpr uint8_t utf32be_mark[] = {0x00, 0x00, 0xFE, 0xFF};

// The marks of the kinds BOM_UTF8 to BOM_UTF32BE, in that order.
constexpr skarn_byte_buffer_t bom_marks[] = {
    {utf8_mark, sizeof utf8_mark},       {utf16le_mark, sizeof utf16le_mark}, {utf16be_mark, sizeof utf16be_mark},
    {utf32le_mark, sizeof utf32le_mark}, {utf32be_mark, sizeof utf32be_mark},
};

// Names indexed by kind; "unknown" is answered but never looked up.
constexpr const char *bom_names[] = {"unknown", "none", "UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"};

}  // namespace

const skarn_byte_buffer_t *bom_mark(int kind) noexcept {
    return kind >= BOM_UTF8 && kind <= BOM_UTF32BE ? &bom_marks[kind - BOM_UTF8] : nullptr;
}

const char *bom_name(int kind) noexcept { return is_known_bom_kind(kind) ? bom_names[kind] : bom_names[BOM_UNKNOWN]; }

skarn_bom_t bom_from_name(const char *str) noexcept {
    for (int kind = BOM_NONE; kind <= BOM_UTF32BE; ++kind) {
        // Only the name's own length is compared: whatever follows a full name
        // is not examined, and an input that ends early fails at its NUL.
        const char *name = bom_names[kind];
        size_t j = 0;
        while (name[j] != '\0' && fold_case(name[j]) == fold_case(str[j])) ++j;
        if (name[j] == '\0') return static_cast<skarn_bom_t>(kind);
    }
    return BOM_UNKNOWN;
}

skarn_bom_t detect_bom(const uint8_t *data, size_t length) noexcept {
    const size_t n = data != nullptr ? length : 0;
    if (n >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) return BOM_UTF8;
    if (n < 2) return BOM_NONE;
    if (data[0] == 0xFF && data[1] == 0xFE) {
        return n >= 4 && data[2] == 0x00 && data[3] == 0x00 ? BOM_UTF32LE : BOM_UTF16LE;
    }
    if (data[0] == 0xFE && data[1] == 0xFF) return BOM_UTF16BE;
    if (n >= 4 && data[0] == 0x00 && data[1] == 0x00 && data[2] == 0xFE && data[3] == 0xFF) return BOM_UTF32BE;
    return BOM_NONE;
}

}  // namespace skarn
