// The skip table of one pattern for one scanning direction.
#ifndef SKARN_ENGINE_SKIP_TABLE_HPP
#define SKARN_ENGINE_SKIP_TABLE_HPP

#include <cstdint>
#include <vector>

struct skarn_find_skip_table_struct {
    std::vector<int64_t> shifts;  // 256 entries; empty for a one-byte pattern
    int is_reversed = 0;
};

#endif  // SKARN_ENGINE_SKIP_TABLE_HPP
