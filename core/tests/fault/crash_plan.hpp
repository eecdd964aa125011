// A crash plan for the stand-ins of fault_injection.cpp: counts the calls
// that change files (write, pwrite, copy_file_range, sendfile, fsync,
// fdatasync, ftruncate, fallocate, posix_fallocate, unlink, unlinkat, remove,
// rename, renameat, renameat2) and, at the chosen one, ends the
// process before it is made, as a crash at that very moment would. Asked to,
// it first drops every change not yet synced, as a power cut would: each
// write and size change of a regular file is recorded with the bytes and size
// it replaces, an fsync or fdatasync of the file forgets its records, and the
// crash puts the remaining ones back, newest first. A file created but never
// synced stays (possibly empty); directory entries are not rolled back.
#ifndef SKARN_TESTS_CRASH_PLAN_HPP
#define SKARN_TESTS_CRASH_PLAN_HPP

#include <sys/types.h>

#include <cstddef>

namespace skarn_fault {

struct crash_plan {
    int crash_at = 0;            // the call (1 for the first) before which the process ends; 0: never
    bool drop_unsynced = false;  // put back what was not synced before ending
    int exit_code = 0;           // the code handed to _exit
};

// Counts from now on. While a plan is armed, syncs are counted and their
// records forgotten but not forwarded: only the process ends, the files stay
// in the page cache, so the model of what a sync made durable is all that
// matters (and the loops over every point stay fast).
void arm_crash(crash_plan plan) noexcept;

// Stops counting; returns the number of calls counted since arm_crash.
int disarm_crash() noexcept;

// Whether a plan is armed (the stand-ins then skip the real syncs).
bool crash_armed() noexcept;

// The stand-ins' hooks, each called before the call it names is forwarded.
namespace crash_hooks {
void before_write(int fd, off64_t offset, size_t count) noexcept;  // offset -1: at the file position
void before_resize(int fd, off64_t new_size) noexcept;             // ftruncate
void before_allocate(int fd, int mode, off64_t offset, off64_t length) noexcept;
void before_sync(int fd) noexcept;
void before_name_change() noexcept;  // unlink, remove, rename
}  // namespace crash_hooks

}  // namespace skarn_fault

#endif  // SKARN_TESTS_CRASH_PLAN_HPP
