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

int64_t copy_descriptor_contents_(int from_fd, int to_fd) noexcept {
    constexpr size_t buffer_size = size_t{64} << 10;
    static thread_local uint8_t buffer[buffer_size];
    int64_t total = 0;
    for (;;) {
        const ssize_t got = ::read(from_fd, buffer, buffer_size);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) return total;
        ssize_t put = 0;
        while (put < got) {
            const ssize_t n = ::write(to_fd, buffer + put, static_cast<size_t>(got - put));
            if (n < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (n == 0) {
                errno = EIO;
                return -1;
            }
            put += n;
        }
        total += got;
    }
}

bool refuse_reentry_(const skarn_session_struct *session, const char *operation) noexcept {
    if (session == nullptr || !session->in_callback()) return false;
    SKARN_LOG_AS(operation, "refused: called from inside a callback of the same session");
    return true;
}
