// in_place_tool: opens an in-place session over a file, makes one kind of
// edit and saves it in place through the journal. Timed by in_place_bench.sh.
//
//   in_place_tool <file> overwrite <count> [seed]   count one-byte overwrites at seeded offsets
//   in_place_tool <file> insert-front                one byte inserted at offset 0
//
// On stderr it reports the phases in milliseconds and the bytes the save
// handed to write calls (file and journal together, from /proc/self/io):
// "create <ms> edit <ms> save <ms> written <bytes>".
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "bench_support.hpp"
#include "skarn_edit.h"

namespace {

// The bytes this process has handed to write calls so far.
long long bytes_written() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "wchar:") return value;
    }
    return -1;
}

bool edit(skarn_session_struct *session, const char *kind, long count, unsigned long seed) {
    const int64_t size = skarn_session_get_computed_file_size(session);
    if (std::strcmp(kind, "insert-front") == 0) return skarn_edit_insert(session, 0, "X", 1) > 0;
    if (std::strcmp(kind, "overwrite") != 0 || size < 1) return false;
    std::mt19937_64 rng(seed);
    for (long i = 0; i < count; ++i) {
        const auto offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size));
        if (skarn_edit_overwrite(session, offset, "X", 1) <= 0) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: %s <file> (overwrite <count> [seed] | insert-front)\n", argv[0]);
        return 2;
    }
    const long count = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 1;
    const unsigned long seed = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1;

    auto start = std::chrono::steady_clock::now();
    skarn_session_struct *session = open_in_place(argv[1]);
    if (session == nullptr) return 1;
    const double create_ms = milliseconds_since(start);
    start = std::chrono::steady_clock::now();
    if (!edit(session, argv[2], count, seed)) {
        std::fprintf(stderr, "the edit was refused\n");
        skarn_edit_destroy_session(session);
        return 1;
    }
    const double edit_ms = milliseconds_since(start);
    const long long written_before = bytes_written();
    start = std::chrono::steady_clock::now();
    const int result = skarn_edit_save(session, argv[1], IO_FLG_IN_PLACE | IO_FLG_OVERWRITE, nullptr);
    const double save_ms = milliseconds_since(start);
    const long long written = bytes_written() - written_before;
    skarn_edit_destroy_session(session);
    if (result != 0) {
        std::fprintf(stderr, "save failed with %d\n", result);
        return 1;
    }
    std::fprintf(stderr, "create %.1f edit %.1f save %.1f written %lld\n", create_ms, edit_ms, save_ms, written);
    return 0;
}
