// Reading the first bytes of a file through a stdio stream.
#include "io/file_head.hpp"

#include <cerrno>
#include <cstdio>

#include "io/handles.hpp"

namespace skarn {

int64_t read_file_head(const char *path, uint8_t *out, size_t capacity) noexcept {
    const unique_stream file{path != nullptr ? std::fopen(path, "rb") : nullptr};
    if (!file.valid()) {
        if (path == nullptr) errno = EINVAL;
        std::perror("Error opening file");
        return -1;
    }
    return static_cast<int64_t>(std::fread(out, 1, capacity, file.get()));
}

}  // namespace skarn
