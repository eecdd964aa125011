// A session driven by a script of operations read from the fuzzer's input,
// checked against an in-memory model after every step: the content, the
// change counters, the levels, what viewports, searches, counts, profiles and
// saves deliver, that callbacks trying to change or destroy the session or
// what it holds are refused, and that saves from callbacks write the content.
//
// A journaled session (one input in two) may also be dropped as a process
// that dies drops it, then resumed from its journal, and must go on as the
// model says.
//
// Script: a sequence of operations, each an opcode byte followed by the
// operands it needs (64-bit offsets come as a selector byte that picks an
// extreme value, a value near the content's size, or a small number). A
// script that runs out of bytes ends.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/session.hpp"
#include "skarn_edit.hpp"

namespace {

// Any disagreement with the model is a finding.
#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

constexpr size_t max_content = 1 << 14;

class reader {
public:
    reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return position_ >= size_; }
    uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    // An offset: extremes of the range, around the content's size, or small.
    int64_t offset(int64_t size) {
        const uint8_t selector = byte();
        const int64_t small = byte();
        switch (selector % 8) {
            case 0: return INT64_MIN + small;
            case 1: return INT64_MAX - small;
            case 2: return -small;
            case 3: return size - small;
            case 4: return size + small;
            default: return size > 0 ? (small * 257 + byte()) % (size + 1) : small % 4;
        }
    }
    std::string bytes(size_t most) {
        const size_t length = std::min<size_t>(byte() % (most + 1), size_ - std::min(position_, size_));
        std::string text(reinterpret_cast<const char *>(data_ + position_), length);
        position_ += length;
        return text;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
};

// One level of the model: its content and its history.
struct change {
    bool bit;
    std::string before;
    std::string after;
};
struct level {
    std::string content;
    std::vector<change> changes;
    std::vector<change> undone;
};

struct model {
    std::string original;
    std::vector<level> levels;
    bool paused = false;
    int transaction = 0;  // 0 none, 1 opened, 2 in progress

    level &current() { return levels.back(); }
    const std::string &content() const { return levels.back().content; }
    int64_t size() const { return static_cast<int64_t>(content().size()); }
    int64_t num_changes() const {
        int64_t n = 0;
        for (const auto &l : levels) n += static_cast<int64_t>(l.changes.size());
        return n;
    }
    bool next_bit() {
        const bool last = current().changes.empty() ? true : current().changes.back().bit;
        if (transaction == 2) return last;
        if (transaction == 1) transaction = 2;
        return !last;
    }
    void apply(const std::string &after) {
        change c{next_bit(), content(), after};
        if (!current().undone.empty()) {
            for (auto &l : levels) l.undone.clear();
        }
        current().changes.push_back(c);
        current().content = after;
    }
};

std::string read_whole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct viewport_record {
    skarn_viewport_struct *viewport;
    bool floating;
};

// Callbacks: each one tries to change the session it is called from, or to
// destroy it or what it holds; every attempt must be refused. Reading must
// work, and a save made from a callback must write what a read shows.
struct watcher {
    skarn_session_struct *session = nullptr;
    const model *expected = nullptr;
    const std::vector<viewport_record> *viewports = nullptr;
    const std::vector<skarn_search_context_struct *> *contexts = nullptr;
    std::string save_path;
    bool intrude = false;
    bool inside = false;  // the save below calls back again
    int saves = 0;
    int64_t refused = 0;

