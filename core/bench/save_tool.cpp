// save_tool: opens a session over a file, optionally makes seeded random small
// edits, and saves the content to a new path. Timed by save_bench.sh.
//
//   save_tool <input> <output> [edits [seed]]
//
// The output is replaced when it exists. The checkpoint directory is the
// input's directory. On stderr it reports how long each phase took, in
// milliseconds: "create <ms> edit <ms> save <ms>".
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_support.hpp"
#include "skarn_edit.h"

int main(int argc, char **argv) {
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: %s <input> <output> [edits [seed]]\n", argv[0]);
        return 2;
    }
    const long edits = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
    const unsigned long seed = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1;

    auto start = std::chrono::steady_clock::now();
    skarn_session_struct *session = skarn_edit_create_session(argv[1], nullptr, nullptr, 0, nullptr);
    if (session == nullptr) {
        std::fprintf(stderr, "cannot open a session over %s\n", argv[1]);
        return 1;
    }
    const double create_ms = milliseconds_since(start);

    start = std::chrono::steady_clock::now();
    if (!make_random_edits(session, edits, seed)) {
        std::fprintf(stderr, "an edit was refused\n");
        skarn_edit_destroy_session(session);
        return 1;
    }
    const double edit_ms = milliseconds_since(start);

    start = std::chrono::steady_clock::now();
    const int result = skarn_edit_save(session, argv[2], IO_FLG_OVERWRITE, nullptr);
    const double save_ms = milliseconds_since(start);
    skarn_edit_destroy_session(session);
    if (result != 0) {
        std::fprintf(stderr, "save failed with %d\n", result);
        return 1;
    }
    std::fprintf(stderr, "create %.1f edit %.1f save %.1f\n", create_ms, edit_ms, save_ms);
    return 0;
}
