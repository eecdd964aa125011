// The changed bytes of the window; see view_changes.hpp.
#include "view_changes.hpp"

#include <algorithm>

namespace skarn_cli {

namespace {

// A run of window bytes not yet known to be changed: `length` bytes from
// `window_index` of the window, which sat at `offset` in the content as it
// was before the change being looked at.
struct run {
    int64_t window_index;
    int64_t length;
    int64_t offset;
};

struct walk {
    std::vector<run> runs;
    std::vector<bool> changed;
    int64_t left;  // changes still to follow back
};

// Splits `piece` at content offset `at` into the part before and the part from it.
std::pair<run, run> split(const run &piece, int64_t at) {
    const int64_t head = std::clamp(at - piece.offset, int64_t{0}, piece.length);
    return {run{piece.window_index, head, piece.offset},
            run{piece.window_index + head, piece.length - head, piece.offset + head}};
}

// Takes the runs back over one change: bytes it wrote are marked, the others
// get the offsets they had before it.
void step_back(walk &state, char kind, int64_t offset, int64_t length) {
    std::vector<run> earlier;
    for (const run &piece : state.runs) {
        auto [before, rest] = split(piece, offset);
        if (before.length > 0) earlier.push_back(before);
        if (kind == 'D') {
            rest.offset += length;
            if (rest.length > 0) earlier.push_back(rest);
            continue;
        }
        auto [written, after] = split(rest, offset + length);
        for (int64_t i = 0; i < written.length; ++i) state.changed[written.window_index + i] = true;
        if (kind == 'I') after.offset -= length;
        if (after.length > 0) earlier.push_back(after);
    }
    state.runs = std::move(earlier);
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
    walk state{{run{0, length, offset}}, std::vector<bool>(static_cast<size_t>(std::max<int64_t>(length, 0))), newest};
    if (length > 0 && newest > 0) skarn_visit_changes_reverse(session, visit_change, &state);
    return state.changed;
}

}  // namespace skarn_cli
