// The segment tree's operations: its descent, its insertions and removals
// with the splits and merges they need, and the checks of its invariants.
#include "engine/piece_tree.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace skarn {

piece_tree::piece_tree() : root_(new leaf()) { head_ = tail_ = static_cast<leaf *>(root_); }

piece_tree::~piece_tree() { destroy(root_); }

void piece_tree::destroy(node *n) noexcept {
    if (n->is_leaf) {
        delete static_cast<leaf *>(n);
        return;
    }
    auto *in = static_cast<inner *>(n);
    for (int k = 0; k < in->count; ++k) destroy(in->children[k]);
    delete in;
}

void piece_tree::clear() noexcept {
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
    pinned_.clear();
}

int64_t piece_tree::sum_leaf(const leaf *l) noexcept {
    int64_t total = 0;
    for (int k = 0; k < l->count; ++k) total += l->pieces[k].length;
    return total;
}

int64_t piece_tree::sum_inner(const inner *in) noexcept {
    int64_t total = 0;
    for (int k = 0; k < in->count; ++k) total += in->lengths[k];
    return total;
}

int64_t piece_tree::sum(const node *n) noexcept {
    return n->is_leaf ? sum_leaf(static_cast<const leaf *>(n)) : sum_inner(static_cast<const inner *>(n));
}

int piece_tree::index_in(const inner *parent, const node *child) noexcept {
    int k = 0;
    while (parent->children[k] != child) ++k;
    return k;
}

void piece_tree::refresh_from(node *n, int64_t n_sum) noexcept {
    while (n->parent != nullptr) {
        inner *p = n->parent;
        p->lengths[index_in(p, n)] = n_sum;
        n_sum = sum_inner(p);
        n = p;
    }
    total_ = n_sum;
}

template <bool checked>
piece_tree::cursor piece_tree::descend(int64_t offset, bool &sums_agree) const noexcept {
    const bool inside = size_ != 0 && offset >= 0 && offset <= total_;
    if (!checked && !inside) return end_cursor();
    const node *n = root_;
    int64_t kept = total_;
    int64_t start = 0;
    while (!n->is_leaf) {
        const auto *in = static_cast<const inner *>(n);
        if (checked && sum_inner(in) != kept) sums_agree = false;
        int k = inside ? 0 : in->count - 1;
        for (; k < in->count - 1 && start + in->lengths[k] < offset; ++k) start += in->lengths[k];
        kept = in->lengths[k];
        n = in->children[k];
    }
    auto *l = const_cast<leaf *>(static_cast<const leaf *>(n));
    if (checked && sum_leaf(l) != kept) sums_agree = false;
    if (!inside) return end_cursor();
    int k = 0;
    for (; k < l->count - 1 && start + l->pieces[k].length < offset; ++k) start += l->pieces[k].length;
    return {l, k, start};
}

piece_tree::cursor piece_tree::find(int64_t offset) const noexcept {
    bool unused = true;
    return descend<false>(offset, unused);
}

piece_tree::cursor piece_tree::find_checked(int64_t offset, bool &sums_agree) const noexcept {
    sums_agree = true;
#ifdef NDEBUG
    // Release builds trust the kept lengths on every lookup: reading them all
    // on the way down costs an edit 10 to 50 %. skarn_check_model checks a
    // whole level in any build.
    return descend<false>(offset, sums_agree);
#else
    return descend<true>(offset, sums_agree);
#endif
}

piece_tree::cursor piece_tree::locate_index(size_t index) const noexcept {
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

void piece_tree::insert_child_after(node *existing, int64_t existing_sum, node *fresh, int64_t fresh_sum) {
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

bool piece_tree::spill(cursor &at, size_t count) noexcept {
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

piece_tree::cursor piece_tree::insert(cursor at, const piece *pieces, size_t count) {
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

void piece_tree::remove_node(node *n) noexcept {
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

void piece_tree::collapse_root() noexcept {
    while (!root_->is_leaf && root_->count == 1) {
        auto *old = static_cast<inner *>(root_);
        root_ = old->children[0];
        root_->parent = nullptr;
        delete old;
    }
}

piece_tree::cursor piece_tree::erase(cursor at, size_t count) noexcept {
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

void piece_tree::replace(const cursor &at, const piece &value) noexcept {
    piece &stored = at.where->pieces[at.index];
    const bool resized = stored.length != value.length;
    stored = value;
    if (resized) refresh(at.where);
}

void piece_tree::push_back(const skarn_model_segment_struct &segment) {
    if (segment.change.owner()) pinned_.push_back(segment.change.owner());
    insert(end_cursor(), piece{segment.computed_length, segment.change_offset, segment.change.get()});
}

skarn_model_segment_struct piece_tree::operator[](size_t index) const noexcept {
    const cursor at = locate_index(index);
    const piece &p = *at;
    return {at.start, p.length, p.change_offset(), change_ref(p.change())};
}

bool piece_tree::check_structure(const char **why) const noexcept {
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

bool piece_tree::first_wrong_sum(int64_t &expected, int64_t &got) const noexcept {
    sum_break found;
    check_sums(root_, 0, total_, found);
    expected = found.expected;
    got = found.got;
    return found.found;
}

int64_t piece_tree::check_sums(const node *n, int64_t start, int64_t kept, sum_break &out) noexcept {
    int64_t real = 0;
    if (n->is_leaf) {
        real = sum_leaf(static_cast<const leaf *>(n));
    } else {
        const auto *in = static_cast<const inner *>(n);
        for (int k = 0; k < in->count && !out.found; ++k) {
            real += check_sums(in->children[k], start + real, in->lengths[k], out);
        }
        if (out.found) return real;
    }
    if (real != kept) out = {true, start + real, start + kept};
    return real;
}

}  // namespace skarn
