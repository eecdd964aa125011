// The journal of an in-place save.
//
// Layout (integers little-endian; offsets in bytes):
//   Header, 96 bytes at 0:
//      0  8  magic "SKJOURNL"
//      8  4  format version, 1
//     12  4  kind of file: 0 a regular file, 1 a block device
//     16  8  nonce, random, repeated in every later record
//     24  8  the file's device (a block device: its device number)
//     32  8  the file's inode (a block device: 0)
//     40  8  old size        48  8  new size        56  8  chunk bytes
//     64  8  number of moves 72  8  number of data runs
//     80  8  bytes of new data
//     88  4  CRC-32C of bytes 0..87     92  4  zero
//   New bytes at 96: the bytes of the data runs, one after another.
//   Plan, right after them: per move its source, target and length (8 bytes
//   each); per data run its target, length (8 each), the CRC-32C of its
//   bytes (4) and zero (4); then the CRC-32C of the nonce followed by all of
//   the plan before it (4) and zero (4).
//   Two progress slots, at P = the end of the plan rounded up to 4096 and at
//   P + 40 + chunk bytes. The record of sequence s goes to slot s mod 2:
//      0  8  magic "SKPROGRS"   8  8  nonce
//     16  8  sequence: the chunk about to run (the number of chunks: all moves done)
//     24  8  saved bytes: the chunk's length when its move overlaps its own
//            source (its old bytes follow the record), else 0
//     32  4  CRC-32C of bytes 0..31 and the saved bytes     36  4  zero
//
// The order of writes and syncs of a save:
//   1. The journal is created exclusively (no link followed, mode 0600) and
//      its header and new bytes are written.
//   2. The growth is allocated past the end of the file without changing its
//      size (a full disk fails here), and the plan is written.
//   3. fsync of the journal, then of its directory. This is the commit point:
//      the file has not been touched before it, and from it on the journal
//      is complete and durable.
//   4. Chunk by chunk, in the order chunks_of gives: the chunk's progress
//      record (with its old bytes when it overlaps its own source), fdatasync
//      of the journal; the chunk written into the file, fdatasync of the
//      file (the data and the size, not the times). So
//      at any instant at most one chunk is in flight, and its source is
//      either intact in the file or saved in its durable record.
//   5. When any chunk ran, the record "all moves done", fdatasync of the journal.
//   6. The new bytes, read back from the journal, written to their targets;
//      the file cut to its new size; fsync of the file.
//   7. The journal removed, fsync of its directory.
// A save given up before step 3 completes zeroes the journal's magic and
// syncs it before removing it, so that it can never be applied.
//
// Recovery (recover_file) from what an interruption at any instant leaves:
//   - no journal: nothing to do;
//   - a journal shorter than its header or with a zeroed magic: the save
//     never reached its commit point; removed, the old content stays;
//   - another magic or version, a header failing its checksum, or another
//     file's identity: never applied, a failure (the journal stays);
//   - a plan or data run missing or failing its checksum: the commit point
//     was not reached (step 3 syncs it all first); removed, old content;
//   - a plan that does not fit the sizes it states: never applied, a failure;
//   - otherwise the save is committed: the valid progress record (magic,
//     nonce, checksum) of the highest sequence tells the chunk in flight,
//     which is redone from its saved bytes or from the file, and steps 4 to 7
//     go on from there (with no record, from the first chunk). Recovery
//     writes the same records in the same order, so an interrupted recovery
//     is recovered in turn.
#include "io/save_journal.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "common/log.hpp"
#include "io/crc32c.hpp"
#include "io/level_file.hpp"
#include "io/save_target.hpp"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the journal's integers are written as they are held");

