/*
 * skarn_edit/bom.h: byte-order marks: names, sizes, bytes, and detection in
 * memory, in files and in a session's content.
 */
#ifndef SKARN_EDIT_BOM_H
#define SKARN_EDIT_BOM_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/**
 * Byte-order-mark kinds; also the encoding selector of character counting.
 * A 32-bit signed enumeration: in C++ its underlying type is fixed so that any
 * int32_t (such as an unknown kind passed by a C caller) is a valid value.
 */
#ifdef __cplusplus
typedef enum skarn_bom_t : int32_t {
#else
typedef enum skarn_bom_t {
#endif
    BOM_UNKNOWN = 0, /**< "unknown": a failed lookup */
    BOM_NONE = 1,    /**< "none": no mark */
    BOM_UTF8 = 2,    /**< EF BB BF */
    BOM_UTF16LE = 3, /**< FF FE */
    BOM_UTF16BE = 4, /**< FE FF */
    BOM_UTF32LE = 5, /**< FF FE 00 00 */
    BOM_UTF32BE = 6  /**< 00 00 FE FF */
} skarn_bom_t;

/** A read-only run of bytes. */
typedef struct skarn_byte_buffer_t {
    const uint8_t *data;
    int64_t length;
} skarn_byte_buffer_t;

/** Returns the size in bytes of the kind's mark; 0 for BOM_UNKNOWN, BOM_NONE and unknown values. */
SKARN_API size_t skarn_util_BOM_size(skarn_bom_t bom) SKARN_NOEXCEPT;

/**
 * Returns the kind's mark as a constant buffer of the library (never freed),
 * or null for BOM_UNKNOWN, BOM_NONE and unknown values.
 */
SKARN_API const skarn_byte_buffer_t *skarn_util_BOM_to_buffer(skarn_bom_t bom) SKARN_NOEXCEPT;

/** Returns the kind's constant name ("none", "UTF-8", ...); "unknown" for unknown values. */
SKARN_API const char *skarn_util_BOM_to_cstring(skarn_bom_t bom) SKARN_NOEXCEPT;

/** Returns the kind whose name begins `str` (ASCII case ignored), or BOM_UNKNOWN. */
SKARN_API skarn_bom_t skarn_util_cstring_to_BOM(const char *str) SKARN_NOEXCEPT;

/** Returns the kind whose mark begins the `length` bytes at `data`, or BOM_NONE. */
SKARN_API skarn_bom_t skarn_util_detect_BOM_from_memory(const uint8_t *data, size_t length) SKARN_NOEXCEPT;

/** Returns the kind whose mark begins the file, or BOM_NONE (also when it cannot be opened). */
SKARN_API skarn_bom_t skarn_util_detect_BOM_from_file(const char *path) SKARN_NOEXCEPT;

/** Returns the kind whose mark begins the session's content at `offset`, or BOM_NONE. */
SKARN_API skarn_bom_t skarn_session_detect_BOM(const skarn_session_struct *session, int64_t offset) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_BOM_H */
