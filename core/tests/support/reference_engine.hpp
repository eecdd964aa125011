// A reference editing engine for differential tests, never shipped: the
// library's earlier engine, a plain vector of segments per level with stored
// computed offsets that every edit renumbers, and an undo that rebuilds the
// level from its file by replaying the changes that remain. It keeps its own
// history, transaction and pause state and its levels' file contents in
// memory, and prints its segments in the library's dump format.
#ifndef SKARN_TESTS_REFERENCE_ENGINE_HPP
#define SKARN_TESTS_REFERENCE_ENGINE_HPP

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace skarn_test {

class ReferenceEngine {
public:
    enum Kind { Delete = 0, Insert = 1, Overwrite = 2 };

    explicit ReferenceEngine(const std::string &file_content) { levels_.push_back(make_level(file_content)); }

    int64_t size() const {
        const auto &segments = current().segments;
        return segments.empty() ? 0 : segments.back().computed_offset + segments.back().computed_length;
    }

    // An edit as skarn_edit_insert_bytes, skarn_edit_overwrite_bytes and
    // skarn_edit_delete take it; `bytes` is ignored for a delete.
    int64_t edit(Kind kind, int64_t offset, const std::string &bytes, int64_t length) {
        if (paused_ || offset < 0) return 0;
        const int64_t content_size = size();
        if (kind == Delete) {
            if (length <= 0 || offset >= content_size) return 0;
            length = std::min(length, content_size - offset);
        } else {
            if (length < 0 || offset > content_size) return 0;
            if (length == 0) length = static_cast<int64_t>(std::strlen(bytes.c_str()));
        }
        auto change = std::make_shared<Change>();
        change->serial = num_changes() + 1;
        change->kind = kind;
        change->transaction = transaction_bit();
        change->offset = offset;
        change->length = length;
        if (kind != Delete) change->bytes = bytes.substr(0, static_cast<size_t>(length));
        return apply(change);
    }

    int64_t undo() {
        Level &level = levels_.back();
        if (paused_ || level.changes.empty()) return 0;
        for (;;) {
            ChangePtr change = level.changes.back();
            level.changes.pop_back();
            reset(level);
            for (const auto &remaining : level.changes) update_model(level, remaining);
            change->serial = -change->serial;
            level.undone.push_back(change);
            if (level.changes.empty() || level.changes.back()->transaction != change->transaction) {
                return change->serial;
            }
        }
    }

    int64_t redo() {
        Level &level = levels_.back();
        if (paused_ || level.undone.empty()) return 0;
        for (;;) {
            ChangePtr change = level.undone.back();
            const int64_t result = apply(change);
            level.undone.pop_back();
            if (level.undone.empty() || level.undone.back()->transaction != change->transaction) return result;
        }
    }

    void clear() {
        levels_.resize(1);
        reset(levels_[0]);
        levels_[0].changes.clear();
        levels_[0].undone.clear();
        adjustment_ = 0;
    }

    void checkpoint() {
        const int64_t changes = num_changes();
        levels_.push_back(make_level(content()));
        adjustment_ = changes;
    }

    // A checkpoint whose file then has each byte of [offset, offset + length) mapped by `map`.
    template <typename Map>
    int transform(Map map, int64_t offset, int64_t length) {
        if (paused_) return -1;
        checkpoint();
        Level &level = levels_.back();
        for (int64_t i = offset; i < offset + length; ++i) {
            level.file[static_cast<size_t>(i)] =
                static_cast<char>(map(static_cast<uint8_t>(level.file[static_cast<size_t>(i)])));
        }
        return 0;
    }

    int destroy_checkpoint() {
        if (levels_.size() <= 1) return -1;
        levels_.pop_back();
        adjustment_ -= static_cast<int64_t>(current().changes.size());
        return 0;
    }

    int begin_transaction() {
        if (transaction_open_) return -1;
        transaction_open_ = true;
        return 0;
    }
    int end_transaction() {
        if (!transaction_open_) return -1;
        transaction_open_ = transaction_has_change_ = false;
        return 0;
    }
    void pause(bool paused) { paused_ = paused; }

    int64_t num_changes() const { return static_cast<int64_t>(current().changes.size()) + adjustment_; }
    int64_t num_undone() const { return static_cast<int64_t>(current().undone.size()); }
    int64_t num_transactions(bool undone) const {
        int64_t count = 0;
        for (const auto &level : levels_) {
            const auto &list = undone ? level.undone : level.changes;
            for (size_t i = 0; i < list.size(); ++i) {
                if (i == 0 || list[i]->transaction != list[i - 1]->transaction) ++count;
            }
        }
        return count;
    }

    std::string content() const {
        std::string text;
        const Level &level = current();
        for (const auto &piece : level.segments) {
            const std::string &source = piece.change->serial == 0 ? level.file : piece.change->bytes;
            text += source.substr(static_cast<size_t>(piece.change_offset), static_cast<size_t>(piece.computed_length));
        }
        return text;
    }

    // The segments of the current level, as print_model_segments_ writes them.
    std::string dump() const {
        std::ostringstream out;
        for (const auto &piece : current().segments) {
            const Change &change = *piece.change;
            const bool read = change.serial == 0;
            out << "{\"kind\": \"" << (read ? 'R' : 'I') << "\", \"computed_offset\": " << piece.computed_offset
                << ", \"computed_length\": " << piece.computed_length << ", \"change_offset\": " << piece.change_offset
                << ", \"change\": {\"serial\": " << change.serial << ", \"kind\": \""
                << "DIO"[change.kind] << "\", \"offset\": " << change.offset << ", \"length\": " << change.length;
            // A read change holds no bytes: small ones show their zeroed inline area.
            if (!read) {
                out << ", \"bytes\": \"" << change.bytes << "\"";
            } else if (change.length < 8) {
                out << ", \"bytes\": \"" << std::string(static_cast<size_t>(change.length), '\0') << "\"";
            }
            out << "}}\n";
        }
        return out.str();
    }

private:
    struct Change {
        int64_t serial = 0;
        int kind = Insert;
        bool transaction = false;
        int64_t offset = 0;
        int64_t length = 0;
        std::string bytes;
    };
    using ChangePtr = std::shared_ptr<Change>;
    struct Segment {
        int64_t computed_offset;
        int64_t computed_length;
        int64_t change_offset;
        ChangePtr change;
    };
    struct Level {
        std::string file;
        std::vector<Segment> segments;
        std::vector<ChangePtr> changes;
        std::vector<ChangePtr> undone;
    };

    static Level make_level(const std::string &file) {
        Level level;
        level.file = file;
        reset(level);
        return level;
    }

    static void reset(Level &level) {
        level.segments.clear();
        if (level.file.empty()) return;
        auto read = std::make_shared<Change>();
        read->length = static_cast<int64_t>(level.file.size());
        level.segments.push_back({0, read->length, 0, read});
    }

    const Level &current() const { return levels_.back(); }

    bool transaction_bit() {
        const auto &changes = current().changes;
        const bool last = changes.empty() || changes.back()->transaction;
        if (!transaction_open_) return !last;
        if (!transaction_has_change_) {
            transaction_has_change_ = true;
            return !last;
        }
        return last;
    }

    int64_t apply(const ChangePtr &change) {
        Level &level = levels_.back();
        if (change->offset > size()) return -1;
        if (change->serial < 0) {
            change->serial = -change->serial;
        } else if (!level.undone.empty()) {
            for (auto &each : levels_) each.undone.clear();
        }
        level.changes.push_back(change);
        update_model(level, change);
        return change->serial;
    }

    static void update_model(Level &level, const ChangePtr &change) {
        if (change->kind == Overwrite) {
            auto removal = std::make_shared<Change>();
            removal->kind = Delete;
            removal->offset = change->offset;
            removal->length = change->length;
            splice(level, removal);
        }
        splice(level, change);
    }

    static void splice(Level &level, const ChangePtr &change) {
        auto &segments = level.segments;
        if (segments.empty()) {
            if (change->kind != Delete) segments.push_back({change->offset, change->length, 0, change});
            return;
        }
        size_t index = 0;
        while (index < segments.size() &&
               !(segments[index].computed_offset <= change->offset &&
                 change->offset <= segments[index].computed_offset + segments[index].computed_length)) {
            ++index;
        }
        size_t position = index;
        const int64_t delta = change->offset - segments[index].computed_offset;
        if (delta == segments[index].computed_length) {
            position = index + 1;
        } else if (delta != 0) {
            Segment tail = segments[index];
            tail.computed_offset += delta;
            tail.computed_length -= delta;
            tail.change_offset += delta;
            segments[index].computed_length = delta;
            segments.insert(segments.begin() + static_cast<std::ptrdiff_t>(index) + 1, tail);
            position = index + 1;
        }
        if (change->kind == Delete) {
            int64_t remaining = change->length;
            size_t end = position;
            bool trimmed = false;
            while (remaining != 0 && end < segments.size()) {
                auto &piece = segments[end];
                if (remaining < piece.computed_length) {
                    piece.computed_length -= remaining;
                    piece.change_offset += remaining;
                    piece.computed_offset += remaining - change->length;
                    trimmed = true;
                    break;
                }
                remaining -= piece.computed_length;
                ++end;
            }
            segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(position),
                           segments.begin() + static_cast<std::ptrdiff_t>(end));
            for (size_t i = position + (trimmed ? 1 : 0); i < segments.size(); ++i) {
                segments[i].computed_offset -= change->length;
            }
        } else {
            segments.insert(segments.begin() + static_cast<std::ptrdiff_t>(position),
                            Segment{change->offset, change->length, 0, change});
            for (size_t i = position + 1; i < segments.size(); ++i) segments[i].computed_offset += change->length;
        }
    }

    std::vector<Level> levels_;
    int64_t adjustment_ = 0;
    bool paused_ = false;
    bool transaction_open_ = false;
    bool transaction_has_change_ = false;
};

}  // namespace skarn_test

#endif  // SKARN_TESTS_REFERENCE_ENGINE_HPP