namespace skarn {
namespace {

constexpr char journal_magic[8] = {'S', 'K', 'J', 'O', 'U', 'R', 'N', 'L'};
constexpr char progress_magic[8] = {'S', 'K', 'P', 'R', 'O', 'G', 'R', 'S'};
constexpr uint32_t format_version = 1;
constexpr int64_t header_bytes = 96;
constexpr int64_t record_bytes = 40;
constexpr int64_t move_entry_bytes = 24;
constexpr int64_t data_entry_bytes = 24;
constexpr int64_t copy_bytes = int64_t{1} << 20;  // new bytes copied from the journal at a time

// The header's fields, in their order on disk.
struct header {
    char magic[8];
    uint32_t version;
    uint32_t kind;
    uint64_t nonce;
    uint64_t device;
    uint64_t inode;
    int64_t old_size;
    int64_t new_size;
    int64_t chunk_bytes;
    int64_t move_count;
    int64_t data_count;
    int64_t data_bytes;
    uint32_t checksum;
    uint32_t zero;
};
static_assert(sizeof(header) == header_bytes, "the header is laid out as written");

struct record {
    char magic[8];
    uint64_t nonce;
    int64_t sequence;
    int64_t saved;
    uint32_t checksum;
    uint32_t zero;
};
static_assert(sizeof(record) == record_bytes, "the progress record is laid out as written");

uint32_t header_checksum(const header &h) noexcept { return crc32c(0, &h, offsetof(header, checksum)); }

uint32_t record_checksum(const record &r, const uint8_t *saved) noexcept {
    const uint32_t fields = crc32c(0, &r, offsetof(record, checksum));
    return crc32c(fields, saved, static_cast<size_t>(r.saved));
}

uint64_t fresh_nonce() noexcept {
    uint64_t nonce = 0;
    if (::getrandom(&nonce, sizeof nonce, 0) == static_cast<ssize_t>(sizeof nonce)) return nonce;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<uint64_t>(now.tv_sec) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
           (static_cast<uint64_t>(::getpid()) << 16);
}

bool pwrite_all(int fd, const void *bytes, int64_t count, int64_t position) noexcept {
    return write_exact_at(fd, position, count, static_cast<const uint8_t *>(bytes));
}

bool pread_all(int fd, void *bytes, int64_t count, int64_t position) noexcept {
    return read_exact_at(fd, position, count, static_cast<uint8_t *>(bytes));
}

int64_t round_up(int64_t value, int64_t unit) noexcept { return (value + unit - 1) / unit * unit; }

// Everything a committed journal says, and where its parts lie.
struct journal_layout {
    header head{};
    save_plan plan;
    std::vector<int64_t> data_positions;  // of each data run's bytes in the journal
    std::vector<move_chunk> chunks;
    int64_t progress_base = 0;

