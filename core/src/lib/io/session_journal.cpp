// The journal of a session.
//
// Layout (little-endian, as the machines the library runs on):
//
//   Header
//      0  8  magic "SKSESJNL"
//      8  4  format version, 1
//     12  4  header size in bytes, this field's header included (H)
//     16  8  nonce, random, the seed of every record's checksum
//     24  4  SESSION_OPT_* flags of the session      28  4  zero
//     32 64  the caller's file as found: known, device, inode, size,
//            modified seconds and nanoseconds, changed seconds and nanoseconds
//            (8 bytes each)
//     96  4  length of the caller's path (F)        100  4  length of the base path (B)
//    104  F  the caller's path, absolute; B the base level's private copy
//            (empty when the file is read in place)
//    H-4  4  CRC-32C of the header's bytes before it
//
//   Records, one after another from H:
//      0  8  record size in bytes, all fields included (S)
//      8  1  operation (journal_op)   9  1  kind   10  6  zero
//     16     the operation's fields:
//            edit: offset (8), length (8), the bytes (length; none for a
//                  delete) and a 0 byte after them (for a delete too)
//            checkpoint, transform, replaced: path length (4), the path (kind 1
//                  marks a transform's checkpoint: a journal that ends
//                  after it ends in the middle of the transform)
//            save: the caller's file's new identity (64, as in the
//                  header), the offset and length saved (8 each), flags
//                  (1: base_updated, 2: rebased, 4: base_lost; 8), the
//                  base level's identity (64), its original size and its
//                  kept file's size (8 each), the base path and the kept
//                  path (length (4) and bytes each), the count of view
//                  spans (8) and the spans: start, length, position, kept
//                  (8 each)
//            the others: nothing
//    S-4  4  CRC-32C of the nonce, then of the record's bytes before it
//
// Order of writes and syncs:
//   1. The journal is created exclusively in the checkpoint directory (no
//      link followed, mode 0600) and locked (flock, exclusive) for as long
//      as its session lives; the header is written with one write. When the
//      session syncs (journal_sync_ms != 0) the journal and its directory
//      are synced now, and so is the private copy before it.
//   2. Each operation that changes the session writes its record with one
//      write before it returns: an edit, undo, redo, clear or transaction
//      change before it takes effect (it cannot fail once its checks are
//      passed), a checkpoint, transform or save once its file is complete
//      (and synced first when the session syncs), so that a record never
//      names a file that is not whole.
//   3. Syncs (fdatasync) follow journal_sync_ms: never for 0 (a process that
//      dies loses nothing, a power cut may lose the newest records), after
//      each record for -1, else after the first record written at least N ms
//      after the last sync.
//   4. A write that fails is cut off the file again; the journal then takes
//      no more records and the operations that need one are refused.
//   5. Reading stops at the first record cut short or failing its checksum:
//      a resumed session cuts the file there and appends after it.
//   6. A session that ends removes the journal first, then the files it
//      kept, so no journal ever names a file already gone.
#include "io/session_journal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log.hpp"
#include "io/crc32c.hpp"
#include "io/private_files.hpp"
#include "skarn_edit/change.h"
#include "skarn_edit/filesystem.h"

