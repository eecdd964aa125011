// The byte transform of a file: positional reads of the input, stream writes
// of the copy, and the file-to-file transform with its checks. Messages of
// this source go to stderr.
#include "io/transform_file.hpp"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "common/log.hpp"
#include "io/handles.hpp"
#include "io/level_file.hpp"
#include "skarn_edit/utility.h"

namespace {

// Transforms read and write this much at a time, by position.
constexpr int64_t transform_chunk = int64_t{64} << 10;

// True when both paths name one existing file (writing the output would then
// truncate the input).
bool same_file(const char *path1, const char *path2) noexcept {
    try {
        std::error_code ec;
        return std::filesystem::equivalent(path1, path2, ec) && !ec;
    } catch (...) {
        return false;
    }
}

// The size of the file open as `file`, found by seeking to its end; -1 when
// it cannot be learnt.
int64_t stream_size(FILE *file) noexcept {
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    return ftello(file);
}

}  // namespace

namespace skarn {

int transform_stream(int input, int64_t size, FILE *output, skarn_util_byte_transform_t transform, void *user_data,
                     int64_t offset, int64_t length, progress_meter *progress) noexcept {
    progress_meter silent;
    progress_meter &meter = progress != nullptr ? *progress : silent;
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[transform_chunk]);
    if (chunk == nullptr) {
        SKARN_LOG_TO(log::stream::error, "failed to allocate buffer");
        return -1;
    }
    // Copies [from, from + count), transformed or not, chunk by chunk in
    // ascending order of position; false when it fails (logged with `what`,
    // or the read and write messages) or is cancelled.
    const auto copy = [&](int64_t from, int64_t count, bool transformed, const char *what) {
        for (int64_t done = 0; done < count;) {
            const auto n = static_cast<size_t>(std::min(count - done, transform_chunk));
            if (!skarn::read_exact_at(input, from + done, static_cast<int64_t>(n), chunk.get())) {
                SKARN_LOG_TO(log::stream::error, (what != nullptr ? what : "failed to read buffer"));
                if (what == nullptr) SKARN_LOG_TO(log::stream::error, "there are remaining bytes");
                return false;
            }
            if (transformed)
                skarn_util_apply_byte_transform(chunk.get(), static_cast<int64_t>(n), transform, user_data);
            if (std::fwrite(chunk.get(), 1, n, output) != n) {
                SKARN_LOG_TO(log::stream::error, (what != nullptr ? what : "failed to write buffer"));
                if (what == nullptr) SKARN_LOG_TO(log::stream::error, "there are remaining bytes");
                return false;
            }
            done += static_cast<int64_t>(n);
            if (!meter.advance(static_cast<int64_t>(n))) return false;
        }
        return true;
    };
    if (!copy(0, offset, false, "failed to write first segment bytes to file")) return -1;
    if (!copy(offset, length, true, nullptr)) return -1;
    const int64_t tail = size - offset - length;
    if (tail > 0 && !copy(offset + length, tail, false, "failed to write last segment")) return -1;
    return 0;
}

bool transform_range_valid(int64_t size, int64_t offset, int64_t length) noexcept {
    if (offset < 0 || offset >= size || length < 0 || length > size - offset) {
        SKARN_LOG_TO(log::stream::error, "transform out of range");
        return false;
    }
    return true;
}

bool transform_file(const char *in_path, const char *out_path, skarn_util_byte_transform_t transform, void *user_data,
                    int64_t offset, int64_t length) noexcept {
    const unique_stream input{std::fopen(in_path, "rb")};
    if (!input.valid()) return false;
    const int64_t size = stream_size(input.get());
    if (size < 0 || !transform_range_valid(size, offset, length) || same_file(in_path, out_path)) return false;
    if (length == 0) length = size - offset;
    unique_stream output{std::fopen(out_path, "wb")};
    if (!output.valid()) return false;
    file_removal unfinished(out_path);  // removed unless complete
    const bool copied =
        transform_stream(fileno(input.get()), size, output.get(), transform, user_data, offset, length, nullptr) == 0;
    // Closing flushes the stream's buffer: a failure there loses bytes too.
    if (!output.close() || !copied) return false;
    unfinished.keep();
    return true;
}

}  // namespace skarn
