// one_byte_save_tool: opens a session over a file in place, overwrites its
// middle byte and saves the content by temporary file and rename to another
// path. Timed by clone_save_bench.sh.
//
//   one_byte_save_tool <input> <output>
//
// The output is replaced when it exists. On stderr it reports how long the
// save took, in milliseconds: "save <ms>".
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "bench_support.hpp"
#include "skarn_edit.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <input> <output>\n", argv[0]);
        return 2;
    }
    skarn_session_struct *session = open_in_place(argv[1]);
    if (session == nullptr) return 1;
    const int64_t middle = skarn_session_get_computed_file_size(session) / 2;
    if (skarn_edit_overwrite(session, middle, "*", 1) <= 0) {
        std::fprintf(stderr, "the overwrite was refused\n");
        skarn_edit_destroy_session(session);
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const int result = skarn_edit_save(session, argv[2], IO_FLG_OVERWRITE, nullptr);
    const double save_ms = milliseconds_since(start);
    skarn_edit_destroy_session(session);
    if (result != 0) {
        std::fprintf(stderr, "save failed with %d\n", result);
        return 1;
    }
    std::fprintf(stderr, "save %.1f\n", save_ms);
    return 0;
}
