// The matches of a pattern in a range of a session's content, found window
// by window so that long searches reach safe points.
#pragma once

#include <skarn_edit.h>

#include <cstdint>
#include <span>
#include <vector>

namespace skarn_cli {

// Patterns must be shorter than this (the library's limit).
inline constexpr int64_t pattern_limit = 524288;

// Walks the matches of a pattern in [begin, end) of a session's content in
// search order. Non-overlapping matches by default; `overlap` reports every
// match start. The range is searched in windows of search_window bytes, one
// search context each, so that a long stretch without a match still reaches
// a safe point and a progress update after every window.
class match_scanner {
public:
    match_scanner(skarn_session_struct *session, std::span<const uint8_t> pattern, bool case_insensitive, bool reverse,
                  bool overlap, int64_t begin, int64_t end);
    ~match_scanner();
    match_scanner(const match_scanner &) = delete;
    match_scanner &operator=(const match_scanner &) = delete;

    // Stores the next match's offset and returns true, or returns false when
    // there is none left.
    bool next(int64_t &offset);

    // Bytes of the range behind the search so far, for progress.
    int64_t searched() const { return reverse_ ? end_ - window_begin_ : window_end_ - begin_; }
    int64_t range() const { return end_ - begin_; }

private:
    bool open_window();
    void close_window();

    skarn_session_struct *session_;
    std::vector<uint8_t> pattern_;
    bool case_insensitive_, reverse_, overlap_;
    int64_t begin_, end_;
    // The window searched by context_; matches outside it are still to come.
    int64_t window_begin_, window_end_;
    // Forwards: no further match starts before this; backwards: none ends after it.
    int64_t limit_;
    skarn_search_context_struct *context_ = nullptr;
    bool started_ = false;  // a window was opened
};

// Bytes one search context of match_scanner covers.
inline constexpr int64_t search_window = int64_t{4} << 20;

}  // namespace skarn_cli
