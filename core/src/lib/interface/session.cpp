// Session accessors, reading, the model check, and the history's queries,
// transactions and pausing.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#if defined(__SSE2__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include "analysis/character_counts_def.hpp"
#include "impl_/internal_fun.hpp"
#include "analysis/cpu_features.hpp"
#include "impl_/log.hpp"
#include "impl_/segment_def.hpp"
#include "impl_/session_def.hpp"
#include "skarn_edit.hpp"

using skarn::flag_changes_paused;
using skarn::flag_transaction_has_change;
using skarn::flag_transaction_open;

void skarn_session_notify(const skarn_session_struct *session, int32_t event, const void *event_ptr) noexcept {
    if (session->event_cbk != nullptr && (session->event_interest & event) != 0) {
        const skarn::callback_scope running(session);
        session->event_cbk(session, event, event_ptr);
    }
}

skarn_session_event_cbk_t skarn_session_get_event_cbk(const skarn_session_struct *session) noexcept {
    return session->event_cbk;
}

void *skarn_session_get_user_data_ptr(const skarn_session_struct *session) noexcept { return session->user_data_ptr; }

int32_t skarn_session_get_event_interest(const skarn_session_struct *session) noexcept {
    return session->event_interest;
}

int32_t skarn_session_set_event_interest(skarn_session_struct *session, int32_t interest) noexcept {
    session->event_interest = interest;
    return session->event_interest;
}

const char *skarn_session_get_file_path(const skarn_session_struct *session) noexcept {
    const std::string &path = session->current().file_path;
    return path.empty() ? nullptr : path.c_str();
}

const char *skarn_session_get_checkpoint_directory(const skarn_session_struct *session) noexcept {
    return session->checkpoint_directory.c_str();
}

int64_t skarn_session_get_checkpoint_directory_length(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->checkpoint_directory.size());
}

int64_t skarn_session_get_num_checkpoints(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->models.size()) - 1;
}

int64_t skarn_session_get_num_viewports(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->viewports.size());
}

int64_t skarn_session_get_num_search_contexts(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->search_contexts.size());
}

int64_t skarn_session_get_computed_file_size(const skarn_session_struct *session) noexcept {
    return session->current().computed_size();
}

int skarn_session_get_segment(const skarn_session_struct *session, skarn_segment_struct *segment,
                              int64_t offset) noexcept {
    segment->offset = offset;
    return populate_data_segment_(session, segment);
}

int64_t skarn_session_read(const skarn_session_struct *session, int64_t offset, uint8_t *buffer,
                           int64_t length) noexcept {
    if (session == nullptr || buffer == nullptr || length < 0) {
        SKARN_LOG("null session or buffer, or negative length: " << length);
        return -1;
    }
    const int64_t size = session->current().computed_size();
    if (offset < 0 || offset > size) {
        SKARN_LOG("offset " << offset << " is outside the content (size " << size << ")");
        return -1;
    }
    if (offset == size || length == 0) return 0;
    int64_t copied = 0;
    if (read_content_(session, offset, buffer, length, copied, __func__) != 0) {
        SKARN_LOG("cannot read " << length << " bytes at offset " << offset);
        return -1;
    }
    return copied;
}

std::string skarn_session_get_segment_string(const skarn_session_struct *session, int64_t offset,
                                             int64_t length) noexcept {
    try {
        skarn_segment_struct *segment = skarn_segment_create(length);
        if (segment == nullptr) return {};
        skarn_session_get_segment(session, segment, offset);
        std::string result(reinterpret_cast<const char *>(segment->bytes()), static_cast<size_t>(segment->length));
        skarn_segment_destroy(segment);
        return result;
    } catch (...) {
        return {};
    }
}

