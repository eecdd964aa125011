// Costs of the editing core on a session over a 64 MiB file: one edit and one
// undo as the history grows, and the throughput of 1 MiB reads with and
// without many edits in front of them. The big states are built once per
// process and shared by the repetitions of a benchmark.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "bench_support.hpp"
#include "skarn_edit.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int64_t file_size = int64_t{64} << 20;
constexpr int64_t read_size = int64_t{1} << 20;

// The input file, the sessions' private copies, and the shared sessions,
// kept until the end of the run.
class Workspace {
public:
    static Workspace &get() {
        static Workspace workspace;
        return workspace;
    }

    // A new session over the input holding `changes` random edits, owned by the caller.
    skarn_session_struct *new_session(int64_t changes) const {
        skarn_session_struct *session =
            skarn_edit_create_session(input_.c_str(), nullptr, nullptr, 0, directory_.c_str());
        if (session == nullptr) return nullptr;
        std::mt19937_64 rng(static_cast<uint64_t>(changes));
        for (int64_t i = 0; i < changes; ++i) {
            if (random_edit(session, rng) <= 0) {
                skarn_edit_destroy_session(session);
                return nullptr;
            }
        }
        return session;
    }

    // The same, built once per run and kept by the workspace; `name` keeps the
    // sessions of different benchmarks apart.
    skarn_session_struct *shared_session(const std::string &name, int64_t changes) {
        auto &slot = sessions_[{name, changes}];
        if (slot == nullptr) slot = new_session(changes);
        return slot;
    }

    // One insert, overwrite or delete of up to 16 bytes at a random offset.
    static int64_t random_edit(skarn_session_struct *session, std::mt19937_64 &rng) {
        static const std::string bytes = "0123456789abcdefghijklmnopqrstuvwxyz";
        const int64_t size = skarn_session_get_computed_file_size(session);
        const auto offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size));
        const auto length = static_cast<int64_t>(1 + rng() % 16);
        const std::string_view data(bytes.data() + rng() % 16, static_cast<size_t>(length));
        switch (rng() % 10) {
            case 0: return skarn_edit_delete(session, offset, length);
            case 1:
            case 2: return skarn_edit_overwrite_string(session, offset, data);
            default: return skarn_edit_insert_string(session, offset, data);
        }
    }

    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;

private:
    Workspace() {
        std::random_device device;
        const fs::path directory = fs::temp_directory_path() / ("skarn_edit_bench_" + std::to_string(device()));
        fs::create_directories(directory);
        directory_ = directory.string();
        input_ = (directory / "input.bin").string();
        write_letters_file(input_, file_size);
    }

    ~Workspace() {
        for (auto &entry : sessions_) skarn_edit_destroy_session(entry.second);
        std::error_code ec;
        fs::remove_all(directory_, ec);
    }

    std::string directory_;
    std::string input_;
    std::map<std::pair<std::string, int64_t>, skarn_session_struct *> sessions_;
};

// One insert of 4 bytes at a random offset. Each insert adds a change and
// splits a segment, so the iterations are fixed and few against the changes
// already there: the 1k and 10k states are rebuilt for every run (each
// repetition), the 100k state, slow to build, is shared by the repetitions and
// grows by 1.5% over all of them.
void BM_Insert(benchmark::State &state) {
    const int64_t changes = state.range(0);
    const bool shared = changes > 10000;
    Workspace &workspace = Workspace::get();
    skarn_session_struct *session =
        shared ? workspace.shared_session("insert", changes) : workspace.new_session(changes);
    if (session == nullptr) {
        state.SkipWithError("cannot build the session");
        return;
    }
    std::mt19937_64 rng(7);
    for (auto _ : state) {
        const auto offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(file_size));
        benchmark::DoNotOptimize(skarn_edit_insert(session, offset, "edit", 4));
    }
    state.counters["changes"] = static_cast<double>(skarn_session_get_num_changes(session));
    if (!shared) skarn_edit_destroy_session(session);
}
BENCHMARK(BM_Insert)->Arg(1000)->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Insert)->Arg(10000)->Iterations(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Insert)->Arg(100000)->Iterations(300)->Unit(benchmark::kMicrosecond);

// One undo and one redo: the undo rebuilds the level by replaying every
// remaining change; the redo applies one. The state is the same after each pair.
void BM_UndoRedo(benchmark::State &state) {
    skarn_session_struct *session = Workspace::get().shared_session("undo", state.range(0));
    if (session == nullptr) {
        state.SkipWithError("cannot build the session");
        return;
    }
    for (auto _ : state) {
        if (skarn_edit_undo_last_change(session) >= 0 || skarn_edit_redo_last_undo(session) <= 0) {
            state.SkipWithError("undo or redo failed");
            break;
        }
    }
}
BENCHMARK(BM_UndoRedo)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Reading 1 MiB at random offsets, over the bare file or behind many edits.
void BM_Read1MiB(benchmark::State &state) {
    skarn_session_struct *session = Workspace::get().shared_session("read", state.range(0));
    skarn_segment_struct *segment = skarn_segment_create(read_size);
    if (session == nullptr || segment == nullptr) {
        skarn_segment_destroy(segment);
        state.SkipWithError("cannot build the session");
        return;
    }
    const int64_t size = skarn_session_get_computed_file_size(session);
    std::mt19937_64 rng(11);
    for (auto _ : state) {
        const auto offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(size - read_size));
        if (skarn_session_get_segment(session, segment, offset) != 0 ||
            skarn_segment_get_length(segment) != read_size) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(skarn_segment_get_data(segment));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * read_size);
    skarn_segment_destroy(segment);
}
BENCHMARK(BM_Read1MiB)->Arg(0)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
