// The journal of a session: an append-only file of the operations that
// changed the session, with the bytes of its edits, from which a session
// killed on the way is rebuilt. The format and the order of writes and syncs
// are stated at the top of session_journal.cpp.
#ifndef SKARN_IO_SESSION_JOURNAL_HPP
#define SKARN_IO_SESSION_JOURNAL_HPP

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_area.hpp"
#include "io/handles.hpp"
#include "io/level_file.hpp"
#include "io/mapped_bytes.hpp"

namespace skarn {

// What a record says was done.
enum class journal_op : uint8_t {
    edit = 1,                // an insert, overwrite or delete, with its bytes
    undo = 2,                // one undo (a whole transaction)
    redo = 3,                // one redo
    clear = 4,               // the history cleared
    transaction = 5,         // the transaction flags set to `kind`
    checkpoint = 6,          // a checkpoint level over the file at `path`; kind 1: a transform's
    transform = 7,           // the top level's file replaced by the transformed file at `path`
    destroy_checkpoint = 8,  // the top level dropped
    save = 9,                // the caller's file saved over: its new identity, the range saved
    transform_failed = 10,   // the transform's checkpoint stays, untransformed
    replaced = 11,           // a checkpoint level of other content (a replace-all's) over the file at `path`
};

// What the journal's header records of the session.
struct journal_header {
    int32_t options_flags = 0;  // SESSION_OPT_* bits the session was made with
    std::string file_path;      // the caller's file, absolute; empty for a session over nothing
    std::string base_path;      // the private copy the base level reads; empty when read in place
    file_identity identity;     // the caller's file as the session found it
};

// What a save over the caller's file did, as the journal records it. When
// the base level reads that file in place, the save changed what it reads
// (`base_updated`): rewritten in place, the level's original bytes now lie
// where `view` says, in the file or in the kept file `kept_path`; replaced
// by rename, the old file goes on under the kept name `base_path`.
struct journal_save {
    file_identity identity;  // the caller's file after the save
    int64_t offset = 0;      // the range of the content saved
    int64_t length = 0;
    bool base_updated = false;
    bool base_lost = false;  // replaced by rename, and the old file could not be kept
    bool rebased = false;    // the level reads the new file as it is: `original_size` bytes
    file_identity base_identity;
    int64_t original_size = 0;
    std::string base_path;
    std::string kept_path;
    int64_t kept_size = 0;
    std::vector<view_span> view;
};

// One record, as read back. `bytes` and `path` point into the journal's
// mapping and live as long as the journal.
struct journal_record {
    journal_op op{};
    uint8_t kind = 0;  // edit: CHANGE_*; transaction: the flags
    int64_t offset = 0;
    int64_t length = 0;
    const uint8_t *bytes = nullptr;  // edit: `length` bytes and a 0 byte; null for a delete
    std::string_view path;           // checkpoint, transform
    journal_save save;               // save
};

// A session's journal, open for appending.
//
// Invariants:
//   1. The file holds a header and whole records only, up to end_: a record
//      is written with one write at end_, and a write that fails is cut off
//      again before anything else is written.
//   2. While the object lives it holds an exclusive flock on the file: a
//      journal that can be locked belongs to no live session.
//   3. Once a record could not be written the journal takes no more
//      (broken_): it then tells a state the session was in, never a mix.
class session_journal {
public:
    // Edits of at least this many bytes are read back from the journal
    // instead of being copied into memory.
    static constexpr int64_t mapped_threshold = 64;
    static_assert(!area_is_inline(mapped_threshold), "bytes read back from the journal are never kept inline");

    // A new journal in `directory`, empty until start() writes its header:
    // the files of its session are named with its file_tag() before. Null,
    // logged, on failure. A journal never started is removed when it goes.
    static std::unique_ptr<session_journal> create(const std::string &directory, int32_t sync_ms);
    // Writes the header describing the session; false, logged, on failure.
    bool start(const journal_header &header);
    // The journal at `path`, to resume its session: null, logged, when it
    // cannot be opened, a live session holds it, or its header is damaged.
    static std::unique_ptr<session_journal> open(const char *path, int32_t sync_ms);

