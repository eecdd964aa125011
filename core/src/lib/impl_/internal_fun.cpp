// Segment filling and the model dump: how the content of a level is computed
// from its segment list, and how that list is written out for diagnostics.
#include "impl_/internal_fun.hpp"

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <new>

#include <sys/stat.h>
#include <sys/uio.h>

#include <unistd.h>

#include "impl_/log.hpp"
#include "impl_/segment_def.hpp"
#include "skarn_edit/segment.h"

int64_t skarn_model_struct::file_size() const noexcept {
    if (in_place) return identity.size;
    if (!file.is_open()) return 0;
    struct stat info {};
    return fstat(file.fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

bool skarn_model_struct::file_intact() const noexcept {
    return !in_place || file_identity_of_(file.fd) == identity;
}

void reset_model_segments_(skarn_model_struct &model, int64_t size) {
    model.model_segments.clear();
    model.spliced = 0;
    model.removed_pieces.clear();
    model.read_change = nullptr;
    if (size <= 0) return;
    auto read_change = std::make_shared<skarn_change_struct>();
    read_change->serial = 0;
    read_change->kind = CHANGE_INSERT;
    read_change->offset = 0;
    read_change->length = size;
    model.read_change = read_change.get();
    model.model_segments.push_back({0, size, 0, std::move(read_change)});
}

skarn::change_ptr make_change_(int64_t serial, uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length) {
    auto change = std::make_shared<skarn_change_struct>();
    change->serial = serial;
    change->kind = kind;
    change->offset = offset;
    change->length = length;
    if ((kind & skarn_change_struct::kind_mask) != CHANGE_DELETE) {
        uint8_t *area = skarn::area_allocate(change->data, length);
        if (length > 0) std::memcpy(area, bytes, static_cast<size_t>(length));
        area[length] = 0;
    }
    return change;
}

segment_position locate_segment_(const skarn_model_struct &model, int64_t offset) noexcept {
    const skarn::segment_tree &segments = model.model_segments;
    segment_position found;
    found.at = segments.find(offset);
    if (segments.has_skews()) {
        // Offsets written by hand: a segment up to the one found that does not
        // start where the one before it ends breaks the model.
        size_t skewed = 0;
        int64_t skew = 0;
        if (segments.first_skew_before(segments.index_of(found.at), skewed, skew)) {
            found.broken = true;
            found.got = segments[skewed].computed_offset;
            found.expected = found.got - skew;
        }
    }
    return found;
}

namespace {

// Reads of a level's file during one fill, gathered. Behind many edits a
// fill meets many short file-backed pieces which, in content order, follow
// one another in the file with small gaps where bytes were deleted or
// overwritten. One positional scatter read serves a run of them: each piece's
// bytes land straight at its place in the segment, the bytes of a small gap
// in a scratch area. A run ends at a gap too large to read through, at a
// piece that goes back in the file, or when the list of stretches is full.
class file_gather {
public:
    explicit file_gather(const skarn_model_struct &model) noexcept : model_(model) {}

    // Queues `count` bytes at `position` of the file for `out`; false when a
    // read made to free room failed.
    bool add(int64_t position, int64_t count, uint8_t *out) noexcept {
        if (count <= 0) return true;
        if (stretches_ > 0) {
            const int64_t gap = position - next_position_;
            const bool through = gap >= 0 && gap <= gap_limit && stretches_ + 2 <= max_stretches;
            if (!through) {
                if (!flush()) return false;
            } else if (gap > 0) {
                queue(scratch_, gap);
            }
        }
        if (stretches_ == 0) {
            if (position < 0) return failed_ = out, false;
            first_position_ = position;
        }
        queue(out, count);
        next_position_ = position + count;
        return true;
    }

    // Reads everything queued; false unless every byte arrives (a file
    // shorter than its model, or a failing read).
    bool flush() noexcept {
        int at = 0;
        int64_t position = first_position_;
        while (at < stretches_) {
            const ssize_t got = preadv(model_.file.fd, list_ + at, std::min(stretches_ - at, max_stretches),
                                       static_cast<off_t>(position));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                // Where the content stops: the first piece not read in full.
                while (at < stretches_ && is_scratch(list_[at].iov_base)) ++at;
                failed_ = at >= stretches_ ? nullptr
                          : resumed_ != nullptr ? resumed_
                                                : static_cast<uint8_t *>(list_[at].iov_base);
                stretches_ = 0;
                return false;
            }
            position += got;
            // Steps over the stretches filled; a partly filled one is resumed.
            for (auto rest = static_cast<size_t>(got); rest > 0;) {
                if (rest >= list_[at].iov_len) {
                    rest -= list_[at].iov_len;
                    ++at;
                    resumed_ = nullptr;
                } else {
                    if (resumed_ == nullptr) resumed_ = static_cast<uint8_t *>(list_[at].iov_base);
                    list_[at].iov_base = static_cast<uint8_t *>(list_[at].iov_base) + rest;
                    list_[at].iov_len -= rest;
                    rest = 0;
                }
            }
        }
        stretches_ = 0;
        resumed_ = nullptr;
        return true;
    }

    // After a failure: where the first piece not read in full was to go.
    uint8_t *failed_at() const noexcept { return failed_; }

private:
    static constexpr int max_stretches = 256;  // within every system's IOV_MAX
    static constexpr int64_t gap_limit = int64_t{4} << 10;

    bool is_scratch(const void *at) const noexcept {
        const auto *byte = static_cast<const uint8_t *>(at);
        return byte >= scratch_ && byte < scratch_ + gap_limit;
    }

    void queue(uint8_t *out, int64_t count) noexcept {
        list_[stretches_].iov_base = out;
        list_[stretches_].iov_len = static_cast<size_t>(count);
        ++stretches_;
    }

    const skarn_model_struct &model_;
    int stretches_ = 0;
    int64_t first_position_ = 0;
    int64_t next_position_ = 0;
    uint8_t *failed_ = nullptr;
    uint8_t *resumed_ = nullptr;  // start of the stretch being resumed after a short read
    iovec list_[max_stretches];
    uint8_t scratch_[gap_limit];
};

// Behind many edits most pieces are short and the bytes of the edits they
// show lie all over the heap: asking for the bytes of a piece some steps
// ahead lets those memory loads overlap instead of stalling one by one. The
// piece holds their address, so the request waits for nothing.
void prefetch_ahead(const skarn::segment_tree::cursor &at) noexcept {
    constexpr int distance = 16;
    const skarn::segment_tree::leaf *leaf = at.where;
    int k = at.index + distance;
    if (k >= leaf->count) {
        k -= leaf->count;
        leaf = leaf->next;
        if (leaf == nullptr || k >= leaf->count) return;
    }
    const skarn::piece &far = leaf->pieces[k];
    if (!far.reads_file()) __builtin_prefetch(far.bytes());
}

}  // namespace

int read_content_(const skarn_session_struct *session, int64_t start, uint8_t *out, int64_t capacity,
                  int64_t &length, const char *caller) noexcept {
    length = 0;
    if (start < 0) return -1;
    const skarn_model_struct &model = session->current();
    const skarn::segment_tree &segments = model.model_segments;
    if (segments.empty()) return 0;
    if (!model.file_intact()) {
        SKARN_LOG_AS(caller,
                     "'" << model.file_path << "' was changed by another program while the session read it in place");
        return -1;
    }

    // One descent to the segment that holds `start` (on a boundary the
    // earlier one, which contributes no bytes), then in-order steps.
    const segment_position found = locate_segment_(model, start);
    if (found.broken) {
        // Logged under the name of the interface function that met the fault.
        print_model_segments_(&model, std::clog);
        SKARN_LOG_AS(caller, "break in model continuity, expected: " << found.expected << ", got: " << found.got);
        std::abort();
    }
    skarn::segment_tree::cursor at = found.at;
    if (segments.at_end(at)) return -1;
    file_gather file(model);

    int64_t delta = start - at.start;
    for (; !segments.at_end(at) && length < capacity; segments.advance(at), delta = 0) {
        prefetch_ahead(at);
        const skarn::piece &piece = *at;
        const int64_t count = std::min(piece.length - delta, capacity - length);
        switch (piece.reads_file() ? skarn::SEGMENT_READ : skarn::SEGMENT_INSERT) {
            case skarn::SEGMENT_INSERT:
                if (count > 0) std::memcpy(out + length, piece.bytes() + delta, static_cast<size_t>(count));
                break;
            case skarn::SEGMENT_READ:
                if (!file.add(piece.file_position() + delta, count, out + length)) {
                    if (file.failed_at() != nullptr) length = file.failed_at() - out;
                    return -1;
                }
                break;
            default: SKARN_FATAL("Unhandled model segment kind");
        }
        length += count;
    }
    if (!file.flush()) {
        if (file.failed_at() != nullptr) length = file.failed_at() - out;
        return -1;
    }
    return 0;
}

int populate_data_segment_(const skarn_session_struct *session, skarn_segment_struct *segment) noexcept {
    segment->length = 0;
    int64_t start = 0;
    if (__builtin_add_overflow(segment->offset, segment->offset_adjustment, &start) || start < 0) return -1;
    // Content without segments leaves the segment's bytes as they are.
    if (session->current().model_segments.empty()) return 0;
    uint8_t *out = segment->bytes();
    if (read_content_(session, start, out, segment->abs_capacity(), segment->length, __func__) != 0) return -1;
    out[segment->length] = 0;
    return 0;
}

void print_model_segments_(const skarn_model_struct *model, std::ostream &out) noexcept {
    try {
        for (const auto &piece : model->model_segments) {
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
