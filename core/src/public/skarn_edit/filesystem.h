/*
 * skarn_edit/filesystem.h: path, directory, temporary-file and whole-file
 * helpers.
 *
 * Path results: functions that take a `buffer` write their result there (the
 * caller's buffer must hold SKARN_PATH_BUFFER_SIZE bytes) and return it; with
 * a null buffer they write into a static buffer of their own, overwritten by
 * their next call without a buffer. A result that does not fit 260 bytes
 * (with its terminating 0) yields null and writes nothing. Such results are
 * never freed by the caller.
 */
#ifndef SKARN_EDIT_FILESYSTEM_H
#define SKARN_EDIT_FILESYSTEM_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/** Size of every path result buffer. */
#define SKARN_PATH_BUFFER_SIZE 260

/** Returns the directory separator ('/'). */
SKARN_API char skarn_util_directory_separator(void) SKARN_NOEXCEPT;

/** Returns the current directory by the path result convention, or null when it cannot be determined. */
SKARN_API char *skarn_util_get_current_dir(char *buffer) SKARN_NOEXCEPT;

/**
 * Returns the temporary directory as a new string that the caller releases
 * with free(), or null when there is none (or memory runs out).
 */
SKARN_API char *skarn_util_get_temp_directory(void) SKARN_NOEXCEPT;

/** Returns 1 when `path` names an existing directory (links followed), else 0. */
SKARN_API int skarn_util_directory_exists(const char *path) SKARN_NOEXCEPT;

/** Creates the directory with its missing parents. Returns 0 when created, 1 when nothing was created. */
SKARN_API int skarn_util_create_directory(const char *path) SKARN_NOEXCEPT;

/** Removes an empty directory. Returns 0 when removed, -1 otherwise. */
SKARN_API int skarn_util_remove_directory(const char *path) SKARN_NOEXCEPT;

/** Removes a regular file (a link to one: the link). Returns 0 when removed, -1 otherwise. */
SKARN_API int skarn_util_remove_file(const char *path) SKARN_NOEXCEPT;

/** Returns the absolute canonical form of an existing path by the path result convention, or null. */
SKARN_API char *skarn_util_normalize_path(const char *path, char *buffer) SKARN_NOEXCEPT;

/** Returns the parent path of `path` by the path result convention (empty for a bare name). */
SKARN_API char *skarn_util_dirname(const char *path, char *buffer) SKARN_NOEXCEPT;

/** Returns the file name of `path` (its stem when `drop_suffix` is non-zero) by the path result convention. */
SKARN_API char *skarn_util_basename(const char *path, char *buffer, int drop_suffix) SKARN_NOEXCEPT;

/** Returns the extension of `path` with its dot (empty when none) by the path result convention. */
SKARN_API char *skarn_util_file_extension(const char *path, char *buffer) SKARN_NOEXCEPT;

/** Returns `mode` reduced to the owner's read and write bits (mode & 0600). */
SKARN_API int skarn_util_compute_mode(int mode) SKARN_NOEXCEPT;

/**
 * Replaces the six trailing X of the writable `tmpl` and creates that file
 * exclusively with `mode` (0: 0600) reduced to the owner's read and write bits.
 * Returns an open descriptor that the caller closes, -1 (errno EINVAL for a
 * bad template, else the open's errno) or -2 (EEXIST: every name was taken).
 */
SKARN_API int skarn_util_mkstemp(char *tmpl, int mode) SKARN_NOEXCEPT;

/**
 * Copies `src` over `dst` (replacing it), dates the copy now and gives it
 * `mode` (0: the source's permissions). The copy is a clone where the file
 * system can make one, and keeps the holes of a sparse source. Returns 0, or -1 source missing, -2
 * source not a regular file, -3 nothing copied, -4 any other failure
 * (including a destination that is the source itself).
 */
SKARN_API int skarn_util_file_copy(const char *src, const char *dst, int mode) SKARN_NOEXCEPT;

/** Returns 1 when `path` names a regular file (links followed), else 0. */
SKARN_API int skarn_util_file_exists(const char *path) SKARN_NOEXCEPT;

/** Returns the size in bytes of the file, or -1 when it cannot be determined. */
SKARN_API int64_t skarn_util_file_size(const char *path) SKARN_NOEXCEPT;

/** Returns 1 when both paths name the same file, 0 otherwise (also on failure). */
SKARN_API int skarn_util_paths_equivalent(const char *path1, const char *path2) SKARN_NOEXCEPT;

/** Returns 0 for equal content, 1 for different content, -1/-2 when the first/second cannot be opened. */
SKARN_API int skarn_util_compare_files(const char *path1, const char *path2) SKARN_NOEXCEPT;

/** Returns 1 when path1 was written after path2, -1 before, 0 at the same time, -2 on error. */
SKARN_API int skarn_util_compare_modification_times(const char *path1, const char *path2) SKARN_NOEXCEPT;

/**
 * Returns `path` when it names no regular file, else its first free variant
 * stem-N.ext (N from 1 to 999), by the path result convention; null when none
 * is free or the result does not fit.
 */
SKARN_API char *skarn_util_available_filename(const char *path, char *buffer) SKARN_NOEXCEPT;

/**
 * Sets the file's last-write time to now; a missing file is created (empty)
 * when `create` is non-zero. Returns 0, -1 cannot be created, -2 missing and
 * `create` is 0, -3 cannot be touched.
 */
SKARN_API int skarn_util_touch(const char *path, int create) SKARN_NOEXCEPT;

/** Removes `path` with everything below it. Returns the number removed (0 when absent), -1 on failure. */
SKARN_API int64_t skarn_util_remove_all(const char *path) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_FILESYSTEM_H */
