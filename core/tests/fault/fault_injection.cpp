// The stand-ins of fault_injection.hpp. Each finds the next definition of its
// function (a sanitizer's interceptor or the C library's) once, forwards to
// it, and consults the armed fault and the crash plan (crash_plan.hpp) first.
#include "fault_injection.hpp"

#include "crash_plan.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace skarn_fault {
namespace {

struct state {
    bool armed = false;
    call_kind kind = call_kind::write;
    int fail_at = 0;
    int error = 0;
    int calls = 0;
    bool failed = false;
};
state current;
open_observer observer = nullptr;

struct watch {
    unsigned kinds = 0;  // bit (1 << kind) for each watched kind
    int at = 0;
    int calls = 0;
    program_action action = nullptr;
};
watch watching;

unsigned bit(call_kind kind) noexcept { return 1u << static_cast<unsigned>(kind); }

// Runs the watched action when this call of `kind` is the chosen one.
void after(call_kind kind) noexcept {
    if (watching.action == nullptr || (watching.kinds & bit(kind)) == 0 || ++watching.calls != watching.at) return;
    const program_action action = watching.action;
    watching = watch{};  // once; the action's own calls are not watched
    const int error = errno;
    action();
    errno = error;
}

void observe(const char *path) noexcept {
    if (observer == nullptr || path == nullptr) return;
    const open_observer running = observer;
    observer = nullptr;  // the observer's own opens are not observed
    running(path);
    observer = running;
}

// True when this call of `kind` must fail (errno is then set).
bool should_fail(call_kind kind) noexcept {
    if (!current.armed || current.kind != kind) return false;
    ++current.calls;
    if (current.calls != current.fail_at) return false;
    current.failed = true;
    errno = current.error;
    return true;
}

bool standard_descriptor(int fd) noexcept { return fd >= 0 && fd <= 2; }
bool standard_stream(FILE *stream) noexcept { return stream == stdin || stream == stdout || stream == stderr; }

// Closing a descriptor that was never written through loses nothing: those
// closes are left alone, the others are where delayed write errors surface.
constexpr int tracked_descriptors = 4096;
bool written_through[tracked_descriptors];

void mark_written(int fd) noexcept {
    if (fd >= 0 && fd < tracked_descriptors) written_through[fd] = true;
}

// A descriptor just opened has not been written through.
int fresh(int fd) noexcept {
    if (fd >= 0 && fd < tracked_descriptors) written_through[fd] = false;
    return fd;
}

// Whether `fd` was written through since it was opened; forgets it.
bool take_written(int fd) noexcept {
    if (fd < 0 || fd >= tracked_descriptors) return false;
    const bool written = written_through[fd];
    written_through[fd] = false;
    return written;
}

// The mode argument of an open call, there only when the call may create a file.
mode_t creation_mode(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

template <typename Fn>
Fn next(const char *name) noexcept {
    void *found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) std::abort();
    return reinterpret_cast<Fn>(found);
}

}  // namespace

const char *name_of(call_kind kind) noexcept {
    switch (kind) {
        case call_kind::write: return "write";
        case call_kind::flush: return "flush";
        case call_kind::close: return "close";
        case call_kind::fsync: return "fsync";
        case call_kind::rename: return "rename";
        case call_kind::copy: return "copy";
        case call_kind::open: return "open";
        case call_kind::read: return "read";
        case call_kind::stat: return "stat";
        case call_kind::clone: return "clone";
    }
    return "?";
}

void arm(call_kind kind, int fail_at, int error) noexcept { current = state{true, kind, fail_at, error, 0, false}; }

void observe_opens(open_observer callback) noexcept { observer = callback; }

void act_after(std::initializer_list<call_kind> kinds, int at, program_action action) noexcept {
    watching = watch{};
    for (const call_kind kind : kinds) watching.kinds |= bit(kind);
    watching.at = at;
    watching.action = action;
}

tally disarm() noexcept {
    const tally result{current.calls, current.failed};
    current = state{};
    return result;
}

}  // namespace skarn_fault

using skarn_fault::after;
using skarn_fault::call_kind;
using skarn_fault::creation_mode;
using skarn_fault::observe;
using skarn_fault::should_fail;
namespace crash_hooks = skarn_fault::crash_hooks;