    int64_t slot(int64_t sequence) const noexcept {
        return progress_base + (sequence % 2) * (record_bytes + head.chunk_bytes);
    }
};

journal_layout layout_of(const header &head, save_plan plan) {
    journal_layout layout;
    layout.head = head;
    layout.plan = std::move(plan);
    int64_t at = header_bytes;
    for (const data_run &run : layout.plan.data) {
        layout.data_positions.push_back(at);
        at += run.length;
    }
    const auto entries = static_cast<int64_t>(layout.plan.moves.size()) * move_entry_bytes +
                         static_cast<int64_t>(layout.plan.data.size()) * data_entry_bytes;
    layout.progress_base = round_up(at + entries + 8, 4096);
    layout.chunks = chunks_of(layout.plan.moves, head.chunk_bytes);
    return layout;
}

// The plan's bytes on disk, given the data runs' checksums.
std::vector<uint8_t> encode_plan(const save_plan &plan, const std::vector<uint32_t> &checksums, uint64_t nonce) {
    std::vector<uint8_t> bytes;
    auto put = [&bytes](const auto &value) {
        const auto *raw = reinterpret_cast<const uint8_t *>(&value);
        bytes.insert(bytes.end(), raw, raw + sizeof value);
    };
    for (const move_run &move : plan.moves) {
        put(move.source);
        put(move.target);
        put(move.length);
    }
    for (size_t i = 0; i < plan.data.size(); ++i) {
        put(plan.data[i].target);
        put(plan.data[i].length);
        put(checksums[i]);
        put(uint32_t{0});
    }
    const uint32_t checksum = crc32c(crc32c(0, &nonce, sizeof nonce), bytes.data(), bytes.size());
    put(checksum);
    put(uint32_t{0});
    return bytes;
}

// A plan whose every stretch lies inside the sizes it states, in content order.
bool plan_fits(const save_plan &plan) noexcept {
    int64_t last_target = 0;
    int64_t last_source = 0;
    for (const move_run &move : plan.moves) {
        if (move.length <= 0 || move.source < last_source || move.target < last_target ||
            move.source > plan.old_size - move.length || move.target > plan.new_size - move.length) {
            return false;
        }
        last_source = move.source + move.length;
        last_target = move.target + move.length;
    }
    last_target = 0;
    for (const data_run &run : plan.data) {
        if (run.length <= 0 || run.target < last_target || run.target > plan.new_size - run.length) return false;
        last_target = run.target + run.length;
    }
    return true;
}

// Writes progress record `sequence` (with `saved` bytes of the chunk's old
// content, or none) and makes it durable.
bool write_record(int journal_fd, const journal_layout &layout, int64_t sequence, const uint8_t *saved,
                  int64_t saved_count) noexcept {
    record r{};
    std::memcpy(r.magic, progress_magic, sizeof r.magic);
    r.nonce = layout.head.nonce;
    r.sequence = sequence;
    r.saved = saved_count;
    r.checksum = record_checksum(r, saved);
    const int64_t at = layout.slot(sequence);
    return pwrite_all(journal_fd, &r, record_bytes, at) &&
           (saved_count == 0 || pwrite_all(journal_fd, saved, saved_count, at + record_bytes)) &&
           ::fdatasync(journal_fd) == 0;
}

// Where a committed save goes on from: the chunk in flight, and its saved
// bytes when its durable record holds them.
struct resume_point {
    int64_t chunk = 0;
    bool recorded = false;  // the record of `chunk` is already durable
    std::vector<uint8_t> saved;
};

// Steps 4 to 6 from `from` on. ok, journal_failed (a record could not be
// made durable) or file_failed; the file's failures are logged by the caller.
journal_result carry_out(int file_fd, int journal_fd, const journal_layout &layout, resume_point from, bool regular) {
    const auto chunk_count = static_cast<int64_t>(layout.chunks.size());
    std::vector<uint8_t> buffer;
    for (int64_t i = from.chunk; i < chunk_count; ++i) {
        const move_chunk &chunk = layout.chunks[static_cast<size_t>(i)];
        const bool resumed = i == from.chunk && from.recorded;
        if (resumed && !from.saved.empty()) {
            buffer = std::move(from.saved);
        } else {
            buffer.resize(static_cast<size_t>(chunk.length));
            if (!pread_all(file_fd, buffer.data(), chunk.length, chunk.source)) return journal_result::file_failed;
        }
        const int64_t saved = chunk.overlaps_source() ? chunk.length : 0;
        if (!resumed && !write_record(journal_fd, layout, i, buffer.data(), saved)) {
            return journal_result::journal_failed;
        }
        if (!pwrite_all(file_fd, buffer.data(), chunk.length, chunk.target)) return journal_result::file_failed;
        // The next chunk's source is read from the disk while this one is flushed.
        if (i + 1 < chunk_count) {
            const move_chunk &next = layout.chunks[static_cast<size_t>(i + 1)];
            static_cast<void>(::posix_fadvise(file_fd, next.source, next.length, POSIX_FADV_WILLNEED));
        }
        if (::fdatasync(file_fd) != 0) return journal_result::file_failed;
    }
    if (chunk_count > 0 && !(from.chunk == chunk_count && from.recorded) &&
        !write_record(journal_fd, layout, chunk_count, nullptr, 0)) {
        return journal_result::journal_failed;
    }
    buffer.resize(static_cast<size_t>(std::min(copy_bytes, std::max<int64_t>(layout.plan.data_bytes(), 1))));
    for (size_t k = 0; k < layout.plan.data.size(); ++k) {
        const data_run &run = layout.plan.data[k];
        for (int64_t done = 0; done < run.length;) {
            const int64_t step = std::min(run.length - done, copy_bytes);
            if (!pread_all(journal_fd, buffer.data(), step, layout.data_positions[k] + done)) {
                return journal_result::journal_failed;
            }
            if (!pwrite_all(file_fd, buffer.data(), step, run.target + done)) return journal_result::file_failed;
            done += step;
        }
    }
    struct stat info {};
    if (::fstat(file_fd, &info) != 0) return journal_result::file_failed;
    if (regular && info.st_size > layout.plan.new_size && ::ftruncate(file_fd, layout.plan.new_size) != 0) {
        return journal_result::file_failed;
    }
    return ::fsync(file_fd) == 0 ? journal_result::ok : journal_result::file_failed;
}

// Step 7. False (logged) when the journal's removal may not be durable.
bool remove_journal(const std::string &path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        SKARN_LOG("cannot remove the journal '" << path << "'");
        SKARN_LOG(log::system_error_line());
        return false;
    }
    if (!sync_directory_of(directory_of(path))) {
        SKARN_LOG("the removal of the journal '" << path << "' could not be made durable");
        SKARN_LOG(log::system_error_line());
        return false;
    }
    return true;
}

uint64_t device_of(const struct stat &info) noexcept {
    return S_ISBLK(info.st_mode) ? static_cast<uint64_t>(info.st_rdev) : static_cast<uint64_t>(info.st_dev);
}
uint64_t inode_of(const struct stat &info) noexcept {
    return S_ISBLK(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_ino);
}

}  // namespace

