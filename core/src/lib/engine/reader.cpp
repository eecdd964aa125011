// Reading a level's content: where an offset falls among its pieces, the
// copy of a range into a buffer, the fill of a piece, and the dump of the
// pieces for diagnostics.
#include "engine/reader.hpp"

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>

#include "common/log.hpp"
#include "engine/segment.hpp"
#include "skarn_edit/segment.h"

int64_t skarn_model_struct::file_size() const noexcept { return in_place ? original_size : file.current_size(); }

bool skarn_model_struct::file_intact() const noexcept { return !in_place || skarn::identity_of(file.fd()) == identity; }

namespace skarn {

piece_position locate_piece(const skarn_model_struct &model, int64_t offset) noexcept {
    const skarn::piece_tree &pieces = model.pieces;
    piece_position found;
    // The descent trusts the lengths the tree keeps for its nodes: where one
    // of them on the way down disagrees with what lies below it, the model
    // is broken, reported at the first stretch whose kept length is wrong.
    bool sums_agree = true;
    found.at = pieces.find_checked(offset, sums_agree);
    if (!sums_agree) found.broken = pieces.first_wrong_sum(found.expected, found.got);
    return found;
}

namespace {

// Behind many edits most pieces are short, and the bytes of the edits they
// show lie all over the heap, as do the leaves: asking for them a leaf ahead,
// in one burst per leaf, lets those memory loads (and the page walks for
// them) overlap instead of stalling one by one. The piece holds the address
// of its bytes, so the request waits for nothing.
//
// A hint to bring the cache line at `at` in. Built with GCC 12 at -O3, the
// library held no prefetch instruction for the __builtin_prefetch below, so
// on x86-64 the instruction is written out.
inline void ask_for(const void *at) noexcept {
#if defined(__x86_64__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char *>(at)));
#else
    __builtin_prefetch(at);
#endif
}

// Asks for the leaf itself, every line of it.
void ask_for_leaf(const skarn::piece_tree::leaf *leaf) noexcept {
    const auto *bytes = reinterpret_cast<const char *>(leaf);
    for (size_t line = 0; line < sizeof *leaf; line += 64) ask_for(bytes + line);
}

// Asks for the bytes of the edits shown by the pieces of `leaf` from `index` on.
void ask_for_edits_of(const skarn::piece_tree::leaf *leaf, int index) noexcept {
    for (int k = index; k < leaf->count; ++k) {
        const skarn::piece &ahead = leaf->pieces[k];
        if (!ahead.reads_file()) ask_for(ahead.bytes());
    }
}

}  // namespace

void prefetch_ahead(const skarn::piece_tree::cursor &at, bool walk_starts) noexcept {
    const skarn::piece_tree::leaf *next = at.where->next;
    if (walk_starts) {
        ask_for_edits_of(at.where, at.index);
        if (next != nullptr) ask_for_edits_of(next, 0);
    } else if (at.index != 0 || next == nullptr) {
        return;
    } else {
        ask_for_edits_of(next, 0);  // its lines were asked for a leaf ago
    }
    if (next != nullptr && next->next != nullptr) ask_for_leaf(next->next);
}

void abort_on_broken_model(const skarn_model_struct &model, const piece_position &found) noexcept {
    // Logged under the name of the interface function that met the fault.
    print_model_segments_(&model, std::clog);
    SKARN_LOG("break in model continuity, expected: " << found.expected << ", got: " << found.got);
    std::abort();
}

int read_content(const skarn_session_struct *session, int64_t start, uint8_t *out, int64_t capacity,
                 int64_t &length) noexcept {
    length = 0;
    if (start < 0) return -1;
    const skarn_model_struct &model = session->current();
    const skarn::piece_tree &pieces = model.pieces;
    if (pieces.empty()) return 0;
    if (!model.file_intact()) {
        SKARN_LOG("'" << model.file_path << "' was changed by another program while the session read it in place");
        return -1;
    }

    skarn::file_reader window(model.file, model.read_buffer);
    bool delivered = true;
    for_each_piece(model, start, capacity, [&](const skarn::piece &piece, int64_t skip, int64_t count) {
        if (piece.reads_file()) {
            delivered = window.copy(piece.file_position() + skip, count, capacity - length, out + length);
            if (!delivered) return false;
        } else {
            std::memcpy(out + length, piece.bytes() + skip, static_cast<size_t>(count));
        }
        length += count;
        return true;
    });
    // A start past the end of the content reaches no piece and is refused.
    if (!delivered || (length == 0 && start > pieces.total())) return -1;
    // A change that landed while the bytes were read may have mixed old and
    // new ones: such a read fails too.
    if (!model.file_intact()) {
        SKARN_LOG("'" << model.file_path << "' was changed by another program while the session read it in place");
        return -1;
    }
    return 0;
}

}  // namespace skarn

int populate_data_segment_(const skarn_session_struct *session, skarn_segment_struct *segment) noexcept {
    return skarn::log::call(__func__, skarn::log::stream::log, static_cast<int>(-1), [&]() -> int {
        segment->length = 0;
        int64_t start = 0;
        if (__builtin_add_overflow(segment->offset, segment->offset_adjustment, &start) || start < 0) return -1;
        // Content without pieces leaves the piece's bytes as they are.
        if (session->current().pieces.empty()) return 0;
        uint8_t *out = segment->bytes();
        if (skarn::read_content(session, start, out, segment->abs_capacity(), segment->length) != 0) return -1;
        out[segment->length] = 0;
        return 0;
    });
}

void print_model_segments_(const skarn_model_struct *model, std::ostream &out) noexcept {
    try {
        for (const auto &piece : model->pieces) {
            const skarn_change_struct &change = *piece.change;
            const char kind_letter = piece.kind() == skarn::SEGMENT_READ     ? 'R'
                                     : piece.kind() == skarn::SEGMENT_INSERT ? 'I'
                                                                             : '?';
            out << "{\"kind\": \"" << kind_letter << "\", \"computed_offset\": " << piece.computed_offset
                << ", \"computed_length\": " << piece.computed_length << ", \"change_offset\": " << piece.change_offset
                << ", \"change\": "
                << "{\"serial\": " << change.serial << ", \"kind\": \"" << skarn_change_get_kind_as_char(&change)
                << "\", \"offset\": " << change.offset << ", \"length\": " << change.length;
            if (const uint8_t *bytes = skarn_change_get_bytes(&change)) {
                out << ", \"bytes\": \"";
                out.write(reinterpret_cast<const char *>(bytes), static_cast<std::streamsize>(change.length));
                out << "\"";
            }
            out << "}}" << std::endl;
        }
    } catch (...) {
        // A failing diagnostic stream is not the library's failure.
    }
}
