// big_file_tool: the library's side of big_file_bench.sh, which times it
// against cp and a plain read-and-count loop.
//
//   big_file_tool open <file> [in-place]         session creation alone
//   big_file_tool profile <file> <edits> [in-place]  byte profile of the whole content
//   big_file_tool count <file>                    read(2) + histogram, the reference
//
// Each prints one line on stdout: "<what> <ms>" for the timed phase. It builds
// against older versions of the library too (without in-place sessions), so
// that the same program gives the figures before and after.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "skarn_edit.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

skarn_session_struct *open_session(const char *path, bool in_place) {
#ifdef SKARN_SESSION_OPTIONS_VERSION
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = in_place ? SESSION_OPT_IN_PLACE : 0;
    return skarn_edit_create_session_with_options(path, &options);
#else
    (void)in_place;
    return skarn_edit_create_session(path, nullptr, nullptr, 0, nullptr);
#endif
}

int fail(const char *what) {
    std::fprintf(stderr, "%s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return fail("usage: big_file_tool open|profile|count <file> [edits] [in-place]");
    const std::string mode = argv[1];
    const char *path = argv[2];
    const bool in_place = std::strcmp(argv[argc - 1], "in-place") == 0;

    if (mode == "count") {
        const auto start = clock_type::now();
        const int fd = open(path, O_RDONLY);
        if (fd < 0) return fail("cannot open the file");
        std::vector<unsigned char> buffer(size_t{1} << 20);
        int64_t counts[256] = {};
        int64_t dos = 0;
        unsigned char previous = 0;
        for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;) {
            for (ssize_t i = 0; i < n; ++i) {
                dos += previous == '\r' && buffer[i] == '\n';
                ++counts[buffer[i]];
                previous = buffer[i];
            }
        }
        close(fd);
        std::printf("count %.1f\n", ms_since(start));
        std::fprintf(stderr, "LF %" PRId64 " CRLF %" PRId64 "\n", counts[10], dos);
        return 0;
    }

    auto start = clock_type::now();
    skarn_session_struct *session = open_session(path, in_place);
    if (session == nullptr) return fail("cannot open a session");
    const double open_ms = ms_since(start);
    int result = 0;
    if (mode == "open") {
        std::printf("open %.1f\n", open_ms);
        // The disk use of the private copy, beside the file.
        std::error_code error;
        const auto directory = std::filesystem::absolute(path, error).parent_path();
        for (const auto &entry : std::filesystem::directory_iterator(directory, error)) {
            struct stat status {};
            if (entry.path().filename().string().rfind(".Skarnpad-orig.", 0) == 0 &&
                stat(entry.path().c_str(), &status) == 0) {
                std::fprintf(stderr, "copy: %lld KiB on disk\n", static_cast<long long>(status.st_blocks) / 2);
            }
        }
    } else if (mode == "profile") {
        const long edits = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
        if (!make_random_edits(session, edits, 42)) return fail("an edit failed");
        static int64_t profile[257];
        start = clock_type::now();
        if (skarn_session_byte_frequency_profile(session, profile, 0, 0) != 0) result = fail("the profile failed");
        std::printf("profile %.1f\n", ms_since(start));
        std::fprintf(stderr, "LF %" PRId64 " CRLF %" PRId64 "\n", profile[10], profile[256]);
    } else {
        result = fail("unknown mode");
    }
    skarn_edit_destroy_session(session);
    return result;
}