int64_t save_plan::data_bytes() const noexcept {
    int64_t total = 0;
    for (const data_run &run : data) total += run.length;
    return total;
}

bool move_chunk::overlaps_source() const noexcept {
    const int64_t distance = target > source ? target - source : source - target;
    return distance < length;
}

std::vector<move_chunk> chunks_of(const std::vector<move_run> &moves, int64_t chunk_bytes) {
    std::vector<move_chunk> chunks;
    for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
        if (move->target < move->source) continue;
        for (int64_t end = move->length; end > 0;) {
            const int64_t length = std::min(end, chunk_bytes);
            end -= length;
            chunks.push_back({move->source + end, move->target + end, length});
        }
    }
    for (const move_run &move : moves) {
        if (move.target > move.source) continue;
        for (int64_t start = 0; start < move.length;) {
            const int64_t length = std::min(move.length - start, chunk_bytes);
            chunks.push_back({move.source + start, move.target + start, length});
            start += length;
        }
    }
    return chunks;
}

std::string journal_path_of(const std::string &file, const struct stat &info) {
    if (S_ISBLK(info.st_mode)) {
        return "/var/tmp/.skarn-dev-" + std::to_string(major(info.st_rdev)) + "-" +
               std::to_string(minor(info.st_rdev)) + ".skarn-journal";
    }
    const size_t slash = file.find_last_of('/');
    const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (name.size() + 15 > NAME_MAX) return {};
    const std::string prefix = slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
    return prefix + "." + name + ".skarn-journal";
}

journal_writer::~journal_writer() {
    if (owned_) abandon();
}

void journal_writer::abandon() noexcept {
    owned_ = false;
    if (!fd_.valid()) return;
    // Zeroed, so that whatever reached the disk can never be applied.
    const char zeros[sizeof journal_magic] = {};
    const bool cleared = pwrite_all(fd_.get(), zeros, sizeof zeros, 0) && ::fsync(fd_.get()) == 0;
    static_cast<void>(cleared);
    fd_.reset();
    ::unlink(path_.c_str());
}

bool journal_writer::write_all(const uint8_t *bytes, int64_t count) noexcept {
    if (!pwrite_all(fd_.get(), bytes, count, written_)) return false;
    written_ += count;
    return true;
}

bool journal_writer::begin(const std::string &path, const struct stat &info, const save_plan &plan,
                           int64_t chunk_bytes) {
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_.valid()) {
        const int error = errno;
        SKARN_LOG("cannot create the journal '" << path << "'"
                                                << (error == EEXIST ? ": another save of the file is under way, or "
                                                                      "an interrupted one awaits recovery"
                                                                    : ""));
        SKARN_LOG(log::system_error_line(error));
        return false;
    }
    path_ = path;
    owned_ = true;
    // Recovery leaves alone a journal whose save is running.
    static_cast<void>(::flock(fd_.get(), LOCK_EX | LOCK_NB));
    plan_ = plan;
    chunk_bytes_ = chunk_bytes;
    nonce_ = fresh_nonce();
    header h{};
    std::memcpy(h.magic, journal_magic, sizeof h.magic);
    h.version = format_version;
    h.kind = S_ISBLK(info.st_mode) ? 1 : 0;
    h.nonce = nonce_;
    h.device = device_of(info);
    h.inode = inode_of(info);
    h.old_size = plan.old_size;
    h.new_size = plan.new_size;
    h.chunk_bytes = chunk_bytes;
    h.move_count = static_cast<int64_t>(plan.moves.size());
    h.data_count = static_cast<int64_t>(plan.data.size());
    h.data_bytes = plan.data_bytes();
    h.checksum = header_checksum(h);
    if (!write_all(reinterpret_cast<const uint8_t *>(&h), header_bytes)) {
        SKARN_LOG("cannot write the journal '" << path << "'");
        SKARN_LOG(log::system_error_line());
        return false;
    }
    return true;
}

