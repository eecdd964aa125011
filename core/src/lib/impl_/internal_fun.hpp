// Internal routines shared by the library's sources. None of them is exported
// except populate_data_segment_ and print_model_segments_ (declared in the
// public headers).
#ifndef SKARN_IMPL_INTERNAL_FUN_HPP
#define SKARN_IMPL_INTERNAL_FUN_HPP

#include <cstdint>
#include <cstdio>
#include <ostream>

#include "impl_/change_def.hpp"
#include "impl_/model_def.hpp"
#include "impl_/progress.hpp"
#include "impl_/session_def.hpp"
#include "skarn_edit.hpp"

// Size of an open stream, learnt by seeking to its end; 0 for no stream, -1
// when the seek fails.
int64_t file_size_(FILE *file) noexcept;

// Replaces a level's segments by one read segment over `size` bytes of its
// file (none for size 0), with a fresh read change. Throws std::bad_alloc.
void reset_model_segments_(skarn_model_struct &model, int64_t size);

// Where an offset falls in a level's segment list: the first segment whose
// range [computed_offset, computed_offset + computed_length] holds it (on a
// boundary the earlier one), or the end of the list. `broken` reports a
// segment that does not start where the one before it ends: `index` is that
// segment and `expected` where it should have started. The caller logs it
// (the model is corrupt) under its own name.
struct segment_position {
    size_t index = 0;
    bool broken = false;
    int64_t expected = 0;
};
segment_position locate_segment_(const skarn_model_struct &model, int64_t offset) noexcept;

// A new change with the small-buffer rule applied to `bytes`. Throws std::bad_alloc.
skarn::change_ptr make_change_(int64_t serial, uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length);

// Editing engine (edit source).
int64_t apply_change_(skarn_session_struct *session, const skarn::change_ptr &change);
int update_model_(skarn_session_struct *session, const skarn::const_change_ptr &change);
int update_model_helper_(skarn_model_struct &model, const skarn::const_change_ptr &change);
bool determine_change_transaction_bit_(skarn_session_struct *session);
int update_viewports_(skarn_session_struct *session, const skarn_change_struct *change) noexcept;
int change_affects_viewport_(const skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept;

// skarn_util_apply_byte_transform_to_file with progress (utility source):
// 0, -1 on failure, 1 when `progress` (may be null) cancelled it; on -1 and 1
// the output is removed.
int apply_byte_transform_to_file_(const char *in_path, const char *out_path, skarn_util_byte_transform_t transform,
                                  void *user_data, int64_t offset, int64_t length,
                                  skarn::progress_meter *progress) noexcept;

// Marks every viewport stale, in list order; with an event, tells each one.
void mark_viewports_stale_(skarn_session_struct *session, int32_t viewport_event = 0) noexcept;

#endif  // SKARN_IMPL_INTERNAL_FUN_HPP
