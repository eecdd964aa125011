// Owners of the operating system's handles.
#include "io/handles.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace skarn {

unique_fd &unique_fd::operator=(unique_fd &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int unique_fd::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool unique_fd::reset(int fd) noexcept {
    const int old = fd_;
    fd_ = fd;
    return old < 0 || ::close(old) == 0;
}

bool unique_stream::close() noexcept {
    FILE *stream = stream_;
    stream_ = nullptr;
    return stream == nullptr || std::fclose(stream) == 0;
}

file_removal::~file_removal() {
    if (path_ != nullptr) std::remove(path_);
}

std::string directory_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool sync_directory_of(const std::string &directory) noexcept {
    const unique_fd fd{::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    return fd.valid() && ::fsync(fd.get()) == 0;
}

}  // namespace skarn
