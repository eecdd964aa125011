// Splicing changes into a level's pieces and out again.
#ifndef SKARN_ENGINE_SPLICE_HPP
#define SKARN_ENGINE_SPLICE_HPP

#include <cstdint>

#include "engine/level.hpp"

namespace skarn {

// Splices `change` into the level's pieces and leaves on it the splice
// record undo needs: the cut at the change's offset splits the piece holding
// it; a delete (and the first half of an overwrite) then removes whole
// pieces from the cut on and cuts the front off the piece where it ends; an
// insert (and the second half of an overwrite) puts one piece showing the
// change's bytes at the cut. Returns 0, or -1 when the offset lies past the
// content. Throws std::bad_alloc; a broken level ends the process.
int splice_in(skarn_model_struct &level, const const_change_ptr &change);

// Puts the level's pieces back as they were before `change`, its newest
// change, was spliced in. Throws std::bad_alloc.
void splice_out_last(skarn_model_struct &level, const skarn_change_struct *change);

// Replaces the level's pieces by one piece reading `size` bytes of its file
// (none for size 0), with a fresh read change, and forgets what undo needed
// of the old ones. Throws std::bad_alloc.
void reset_pieces(skarn_model_struct &level, int64_t size);

}  // namespace skarn

#endif  // SKARN_ENGINE_SPLICE_HPP
