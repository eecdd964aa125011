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

#include "engine/reader.hpp"
#include "common/log.hpp"
#include "skarn_edit.hpp"

namespace skarn {
namespace {

using cursor = skarn::piece_tree::cursor;
using skarn::splice_record;

// Room for `extra` more entries, growing geometrically, so that appending
// them cannot throw halfway through a model update.
template <typename T>
void make_room(std::vector<T> &list, size_t extra) {
    if (list.capacity() - list.size() < extra) list.reserve(std::max(list.size() + extra, 2 * list.capacity()));
}

bool at_front(const skarn::piece_tree &pieces, const cursor &at) noexcept {
    return at.where == pieces.begin_cursor().where && at.index == 0;
}

// Cuts the sequence at `offset`, given in `at` the piece that holds it (on
// a boundary the earlier one): that piece is split in two when the offset
// falls inside it. Returns the first piece after the cut in `at`; false
// when the offset lies past the content.
bool cut_at(skarn_model_struct &model, int64_t offset, cursor &at, bool &split) {
    skarn::piece_tree &pieces = model.pieces;
    split = false;
    if (pieces.empty()) {
        at = pieces.begin_cursor();
        return true;
    }
    if (pieces.at_end(at)) return false;
    const int64_t delta = offset - at.start;
    if (delta == at->length) {
        pieces.advance(at);
    } else if (delta != 0) {
        // The back half goes in first: when that fails for want of memory,
        // the sequence is still whole. Then the piece, found again (the
        // insert may have moved it), keeps only its front half.
        const skarn::piece whole = *at;
        cursor after = at;
        pieces.advance(after);
        pieces.insert(after, whole.part(delta, whole.length - delta));
        at = pieces.find(offset);
        pieces.replace(at, whole.part(0, delta));
        pieces.advance(at);
        split = true;
    }
    return true;
}

// Where a change's cut fell, found again after the change: the front of the
// sequence, or just after the first piece that ends at `offset` (pieces
// before the cut are never touched by the change).
cursor cut_position(const skarn_model_struct &model, int64_t offset, bool front) {
    const skarn::piece_tree &pieces = model.pieces;
    if (front) return pieces.begin_cursor();
    cursor at = pieces.find(offset);
    if (pieces.at_end(at) || at.end() != offset) {
        print_model_segments_(&model, std::clog);
        SKARN_FATAL("no segment ends at the offset of the change undone: " << offset);
    }
    pieces.advance(at);
    return at;
}

// Joins the piece at `at` with the one after it: two neighbouring stretches
// of the same change's bytes, which one piece showed before a change cut it.
void join_with_next(skarn_model_struct &model, cursor at) {
    skarn::piece_tree &pieces = model.pieces;
    cursor next = at;
    pieces.advance(next);
    if (pieces.at_end(next) || !at->followed_by(*next)) {
        print_model_segments_(&model, std::clog);
        SKARN_FATAL("segments to join are not neighbours in one change, at offset: " << at.start);
    }
    const skarn::piece joined = at->part(0, at->length + next->length);
    pieces.erase(next, 1);  // leaves `at` in place: only a later piece goes
    pieces.replace(at, joined);
}

}  // namespace

namespace {

// The piece holding `offset` (on a boundary the earlier one); a level whose
// kept lengths disagree with its pieces is dumped and ends the process.
cursor locate_checked(const skarn_model_struct &model, int64_t offset) {
    const piece_position found = locate_piece(model, offset);
    if (found.broken) {
        print_model_segments_(&model, std::clog);
        SKARN_FATAL("break in model continuity, expected: " << found.expected << ", got: " << found.got);
    }
    return found.at;
}

// Removes the `length` bytes from `at` (just after a cut): the whole pieces
// go to the level's removed pieces, and the front of the piece where the
// removal ends is cut off. Returns the piece after the removal.
cursor remove_bytes(skarn_model_struct &model, cursor at, int64_t length, splice_record &record) {
    piece_tree &pieces = model.pieces;
    if (at_front(pieces, at)) record.flags |= splice_record::removal_front;
    int64_t remaining = length;
    size_t whole = 0;
    for (cursor scan = at; remaining != 0 && !pieces.at_end(scan); pieces.advance(scan), ++whole) {
        if (remaining < scan->length) break;
        remaining -= scan->length;
    }
    if (whole > UINT32_MAX) SKARN_FATAL("too many segments removed by one change: " << whole);
    make_room(model.removed_pieces, whole);
    cursor scan = at;
    for (size_t k = 0; k < whole; ++k, pieces.advance(scan)) model.removed_pieces.push_back(*scan);
    at = pieces.erase(at, whole);
    record.removed = static_cast<uint32_t>(whole);
    if (remaining != 0 && !pieces.at_end(at)) {
        // The front cut off this piece is not kept: undo grows the piece
        // back by what the change removed beyond the whole ones.
        const piece rest = *at;
        pieces.replace(at, rest.part(remaining, rest.length - remaining));
        record.flags |= splice_record::trimmed;
    }
    return at;
}

}  // namespace

// Splices a change into the level's pieces and records, as the change's
// splice record, what undo needs to put the sequence back exactly: the cut at
// the change's offset splits the piece holding it; a delete (and the first
// half of an overwrite) then removes whole pieces from the cut on and cuts
// the front off the piece where it ends; an insert (and the second half of
// an overwrite) puts one piece showing the change's bytes at the cut.
int splice_in(skarn_model_struct &model, const const_change_ptr &change) {
    piece_tree &pieces = model.pieces;
    const int kind = change->change_kind();
    splice_record record;
    cursor at = locate_checked(model, change->offset);
    bool split = false;
    if (!cut_at(model, change->offset, at, split)) return -1;
    if (split) record.flags |= splice_record::split;
    if (kind != CHANGE_DELETE && kind != CHANGE_INSERT && kind != CHANGE_OVERWRITE) {
        SKARN_FATAL("Unhandled change kind");
    }
    if (kind == CHANGE_DELETE || kind == CHANGE_OVERWRITE) at = remove_bytes(model, at, change->length, record);
    if (kind == CHANGE_INSERT || kind == CHANGE_OVERWRITE) {
        // An overwrite looks for its place again after the removal; it falls
        // on the boundary the removal left, so it splits nothing.
        if (kind == CHANGE_OVERWRITE) {
            at = locate_checked(model, change->offset);
            if (!cut_at(model, change->offset, at, split)) return -1;
        }
        if (at_front(pieces, at)) record.flags |= splice_record::insert_front;
        pieces.insert(at, {change->length, 0, change.get()});
        record.flags |= splice_record::inserted;
    }
    change->splice_flags = record.flags;
    change->splice_removed = record.removed;
    ++model.spliced;
    return 0;
}

// Puts the level's pieces back as they were before its newest change, from
// the change's splice record: the inverse of splice_in.
void splice_out_last(skarn_model_struct &model, const skarn_change_struct *change) {
    skarn::piece_tree &pieces = model.pieces;
    splice_record record;
    record.flags = change->splice_flags;
    record.removed = change->splice_removed;
    const int64_t offset = change->offset;
    if ((record.flags & splice_record::inserted) != 0) {
        cursor at = cut_position(model, offset, (record.flags & splice_record::insert_front) != 0);
        if (pieces.at_end(at) || at->change() != change) {
            print_model_segments_(&model, std::clog);
            SKARN_FATAL("the segment of the change undone is not at its offset: " << offset);
        }
        pieces.erase(at, 1);
    }
    const bool trimmed = (record.flags & splice_record::trimmed) != 0;
    if (record.removed > 0 || trimmed) {
        const size_t count = record.removed;
        const size_t first = model.removed_pieces.size() - count;
        cursor at = cut_position(model, offset, (record.flags & splice_record::removal_front) != 0);
        if (trimmed) {
            // The piece at the cut is what the change left of the one it
            // cut the front off: it gets that front back.
            int64_t front = change->length;
            for (size_t k = first; k < first + count; ++k) front -= model.removed_pieces[k].length;
            if (pieces.at_end(at) || front <= 0 || front > change->length) {
                print_model_segments_(&model, std::clog);
                SKARN_FATAL("no trimmed segment at the offset of the change undone: " << offset);
            }
            const skarn::piece rest = *at;
            pieces.replace(at, rest.part(-front, rest.length + front));
        }
        pieces.insert(at, model.removed_pieces.data() + first, count);
        model.removed_pieces.resize(first);
    }
    if ((record.flags & splice_record::split) != 0) join_with_next(model, pieces.find(offset));
    --model.spliced;
}

void reset_pieces(skarn_model_struct &model, int64_t size) {
    model.pieces.clear();
    model.spliced = 0;
    model.removed_pieces.clear();
    model.read_change = nullptr;
    if (size <= 0) return;
    change_ptr read_change = make_read_change(size);
    model.read_change = read_change.get();
    model.pieces.push_back({0, size, 0, std::move(read_change)});
}

}  // namespace skarn