int skarn_check_model(const skarn_session_struct *session) noexcept {
    // Every level's segments start again at offset 0 and must follow one
    // another without a gap, each within the bytes of its change (a read
    // change covers the level's file), and the tree below them must hold its
    // own invariants.
    for (const auto &model : session->models) {
        const char *why = nullptr;
        if (!model->model_segments.check_structure(&why)) {
            print_model_segments_(&session->current(), std::clog);
            return -1;
        }
        int64_t running = 0;
        for (const auto &piece : model->model_segments) {
            if (piece.computed_offset != running || piece.computed_length < 0 || piece.change_offset < 0 ||
                piece.change_offset + piece.computed_length > piece.change->length) {
                print_model_segments_(&session->current(), std::clog);
                return -1;
            }
            running += piece.computed_length;
        }
    }
    return 0;
}

// History queries.

int64_t skarn_session_get_num_changes(const skarn_session_struct *session) noexcept { return session->num_changes(); }

int64_t skarn_session_get_num_undone_changes(const skarn_session_struct *session) noexcept {
    return static_cast<int64_t>(session->current().changes_undone.size());
}

namespace {

// Runs of changes with the same transaction bit, counted over the lists of
// every level that `list_of` selects.
template <typename ListOf>
int64_t count_transactions(const skarn_session_struct *session, ListOf list_of) noexcept {
    int64_t count = 0;
    for (const auto &model : session->models) {
        const auto &list = list_of(*model);
        for (size_t i = 0; i < list.size(); ++i) {
            if (i == 0 || list[i]->transaction() != list[i - 1]->transaction()) ++count;
        }
    }
    return count;
}

}  // namespace

int64_t skarn_session_get_num_change_transactions(const skarn_session_struct *session) noexcept {
    return count_transactions(
        session, [](const skarn_model_struct &m) -> const auto & { return m.changes; });
}

int64_t skarn_session_get_num_undone_change_transactions(const skarn_session_struct *session) noexcept {
    return count_transactions(
        session, [](const skarn_model_struct &m) -> const auto & { return m.changes_undone; });
}

const skarn_change_struct *skarn_session_get_last_change(const skarn_session_struct *session) noexcept {
    const auto &changes = session->current().changes;
    return changes.empty() ? nullptr : changes.back().get();
}

const skarn_change_struct *skarn_session_get_last_undo(const skarn_session_struct *session) noexcept {
    const auto &undone = session->current().changes_undone;
    return undone.empty() ? nullptr : undone.back().get();
}

const skarn_change_struct *skarn_session_get_change(const skarn_session_struct *session, int64_t serial) noexcept {
    if (serial > 0) {
        if (serial > session->num_changes()) return nullptr;
        if (serial > session->num_changes_adjustment) {
            return session->current().changes[static_cast<size_t>(serial - session->num_changes_adjustment - 1)].get();
        }
        for (size_t level = 0; level + 1 < session->models.size(); ++level) {
            for (const auto &change : session->models[level]->changes) {
                if (change->serial == serial) return change.get();
            }
        }
        return nullptr;
    }
    if (serial < 0) {
        const auto &undone = session->current().changes_undone;
        for (auto it = undone.rbegin(); it != undone.rend(); ++it) {
            if ((*it)->serial == serial) return it->get();
        }
    }
    return nullptr;
}

// Transactions and pausing.

int skarn_session_get_transaction_bit_(const skarn_session_struct *session) noexcept {
    const auto &changes = session->current().changes;
    return changes.empty() ? 1 : (changes.back()->transaction() ? 1 : 0);
}

int skarn_session_begin_transaction(skarn_session_struct *session) noexcept {
    if (session->has_flag(flag_transaction_open)) return -1;
    session->flags |= flag_transaction_open;
    return 0;
}

int skarn_session_end_transaction(skarn_session_struct *session) noexcept {
    if (!session->has_flag(flag_transaction_open)) return -1;
    session->flags &= static_cast<uint8_t>(~(flag_transaction_open | flag_transaction_has_change));
    return 0;
}

int skarn_session_get_transaction_state(const skarn_session_struct *session) noexcept {
    if (!session->has_flag(flag_transaction_open)) return SESSION_TRANSACTION_NONE;
    return session->has_flag(flag_transaction_has_change) ? SESSION_TRANSACTION_IN_PROGRESS
                                                          : SESSION_TRANSACTION_OPENED;
}

