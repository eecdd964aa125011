// Splicing a change into a level's pieces and out again: the cut at the
// change's offset, the pieces it removes and the one it inserts, recorded in
// the change's splice record so that undo restores the sequence exactly.
//
// Invariants kept here:
// 1. A change spliced in leaves its splice record on the change; the level's
//    `spliced` count says how many of its changes in force have one.
// 2. Undo splices the newest change out; its record and the level's removed
//    pieces (a stack) put back exactly the pieces it replaced.
// 3. A piece never spans a cut: each cut splits the piece it falls in.
#include "engine/splice.hpp"

#include <algorithm>
#include <iostream>

#include "impl_/internal_fun.hpp"
#include "impl_/log.hpp"
#include "skarn_edit.hpp"

namespace skarn {
namespace {

using cursor = skarn::segment_tree::cursor;
using skarn::splice_record;

// Room for `extra` more entries, growing geometrically, so that appending
// them cannot throw halfway through a model update.
template <typename T>
void make_room(std::vector<T> &list, size_t extra) {
    if (list.capacity() - list.size() < extra) list.reserve(std::max(list.size() + extra, 2 * list.capacity()));
}

bool at_front(const skarn::segment_tree &segments, const cursor &at) noexcept {
    return at.where == segments.begin_cursor().where && at.index == 0;
}

// Cuts the sequence at `offset`, given in `at` the segment that holds it (on
// a boundary the earlier one): that segment is split in two when the offset
// falls inside it. Returns the first segment after the cut in `at`; false
// when the offset lies past the content.
bool cut_at(skarn_model_struct &model, int64_t offset, cursor &at, bool &split) {
    skarn::segment_tree &segments = model.model_segments;
    split = false;
    if (segments.empty()) {
        at = segments.begin_cursor();
        return true;
    }
    if (segments.at_end(at)) return false;
    const int64_t delta = offset - at.start;
    if (delta == at->length) {
        segments.advance(at);
    } else if (delta != 0) {
        // The back half goes in first: when that fails for want of memory,
        // the sequence is still whole. Then the segment, found again (the
        // insert may have moved it), keeps only its front half.
        const skarn::piece whole = *at;
        cursor after = at;
        segments.advance(after);
        segments.insert(after, whole.part(delta, whole.length - delta));
        at = segments.find(offset);
        segments.replace(at, whole.part(0, delta));
        segments.advance(at);
        split = true;
    }
    return true;
}

// Where a change's cut fell, found again after the change: the front of the
// sequence, or just after the first segment that ends at `offset` (segments
// before the cut are never touched by the change).
cursor cut_position(const skarn_model_struct &model, int64_t offset, bool front) {
    const skarn::segment_tree &segments = model.model_segments;
    if (front) return segments.begin_cursor();
    cursor at = segments.find(offset);
    if (segments.at_end(at) || at.end() != offset) {
        print_model_segments_(&model, std::clog);
        SKARN_FATAL("no segment ends at the offset of the change undone: " << offset);
    }
    segments.advance(at);
    return at;
}

// Joins the segment at `at` with the one after it: two neighbouring stretches
// of the same change's bytes, which one segment showed before a change cut it.
void join_with_next(skarn_model_struct &model, cursor at) {
    skarn::segment_tree &segments = model.model_segments;
    cursor next = at;
    segments.advance(next);
    if (segments.at_end(next) || !at->followed_by(*next)) {
        print_model_segments_(&model, std::clog);
        SKARN_FATAL("segments to join are not neighbours in one change, at offset: " << at.start);
    }
    const skarn::piece joined = at->part(0, at->length + next->length);
    segments.erase(next, 1);  // leaves `at` in place: only a later segment goes
    segments.replace(at, joined);
}

}  // namespace

// Splices a change into the level's segments and records, as the change's
// splice record, what undo needs to put the sequence back exactly: the cut at
// the change's offset splits the segment holding it; a delete (and the first
// half of an overwrite) then removes whole segments from the cut on and cuts
// the front off the segment where it ends; an insert (and the second half of
// an overwrite) puts one segment showing the change's bytes at the cut.
int splice_in(skarn_model_struct &model, const const_change_ptr &change) {
    skarn::segment_tree &segments = model.model_segments;
    const int kind = change->change_kind();
    splice_record record;
    // Where the change's offset falls; every segment up to there is checked.
    const auto locate = [&model](int64_t offset) {
        const segment_position found = locate_segment_(model, offset);
        if (found.broken) print_model_segments_(&model, std::clog);
        return found;
    };
    segment_position found = locate(change->offset);
    if (found.broken) {
        SKARN_FATAL("break in model continuity, expected: " << found.expected << ", got: " << found.got);
    }
    cursor at = found.at;
    bool split = false;
    if (!cut_at(model, change->offset, at, split)) return -1;
    if (split) record.flags |= splice_record::split;
    if (kind != CHANGE_DELETE && kind != CHANGE_INSERT && kind != CHANGE_OVERWRITE) {
        SKARN_FATAL("Unhandled change kind");
    }

    if (kind == CHANGE_DELETE || kind == CHANGE_OVERWRITE) {
        if (at_front(segments, at)) record.flags |= splice_record::removal_front;
        int64_t remaining = change->length;
        size_t whole = 0;
        for (cursor scan = at; remaining != 0 && !segments.at_end(scan); segments.advance(scan), ++whole) {
            if (remaining < scan->length) break;
            remaining -= scan->length;
        }
        if (whole > UINT32_MAX) SKARN_FATAL("too many segments removed by one change: " << whole);
        make_room(model.removed_pieces, whole);
        cursor scan = at;
        for (size_t k = 0; k < whole; ++k, segments.advance(scan)) model.removed_pieces.push_back(*scan);
        at = segments.erase(at, whole);
        record.removed = static_cast<uint32_t>(whole);
        if (remaining != 0 && !segments.at_end(at)) {
            // The front cut off this segment is not kept: undo grows the
            // segment back by what the change removed beyond the whole ones.
            const skarn::piece rest = *at;
            segments.replace(at, rest.part(remaining, rest.length - remaining));
            record.flags |= splice_record::trimmed;
        }
    }

    if (kind == CHANGE_INSERT || kind == CHANGE_OVERWRITE) {
        // An overwrite looks for its place again after the removal; it falls
        // on the boundary the removal left, so it splits nothing.
        if (kind == CHANGE_OVERWRITE) {
            found = locate(change->offset);
            if (found.broken) {
                SKARN_FATAL("break in model continuity, expected: " << found.expected << ", got: " << found.got);
            }
            at = found.at;
            if (!cut_at(model, change->offset, at, split)) return -1;
        }
        if (at_front(segments, at)) record.flags |= splice_record::insert_front;
        segments.insert(at, {change->length, 0, change.get()});
        record.flags |= splice_record::inserted;
    }
    change->splice_flags = record.flags;
    change->splice_removed = record.removed;
    ++model.spliced;
    return 0;
}

// Puts the level's segments back as they were before its newest change, from
// the change's splice record: the inverse of splice_in.
void splice_out_last(skarn_model_struct &model, const skarn_change_struct *change) {
    skarn::segment_tree &segments = model.model_segments;
    splice_record record;
    record.flags = change->splice_flags;
    record.removed = change->splice_removed;
    const int64_t offset = change->offset;
    if ((record.flags & splice_record::inserted) != 0) {
        cursor at = cut_position(model, offset, (record.flags & splice_record::insert_front) != 0);
        if (segments.at_end(at) || at->change() != change) {
            print_model_segments_(&model, std::clog);
            SKARN_FATAL("the segment of the change undone is not at its offset: " << offset);
        }
        segments.erase(at, 1);
    }
    const bool trimmed = (record.flags & splice_record::trimmed) != 0;
    if (record.removed > 0 || trimmed) {
        const size_t count = record.removed;
        const size_t first = model.removed_pieces.size() - count;
        cursor at = cut_position(model, offset, (record.flags & splice_record::removal_front) != 0);
        if (trimmed) {
            // The segment at the cut is what the change left of the one it
            // cut the front off: it gets that front back.
            int64_t front = change->length;
            for (size_t k = first; k < first + count; ++k) front -= model.removed_pieces[k].length;
            if (segments.at_end(at) || front <= 0 || front > change->length) {
                print_model_segments_(&model, std::clog);
                SKARN_FATAL("no trimmed segment at the offset of the change undone: " << offset);
            }
            const skarn::piece rest = *at;
            segments.replace(at, rest.part(-front, rest.length + front));
        }
        segments.insert(at, model.removed_pieces.data() + first, count);
        model.removed_pieces.resize(first);
    }
    if ((record.flags & splice_record::split) != 0) join_with_next(model, segments.find(offset));
    --model.spliced;
}

void reset_pieces(skarn_model_struct &model, int64_t size) {
    model.model_segments.clear();
    model.spliced = 0;
    model.removed_pieces.clear();
    model.read_change = nullptr;
    if (size <= 0) return;
    auto read_change = std::make_shared<skarn_change_struct>();
    read_change->serial = 0;
    read_change->kind = CHANGE_INSERT;
    read_change->offset = 0;
    read_change->length = size;
    model.read_change = read_change.get();
    model.model_segments.push_back({0, size, 0, std::move(read_change)});
}

}  // namespace skarn