namespace skarn {
namespace {

constexpr char header_magic[8] = {'S', 'K', 'S', 'E', 'S', 'J', 'N', 'L'};
constexpr uint32_t format_version = 1;
constexpr int64_t fixed_header_bytes = 104;
constexpr int64_t record_head_bytes = 16;
constexpr char journal_prefix[] = ".Skarnpad-journal.";

// Writes a record's first 16 bytes at `head`: its size, operation and kind.
void put_record_head(uint8_t *head, int64_t size, journal_op op, uint8_t kind) noexcept {
    std::memset(head, 0, record_head_bytes);
    std::memcpy(head, &size, sizeof size);
    head[8] = static_cast<uint8_t>(op);
    head[9] = kind;
}

// Appends fixed-size values to a byte buffer.
class encoder {
public:
    template <typename T>
    encoder &put(T value) {
        const size_t at = bytes.size();
        bytes.resize(at + sizeof value);
        std::memcpy(bytes.data() + at, &value, sizeof value);
        return *this;
    }
    encoder &put(std::string_view text) {  // std::string must be passed as a view
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    // A record's head, its size left for the record's end to fill in.
    encoder &put_head(journal_op op, uint8_t kind) {
        bytes.resize(bytes.size() + record_head_bytes);
        put_record_head(bytes.data() + bytes.size() - record_head_bytes, 0, op, kind);
        return *this;
    }
    // The record's size, its checksum included, put into its head.
    void end_record() noexcept {
        const int64_t size = static_cast<int64_t>(bytes.size()) + 4;
        std::memcpy(bytes.data(), &size, sizeof size);
    }
    encoder &put_identity(const file_identity &identity) {
        return put<uint64_t>(identity.known ? 1 : 0)
            .put<uint64_t>(identity.device)
            .put<uint64_t>(identity.inode)
            .put<int64_t>(identity.size)
            .put<int64_t>(identity.modified.tv_sec)
            .put<int64_t>(identity.modified.tv_nsec)
            .put<int64_t>(identity.changed.tv_sec)
            .put<int64_t>(identity.changed.tv_nsec);
    }
    std::vector<uint8_t> bytes;
};

// Reads fixed-size values from a span of bytes; every read checks the span.
class decoder {
public:
    decoder(const uint8_t *at, int64_t size) noexcept : at_(at), left_(size) {}
    template <typename T>
    bool get(T &value) noexcept {
        if (left_ < static_cast<int64_t>(sizeof value)) return false;
        std::memcpy(&value, at_, sizeof value);
        skip(sizeof value);
        return true;
    }
    bool get_text(int64_t length, std::string_view &text) noexcept {
        if (length < 0 || left_ < length) return false;
        text = {reinterpret_cast<const char *>(at_), static_cast<size_t>(length)};
        skip(length);
        return true;
    }
    bool get_identity(file_identity &identity) noexcept {
        uint64_t known = 0;
        uint64_t device = 0;
        uint64_t inode = 0;
        int64_t fields[5] = {};
        if (!get(known) || !get(device) || !get(inode)) return false;
        for (int64_t &field : fields) {
            if (!get(field)) return false;
        }
        identity.known = known != 0;
        identity.device = static_cast<dev_t>(device);
        identity.inode = static_cast<ino_t>(inode);
        identity.size = fields[0];
        identity.modified = {static_cast<time_t>(fields[1]), static_cast<long>(fields[2])};
        identity.changed = {static_cast<time_t>(fields[3]), static_cast<long>(fields[4])};
        return true;
    }
    const uint8_t *here() const noexcept { return at_; }
    int64_t left() const noexcept { return left_; }
    void skip(int64_t count) noexcept {
        at_ += count;
        left_ -= count;
    }

private:
    const uint8_t *at_;
    int64_t left_;
};

uint64_t fresh_nonce() noexcept {
    uint64_t nonce = 0;
    if (::getrandom(&nonce, sizeof nonce, 0) == static_cast<ssize_t>(sizeof nonce)) return nonce;
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           (static_cast<uint64_t>(::getpid()) << 32);
}

// Where every record's checksum starts.
uint32_t checksum_seed_of(uint64_t nonce) noexcept { return crc32c(0, &nonce, sizeof nonce); }

std::vector<uint8_t> encode_header(const journal_header &header, uint64_t nonce) {
    encoder out;
    out.put(std::string_view(header_magic, sizeof header_magic))
        .put<uint32_t>(format_version)
        .put<uint32_t>(
            static_cast<uint32_t>(fixed_header_bytes + header.file_path.size() + header.base_path.size() + 4))
        .put<uint64_t>(nonce)
        .put<int32_t>(header.options_flags)
        .put<uint32_t>(0)
        .put_identity(header.identity)
        .put<uint32_t>(static_cast<uint32_t>(header.file_path.size()))
        .put<uint32_t>(static_cast<uint32_t>(header.base_path.size()))
        .put(std::string_view(header.file_path))
        .put(std::string_view(header.base_path));
    out.put<uint32_t>(crc32c(0, out.bytes.data(), out.bytes.size()));
    return out.bytes;
}

// Reads and checks the header of the journal open as `fd`: its size, or -1
// when it is missing or damaged.
int64_t read_header(int fd, journal_header &header, uint64_t &nonce) {
    uint8_t fixed[fixed_header_bytes];
    if (!read_exact_at(fd, 0, fixed_header_bytes, fixed) || std::memcmp(fixed, header_magic, 8) != 0) return -1;
    decoder in(fixed + 8, fixed_header_bytes - 8);
    uint32_t version = 0;
    uint32_t size = 0;
    uint32_t zero = 0;
    uint32_t file_length = 0;
    uint32_t base_length = 0;
    if (!in.get(version) || version != format_version || !in.get(size) || !in.get(nonce) ||
        !in.get(header.options_flags) || !in.get(zero) || !in.get_identity(header.identity) || !in.get(file_length) ||
        !in.get(base_length) || size != fixed_header_bytes + int64_t{file_length} + base_length + 4 ||
        size > (1 << 20)) {
        return -1;
    }
    std::vector<uint8_t> all(size);
    if (!read_exact_at(fd, 0, size, all.data())) return -1;
    uint32_t stored = 0;
    std::memcpy(&stored, all.data() + size - 4, 4);
    if (stored != crc32c(0, all.data(), size - 4)) return -1;
    const char *text = reinterpret_cast<const char *>(all.data() + fixed_header_bytes);
    header.file_path.assign(text, file_length);
    header.base_path.assign(text + file_length, base_length);
    return size;
}

bool decode_save(decoder &in, journal_save &save) {
    uint64_t flags = 0;
    uint32_t base_length = 0;
    uint32_t kept_length = 0;
    std::string_view base_path;
    std::string_view kept_path;
    uint64_t spans = 0;
    if (!in.get_identity(save.identity) || !in.get(save.offset) || !in.get(save.length) || !in.get(flags) ||
        !in.get_identity(save.base_identity) || !in.get(save.original_size) || !in.get(save.kept_size) ||
        !in.get(base_length) || !in.get_text(base_length, base_path) || !in.get(kept_length) ||
        !in.get_text(kept_length, kept_path) || !in.get(spans) || spans > static_cast<uint64_t>(in.left() / 32)) {
        return false;
    }
    save.base_updated = (flags & 1) != 0;
    save.rebased = (flags & 2) != 0;
    save.base_lost = (flags & 4) != 0;
    save.base_path = base_path;
    save.kept_path = kept_path;
    save.view.resize(spans);
    for (view_span &span : save.view) {
        int64_t kept = 0;
        if (!in.get(span.start) || !in.get(span.length) || !in.get(span.position) || !in.get(kept)) return false;
        span.kept = kept != 0;
    }
    return true;
}

// Decodes the fields of one record whose checksum held. Throws std::bad_alloc.
bool decode_fields(journal_op op, decoder &in, journal_record &record) {
    switch (op) {
        case journal_op::edit: {
            if (!in.get(record.offset) || !in.get(record.length) || record.length < 0) return false;
            const bool has_bytes = record.kind != CHANGE_DELETE;
            const int64_t byte_count = has_bytes ? record.length : 0;
            if (in.left() < byte_count + 1) return false;
            record.bytes = has_bytes ? in.here() : nullptr;
            in.skip(byte_count + 1);
            return true;
        }
        case journal_op::checkpoint:
        case journal_op::transform:
        case journal_op::replaced: {
            uint32_t length = 0;
            return in.get(length) && in.get_text(length, record.path);
        }
        case journal_op::save: return decode_save(in, record.save);
        case journal_op::undo:
        case journal_op::redo:
        case journal_op::clear:
        case journal_op::transaction:
        case journal_op::destroy_checkpoint:
        case journal_op::transform_failed: return true;
    }
    return false;
}

// The tag of the files of the journal at `path`: "j.<its last six characters>.".
std::string tag_of(const std::string &path) { return "j." + path.substr(path.size() - 6) + "."; }

// Calls `each` with the name of every entry of `directory` starting with
// `prefix`. False when the directory cannot be read.
template <typename Each>
bool for_each_named(const std::string &directory, std::string_view prefix, Each each) {
    DIR *listing = ::opendir(directory.c_str());
    if (listing == nullptr) return false;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::string_view(entry->d_name).substr(0, prefix.size()) == prefix) each(std::string_view(entry->d_name));
    }
    ::closedir(listing);
    return true;
}

// True when no live session holds the journal open as `fd` (invariant 2).
bool unheld(int fd) noexcept {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    ::flock(fd, LOCK_UN);
    return true;
}

}  // namespace