void skarn_session_pause_changes(skarn_session_struct *session) noexcept {
    if (session->has_flag(flag_changes_paused)) return;
    session->flags |= flag_changes_paused;
    skarn_session_notify(session, SESSION_EVT_CHANGES_PAUSED, nullptr);
}

void skarn_session_resume_changes(skarn_session_struct *session) noexcept {
    if (!session->has_flag(flag_changes_paused)) return;
    session->flags &= static_cast<uint8_t>(~flag_changes_paused);
    skarn_session_notify(session, SESSION_EVT_CHANGES_RESUMED, nullptr);
}

int skarn_session_changes_paused(const skarn_session_struct *session) noexcept {
    return session->has_flag(flag_changes_paused) ? 1 : 0;
}

// Content analysis: byte-order marks, character counts and byte profiles of
// session ranges. The content is read in large windows, through one segment
// reused for every window, so memory use does not depend on the range's size
// and the engine is entered once per MiB rather than once per piece.

namespace {

constexpr int64_t analysis_piece_size = 512;
constexpr int64_t analysis_window_size = int64_t{1} << 20;  // a whole number of pieces
constexpr int byte_profile_size = 257;
constexpr int byte_profile_dos_eol_index = 256;

static_assert(analysis_window_size % analysis_piece_size == 0);

// Hands `visit` the content of [offset, offset + length) in windows of at
// most 1 MiB, in order. A range that runs past the end of the content stops
// at the end. The session's progress callback hears of each window and may
// cancel. Returns 0; 1 when a window cannot be read (the bytes before it were
// visited, then the readable pieces of the failed window, 512 bytes at a
// time), or when cancelled (logged as such under `caller`).
template <typename Visit>
int for_each_window(const skarn_session_struct *session, int64_t offset, int64_t length, int32_t operation,
                    const char *caller, Visit visit) noexcept {
    skarn_segment_struct *segment = skarn_segment_create(std::min(length, analysis_window_size));
    if (segment == nullptr) return 1;
    skarn::progress_meter progress = session->progress(operation, length);
    const int64_t piece_capacity = std::min(length, analysis_piece_size);
    int result = 0;
    while (length > 0) {
        segment->offset = offset;
        if (populate_data_segment_(session, segment) != 0) {
            // Piece by piece again, through a segment of the size a reading
            // by pieces uses, to visit every piece that can be read before
            // the one that cannot.
            if (skarn_segment_struct *piece = skarn_segment_create(piece_capacity)) {
                const int64_t end = offset + std::min(length, analysis_window_size);
                for (piece->offset = offset; piece->offset < end; piece->offset += piece->length) {
                    if (populate_data_segment_(session, piece) != 0 || piece->length <= 0) break;
                    visit(piece->bytes(), std::min(piece->length, end - piece->offset));
                }
                skarn_segment_destroy(piece);
            }
            result = 1;
            break;
        }
        const int64_t count = std::min(segment->length, length);
        if (count <= 0) break;
        visit(segment->bytes(), count);
        offset += count;
        length -= count;
        if (!progress.advance(count)) break;
    }
    if (result == 0 && !progress.finish()) {
        SKARN_LOG_AS(caller, "cancelled by the progress callback");
        result = 1;
    }
    skarn_segment_destroy(segment);
    return result;
}

}  // namespace

skarn_bom_t skarn_session_detect_BOM(const skarn_session_struct *session, int64_t offset) noexcept {
    skarn_segment_struct *segment = skarn_segment_create(4);
    if (segment == nullptr) return BOM_NONE;
    // The fill's result does not matter: detection looks at whatever bytes it
    // placed, none past the end of the content.
    segment->offset = offset;
    populate_data_segment_(session, segment);
    const auto length = static_cast<size_t>(std::max<int64_t>(segment->length, 0));
    const skarn_bom_t kind = skarn_util_detect_BOM_from_memory(segment->bytes(), length);
    skarn_segment_destroy(segment);
    return kind;
}

