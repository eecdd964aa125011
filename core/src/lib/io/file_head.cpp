// Reading the first bytes of a file through a stdio stream.
#include "io/file_head.hpp"

#include <cerrno>
#include <cstdio>

namespace skarn {

int64_t read_file_head(const char *path, uint8_t *out, size_t capacity) noexcept {
    FILE *file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        if (path == nullptr) errno = EINVAL;
        std::perror("Error opening file");
        return -1;
    }
    const size_t n = std::fread(out, 1, capacity, file);
    std::fclose(file);
    return static_cast<int64_t>(n);
}

}  // namespace skarn