std::unique_ptr<session_journal> session_journal::create(const std::string &directory, int32_t sync_ms) {
    std::unique_ptr<session_journal> journal(new session_journal());
    char name[SKARN_PATH_BUFFER_SIZE];
    const int formatted = std::snprintf(name, sizeof name, "%s/%sXXXXXX", directory.c_str(), journal_prefix);
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof name) {
        SKARN_LOG("the session journal's name in '" << directory << "' is too long");
        return nullptr;
    }
    journal->fd_.reset(create_private_file(name));
    if (!journal->fd_.valid() || ::flock(journal->fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        SKARN_LOG("failed to create the session journal '" << name << "'");
        SKARN_LOG(log::system_error_line(error));
        if (journal->fd_.valid()) ::unlink(name);
        return nullptr;
    }
    journal->path_ = name;
    journal->file_tag_ = tag_of(journal->path_);
    journal->nonce_ = fresh_nonce();
    journal->checksum_seed_ = checksum_seed_of(journal->nonce_);
    journal->sync_ms_ = sync_ms;
    return journal;
}

bool session_journal::start(const journal_header &header) {
    header_ = header;
    const std::vector<uint8_t> head = encode_header(header, nonce_);
    const int64_t size = static_cast<int64_t>(head.size());
    if (!write_exact_at(fd_.get(), 0, size, head.data()) ||
        (sync_ms_ != 0 && (::fdatasync(fd_.get()) != 0 || !sync_directory_of(directory_of(path_))))) {
        const int error = errno;
        SKARN_LOG("failed to write the session journal '" << path_ << "'");
        SKARN_LOG(log::system_error_line(error));
        return false;
    }
    end_ = size;
    started_ = true;
    last_sync_ = std::chrono::steady_clock::now();
    return true;
}

