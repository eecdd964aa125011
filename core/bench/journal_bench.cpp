// Journaled sessions against the same work without a journal: the cost of a
// small edit, a million of them in all, reading the whole content behind
// 100,000 edits whose bytes live in the journal, and resuming a journal of a
// million operations. Run with --benchmark_repetitions=5
// --benchmark_enable_random_interleaving=true for medians of alternating runs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "skarn_edit.hpp"

namespace {

std::string scratch_directory() {
    static const std::string directory = [] {
        const auto path = std::filesystem::temp_directory_path() / "skarn_journal_bench";
        std::filesystem::create_directories(path);
        return path.string();
    }();
    return directory;
}

// A file of 1 MiB to edit.
std::string base_file() {
    static const std::string path = [] {
        const std::string file = scratch_directory() + "/base.bin";
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        std::mt19937_64 rng(1);
        std::string bytes(1 << 20, '\0');
        for (char &c : bytes) c = static_cast<char>('a' + rng() % 26);
        out << bytes;
        return file;
    }();
    return path;
}

skarn_session_struct *open_session(bool journaled) {
    const std::string directory = scratch_directory();
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = journaled ? SESSION_OPT_JOURNAL : 0;
    options.checkpoint_directory = directory.c_str();
    return skarn_edit_create_session_with_options(base_file().c_str(), &options);
}

// One random small edit: an insert or overwrite of 1 to 16 bytes, or a delete.
void small_edit(skarn_session_struct *session, std::mt19937_64 &rng) {
    static const uint8_t bytes[16] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    const int64_t size = skarn_session_get_computed_file_size(session);
    const int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(size));
    const int64_t length = 1 + static_cast<int64_t>(rng() % 16);
    switch (rng() % 3) {
        case 0: skarn_edit_insert_bytes(session, at, bytes, length); break;
        case 1: skarn_edit_overwrite_bytes(session, at, bytes, length); break;
        default: skarn_edit_delete(session, at, length); break;
    }
}

void BM_SmallEdit(benchmark::State &state) {
    skarn_session_struct *session = open_session(state.range(0) != 0);
    std::mt19937_64 rng(2);
    for (auto _ : state) small_edit(session, rng);
    skarn_edit_destroy_session(session);
}
BENCHMARK(BM_SmallEdit)->ArgName("journal")->Arg(0)->Arg(1);

// A million random small edits, session made and ended included.
void BM_MillionEdits(benchmark::State &state) {
    for (auto _ : state) {
        skarn_session_struct *session = open_session(state.range(0) != 0);
        std::mt19937_64 rng(3);
        for (int i = 0; i < 1000000; ++i) small_edit(session, rng);
        skarn_edit_destroy_session(session);
    }
}
BENCHMARK(BM_MillionEdits)->ArgName("journal")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// Reading the whole content behind 100,000 inserts of 100 bytes: kept in
// memory without a journal, read back from the journal's mapping with one.
void BM_ReadBehindEdits(benchmark::State &state) {
    skarn_session_struct *session = open_session(state.range(0) != 0);
    std::mt19937_64 rng(4);
    std::vector<uint8_t> bytes(100, 'x');
    for (int i = 0; i < 100000; ++i) {
        const int64_t size = skarn_session_get_computed_file_size(session);
        skarn_edit_insert_bytes(session, static_cast<int64_t>(rng() % static_cast<uint64_t>(size)), bytes.data(), 100);
    }
    const int64_t size = skarn_session_get_computed_file_size(session);
    std::vector<uint8_t> buffer(1 << 16);
    for (auto _ : state) {
        for (int64_t at = 0; at < size; at += static_cast<int64_t>(buffer.size())) {
            benchmark::DoNotOptimize(
                skarn_session_read(session, at, buffer.data(), static_cast<int64_t>(buffer.size())));
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
    skarn_edit_destroy_session(session);
}
BENCHMARK(BM_ReadBehindEdits)->ArgName("journal")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A journal of a million operations left behind by a process that died,
// made once and removed, with what it kept, when the run ends.
struct journal_removal {
    std::string path;
    ~journal_removal() {
        if (!path.empty()) skarn_util_remove_journal(path.c_str());
    }
};

std::string abandoned_journal() {
    static journal_removal removal;
    static const std::string path = [] {
        int report[2];
        if (::pipe(report) != 0) return std::string();
        const pid_t child = ::fork();
        if (child == 0) {
            skarn_session_struct *session = open_session(true);
            std::mt19937_64 rng(5);
            for (int i = 0; i < 1000000; ++i) small_edit(session, rng);
            const std::string journal = skarn_session_get_journal_path(session);
            if (::write(report[1], journal.c_str(), journal.size()) < 0) ::_exit(1);
            ::_exit(0);  // as if killed: the journal stays
        }
        ::close(report[1]);
        char name[4096] = {};
        const ssize_t got = ::read(report[0], name, sizeof name - 1);
        ::close(report[0]);
        ::waitpid(child, nullptr, 0);
        return got > 0 ? std::string(name, static_cast<size_t>(got)) : std::string();
    }();
    removal.path = path;
    return path;
}

// Each resume runs in a child that ends without removing the journal; its
// processor time (child_cpu_s) is told beside the wall time, which a loaded
// machine stretches.
void BM_ResumeMillionOperations(benchmark::State &state) {
    const std::string journal = abandoned_journal();
    for (auto _ : state) {
        int report[2];
        if (journal.empty() || ::pipe(report) != 0) {
            state.SkipWithError("no journal");
            return;
        }
        const pid_t child = ::fork();
        if (child == 0) {
            const auto start = std::chrono::steady_clock::now();
            skarn_session_struct *session = skarn_edit_resume_session(journal.c_str(), nullptr);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            rusage usage{};
            ::getrusage(RUSAGE_SELF, &usage);
            const double times[2] = {session != nullptr ? seconds : -1,
                                     static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6};
            if (::write(report[1], times, sizeof times) < 0) ::_exit(1);
            ::_exit(0);
        }
        ::close(report[1]);
        double times[2] = {-1, 0};
        if (::read(report[0], times, sizeof times) != sizeof times) times[0] = -1;
        const double seconds = times[0];
        state.counters["child_cpu_s"] = times[1];
        ::close(report[0]);
        ::waitpid(child, nullptr, 0);
        if (seconds < 0) {
            state.SkipWithError("the journal was not resumed");
            return;
        }
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(BM_ResumeMillionOperations)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
