// The changed bytes of the window; see view_changes.hpp.
#include "view_changes.hpp"

#include <algorithm>
#include <utility>

namespace skarn_cli {

namespace {

// A run of window bytes not yet known to be changed: `length` bytes from
// `window_index` of the window, which sat at `offset` (plus the walk's
// shift) in the content as it was before the change being looked at.
struct run {
    int64_t window_index;
    int64_t length;
    int64_t offset;
};

// Most changes lie wholly before or after the bytes followed, and cost no
// more than a comparison or a shift of them all: only those that meet the
// span [low, high) of the runs split them.
struct walk {
    std::vector<run> runs;
    std::vector<run> scratch;
    std::vector<bool> changed;
    int64_t shift = 0;
    int64_t low = 0;
    int64_t high = 0;
    int64_t left = 0;  // changes still to follow back

    void move_all(int64_t distance) {
        shift += distance;
        low += distance;
        high += distance;
    }
    void measure() {
        low = INT64_MAX;
        high = INT64_MIN;
        for (const run &piece : runs) {
            low = std::min(low, piece.offset);
            high = std::max(high, piece.offset + piece.length);
        }
    }
};

// Splits `piece` at content offset `at` into the part before and the part from it.
std::pair<run, run> split(const run &piece, int64_t at) {
    const int64_t head = std::clamp(at - piece.offset, int64_t{0}, piece.length);
    return {run{piece.window_index, head, piece.offset},
            run{piece.window_index + head, piece.length - head, piece.offset + head}};
}

// Takes the runs back over a change that meets them: bytes it wrote are
// marked, the others get the offsets they had before it.
void split_back(walk &state, char kind, int64_t offset, int64_t length) {
    state.scratch.clear();
    for (run piece : state.runs) {
        piece.offset += state.shift;
        auto [before, rest] = split(piece, offset);
        if (before.length > 0) state.scratch.push_back(before);
        if (kind == 'D') {
            rest.offset += length;
            if (rest.length > 0) state.scratch.push_back(rest);
            continue;
        }
        auto [written, after] = split(rest, offset + length);
        for (int64_t i = 0; i < written.length; ++i)
            state.changed[static_cast<size_t>(written.window_index + i)] = true;
        if (kind == 'I') after.offset -= length;
        if (after.length > 0) state.scratch.push_back(after);
    }
    std::swap(state.runs, state.scratch);
    state.shift = 0;
    state.measure();
}

void step_back(walk &state, char kind, int64_t offset, int64_t length) {
    if (state.high <= offset) return;  // wholly after the bytes followed
    if (kind == 'D' && offset <= state.low) return state.move_all(length);
    if (kind == 'I' && offset + length <= state.low) return state.move_all(-length);
    if (kind == 'O' && offset + length <= state.low) return;
    split_back(state, kind, offset, length);
}

int visit_change(const skarn_change_struct *change, void *user_data) {
    auto &state = *static_cast<walk *>(user_data);
    if (state.left-- <= 0) return 1;
    step_back(state, skarn_change_get_kind_as_char(change), skarn_change_get_offset(change),
              skarn_change_get_length(change));
    return state.runs.empty() ? 1 : 0;
}

}  // namespace

std::vector<bool> changed_bytes(const skarn_session_struct *session, int64_t offset, int64_t length, int64_t newest) {
    walk state;
    if (length <= 0) return {};
    state.runs.push_back(run{0, length, offset});
    state.changed.resize(static_cast<size_t>(length));
    state.left = newest;
    state.measure();
    if (newest > 0) skarn_visit_changes_reverse(session, visit_change, &state);
    return state.changed;
}

namespace {

// Bytes found around the window, so that scrolling a little and edits that
// shift the window's bytes stay within what is known.
constexpr int64_t cache_margin = 16384;

}  // namespace

std::vector<bool> changed_bytes_cache::get(const skarn_session_struct *session, int64_t offset, int64_t length,
                                           int64_t newest) {
    const auto known_end = offset_ + static_cast<int64_t>(flags_.size());
    if (!valid_ || offset < offset_ || offset + length > known_end) {
        offset_ = std::max<int64_t>(0, offset - cache_margin);
        flags_ = changed_bytes(session, offset_, offset + length + cache_margin - offset_, newest);
        valid_ = true;
    }
    const auto begin = flags_.begin() + (offset - offset_);
    return std::vector<bool>(begin, begin + length);
}

void changed_bytes_cache::note_edit(const skarn_change_struct *change) {
    if (!valid_ || change == nullptr) return;
    const int64_t at = skarn_change_get_offset(change);
    const int64_t length = skarn_change_get_length(change);
    const auto end = offset_ + static_cast<int64_t>(flags_.size());
    const auto index = [this](int64_t offset) { return flags_.begin() + (offset - offset_); };
    switch (skarn_change_get_kind_as_char(change)) {
        case 'I':
            if (at < offset_)
                offset_ += length;
            else if (at <= end)
                flags_.insert(index(at), static_cast<size_t>(length), true);
            break;
        case 'O':
            // Bytes written past the known end stay unknown: the stretch does not grow.
            std::fill(index(std::clamp(at, offset_, end)), index(std::clamp(at + length, offset_, end)), true);
            break;
        default: {
            const int64_t cut_begin = std::clamp(at, offset_, end);
            const int64_t cut_end = std::clamp(at + length, offset_, end);
            flags_.erase(index(cut_begin), index(cut_end));
            // Deleted bytes in front of the stretch bring it closer to the start.
            offset_ -= std::clamp(offset_ - at, int64_t{0}, length);
        }
    }
}

}  // namespace skarn_cli
