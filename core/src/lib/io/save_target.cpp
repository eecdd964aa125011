// Following the symbolic links of a save's target to the file they name.
#include "io/save_target.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace {

// The kernel's limit of links followed in one lookup.
constexpr int max_links = 40;

// Whether the kernel, with protected symlinks on, follows the link `link`
// (its lstat) found in `directory`. False with errno set when it does not
// or when the directory cannot be looked at.
bool protected_rule_allows(const struct stat &link, const std::filesystem::path &directory) noexcept {
    if (link.st_uid == ::geteuid()) return true;
    struct stat parent {};
    if (::stat(directory.empty() ? "." : directory.c_str(), &parent) != 0) return false;
    const bool shared = (parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & S_IWOTH) != 0;
    if (!shared || parent.st_uid == link.st_uid) return true;
    errno = EACCES;
    return false;
}

}  // namespace

bool resolve_save_target(const std::string &requested, std::string &resolved, bool &through_link) {
    namespace fs = std::filesystem;
    through_link = false;
    fs::path current(requested);
    for (int followed = 0;; ++followed) {
        struct stat link {};
        if (::lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            resolved = current.string();
            return true;
        }
        if (followed == max_links) {
            errno = ELOOP;
            return false;
        }
        const fs::path directory = current.parent_path();
        if (!protected_rule_allows(link, directory)) return false;
        std::error_code error;
        const fs::path next = fs::read_symlink(current, error);
        if (error) {
            errno = error.value();
            return false;
        }
        current = next.is_absolute() ? next : directory / next;
        through_link = true;
    }
}
