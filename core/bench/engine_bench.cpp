// The editing engine at scale, on a session over a 64 MiB file with a random
// mix of 1-16 byte inserts, deletes and overwrites (also past the end):
//   - BM_Edit/N: one more edit of the mix with N changes in the history;
//   - BM_Build/N: all N edits from a fresh session, and the heap bytes that
//     stay allocated per change (record, undo information and segments);
//   - BM_UndoRedo/N: one undo and one redo with N changes in the history;
//   - BM_UndoAll/N: undoing N changes one by one;
//   - BM_ReadAll/N: the whole content through 64 KiB segments behind N edits;
//   - BM_Search1GiB / BM_Memmem1GiB: a 16-byte pattern every 4 KiB of a 1 GiB
//     file, every match counted through a search context or by memmem over
//     the same bytes in memory.
// Compare figures of one run only: the machine is shared.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "bench_support.hpp"
#include "skarn_edit.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int64_t file_size = int64_t{64} << 20;
constexpr int64_t read_size = int64_t{64} << 10;
constexpr int64_t search_size = int64_t{1} << 30;
constexpr int64_t plant_spacing = 4096;
const std::string planted_pattern = "\xFFskarn-4KiB-hit\xFF";  // 16 bytes

// Bytes in use on the heap, mmapped blocks (large arrays) included.
int64_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

class Workspace {
public:
    static Workspace &get() {
        static Workspace workspace;
        return workspace;
    }

    skarn_session_struct *open() const {
        return skarn_edit_create_session(input_.c_str(), nullptr, nullptr, 0, directory_.c_str());
    }

    // A session with `changes` edits, built once per run and kept.
    skarn_session_struct *shared(const std::string &name, int64_t changes) {
        auto &slot = sessions_[{name, changes}];
        if (slot == nullptr) {
            slot = open();
            if (slot != nullptr && !make_random_edits(slot, changes, static_cast<uint64_t>(changes))) {
                skarn_edit_destroy_session(slot);
                slot = nullptr;
            }
        }
        return slot;
    }

    // The 1 GiB search input, as a session and in memory.
    skarn_session_struct *search_session() {
        if (search_session_ == nullptr) {
            // Random bytes over the 255 values other than 0xFF, as search_bench uses.
            search_content_.assign(static_cast<size_t>(search_size), '\0');
            std::mt19937_64 rng(42);
            for (size_t i = 0; i + 8 <= search_content_.size(); i += 8) {
                uint64_t word = rng();
                for (size_t j = 0; j < 8; ++j, word >>= 8)
                    search_content_[i + j] = static_cast<char>((word & 0xFF) % 255);
            }
            for (int64_t at = 0; at + 16 <= search_size; at += plant_spacing) {
                search_content_.replace(static_cast<size_t>(at), planted_pattern.size(), planted_pattern);
            }
            const std::string path = directory_ + "/search.bin";
            {
                std::ofstream out(path, std::ios::binary);
                out.write(search_content_.data(), static_cast<std::streamsize>(search_content_.size()));
            }
            search_session_ = skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, directory_.c_str());
            fs::remove(path);
        }
        return search_session_;
    }
    const std::string &search_content() const { return search_content_; }

    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;

private:
    Workspace() {
        const fs::path directory =
            fs::temp_directory_path() / ("skarn_engine_bench_" + std::to_string(std::random_device{}()));
        fs::create_directories(directory);
        directory_ = directory.string();
        input_ = (directory / "input.bin").string();
        write_letters_file(input_, file_size);
    }
    ~Workspace() {
        for (auto &entry : sessions_) skarn_edit_destroy_session(entry.second);
        skarn_edit_destroy_session(search_session_);
        std::error_code ec;
        fs::remove_all(directory_, ec);
    }

    std::string directory_;
    std::string input_;
    std::map<std::pair<std::string, int64_t>, skarn_session_struct *> sessions_;
    skarn_session_struct *search_session_ = nullptr;
    std::string search_content_;
};

