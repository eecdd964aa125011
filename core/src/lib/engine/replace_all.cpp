// Replace-all in one streaming pass.
//
// The range is read in windows of fixed capacity through the engine's
// reader. When a window holds no further match, the bytes that cannot start
// one (all but the last pattern length - 1) leave it, and the window is
// filled again behind what stays, so no match is split between two windows.
// Bytes leave a window only once written: memory does not grow with the
// content nor with the number of matches.
//
// The first match is looked for before any file is made, so a range without
// one costs a read and leaves nothing. From there the new level's file gets
// the content before the window (copied, or cloned, as a checkpoint's),
// then the window's bytes with each match replaced, then the content after
// the range.
#include "engine/replace_all.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "common/log.hpp"
#include "engine/checkpoints.hpp"
#include "engine/matcher.hpp"
#include "engine/reader.hpp"
#include "engine/reentry.hpp"
#include "engine/search.hpp"
#include "io/checkpoint_file.hpp"
#include "io/content_writer.hpp"

namespace skarn {
namespace {

constexpr int64_t window_capacity = int64_t{1} << 20;  // content read and scanned at a time
constexpr int64_t pattern_limit = 524288;              // patterns must be shorter, as a search's

// The content of [range start, range end) as a sliding window: the bytes as
// they are, and (folding case) as the matcher sees them.
class match_windows {
public:
    match_windows(const skarn_session_struct &session, int64_t start, int64_t end, const uint8_t *fold,
                  const std::vector<uint8_t> &pattern, const skarn_find_skip_table_struct &table)
        : session_(session), fold_(fold), pattern_(pattern), table_(table), start_(start), range_end_(end) {
        const int64_t capacity = std::max(window_capacity, 2 * static_cast<int64_t>(pattern.size()));
        raw_.resize(static_cast<size_t>(capacity));
        if (fold_ != nullptr) folded_.resize(raw_.size());
    }

    int64_t start() const noexcept { return start_; }
    int64_t end() const noexcept { return start_ + held_; }
    bool at_range_end() const noexcept { return end() == range_end_; }
    const uint8_t *raw(int64_t position) const noexcept { return raw_.data() + (position - start_); }

    // The window goes on from `from` (inside it): the bytes from there to
    // its end stay, at its front, and as many as fit are read behind them.
    // Returns how many were read; -1 (logged) when the content cannot give them.
    int64_t advance(int64_t from) noexcept {
        const auto kept = static_cast<size_t>(end() - from);
        std::memmove(raw_.data(), raw(from), kept);
        if (fold_ != nullptr) std::memmove(folded_.data(), folded_.data() + (from - start_), kept);
        start_ = from;
        held_ = static_cast<int64_t>(kept);
        const int64_t wanted = std::min(static_cast<int64_t>(raw_.size()) - held_, range_end_ - end());
        int64_t got = 0;
        if (wanted > 0 && (read_content(&session_, end(), raw_.data() + held_, wanted, got) != 0 || got != wanted)) {
            SKARN_LOG("cannot read the content at offset " << end() + got);
            return -1;
        }
        if (fold_ != nullptr) {
            for (int64_t i = held_; i < held_ + got; ++i) folded_[static_cast<size_t>(i)] = fold_[raw_[i]];
        }
        held_ += got;
        return got;
    }

    // The start of the first match that begins at `from` or later and ends
    // inside the window; -1 when there is none.
    int64_t find(int64_t from) const noexcept {
        const uint8_t *scanned = (fold_ != nullptr ? folded_.data() : raw_.data()) + (from - start_);
        const uint8_t *hit =
            skarn::find(scanned, end() - from, table_, pattern_.data(), static_cast<int64_t>(pattern_.size()));
        return hit != nullptr ? from + (hit - scanned) : -1;
    }

