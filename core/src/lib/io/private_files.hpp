// The library's own files: the private files of a session (the private copy
// of its file, its checkpoint files, a transform's output) and the temporary
// file of a save. Their rules are stated at the top of private_files.cpp.
#ifndef SKARN_IO_PRIVATE_FILES_HPP
#define SKARN_IO_PRIVATE_FILES_HPP

#include <sys/types.h>

#include <functional>
#include <string>

#include "io/level_file.hpp"
#include "skarn_edit/filesystem.h"

// Fills the trailing XXXXXX of `tmpl` with random characters and calls
// `attempt` with it until it returns a value >= 0 (returned) or fails with an
// errno other than EEXIST (-1). -1 with EINVAL for a template without the
// placeholder (filesystem source).
namespace skarn {

int unique_name(char *tmpl, const std::function<int(const char *)> &attempt) noexcept;

// Creates a private file under `name`, a path ending in XXXXXX, exclusively
// and never through a link, mode 0600, and marks it as in use for as long as
// a descriptor of it is open. Returns the descriptor (read and write), or -1
// with errno set.
int create_private_file(char *name) noexcept;

// A private file created by create_private_file that is removed, with its
// descriptor closed, when the owner goes, unless it was kept: the one way a
// failure on the way to a finished private file leaves nothing behind.
class scoped_private_file {
public:
    scoped_private_file() = default;
    ~scoped_private_file();
    scoped_private_file(const scoped_private_file &) = delete;
    scoped_private_file &operator=(const scoped_private_file &) = delete;

    // Creates the file under `name_template` (a path ending in XXXXXX).
    // False with errno set; path() then tells the name tried.
    bool create(const char *name_template) noexcept;
    int fd() const noexcept { return fd_.get(); }
    const char *path() const noexcept { return path_; }
    // A descriptor of its own to write the file through, closed (and its
    // close checked) by the writer, so that the descriptor the file keeps
    // is never written through; none (errno set) when it cannot be had.
    unique_fd writer() const noexcept;
    // Hands the descriptor over; the file is still removed unless kept.
    unique_fd take_descriptor() noexcept { return std::move(fd_); }
    // The file stays (under its name, or another it was renamed to).
    void keep() noexcept { owned_ = false; }

private:
    char path_[SKARN_PATH_BUFFER_SIZE] = "";
    unique_fd fd_;
    bool owned_ = false;
};

// Opens `path` with `flags` (O_RDONLY or O_RDWR) when it is a regular file
// of this user, no link followed; -1 (errno set) otherwise.
int open_own_regular_file(const char *path, int flags) noexcept;

// Opens the private file `path` again (a file a journaled session kept),
// for reading (and writing, with `writable`), marked as in use as
// create_private_file marks it: no link followed, a regular file of this
// user. -1 (errno set) otherwise.
int open_private_file(const char *path, bool writable = false) noexcept;

// Removes the private file `path`. False (errno set) when it cannot.
bool remove_private_file(const char *path) noexcept;

// Removes the private files and save temporary files in `directory` left by
// sessions whose process ended without removing them (killed, or crashed):
// the files of this library's names, owned by this user, that no open
// descriptor marks as in use. Never follows a link; never fails.
void remove_abandoned_files(const std::string &directory) noexcept;

// The temporary file a save writes, beside its target. Where the file system
// allows, it has no name while it is written, so that a process killed on
// the way leaves nothing; it gets one (name_now) only once it is complete,
// right before it is renamed over its target. Where it must have a name from
// the start it is a private file, marked as in use like the others. Unless it
// was renamed (renamed()), the file is removed when the object goes.
class save_file {
public:
    save_file() = default;
    ~save_file();
    save_file(const save_file &) = delete;
    save_file &operator=(const save_file &) = delete;

    // Creates the file, with permission bits `mode` less the umask, for a
    // name of the form `name_template` (a path ending in XXXXXX). Returns its
    // descriptor (read and write; the caller closes it, once name_now has
    // been called) or -1 with errno set, when name() tells the name tried.
    int create(const char *name_template, mode_t mode) noexcept;
    // Gives the complete file a name of the template's form, while the
    // descriptor is still open. 0, or -1 with errno set.
    int name_now() noexcept;
    // The file's name (once it has one), else the template.
    const char *name() const noexcept { return name_; }
    // The file now lives under another name: nothing is removed.
    void renamed() noexcept { named_ = false; }

private:
    char name_[SKARN_PATH_BUFFER_SIZE] = "";
    char template_[SKARN_PATH_BUFFER_SIZE] = "";
    int fd_ = -1;
    bool named_ = false;  // a name of the file exists and is the object's to remove
};

}  // namespace skarn

#endif  // SKARN_IO_PRIVATE_FILES_HPP