    session_journal(const session_journal &) = delete;
    session_journal &operator=(const session_journal &) = delete;
    ~session_journal();

    const journal_header &header() const noexcept { return header_; }
    const std::string &path() const noexcept { return path_; }
    // "j.<the journal's own six characters>.": the tag in the names of the
    // files its session makes (".Skarnpad-j.ABCDEF.chk.1.XXXXXX").
    const char *file_tag() const noexcept { return file_tag_.c_str(); }
    // Records of a new file are synced: a file the journal names must be
    // made durable before its record is written.
    bool syncs() const noexcept { return sync_ms_ != 0; }

    // Calls `each` with every whole record in order, and stops at the first
    // one cut short or failing its checksum, or when `each` returns false
    // (the result is then false). The journal goes on after the last record
    // read. Throws std::bad_alloc.
    bool read_records(const std::function<bool(const journal_record &)> &each);

    // While replaying, nothing is written and every record call succeeds.
    void set_replaying(bool replaying) noexcept { replaying_ = replaying; }

    // Writes the record of an edit. True when written; `*stored` is then
    // where its bytes can be read in the journal, or null (a delete, a short
    // edit or a mapping that failed: the bytes are copied then). While
    // replaying, `bytes` is already in the journal and comes back as is.
    bool record_edit(uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length,
                     const uint8_t **stored) noexcept;
    // Writes a record with no bytes (undo, redo, clear, transaction,
    // destroy_checkpoint); false, logged, on failure.
    bool record(journal_op op, uint8_t kind = 0) noexcept;
    // Writes a checkpoint or transform record naming `path`, and keeps that
    // file until the journal is removed.
    bool record_file(journal_op op, const std::string &path, uint8_t kind = 0) noexcept;
    // Writes the record of a save over the caller's file, and keeps the
    // files it names.
    bool record_save(const journal_save &save) noexcept;

    // A file of the session kept until the journal is removed. Throws std::bad_alloc.
    void keep_file(std::string path) { kept_files_.push_back(std::move(path)); }
    // Removes the journal, then every file it kept: the session ended.
    void remove_all() noexcept;
    // Removes the files tagged as its session's that it does not keep: made
    // by a call the process died in. Throws std::bad_alloc.
    void remove_unkept_files();

private:
    session_journal() = default;
    bool append(const uint8_t *head, int64_t head_size, const uint8_t *bytes, int64_t length) noexcept;
    void sync_as_asked() noexcept;

    std::string path_;
    std::string file_tag_;
    unique_fd fd_;
    bool started_ = false;
    journal_header header_;
    uint64_t nonce_ = 0;
    uint32_t checksum_seed_ = 0;  // the CRC-32C of the nonce
    int64_t end_ = 0;             // where the next record goes
    int32_t sync_ms_ = 0;
    std::chrono::steady_clock::time_point last_sync_{};
    bool replaying_ = false;
    bool broken_ = false;
    std::vector<std::string> kept_files_;
    mapped_bytes mapped_;
};

// The newest journal in `directory` of a session over `file_path` (both
// absolute) that no live session holds, into `found`: 1 found, 0 none, -1
// when the directory cannot be read. Throws std::bad_alloc.
int find_journal(const std::string &file_path, const std::string &directory, std::string &found);

// Removes, in `directory`, what journaled sessions killed on the way left
// that no journal can use: a journal without a whole header that no live
// session holds, and files tagged for a journal that is gone.
void remove_abandoned_journal_files(const std::string &directory) noexcept;

// Removes the journal at `path` left behind by a session, and every file it
// names: 0, or -1 (logged) when it is not a journal or a live session holds it.
int remove_journal(const char *path);

// A file the journal at hand keeps, opened again for reading (and writing,
// with `writable`); none, logged, when it cannot be. Throws std::bad_alloc.
unique_fd open_kept_file(const std::string &path, bool writable = false);

// The caller's file of the journal at `path`, into `file_path`: 1 when no
// session holds it, 2 when a live session does, 0 when it is not a journal
// (or cannot be read).
int describe_journal(const char *path, std::string &file_path);

}  // namespace skarn

#endif  // SKARN_IO_SESSION_JOURNAL_HPP