namespace {

// Whether the arguments of a character count are usable; on refusal the
// record is left reset with the kind, as the count itself would leave it.
// `length` 0 becomes the length to the end of the content.
bool character_count_range(const skarn_session_struct *session, skarn_character_counts_struct *counts, int64_t offset,
                           int64_t &length, skarn_bom_t bom) noexcept {
    skarn_character_counts_set_BOM(skarn_character_counts_reset(counts), bom);
    if (bom < BOM_UNKNOWN || bom > BOM_UTF32BE) {
        // Counting nothing once lets the counter report the kind, once.
        skarn_util_count_characters(nullptr, 0, counts);
        return false;
    }
    const int64_t size = skarn_session_get_computed_file_size(session);
    if (offset < 0 || offset > size || length < 0) return false;
    if (length == 0) length = size - offset;
    return true;
}

// Each 512-byte piece from the range's start is counted as a buffer of its
// own; windows hold whole pieces, so a piece never straddles two.
void count_pieces(const uint8_t *bytes, int64_t count, skarn_character_counts_struct *counts) noexcept {
    for (int64_t at = 0; at < count; at += analysis_piece_size) {
        const int64_t piece = std::min(analysis_piece_size, count - at);
        skarn_util_count_characters(bytes + at, static_cast<size_t>(piece), counts);
    }
}

#if defined(__SSE2__) && defined(__x86_64__)
// The CR LF pairs whose LF lies in [j, count) with whole vectors of `Lanes`
// bytes (`Load` reads one at an address, `Sum` adds up a vector of 8-bit
// counts); j moves on past the positions looked at. Each 8-bit lane takes at
// most 255 steps before the lanes are summed.
#define SKARN_COUNT_CRLF_BODY(Vec, Lanes, Load, Set1, Eq, And, Sub, Zero, Sum)             \
    const Vec cr = Set1('\r');                                                             \
    const Vec lf = Set1('\n');                                                             \
    int64_t pairs = 0;                                                                     \
    while (j + (Lanes) <= count) {                                                         \
        Vec lanes = Zero();                                                                \
        for (int step = 0; step < 255 && j + (Lanes) <= count; ++step, j += (Lanes)) {     \
            /* A match is all ones, -1: subtracting it adds one. */                        \
            lanes = Sub(lanes, And(Eq(Load(bytes + j - 1), cr), Eq(Load(bytes + j), lf))); \
        }                                                                                  \
        pairs += Sum(lanes);                                                               \
    }                                                                                      \
    return pairs;

__m128i load16(const uint8_t *at) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at)); }
int64_t sum16(__m128i lanes) noexcept {
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    return _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
}

int64_t count_crlf_sse2(const uint8_t *bytes, int64_t count, int64_t &j) noexcept {
    SKARN_COUNT_CRLF_BODY(__m128i, 16, load16, _mm_set1_epi8, _mm_cmpeq_epi8, _mm_and_si128, _mm_sub_epi8,
                          _mm_setzero_si128, sum16)
}

__attribute__((target("avx2"))) __m256i load32(const uint8_t *at) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
}
__attribute__((target("avx2"))) int64_t sum32(__m256i lanes) noexcept {
    const __m256i sums = _mm256_sad_epu8(lanes, _mm256_setzero_si256());
    return _mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) + _mm256_extract_epi64(sums, 2) +
           _mm256_extract_epi64(sums, 3);
}

__attribute__((target("avx2"))) int64_t count_crlf_avx2(const uint8_t *bytes, int64_t count, int64_t &j) noexcept {
    SKARN_COUNT_CRLF_BODY(__m256i, 32, load32, _mm256_set1_epi8, _mm256_cmpeq_epi8, _mm256_and_si256, _mm256_sub_epi8,
                          _mm256_setzero_si256, sum32)
}
#undef SKARN_COUNT_CRLF_BODY

#endif

