// Owners of the operating system's handles: a descriptor and a stdio stream,
// each closed when its owner goes, or earlier by a close whose error counts;
// and a file made by one call, removed unless the call completed; and the
// sync that makes a directory's entries durable.
#ifndef SKARN_IO_HANDLES_HPP
#define SKARN_IO_HANDLES_HPP

#include <cstdio>
#include <string>

namespace skarn {

// An open descriptor, closed when the owner goes.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept;
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept;
    // Closes the descriptor held (if any) and holds `fd`. False when the
    // close reported an error (errno set).
    bool reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// An open stdio stream, closed when the owner goes.
class unique_stream {
public:
    unique_stream() = default;
    explicit unique_stream(FILE *stream) noexcept : stream_(stream) {}
    unique_stream(const unique_stream &) = delete;
    unique_stream &operator=(const unique_stream &) = delete;
    ~unique_stream() { close(); }

    FILE *get() const noexcept { return stream_; }
    bool valid() const noexcept { return stream_ != nullptr; }
    // Closes the stream (flushing it); false when that reported an error.
    bool close() noexcept;

private:
    FILE *stream_ = nullptr;
};

// A file this call made, removed when the owner goes unless it was kept.
class file_removal {
public:
    explicit file_removal(const char *path) noexcept : path_(path) {}
    file_removal(const file_removal &) = delete;
    file_removal &operator=(const file_removal &) = delete;
    ~file_removal();

    void keep() noexcept { path_ = nullptr; }

private:
    const char *path_;
};

// The directory holding `path` ("." for a bare name).
std::string directory_of(const std::string &path);

// Makes the entries of `directory` durable. False (errno set) on failure.
bool sync_directory_of(const std::string &directory) noexcept;

}  // namespace skarn

#endif  // SKARN_IO_HANDLES_HPP