    // `viewports_listed`: the script's list of viewports is the session's
    // (not so while a viewport is being made or destroyed).
    void intrude_now(const skarn_session_struct *from, bool viewports_listed = true) {
        if (!intrude || inside || from != session) return;
        inside = true;
        // Destroys are refused: everything stays usable afterwards (ASan
        // reports a use of anything freed here).
        skarn_edit_destroy_session(session);
        if (viewports_listed) {
            for (const auto &record : *viewports) skarn_edit_destroy_viewport(record.viewport);
            FUZZ_CHECK(skarn_session_get_num_viewports(session) == static_cast<int64_t>(viewports->size()));
        }
        for (skarn_search_context_struct *context : *contexts) skarn_search_destroy_context(context);
        for (skarn_search_context_struct *context : *contexts) {
            FUZZ_CHECK(skarn_search_context_get_pattern_length(context) > 0);
        }
        if (saves++ < 2) {
            const std::string now =
                skarn_session_get_segment_string(session, 0, skarn_session_get_computed_file_size(session) + 1);
            if (skarn_edit_save(session, save_path.c_str(), IO_FLG_FORCE_OVERWRITE, nullptr) == 0) {
                FUZZ_CHECK(read_whole(save_path) == now);
            }
        }
        inside = false;
        FUZZ_CHECK(skarn_edit_insert(session, 0, "x", 1) == 0);
        FUZZ_CHECK(skarn_edit_delete(session, 0, 1) == 0);
        FUZZ_CHECK(skarn_edit_undo_last_change(session) == 0);
        FUZZ_CHECK(skarn_edit_redo_last_undo(session) == 0);
        FUZZ_CHECK(skarn_edit_clear_changes(session) == -1);
        FUZZ_CHECK(skarn_edit_create_checkpoint(session) == -1);
        FUZZ_CHECK(skarn_edit_destroy_last_checkpoint(session) == -1);
        FUZZ_CHECK(skarn_edit_create_viewport(session, 0, 1, 0, nullptr, nullptr, 0) == nullptr);
        // Reads work inside callbacks.
        skarn_segment_struct *segment = skarn_segment_create(8);
        FUZZ_CHECK(segment != nullptr);
        skarn_session_get_segment(session, segment, 0);
        skarn_segment_destroy(segment);
        ++refused;
    }
};
watcher active_watcher;

void on_session_event(const skarn_session_struct *session, int32_t event, const void *) {
    active_watcher.intrude_now(session, event != SESSION_EVT_CREATE_VIEWPORT && event != SESSION_EVT_DESTROY_VIEWPORT);
}
void on_viewport_event(const skarn_viewport_struct *viewport, int32_t event, const void *) {
    active_watcher.intrude_now(skarn_viewport_get_session(viewport), event != VIEWPORT_EVT_CREATE);
}
// The end of every save, checkpoint, transform and counting is told, whatever its size.
int on_progress(int32_t, int64_t, int64_t, void *) {
    active_watcher.intrude_now(active_watcher.session);
    return 0;
}

// The directory of one process's files, removed with what it holds when the
// process ends (the replay of the corpus and a fuzzing run leave nothing).
struct scratch {
    std::string path;
    scratch() {
        char name[] = "/tmp/skarn_fuzz.XXXXXX";
        if (mkdtemp(name) == nullptr) std::abort();
        path = name;
    }
    ~scratch() {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
};

std::string scratch_directory() {
    static const scratch dir;
    return dir.path;
}

std::string session_content(const skarn_session_struct *session) {
    return skarn_session_get_segment_string(session, 0, skarn_session_get_computed_file_size(session) + 1);
}

uint8_t xor_key(uint8_t byte, void *key) { return static_cast<uint8_t>(byte ^ *static_cast<uint8_t *>(key)); }

void check(const skarn_session_struct *session, const model &m) {
    FUZZ_CHECK(skarn_session_get_computed_file_size(session) == m.size());
    FUZZ_CHECK(session_content(session) == m.content());
    FUZZ_CHECK(skarn_session_get_num_changes(session) == m.num_changes());
    FUZZ_CHECK(skarn_session_get_num_undone_changes(session) == static_cast<int64_t>(m.levels.back().undone.size()));
    FUZZ_CHECK(skarn_session_get_num_checkpoints(session) == static_cast<int64_t>(m.levels.size()) - 1);
    FUZZ_CHECK(skarn_check_model(session) == 0);
}

// The session dropped as a process that dies drops it (its record freed,
// no file removed, its journal's lock let go), then resumed from the
// journal; the script's viewports and search contexts went with it.
skarn_session_struct *crash_and_resume(skarn_session_struct *session, const skarn_session_options_struct &options,
                                       std::vector<viewport_record> &viewports,
                                       std::vector<skarn_search_context_struct *> &contexts) {
    const std::string journal = skarn_session_get_journal_path(session);
    const bool paused = skarn_session_changes_paused(session) != 0;
    viewports.clear();
    // A search context's table is freed by its destroy call only; a process
    // that dies frees it all the same.
    for (skarn_search_context_struct *context : contexts) skarn_search_destroy_context(context);
    contexts.clear();
    delete session;
    session = skarn_edit_resume_session(journal.c_str(), &options);
    FUZZ_CHECK(session != nullptr);
    if (paused) skarn_session_pause_changes(session);  // the host's own state, not the session's
    return session;
}

void run(reader &in) {
    const std::string dir = scratch_directory();
    const std::string file = dir + "/doc.bin";
    model m;
    m.original = in.bytes(64);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << m.original;
    }
    m.levels.push_back(level{m.original, {}, {}});
    const uint8_t mode = in.byte();
    const bool over_file = (mode & 1) != 0;
    const bool journaled = (mode & 2) != 0;
    if (!over_file) m.levels.back().content.clear(), m.original.clear();

