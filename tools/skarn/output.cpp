// Standard output; see output.hpp.
#include "output.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "errors.hpp"
#include "progress.hpp"
#include "signals.hpp"

namespace skarn_cli {

namespace {

std::string output_buffer;
constexpr size_t output_buffer_limit = 65536;

}  // namespace

void write_output(std::string_view bytes) {
    output_buffer.append(bytes);
    if (output_buffer.size() >= output_buffer_limit) flush_output();
}

void flush_output() {
    // Output and the progress line on one terminal would mix: the line goes
    // and is drawn again below the output by the next update.
    static const bool output_on_terminal = ::isatty(STDOUT_FILENO) == 1;
    if (output_on_terminal && !output_buffer.empty()) progress_finish();
    size_t written = 0;
    while (written < output_buffer.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, output_buffer.data() + written, output_buffer.size() - written);
        if (n >= 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) {
            check_interrupted();
            continue;
        }
        const int error = errno;
        output_buffer.clear();
        if (error == EPIPE) throw output_closed{};
        throw failure(std::string("cannot write the output: ") + std::strerror(error));
    }
    output_buffer.clear();
}

void write_content_to_output(skarn_session_struct *session) {
    constexpr int64_t piece = int64_t{1} << 20;
    skarn_segment_struct *segment = skarn_segment_create(piece);
    if (segment == nullptr) throw std::bad_alloc();
    struct segment_guard {
        skarn_segment_struct *segment;
        ~segment_guard() { skarn_segment_destroy(segment); }
    } guard{segment};
    const int64_t size = skarn_session_get_computed_file_size(session);
    progress_begin("writing");
    for (int64_t offset = 0; offset < size;) {
        check_interrupted();
        if (skarn_session_get_segment(session, segment, offset) != 0 || skarn_segment_get_length(segment) <= 0) {
            throw failure("cannot read the content at offset " + std::to_string(offset));
        }
        const int64_t length = std::min(skarn_segment_get_length(segment), size - offset);
        write_output({reinterpret_cast<const char *>(skarn_segment_get_data(segment)), static_cast<size_t>(length)});
        offset += length;
        progress_update(offset, size);
    }
    flush_output();
    progress_finish();
}

}  // namespace skarn_cli
