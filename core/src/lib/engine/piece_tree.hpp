// The ordered sequence of pieces of one level, as a B+-tree whose
// inner nodes know the content length below each child.
//
// Invariants (checked by piece_tree::check_structure):
//   - every leaf holds 1 to leaf_capacity pieces, except an empty root leaf;
//     every inner node holds 1 to inner_capacity children (the root at least 2);
//   - all leaves are at the same depth and are chained, in content order, from
//     head_ to tail_ through prev/next;
//   - each inner node's lengths[k] is the sum of the piece lengths below
//     children[k], and children[k]->parent is that node; total_ is the sum of
//     all piece lengths and size_ the number of pieces.
// A piece's computed offset is not stored: it is the sum of the lengths of
// the pieces before it, found on the way down from the root.
//
// Pieces name their change by a plain pointer: the level keeps every change
// its pieces show alive (its change list, its read change, or the pinned list
// below for segments put in by hand).
#ifndef SKARN_ENGINE_PIECE_TREE_HPP
#define SKARN_ENGINE_PIECE_TREE_HPP

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "engine/change.hpp"

namespace skarn {

enum segment_kind : int { SEGMENT_READ = 0, SEGMENT_INSERT = 1 };

// The change a segment shows: a plain pointer, optionally with an owner (only
// segments handed to push_back carry one, which the tree then keeps).
class change_ref {
public:
    change_ref() = default;
    change_ref(const skarn_change_struct *change) noexcept : ptr_(change) {}
    change_ref(const_change_ptr change) noexcept : ptr_(change.get()), owner_(std::move(change)) {}
    change_ref(const change_ptr &change) noexcept : ptr_(change.get()), owner_(change) {}

    const skarn_change_struct *get() const noexcept { return ptr_; }
    const skarn_change_struct *operator->() const noexcept { return ptr_; }
    const skarn_change_struct &operator*() const noexcept { return *ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    const const_change_ptr &owner() const noexcept { return owner_; }

private:
    const skarn_change_struct *ptr_ = nullptr;
    const_change_ptr owner_;
};

// What the tree stores per segment, in 24 bytes: its length, its change, and
// where its bytes come from. A piece of an edit's bytes keeps their address
// (inside the change record, or its byte block: neither ever moves), so that
// filling a segment copies them without loading the record; a piece of the
// level's file keeps the file position. Which of the two is fixed when the
// piece is made, from the change's serial (0 for the file), and kept in the
// low bit of the change's address (records are at least 8-byte aligned).
// The change offset of an edit's piece is derived: address - start of bytes,
// in unsigned arithmetic so that any value written by hand comes back as is.
class piece {
public:
    int64_t length = 0;

    piece() = default;
    piece(int64_t length_, int64_t change_offset, const skarn_change_struct *change) noexcept
        : length(length_), change_(reinterpret_cast<uintptr_t>(change)) {
        if (change != nullptr && change->serial == 0) {
            change_ |= read_tag;
            source_ = static_cast<uint64_t>(change_offset);
        } else {
            source_ = base_of(change) + static_cast<uint64_t>(change_offset);
        }
    }

    const skarn_change_struct *change() const noexcept {
        return reinterpret_cast<const skarn_change_struct *>(change_ & ~read_tag);
    }
    bool reads_file() const noexcept { return (change_ & read_tag) != 0; }
    // Where the piece's bytes start: in the level's file (reads_file()) ...
    int64_t file_position() const noexcept { return static_cast<int64_t>(source_); }
    // ... or in memory, for a piece of an edit's bytes.
    const uint8_t *bytes() const noexcept { return reinterpret_cast<const uint8_t *>(source_); }
    // Position of the first byte in the change's bytes or in the file.
    int64_t change_offset() const noexcept {
        return reads_file() ? static_cast<int64_t>(source_) : static_cast<int64_t>(source_ - base_of(change()));
    }
    // `count` bytes of this piece from `from` on: the same change, no record loaded.
    piece part(int64_t from, int64_t count) const noexcept {
        piece result = *this;
        result.length = count;
        result.source_ += static_cast<uint64_t>(from);
        return result;
    }
    // True when `next` shows the bytes of the same change that follow this piece's.
    bool followed_by(const piece &next) const noexcept {
        return next.change_ == change_ && source_ + static_cast<uint64_t>(length) == next.source_;
    }
    // The same stretch of the same change, with its change offset set to `value`.
    piece with_change_offset(int64_t value) const noexcept { return {length, value, change()}; }

private:
    static constexpr uintptr_t read_tag = 1;
    static uint64_t base_of(const skarn_change_struct *change) noexcept {
        return change == nullptr ? 0 : static_cast<uint64_t>(reinterpret_cast<uintptr_t>(change->bytes()));
    }

