// Numbers, data and quoting; see values.hpp.
#include "values.hpp"

#include <skarn_edit.h>

#include <charconv>
#include <cstdio>
#include <limits>

#include "errors.hpp"

namespace skarn_cli {

int64_t parse_number(std::string_view text, std::string_view what) {
    std::string_view digits = text;
    int base = 10;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        digits.remove_prefix(2);
        base = 16;
    }
    if (text.starts_with('-')) throw usage_error("negative number for " + std::string(what) + ": " + in_quotes(text));
    if (base == 10 && digits.size() > 1 && digits[0] == '0' && digits[1] >= '0' && digits[1] <= '9') {
        throw usage_error("number with a leading 0 for " + std::string(what) + ": " + in_quotes(text) +
                          " (octal is not read; write it without the 0s, or in hex with 0x)");
    }
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error == std::errc::invalid_argument || end != digits.data() + digits.size()) {
        throw usage_error("invalid number for " + std::string(what) + ": " + in_quotes(text));
    }
    if (error == std::errc::result_out_of_range || value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        throw usage_error("number too large for " + std::string(what) + ": " + in_quotes(text));
    }
    return static_cast<int64_t>(value);
}

std::pair<int64_t, bool> parse_signed_number(std::string_view text, std::string_view what) {
    if (text.starts_with('-')) return {parse_number(text.substr(1), what), true};
    return {parse_number(text, what), false};
}

std::vector<uint8_t> parse_hex(std::string_view digits, std::string_view what) {
    if (digits.empty()) throw usage_error("no hex digits in " + std::string(what));
    if (digits.size() % 2 != 0) throw usage_error("odd number of hex digits in " + std::string(what));
    const std::string source(digits);
    std::vector<uint8_t> bytes(source.size() / 2 + 1);
    const int64_t length = static_cast<int64_t>(source.size());
    if (skarn_encode_hex2bin(source.c_str(), bytes.data(), length) != length / 2) {
        throw usage_error("invalid hex digits in " + std::string(what) + ": " + in_quotes(digits));
    }
    bytes.resize(source.size() / 2);
    return bytes;
}

std::vector<uint8_t> parse_data(std::string_view text, std::string_view what) {
    if (text.starts_with("hex:")) return parse_hex(text.substr(4), what);
    return {text.begin(), text.end()};
}

std::string in_quotes(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    quoted += text;
    quoted += '\'';
    return quoted;
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0.
size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    unsigned char low = 0x80;  // allowed range of the second byte
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // no overlong forms
        if (lead == 0xed) high = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t length = utf8_sequence_length(text.substr(i));
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out += text.substr(i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out + "\"";
}

std::string with_reason(const std::string &reason) { return reason.empty() ? std::string() : ": " + reason; }

}  // namespace skarn_cli
