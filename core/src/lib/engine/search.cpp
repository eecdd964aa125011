// Search contexts: successive matches of one pattern in a range of a
// session's content, found window by window with the skip-table matcher.
//
// Every window lies inside the search range [S, E): after a match the part
// still to search is narrowed by the advance, and the windows that cover it
// overlap by at least pattern length - 1 bytes so that no match is split
// between two of them.
#include "engine/search.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/log.hpp"
#include "engine/reader.hpp"
#include "engine/reentry.hpp"
#include "engine/segment.hpp"
#include "skarn_edit.hpp"

namespace skarn {
namespace {

constexpr int64_t window_limit = 1048576;  // most bytes read and scanned at a time
constexpr int64_t first_window = 8192;     // the first window of a call, unless the pattern needs more
constexpr int64_t pattern_limit = 524288;  // patterns must be shorter

// Case folding of one byte; the user pointer is not used.
uint8_t fold_byte(uint8_t byte, void * /*user_data*/) { return static_cast<uint8_t>(std::tolower(byte)); }

constexpr int64_t read_chunk = 262144;  // content read at a time into a context's window

// The bytes of [start, start + size) as the context's window holds them,
// reading (and folding) a chunk around them first when it does not hold them
// all; forwards the chunk starts at `start`, backwards it ends at start + size.
// Returns null when no window can be had; `held` is how many bytes from
// `start` are there (fewer at the end of the content or when a read fails).
const uint8_t *window_bytes(skarn_search_context_struct &search, int64_t start, int64_t size, bool backward,
                            const uint8_t *fold_table, int64_t &held) noexcept {
    if (search.window_valid && start >= search.window_start &&
        start + size <= search.window_start + search.window_held) {
        held = size;
        return search.window->bytes() + (start - search.window_start);
    }
    const int64_t capacity = std::max(size, read_chunk);
    if (search.window == nullptr || search.window->capacity < capacity) {
        skarn_segment_destroy(search.window);
        search.window = skarn_segment_create(capacity);
        search.window_valid = false;
        if (search.window == nullptr) return nullptr;
    }
    if (start < 0) {
        // Nothing lies before the content's start: no bytes are held there.
        held = 0;
        return search.window->bytes();
    }
    const int64_t chunk = search.window->abs_capacity();
    const int64_t chunk_start = backward ? std::max<int64_t>(start + size - chunk, 0) : start;
    search.window->offset = chunk_start;
    // A failed read still reports in `length` the bytes it placed.
    populate_data_segment_(search.session, search.window);
    search.window_start = chunk_start;
    search.window_held = std::max<int64_t>(search.window->length, 0);
    search.window_valid = true;
    uint8_t *bytes = search.window->bytes();
    if (fold_table != nullptr) {
        for (int64_t i = 0; i < search.window_held; ++i) bytes[i] = fold_table[bytes[i]];
    }
    held = std::clamp<int64_t>(search.window_held - (start - chunk_start), 0, size);
    return bytes + (start - chunk_start);
}

// A search that the progress callback cancelled keeps the match it had.
int cancelled(skarn_search_context_struct &search, int64_t previous_match) noexcept {
    search.match_offset = previous_match;
    SKARN_LOG("cancelled by the progress callback");
    return 0;
}

}  // namespace

skarn_search_context_struct *create_search_context(skarn_session_struct *session, const uint8_t *pattern,
                                                   int64_t pattern_length, int64_t session_offset,
                                                   int64_t session_length, bool fold_case, bool reverse) {
    if (pattern_length == 0) {
        pattern_length = static_cast<int64_t>(std::strlen(reinterpret_cast<const char *>(pattern)));
    }
    if (session_length == 0) {
        const int64_t size = session->current().computed_size();
        if (session_offset < 0 && size > INT64_MAX + session_offset) return nullptr;
        session_length = size - session_offset;
    }
    if (pattern_length == 0 || pattern_length >= pattern_limit || session_length < pattern_length) return nullptr;
    // The end of the range must be representable.
    if (session_offset > INT64_MAX - session_length) return nullptr;
    const int64_t session_end = session_offset + session_length;

    std::shared_ptr<skarn_search_context_struct> context;
    bool pattern_allocated = false;
    try {
        context = std::make_shared<skarn_search_context_struct>();
        context->session = session;
        context->pattern_length = pattern_length;
        context->session_offset = session_offset;
        context->session_length = session_length;
        context->match_offset = session_end;
        context->byte_transform = fold_case ? fold_byte : nullptr;

        uint8_t *stored = area_allocate(context->pattern, pattern_length);
        pattern_allocated = true;
        std::memcpy(stored, pattern, static_cast<size_t>(pattern_length));
        stored[pattern_length] = 0;
        if (context->byte_transform != nullptr) {
            skarn_util_apply_byte_transform(stored, pattern_length, context->byte_transform, nullptr);
        }
        context->skip_table = skarn_find_create_skip_table(stored, pattern_length, reverse ? 1 : 0);
        if (context->skip_table != nullptr) {
            session->search_contexts.push_back(context);
            return context.get();
        }
    } catch (...) {
        // Out of memory: undo below.
    }
    if (context != nullptr) {
        if (pattern_allocated) area_release(context->pattern, pattern_length);
        skarn_find_destroy_skip_table(context->skip_table);
    }
    return nullptr;
}

int next_match(skarn_search_context_struct *context, int64_t advance) noexcept {
    if (context == nullptr) return 0;
    skarn_search_context_struct &search = *context;
    const int64_t range_start = search.session_offset;
    const int64_t range_end = range_start + search.session_length;
    const int64_t m = search.pattern_length;
    const int64_t current = search.match_offset;  // a match start inside the range, or range_end for none
    const bool backward = skarn_find_is_reversed(search.skip_table) != 0;

    // [low, high): where the next match must lie. Forwards it starts `advance`
    // bytes past the current match; backwards it ends just after the byte at
    // current - advance. Both are kept inside the range.
    int64_t low = range_start;
    int64_t high = range_end;
    if (current != range_end) {
        if (!backward) {
            low = current + std::clamp(advance, range_start - current, range_end - current);
        } else {
            high = current + 1 - std::clamp(advance, current + 1 - range_end, current + 1 - range_start);
        }
    }
    // Backwards the first window ends at `high`: a range that reaches past
    // the end of the content (which shrank after the context was made) is
    // searched as far as the content goes.
    if (backward) high = std::min(high, search.session->current().computed_size());
    search.match_offset = range_end;
    if (m > high - low) return 0;

    const int64_t w = std::min(high - low, window_limit);
    const uint8_t *pattern = search.pattern_bytes();

    // The folding of every byte value, learnt once per call, so that windows
    // are folded by table look-up rather than by a call per byte.
    uint8_t fold_table[256];
    if (search.byte_transform != nullptr) {
        for (int value = 0; value < 256; ++value) fold_table[value] = static_cast<uint8_t>(value);
        skarn_util_apply_byte_transform(fold_table, 256, search.byte_transform, nullptr);
    }

    // Windows start small and double up to w, so that a match close to the
    // last one costs a small read. Every window shares at least m - 1 bytes
    // with the one before it; one that would cross the range's edge is moved
    // back inside it, which only scans again bytes that hold no match.
    int64_t size = std::min(w, std::max(first_window, 2 * m));
    int64_t start = backward ? high - size : low;
    // Progress counts the bytes of [low, high) covered so far; only a long
    // range reports at all.
    const bool long_range = high - low >= skarn::progress_step;
    skarn::progress_meter progress =
        long_range ? search.session->progress(PROGRESS_OP_SEARCH, high - low) : skarn::progress_meter();
    for (;;) {
        int64_t held = 0;
        const uint8_t *bytes =
            window_bytes(search, start, size, backward, search.byte_transform != nullptr ? fold_table : nullptr, held);
        if (bytes == nullptr) return 0;
        if (const uint8_t *hit = skarn_find(bytes, held, search.skip_table, pattern, m)) {
            search.match_offset = start + (hit - bytes);
            return 1;
        }
        // A short window means the content ended (or could not be read).
        const bool at_edge = backward ? start == low : start + size == high;
        if (held != size || at_edge) {
            if (long_range && !progress.finish()) return cancelled(search, current);
            return 0;
        }
        if (!progress.advance((backward ? high - start : start + size - low) - progress.done())) {
            return cancelled(search, current);
        }
        const int64_t next_size = std::min(2 * size, w);
        start = backward ? std::max(start + m - 1 - next_size, low) : std::min(start + size - m + 1, high - next_size);
        size = next_size;
    }
}

void case_fold_table(uint8_t (&table)[256]) noexcept {
    for (int value = 0; value < 256; ++value) table[value] = fold_byte(static_cast<uint8_t>(value), nullptr);
}

void destroy_search_context(skarn_search_context_struct *context) noexcept {
    // A callback may run inside this very context's search, which goes on
    // using it when the callback returns.
    if (refuse_reentry(context->session)) return;
    auto &list = context->session->search_contexts;
    const auto found =
        std::find_if(list.rbegin(), list.rend(), [context](const auto &c) { return c.get() == context; });
    if (found == list.rend()) return;
    area_release(context->pattern, context->pattern_length);
    skarn_find_destroy_skip_table(context->skip_table);
    skarn_segment_destroy(context->window);
    context->window = nullptr;
    list.erase(std::next(found).base());
}

}  // namespace skarn
