// The edit mix the benchmark programs apply: seeded inserts, deletes and
// overwrites of 1 to 16 bytes at random offsets.
#pragma once

#include <cstdint>
#include <random>

#include "skarn_edit.h"

// Makes `edits` changes; false as soon as one is refused or fails.
inline bool make_random_edits(skarn_session_struct *session, long edits, unsigned long seed) {
    std::mt19937_64 rng(seed);
    uint8_t bytes[16];
    for (long i = 0; i < edits; ++i) {
        const int64_t size = skarn_session_get_computed_file_size(session);
        const int64_t offset = size > 0 ? static_cast<int64_t>(rng() % static_cast<uint64_t>(size)) : 0;
        const auto length = static_cast<int64_t>(rng() % 16 + 1);
        for (auto &byte : bytes) byte = static_cast<uint8_t>(rng());
        int64_t serial = 0;
        switch (rng() % 3) {
            case 0: serial = skarn_edit_insert_bytes(session, offset, bytes, length); break;
            case 1: serial = size > 0 ? skarn_edit_delete(session, offset, length) : 1; break;
            default: serial = skarn_edit_overwrite_bytes(session, offset, bytes, length); break;
        }
        if (serial <= 0) return false;
    }
    return true;
}
