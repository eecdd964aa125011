// The bytes of large inserts live in the session's spill file, or in its
// journal, not in the process's memory: 4 GiB inserted in 4 MiB pieces leave
// the process small.
#include <sys/statvfs.h>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "skarn_edit.hpp"
#include "support/test_support.hpp"

namespace {

using namespace skarn_test;

// The process's resident memory, in bytes, from /proc/self/status.
int64_t resident_bytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            int64_t kib = 0;
            status >> kib;
            return kib << 10;
        }
        status.ignore(1 << 10, '\n');
    }
    return -1;
}

// Inserts 4 GiB in 4 MiB pieces into a session over a small file made with
// `flags`, and checks that the process stays under 64 MiB and the bytes read back.
void insert_four_gib(int32_t flags) {
    TempDir dir;
    struct statvfs space {};
    constexpr int64_t piece = int64_t{4} << 20;
    constexpr int pieces = 1024;
    if (::statvfs(dir.str().c_str(), &space) != 0 ||
        static_cast<int64_t>(space.f_bavail) * static_cast<int64_t>(space.f_frsize) < 2 * piece * pieces) {
        GTEST_SKIP() << "needs 8 GiB free in " << dir.str();
    }
    const std::string path = dir.file("content.bin");
    const std::string directory = dir.str();
    write_file(path, "head");
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = flags;
    options.checkpoint_directory = directory.c_str();
    Session session(skarn_edit_create_session_with_options(path.c_str(), &options));
    ASSERT_TRUE(session);
    std::vector<uint8_t> bytes(static_cast<size_t>(piece));
    for (int i = 0; i < pieces; ++i) {
        std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>('A' + i % 26));
        bytes.front() = static_cast<uint8_t>(i & 0xFF);
        const int64_t end = skarn_session_get_computed_file_size(session.get());
        ASSERT_GT(skarn_edit_insert_bytes(session.get(), end, bytes.data(), piece), 0) << "piece " << i;
    }
    const int64_t resident = resident_bytes();
    std::cout << "resident after inserting 4 GiB: " << (resident >> 20) << " MiB\n";
    EXPECT_LT(resident, int64_t{64} << 20);
    EXPECT_EQ(skarn_session_get_computed_file_size(session.get()), 4 + piece * pieces);
    for (int i = 0; i < pieces; i += 97) {
        const std::string shown = skarn_session_get_segment_string(session.get(), 4 + i * piece, 3);
        const char letter = static_cast<char>('A' + i % 26);
        const std::string expected{static_cast<char>(i & 0xFF), letter, letter};
        EXPECT_EQ(shown, expected) << "piece " << i;
    }
}

TEST(SpilledBytes, FourGiBInsertedInFourMiBPiecesKeepTheProcessUnder64MiB) { insert_four_gib(0); }

TEST(SpilledBytes, FourGiBInsertedIntoAJournaledSessionKeepTheProcessUnder64MiB) {
    insert_four_gib(SESSION_OPT_JOURNAL);
}

}  // namespace