bool journal_writer::put_data(const uint8_t *bytes, int64_t count) noexcept {
    running_checksum_ = crc32c(running_checksum_, bytes, static_cast<size_t>(count));
    return write_all(bytes, count);
}

void journal_writer::end_data_run() noexcept {
    data_checksums_.push_back(running_checksum_);
    running_checksum_ = 0;
}

bool journal_writer::commit() {
    const std::vector<uint8_t> plan = encode_plan(plan_, data_checksums_, nonce_);
    if (data_checksums_.size() != plan_.data.size() || !write_all(plan.data(), static_cast<int64_t>(plan.size())) ||
        ::fsync(fd_.get()) != 0 || !sync_directory_of(directory_of(path_))) {
        SKARN_LOG("cannot write the journal '" << path_ << "' and make it durable");
        SKARN_LOG(log::system_error_line());
        return false;
    }
    return true;
}

journal_result journal_writer::apply(int file_fd) {
    header h{};
    h.nonce = nonce_;
    h.chunk_bytes = chunk_bytes_;
    const journal_layout layout = layout_of(h, plan_);
    struct stat info {};
    const bool regular = ::fstat(file_fd, &info) == 0 && S_ISREG(info.st_mode);
    const journal_result result = carry_out(file_fd, fd_.get(), layout, resume_point{}, regular);
    if (result != journal_result::ok) {
        // Committed: whatever failed, recovery finishes the save from here.
        owned_ = false;
        SKARN_LOG(log::system_error_line());
        SKARN_LOG("the in-place save could not be completed; its journal '"
                  << path_ << "' stays, and recovery of the file completes it");
        return result;
    }
    owned_ = false;
    if (!remove_journal(path_)) return journal_result::not_removed;
    if (!fd_.reset()) {
        SKARN_LOG("closing the removed journal '" << path_ << "' failed");
        SKARN_LOG(log::system_error_line());
        return journal_result::not_removed;
    }
    return journal_result::ok;
}

