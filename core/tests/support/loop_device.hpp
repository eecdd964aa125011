// A loop device over a file, for the tests of sessions over block devices.
#ifndef SKARN_TESTS_LOOP_DEVICE_HPP
#define SKARN_TESTS_LOOP_DEVICE_HPP

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

namespace skarn_test {

// A loop device over a file, detached when it goes; path() is empty where
// none can be had (not root, no loop devices).
class LoopDevice {
public:
    explicit LoopDevice(const std::string &backing) {
        const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        const int number = control >= 0 ? ::ioctl(control, LOOP_CTL_GET_FREE) : -1;
        if (control >= 0) ::close(control);
        if (number < 0) return;
        const std::string path = "/dev/loop" + std::to_string(number);
        fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        const int file = ::open(backing.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ >= 0 && file >= 0 && ::ioctl(fd_, LOOP_SET_FD, file) == 0) path_ = path;
        if (file >= 0) ::close(file);
    }
    ~LoopDevice() {
        if (!path_.empty()) ::ioctl(fd_, LOOP_CLR_FD, 0);
        if (fd_ >= 0) ::close(fd_);
    }
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;
    const std::string &path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace skarn_test

#endif  // SKARN_TESTS_LOOP_DEVICE_HPP