void BM_Edit(benchmark::State &state) {
    skarn_session_struct *session = Workspace::get().shared("edit", state.range(0));
    if (session == nullptr) return state.SkipWithError("cannot build the session");
    std::mt19937_64 rng(7);
    for (auto _ : state) {
        if (!random_edit(session, rng)) return state.SkipWithError("edit failed");
    }
}
BENCHMARK(BM_Edit)->Arg(1000)->Arg(10000)->Arg(100000)->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_Build(benchmark::State &state) {
    const int64_t changes = state.range(0);
    double bytes_per_change = 0;
    for (auto _ : state) {
        skarn_session_struct *session = Workspace::get().open();
        const int64_t before = heap_in_use();
        if (session == nullptr || !make_random_edits(session, changes, 1)) {
            skarn_edit_destroy_session(session);
            return state.SkipWithError("cannot build the session");
        }
        bytes_per_change = static_cast<double>(heap_in_use() - before) / static_cast<double>(changes);
        state.PauseTiming();
        skarn_edit_destroy_session(session);
        state.ResumeTiming();
    }
    state.counters["heap_bytes_per_change"] = bytes_per_change;
}
BENCHMARK(BM_Build)->Arg(10000)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_UndoRedo(benchmark::State &state) {
    skarn_session_struct *session = Workspace::get().shared("undo", state.range(0));
    if (session == nullptr) return state.SkipWithError("cannot build the session");
    for (auto _ : state) {
        if (skarn_edit_undo_last_change(session) >= 0 || skarn_edit_redo_last_undo(session) <= 0) {
            return state.SkipWithError("undo or redo failed");
        }
    }
}
BENCHMARK(BM_UndoRedo)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_UndoAll(benchmark::State &state) {
    const int64_t changes = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        skarn_session_struct *session = Workspace::get().open();
        if (session == nullptr || !make_random_edits(session, changes, 3)) {
            skarn_edit_destroy_session(session);
            return state.SkipWithError("cannot build the session");
        }
        state.ResumeTiming();
        for (int64_t i = 0; i < changes; ++i) {
            if (skarn_edit_undo_last_change(session) >= 0) return state.SkipWithError("undo failed");
        }
        state.PauseTiming();
        if (skarn_session_get_computed_file_size(session) != file_size) state.SkipWithError("size not restored");
        skarn_edit_destroy_session(session);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_UndoAll)->Arg(1000)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ReadAll(benchmark::State &state) {
    skarn_session_struct *session = Workspace::get().shared("read", state.range(0));
    skarn_segment_struct *segment = skarn_segment_create(read_size);
    if (session == nullptr || segment == nullptr) {
        skarn_segment_destroy(segment);
        return state.SkipWithError("cannot build the session");
    }
    const int64_t size = skarn_session_get_computed_file_size(session);
    for (auto _ : state) {
        uint64_t sum = 0;
        for (int64_t offset = 0; offset < size; offset += read_size) {
            if (skarn_session_get_segment(session, segment, offset) != 0) return state.SkipWithError("read failed");
            sum += skarn_segment_get_data(segment)[0];
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    skarn_segment_destroy(segment);
}
BENCHMARK(BM_ReadAll)->Arg(0)->Arg(100000)->Unit(benchmark::kMillisecond);

int64_t expected_matches() { return (search_size - 16) / plant_spacing + 1; }

void BM_Search1GiB(benchmark::State &state) {
    skarn_session_struct *session = Workspace::get().search_session();
    if (session == nullptr) return state.SkipWithError("cannot build the session");
    for (auto _ : state) {
        skarn_search_context_struct *context =
            skarn_search_create_context_string(session, planted_pattern, 0, 0, false, false);
        int64_t matches = 0;
        while (skarn_search_next_match(context, 16) == 1) ++matches;
        skarn_search_destroy_context(context);
        if (matches != expected_matches()) return state.SkipWithError("wrong number of matches");
    }
    state.SetBytesProcessed(state.iterations() * search_size);
}
BENCHMARK(BM_Search1GiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Memmem1GiB(benchmark::State &state) {
    Workspace::get().search_session();
    const std::string &content = Workspace::get().search_content();
    for (auto _ : state) {
        int64_t matches = 0;
        const char *at = content.data();
        const char *end = at + content.size();
        while (const void *hit = memmem(at, static_cast<size_t>(end - at), planted_pattern.data(), 16)) {
            ++matches;
            at = static_cast<const char *>(hit) + 16;
        }
        if (matches != expected_matches()) return state.SkipWithError("wrong number of matches");
    }
    state.SetBytesProcessed(state.iterations() * search_size);
}
BENCHMARK(BM_Memmem1GiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
