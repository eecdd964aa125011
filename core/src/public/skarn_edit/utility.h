/*
 * skarn_edit/utility.h: byte and string helpers over caller-owned memory,
 * byte transforms of buffers and files, and the stream range copier.
 */
#ifndef SKARN_EDIT_UTILITY_H
#define SKARN_EDIT_UTILITY_H

#include <stdio.h>

#include "types.h"

SKARN_EXTERN_C_BEGIN

/** Mask kinds of skarn_util_mask_byte. */
enum { MASK_AND = 0, MASK_OR = 1, MASK_XOR = 2 };

/**
 * Shifts the `length` bytes of `buffer`, taken as one bit string, left
 * (towards byte 0) by `shift` bits (1 to 7), filling with `fill` (0 or 1).
 * Returns 0, -1 for a bad shift, -2 for a bad fill bit (buffer untouched).
 */
SKARN_API int skarn_util_left_shift_buffer(uint8_t *buffer, int64_t length, uint8_t shift, int fill) SKARN_NOEXCEPT;

/** As skarn_util_left_shift_buffer, towards the last byte. */
SKARN_API int skarn_util_right_shift_buffer(uint8_t *buffer, int64_t length, uint8_t shift, int fill) SKARN_NOEXCEPT;

/** Returns `byte` AND, OR or XOR `mask` (MASK_*); an unknown kind is logged and gives `byte` unchanged. */
SKARN_API uint8_t skarn_util_mask_byte(uint8_t byte, uint8_t mask, int mask_kind) SKARN_NOEXCEPT;

/** Returns the last byte of the `length` bytes at `buffer` equal to `value`, or null. */
SKARN_API const void *skarn_util_memrchr(const void *buffer, int value, int64_t length) SKARN_NOEXCEPT;

/** Compares exactly `length` bytes (a 0 byte does not stop it). Returns 0 or the first difference. */
SKARN_API int skarn_util_strncmp(const char *s1, const char *s2, int64_t length) SKARN_NOEXCEPT;

/** As skarn_util_strncmp after tolower() of each byte. */
SKARN_API int skarn_util_strnicmp(const char *s1, const char *s2, int64_t length) SKARN_NOEXCEPT;

/** Returns a new copy of `length` bytes plus a 0 byte, released by the caller with free(); null on failure. */
SKARN_API char *skarn_util_strndup(const char *source, int64_t length) SKARN_NOEXCEPT;

/** Replaces each of the `length` bytes of `buffer`, in order, by `transform`'s result. */
SKARN_API void skarn_util_apply_byte_transform(uint8_t *buffer, int64_t length, skarn_util_byte_transform_t transform,
                                               void *user_data) SKARN_NOEXCEPT;

/**
 * A byte transform that looks the byte up in a table: returns entry `byte` of
 * the 256 bytes at `user_data`, or `byte` itself when `user_data` is null.
 * Passed with its table to skarn_edit_apply_transform or the functions above,
 * it applies any byte mapping without a call into the caller per byte. The
 * table stays the caller's.
 */
SKARN_API uint8_t skarn_util_byte_table_transform(uint8_t byte, void *user_data) SKARN_NOEXCEPT;

/**
 * Writes a copy of the file `in_path` to `out_path` with the bytes of
 * [offset, offset + length) (length 0: to the end) transformed. Returns 0, or
 * -1 on failure (the output is removed; the input is never modified).
 */
SKARN_API int skarn_util_apply_byte_transform_to_file(const char *in_path, const char *out_path,
                                                      skarn_util_byte_transform_t transform, void *user_data,
                                                      int64_t offset, int64_t length) SKARN_NOEXCEPT;

/**
 * Copies `count` bytes from `offset` of `source` to the current position of
 * `destination`, in 512-byte chunks. Returns the bytes of the chunks copied in
 * full, or -1 when `source` cannot be positioned.
 */
SKARN_API int64_t skarn_util_write_segment_to_file(FILE *source, int64_t offset, int64_t count,
                                                   FILE *destination) SKARN_NOEXCEPT;

/**
 * Finishes or takes back an in-place save of `path` that was interrupted (see
 * IO_FLG_IN_PLACE in edit.h), from the journal it left. A journal complete on
 * disk is applied, giving the new content; an incomplete one is dropped,
 * leaving the old content; either way the journal is removed and its
 * directory synced. A journal that is not this library's, belongs to
 * another file, or fails its checksums in a way no interrupted save leaves
 * is never applied. Returns 0 when there is nothing to recover, 1 when the
 * file was recovered (a log line says whether to the old or the new
 * content), -1 on failure (logged; the journal stays for another try).
 */
SKARN_API int skarn_util_recover_file(const char *path) SKARN_NOEXCEPT;

/**
 * Finds the newest session journal (see SESSION_OPT_JOURNAL) left by a
 * session over `file_path` that no live session holds, in
 * `checkpoint_directory` (null: the directory a session over the file would
 * choose). Returns 1 when one is found, its path in `journal_path` (a buffer
 * of SKARN_PATH_BUFFER_SIZE bytes, or null for a static buffer of the
 * library's, overwritten by the next call), 0 when there is none, -1 on
 * failure (a file path that does not resolve, a directory that cannot be
 * read; logged).
 */
SKARN_API int skarn_util_find_journal(const char *file_path, const char *checkpoint_directory,
                                      char *journal_path) SKARN_NOEXCEPT;

/**
 * Tells what the file at `journal_path` is: 1 a session journal that no live
 * session holds, 2 one that a live session holds, 0 not a session journal
 * (or one whose header is damaged, or a file that cannot be read). With 1 or
 * 2, the path of the session's file goes into `file_path` (a buffer of
 * SKARN_PATH_BUFFER_SIZE bytes; may be null), empty for a session over nothing.
 */
SKARN_API int skarn_util_describe_journal(const char *journal_path, char *file_path) SKARN_NOEXCEPT;

/**
 * Removes the session journal at `journal_path`, left behind by a session
 * that died, with every file it kept (its private copy, its checkpoint
 * files). Returns 0, or -1 with a log line when it is not a session journal
 * or a live session holds it (nothing is removed then).
 */
SKARN_API int skarn_util_remove_journal(const char *journal_path) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_UTILITY_H */
