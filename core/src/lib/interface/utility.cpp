// The exported functions of skarn_edit/utility.h: byte helpers over
// caller-owned memory, byte transforms of buffers and files, and the stream
// range copier. Messages of this source go to stderr.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "analysis/ascii_case.hpp"
#include "common/log.hpp"
#include "engine/session_open.hpp"
#include "io/save_journal.hpp"
#include "io/session_journal.hpp"
#include "io/stream_range_copy.hpp"
#include "io/transform_file.hpp"
#include "skarn_edit/filesystem.h"
#include "skarn_edit/utility.h"

// ---------------------------------------------------------------------------
// Byte helpers

int skarn_util_compute_mode(int mode) noexcept { return mode & 0600; }

int skarn_util_left_shift_buffer(uint8_t *buffer, int64_t length, uint8_t shift, int fill) noexcept {
    if (shift < 1 || shift > 7) return -1;
    if (static_cast<unsigned>(fill) > 1) return -2;
    if (length <= 0 || buffer == nullptr) return 0;
    const int carry = 8 - shift;
    const int64_t last = length - 1;
    for (int64_t i = 0; i < last; ++i) {
        buffer[i] = static_cast<uint8_t>((buffer[i] << shift) | (buffer[i + 1] >> carry));
    }
    buffer[last] = static_cast<uint8_t>(buffer[last] << shift);
    if (fill == 1) buffer[last] = static_cast<uint8_t>(buffer[last] | (0xFF >> carry));
    return 0;
}

int skarn_util_right_shift_buffer(uint8_t *buffer, int64_t length, uint8_t shift, int fill) noexcept {
    if (shift < 1 || shift > 7) return -1;
    if (static_cast<unsigned>(fill) > 1) return -2;
    if (length <= 0 || buffer == nullptr) return 0;
    const int carry = 8 - shift;
    for (int64_t i = length - 1; i > 0; --i) {
        buffer[i] = static_cast<uint8_t>((buffer[i] >> shift) | (buffer[i - 1] << carry));
    }
    buffer[0] = static_cast<uint8_t>(buffer[0] >> shift);
    if (fill == 1) buffer[0] = static_cast<uint8_t>(buffer[0] | (0xFF << carry));
    return 0;
}

uint8_t skarn_util_mask_byte(uint8_t byte, uint8_t mask, int mask_kind) noexcept {
    return skarn::log::call(__func__, skarn::log::stream::error, static_cast<uint8_t>(byte), [&]() -> uint8_t {
        switch (mask_kind) {
            case MASK_AND: return static_cast<uint8_t>(byte & mask);
            case MASK_OR: return static_cast<uint8_t>(byte | mask);
            case MASK_XOR: return static_cast<uint8_t>(byte ^ mask);
            default: SKARN_LOG("unhandled mask kind"); return byte;
        }
    });
}

const void *skarn_util_memrchr(const void *buffer, int value, int64_t length) noexcept {
    if (buffer == nullptr || length <= 0 || value < 0 || value > 255) return nullptr;
#if defined(__GLIBC__)
    return ::memrchr(buffer, value, static_cast<size_t>(length));
#else
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    for (int64_t i = length - 1; i >= 0; --i) {
        if (bytes[i] == value) return bytes + i;
    }
    return nullptr;
#endif
}

int skarn_util_strncmp(const char *s1, const char *s2, int64_t length) noexcept {
    for (int64_t i = 0; i < length; ++i) {
        const int a = static_cast<signed char>(s1[i]);
        const int b = static_cast<signed char>(s2[i]);
        if (a != b) return a - b;
    }
    return 0;
}

int skarn_util_strnicmp(const char *s1, const char *s2, int64_t length) noexcept {
    for (int64_t i = 0; i < length; ++i) {
        // tolower is defined on unsigned char values only; the lowered byte is
        // taken as a signed character again so that the difference matches
        // skarn_util_strncmp's.
        const int a = static_cast<signed char>(skarn::fold_case(s1[i]));
        const int b = static_cast<signed char>(skarn::fold_case(s2[i]));
        if (a != b) return a - b;
    }
    return 0;
}

