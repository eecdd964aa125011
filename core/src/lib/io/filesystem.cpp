// Path, directory, temporary-file and whole-file helpers. Every file-system
// access goes through std::filesystem (or the standard file streams) with the
// std::error_code overloads, so no filesystem error leaves a C function.

#include "skarn_edit/filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "io/file_copy.hpp"
#include "impl_/log.hpp"

namespace fs = std::filesystem;

namespace {

// Static result buffers of the functions that follow the path result
// convention, one per function.
char current_dir_buffer[SKARN_PATH_BUFFER_SIZE];
char normalize_path_buffer[SKARN_PATH_BUFFER_SIZE];
char dirname_buffer[SKARN_PATH_BUFFER_SIZE];
char basename_buffer[SKARN_PATH_BUFFER_SIZE];
char file_extension_buffer[SKARN_PATH_BUFFER_SIZE];
char available_filename_buffer[SKARN_PATH_BUFFER_SIZE];

// A null path argument is taken as the empty path.
fs::path to_path(const char *path) { return path != nullptr ? fs::path(path) : fs::path(); }

// Writes `result` with its terminating 0 into the caller's buffer, or into the
// function's static buffer when the caller gave none, and returns that buffer.
// A result that does not fit returns null and leaves the buffer untouched.
char *store_path_result(const std::string &result, char *buffer, char *static_buffer) noexcept {
    if (result.size() >= SKARN_PATH_BUFFER_SIZE) return nullptr;
    char *target = buffer != nullptr ? buffer : static_buffer;
    std::memcpy(target, result.c_str(), result.size() + 1);
    return target;
}

// The steps of skarn_util_file_copy. Returns its result code; for -4 `reason`
// receives the description of the failure. The caller writes the messages.
int copy_file_steps(const fs::path &source, const fs::path &target, int mode, std::string &reason) {
    std::error_code ec;
    const auto failed = [&] {
        reason = ec.message();
        return -4;
    };

    const bool source_exists = fs::exists(source, ec);
    if (ec) return failed();
    if (!source_exists) return -1;
    const bool source_regular = fs::is_regular_file(source, ec);
    if (ec) return failed();
    if (!source_regular) return -2;

    // The destination itself, not what it may link to: a link (even a
    // dangling one) is removed like any other file.
    const fs::file_status target_status = fs::symlink_status(target, ec);
    if (!fs::status_known(target_status)) return failed();
    if (fs::exists(target_status)) {
        // Removing a destination that is the source itself would lose the
        // source before anything is copied.
        const bool same_file = source == target || fs::equivalent(source, target, ec);
        if (ec) return failed();
        if (same_file) {
            reason = "source and destination are the same file";
            return -4;
        }
        fs::remove(target, ec);
        if (ec) return failed();
    }

    // Clone, kernel copy or read and write, holes kept; the new file takes
    // the source's permissions, as a copy by the standard library would.
    const auto system_failed = [&] {
        reason = std::strerror(errno);
        return -4;
    };
    const int from = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0) return system_failed();
    struct stat source_status {};
    const int to = fstat(from, &source_status) != 0
                       ? -1
                       : open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, source_status.st_mode & 07777);
    if (to < 0) {
        const int result = system_failed();
        close(from);
        return result;
    }
    const int copied = copy_descriptor_contents_(from, to);
    const int error = errno;
    close(from);
    if (close(to) != 0 && copied == 0) return system_failed();
    if (copied != 0) {
        errno = error;
        return system_failed();
    }

    // The copy is dated now, whatever the copy itself kept of the source.
    fs::last_write_time(target, fs::file_time_type::clock::now(), ec);
    if (ec) return failed();

    fs::perms permissions = static_cast<fs::perms>(mode) & fs::perms::mask;
    if (mode == 0) {
        permissions = fs::status(source, ec).permissions();
        if (ec) return failed();
    }
    fs::permissions(target, permissions, fs::perm_options::replace, ec);
    if (ec) return failed();
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Paths, directories and temporary files
// ---------------------------------------------------------------------------

char skarn_util_directory_separator(void) noexcept { return '/'; }

char *skarn_util_get_current_dir(char *buffer) noexcept {
    try {
        std::error_code ec;
        const fs::path current = fs::current_path(ec);
        if (ec) return nullptr;
        return store_path_result(current.string(), buffer, current_dir_buffer);
    } catch (...) {
        return nullptr;
    }
}

char *skarn_util_get_temp_directory(void) noexcept {
    try {
        std::error_code ec;
        const fs::path temp = fs::temp_directory_path(ec);
        if (ec || !fs::is_directory(temp, ec) || ec) return nullptr;
        const std::string text = temp.string();
        auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
        if (copy == nullptr) return nullptr;
        std::memcpy(copy, text.c_str(), text.size() + 1);
        return copy;
    } catch (...) {
        return nullptr;
    }
}