namespace {

// What reading a journal found.
enum class journal_state { abandoned, foreign, damaged, incomplete, committed };

journal_state read_header(int fd, int64_t size, header &h) noexcept {
    if (size < header_bytes || !pread_all(fd, &h, header_bytes, 0)) return journal_state::abandoned;
    static constexpr char zeros[sizeof journal_magic] = {};
    if (std::memcmp(h.magic, zeros, sizeof zeros) == 0) return journal_state::abandoned;
    if (std::memcmp(h.magic, journal_magic, sizeof journal_magic) != 0 || h.version != format_version) {
        return journal_state::foreign;
    }
    // New bytes the journal does not hold yet are not damage: the header is
    // written first, so a save interrupted while writing them leaves that
    // (read_plan finds the journal incomplete).
    if (h.checksum != header_checksum(h) || h.chunk_bytes <= 0 || h.old_size < 0 || h.new_size < 0 ||
        h.move_count < 0 || h.data_count < 0 || h.data_bytes < 0 ||
        h.data_bytes > std::numeric_limits<int64_t>::max() - header_bytes) {
        return journal_state::damaged;
    }
    return journal_state::committed;
}

// Reads the plan and checks it and every data run against their checksums.
journal_state read_plan(int fd, int64_t size, const header &h, save_plan &plan) {
    const int64_t position = header_bytes + h.data_bytes;
    const int64_t available = size - position;
    if (h.move_count > available / move_entry_bytes || h.data_count > available / data_entry_bytes) {
        return journal_state::incomplete;
    }
    const int64_t length = h.move_count * move_entry_bytes + h.data_count * data_entry_bytes + 8;
    if (length > available) return journal_state::incomplete;
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (!pread_all(fd, bytes.data(), length, position)) return journal_state::incomplete;
    uint32_t stored = 0;
    std::memcpy(&stored, bytes.data() + length - 8, sizeof stored);
    if (crc32c(crc32c(0, &h.nonce, sizeof h.nonce), bytes.data(), static_cast<size_t>(length - 8)) != stored) {
        return journal_state::incomplete;
    }
    const uint8_t *at = bytes.data();
    auto take = [&at](auto &value) {
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
    };
    plan.old_size = h.old_size;
    plan.new_size = h.new_size;
    plan.moves.resize(static_cast<size_t>(h.move_count));
    for (move_run &move : plan.moves) {
        take(move.source);
        take(move.target);
        take(move.length);
    }
    plan.data.resize(static_cast<size_t>(h.data_count));
    std::vector<uint32_t> checksums(plan.data.size());
    for (size_t i = 0; i < plan.data.size(); ++i) {
        uint32_t zero = 0;
        take(plan.data[i].target);
        take(plan.data[i].length);
        take(checksums[i]);
        take(zero);
    }
    if (!plan_fits(plan) || plan.data_bytes() != h.data_bytes) return journal_state::damaged;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(copy_bytes, std::max<int64_t>(h.data_bytes, 1))));
    int64_t data_at = header_bytes;
    for (size_t i = 0; i < plan.data.size(); ++i) {
        uint32_t crc = 0;
        for (int64_t done = 0; done < plan.data[i].length;) {
            const int64_t step = std::min(plan.data[i].length - done, copy_bytes);
            if (!pread_all(fd, buffer.data(), step, data_at + done)) return journal_state::incomplete;
            crc = crc32c(crc, buffer.data(), static_cast<size_t>(step));
            done += step;
        }
        if (crc != checksums[i]) return journal_state::incomplete;
        data_at += plan.data[i].length;
    }
    return journal_state::committed;
}

// The durable progress record of the highest sequence, if any.
std::optional<resume_point> read_progress(int fd, const journal_layout &layout) {
    std::optional<resume_point> best;
    const auto chunk_count = static_cast<int64_t>(layout.chunks.size());
    for (int64_t slot = 0; slot < 2; ++slot) {
        record r{};
        const int64_t at = layout.slot(slot);
        if (!pread_all(fd, &r, record_bytes, at) || std::memcmp(r.magic, progress_magic, sizeof r.magic) != 0 ||
            r.nonce != layout.head.nonce || r.sequence < 0 || r.sequence > chunk_count || r.sequence % 2 != slot) {
            continue;
        }
        const bool in_flight = r.sequence < chunk_count;
        const int64_t expected = in_flight && layout.chunks[static_cast<size_t>(r.sequence)].overlaps_source()
                                     ? layout.chunks[static_cast<size_t>(r.sequence)].length
                                     : 0;
        if (r.saved != expected) continue;
        std::vector<uint8_t> saved(static_cast<size_t>(r.saved));
        if (!pread_all(fd, saved.data(), r.saved, at + record_bytes) || record_checksum(r, saved.data()) != r.checksum)
            continue;
        if (best && best->chunk >= r.sequence) continue;
        best = resume_point{r.sequence, true, std::move(saved)};
    }
    return best;
}