session_journal::~session_journal() {
    if (!started_ && !path_.empty() && fd_.valid()) ::unlink(path_.c_str());
}

std::unique_ptr<session_journal> session_journal::open(const char *path, int32_t sync_ms) {
    std::unique_ptr<session_journal> journal(new session_journal());
    journal->fd_.reset(open_own_regular_file(path, O_RDWR));
    if (!journal->fd_.valid()) {
        const int error = errno;
        SKARN_LOG("cannot open the session journal '" << path << "'");
        SKARN_LOG(log::system_error_line(error));
        return nullptr;
    }
    if (::flock(journal->fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        SKARN_LOG("the session journal '" << path << "' is held by a live session");
        return nullptr;
    }
    journal->end_ = read_header(journal->fd_.get(), journal->header_, journal->nonce_);
    if (journal->end_ < 0) {
        SKARN_LOG("'" << path << "' is not a session journal, or its header is damaged");
        return nullptr;
    }
    journal->checksum_seed_ = checksum_seed_of(journal->nonce_);
    journal->path_ = path;
    journal->file_tag_ = tag_of(journal->path_);
    journal->started_ = true;
    journal->sync_ms_ = sync_ms;
    journal->last_sync_ = std::chrono::steady_clock::now();
    return journal;
}

bool session_journal::read_records(const std::function<bool(const journal_record &)> &each) {
    const int64_t file_size = identity_of(fd_.get()).size;
    int64_t at = end_;
    while (file_size - at >= record_head_bytes + 4) {  // the records (order 5)
        const uint8_t *head = mapped_.at(fd_.get(), at, record_head_bytes);
        int64_t size = 0;
        if (head != nullptr) std::memcpy(&size, head, sizeof size);
        if (head == nullptr || size < record_head_bytes + 4 || size > file_size - at) break;
        const uint8_t *bytes = mapped_.at(fd_.get(), at, size);
        if (bytes == nullptr) break;
        uint32_t stored = 0;
        std::memcpy(&stored, bytes + size - 4, 4);
        if (stored != crc32c(checksum_seed_, bytes, static_cast<size_t>(size - 4))) break;
        journal_record record;
        record.op = static_cast<journal_op>(bytes[8]);
        record.kind = bytes[9];
        decoder fields(bytes + record_head_bytes, size - record_head_bytes - 4);
        if (!decode_fields(record.op, fields, record)) break;
        if (!record.path.empty()) keep_file(std::string(record.path));
        if (!record.save.base_path.empty()) keep_file(record.save.base_path);
        if (!record.save.kept_path.empty()) keep_file(record.save.kept_path);
        end_ = at + size;
        at = end_;
        if (!each(record)) return false;
    }
    // The journal goes on after the last whole record (order 5).
    if (end_ < file_size && ::ftruncate(fd_.get(), end_) != 0) {
        SKARN_LOG("cannot cut the session journal '" << path_ << "' after its last whole record");
        SKARN_LOG(log::system_error_line());
        broken_ = true;
    }
    return true;
}

bool session_journal::append(const uint8_t *head, int64_t head_size, const uint8_t *bytes, int64_t length) noexcept {
    if (broken_) {
        SKARN_LOG("the session journal '" << path_ << "' could not be written before: the operation is refused");
        return false;
    }
    static constexpr uint8_t zero = 0;
    uint32_t crc = crc32c(checksum_seed_, head, static_cast<size_t>(head_size));
    if (length > 0) crc = crc32c(crc, bytes, static_cast<size_t>(length));
    const bool with_zero = head[8] == static_cast<uint8_t>(journal_op::edit);
    if (with_zero) crc = crc32c(crc, &zero, 1);
    iovec parts[4] = {{const_cast<uint8_t *>(head), static_cast<size_t>(head_size)},
                      {const_cast<uint8_t *>(bytes), static_cast<size_t>(length)},
                      {const_cast<uint8_t *>(&zero), with_zero ? size_t{1} : size_t{0}},
                      {&crc, sizeof crc}};
    const int64_t total = head_size + length + (with_zero ? 1 : 0) + 4;
    // One write (invariant 1); a short one is finished by positional writes.
    // A short record is gathered first: one plain write costs less.
    ssize_t written = -1;
    if (uint8_t gathered[256]; total <= static_cast<int64_t>(sizeof gathered)) {
        size_t at = 0;
        for (const iovec &part : parts) {
            if (part.iov_len > 0) std::memcpy(gathered + at, part.iov_base, part.iov_len);
            at += part.iov_len;
        }
        written = ::pwrite(fd_.get(), gathered, at, static_cast<off_t>(end_));
    } else {
        written = ::pwritev(fd_.get(), parts, 4, static_cast<off_t>(end_));
    }
    bool whole = written == total;
    if (written >= 0 && !whole) {
        std::vector<uint8_t> rest;
        try {
            rest.reserve(static_cast<size_t>(total));
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
        }
        if (rest.capacity() >= static_cast<size_t>(total)) {
            for (const iovec &part : parts) {
                const auto *from = static_cast<const uint8_t *>(part.iov_base);
                rest.insert(rest.end(), from, from + part.iov_len);
            }
            whole = write_exact_at(fd_.get(), end_ + written, total - written, rest.data() + written);
        }
    }
    if (!whole) {
        const int error = errno;
        SKARN_LOG("cannot write to the session journal '" << path_ << "': it takes no more records");
        SKARN_LOG(log::system_error_line(error));
        static_cast<void>(::ftruncate(fd_.get(), end_));
        broken_ = true;
        return false;
    }
    end_ += total;
    sync_as_asked();
    return true;
}

void session_journal::sync_as_asked() noexcept {
    if (sync_ms_ == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (sync_ms_ > 0 && now - last_sync_ < std::chrono::milliseconds(sync_ms_)) return;
    if (::fdatasync(fd_.get()) != 0) {
        SKARN_LOG("cannot sync the session journal '" << path_ << "'");
        SKARN_LOG(log::system_error_line());
    }
    last_sync_ = now;
}

bool session_journal::record_edit(uint8_t kind, int64_t offset, const uint8_t *bytes, int64_t length,
                                  const uint8_t **stored) noexcept {
    *stored = nullptr;
    const bool has_bytes = kind != CHANGE_DELETE;
    if (replaying_) {
        if (has_bytes && length >= mapped_threshold) *stored = bytes;
        return true;
    }
    uint8_t head[record_head_bytes + 16];
    put_record_head(head, record_head_bytes + 16 + (has_bytes ? length : 0) + 1 + 4, journal_op::edit, kind);
    std::memcpy(head + 16, &offset, 8);
    std::memcpy(head + 24, &length, 8);
    const int64_t at = end_ + static_cast<int64_t>(sizeof head);
    if (!append(head, sizeof head, has_bytes ? bytes : nullptr, has_bytes ? length : 0)) return false;
    if (has_bytes && length >= mapped_threshold) *stored = mapped_.at(fd_.get(), at, length + 1);
    return true;
}

bool session_journal::record(journal_op op, uint8_t kind) noexcept {
    if (replaying_) return true;
    uint8_t head[record_head_bytes];
    put_record_head(head, record_head_bytes + 4, op, kind);
    return append(head, sizeof head, nullptr, 0);
}

bool session_journal::record_file(journal_op op, const std::string &path, uint8_t kind) noexcept {
    if (replaying_) return true;
    try {
        keep_file(path);
        encoder out;
        out.put_head(op, kind).put<uint32_t>(static_cast<uint32_t>(path.size())).put(std::string_view(path));
        out.end_record();
        return append(out.bytes.data(), static_cast<int64_t>(out.bytes.size()), nullptr, 0);
    } catch (const std::bad_alloc &) {
        SKARN_LOG("out of memory writing the session journal '" << path_ << "'");
        return false;
    }
}

bool session_journal::record_save(const journal_save &save) noexcept {
    if (replaying_) return true;
    try {
        if (!save.base_path.empty()) keep_file(save.base_path);
        if (!save.kept_path.empty()) keep_file(save.kept_path);
        encoder out;
        out.put_head(journal_op::save, 0)
            .put_identity(save.identity)
            .put<int64_t>(save.offset)
            .put<int64_t>(save.length)
            .put<uint64_t>((save.base_updated ? 1U : 0U) | (save.rebased ? 2U : 0U) | (save.base_lost ? 4U : 0U))
            .put_identity(save.base_identity)
            .put<int64_t>(save.original_size)
            .put<int64_t>(save.kept_size)
            .put<uint32_t>(static_cast<uint32_t>(save.base_path.size()))
            .put(std::string_view(save.base_path))
            .put<uint32_t>(static_cast<uint32_t>(save.kept_path.size()))
            .put(std::string_view(save.kept_path))
            .put<uint64_t>(save.view.size());
        for (const view_span &span : save.view) {
            out.put<int64_t>(span.start).put<int64_t>(span.length).put<int64_t>(span.position).put<int64_t>(span.kept);
        }
        out.end_record();
        return append(out.bytes.data(), static_cast<int64_t>(out.bytes.size()), nullptr, 0);
    } catch (const std::bad_alloc &) {
        SKARN_LOG("out of memory writing the session journal '" << path_ << "'");
        return false;
    }
}

void session_journal::remove_unkept_files() {
    const std::string directory = directory_of(path_);
    const std::string prefix = std::string(".Skarnpad-") + file_tag_;
    std::vector<std::string> unkept;
    for_each_named(directory, prefix, [&](std::string_view name) {
        std::string path = directory + "/" + std::string(name);
        if (std::find(kept_files_.begin(), kept_files_.end(), path) == kept_files_.end()) unkept.push_back(path);
    });
    for (const std::string &path : unkept) ::unlink(path.c_str());
}

void session_journal::remove_all() noexcept {
    // The journal first (order 6).
    if (::unlink(path_.c_str()) != 0) {
        SKARN_LOG("cannot remove the session journal '" << path_ << "'");
        SKARN_LOG(log::system_error_line());
    }
    for (const std::string &file : kept_files_) {
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
            SKARN_LOG("cannot remove '" << file << "', kept by the session journal");
            SKARN_LOG(log::system_error_line());
        }
    }
    kept_files_.clear();
    try {
        remove_unkept_files();  // now every file tagged as the session's
    } catch (const std::bad_alloc &) {
        // What is left is removed by the next sweep of the directory.
    }
}

void remove_abandoned_journal_files(const std::string &directory) noexcept {
    try {
        std::vector<std::string> doomed;
        for_each_named(directory, journal_prefix, [&](std::string_view name) {
            const std::string path = directory + "/" + std::string(name);
            const unique_fd fd{open_own_regular_file(path.c_str(), O_RDONLY)};
            journal_header header;
            uint64_t nonce = 0;
            if (fd.valid() && read_header(fd.get(), header, nonce) < 0 && unheld(fd.get())) doomed.push_back(path);
        });
        for_each_named(directory, ".Skarnpad-j.", [&](std::string_view name) {
            // ".Skarnpad-j.ABCDEF.": its journal is ".Skarnpad-journal.ABCDEF".
            if (name.size() < 19 || name[18] != '.') return;
            const std::string journal = directory + "/" + journal_prefix + std::string(name.substr(12, 6));
            struct stat info {};
            if (::lstat(journal.c_str(), &info) != 0 && errno == ENOENT) {
                doomed.push_back(directory + "/" + std::string(name));
            }
        });
        for (const std::string &path : doomed) ::unlink(path.c_str());
    } catch (const std::bad_alloc &) {
        // Left for the next sweep.
    }
}

int find_journal(const std::string &file_path, const std::string &directory, std::string &found) {
    DIR *listing = ::opendir(directory.c_str());
    if (listing == nullptr) {
        SKARN_LOG("cannot read the directory '" << directory << "'");
        SKARN_LOG(log::system_error_line());
        return -1;
    }
    timespec newest{};
    found.clear();
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strncmp(entry->d_name, journal_prefix, sizeof journal_prefix - 1) != 0) continue;
        const std::string candidate = directory + "/" + entry->d_name;
        const unique_fd fd{open_own_regular_file(candidate.c_str(), O_RDONLY)};
        journal_header header;
        uint64_t nonce = 0;
        if (!fd.valid() || read_header(fd.get(), header, nonce) < 0 || header.file_path != file_path ||
            !unheld(fd.get())) {
            continue;
        }
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0) continue;
        if (found.empty() || info.st_mtim.tv_sec > newest.tv_sec ||
            (info.st_mtim.tv_sec == newest.tv_sec && info.st_mtim.tv_nsec > newest.tv_nsec)) {
            newest = info.st_mtim;
            found = candidate;
        }
    }
    ::closedir(listing);
    return found.empty() ? 0 : 1;
}

unique_fd open_kept_file(const std::string &path, bool writable) {
    unique_fd file{open_private_file(path.c_str(), writable)};
    if (!file.valid()) {
        const int error = errno;
        SKARN_LOG("cannot open '" << path << "', kept by the session journal");
        SKARN_LOG(log::system_error_line(error));
    }
    return file;
}

int describe_journal(const char *path, std::string &file_path) {
    const unique_fd fd{open_own_regular_file(path, O_RDONLY)};
    journal_header header;
    uint64_t nonce = 0;
    if (!fd.valid() || read_header(fd.get(), header, nonce) < 0) return 0;
    file_path = header.file_path;
    return unheld(fd.get()) ? 1 : 2;
}

int remove_journal(const char *path) {
    std::unique_ptr<session_journal> journal = session_journal::open(path, 0);
    if (journal == nullptr) return -1;
    journal->remove_all();  // with every file tagged as its session's
    return 0;
}

}  // namespace skarn
