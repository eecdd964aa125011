// Search throughput over a 256 MiB session, against memmem over the same
// bytes held in memory.
//
// The content is random over the 255 byte values other than 0xFF, so a
// pattern made only of 0xFF bytes never occurs; a 16-byte pattern that holds
// 0xFF is planted every 4 KiB for the frequent-match case.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <string_view>

#include "skarn_edit.hpp"

namespace {

namespace fs = std::filesystem;

constexpr int64_t content_size = int64_t{256} << 20;
constexpr int64_t plant_spacing = 4096;
constexpr char absent_byte = '\xFF';
const std::string planted_pattern = "\xFFskarn-4KiB-hit\xFF";  // 16 bytes, no run of 0xFF

std::string *absent_content = nullptr;   // no 0xFF run anywhere
std::string *planted_content = nullptr;  // the same with the pattern every 4 KiB
skarn_session_struct *absent_session = nullptr;
skarn_session_struct *planted_session = nullptr;

std::string make_content(bool planted) {
    std::string content(static_cast<size_t>(content_size), '\0');
    std::mt19937_64 rng(42);
    for (size_t i = 0; i + 8 <= content.size(); i += 8) {
        uint64_t word = rng();
        for (size_t j = 0; j < 8; ++j, word >>= 8) {
            // 255 values: 0xFF is folded onto 0..254 by taking the byte modulo 255.
            content[i + j] = static_cast<char>((word & 0xFF) % 255);
        }
    }
    if (planted) {
        for (int64_t at = 0; at + static_cast<int64_t>(planted_pattern.size()) <= content_size; at += plant_spacing) {
            content.replace(static_cast<size_t>(at), planted_pattern.size(), planted_pattern);
        }
    }
    return content;
}

skarn_session_struct *open_session(const fs::path &dir, const std::string &name, const std::string &content) {
    const fs::path path = dir / name;
    {
        std::ofstream out(path, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    skarn_session_struct *session =
        skarn_edit_create_session(path.string().c_str(), nullptr, nullptr, 0, dir.string().c_str());
    fs::remove(path);  // the session reads its own copy
    return session;
}

// Every match of `pattern`, non-overlapping, through a search context.
int64_t count_in_session(benchmark::State &state, skarn_session_struct *session, std::string_view pattern) {
    skarn_search_context_struct *context = skarn_search_create_context_string(session, pattern, 0, 0, false, false);
    if (context == nullptr) {
        state.SkipWithError("cannot create the search context");
        return -1;
    }
    int64_t matches = 0;
    while (skarn_search_next_match(context, static_cast<int64_t>(pattern.size())) == 1) ++matches;
    skarn_search_destroy_context(context);
    return matches;
}

// The same count with memmem over the bytes in memory.
int64_t count_in_memory(const std::string &content, std::string_view pattern) {
    int64_t matches = 0;
    const char *at = content.data();
    const char *end = content.data() + content.size();
    while (const void *hit = memmem(at, static_cast<size_t>(end - at), pattern.data(), pattern.size())) {
        ++matches;
        at = static_cast<const char *>(hit) + pattern.size();
    }
    return matches;
}

int64_t expected_planted_matches() {
    return (content_size - static_cast<int64_t>(planted_pattern.size())) / plant_spacing + 1;
}

void BM_SessionAbsent(benchmark::State &state) {
    const std::string pattern(static_cast<size_t>(state.range(0)), absent_byte);
    for (auto _ : state) {
        const int64_t matches = count_in_session(state, absent_session, pattern);
        if (matches != 0) state.SkipWithError("an absent pattern was found");
        benchmark::DoNotOptimize(matches);
    }
    state.SetBytesProcessed(state.iterations() * content_size);
}

void BM_MemmemAbsent(benchmark::State &state) {
    const std::string pattern(static_cast<size_t>(state.range(0)), absent_byte);
    for (auto _ : state) {
        const int64_t matches = count_in_memory(*absent_content, pattern);
        if (matches != 0) state.SkipWithError("an absent pattern was found");
        benchmark::DoNotOptimize(matches);
    }
    state.SetBytesProcessed(state.iterations() * content_size);
}

// The matcher alone over the bytes in memory, window by window as a search
// context scans them but without reading them from the session: the part of
// the search's time that is not spent reading.
void BM_MatcherAbsent(benchmark::State &state) {
    const std::string pattern(static_cast<size_t>(state.range(0)), absent_byte);
    const auto *needle = reinterpret_cast<const uint8_t *>(pattern.data());
    const auto m = static_cast<int64_t>(pattern.size());
    skarn_find_skip_table_struct *table = skarn_find_create_skip_table(needle, m, 0);
    const auto *bytes = reinterpret_cast<const uint8_t *>(absent_content->data());
    constexpr int64_t window = 1048576;
    for (auto _ : state) {
        int64_t matches = 0;
        for (int64_t at = 0; at + m <= content_size; at += window - m + 1) {
            if (skarn_find(bytes + at, std::min(window, content_size - at), table, needle, m) != nullptr) ++matches;
        }
        if (matches != 0) state.SkipWithError("an absent pattern was found");
        benchmark::DoNotOptimize(matches);
    }
    skarn_find_destroy_skip_table(table);
    state.SetBytesProcessed(state.iterations() * content_size);
}

void BM_SessionEvery4KiB(benchmark::State &state) {
    for (auto _ : state) {
        const int64_t matches = count_in_session(state, planted_session, planted_pattern);
        if (matches != expected_planted_matches()) state.SkipWithError("wrong number of matches");
        benchmark::DoNotOptimize(matches);
    }
    state.SetBytesProcessed(state.iterations() * content_size);
}

void BM_MemmemEvery4KiB(benchmark::State &state) {
    for (auto _ : state) {
        const int64_t matches = count_in_memory(*planted_content, planted_pattern);
        if (matches != expected_planted_matches()) state.SkipWithError("wrong number of matches");
        benchmark::DoNotOptimize(matches);
    }
    state.SetBytesProcessed(state.iterations() * content_size);
}

BENCHMARK(BM_SessionAbsent)->Arg(4)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemmemAbsent)->Arg(4)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MatcherAbsent)->Arg(4)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SessionEvery4KiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemmemEvery4KiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    std::error_code ec;
    const fs::path dir = fs::temp_directory_path() / ("skarn_search_bench_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    std::string absent = make_content(false);
    std::string planted = make_content(true);
    absent_content = &absent;
    planted_content = &planted;
    absent_session = open_session(dir, "absent.bin", absent);
    planted_session = open_session(dir, "planted.bin", planted);
    int result = 0;
    if (absent_session == nullptr || planted_session == nullptr) {
        std::cerr << "cannot open the benchmark sessions in " << dir << "\n";
        result = 1;
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    skarn_edit_destroy_session(absent_session);
    skarn_edit_destroy_session(planted_session);
    benchmark::Shutdown();
    fs::remove_all(dir, ec);
    return result;
}
