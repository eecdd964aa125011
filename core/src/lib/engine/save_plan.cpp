// Planning an in-place save.
#include "engine/save_plan.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace skarn {
namespace {

void add_resolved(std::vector<resolved_piece> &out, const resolved_piece &next) {
    if (!out.empty()) {
        resolved_piece &last = out.back();
        if (last.change == next.change && last.opaque == next.opaque && last.offset + last.length == next.offset &&
            last.source + last.length == next.source) {
            last.length += next.length;
            return;
        }
    }
    out.push_back(next);
}

// Resolves `length` bytes of level `index`'s content from `from`, which
// stand at content offset `at`.
void resolve_level(const skarn_session_struct &session, size_t index, int64_t from, int64_t length, int64_t at,
                   std::vector<resolved_piece> &out) {
    const skarn_model_struct &level = *session.models[index];
    int64_t done = 0;
    for (piece_tree::cursor c = level.pieces.find(from); done < length && !level.pieces.at_end(c);
         level.pieces.advance(c)) {
        const piece &p = *c;
        const int64_t skip = std::max<int64_t>(from + done - c.start, 0);
        const int64_t count = std::min(p.length - skip, length - done);
        if (count <= 0) continue;
        if (!p.reads_file()) {
            add_resolved(out, {at + done, count, p.change(), p.change_offset() + skip, false});
        } else if (index == 0) {
            add_resolved(out, {at + done, count, nullptr, p.file_position() + skip, false});
        } else if (level.mirrors_below) {
            resolve_level(session, index - 1, p.file_position() + skip, count, at + done, out);
        } else {
            add_resolved(out, {at + done, count, p.change(), p.file_position() + skip, true});
        }
        done += count;
    }
}

class plan_builder {
public:
    explicit plan_builder(save_plan &plan) : plan_(plan) {}

    void keep_or_move(int64_t source, int64_t target, int64_t length) {
        if (source == target) return;
        if (!plan_.moves.empty()) {
            move_run &last = plan_.moves.back();
            if (last.source + last.length == source && last.target + last.length == target) {
                last.length += length;
                return;
            }
        }
        plan_.moves.push_back({source, target, length});
    }
    void write(int64_t target, int64_t length) {
        if (!plan_.data.empty() && plan_.data.back().target + plan_.data.back().length == target) {
            plan_.data.back().length += length;
            return;
        }
        plan_.data.push_back({target, length});
    }

private:
    save_plan &plan_;
};

// The stretches of the file the plan writes over, in order.
std::vector<std::pair<int64_t, int64_t>> written_stretches(const save_plan &plan) {
    std::vector<std::pair<int64_t, int64_t>> stretches;
    for (const move_run &move : plan.moves) stretches.emplace_back(move.target, move.target + move.length);
    for (const data_run &run : plan.data) stretches.emplace_back(run.target, run.target + run.length);
    std::sort(stretches.begin(), stretches.end());
    return stretches;
}

class view_builder {
public:
    view_builder(level_view_update &update, int64_t kept_size) : update_(update), kept_at_(kept_size) {}

    void place(int64_t start, int64_t length, int64_t position, bool kept) {
        std::vector<view_span> &view = update_.view;
        if (!view.empty()) {
            view_span &last = view.back();
            if (last.kept == kept && last.start + last.length == start && last.position + last.length == position) {
                last.length += length;
                return;
            }
        }
        view.push_back({start, length, position, kept});
    }
    // Bytes at `position` of the file that the save destroys: kept first.
    void keep(int64_t start, int64_t length, int64_t position) {
        std::vector<kept_copy> &copies = update_.copies;
        if (!copies.empty() && copies.back().position + copies.back().length == position) {
            copies.back().length += length;
        } else {
            copies.push_back({position, kept_at_, length});
        }
        place(start, length, kept_at_, true);
        kept_at_ += length;
    }

private:
    level_view_update &update_;
    int64_t kept_at_;
};

// Places original bytes [start, start + length) that lie at `position` of
// the file and are not in the new content: where the save does not write
// they stay, elsewhere they are kept.
void place_outside_content(view_builder &out, const std::vector<std::pair<int64_t, int64_t>> &written, int64_t new_size,
                           int64_t start, int64_t length, int64_t position) {
    auto next = std::partition_point(written.begin(), written.end(),
                                     [position](const auto &stretch) { return stretch.second <= position; });
    while (length > 0) {
        int64_t count = 0;
        if (position >= new_size) {
            out.keep(start, length, position);
            return;
        }
        if (next != written.end() && next->first <= position) {
            count = std::min(length, next->second - position);
            out.keep(start, count, position);
            ++next;
        } else {
            const int64_t untouched_end = std::min(next != written.end() ? next->first : new_size, new_size);
            count = std::min(length, untouched_end - position);
            out.place(start, count, position, false);
        }
        start += count;
        position += count;
        length -= count;
    }
}

}  // namespace

