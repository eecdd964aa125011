// Character counting in one of the encodings a byte-order-mark kind selects:
// characters of each width and the invalid bytes, of a buffer or of a stream
// of buffers counted as one run of bytes. Vector blocks where the processor
// has them, byte by byte otherwise, with equal counts on every input.
#ifndef SKARN_ANALYSIS_CHARACTER_COUNTER_HPP
#define SKARN_ANALYSIS_CHARACTER_COUNTER_HPP

#include <cstddef>
#include <cstdint>

#include "analysis/character_counts_def.hpp"

namespace skarn {

// How a counter classifies bytes: one character at a time (the reference),
// or 64-byte blocks with SSE2 or AVX2 vectors.
enum class count_path { bytes, sse2, avx2 };

// The fastest path this processor offers.
count_path fastest_count_path() noexcept;

// Whether `path` can run on this processor.
bool count_path_available(count_path path) noexcept;

// Counts the `length` bytes at `data` (null only when `length` is 0) in the
// encoding of `counts.bom`, which must be a known kind (BOM_UNKNOWN and
// BOM_NONE count as UTF-8), and adds to the counts. A leading mark of the
// kind is recorded as bom_bytes and left out of the counts. `path` must be
// available.
void count_characters(const uint8_t *data, size_t length, skarn_character_counts_struct &counts,
                      count_path path = fastest_count_path()) noexcept;

// Counts consecutive buffers as one run of bytes, as count_characters would
// count them joined: a character cut between two buffers counts as that
// character, and a mark is recognised at the start of the first one only.
// At most four bytes are held between buffers; finish() counts them.
class character_stream {
public:
    // Adds to `counts` in the encoding of its kind, which must be known.
    explicit character_stream(skarn_character_counts_struct &counts, count_path path = fastest_count_path()) noexcept;

    // Counts the next `length` bytes at `data` (null only when `length` is 0).
    void add(const uint8_t *data, size_t length) noexcept;

    // Counts the bytes held back as the end of the run; call once, last.
    void finish() noexcept;

private:
    // Takes bytes from the front of the buffer into the held ones until a
    // mark could be recognised; whether counting may go on.
    bool take_mark(const uint8_t *&data, size_t &length) noexcept;
    // Counts the held bytes with enough of the buffer after them to classify
    // every character they begin; returns how many bytes of the buffer that used.
    size_t count_held(const uint8_t *data, size_t length) noexcept;
    // Counts every character of the buffer that the bytes at hand classify,
    // from `from` on, and holds the rest.
    void count_and_hold(const uint8_t *data, size_t from, size_t length) noexcept;

    skarn_character_counts_struct &counts_;
    count_path path_;
    bool started_ = false;
    uint8_t held_[8] = {};
    size_t held_count_ = 0;
};

}  // namespace skarn

#endif  // SKARN_ANALYSIS_CHARACTER_COUNTER_HPP