// The CR LF pairs within `count` bytes. Without branches: the pairs are few
// among many bytes, and a search per line end costs more than looking at
// every pair. Whole vectors first, where the processor has them.
int64_t count_crlf(const uint8_t *bytes, int64_t count) noexcept {
    int64_t pairs = 0;
    int64_t j = 1;  // the position of the LF of the pair looked at
#if defined(__SSE2__) && defined(__x86_64__)
    pairs = skarn::cpu_has_avx2() ? count_crlf_avx2(bytes, count, j) : count_crlf_sse2(bytes, count, j);
#endif
    for (; j < count; ++j) pairs += (bytes[j - 1] == '\r') & (bytes[j] == '\n');
    return pairs;
}

// Byte counts of consecutive windows of one range, with the CR LF pairs among
// them: the previous byte carries over from one window to the next, so a pair
// split across windows still counts; a LF that opens the range never does.
//
// Long ranges are counted two bytes at a time, into tables indexed by the
// 16-bit value of each aligned pair: half the increments of counting single
// bytes, which is what bounds a histogram's speed (about twice as fast on
// text; a little slower on random bytes, whose 65536 pairs do not stay in the
// first-level cache). The pair counts are folded
// into the byte counts by flush(), and before they could overflow.
class profile_counter {
public:
    // Ranges from this length on are counted in pairs; below it the tables
    // would cost more to clear and fold than they save.
    static constexpr int64_t pair_threshold = int64_t{1} << 18;

    profile_counter(int64_t *profile, int64_t length) noexcept : profile_(profile) {
        if (length >= pair_threshold) {
            pairs_ = static_cast<uint32_t *>(std::calloc(pair_values, sizeof(uint32_t)));
        }
    }
    ~profile_counter() { std::free(pairs_); }
    profile_counter(const profile_counter &) = delete;
    profile_counter &operator=(const profile_counter &) = delete;

    void add(const uint8_t *bytes, int64_t count) noexcept {
        if (pairs_ != nullptr) {
            add_pairs(bytes, count);
        } else {
            add_bytes(bytes, count);
        }
        if (previous_ == '\r' && bytes[0] == '\n') ++dos_eols_;
        dos_eols_ += count_crlf(bytes, count);
        previous_ = bytes[count - 1];
    }

    // Folds the pair counts into the byte counts; called whether or not every
    // window was counted, so that a partial profile holds what was read.
    void flush() noexcept {
        if (pairs_ == nullptr) return;
        for (uint32_t value = 0; value < pair_values; ++value) {
            const uint32_t count = pairs_[value];
            if (count == 0) continue;
            // Pairs are loaded in the host's order; the sum over both bytes
            // is the same either way.
            profile_[value & 0xFF] += count;
            profile_[value >> 8] += count;
        }
        std::memset(pairs_, 0, pair_values * sizeof(uint32_t));
        unflushed_ = 0;
    }

    // Stores the pairs once every window was counted.
    void finish() noexcept { profile_[byte_profile_dos_eol_index] = dos_eols_; }

private:
    static constexpr uint32_t pair_values = 1u << 16;

    void add_pairs(const uint8_t *bytes, int64_t count) noexcept {
        // No table entry may pass 2^32 - 1: a flush every 2^32 bytes keeps
        // every entry below 2^31.
        if (unflushed_ + count > (int64_t{1} << 32)) flush();
        unflushed_ += count;
        // One table: more tables taking turns measured slower here, as they
        // spread the hot entries of text over more cache lines.
        uint32_t *const table = pairs_;
        int64_t i = 0;
        for (; i + 16 <= count; i += 16) {
            uint64_t a = 0;
            uint64_t b = 0;
            std::memcpy(&a, bytes + i, 8);
            std::memcpy(&b, bytes + i + 8, 8);
            ++table[a & 0xFFFF];
            ++table[(a >> 16) & 0xFFFF];
            ++table[(a >> 32) & 0xFFFF];
            ++table[a >> 48];
            ++table[b & 0xFFFF];
            ++table[(b >> 16) & 0xFFFF];
            ++table[(b >> 32) & 0xFFFF];
            ++table[b >> 48];
        }
        for (; i < count; ++i) ++profile_[bytes[i]];
    }

