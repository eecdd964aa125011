// The journal of an in-place save: what it holds, writing it, carrying out
// the save it describes, and recovering a save that was interrupted. The
// format and the order of writes and syncs are stated at the top of
// save_journal.cpp.
#ifndef SKARN_IO_SAVE_JOURNAL_HPP
#define SKARN_IO_SAVE_JOURNAL_HPP

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "io/handles.hpp"

namespace skarn {

// `length` bytes of the file at `source` that the new content has at
// `target` (source != target).
struct move_run {
    int64_t source = 0;
    int64_t target = 0;
    int64_t length = 0;
};

// `length` new bytes at `target`, held in the journal.
struct data_run {
    int64_t target = 0;
    int64_t length = 0;
};

// What an in-place save does to the file: from `old_size` bytes to
// `new_size`, the moves and the new bytes, both in content order (sources
// and targets increasing). Stretches of the new content in neither keep the
// bytes the file has there.
struct save_plan {
    int64_t old_size = 0;
    int64_t new_size = 0;
    std::vector<move_run> moves;
    std::vector<data_run> data;

    int64_t data_bytes() const noexcept;
};

// A move split into bounded chunks, in the order they must run: moves to the
// right from the last backwards (each from its end), then moves to the left
// from the first (each from its front), so that no chunk writes over bytes
// a later chunk still reads.
struct move_chunk {
    int64_t source = 0;
    int64_t target = 0;
    int64_t length = 0;
    // Its write lands on its own source: the old bytes go to the journal first.
    bool overlaps_source() const noexcept;
};
std::vector<move_chunk> chunks_of(const std::vector<move_run> &moves, int64_t chunk_bytes);

// Where the journal of an in-place save of `file` (resolved, its state in
// `info`) lives: ".<name>.skarn-journal" beside it, or for a block device
// "/var/tmp/.skarn-dev-<major>-<minor>.skarn-journal". Empty when the name
// would be too long.
std::string journal_path_of(const std::string &file, const struct stat &info);

// The results of carrying out a journal: done; a record of the journal or a
// write of the file failed (the journal stays, for recovery); or done but
// the journal's removal may not be durable.
enum class journal_result { ok, journal_failed, file_failed, not_removed };

// A journal being written for one save. It is removed when the object goes
// unless the save completed or recovery must finish it (kept()).
class journal_writer {
public:
    journal_writer() = default;
    ~journal_writer();
    journal_writer(const journal_writer &) = delete;
    journal_writer &operator=(const journal_writer &) = delete;

    // Creates the journal at `path` (exclusively, no link followed, mode
    // 0600), locks it against recovery while the save runs, and writes its header for `plan` over the file `info`
    // describes. False, logged, on failure.
    bool begin(const std::string &path, const struct stat &info, const save_plan &plan, int64_t chunk_bytes);
    // Appends the new bytes of the next data run, in pieces of any size.
    bool put_data(const uint8_t *bytes, int64_t count) noexcept;
    // Ends the current data run (its checksum is taken).
    void end_data_run() noexcept;
    // Writes the plan and makes the journal and its directory durable: the
    // commit point. False, logged, on failure (the file is untouched).
    bool commit();
    // Carries out the committed save on the file open read-write as
    // `file_fd`, then removes the journal. On file_failed the journal stays,
    // for recovery.
    journal_result apply(int file_fd);

private:
    bool write_all(const uint8_t *bytes, int64_t count) noexcept;
    // Makes sure a journal that is given up can never be applied.
    void abandon() noexcept;

    std::string path_;
    unique_fd fd_;
    bool owned_ = false;  // the journal is ours to remove
    int64_t written_ = 0;
    uint64_t nonce_ = 0;
    int64_t chunk_bytes_ = 0;
    save_plan plan_;
    std::vector<uint32_t> data_checksums_;
    uint32_t running_checksum_ = 0;
};

// What recovery did: nothing to recover, the old or the new content, or a
// failure (logged; the journal stays).
enum class recovery_result { nothing, old_content, new_content, failed };

// Recovers the file at `path` from the journal an interrupted in-place save
// left (see skarn_util_recover_file). Throws std::bad_alloc.
recovery_result recover_file(const char *path);

}  // namespace skarn

#endif  // SKARN_IO_SAVE_JOURNAL_HPP
