// The spill file of a session's large edits.
#include "io/spill_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/log.hpp"
#include "io/level_file.hpp"
#include "io/private_files.hpp"
#include "skarn_edit/filesystem.h"

namespace skarn {

bool spill_file::open_file() noexcept {
    char name[SKARN_PATH_BUFFER_SIZE];
    const int formatted = std::snprintf(name, sizeof name, "%s/.Skarnpad-spill.XXXXXX", directory_.c_str());
    if (formatted < 0 || static_cast<size_t>(formatted) >= sizeof name) {
        errno = ENAMETOOLONG;
        return false;
    }
    unique_fd fd{create_private_file(name)};
    // Unnamed from the start (invariant 1): it goes with its descriptor.
    if (!fd.valid() || ::unlink(name) != 0) return false;
    fd_ = std::move(fd);
    return true;
}

const uint8_t *spill_file::append(const uint8_t *bytes, int64_t length) noexcept {
    if (given_up_) return nullptr;
    const int64_t needed = length + 1;  // the 0 byte after the string
    static constexpr uint8_t zero = 0;
    const uint8_t *at = nullptr;
    if ((!fd_.valid() && !open_file()) || !write_exact_at(fd_.get(), end_, length, bytes) ||
        !write_exact_at(fd_.get(), end_ + length, 1, &zero) || (at = mapped_.at(fd_.get(), end_, needed)) == nullptr) {
        const int error = errno;
        SKARN_LOG("cannot keep " << length << " bytes in the spill file in '" << directory_
                                 << "': the bytes of large edits stay in memory from now on");
        SKARN_LOG(log::system_error_line(error));
        given_up_ = true;
        return nullptr;
    }
    end_ += needed;
    return at;
}

}  // namespace skarn
