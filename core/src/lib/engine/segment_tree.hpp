// The ordered sequence of model segments of one level, as a B+-tree whose
// inner nodes know the content length below each child.
//
// Invariants (checked by segment_tree::check_structure):
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
#ifndef SKARN_ENGINE_SEGMENT_TREE_HPP
#define SKARN_ENGINE_SEGMENT_TREE_HPP

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <iterator>
#include <utility>
#include <vector>

#include "impl_/change_def.hpp"

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

class segment_tree;

// A writable field of one stored segment, reached by index: for diagnostics
// and for tests that damage a model on purpose. Writing a computed offset
// records it as a skew (a break in continuity) until it is written back.
class segment_field {
public:
    enum which_field { offset_field, length_field, change_offset_field };
    segment_field(segment_tree *tree, size_t index, which_field which) noexcept
        : tree_(tree), index_(index), which_(which) {}
    operator int64_t() const noexcept;
    segment_field &operator=(int64_t value) noexcept;
    segment_field &operator+=(int64_t delta) noexcept { return *this = static_cast<int64_t>(*this) + delta; }
    segment_field &operator-=(int64_t delta) noexcept { return *this = static_cast<int64_t>(*this) - delta; }

private:
    segment_tree *tree_;
    size_t index_;
    which_field which_;
};

struct segment_handle {
    segment_field computed_offset;
    segment_field computed_length;
    segment_field change_offset;
    change_ref change;
    int kind() const noexcept { return change->serial == 0 ? SEGMENT_READ : SEGMENT_INSERT; }
};

class segment_tree {
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

    segment_tree();
    ~segment_tree();
    segment_tree(const segment_tree &) = delete;
    segment_tree &operator=(const segment_tree &) = delete;

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    int64_t total() const noexcept { return total_; }

    cursor begin_cursor() const noexcept { return {head_, 0, 0}; }
    cursor end_cursor() const noexcept { return {tail_, tail_->count, total_}; }
    bool at_end(const cursor &at) const noexcept { return at.index >= at.where->count; }
    // The next piece (or the end); `at` must not be at the end.
    void advance(cursor &at) const noexcept;
    // The first piece whose range [start, start + length] holds `offset` (on a
    // boundary the earlier one), or the end when offset lies past the content.
    cursor find(int64_t offset) const noexcept;
    // Position of a cursor as an index in the sequence (linear in leaves).
    size_t index_of(const cursor &at) const noexcept;

    // Inserts `count` pieces before `at`; returns a cursor on the first one.
    // Throws std::bad_alloc.
    cursor insert(cursor at, const piece *pieces, size_t count);
    cursor insert(cursor at, const piece &one) { return insert(at, &one, 1); }
    // Removes `count` pieces from `at` on; returns a cursor on the piece after them.
    cursor erase(cursor at, size_t count) noexcept;
    // Changes the piece at `at` in place.
    void replace(const cursor &at, const piece &value) noexcept;

    void clear() noexcept;
    // Appends a segment given with its computed offset; a computed offset off
    // the running end is recorded as a skew. The tree keeps the change's owner.
    void push_back(const skarn_model_segment_struct &segment);

    // Index access, linear in leaves: for diagnostics and tests.
    skarn_model_segment_struct operator[](size_t index) const noexcept;
    segment_handle operator[](size_t index) noexcept;

    // Skews: computed offsets written by hand that break continuity. The first
    // skewed index at or before `index`, with its skew; false when there is none.
    bool first_skew_before(size_t index, size_t &skewed, int64_t &skew) const noexcept;
    int64_t skew_at(size_t index) const noexcept;
    bool has_skews() const noexcept { return !skews_.empty(); }

    // False, with a reason, when a structural invariant does not hold.
    bool check_structure(const char **why) const noexcept;

    // In-order walk yielding segments with their computed offsets.
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = skarn_model_segment_struct;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = skarn_model_segment_struct;

        iterator() = default;
        iterator(const segment_tree *tree, cursor at, size_t index) noexcept : tree_(tree), at_(at), index_(index) {}
        skarn_model_segment_struct operator*() const noexcept {
            const piece &p = *at_;
            const int64_t skew = tree_->skews_.empty() ? 0 : tree_->skew_at(index_);
            return {at_.start + skew, p.length, p.change_offset(), change_ref(p.change())};
        }
        iterator &operator++() noexcept {
            tree_->advance(at_);
            ++index_;
            return *this;
        }
        bool operator==(const iterator &other) const noexcept { return index_ == other.index_; }
        bool operator!=(const iterator &other) const noexcept { return index_ != other.index_; }

