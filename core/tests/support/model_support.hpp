// Helpers shared by the test families that look inside the library's records
// (they include its internal headers, which the plain support header does not).
#ifndef SKARN_TESTS_MODEL_SUPPORT_HPP
#define SKARN_TESTS_MODEL_SUPPORT_HPP

#include <string>

#include "engine/level.hpp"
#include "engine/session.hpp"

namespace skarn_test {

// The segment list of the current level, one "K(offset,length,change_offset)" per segment.
inline std::string describe(const skarn_session_struct *session) {
    std::string text;
    for (const auto &piece : session->current().pieces) {
        if (!text.empty()) text += ' ';
        text += piece.kind() == skarn::SEGMENT_READ ? 'R' : 'I';
        text += '(' + std::to_string(piece.computed_offset) + ',' + std::to_string(piece.computed_length) + ',' +
                std::to_string(piece.change_offset) + ')';
    }
    return text;
}

}  // namespace skarn_test

#endif  // SKARN_TESTS_MODEL_SUPPORT_HPP