    uint64_t source_ = 0;
    uintptr_t change_ = 0;
};
static_assert(sizeof(piece) == 24, "a piece is three words");
static_assert(alignof(skarn_change_struct) > 1, "the low bit of a change's address is free");

}  // namespace skarn

// One segment of the computed content as callers of the tree see it:
// `computed_length` bytes that start at `change_offset` in the change's bytes,
// or, for a read segment, at that position in the level's file.
struct skarn_model_segment_struct {
    int64_t computed_offset = 0;
    int64_t computed_length = 0;
    int64_t change_offset = 0;
    skarn::change_ref change;

    // The kind is not stored: a change outside the history (serial 0) stands
    // for the level's file.
    int kind() const noexcept { return change->serial == 0 ? skarn::SEGMENT_READ : skarn::SEGMENT_INSERT; }
};

namespace skarn {

class piece_tree;

class piece_tree {
public:
    static constexpr int leaf_capacity = 64;
    static constexpr int inner_capacity = 64;

    struct inner;
    struct node {
        explicit node(bool leaf) noexcept : is_leaf(leaf) {}
        inner *parent = nullptr;
        int count = 0;
        const bool is_leaf;
    };
    struct leaf : node {
        leaf() noexcept : node(true) {}
        leaf *prev = nullptr;
        leaf *next = nullptr;
        piece pieces[leaf_capacity];
    };
    struct inner : node {
        inner() noexcept : node(false) {}
        int64_t lengths[inner_capacity];
        node *children[inner_capacity];
    };

    // A place in the sequence: the piece at `index` of leaf `where`, which
    // starts at content offset `start`; index == where->count only at the end.
    struct cursor {
        leaf *where = nullptr;
        int index = 0;
        int64_t start = 0;
        const piece &operator*() const noexcept { return where->pieces[index]; }
        const piece *operator->() const noexcept { return &where->pieces[index]; }
        int64_t end() const noexcept { return start + where->pieces[index].length; }
    };

    piece_tree();
    ~piece_tree();
    piece_tree(const piece_tree &) = delete;
    piece_tree &operator=(const piece_tree &) = delete;

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    int64_t total() const noexcept { return total_; }

    cursor begin_cursor() const noexcept { return {head_, 0, 0}; }
    cursor end_cursor() const noexcept { return {tail_, tail_->count, total_}; }
    bool at_end(const cursor &at) const noexcept { return at.index >= at.where->count; }
    // The next piece (or the end); `at` must not be at the end.
    void advance(cursor &at) const noexcept {
        at.start += at.where->pieces[at.index].length;
        if (++at.index < at.where->count || at.where->next == nullptr) return;
        at.where = at.where->next;
        at.index = 0;
    }
    // The first piece whose range [start, start + length] holds `offset` (on a
    // boundary the earlier one), or the end when offset lies past the content.
    cursor find(int64_t offset) const noexcept;

    // Inserts `count` pieces before `at`; returns a cursor on the first one.
    // Throws std::bad_alloc.
    cursor insert(cursor at, const piece *pieces, size_t count);
    cursor insert(cursor at, const piece &one) { return insert(at, &one, 1); }
    // Removes `count` pieces from `at` on; returns a cursor on the piece after them.
    cursor erase(cursor at, size_t count) noexcept;
    // Changes the piece at `at` in place.
    void replace(const cursor &at, const piece &value) noexcept;