    // Where a window without a match further on goes on from: past `from`,
    // keeping the bytes that may begin a match reaching into the next bytes.
    int64_t next_start(int64_t from) const noexcept {
        return std::max(from, end() - static_cast<int64_t>(pattern_.size()) + 1);
    }

private:
    const skarn_session_struct &session_;
    const uint8_t *fold_;  // the fold table, or null
    const std::vector<uint8_t> &pattern_;
    const skarn_find_skip_table_struct &table_;
    std::vector<uint8_t> raw_;
    std::vector<uint8_t> folded_;
    int64_t start_;
    int64_t held_ = 0;
    int64_t range_end_;
};

constexpr int64_t no_match = -1;
constexpr int64_t scan_failed = -2;

// The first match of the range, read window by window: its start, no_match,
// or scan_failed when a read fails or progress cancels (logged).
int64_t find_first(match_windows &windows, progress_meter &progress) noexcept {
    for (int64_t from = windows.start();; from = windows.next_start(from)) {
        const int64_t read = windows.advance(from);
        if (read < 0) return scan_failed;
        if (!progress.advance(read)) {
            SKARN_LOG("cancelled by the progress callback");
            return scan_failed;
        }
        if (const int64_t hit = windows.find(from); hit >= 0) return hit;
        if (windows.at_range_end()) return no_match;
    }
}

// What a replacing pass needs besides its windows.
struct replace_pass {
    const skarn_model_struct &level;
    const replace_request &request;
    int64_t range_end;
    buffered_writer &out;
    progress_meter &progress;
    int64_t count = 0;  // matches replaced
};

// Puts `count` bytes; false (logged) when the writer failed.
bool put(replace_pass &pass, const uint8_t *bytes, int64_t count) noexcept {
    if (count == 0 || pass.out.put(bytes, count)) return true;
    SKARN_LOG("cannot write the replaced content");
    return false;
}

// Writes the window's bytes from `first`, a match, to the range's end with
// every match replaced, sliding the window on as it goes.
save_result replace_in_windows(replace_pass &pass, match_windows &windows, int64_t first) noexcept {
    const int64_t m = pass.request.pattern_length;
    int64_t cursor = windows.start();  // the first byte not written yet
    for (int64_t match = first; match >= 0;) {
        if (!put(pass, windows.raw(cursor), match - cursor) ||
            !put(pass, pass.request.replacement, pass.request.replacement_length)) {
            return save_result::cannot_write;
        }
        ++pass.count;
        cursor = match + m;
        match = windows.find(cursor);
        while (match < 0 && !windows.at_range_end()) {
            const int64_t from = windows.next_start(cursor);
            if (!put(pass, windows.raw(cursor), from - cursor)) return save_result::cannot_write;
            cursor = from;
            const int64_t read = windows.advance(from);
            if (read < 0) return save_result::cannot_read;
            if (!pass.progress.advance(read)) {
                SKARN_LOG("cancelled by the progress callback");
                return save_result::cancelled;
            }
            match = windows.find(from);
        }
    }
    return put(pass, windows.raw(cursor), windows.end() - cursor) ? save_result::ok : save_result::cannot_write;
}

// Writes the whole new content: before the window as it is, the window on
// with the matches replaced, after the range as it is. `size` is how many
// bytes that made.
save_result write_replaced(replace_pass &pass, match_windows &windows, int64_t first, int64_t &size) noexcept {
    const int64_t window_start = windows.start();
    if (const save_result before = write_content(pass.level, 0, window_start, pass.out, pass.progress);
        before != save_result::ok) {
        return before;
    }
    // The window's bytes, counted once more as they are written.
    if (!pass.progress.advance(windows.end() - window_start)) {
        SKARN_LOG("cancelled by the progress callback");
        return save_result::cancelled;
    }
    if (const save_result replaced = replace_in_windows(pass, windows, first); replaced != save_result::ok) {
        return replaced;
    }
    const int64_t content_size = pass.level.computed_size();
    const int64_t after = content_size - pass.range_end;
    const save_result rest = write_content(pass.level, pass.range_end, after, pass.out, pass.progress);
    const int64_t m = pass.request.pattern_length;
    size = content_size - pass.count * (m - pass.request.replacement_length);
    return rest;
}

// True when the request can be carried out on `size` bytes of content; else
// logs why.
bool request_valid(const replace_request &request, int64_t size) noexcept {
    if (request.pattern == nullptr || request.pattern_length <= 0 || request.pattern_length >= pattern_limit) {
        SKARN_LOG("invalid pattern length " << request.pattern_length << " (1 to " << pattern_limit - 1 << " bytes)");
        return false;
    }
    if (request.replacement_length < 0 || (request.replacement == nullptr && request.replacement_length > 0)) {
        SKARN_LOG("invalid replacement length " << request.replacement_length);
        return false;
    }
    if (request.offset < 0 || request.offset > size || request.length < 0 || request.length > size - request.offset) {
        SKARN_LOG("replace out of range: offset " << request.offset << ", length " << request.length << ", size "
                                                  << size);
        return false;
    }
    return true;
}

}  // namespace

int64_t replace_all(skarn_session_struct &session, const replace_request &request) {
    if (session.has_flag(flag_changes_paused) || refuse_reentry(&session)) return -1;
    const skarn_model_struct &level = session.current();
    const int64_t size = level.computed_size();
    if (!request_valid(request, size)) return -1;
    const int64_t range_end = request.length == 0 ? size : request.offset + request.length;

    uint8_t fold[256];
    if (request.ignore_case) case_fold_table(fold);
    std::vector<uint8_t> pattern(request.pattern, request.pattern + request.pattern_length);
    if (request.ignore_case) {
        for (uint8_t &byte : pattern) byte = fold[byte];
    }
    const std::unique_ptr<skarn_find_skip_table_struct> table(
        create_skip_table(pattern.data(), request.pattern_length, false));
    if (table == nullptr) throw std::bad_alloc();
    match_windows windows(session, request.offset, range_end, request.ignore_case ? fold : nullptr, pattern, *table);

    // One meter for the whole: the search for the first match, then the
    // writing of the content.
    progress_meter progress = session.progress(PROGRESS_OP_TRANSFORM, size);
    const int64_t first = find_first(windows, progress);
    if (first == scan_failed) return -1;
    if (first == no_match) {
        if (progress.finish()) return 0;
        SKARN_LOG("cancelled by the progress callback");
        return -1;
    }
    progress.set_total(size + progress.done());

    char path[SKARN_PATH_BUFFER_SIZE];
    if (!checkpoint_file_template(&session, path)) return -1;
    scoped_private_file file;  // removed unless the new level takes it
    int64_t new_size = 0;
    int64_t count = 0;
    const bool written = write_checkpoint_file_with(file, path, [&](buffered_writer &out, int64_t &file_size) {
        replace_pass pass{level, request, range_end, out, progress};
        const save_result result = write_replaced(pass, windows, first, file_size);
        count = pass.count;
        new_size = file_size;
        return result;
    });
    if (!written) return -1;
    if (!progress.finish()) {
        SKARN_LOG("cancelled by the progress callback");
        return -1;
    }
    if (push_checkpoint_level(&session, file, path, new_size, false) != 0) return -1;
    announce_transform(&session);
    return count;
}

}  // namespace skarn
