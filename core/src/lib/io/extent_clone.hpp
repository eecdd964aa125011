// Copy-on-write clones (ioctl FICLONERANGE) of a level file's blocks into the
// file a save or a checkpoint writes, so that the new file shares them.
//
// When it clones: the level's file is a regular file other than the output,
// the file system can share extents between the two (XFS with reflink,
// btrfs), and a stretch of file-backed content lands in the output at an
// offset congruent to its offset in the level's file modulo the output's
// block size. Then the whole blocks inside the stretch are cloned and the
// bytes around them written as before. Whether a pair of file systems can
// clone is learnt by trying: a refusal (EOPNOTSUPP, EXDEV, EINVAL, ENOTTY,
// ...) is remembered for the process, so later writes do not try again, and
// the content is written instead. Any other failure (EIO, ENOSPC) is a
// failure to write.
//
// A clone is a snapshot of the blocks at the moment it is made: a file read
// in place that another program changes later keeps the clone intact, and a
// change during the save is caught by the level's identity check as before.
#ifndef SKARN_IO_EXTENT_CLONE_HPP
#define SKARN_IO_EXTENT_CLONE_HPP

#include <sys/types.h>

#include <cstdint>

namespace skarn {

// The whole blocks of a stretch that a clone can carry: from `head` bytes
// into the stretch, `length` bytes (0: none).
struct clone_span {
    int64_t head = 0;
    int64_t length = 0;
};

class extent_cloner {
public:
    enum class outcome {
        cloned,
        unsupported,   // nothing cloned: write the bytes instead (and from now on)
        source_short,  // the level's file ended first (cut short by another program)
        failed,        // errno set
    };

    // For copying from the level file open as `source` (-1: none) into the
    // file open for writing as `output`.
    extent_cloner(int source, int output) noexcept;

    // The part of `count` bytes at `source` in the level's file, bound for
    // `destination` in the output, that clone() may carry.
    clone_span span(int64_t source, int64_t destination, int64_t count) const noexcept;

    // Clones `length` bytes at `source` to `destination`, all three from a
    // span, `destination` being the output's end.
    outcome clone(int64_t source, int64_t destination, int64_t length) noexcept;

private:
    int source_;
    int output_;
    int64_t block_ = 0;  // the output's block size; 0 while cloning is off
    dev_t source_device_ = 0;
    dev_t output_device_ = 0;
};

}  // namespace skarn

#endif  // SKARN_IO_EXTENT_CLONE_HPP