    void clear() noexcept;
    // Appends a segment after the last one: it starts where the content ends
    // (its computed_offset is not read). The tree keeps the change's owner.
    void push_back(const skarn_model_segment_struct &segment);

    // Index access, linear in leaves: for diagnostics and tests.
    skarn_model_segment_struct operator[](size_t index) const noexcept;

    // False, with a reason, when a structural invariant does not hold.
    bool check_structure(const char **why) const noexcept;

    // find(), telling also whether each length the tree keeps for a node on
    // the way down (the total for the root) is the sum of what that node
    // holds: only then are the content offsets found on that path the
    // running totals of the pieces' lengths. An offset past the content is
    // checked along the way to the last leaf.
    cursor find_checked(int64_t offset, bool &sums_agree) const noexcept;
    // The first stretch of pieces, in content order and the innermost first,
    // whose length the tree keeps differently from the sum of their own
    // lengths: `expected` is the content offset where it really ends, `got`
    // where the tree's sums put its end. False when every kept length agrees.
    bool first_wrong_sum(int64_t &expected, int64_t &got) const noexcept;

    // In-order walk yielding segments with their computed offsets.
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = skarn_model_segment_struct;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = skarn_model_segment_struct;

        iterator() = default;
        iterator(const piece_tree *tree, cursor at, size_t index) noexcept : tree_(tree), at_(at), index_(index) {}
        skarn_model_segment_struct operator*() const noexcept {
            const piece &p = *at_;
            return {at_.start, p.length, p.change_offset(), change_ref(p.change())};
        }
        iterator &operator++() noexcept {
            tree_->advance(at_);
            ++index_;
            return *this;
        }
        bool operator==(const iterator &other) const noexcept { return index_ == other.index_; }
        bool operator!=(const iterator &other) const noexcept { return index_ != other.index_; }

    private:
        const piece_tree *tree_ = nullptr;
        cursor at_;
        size_t index_ = 0;
    };
    iterator begin() const noexcept { return {this, begin_cursor(), 0}; }
    iterator end() const noexcept { return {this, end_cursor(), size_}; }

private:
    struct sum_break {
        bool found = false;
        int64_t expected = 0;
        int64_t got = 0;
    };

    static int64_t sum(const node *n) noexcept;
    static int64_t sum_leaf(const leaf *l) noexcept;
    static int64_t sum_inner(const inner *in) noexcept;
    static int index_in(const inner *parent, const node *child) noexcept;
    void refresh_from(node *n, int64_t n_sum) noexcept;
    void refresh(leaf *l) noexcept { refresh_from(l, sum_leaf(l)); }
    void refresh(inner *in) noexcept { refresh_from(in, sum_inner(in)); }
    // Makes room for `count` more pieces in the leaf of `at` by moving some
    // of its pieces to a neighbouring leaf; false when none can take them.
    bool spill(cursor &at, size_t count) noexcept;
    void insert_child_after(node *existing, int64_t existing_sum, node *fresh, int64_t fresh_sum);
    void remove_node(node *n) noexcept;
    void collapse_root() noexcept;
    static void destroy(node *n) noexcept;
    // The descent of find(), with the checks of find_checked when `checked`.
    template <bool checked>
    cursor descend(int64_t offset, bool &sums_agree) const noexcept;
    cursor locate_index(size_t index) const noexcept;
    // The sum of the pieces' own lengths below `n`, which starts at content
    // offset `start` and whose length is kept as `kept`; notes in `out` the
    // first stretch whose kept length is wrong (see first_wrong_sum).
    static int64_t check_sums(const node *n, int64_t start, int64_t kept, sum_break &out) noexcept;

    node *root_;
    leaf *head_;
    leaf *tail_;
    size_t size_ = 0;
    int64_t total_ = 0;
    std::vector<const_change_ptr> pinned_;  // owners of changes appended by push_back
};

}  // namespace skarn

#endif  // SKARN_ENGINE_PIECE_TREE_HPP
