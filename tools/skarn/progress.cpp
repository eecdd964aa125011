// The progress line; see progress.hpp.
#include "progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <string>

#include "signals.hpp"

namespace skarn_cli {

namespace {

using clock_type = std::chrono::steady_clock;

constexpr auto delay_on_terminal = std::chrono::seconds(1);
constexpr auto redraw_interval = std::chrono::milliseconds(200);

struct progress_state {
    progress_mode mode = progress_mode::automatic;
    bool terminal = false;
    std::string label;
    clock_type::time_point started{};
    clock_type::time_point last_drawn{};
    size_t drawn_width = 0;  // columns of the line on screen, 0 when none
};

progress_state state;

std::string human_bytes(int64_t bytes) {
    static constexpr const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}

std::string duration(double seconds) {
    const auto total = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

void put(const std::string &text) {
    // stderr is unbuffered; a failing terminal is no reason to stop the work.
    std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace

void progress_configure(progress_mode mode) {
    state.mode = mode;
    state.terminal = ::isatty(STDERR_FILENO) == 1;
}

void progress_begin(std::string_view label) {
    state.label = label;
    state.started = clock_type::now();
    state.last_drawn = {};
}

bool progress_update(int64_t done, int64_t total) {
    if (state.mode == progress_mode::off || (state.mode == progress_mode::automatic && !state.terminal)) {
        return pending_signal() == 0;
    }
    const auto now = clock_type::now();
    if (state.mode == progress_mode::automatic && now - state.started < delay_on_terminal) return pending_signal() == 0;
    if (state.drawn_width > 0 && now - state.last_drawn < redraw_interval) return pending_signal() == 0;
    state.last_drawn = now;

    const double seconds = std::chrono::duration<double>(now - state.started).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    // Built piece by piece: GCC 12 warns falsely about "literal" + string at -O3.
    std::string line = "skarn: ";
    line += state.label;
    if (total > 0) {
        char percent[16];
        std::snprintf(percent, sizeof percent, " %3d%% ",
                      static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total)));
        line += percent;
        line += human_bytes(done);
        line += " of ";
        line += human_bytes(total);
    } else {
        line += ' ';
        line += human_bytes(done);
    }
    if (rate >= 1) {
        line += ", ";
        line += human_bytes(static_cast<int64_t>(rate));
        line += "/s";
        if (total > 0 && done < total) {
            line += ", ";
            line += duration(static_cast<double>(total - done) / rate);
            line += " left";
        }
    }
    std::string text(1, '\r');
    text += line;
    if (state.terminal) {
        text += "\033[K";  // clear what a longer line before left
    } else if (line.size() < state.drawn_width) {
        text.append(state.drawn_width - line.size(), ' ');
    }
    put(text);
    state.drawn_width = std::max(state.drawn_width, line.size());
    return pending_signal() == 0;
}

void progress_finish() {
    if (state.drawn_width == 0) return;
    // On a terminal the line goes away; in a file or a pipe (--progress) its
    // last state stays, ended, so that what follows starts on a line of its own.
    put(state.terminal ? "\r\033[K" : "\n");
    state.drawn_width = 0;
}

}  // namespace skarn_cli
