// Replace-all: every non-overlapping match of a pattern in a range of a
// session's content, left to right, replaced in one streaming pass that
// writes the result into a new checkpoint level.
#ifndef SKARN_ENGINE_REPLACE_ALL_HPP
#define SKARN_ENGINE_REPLACE_ALL_HPP

#include <cstdint>

#include "engine/session.hpp"

namespace skarn {

// What one replace-all replaces: `pattern` by `replacement` in
// [offset, offset + length) (length 0: to the end), folding case when
// `ignore_case`.
struct replace_request {
    const uint8_t *pattern = nullptr;
    int64_t pattern_length = 0;
    const uint8_t *replacement = nullptr;  // may be null when empty
    int64_t replacement_length = 0;
    int64_t offset = 0;
    int64_t length = 0;
    bool ignore_case = false;
};

// As skarn_edit_replace_all says: the number of replacements (0: none, no
// level made), or -1 (logged). Throws std::bad_alloc.
int64_t replace_all(skarn_session_struct &session, const replace_request &request);

}  // namespace skarn

#endif  // SKARN_ENGINE_REPLACE_ALL_HPP
