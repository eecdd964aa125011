/*
 * skarn_edit/version.h: the library's identity. Every answer is a constant.
 */
#ifndef SKARN_EDIT_VERSION_H
#define SKARN_EDIT_VERSION_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/** Returns the major version. */
SKARN_API int skarn_version_major(void) SKARN_NOEXCEPT;

/** Returns the minor version. */
SKARN_API int skarn_version_minor(void) SKARN_NOEXCEPT;

/** Returns the patch version. */
SKARN_API int skarn_version_patch(void) SKARN_NOEXCEPT;

/** Returns (major << 24) | (minor << 16) | patch. */
SKARN_API int skarn_version(void) SKARN_NOEXCEPT;

/** Returns the constant text "shared" (the build kind); never freed. */
SKARN_API const char *skarn_libtype(void) SKARN_NOEXCEPT;

/** Returns the constant licence notice; never freed. */
SKARN_API const char *skarn_license_get(void) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_VERSION_H */
