// Damage done on purpose to a level's segment tree, for the tests of the
// checks that must catch it. Pieces are reached through the tree's cursors
// and changed in their leaves: behind the tree's back, the lengths it keeps
// for its nodes no longer agree with them; through the tree, they do, and
// only what a piece points at can be wrong.
#ifndef SKARN_TESTS_DAMAGED_MODEL_HPP
#define SKARN_TESTS_DAMAGED_MODEL_HPP

#include <cstddef>
#include <cstdint>

#include "engine/piece_tree.hpp"

namespace skarn_test {

// The cursor on the segment at `index` (the end when there are fewer).
inline skarn::piece_tree::cursor cursor_at(const skarn::piece_tree &tree, size_t index) {
    skarn::piece_tree::cursor at = tree.begin_cursor();
    for (; index > 0 && !tree.at_end(at); --index) tree.advance(at);
    return at;
}

// Gives the piece at `index` a new length in its leaf; the lengths the tree
// keeps above it stay as they were.
inline void set_length_behind_the_tree(const skarn::piece_tree &tree, size_t index, int64_t length) {
    const skarn::piece_tree::cursor at = cursor_at(tree, index);
    at.where->pieces[at.index].length = length;
}

// Sets the length the parent of the leaf holding the piece at `index` keeps
// for that leaf; the pieces stay as they were. The tree must have more than
// one leaf.
inline void set_kept_leaf_length(const skarn::piece_tree &tree, size_t index, int64_t length) {
    const skarn::piece_tree::cursor at = cursor_at(tree, index);
    skarn::piece_tree::inner *parent = at.where->parent;
    int k = 0;
    while (parent->children[k] != at.where) ++k;
    parent->lengths[k] = length;
}

// Gives the piece at `index` a new length, or a new change offset, through
// the tree: its sums follow.
inline void set_length(skarn::piece_tree &tree, size_t index, int64_t length) {
    const skarn::piece_tree::cursor at = cursor_at(tree, index);
    skarn::piece changed = *at;
    changed.length = length;
    tree.replace(at, changed);
}

inline void set_change_offset(skarn::piece_tree &tree, size_t index, int64_t value) {
    const skarn::piece_tree::cursor at = cursor_at(tree, index);
    tree.replace(at, at->with_change_offset(value));
}

}  // namespace skarn_test

#endif  // SKARN_TESTS_DAMAGED_MODEL_HPP