recovery_result drop_incomplete(const std::string &journal, const std::string &file, int file_fd, const header &h) {
    // Space allocated past the end for the growth is given back.
    struct stat info {};
    if (file_fd >= 0 && ::fstat(file_fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == h.old_size) {
        static_cast<void>(::ftruncate(file_fd, h.old_size));
    }
    if (!remove_journal(journal)) return recovery_result::failed;
    SKARN_LOG("the in-place save of '" << file << "' was interrupted before its journal was complete: '" << file
                                       << "' keeps its old content");
    return recovery_result::old_content;
}

// Opens the journal at `journal` of `file` for recovery, locked, and learns
// its size. Nothing when it is open, else what recovery comes to: nothing to
// recover (no journal) or failed (logged).
std::optional<recovery_result> open_journal(const std::string &journal, const std::string &file, unique_fd &fd,
                                            int64_t &size) {
    fd.reset(journal.empty() ? -1 : ::open(journal.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        if (journal.empty() || errno == ENOENT) return recovery_result::nothing;
        SKARN_LOG("cannot open the journal '" << journal << "'");
        SKARN_LOG(log::system_error_line());
        return recovery_result::failed;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        SKARN_LOG("an in-place save of '" << file << "' is under way (its journal '" << journal
                                          << "' is in use): nothing recovered");
        return recovery_result::failed;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        SKARN_LOG("'" << journal << "' is not a journal file: not applied");
        return recovery_result::failed;
    }
    size = info.st_size;
    return std::nullopt;
}

// Carries a committed save of `file` (its state in `info`) on from its
// progress, then removes the journal.
recovery_result complete_save(const std::string &journal, const std::string &file, int journal_fd, int file_fd,
                              const struct stat &info, const journal_layout &layout) {
    const header &h = layout.head;
    resume_point from = read_progress(journal_fd, layout).value_or(resume_point{});
    const int64_t file_size = S_ISBLK(info.st_mode) ? h.old_size : static_cast<int64_t>(info.st_size);
    const bool moved = from.recorded && from.chunk == static_cast<int64_t>(layout.chunks.size());
    if (file_size < (moved ? std::min(h.old_size, h.new_size) : h.old_size)) {
        SKARN_LOG("'" << file << "' is shorter than its unfinished in-place save left it: journal '" << journal
                      << "' not applied");
        return recovery_result::failed;
    }
    if (carry_out(file_fd, journal_fd, layout, std::move(from), S_ISREG(info.st_mode)) != journal_result::ok) {
        SKARN_LOG(log::system_error_line());
        SKARN_LOG("the recovery of '" << file << "' could not be completed; the journal '" << journal
                                      << "' stays for another try");
        return recovery_result::failed;
    }
    if (!remove_journal(journal)) return recovery_result::failed;
    SKARN_LOG("recovered '" << file << "' to the new content of its interrupted in-place save");
    return recovery_result::new_content;
}

}  // namespace

recovery_result recover_file(const char *path) {
    std::string file;
    bool through_link = false;
    if (path == nullptr || *path == '\0' || !resolve_save_target(path, file, through_link)) {
        SKARN_LOG("cannot resolve '" << (path != nullptr ? path : "") << "'");
        return recovery_result::failed;
    }
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        if (errno == ENOENT) return recovery_result::nothing;
        SKARN_LOG(log::system_error_line());
        return recovery_result::failed;
    }
    const std::string journal = journal_path_of(file, info);
    unique_fd journal_fd;
    int64_t journal_size = 0;
    if (const std::optional<recovery_result> ended = open_journal(journal, file, journal_fd, journal_size)) {
        return *ended;
    }
    const unique_fd file_fd{::open(file.c_str(), O_RDWR | O_CLOEXEC)};
    header h{};
    switch (read_header(journal_fd.get(), journal_size, h)) {
        case journal_state::abandoned: return drop_incomplete(journal, file, file_fd.get(), h);
        case journal_state::foreign:
            SKARN_LOG("'" << journal << "' is not a journal of this library's format: not applied");
            return recovery_result::failed;
        case journal_state::damaged:
            SKARN_LOG("the journal '" << journal << "' is damaged (its header fails its checksum): not applied");
            return recovery_result::failed;
        default: break;
    }
    if (h.device != device_of(info) || h.inode != inode_of(info) || (h.kind == 1) != S_ISBLK(info.st_mode)) {
        SKARN_LOG("the journal '" << journal << "' belongs to another file than '" << file << "': not applied");
        return recovery_result::failed;
    }
    if (!file_fd.valid()) {
        SKARN_LOG("cannot open '" << file << "' for writing");
        SKARN_LOG(log::system_error_line());
        return recovery_result::failed;
    }
    save_plan plan;
    switch (read_plan(journal_fd.get(), journal_size, h, plan)) {
        case journal_state::incomplete: return drop_incomplete(journal, file, file_fd.get(), h);
        case journal_state::damaged:
            SKARN_LOG("the journal '" << journal << "' states a plan that does not fit its sizes: not applied");
            return recovery_result::failed;
        default: break;
    }
    return complete_save(journal, file, journal_fd.get(), file_fd.get(), info, layout_of(h, std::move(plan)));
}

}  // namespace skarn
