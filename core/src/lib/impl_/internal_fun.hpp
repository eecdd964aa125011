// Internal routines shared by the library's sources. None of them is exported
// except populate_data_segment_ and print_model_segments_ (declared in the
// public headers).
#ifndef SKARN_IMPL_INTERNAL_FUN_HPP
#define SKARN_IMPL_INTERNAL_FUN_HPP

#include <cstdint>
#include <ostream>
#include <vector>

#include "impl_/change_def.hpp"
#include "engine/level.hpp"
#include "impl_/progress.hpp"
#include "impl_/session_def.hpp"
#include "skarn_edit.hpp"

// Where an offset falls in a level's segment sequence: the first segment
// whose range [computed_offset, computed_offset + computed_length] holds it
// (on a boundary the earlier one), or the end of the sequence. `broken`
// reports lengths the tree keeps on the way there (its total included) that
// disagree with the pieces' own lengths, so that the computed offsets it
// gives are off the running total: for the first stretch of pieces whose
// kept length is wrong, `expected` is the offset where it really ends and
// `got` where the tree puts its end. The caller logs it (the model is
// corrupt) under its own name.
struct segment_position {
    skarn::segment_tree::cursor at;
    bool broken = false;
    int64_t expected = 0;
    int64_t got = 0;
};
segment_position locate_segment_(const skarn_model_struct &model, int64_t offset) noexcept;

// Copies up to `capacity` bytes of the session's current content from `start`
// into `out`, counting them in `length` as they arrive (so that after a
// failure it tells how many bytes are valid). Returns 0, or -1 when `start` is
// negative or past the end or the level's file cannot deliver the bytes. A
// broken model is logged under `caller`'s name and ends the process.
int read_content_(const skarn_session_struct *session, int64_t start, uint8_t *out, int64_t capacity, int64_t &length,
                  const char *caller) noexcept;

// A new change with the small-buffer rule applied to `bytes`. Throws std::bad_alloc.
skarn::change_ptr make_change_(int64_t serial, uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length);

// The byte transform of a whole file (utility source): copies `size` bytes
// of the file open as `input`, read by position, to `output` with [offset, offset + length) transformed, logging
// each failure to stderr under the name `caller`, and telling `progress` (may
// be null) of every step. transform_range_valid_ logs "transform out of range"
// for a range that does not lie inside `size` bytes. Both 0/true on success;
// transform_stream_ returns -1 on failure and when `progress` cancelled it.
int transform_stream_(int input, int64_t size, FILE *output, skarn_util_byte_transform_t transform, void *user_data,
                      int64_t offset, int64_t length, const char *caller, skarn::progress_meter *progress) noexcept;
bool transform_range_valid_(int64_t size, int64_t offset, int64_t length, const char *caller) noexcept;

#endif  // SKARN_IMPL_INTERNAL_FUN_HPP
