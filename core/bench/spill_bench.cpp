// Large edits whose bytes live in the session's spill file against the same
// edits kept in memory (one byte shorter, below the spill threshold): the
// cost of an insert, and the throughput of reading the whole content behind
// 10,000 of them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "skarn_edit.hpp"

namespace {

constexpr int64_t spilled = 4096;  // the spill file's threshold
constexpr int64_t in_memory = spilled - 1;
constexpr int64_t edits = 10000;

std::string scratch_directory() {
    static const std::string directory = [] {
        const auto path = std::filesystem::temp_directory_path() / "skarn_spill_bench";
        std::filesystem::create_directories(path);
        return path.string();
    }();
    return directory;
}

// A session over nothing holding `edits` inserts of `length` bytes at random offsets.
skarn_session_struct *session_of(int64_t length) {
    skarn_session_struct *session =
        skarn_edit_create_session(nullptr, nullptr, nullptr, 0, scratch_directory().c_str());
    std::mt19937_64 rng(7);
    std::vector<uint8_t> bytes(static_cast<size_t>(length), 'x');
    for (int64_t i = 0; i < edits; ++i) {
        const int64_t size = skarn_session_get_computed_file_size(session);
        const int64_t at = size == 0 ? 0 : static_cast<int64_t>(rng() % static_cast<uint64_t>(size));
        skarn_edit_insert_bytes(session, at, bytes.data(), length);
    }
    return session;
}

void BM_Insert(benchmark::State &state) {
    const int64_t length = state.range(0);
    skarn_session_struct *session =
        skarn_edit_create_session(nullptr, nullptr, nullptr, 0, scratch_directory().c_str());
    std::vector<uint8_t> bytes(static_cast<size_t>(length), 'y');
    for (auto _ : state) benchmark::DoNotOptimize(skarn_edit_insert_bytes(session, 0, bytes.data(), length));
    state.SetBytesProcessed(state.iterations() * length);
    skarn_edit_destroy_session(session);
}
BENCHMARK(BM_Insert)->Arg(in_memory)->Arg(spilled);

void BM_ReadWholeContent(benchmark::State &state) {
    skarn_session_struct *session = session_of(state.range(0));
    const int64_t size = skarn_session_get_computed_file_size(session);
    std::vector<uint8_t> window(size_t{1} << 20);
    for (auto _ : state) {
        for (int64_t at = 0; at < size; at += static_cast<int64_t>(window.size())) {
            benchmark::DoNotOptimize(
                skarn_session_read(session, at, window.data(), static_cast<int64_t>(window.size())));
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
    skarn_edit_destroy_session(session);
}
BENCHMARK(BM_ReadWholeContent)->Arg(in_memory)->Arg(spilled)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