std::vector<resolved_piece> resolve_content(const skarn_session_struct &session) {
    std::vector<resolved_piece> out;
    resolve_level(session, session.models.size() - 1, 0, session.current().computed_size(), 0, out);
    return out;
}

save_plan plan_in_place_save(const std::vector<resolved_piece> &content, const caller_file_map *map, int64_t old_size) {
    save_plan plan;
    plan.old_size = old_size;
    plan_builder builder(plan);
    int64_t sources_end = 0;  // where the last stretch found in the file ends
    for (const resolved_piece &piece : content) {
        for (int64_t done = 0; done < piece.length;) {
            const int64_t rest = piece.length - done;
            const file_map_hit hit = map != nullptr && !piece.opaque
                                         ? map->find(piece.change, piece.source + done, rest)
                                         : file_map_hit{-1, rest};
            const int64_t target = piece.offset + done;
            if (hit.position >= sources_end && hit.position <= old_size - hit.length) {
                builder.keep_or_move(hit.position, target, hit.length);
                sources_end = hit.position + hit.length;
            } else {
                builder.write(target, hit.length);
            }
            done += hit.length;
        }
        plan.new_size = piece.offset + piece.length;
    }
    return plan;
}

void map_saved_content(const skarn_session_struct &session, const std::vector<resolved_piece> &content,
                       caller_file_map &map) {
    std::unordered_map<const skarn_change_struct *, const_change_ptr> owners_of;
    for (const auto &level : session.models) {
        for (const change_ptr &change : level->changes) owners_of.emplace(change.get(), change);
    }
    std::vector<file_map_entry> entries;
    std::vector<const_change_ptr> owners;
    for (const resolved_piece &piece : content) {
        if (piece.opaque) continue;
        if (piece.change != nullptr) {
            const auto owner = owners_of.find(piece.change);
            if (owner == owners_of.end()) continue;
            owners.push_back(owner->second);
        }
        entries.push_back({piece.change, piece.source, piece.length, piece.offset});
    }
    std::sort(owners.begin(), owners.end());
    owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
    map.assign(std::move(entries), std::move(owners));
}

level_view_update view_after_save(const level_file &file, int64_t original_size,
                                  const std::vector<resolved_piece> &content, const save_plan &plan) {
    struct placed {
        int64_t start, length, offset;  // original bytes [start, start + length) now at `offset`
    };
    std::vector<placed> in_content;
    for (const resolved_piece &piece : content) {
        if (piece.change == nullptr && !piece.opaque) in_content.push_back({piece.source, piece.length, piece.offset});
    }
    std::sort(in_content.begin(), in_content.end(), [](const placed &a, const placed &b) { return a.start < b.start; });
    const std::vector<std::pair<int64_t, int64_t>> written = written_stretches(plan);
    std::vector<view_span> spans = file.view;
    if (spans.empty() && original_size > 0) spans.push_back({0, original_size, 0, false});

    level_view_update update;
    view_builder out(update, file.kept_size);
    auto next = in_content.begin();
    for (const view_span &span : spans) {
        const int64_t end = span.start + span.length;
        for (int64_t at = span.start; at < end;) {
            while (next != in_content.end() && next->start + next->length <= at) ++next;
            if (next != in_content.end() && next->start <= at) {
                const int64_t count = std::min(end, next->start + next->length) - at;
                out.place(at, count, next->offset + (at - next->start), false);
                at += count;
                continue;
            }
            const int64_t count = (next != in_content.end() ? std::min(next->start, end) : end) - at;
            const int64_t position = span.position + (at - span.start);
            if (span.kept) {
                out.place(at, count, position, true);
            } else {
                place_outside_content(out, written, plan.new_size, at, count, position);
            }
            at += count;
        }
    }
    return update;
}

void remember_saved_content(skarn_session_struct &session, int64_t offset, int64_t length) {
    std::vector<resolved_piece> saved;
    for (resolved_piece piece : resolve_content(session)) {
        const int64_t start = std::max(piece.offset, offset);
        const int64_t end = std::min(piece.offset + piece.length, offset + length);
        if (start >= end) continue;
        piece.source += start - piece.offset;
        piece.offset = start - offset;
        piece.length = end - start;
        saved.push_back(piece);
    }
    map_saved_content(session, saved, session.file_map);
}

}  // namespace skarn