    private:
        const segment_tree *tree_ = nullptr;
        cursor at_;
        size_t index_ = 0;
    };
    iterator begin() const noexcept { return {this, begin_cursor(), 0}; }
    iterator end() const noexcept { return {this, end_cursor(), size_}; }

private:
    friend class segment_field;

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
    cursor locate_index(size_t index) const noexcept;
    void set_skew(size_t index, int64_t skew);

    node *root_;
    leaf *head_;
    leaf *tail_;
    size_t size_ = 0;
    int64_t total_ = 0;
    std::vector<std::pair<size_t, int64_t>> skews_;  // (index, stored - derived offset), by index
    std::vector<const_change_ptr> pinned_;           // owners of changes appended by push_back
};

}  // namespace skarn

// Definitions, inline: the tests reach into levels as well as the library.

namespace skarn {

inline segment_tree::segment_tree() : root_(new leaf()) { head_ = tail_ = static_cast<leaf *>(root_); }

inline segment_tree::~segment_tree() { destroy(root_); }

inline void segment_tree::destroy(node *n) noexcept {
    if (n->is_leaf) {
        delete static_cast<leaf *>(n);
        return;
    }
    auto *in = static_cast<inner *>(n);
    for (int k = 0; k < in->count; ++k) destroy(in->children[k]);
    delete in;
}

inline void segment_tree::clear() noexcept {
    if (!root_->is_leaf || root_->count != 0) {
        // Reuse nothing: a fresh root leaf. Allocating it first keeps the
        // tree whole when memory is short.
        leaf *fresh = new (std::nothrow) leaf();
        if (fresh != nullptr) {
            destroy(root_);
            root_ = head_ = tail_ = fresh;
        } else {
            // Keep the structure, emptied in place: every leaf but the first goes.
            while (!root_->is_leaf) remove_node(tail_);
            root_->count = 0;
        }
    }
    size_ = 0;
    total_ = 0;
    skews_.clear();
    pinned_.clear();
}

inline int64_t segment_tree::sum_leaf(const leaf *l) noexcept {
    int64_t total = 0;
    for (int k = 0; k < l->count; ++k) total += l->pieces[k].length;
    return total;
}

inline int64_t segment_tree::sum_inner(const inner *in) noexcept {
    int64_t total = 0;
    for (int k = 0; k < in->count; ++k) total += in->lengths[k];
    return total;
}

inline int64_t segment_tree::sum(const node *n) noexcept {
    return n->is_leaf ? sum_leaf(static_cast<const leaf *>(n)) : sum_inner(static_cast<const inner *>(n));
}

inline int segment_tree::index_in(const inner *parent, const node *child) noexcept {
    int k = 0;
    while (parent->children[k] != child) ++k;
    return k;
}

inline void segment_tree::refresh_from(node *n, int64_t n_sum) noexcept {
    while (n->parent != nullptr) {
        inner *p = n->parent;
        p->lengths[index_in(p, n)] = n_sum;
        n_sum = sum_inner(p);
        n = p;
    }
    total_ = n_sum;
}

inline void segment_tree::advance(cursor &at) const noexcept {
    at.start += at.where->pieces[at.index].length;
    if (++at.index < at.where->count || at.where->next == nullptr) return;
    at.where = at.where->next;
    at.index = 0;
}

inline segment_tree::cursor segment_tree::find(int64_t offset) const noexcept {
    if (size_ == 0 || offset > total_ || offset < 0) return end_cursor();
    const node *n = root_;
    int64_t start = 0;
    while (!n->is_leaf) {
        const auto *in = static_cast<const inner *>(n);
        int k = 0;
        for (; k < in->count - 1 && start + in->lengths[k] < offset; ++k) start += in->lengths[k];
        n = in->children[k];
    }
    auto *l = const_cast<leaf *>(static_cast<const leaf *>(n));
    int k = 0;
    for (; k < l->count - 1 && start + l->pieces[k].length < offset; ++k) start += l->pieces[k].length;
    return {l, k, start};
}

inline size_t segment_tree::index_of(const cursor &at) const noexcept {
    size_t index = 0;
    for (const leaf *l = head_; l != at.where; l = l->next) index += static_cast<size_t>(l->count);
    return index + static_cast<size_t>(at.index);
}

inline segment_tree::cursor segment_tree::locate_index(size_t index) const noexcept {
    cursor at{head_, 0, 0};
    while (at.where->next != nullptr && index >= static_cast<size_t>(at.where->count)) {
        index -= static_cast<size_t>(at.where->count);
        at.start += sum_leaf(at.where);
        at.where = at.where->next;
    }
    while (index > 0 && !at_end(at)) {
        advance(at);
        --index;
    }
    return at;
}

inline void segment_tree::insert_child_after(node *existing, int64_t existing_sum, node *fresh, int64_t fresh_sum) {
    inner *p = existing->parent;
    if (p == nullptr) {
        auto *r = new inner();
        r->count = 2;
        r->children[0] = existing;
        r->children[1] = fresh;
        r->lengths[0] = existing_sum;
        r->lengths[1] = fresh_sum;
        existing->parent = fresh->parent = r;
        root_ = r;
        return;
    }
    int at = index_in(p, existing) + 1;
    inner *split_off = nullptr;
    if (p->count == inner_capacity) {
        // Split: the upper half moves to a new sibling, which joins the grandparent.
        auto *q = new inner();
        const int half = inner_capacity / 2;
        q->count = inner_capacity - half;
        for (int k = 0; k < q->count; ++k) {
            q->children[k] = p->children[half + k];
            q->lengths[k] = p->lengths[half + k];
            q->children[k]->parent = q;
        }
        p->count = half;
        insert_child_after(p, sum_inner(p), q, sum_inner(q));
        split_off = q;
    }
    inner *const lower = p;
    if (split_off != nullptr && at > inner_capacity / 2) {
        p = split_off;
        at -= inner_capacity / 2;
    }
    std::memmove(p->children + at + 1, p->children + at, sizeof(node *) * static_cast<size_t>(p->count - at));
    std::memmove(p->lengths + at + 1, p->lengths + at, sizeof(int64_t) * static_cast<size_t>(p->count - at));
    p->children[at] = fresh;
    p->lengths[at] = fresh_sum;
    fresh->parent = p;
    ++p->count;
    if (split_off != nullptr) {
        // The grandparent learnt the halves' lengths before `fresh` arrived.
        for (inner *half : {lower, split_off}) half->parent->lengths[index_in(half->parent, half)] = sum_inner(half);
    }
}

inline bool segment_tree::spill(cursor &at, size_t count) noexcept {
    leaf *l = at.where;
    const int need = l->count + static_cast<int>(count) - leaf_capacity;
    if (need <= 0 || need > leaf_capacity) return need <= 0;
    // Into the next leaf: the pieces after the insertion point only, so that
    // the cursor stays where it is.
    if (leaf *n = l->next; n != nullptr) {
        const int moved = std::max(need, (l->count + static_cast<int>(count) - n->count) / 2);
        if (n->count + moved <= leaf_capacity && l->count - moved >= at.index) {
            std::memmove(n->pieces + moved, n->pieces, sizeof(piece) * static_cast<size_t>(n->count));
            std::copy(l->pieces + l->count - moved, l->pieces + l->count, n->pieces);
            n->count += moved;
            l->count -= moved;
            refresh(l);
            refresh(n);
            return true;
        }
    }
    // Into the previous leaf: pieces before the insertion point only; the
    // cursor moves with the insertion point, whose content offset is unchanged.
    if (leaf *p = l->prev; p != nullptr) {
        const int moved = std::max(need, (l->count + static_cast<int>(count) - p->count) / 2);
        if (p->count + moved <= leaf_capacity && moved <= at.index) {
            std::copy(l->pieces, l->pieces + moved, p->pieces + p->count);
            std::memmove(l->pieces, l->pieces + moved, sizeof(piece) * static_cast<size_t>(l->count - moved));
            p->count += moved;
            l->count -= moved;
            at.index -= moved;
            refresh(p);
            refresh(l);
            return true;
        }
    }
    return false;
}

inline segment_tree::cursor segment_tree::insert(cursor at, const piece *pieces, size_t count) {
    if (count == 0) return at;
    // A full leaf first hands pieces to a neighbour with room: leaves stay
    // fuller than splitting alone leaves them (memory per segment).
    spill(at, count);
    leaf *l = at.where;
    const int i = at.index;
    if (static_cast<size_t>(l->count) + count <= static_cast<size_t>(leaf_capacity)) {
        std::memmove(l->pieces + i + count, l->pieces + i, sizeof(piece) * static_cast<size_t>(l->count - i));
        std::copy(pieces, pieces + count, l->pieces + i);
        l->count += static_cast<int>(count);
        size_ += count;
        refresh(l);
        return at;
    }

    // Overflow: the leaf's pieces and the new ones are spread over the leaf
    // and as many new leaves after it as needed, each about 3/4 full.
    std::vector<piece> all;
    all.reserve(static_cast<size_t>(l->count) + count);
    all.insert(all.end(), l->pieces, l->pieces + i);
    all.insert(all.end(), pieces, pieces + count);
    all.insert(all.end(), l->pieces + i, l->pieces + l->count);
    const size_t target = leaf_capacity * 3 / 4;
    const size_t leaves = std::max<size_t>(2, (all.size() + target - 1) / target);
    std::vector<leaf *> made;
    made.reserve(leaves);
    made.push_back(l);
    try {
        for (size_t k = 1; k < leaves; ++k) made.push_back(new leaf());
    } catch (...) {
        for (size_t k = 1; k < made.size(); ++k) delete made[k];
        throw;
    }
    cursor result = at;
    size_t from = 0;
    for (size_t k = 0; k < leaves; ++k) {
        const size_t upto = all.size() * (k + 1) / leaves;
        leaf *dst = made[k];
        std::copy(all.begin() + static_cast<std::ptrdiff_t>(from), all.begin() + static_cast<std::ptrdiff_t>(upto),
                  dst->pieces);
        dst->count = static_cast<int>(upto - from);
        if (static_cast<size_t>(i) >= from && static_cast<size_t>(i) < upto) {
            result.where = dst;
            result.index = static_cast<int>(static_cast<size_t>(i) - from);
        }
        if (k > 0) {
            leaf *prev = made[k - 1];
            dst->prev = prev;
            dst->next = prev->next;
            if (prev->next != nullptr) prev->next->prev = dst;
            prev->next = dst;
            if (tail_ == prev) tail_ = dst;
            insert_child_after(prev, sum_leaf(prev), dst, sum_leaf(dst));
        }
        from = upto;
    }
    size_ += count;
    for (leaf *touched : made) refresh(touched);
    return result;
}

inline void segment_tree::remove_node(node *n) noexcept {
    if (n->is_leaf) {
        auto *l = static_cast<leaf *>(n);
        if (l->prev != nullptr) l->prev->next = l->next;
        if (l->next != nullptr) l->next->prev = l->prev;
        if (head_ == l) head_ = l->next;
        if (tail_ == l) tail_ = l->prev;
    }
    inner *p = n->parent;
    const int k = index_in(p, n);
    std::memmove(p->children + k, p->children + k + 1, sizeof(node *) * static_cast<size_t>(p->count - k - 1));
    std::memmove(p->lengths + k, p->lengths + k + 1, sizeof(int64_t) * static_cast<size_t>(p->count - k - 1));
    --p->count;
    if (n->is_leaf) {
        delete static_cast<leaf *>(n);
    } else {
        delete static_cast<inner *>(n);
    }
    if (p->count == 0) {
        remove_node(p);
    } else {
        refresh(p);
        collapse_root();
    }
}

inline void segment_tree::collapse_root() noexcept {
    while (!root_->is_leaf && root_->count == 1) {
        auto *old = static_cast<inner *>(root_);
        root_ = old->children[0];
        root_->parent = nullptr;
        delete old;
    }
}

inline segment_tree::cursor segment_tree::erase(cursor at, size_t count) noexcept {
    leaf *l = at.where;
    int i = at.index;
    while (count > 0) {
        if (i >= l->count) {
            if (l->next == nullptr) break;  // past the end: nothing more to remove
            l = l->next;
            i = 0;
            continue;
        }
        const int removed = static_cast<int>(std::min<size_t>(count, static_cast<size_t>(l->count - i)));
        std::memmove(l->pieces + i, l->pieces + i + removed,
                     sizeof(piece) * static_cast<size_t>(l->count - i - removed));
        l->count -= removed;
        count -= static_cast<size_t>(removed);
        size_ -= static_cast<size_t>(removed);
        if (l->count == 0 && l != root_) {
            leaf *next = l->next;
            leaf *prev = l->prev;
            remove_node(l);
            if (next != nullptr) {
                l = next;
                i = 0;
            } else {
                l = prev;
                i = prev->count;
            }
        } else {
            refresh(l);
        }
    }
    if (i >= l->count && l->next != nullptr) {
        l = l->next;
        i = 0;
    }
    return {l, i, at.start};
}

inline void segment_tree::replace(const cursor &at, const piece &value) noexcept {
    piece &stored = at.where->pieces[at.index];
    const bool resized = stored.length != value.length;
    stored = value;
    if (resized) refresh(at.where);
}

inline void segment_tree::push_back(const skarn_model_segment_struct &segment) {
    const int64_t expected = total_;
    if (segment.change.owner()) pinned_.push_back(segment.change.owner());
    insert(end_cursor(), piece{segment.computed_length, segment.change_offset, segment.change.get()});
    if (segment.computed_offset != expected) set_skew(size_ - 1, segment.computed_offset - expected);
}

inline skarn_model_segment_struct segment_tree::operator[](size_t index) const noexcept {
    const cursor at = locate_index(index);
    const piece &p = *at;
    return {at.start + skew_at(index), p.length, p.change_offset(), change_ref(p.change())};
}

inline segment_handle segment_tree::operator[](size_t index) noexcept {
    const cursor at = locate_index(index);
    return {segment_field(this, index, segment_field::offset_field),
            segment_field(this, index, segment_field::length_field),
            segment_field(this, index, segment_field::change_offset_field), change_ref(at->change())};
}

inline int64_t segment_tree::skew_at(size_t index) const noexcept {
    for (const auto &entry : skews_) {
        if (entry.first == index) return entry.second;
    }
    return 0;
}

inline bool segment_tree::first_skew_before(size_t index, size_t &skewed, int64_t &skew) const noexcept {
    for (const auto &entry : skews_) {
        if (entry.first <= index) {
            skewed = entry.first;
            skew = entry.second;
            return true;
        }
    }
    return false;
}

inline void segment_tree::set_skew(size_t index, int64_t skew) {
    auto found = std::find_if(skews_.begin(), skews_.end(), [index](const auto &e) { return e.first == index; });
    if (found != skews_.end()) skews_.erase(found);
    if (skew == 0) return;
    auto place = std::find_if(skews_.begin(), skews_.end(), [index](const auto &e) { return e.first > index; });
    skews_.insert(place, {index, skew});
}

inline bool segment_tree::check_structure(const char **why) const noexcept {
    // Depth-first over the nodes, checking parents, counts and lengths, and
    // that the leaves met in order are the chain from head_ to tail_.
    struct frame {
        const node *n;
        int depth;
    };
    std::vector<frame> stack;
    try {
        stack.push_back({root_, 0});
        const leaf *expected_leaf = head_;
        const leaf *last_leaf = nullptr;
        int leaf_depth = -1;
        size_t pieces = 0;
        while (!stack.empty()) {
            const frame f = stack.back();
            stack.pop_back();
            if (f.n->is_leaf) {
                const auto *l = static_cast<const leaf *>(f.n);
                if (l != expected_leaf || l->prev != last_leaf) return *why = "leaf chain out of order", false;
                if ((l->count < 1 && l != root_) || l->count > leaf_capacity) return *why = "leaf count", false;
                if (leaf_depth >= 0 && f.depth != leaf_depth) return *why = "leaves at different depths", false;
                leaf_depth = f.depth;
                pieces += static_cast<size_t>(l->count);
                last_leaf = l;
                expected_leaf = l->next;
                continue;
            }
            const auto *in = static_cast<const inner *>(f.n);
            if (in->count < (in == root_ ? 2 : 1) || in->count > inner_capacity) return *why = "inner count", false;
            for (int k = in->count - 1; k >= 0; --k) {
                if (in->children[k]->parent != in) return *why = "parent link", false;
                if (in->lengths[k] != sum(in->children[k])) return *why = "length below a child", false;
                stack.push_back({in->children[k], f.depth + 1});
            }
        }
        if (last_leaf != tail_ || expected_leaf != nullptr) return *why = "leaf chain ends", false;
        if (root_->parent != nullptr) return *why = "root has a parent", false;
        if (pieces != size_) return *why = "segment count", false;
        if (sum(root_) != total_) return *why = "total length", false;
        return true;
    } catch (...) {
        return *why = "out of memory", false;
    }
}

inline segment_field::operator int64_t() const noexcept {
    const segment_tree::cursor at = tree_->locate_index(index_);
    switch (which_) {
        case offset_field: return at.start + tree_->skew_at(index_);
        case length_field: return at->length;
        default: return at->change_offset();
    }
}

inline segment_field &segment_field::operator=(int64_t value) noexcept {
    const segment_tree::cursor at = tree_->locate_index(index_);
    piece changed = *at;
    switch (which_) {
        case offset_field: try { tree_->set_skew(index_, value - at.start);
            } catch (...) {
                // A diagnostic write that cannot be recorded is dropped.
            }
            return *this;
        case length_field: changed.length = value; break;
        default: changed = changed.with_change_offset(value); break;
    }
    tree_->replace(at, changed);
    return *this;
}

}  // namespace skarn

#endif  // SKARN_ENGINE_SEGMENT_TREE_HPP
