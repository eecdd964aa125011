// Reading a level's content. populate_data_segment_ and print_model_segments_,
// which build on it, are exported (declared in the public headers).
#ifndef SKARN_ENGINE_READER_HPP
#define SKARN_ENGINE_READER_HPP

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <vector>

#include "engine/change.hpp"
#include "engine/level.hpp"
#include "engine/progress.hpp"
#include "engine/session.hpp"
#include "skarn_edit.hpp"

namespace skarn {

// Where an offset falls in a level's piece sequence: the first segment
// whose range [computed_offset, computed_offset + computed_length] holds it
// (on a boundary the earlier one), or the end of the sequence. `broken`
// reports lengths the tree keeps on the way there (its total included) that
// disagree with the pieces' own lengths, so that the computed offsets it
// gives are off the running total: for the first stretch of pieces whose
// kept length is wrong, `expected` is the offset where it really ends and
// `got` where the tree puts its end. The caller logs it (the model is
// corrupt).
struct piece_position {
    piece_tree::cursor at;
    bool broken = false;
    int64_t expected = 0;
    int64_t got = 0;
};
piece_position locate_piece(const skarn_model_struct &model, int64_t offset) noexcept;

// Logs a broken model as found (with a dump of its pieces) and ends the process.
[[noreturn]] void abort_on_broken_model(const skarn_model_struct &model, const piece_position &found) noexcept;

// Asks for what a walk of the pieces will need a leaf ahead, so that behind
// many edits the memory loads overlap: where the walk starts (`walk_starts`),
// the bytes of the edits shown from `at` to the end of the next leaf; on
// entering a leaf, those of the next one; and then the leaf after that.
void prefetch_ahead(const piece_tree::cursor &at, bool walk_starts) noexcept;

// Calls visit(piece, skip, count) for each piece of `model` that
// [offset, offset + length) reaches, in order: its `count` bytes from `skip`
// on lie in the range. One descent to the first piece, then in-order steps;
// the memory of the edits ahead is asked for. Stops when `visit` returns
// false. Returns the bytes of the pieces visited in full (fewer than `length`
// when the content ends first or `visit` stopped). A broken model ends the
// process.
template <typename Visit>
int64_t for_each_piece(const skarn_model_struct &model, int64_t offset, int64_t length, Visit &&visit) {
    const piece_tree &pieces = model.pieces;
    if (length <= 0 || pieces.empty()) return 0;
    const piece_position found = locate_piece(model, offset);
    if (found.broken) abort_on_broken_model(model, found);
    int64_t done = 0;
    piece_tree::cursor at = found.at;
    bool first = true;
    for (int64_t skip = offset - at.start; !pieces.at_end(at) && done < length;
         pieces.advance(at), skip = 0, first = false) {
        prefetch_ahead(at, first);
        const int64_t count = std::min(at->length - skip, length - done);
        if (count <= 0) continue;  // the piece that ends at `offset`
        if (!visit(*at, skip, count)) break;
        done += count;
    }
    return done;
}

// Copies up to `capacity` bytes of the session's current content from `start`
// into `out`, counting them in `length` as they arrive (so that after a
// failure it tells how many bytes are valid). Returns 0, or -1 when `start` is
// negative or past the end or the level's file cannot deliver the bytes. A
// broken model is logged and ends the process.
int read_content(const skarn_session_struct *session, int64_t start, uint8_t *out, int64_t capacity,
                 int64_t &length) noexcept;

}  // namespace skarn

#endif  // SKARN_ENGINE_READER_HPP