int skarn_util_directory_exists(const char *path) noexcept {
    try {
        std::error_code ec;
        return fs::is_directory(to_path(path), ec) && !ec ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int skarn_util_create_directory(const char *path) noexcept {
    try {
        std::error_code ec;
        return fs::create_directories(to_path(path), ec) && !ec ? 0 : 1;
    } catch (...) {
        return 1;
    }
}

int skarn_util_remove_directory(const char *path) noexcept {
    try {
        const fs::path directory = to_path(path);
        std::error_code ec;
        if (!fs::is_directory(directory, ec) || ec) return -1;
        return fs::remove(directory, ec) && !ec ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

int skarn_util_remove_file(const char *path) noexcept {
    try {
        const fs::path file = to_path(path);
        std::error_code ec;
        if (!fs::is_regular_file(fs::status(file, ec)) || ec) return -1;
        return fs::remove(file, ec) && !ec ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

char *skarn_util_normalize_path(const char *path, char *buffer) noexcept {
    try {
        const fs::path original = to_path(path);
        // canonical() refuses the empty path; its normal form is itself.
        if (original.empty()) return store_path_result(std::string(), buffer, normalize_path_buffer);
        std::error_code ec;
        const fs::path resolved = fs::canonical(original, ec);
        if (ec) return nullptr;
        const fs::path absolute = fs::absolute(resolved, ec);
        if (ec) return nullptr;
        return store_path_result(absolute.string(), buffer, normalize_path_buffer);
    } catch (...) {
        return nullptr;
    }
}

char *skarn_util_dirname(const char *path, char *buffer) noexcept {
    try {
        return store_path_result(to_path(path).parent_path().string(), buffer, dirname_buffer);
    } catch (...) {
        return nullptr;
    }
}

char *skarn_util_basename(const char *path, char *buffer, int drop_suffix) noexcept {
    try {
        const fs::path original = to_path(path);
        const fs::path name = drop_suffix != 0 ? original.stem() : original.filename();
        return store_path_result(name.string(), buffer, basename_buffer);
    } catch (...) {
        return nullptr;
    }
}

char *skarn_util_file_extension(const char *path, char *buffer) noexcept {
    try {
        return store_path_result(to_path(path).extension().string(), buffer, file_extension_buffer);
    } catch (...) {
        return nullptr;
    }
}

int skarn_unique_name_(char *tmpl, const std::function<int(const char *)> &attempt) noexcept {
    static constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static constexpr std::string_view placeholder = "XXXXXX";

    const size_t length = tmpl != nullptr ? std::strlen(tmpl) : 0;
    if (length < placeholder.size() || std::string_view(tmpl + length - placeholder.size()) != placeholder) {
        errno = EINVAL;
        return -1;
    }
    try {
        std::random_device device;
        std::mt19937 engine(device());
        std::uniform_int_distribution<int> pick(0, static_cast<int>(alphabet.size()) - 1);
        char *const name = tmpl + length - placeholder.size();

        for (int32_t attempt_number = 0; attempt_number < INT32_MAX; ++attempt_number) {
            for (size_t i = 0; i < placeholder.size(); ++i) name[i] = alphabet[static_cast<size_t>(pick(engine))];
            const int result = attempt(tmpl);
            if (result >= 0) return result;
            if (errno != EEXIST) return -1;
        }
        errno = EEXIST;
        return -2;
    } catch (const std::system_error &error) {
        // The random device could not be opened.
        errno = error.code().value();
        return -1;
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

int skarn_util_mkstemp(char *tmpl, int mode) noexcept {
    const auto file_mode = static_cast<mode_t>(skarn_util_compute_mode(mode != 0 ? mode : 0600));
    return skarn_unique_name_(tmpl, [file_mode](const char *name) {
        return ::open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, file_mode);
    });
}

int skarn_util_file_copy(const char *src, const char *dst, int mode) noexcept {
    try {
        const fs::path source = to_path(src);
        const fs::path target = to_path(dst);
        std::string reason;
        const int result = copy_file_steps(source, target, mode, reason);
        switch (result) {
            case -1: SKARN_LOG("Source file '" << source << "' does not exist"); break;
            case -2: SKARN_LOG("Source path '" << source << "' does not point to a regular file"); break;
            case -3: SKARN_LOG("Error copying file '" << source << "' to '" << target << "'"); break;
            case -4: SKARN_LOG("Error copying file '" << source << "' to '" << target << "': " << reason); break;
            default: break;
        }
        return result;
    } catch (...) {
        return -4;
    }
}

// ---------------------------------------------------------------------------
// Whole files
// ---------------------------------------------------------------------------

int skarn_util_file_exists(const char *path) noexcept {
    try {
        std::error_code ec;
        const fs::file_status status = fs::status(to_path(path), ec);
        return !ec && fs::is_regular_file(status) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int64_t skarn_util_file_size(const char *path) noexcept {
    try {
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(to_path(path), ec);
        return ec ? -1 : static_cast<int64_t>(size);
    } catch (...) {
        return -1;
    }
}

int skarn_util_paths_equivalent(const char *path1, const char *path2) noexcept {
    try {
        std::error_code ec;
        return fs::equivalent(to_path(path1), to_path(path2), ec) && !ec ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int skarn_util_compare_files(const char *path1, const char *path2) noexcept {
    try {
        std::ifstream first(to_path(path1), std::ios::binary);
        if (!first) {
            SKARN_LOG("Error opening file: '" << (path1 != nullptr ? path1 : "") << "'");
            return -1;
        }
        std::ifstream second(to_path(path2), std::ios::binary);
        if (!second) {
            SKARN_LOG("Error opening file: '" << (path2 != nullptr ? path2 : "") << "'");
            return -2;
        }
        std::streambuf *a = first.rdbuf();
        std::streambuf *b = second.rdbuf();
        using traits = std::streambuf::traits_type;
        for (;;) {
            const traits::int_type byte_a = a->sbumpc();
            const traits::int_type byte_b = b->sbumpc();
            if (byte_a != byte_b) return 1;
            if (traits::eq_int_type(byte_a, traits::eof())) return 0;
        }
    } catch (...) {
        // A read that throws ends the walk before both streams reached their end.
        return 1;
    }
}

int skarn_util_compare_modification_times(const char *path1, const char *path2) noexcept {
    try {
        const fs::path first = to_path(path1);
        const fs::path second = to_path(path2);
        std::error_code ec;
        const fs::file_time_type time1 = fs::last_write_time(first, ec);
        if (ec) {
            SKARN_LOG("Error comparing modification times: "
                      << fs::filesystem_error("cannot get file time", first, ec).what());
            return -2;
        }
        const fs::file_time_type time2 = fs::last_write_time(second, ec);
        if (ec) {
            SKARN_LOG("Error comparing modification times: "
                      << fs::filesystem_error("cannot get file time", second, ec).what());
            return -2;
        }
        if (time1 > time2) return 1;
        if (time1 < time2) return -1;
        return 0;
    } catch (...) {
        return -2;
    }
}

char *skarn_util_available_filename(const char *path, char *buffer) noexcept {
    try {
        char *const result = buffer != nullptr ? buffer : available_filename_buffer;
        if (skarn_util_file_exists(path) == 0) {
            return store_path_result(path != nullptr ? path : "", result, nullptr);
        }

        char directory[SKARN_PATH_BUFFER_SIZE];
        char extension[SKARN_PATH_BUFFER_SIZE];
        char stem[SKARN_PATH_BUFFER_SIZE];
        if (skarn_util_dirname(path, directory) == nullptr || skarn_util_file_extension(path, extension) == nullptr ||
            skarn_util_basename(path, stem, 1) == nullptr) {
            return nullptr;
        }
        const fs::path directory_path(directory);
        for (int number = 1; number <= 999; ++number) {
            const std::string name = std::string(stem) + "-" + std::to_string(number) + extension;
            const std::string candidate = (directory_path / name).string();
            // Numbers only grow longer, so once a candidate does not fit none will.
            if (store_path_result(candidate, result, nullptr) == nullptr) return nullptr;
            if (skarn_util_file_exists(result) == 0) return result;
        }
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

int skarn_util_touch(const char *path, int create) noexcept {
    try {
        const fs::path file = to_path(path);
        const char *const text = path != nullptr ? path : "";
        if (skarn_util_file_exists(path) != 0) {
            std::error_code ec;
            fs::last_write_time(file, fs::file_time_type::clock::now(), ec);
            if (!ec) return 0;
            // The time could not be set: a file that can still be opened for
            // writing counts as touched. Append mode leaves its content as it is.
            std::ofstream append(file, std::ios::binary | std::ios::app);
            if (!append) {
                SKARN_LOG("Error touching existing file '" << text << "': " << ec.message());
                return -3;
            }
            return 0;
        }
        if (create == 0) {
            SKARN_LOG("File '" << text << "' does not exist");
            return -2;
        }
        std::ofstream created(file, std::ios::binary);
        if (!created) {
            SKARN_LOG("Error creating file '" << text << "'");
            return -1;
        }
        return 0;
    } catch (...) {
        return -1;
    }
}

int64_t skarn_util_remove_all(const char *path) noexcept {
    try {
        std::error_code ec;
        const std::uintmax_t count = fs::remove_all(to_path(path), ec);
        return ec ? -1 : static_cast<int64_t>(count);
    } catch (...) {
        return -1;
    }
}
