// Fault injection for the file-system calls the library makes: linked into a
// test executable, the definitions in fault_injection.cpp stand in front of
// the C library's (the shared library binds to the executable's symbols
// first), forward every call, and when armed fail the Nth call of one kind
// with the chosen errno, as a full disk or a failing device would.
#ifndef SKARN_TESTS_FAULT_INJECTION_HPP
#define SKARN_TESTS_FAULT_INJECTION_HPP

#include <initializer_list>

namespace skarn_fault {

enum class call_kind {
    write,   // write, pwrite, fwrite
    flush,   // fflush
    close,   // close, fclose: only of descriptors and streams that can write
    fsync,   // fsync, fdatasync
    rename,  // rename, renameat, renameat2
    copy,    // copy_file_range, sendfile
    open,    // open, openat, fopen (creating or reading)
    // Only watched (see act_after), never failed by the walk over all_kinds:
    read,  // pread
    stat,  // fstat
    // Failed only by the tests that arm it where blocks can be shared: a
    // refusal elsewhere is remembered, so how many there are depends on
    // what ran before.
    clone,  // ioctl FICLONERANGE
};

inline constexpr call_kind all_kinds[] = {call_kind::write,  call_kind::flush, call_kind::close, call_kind::fsync,
                                          call_kind::rename, call_kind::copy,  call_kind::open};

const char *name_of(call_kind kind) noexcept;

// Counts the calls of `kind` from now on; with `fail_at` > 0 the call with that
// number (1 for the first) fails with `error` and returns the call's failure
// value. Calls on the standard streams are never counted.
void arm(call_kind kind, int fail_at, int error) noexcept;

// Stops counting and failing; returns the number of calls of the armed kind
// seen since arm(), and whether the armed failure happened.
struct tally {
    int calls = 0;
    bool failed = false;
};
tally disarm() noexcept;

// Calls `observer` with the path of every open and fopen before it happens
// (null: none), so that a test can act in the moment between a name being
// chosen and being opened, as another program could.
using open_observer = void (*)(const char *path);
void observe_opens(open_observer observer) noexcept;

// Calls `action` once, right after the `at`-th call (1 for the first) of any
// of `kinds` from now on returns, as another program acting at that very
// moment would: right after a size was learnt, a read began, data were
// synced. A null action stops watching.
using program_action = void (*)();
void act_after(std::initializer_list<call_kind> kinds, int at, program_action action) noexcept;

}  // namespace skarn_fault

#endif  // SKARN_TESTS_FAULT_INJECTION_HPP
