// The cost of one edit as the number of viewports grows. One iteration is an
// insert and the delete that takes the same bytes out again, so the content
// and its segment list stay the same from one iteration to the next.
//
// In front: the edits are at offset 0, before every viewport, so each one is
// marked stale and told, and every floating viewport moves twice.
// Behind: the edits are at the end of the content, past every viewport's
// window, so each viewport costs only the comparisons that rule it out.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "skarn_edit.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t content_size = 1 << 20;
constexpr int64_t viewport_capacity = 256;
// The history grows by two changes per iteration; it is cleared (outside the
// timing) this often so that memory stays bounded.
constexpr int64_t clear_every = 4096;

void count_event(const skarn_viewport_struct *viewport, int32_t, const void *) {
    ++*static_cast<int64_t *>(skarn_viewport_get_user_data_ptr(viewport));
}

// A session over a content file of its own, with `count` viewports spread
// evenly over the content, floating and fixed in turn.
class Fixture {
public:
    explicit Fixture(int64_t count) {
        std::random_device rd;
        dir_ = fs::temp_directory_path() / ("skarn_viewport_bench_" + std::to_string(rd()));
        fs::create_directories(dir_);
        const std::string path = (dir_ / "content.bin").string();
        {
            std::ofstream out(path, std::ios::binary);
            std::string block(static_cast<size_t>(content_size), '\0');
            std::mt19937_64 rng(7);
            for (auto &c : block) c = static_cast<char>('a' + rng() % 26);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        session_ = skarn_edit_create_session(path.c_str(), nullptr, nullptr, 0, dir_.string().c_str());
        if (session_ == nullptr) return;
        const int64_t spacing = (content_size - viewport_capacity) / count;
        for (int64_t i = 0; i < count; ++i) {
            skarn_edit_create_viewport(session_, i * spacing, viewport_capacity, static_cast<int>(i % 2), count_event,
                                       &events_, VIEWPORT_EVT_EDIT);
        }
    }
    ~Fixture() {
        skarn_edit_destroy_session(session_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    Fixture(const Fixture &) = delete;
    Fixture &operator=(const Fixture &) = delete;

    skarn_session_struct *session() const { return session_; }
    int64_t events() const { return events_; }

private:
    fs::path dir_;
    skarn_session_struct *session_ = nullptr;
    int64_t events_ = 0;
};

void run_edits(benchmark::State &state, bool in_front) {
    Fixture fixture(state.range(0));
    skarn_session_struct *session = fixture.session();
    if (session == nullptr || skarn_session_get_num_viewports(session) != state.range(0)) {
        state.SkipWithError("cannot create the session or its viewports");
        return;
    }
    const char bytes[] = "0123456789abcdef";
    constexpr int64_t length = sizeof bytes - 1;
    const int64_t offset = in_front ? 0 : content_size;
    int64_t since_clear = 0;
    for (auto _ : state) {
        if (skarn_edit_insert(session, offset, bytes, length) <= 0 || skarn_edit_delete(session, offset, length) <= 0) {
            state.SkipWithError("edit refused");
            break;
        }
        if (++since_clear == clear_every) {
            state.PauseTiming();
            skarn_edit_clear_changes(session);
            since_clear = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations() * 2);
    state.counters["viewport_events_per_edit"] =
        benchmark::Counter(static_cast<double>(fixture.events()) / static_cast<double>(2 * state.iterations()));
}

void BM_EditInFrontOfViewports(benchmark::State &state) { run_edits(state, true); }
void BM_EditBehindViewports(benchmark::State &state) { run_edits(state, false); }

BENCHMARK(BM_EditInFrontOfViewports)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(BM_EditBehindViewports)->Arg(1)->Arg(100)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
