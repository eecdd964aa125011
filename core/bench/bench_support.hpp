// What the benchmark programs share: an input file of seeded random letters,
// and the edit mix they apply (seeded inserts, deletes and overwrites of 1 to
// 16 bytes at random offsets).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>

#include "skarn_edit.h"

// Milliseconds from `start` to now.
inline double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A session reading the file at `path` in place, or null after saying so on stderr.
inline skarn_session_struct *open_in_place(const char *path) {
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = SESSION_OPT_IN_PLACE;
    skarn_session_struct *session = skarn_edit_create_session_with_options(path, &options);
    if (session == nullptr) std::fprintf(stderr, "cannot open a session over %s\n", path);
    return session;
}

// Writes `size` random lowercase letters (always the same ones) to `path`;
// false when the file cannot be written.
inline bool write_letters_file(const std::string &path, int64_t size) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 rng(42);
    std::string block(1 << 16, '\0');
    for (int64_t written = 0; written < size && out; written += static_cast<int64_t>(block.size())) {
        for (auto &c : block) c = static_cast<char>('a' + rng() % 26);
        out.write(block.data(), static_cast<std::streamsize>(std::min<int64_t>(size - written, block.size())));
    }
    return static_cast<bool>(out.flush());
}

// One edit of the mix; false when it is refused or fails.
inline bool random_edit(skarn_session_struct *session, std::mt19937_64 &rng) {
    uint8_t bytes[16];
    const int64_t size = skarn_session_get_computed_file_size(session);
    const int64_t offset = size > 0 ? static_cast<int64_t>(rng() % static_cast<uint64_t>(size)) : 0;
    const auto length = static_cast<int64_t>(rng() % 16 + 1);
    for (auto &byte : bytes) byte = static_cast<uint8_t>(rng());
    switch (rng() % 3) {
        case 0: return skarn_edit_insert_bytes(session, offset, bytes, length) > 0;
        case 1: return size == 0 || skarn_edit_delete(session, offset, length) > 0;
        default: return skarn_edit_overwrite_bytes(session, offset, bytes, length) > 0;
    }
}

// Makes `edits` changes of the mix; false as soon as one is refused or fails.
inline bool make_random_edits(skarn_session_struct *session, int64_t edits, uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int64_t i = 0; i < edits; ++i) {
        if (!random_edit(session, rng)) return false;
    }
    return true;
}
