// A step walk over the current level's change list.
#ifndef SKARN_ENGINE_VISIT_HPP
#define SKARN_ENGINE_VISIT_HPP

#include <cstddef>
#include <cstdint>
#include <memory>

#include "skarn_edit/types.h"

struct skarn_visit_change_context_struct {
    const skarn_session_struct *session = nullptr;  // not owned
    uint8_t at_end = 1;
    uint8_t reverse = 0;
    std::unique_ptr<size_t> position;  // index into the change list; absent until the first begin
};

#endif  // SKARN_ENGINE_VISIT_HPP
