// Descriptor-level file helpers of the editing engine: file identities, the
// copy that fills a private file, exclusive creation, and the refusal of
// calls made from inside a session's own callbacks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "impl_/internal_fun.hpp"
#include "impl_/log.hpp"

namespace {

skarn::file_identity identity_from(const struct stat &info) noexcept {
    skarn::file_identity identity;
    identity.known = true;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.size = static_cast<int64_t>(info.st_size);
    identity.modified = info.st_mtim;
    identity.changed = info.st_ctim;
    return identity;
}

}  // namespace

skarn::file_identity file_identity_of_(const char *path) noexcept {
    struct stat info {};
    if (path == nullptr || ::stat(path, &info) != 0) return {};
    return identity_from(info);
}

skarn::file_identity file_identity_of_(int fd) noexcept {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return {};
    return identity_from(info);
}

bool refuse_reentry_(const skarn_session_struct *session, const char *operation) noexcept {
    if (session == nullptr || !session->in_callback()) return false;
    SKARN_LOG_AS(operation, "refused: called from inside a callback of the same session");
    return true;
}