extern "C" {

ssize_t write(int fd, const void *buffer, size_t count) {
    static const auto real = skarn_fault::next<ssize_t (*)(int, const void *, size_t)>("write");
    if (!skarn_fault::standard_descriptor(fd) && should_fail(call_kind::write)) return -1;
    crash_hooks::before_write(fd, -1, count);
    skarn_fault::mark_written(fd);
    return real(fd, buffer, count);
}

ssize_t pwrite64(int fd, const void *buffer, size_t count, off64_t offset) {
    static const auto real = skarn_fault::next<ssize_t (*)(int, const void *, size_t, off64_t)>("pwrite64");
    if (!skarn_fault::standard_descriptor(fd) && should_fail(call_kind::write)) return -1;
    crash_hooks::before_write(fd, offset, count);
    skarn_fault::mark_written(fd);
    return real(fd, buffer, count, offset);
}

ssize_t pwrite(int fd, const void *buffer, size_t count, off_t offset) { return pwrite64(fd, buffer, count, offset); }

size_t fwrite(const void *buffer, size_t size, size_t count, FILE *stream) {
    static const auto real = skarn_fault::next<size_t (*)(const void *, size_t, size_t, FILE *)>("fwrite");
    if (!skarn_fault::standard_stream(stream) && should_fail(call_kind::write)) return 0;
    return real(buffer, size, count, stream);
}

int fflush(FILE *stream) {
    static const auto real = skarn_fault::next<int (*)(FILE *)>("fflush");
    if (stream != nullptr && !skarn_fault::standard_stream(stream) && should_fail(call_kind::flush)) return EOF;
    return real(stream);
}

int close(int fd) {
    static const auto real = skarn_fault::next<int (*)(int)>("close");
    if (!skarn_fault::standard_descriptor(fd) && skarn_fault::take_written(fd) && should_fail(call_kind::close)) {
        const int error = errno;
        real(fd);  // the descriptor is released all the same, as Linux does
        errno = error;
        return -1;
    }
    return real(fd);
}

int fclose(FILE *stream) {
    static const auto real = skarn_fault::next<int (*)(FILE *)>("fclose");
    if (stream != nullptr) skarn_fault::take_written(fileno(stream));
    if (stream != nullptr && !skarn_fault::standard_stream(stream) && __fwritable(stream) != 0 &&
        should_fail(call_kind::close)) {
        const int error = errno;
        real(stream);
        errno = error;
        return EOF;
    }
    return real(stream);
}

int fsync(int fd) {
    static const auto real = skarn_fault::next<int (*)(int)>("fsync");
    if (should_fail(call_kind::fsync)) return -1;
    crash_hooks::before_sync(fd);
    const int result = skarn_fault::crash_armed() ? 0 : real(fd);
    after(call_kind::fsync);
    return result;
}

int fdatasync(int fd) {
    static const auto real = skarn_fault::next<int (*)(int)>("fdatasync");
    if (should_fail(call_kind::fsync)) return -1;
    crash_hooks::before_sync(fd);
    const int result = skarn_fault::crash_armed() ? 0 : real(fd);
    after(call_kind::fsync);
    return result;
}

int ftruncate64(int fd, off64_t length) {
    static const auto real = skarn_fault::next<int (*)(int, off64_t)>("ftruncate64");
    crash_hooks::before_resize(fd, length);
    return real(fd, length);
}

int ftruncate(int fd, off_t length) { return ftruncate64(fd, length); }

int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
    static const auto real = skarn_fault::next<int (*)(int, int, off64_t, off64_t)>("fallocate64");
    crash_hooks::before_allocate(fd, mode, offset, length);
    return real(fd, mode, offset, length);
}

int fallocate(int fd, int mode, off_t offset, off_t length) { return fallocate64(fd, mode, offset, length); }

int posix_fallocate64(int fd, off64_t offset, off64_t length) {
    static const auto real = skarn_fault::next<int (*)(int, off64_t, off64_t)>("posix_fallocate64");
    crash_hooks::before_allocate(fd, 0, offset, length);
    return real(fd, offset, length);
}

int posix_fallocate(int fd, off_t offset, off_t length) { return posix_fallocate64(fd, offset, length); }

int unlink(const char *path) {
    static const auto real = skarn_fault::next<int (*)(const char *)>("unlink");
    crash_hooks::before_name_change();
    return real(path);
}

int unlinkat(int dir, const char *path, int flags) {
    static const auto real = skarn_fault::next<int (*)(int, const char *, int)>("unlinkat");
    crash_hooks::before_name_change();
    return real(dir, path, flags);
}

int remove(const char *path) {
    static const auto real = skarn_fault::next<int (*)(const char *)>("remove");
    crash_hooks::before_name_change();
    return real(path);
}

