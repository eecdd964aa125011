// The match scanner; see matches.hpp.
#include "matches.hpp"

#include <algorithm>

#include "errors.hpp"
#include "progress.hpp"
#include "signals.hpp"

namespace skarn_cli {

match_scanner::match_scanner(skarn_session_struct *session, std::span<const uint8_t> pattern, bool case_insensitive,
                             bool reverse, bool overlap, int64_t begin, int64_t end)
    : session_(session),
      pattern_(pattern.begin(), pattern.end()),
      case_insensitive_(case_insensitive),
      reverse_(reverse),
      overlap_(overlap),
      begin_(begin),
      end_(end),
      window_begin_(reverse ? end : begin),
      window_end_(reverse ? end : begin),
      limit_(reverse ? end : begin) {}

match_scanner::~match_scanner() { close_window(); }

void match_scanner::close_window() {
    skarn_search_destroy_context(context_);
    context_ = nullptr;
}

// Opens the context of the next window, or returns false when the range is
// used up. Forwards a window starts where no match is ruled out yet: behind
// the last match as far as overlapping allows, and m - 1 bytes before the end
// of the previous window, whose context could not see the matches that cross
// its end. Backwards mirrors this.
bool match_scanner::open_window() {
    const auto m = static_cast<int64_t>(pattern_.size());
    int64_t from = 0;
    int64_t to = 0;
    if (!reverse_) {
        if (started_ && window_end_ >= end_) return false;
        from = started_ ? std::max(limit_, window_end_ - (m - 1)) : begin_;
        to = std::min(end_, from + search_window);
    } else {
        if (started_ && window_begin_ <= begin_) return false;
        to = started_ ? std::min(limit_, window_begin_ + (m - 1)) : end_;
        from = std::max(begin_, to - search_window);
    }
    started_ = true;
    window_begin_ = from;
    window_end_ = to;
    // Windows are longer than patterns, so a short one is the last, and holds
    // no match (a length of 0 would even mean "to the end" to the library).
    if (to - from < m) {
        window_begin_ = begin_;
        window_end_ = end_;
        return false;
    }
    context_ = skarn_search_create_context_bytes(session_, pattern_.data(), m, from, to - from,
                                                 case_insensitive_ ? 1 : 0, reverse_ ? 1 : 0);
    if (context_ == nullptr) throw failure("cannot create a search context");
    return true;
}

bool match_scanner::next(int64_t &offset) {
    const auto m = static_cast<int64_t>(pattern_.size());
    // Forwards the advance is where the next search starts after a match.
    // Backwards the next match must end at or before match + 1 - advance: 1
    // keeps matches apart, 2 - m lets the next one start just below the last.
    const int64_t advance = reverse_ ? (overlap_ ? 2 - m : 1) : (overlap_ ? 1 : m);
    for (;;) {
        if (context_ != nullptr && skarn_search_next_match(context_, advance) == 1) {
            offset = skarn_search_context_get_match_offset(context_);
            limit_ = reverse_ ? offset + 1 - advance : offset + advance;
            return true;
        }
        // The library's context would start over on the next call.
        close_window();
        if (started_ && !progress_update(searched(), range())) check_interrupted();
        check_interrupted();
        if (!open_window()) return false;
    }
}

}  // namespace skarn_cli
