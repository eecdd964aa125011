// The prompts of skarn view; see view_prompt.hpp.
#include "view_prompt.hpp"

#include <curses.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <charconv>
#include <limits>

#include "errors.hpp"
#include "signals.hpp"

namespace skarn_cli {

namespace {

constexpr int key_escape = 27;

bool is_enter(int key) { return key == '\n' || key == '\r' || key == KEY_ENTER; }
bool is_backspace(int key) { return key == KEY_BACKSPACE || key == 127 || key == 8; }

std::optional<int64_t> parse_unsigned(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && (text.substr(0, 2) == "0x" || text.substr(0, 2) == "0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

int hex_value(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> parse_hex_pattern(std::string_view digits) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (const char digit : digits) {
        if (digit == ' ') {
            if (high >= 0) return std::nullopt;
            continue;
        }
        const int value = hex_value(digit);
        if (value < 0) return std::nullopt;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty()) return std::nullopt;
    return bytes;
}

}  // namespace

int read_key() {
    for (;;) {
        check_interrupted();
        errno = 0;
        const int key = getch();
        if (key != ERR) return key;
        // Other than for a signal, a wait for a key fails when the terminal
        // went away (its last reader closed it): that is a hangup.
        if (errno != EINTR) throw interrupted{SIGHUP};
    }
}

std::optional<std::string> prompt_line(const view_layout &layout, const std::string &question) {
    std::string answer;
    for (;;) {
        view_screen::draw_message(layout, question + answer);
        refresh();
        const int key = read_key();
        if (key == key_escape || key == 7 /* Ctrl-G */) return std::nullopt;
        if (is_enter(key)) return answer;
        if (is_backspace(key)) {
            if (!answer.empty()) answer.pop_back();
        } else if (key >= 0x20 && key < 0x7f) {
            answer.push_back(static_cast<char>(key));
        }
    }
}

bool prompt_yes_no(const view_layout &layout, const std::string &question) {
    for (;;) {
        view_screen::draw_message(layout, question + " (y/n) ");
        refresh();
        const int key = read_key();
        if (key == 'y' || key == 'Y') return true;
        if (key == 'n' || key == 'N' || key == key_escape) return false;
    }
}

std::optional<int64_t> parse_goto(std::string_view text, int64_t cursor, int64_t size) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text == "end") return size;
    if (text.empty()) return std::nullopt;
    const auto within = [size](long double value) {
        return static_cast<int64_t>(std::clamp<long double>(value, 0, static_cast<long double>(size)));
    };
    if (text.back() == '%') {
        const auto percent = parse_unsigned(text.substr(0, text.size() - 1));
        if (!percent) return std::nullopt;
        return within(static_cast<long double>(size) * static_cast<long double>(*percent) / 100);
    }
    if (text.front() == '+' || text.front() == '-') {
        const auto distance = parse_unsigned(text.substr(1));
        if (!distance) return std::nullopt;
        const long double step = static_cast<long double>(*distance);
        return within(static_cast<long double>(cursor) + (text.front() == '+' ? step : -step));
    }
    const auto offset = parse_unsigned(text);
    if (!offset) return std::nullopt;
    return std::min(*offset, size);
}

std::optional<std::vector<uint8_t>> parse_pattern(std::string_view text) {
    if (text.substr(0, 4) == "hex:") return parse_hex_pattern(text.substr(4));
    if (text.empty()) return std::nullopt;
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace skarn_cli
