// Internal routines shared by the library's sources. None of them is exported
// except populate_data_segment_ and print_model_segments_ (declared in the
// public headers).
#ifndef SKARN_IMPL_INTERNAL_FUN_HPP
#define SKARN_IMPL_INTERNAL_FUN_HPP

#include <cstdint>
#include <ostream>
#include <vector>

#include "impl_/change_def.hpp"
#include "impl_/model_def.hpp"
#include "impl_/progress.hpp"
#include "impl_/session_def.hpp"
#include "skarn_edit.hpp"

// Replaces a level's segments by one read segment over `size` bytes of its
// file (none for size 0), with a fresh read change, and forgets what undo
// needed of the old ones. Throws std::bad_alloc.
void reset_model_segments_(skarn_model_struct &model, int64_t size);

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

// Positional reads of a level's file through a read-ahead buffer. Behind
// many edits reads meet many short file-backed pieces that mostly follow one
// another in the file, with small gaps where bytes were deleted or
// overwritten: one read covering what is still wanted serves a run of them.
// Long pieces are read straight into their place. A file cut short meanwhile,
// by anyone, only makes a read come up short. `buffer` is the reader's
// storage (grown as needed) and must not be shared with a reader in use.
class file_reader {
public:
    static constexpr int64_t ahead_limit = int64_t{256} << 10;  // most bytes read ahead at a time

    file_reader(const skarn::level_file &file, std::vector<uint8_t> &buffer) noexcept;
    file_reader(const file_reader &) = delete;
    file_reader &operator=(const file_reader &) = delete;

    // The `count` bytes at `position` (at most ahead_limit), reading ahead up
    // to `wanted` bytes from there when they are not held; null when the file
    // does not hold them all or no memory can be had. Valid until the next call.
    const uint8_t *view(int64_t position, int64_t count, int64_t wanted) noexcept;
    // Copies `count` bytes at `position` into `out`; `still_wanted` (how much
    // the caller will read from there on) is a hint for the read-ahead. False
    // unless every byte arrives.
    bool copy(int64_t position, int64_t count, int64_t still_wanted, uint8_t *out) noexcept;

private:
    static constexpr int64_t direct_limit = int64_t{16} << 10;
    static constexpr int64_t slack = int64_t{4} << 10;

    bool fill(int64_t position, int64_t wanted) noexcept;

    const skarn::level_file &file_;
    std::vector<uint8_t> &buffer_;
    int64_t start_ = 0;
    int64_t length_ = 0;
};

// Copies up to `capacity` bytes of the session's current content from `start`
// into `out`, counting them in `length` as they arrive (so that after a
// failure it tells how many bytes are valid). Returns 0, or -1 when `start` is
// negative or past the end or the level's file cannot deliver the bytes. A
// broken model is logged under `caller`'s name and ends the process.
int read_content_(const skarn_session_struct *session, int64_t start, uint8_t *out, int64_t capacity, int64_t &length,
                  const char *caller) noexcept;

// A new change with the small-buffer rule applied to `bytes`. Throws std::bad_alloc.
skarn::change_ptr make_change_(int64_t serial, uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length);

// Editing engine (edit source).
int64_t apply_change_(skarn_session_struct *session, const skarn::change_ptr &change);
int update_model_(skarn_session_struct *session, const skarn::const_change_ptr &change);
int update_model_helper_(skarn_model_struct &model, const skarn::const_change_ptr &change);
bool determine_change_transaction_bit_(skarn_session_struct *session);
int update_viewports_(skarn_session_struct *session, const skarn_change_struct *change) noexcept;
int change_affects_viewport_(const skarn_viewport_struct *viewport, const skarn_change_struct *change) noexcept;

// Marks every viewport stale, in list order; with an event, tells each one.
void mark_viewports_stale_(skarn_session_struct *session, int32_t viewport_event = 0) noexcept;

// True, after a log line naming `operation`, when a callback of the session
// is running: the calls that would change the session from inside one are
// refused by this check at their top.
bool refuse_reentry_(const skarn_session_struct *session, const char *operation) noexcept;

// The identity of the file at `path` (followed through links), or of an open
// descriptor; `known` is false when it cannot be learnt.
skarn::file_identity file_identity_of_(const char *path) noexcept;
skarn::file_identity file_identity_of_(int fd) noexcept;

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
