// The library's identity: version numbers, build kind and licence notice, all
// fixed when the library is built.
#include "skarn_edit/version.h"

#include "version_config.h"

namespace {

// The combined version keeps the patch in the low 16 bits, the minor in the
// next 8 and the major above them.
static_assert(SKARN_VERSION_MAJOR >= 0 && SKARN_VERSION_MAJOR < 128, "major version does not fit in 7 bits");
static_assert(SKARN_VERSION_MINOR >= 0 && SKARN_VERSION_MINOR < 256, "minor version does not fit in 8 bits");
static_assert(SKARN_VERSION_PATCH >= 0 && SKARN_VERSION_PATCH < 65536, "patch version does not fit in 16 bits");

constexpr char library_kind[] = "shared";

constexpr char license_notice[] =
    "skarn_edit\n"
    "Copyright 2026 the skarn_edit authors\n"
    "\n"
    "Licensed under the Apache License, Version 2.0 (the \"License\");\n"
    "you may not use this file except in compliance with the License.\n"
    "You may obtain a copy of the License at\n"
    "\n"
    "    http://www.apache.org/licenses/LICENSE-2.0\n"
    "\n"
    "Unless required by applicable law or agreed to in writing, software\n"
    "distributed under the License is distributed on an \"AS IS\" BASIS,\n"
    "WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.\n"
    "See the License for the specific language governing permissions and\n"
    "limitations under the License.\n";

}  // namespace

int skarn_version_major() noexcept { return SKARN_VERSION_MAJOR; }

int skarn_version_minor() noexcept { return SKARN_VERSION_MINOR; }

int skarn_version_patch() noexcept { return SKARN_VERSION_PATCH; }

int skarn_version() noexcept { return (SKARN_VERSION_MAJOR << 24) | (SKARN_VERSION_MINOR << 16) | SKARN_VERSION_PATCH; }

const char *skarn_libtype() noexcept { return library_kind; }

const char *skarn_license_get() noexcept { return license_notice; }