char *skarn_util_strndup(const char *source, int64_t length) noexcept {
    if (length < 0 || (length > 0 && source == nullptr)) return nullptr;
    if (static_cast<uint64_t>(length) >= SIZE_MAX) return nullptr;
    auto *copy = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (copy == nullptr) return nullptr;
    if (length > 0) std::memcpy(copy, source, static_cast<size_t>(length));
    copy[length] = '\0';
    return copy;
}

// ---------------------------------------------------------------------------
// Byte transforms and the range copier

void skarn_util_apply_byte_transform(uint8_t *buffer, int64_t length, skarn_util_byte_transform_t transform,
                                     void *user_data) noexcept {
    if (buffer == nullptr || transform == nullptr) return;
    for (int64_t i = 0; i < length; ++i) buffer[i] = transform(buffer[i], user_data);
}

uint8_t skarn_util_byte_table_transform(uint8_t byte, void *user_data) noexcept {
    if (user_data == nullptr) return byte;
    return static_cast<const uint8_t *>(user_data)[byte];
}

int64_t skarn_util_write_segment_to_file(FILE *source, int64_t offset, int64_t count, FILE *destination) noexcept {
    if (source == nullptr) return -1;
    return skarn::copy_stream_range(source, offset, count, destination);
}

int skarn_util_apply_byte_transform_to_file(const char *in_path, const char *out_path,
                                            skarn_util_byte_transform_t transform, void *user_data, int64_t offset,
                                            int64_t length) noexcept {
    return skarn::log::call(__func__, skarn::log::stream::error, static_cast<int>(-1), [&]() -> int {
        if (in_path != nullptr && out_path != nullptr && transform != nullptr &&
            skarn::transform_file(in_path, out_path, transform, user_data, offset, length)) {
            return 0;
        }
        SKARN_LOG("transform failed");
        return -1;
    });
}

// ---------------------------------------------------------------------------
// Recovery of an interrupted in-place save

int skarn_util_recover_file(const char *path) noexcept {
    return skarn::log::call(__func__, skarn::log::stream::log, -1, [&] {
        switch (skarn::recover_file(path)) {
            case skarn::recovery_result::nothing: return 0;
            case skarn::recovery_result::old_content:
            case skarn::recovery_result::new_content: return 1;
            default: return -1;
        }
    });
}

// ---------------------------------------------------------------------------
// Session journals left behind

namespace {

// Copies `text` into the caller's path buffer; false (logged) when it does not fit.
bool copy_path(const std::string &text, char *buffer) noexcept {
    if (text.size() >= SKARN_PATH_BUFFER_SIZE) {
        SKARN_LOG("the path '" << text << "' does not fit a path buffer");
        return false;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

int skarn_util_find_journal(const char *file_path, const char *checkpoint_directory, char *journal_path) noexcept {
    static char found_path[SKARN_PATH_BUFFER_SIZE];
    return skarn::log::call(__func__, skarn::log::stream::log, -1, [&] {
        char absolute[SKARN_PATH_BUFFER_SIZE];
        if (file_path == nullptr || skarn_util_normalize_path(file_path, absolute) == nullptr) {
            SKARN_LOG("failed to resolve '" << (file_path != nullptr ? file_path : "(null)")
                                            << "' to an absolute path");
            return -1;
        }
        char directory[SKARN_PATH_BUFFER_SIZE];
        const std::string chosen = skarn::choose_checkpoint_directory(file_path, checkpoint_directory);
        if (skarn_util_normalize_path(chosen.c_str(), directory) == nullptr) {
            SKARN_LOG("failed to resolve the directory '" << chosen << "' to an absolute path");
            return -1;
        }
        std::string found;
        const int result = skarn::find_journal(absolute, directory, found);
        if (result != 1) return result;
        return copy_path(found, journal_path != nullptr ? journal_path : found_path) ? 1 : -1;
    });
}

int skarn_util_describe_journal(const char *journal_path, char *file_path) noexcept {
    return skarn::log::call(__func__, skarn::log::stream::log, 0, [&] {
        if (journal_path == nullptr) return 0;
        std::string described;
        const int result = skarn::describe_journal(journal_path, described);
        if (result != 0 && file_path != nullptr && !copy_path(described, file_path)) return 0;
        return result;
    });
}

int skarn_util_remove_journal(const char *journal_path) noexcept {
    return skarn::log::call(__func__, skarn::log::stream::log, -1,
                            [&] { return journal_path == nullptr ? -1 : skarn::remove_journal(journal_path); });
}
