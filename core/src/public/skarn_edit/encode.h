/*
 * skarn_edit/encode.h: hex encoding and decoding.
 */
#ifndef SKARN_EDIT_ENCODE_H
#define SKARN_EDIT_ENCODE_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/**
 * Writes two lower-case hex digits per byte of `src` and a 0 byte to `dst`,
 * which must hold 2 * length + 1 characters. Returns the digits written.
 */
SKARN_API int64_t skarn_encode_bin2hex(const uint8_t *src, char *dst, int64_t length) SKARN_NOEXCEPT;

/**
 * Decodes length / 2 pairs of hex digits of `src` into `dst` (which must hold
 * length / 2 + 1 bytes) and adds a 0 byte. Returns the bytes written, or 0 at
 * an invalid digit.
 */
SKARN_API int64_t skarn_encode_hex2bin(const char *src, uint8_t *dst, int64_t length) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_ENCODE_H */