int rename(const char *from, const char *to) {
    static const auto real = skarn_fault::next<int (*)(const char *, const char *)>("rename");
    if (should_fail(call_kind::rename)) return -1;
    crash_hooks::before_name_change();
    return real(from, to);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to) {
    static const auto real = skarn_fault::next<int (*)(int, const char *, int, const char *)>("renameat");
    if (should_fail(call_kind::rename)) return -1;
    crash_hooks::before_name_change();
    return real(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned int flags) {
    static const auto real =
        skarn_fault::next<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    if (should_fail(call_kind::rename)) return -1;
    crash_hooks::before_name_change();
    return real(from_dir, from, to_dir, to, flags);
}

ssize_t copy_file_range(int in, off64_t *in_offset, int out, off64_t *out_offset, size_t length, unsigned int flags) {
    static const auto real =
        skarn_fault::next<ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned int)>("copy_file_range");
    if (should_fail(call_kind::copy)) return -1;
    crash_hooks::before_write(out, out_offset != nullptr ? *out_offset : -1, length);
    skarn_fault::mark_written(out);
    return real(in, in_offset, out, out_offset, length, flags);
}

ssize_t sendfile64(int out, int in, off64_t *offset, size_t count) {
    static const auto real = skarn_fault::next<ssize_t (*)(int, int, off64_t *, size_t)>("sendfile64");
    if (should_fail(call_kind::copy)) return -1;
    crash_hooks::before_write(out, -1, count);
    skarn_fault::mark_written(out);
    return real(out, in, offset, count);
}

ssize_t sendfile(int out, int in, off_t *offset, size_t count) {
    static const auto real = skarn_fault::next<ssize_t (*)(int, int, off_t *, size_t)>("sendfile");
    if (should_fail(call_kind::copy)) return -1;
    crash_hooks::before_write(out, -1, count);
    skarn_fault::mark_written(out);
    return real(out, in, offset, count);
}

int open(const char *path, int flags, ...) {
    static const auto real = skarn_fault::next<int (*)(const char *, int, ...)>("open");
    va_list args;
    va_start(args, flags);
    const mode_t mode = creation_mode(flags, args);
    va_end(args);
    if (should_fail(call_kind::open)) return -1;
    observe(path);
    return skarn_fault::fresh(real(path, flags, mode));
}

int open64(const char *path, int flags, ...) {
    static const auto real = skarn_fault::next<int (*)(const char *, int, ...)>("open64");
    va_list args;
    va_start(args, flags);
    const mode_t mode = creation_mode(flags, args);
    va_end(args);
    if (should_fail(call_kind::open)) return -1;
    observe(path);
    return skarn_fault::fresh(real(path, flags, mode));
}

int openat(int dir, const char *path, int flags, ...) {
    static const auto real = skarn_fault::next<int (*)(int, const char *, int, ...)>("openat");
    va_list args;
    va_start(args, flags);
    const mode_t mode = creation_mode(flags, args);
    va_end(args);
    if (should_fail(call_kind::open)) return -1;
    observe(path);
    return skarn_fault::fresh(real(dir, path, flags, mode));
}

FILE *fopen(const char *path, const char *mode) {
    static const auto real = skarn_fault::next<FILE *(*)(const char *, const char *)>("fopen");
    if (should_fail(call_kind::open)) return nullptr;
    observe(path);
    return real(path, mode);
}

FILE *fopen64(const char *path, const char *mode) {
    static const auto real = skarn_fault::next<FILE *(*)(const char *, const char *)>("fopen64");
    if (should_fail(call_kind::open)) return nullptr;
    observe(path);
    return real(path, mode);
}

ssize_t pread64(int fd, void *buffer, size_t count, off64_t offset) {
    static const auto real = skarn_fault::next<ssize_t (*)(int, void *, size_t, off64_t)>("pread64");
    const ssize_t result = real(fd, buffer, count, offset);
    after(call_kind::read);
    return result;
}

ssize_t pread(int fd, void *buffer, size_t count, off_t offset) { return pread64(fd, buffer, count, offset); }

int ioctl(int fd, unsigned long request, ...) {
    static const auto real = skarn_fault::next<int (*)(int, unsigned long, ...)>("ioctl");
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (request == FICLONERANGE && should_fail(call_kind::clone)) return -1;
    return real(fd, request, argument);
}

int fstat64(int fd, struct stat64 *info) {
    static const auto real = skarn_fault::next<int (*)(int, struct stat64 *)>("fstat64");
    const int result = real(fd, info);
    after(call_kind::stat);
    return result;
}

int fstat(int fd, struct stat *info) {
    static const auto real = skarn_fault::next<int (*)(int, struct stat *)>("fstat");
    const int result = real(fd, info);
    after(call_kind::stat);
    return result;
}

}  // extern "C"
