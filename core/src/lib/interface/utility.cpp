// The exported functions of skarn_edit/utility.h: byte helpers over
// caller-owned memory, byte transforms of buffers and files, and the stream
// range copier. Messages of this source go to stderr.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "analysis/ascii_case.hpp"
#include "common/log.hpp"
#include "io/save_journal.hpp"
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
