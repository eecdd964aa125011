// The map of the caller's file.
#include "engine/file_map.hpp"

#include <algorithm>
#include <functional>
#include <utility>

namespace skarn {
namespace {

bool before(const file_map_entry &a, const file_map_entry &b) noexcept {
    if (a.change != b.change) return std::less<const skarn_change_struct *>()(a.change, b.change);
    return a.source < b.source;
}

}  // namespace

void caller_file_map::reset_to_base(int64_t size) {
    entries_.clear();
    owners_.clear();
    if (size > 0) entries_.push_back({nullptr, 0, size, 0});
}

void caller_file_map::assign(std::vector<file_map_entry> entries, std::vector<const_change_ptr> owners) {
    std::sort(entries.begin(), entries.end(), before);
    entries_ = std::move(entries);
    owners_ = std::move(owners);
}

void caller_file_map::forget() noexcept {
    entries_.clear();
    owners_.clear();
}

file_map_hit caller_file_map::find(const skarn_change_struct *change, int64_t source, int64_t length) const noexcept {
    const file_map_entry key{change, source, 0, 0};
    auto next = std::upper_bound(entries_.begin(), entries_.end(), key, before);
    if (next != entries_.begin()) {
        const file_map_entry &entry = *std::prev(next);
        if (entry.change == change && source < entry.source + entry.length) {
            return {entry.position + (source - entry.source), std::min(length, entry.source + entry.length - source)};
        }
    }
    if (next != entries_.end() && next->change == change) return {-1, std::min(length, next->source - source)};
    return {-1, length};
}

}  // namespace skarn
