// A level of a session's checkpoint stack (the public interface calls it a
// model): its backing file, its change history and the pieces from which its
// content is computed.
#ifndef SKARN_ENGINE_LEVEL_HPP
#define SKARN_ENGINE_LEVEL_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "engine/change.hpp"
#include "engine/piece_tree.hpp"
#include "io/level_file.hpp"

namespace skarn {

// What one change did to its level's segment sequence, so that undo can put
// the sequence back exactly; the change record keeps it. The whole pieces it removed are the last
// `removed` entries of the level's removed-piece stack; a front it cut off
// the segment where its removal ended (flag `trimmed`) is not kept, as it is
// the stretch of the same change just before what is left of that segment,
// as long as the change's length minus the whole pieces' lengths. The flags
// say where its cuts fell (see splice_in).
struct splice_record {
    static constexpr uint8_t split = 0x01;          // the cut at the offset split a segment in two
    static constexpr uint8_t trimmed = 0x02;        // the removal ended by cutting the front off a segment
    static constexpr uint8_t removal_front = 0x04;  // the removal started at the front of the sequence
    static constexpr uint8_t insert_front = 0x08;   // the inserted segment went to the front of the sequence
    static constexpr uint8_t inserted = 0x10;       // a segment showing the change was inserted
    uint32_t removed = 0;
    uint8_t flags = 0;
};

}  // namespace skarn

struct skarn_model_struct {
    skarn::level_file file;                  // the level's backing file; none for a session over nothing
    std::string file_path;                   // base level: the caller's path; checkpoint level: the checkpoint file
    std::vector<skarn::change_ptr> changes;  // in force, oldest first
    std::vector<skarn::change_ptr> changes_undone;  // most recently undone last
    skarn::piece_tree pieces;
    // How many of the changes in force, oldest first, carry the splice record
    // of their last splicing into this level's segments (all of them, unless
    // a model update failed; then undo rebuilds the level by replaying).
    size_t spliced = 0;
    std::vector<skarn::piece> removed_pieces;          // what the changes in force removed, oldest first
    const skarn_change_struct *read_change = nullptr;  // the change of the level's read segments, kept by them
    mutable std::vector<uint8_t> read_buffer;          // read-ahead of the file for fills (see populate_data_segment_)
    // An in-place base level reads the caller's own file, which must keep the
    // identity it had when the session opened it.
    bool in_place = false;
    skarn::file_identity identity{};
    // An in-place level's original size: what its pieces read (see
    // level_file's view), whatever the file holds now.
    int64_t original_size = 0;
    // A checkpoint level whose file still holds the content of the level
    // below as it was frozen (no transform rewrote it).
    bool mirrors_below = false;

    skarn_model_struct() = default;
    skarn_model_struct(const skarn_model_struct &) = delete;
    skarn_model_struct &operator=(const skarn_model_struct &) = delete;

    void close_file() noexcept { file.close(); }

    // False for an in-place level whose file was changed by someone else.
    bool file_intact() const noexcept;

    // The size of the level's file as the level knows it: for an in-place
    // level its original size, whatever the file holds now.
    int64_t file_size() const noexcept;

    int64_t computed_size() const noexcept { return pieces.total(); }
};

#endif  // SKARN_ENGINE_LEVEL_HPP