    active_watcher = watcher{};
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.checkpoint_directory = dir.c_str();
    options.event_cbk = &on_session_event;
    options.event_interest = ~0;
    options.progress_cbk = &on_progress;
    if (journaled) options.flags |= SESSION_OPT_JOURNAL;
    skarn_session_struct *session =
        skarn_edit_create_session_with_options(over_file ? file.c_str() : nullptr, &options);
    FUZZ_CHECK(session != nullptr);
    std::vector<viewport_record> viewports;
    std::vector<skarn_search_context_struct *> contexts;
    active_watcher.session = session;
    active_watcher.expected = &m;
    active_watcher.viewports = &viewports;
    active_watcher.contexts = &contexts;
    active_watcher.save_path = dir + "/from_callback.bin";
    int saves = 0;

    for (int step = 0; step < 200 && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        active_watcher.intrude = (op & 0x80) != 0;
        switch (op % 20) {
            case 0:
            case 1: {  // insert
                const int64_t offset = in.offset(m.size());
                std::string bytes = in.bytes(32);
                if (bytes.empty()) bytes = "-";
                const bool valid =
                    !m.paused && offset >= 0 && offset <= m.size() && m.content().size() + bytes.size() <= max_content;
                if (!valid && offset >= 0 && offset <= m.size() && !m.paused) break;  // too large for the model
                const int64_t serial =
                    skarn_edit_insert_bytes(session, offset, reinterpret_cast<const uint8_t *>(bytes.data()),
                                            static_cast<int64_t>(bytes.size()));
                if (!valid) {
                    FUZZ_CHECK(serial == 0);
                    break;
                }
                FUZZ_CHECK(serial == m.num_changes() + 1);
                std::string after = m.content();
                after.insert(static_cast<size_t>(offset), bytes);
                m.apply(after);
                break;
            }
            case 2: {  // overwrite
                const int64_t offset = in.offset(m.size());
                std::string bytes = in.bytes(16);
                if (bytes.empty()) bytes = "+";
                const bool valid = !m.paused && offset >= 0 && offset <= m.size();
                if (valid && static_cast<size_t>(offset) + bytes.size() > max_content) break;
                const int64_t serial =
                    skarn_edit_overwrite_bytes(session, offset, reinterpret_cast<const uint8_t *>(bytes.data()),
                                               static_cast<int64_t>(bytes.size()));
                if (!valid) {
                    FUZZ_CHECK(serial == 0);
                    break;
                }
                FUZZ_CHECK(serial > 0);
                std::string after = m.content();
                after.replace(static_cast<size_t>(offset),
                              std::min(bytes.size(), after.size() - static_cast<size_t>(offset)), bytes);
                m.apply(after);
                break;
            }
            case 3:
            case 4: {  // delete
                const int64_t offset = in.offset(m.size());
                const int64_t length = in.offset(m.size());
                const bool valid = !m.paused && offset >= 0 && offset < m.size() && length > 0;
                const int64_t serial = skarn_edit_delete(session, offset, length);
                if (!valid) {
                    FUZZ_CHECK(serial == 0);
                    break;
                }
                FUZZ_CHECK(serial > 0);
                std::string after = m.content();
                after.erase(static_cast<size_t>(offset), static_cast<size_t>(std::min(length, m.size() - offset)));
                m.apply(after);
                break;
            }
            case 5: {  // undo
                const int64_t result = skarn_edit_undo_last_change(session);
                level &l = m.current();
                if (m.paused || l.changes.empty()) {
                    FUZZ_CHECK(result == 0);
                    break;
                }
                FUZZ_CHECK(result < 0);
                const bool bit = l.changes.back().bit;
                while (!l.changes.empty() && l.changes.back().bit == bit) {
                    l.content = l.changes.back().before;
                    l.undone.push_back(l.changes.back());
                    l.changes.pop_back();
                }
                break;
            }
            case 6: {  // redo
                const int64_t result = skarn_edit_redo_last_undo(session);
                level &l = m.current();
                if (m.paused || l.undone.empty()) {
                    FUZZ_CHECK(result == 0);
                    break;
                }
                FUZZ_CHECK(result > 0);
                for (;;) {
                    const change c = l.undone.back();
                    l.undone.pop_back();
                    l.changes.push_back(c);
                    l.content = c.after;
                    if (l.undone.empty() || l.undone.back().bit != c.bit) break;
                }
                break;
            }
            case 7: {  // transactions and pausing
                const uint8_t what = in.byte() % 4;
                if (what == 0) {
                    FUZZ_CHECK(skarn_session_begin_transaction(session) == (m.transaction == 0 ? 0 : -1));
                    if (m.transaction == 0) m.transaction = 1;
                } else if (what == 1) {
                    FUZZ_CHECK(skarn_session_end_transaction(session) == (m.transaction != 0 ? 0 : -1));
                    m.transaction = 0;
                } else if (what == 2) {
                    skarn_session_pause_changes(session);
                    m.paused = true;
                } else {
                    skarn_session_resume_changes(session);
                    m.paused = false;
                }
                break;
            }
            case 8: {  // checkpoint
                FUZZ_CHECK(skarn_edit_create_checkpoint(session) == 0);
                m.levels.push_back(level{m.content(), {}, {}});
                break;
            }
            case 9: {  // destroy the last checkpoint
                const int result = skarn_edit_destroy_last_checkpoint(session);
                FUZZ_CHECK(result == (m.levels.size() > 1 ? 0 : -1));
                if (m.levels.size() > 1) m.levels.pop_back();
                break;
            }
            case 10: {  // transform
                const int64_t offset = in.offset(m.size());
                const int64_t length = in.offset(m.size());
                uint8_t key = static_cast<uint8_t>(in.byte() | 1);
                const int result = skarn_edit_apply_transform(session, &xor_key, &key, offset, length);
                if (m.paused) {
                    FUZZ_CHECK(result == -1);
                    break;
                }
                m.levels.push_back(level{m.content(), {}, {}});
                const bool valid = offset >= 0 && offset < m.size() && length >= 0 && length <= m.size() - offset;
                FUZZ_CHECK(result == (valid ? 0 : -1));
                if (valid) {
                    const int64_t end = length == 0 ? m.size() : offset + length;
                    for (int64_t i = offset; i < end; ++i)
                        m.current().content[static_cast<size_t>(i)] ^= static_cast<char>(key);
                }
                break;
            }
            case 11: {  // clear
                FUZZ_CHECK(skarn_edit_clear_changes(session) == 0);
                m.levels.assign(1, level{m.original, {}, {}});
                break;
            }
            case 12: {  // viewport
                if (viewports.size() >= 4) {
                    skarn_edit_destroy_viewport(viewports.front().viewport);
                    viewports.erase(viewports.begin());
                    break;
                }
                const int64_t offset = in.offset(m.size());
                const int64_t capacity = 1 + in.byte() % 64;
                const bool floating = (in.byte() & 1) != 0;
                skarn_viewport_struct *viewport = skarn_edit_create_viewport(
                    session, offset, capacity, floating ? 1 : 0, &on_viewport_event, nullptr, ~0);
                FUZZ_CHECK(viewport != nullptr);
                viewports.push_back({viewport, floating});
                break;
            }
            case 13: {  // search
                std::string pattern = in.bytes(4);
                if (pattern.empty()) pattern = "a";
                const int64_t offset = in.offset(m.size());
                const int64_t length = in.offset(m.size());
                const bool reverse = (in.byte() & 1) != 0;
                skarn_search_context_struct *context = skarn_search_create_context_bytes(
                    session, reinterpret_cast<const uint8_t *>(pattern.data()), static_cast<int64_t>(pattern.size()),
                    offset, length, 0, reverse ? 1 : 0);
                if (context == nullptr) break;
                contexts.push_back(context);
                // The first match is the first (or last) occurrence inside the
                // range clipped to the content.
                const int64_t start = skarn_search_context_get_session_offset(context);
                const int64_t end_of_range = start + skarn_search_context_get_session_length(context);
                const int64_t low = std::max<int64_t>(start, 0);
                const int64_t high = std::min(end_of_range, m.size());
                int64_t expected = -1;
                if (start >= 0 && high - low >= static_cast<int64_t>(pattern.size())) {
                    const std::string window =
                        m.content().substr(static_cast<size_t>(low), static_cast<size_t>(high - low));
                    const size_t at = reverse ? window.rfind(pattern) : window.find(pattern);
                    if (at != std::string::npos) expected = low + static_cast<int64_t>(at);
                }
                const int found = skarn_search_next_match(context, 1);
                if (start >= 0) {
                    FUZZ_CHECK(found == (expected >= 0 ? 1 : 0));
                    if (found == 1) FUZZ_CHECK(skarn_search_context_get_match_offset(context) == expected);
                }
                break;
            }
            case 14: {  // continue a search, edits in between included
                if (contexts.empty()) break;
                skarn_search_context_struct *context = contexts[in.byte() % contexts.size()];
                const int64_t advance = in.offset(m.size());
                if (skarn_search_next_match(context, advance) == 1) {
                    const int64_t at = skarn_search_context_get_match_offset(context);
                    const int64_t length = skarn_search_context_get_pattern_length(context);
                    FUZZ_CHECK(at >= 0 && at + length <= m.size());
                }
                break;
            }
            case 15: {  // byte profile and character counts
                const int64_t offset = in.offset(m.size());
                const int64_t length = in.offset(m.size());
                std::array<int64_t, 257> profile{};
                const int result = skarn_session_byte_frequency_profile(session, profile.data(), offset, length);
                if (result == 0 && offset >= 0 && offset <= m.size() && length > 0) {
                    const size_t count = static_cast<size_t>(std::min(length, m.size() - offset));
                    std::array<int64_t, 257> expected{};
                    for (size_t i = 0; i < count; ++i) {
                        ++expected[static_cast<uint8_t>(m.content()[static_cast<size_t>(offset) + i])];
                    }
                    FUZZ_CHECK(std::equal(expected.begin(), expected.begin() + 256, profile.begin()));
                }
                skarn_character_counts_struct *counts = skarn_character_counts_create();
                FUZZ_CHECK(counts != nullptr);
                skarn_session_character_counts(session, counts, offset, length,
                                               static_cast<skarn_bom_t>(in.byte() % 6));
                skarn_character_counts_destroy(counts);
                break;
            }
            case 16: {  // save a range
                if (++saves > 2) break;
                const int64_t offset = in.offset(m.size());
                const int64_t length = in.offset(m.size());
                const std::string target = dir + "/saved.bin";
                const int result =
                    skarn_edit_save_segment(session, target.c_str(), IO_FLG_FORCE_OVERWRITE, nullptr, offset, length);
                if (offset < 0 || offset > m.size()) {
                    FUZZ_CHECK(result == -1);
                    break;
                }
                FUZZ_CHECK(result == 0);
                const int64_t rest = m.size() - offset;
                const int64_t count = length < 1 || rest < length ? rest : length;
                FUZZ_CHECK(read_whole(target) ==
                           m.content().substr(static_cast<size_t>(offset), static_cast<size_t>(count)));
                break;
            }
            case 17: {  // viewports against the model
                for (const auto &record : viewports) {
                    skarn_viewport_struct *viewport = record.viewport;
                    const int64_t at = skarn_viewport_get_offset(viewport);
                    const int64_t capacity = skarn_viewport_get_capacity(viewport);
                    skarn_viewport_get_following_byte_count(viewport);
                    skarn_viewport_in_segment(viewport, in.offset(m.size()), in.offset(m.size()));
                    const uint8_t *data = skarn_viewport_get_data(viewport);
                    if (at >= 0 && at <= m.size()) {
                        FUZZ_CHECK(data != nullptr);
                        const std::string expected =
                            m.content().substr(static_cast<size_t>(at), static_cast<size_t>(capacity));
                        FUZZ_CHECK(skarn_viewport_get_length(viewport) == static_cast<int64_t>(expected.size()));
                        FUZZ_CHECK(std::memcmp(data, expected.data(), expected.size()) == 0);
                    }
                }
                break;
            }
            case 18: {  // move a viewport anywhere
                if (viewports.empty()) break;
                auto &record = viewports[in.byte() % viewports.size()];
                const int64_t offset = in.offset(m.size());
                record.floating = (in.byte() & 1) != 0;
                FUZZ_CHECK(
                    skarn_viewport_modify(record.viewport, offset, 1 + in.byte() % 64, record.floating ? 1 : 0) == 0);
                break;
            }
            default: {
                if (journaled && (op / 20) % 2 == 1) {
                    session = crash_and_resume(session, options, viewports, contexts);
                    active_watcher.session = session;
                    break;
                }
                // drop a search context
                if (contexts.empty()) break;
                const size_t index = in.byte() % contexts.size();
                skarn_search_destroy_context(contexts[index]);
                contexts.erase(contexts.begin() + static_cast<std::ptrdiff_t>(index));
                break;
            }
        }
        active_watcher.intrude = false;
        check(session, m);
    }
    skarn_edit_destroy_session(session);
    // The session left nothing in its directory but what the script saved.
    ::unlink((dir + "/saved.bin").c_str());
    ::unlink(active_watcher.save_path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The library's log lines (refusals, bad offsets) are expected by the
    // thousand here; they would only slow the run down.
    static const bool quiet = [] {
        std::clog.rdbuf(nullptr);
        return true;
    }();
    (void)quiet;
    reader in(data, size);
    run(in);
    return 0;
}