    void add_bytes(const uint8_t *bytes, int64_t count) noexcept {
        // Four tables take turns; a window's counts fit 32 bits.
        uint32_t tables[4][256] = {};
        int64_t i = 0;
        for (; i + 4 <= count; i += 4) {
            ++tables[0][bytes[i]];
            ++tables[1][bytes[i + 1]];
            ++tables[2][bytes[i + 2]];
            ++tables[3][bytes[i + 3]];
        }
        for (; i < count; ++i) ++tables[0][bytes[i]];
        for (int value = 0; value < 256; ++value) {
            profile_[value] += int64_t{tables[0][value]} + tables[1][value] + tables[2][value] + tables[3][value];
        }
    }

    int64_t *profile_;
    uint32_t *pairs_ = nullptr;  // null: counted a byte at a time
    int64_t unflushed_ = 0;      // bytes counted into the pair tables since the last flush
    uint8_t previous_ = 0;
    int64_t dos_eols_ = 0;
};

}  // namespace

namespace {

// Marks a counts record as being filled for as long as it lives, so that a
// progress callback cannot release it under the counting.
class filling_scope {
public:
    explicit filling_scope(skarn_character_counts_struct *counts) noexcept : counts_(counts) { ++counts_->filling; }
    ~filling_scope() { --counts_->filling; }
    filling_scope(const filling_scope &) = delete;
    filling_scope &operator=(const filling_scope &) = delete;

private:
    skarn_character_counts_struct *counts_;
};

}  // namespace

int skarn_session_character_counts(const skarn_session_struct *session, skarn_character_counts_struct *counts,
                                   int64_t offset, int64_t length, skarn_bom_t bom) noexcept {
    if (counts == nullptr) return 1;
    if (!character_count_range(session, counts, offset, length, bom)) return 1;
    if (length == 0) return 0;
    const filling_scope filling(counts);
    return for_each_window(session, offset, length, PROGRESS_OP_CHARACTER_COUNTS, __func__,
                           [counts](const uint8_t *bytes, int64_t count) { count_pieces(bytes, count, counts); });
}

int skarn_session_byte_frequency_profile(const skarn_session_struct *session, skarn_byte_frequency_profile_t profile,
                                         int64_t offset, int64_t length) noexcept {
    if (profile == nullptr) return 1;
    std::fill(profile, profile + byte_profile_size, 0);
    const int64_t size = skarn_session_get_computed_file_size(session);
    if (length == 0) {
        if (offset < 0) return 1;
        length = size - offset;
    }
    if (length <= 0) return 0;
    if (offset < 0 || offset > size) return 1;

    profile_counter counter(profile, length);
    const int result = for_each_window(session, offset, length, PROGRESS_OP_BYTE_PROFILE, __func__,
                                       [&counter](const uint8_t *bytes, int64_t count) { counter.add(bytes, count); });
    counter.flush();
    if (result == 0) counter.finish();
    return result;
}

int skarn_session_character_counts_and_profile(const skarn_session_struct *session,
                                               skarn_character_counts_struct *counts,
                                               skarn_byte_frequency_profile_t profile, int64_t offset, int64_t length,
                                               skarn_bom_t bom) noexcept {
    if (counts == nullptr || profile == nullptr) return 1;
    std::fill(profile, profile + byte_profile_size, 0);
    if (!character_count_range(session, counts, offset, length, bom)) return 1;
    if (length == 0) return 0;

    // Both counters see each window while it is still in the cache.
    const filling_scope filling(counts);
    profile_counter counter(profile, length);
    const int result = for_each_window(session, offset, length, PROGRESS_OP_CHARACTER_COUNTS, __func__,
                                       [counts, &counter](const uint8_t *bytes, int64_t count) {
                                           count_pieces(bytes, count, counts);
                                           counter.add(bytes, count);
                                       });
    counter.flush();
    if (result == 0) counter.finish();
    return result;
}

int skarn_session_byte_frequency_profile_size(void) noexcept { return byte_profile_size; }

int skarn_session_byte_frequency_profile_dos_eol_index(void) noexcept { return byte_profile_dos_eol_index; }
