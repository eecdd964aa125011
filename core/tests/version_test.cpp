// The library's identity: version numbers against the values CMake generated
// from the project version, the combined value, and the constant texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "skarn_edit.h"
#include "version_config.h"

namespace {

TEST(Version, PartsMatchTheBuildsProjectVersion) {
    EXPECT_EQ(skarn_version_major(), SKARN_VERSION_MAJOR);
    EXPECT_EQ(skarn_version_minor(), SKARN_VERSION_MINOR);
    EXPECT_EQ(skarn_version_patch(), SKARN_VERSION_PATCH);
}

TEST(Version, CombinedValuePacksMajorMinorAndPatch) {
    EXPECT_EQ(skarn_version(), (SKARN_VERSION_MAJOR << 24) | (SKARN_VERSION_MINOR << 16) | SKARN_VERSION_PATCH);
    // The parts read back out of the combined value.
    EXPECT_EQ(skarn_version() >> 24, skarn_version_major());
    EXPECT_EQ((skarn_version() >> 16) & 0xff, skarn_version_minor());
    EXPECT_EQ(skarn_version() & 0xffff, skarn_version_patch());
}

TEST(Version, ZeroMajorLeavesMinorTimes65536PlusPatch) {
    if (skarn_version_major() != 0) GTEST_SKIP() << "only a 0.x release has this form";
    EXPECT_EQ(skarn_version(), skarn_version_minor() * 65536 + skarn_version_patch());
}

TEST(Version, ThisReleaseIs0_9_87) {
    // Fails on purpose when the project version moves without this test being revisited.
    EXPECT_EQ(skarn_version_major(), 0);
    EXPECT_EQ(skarn_version_minor(), 9);
    EXPECT_EQ(skarn_version_patch(), 87);
    EXPECT_EQ(skarn_version(), 589911);
}

TEST(Identity, LibtypeIsTheSameConstantSharedText) {
    const char *first = skarn_libtype();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "shared");
    EXPECT_EQ(skarn_libtype(), first);
}

TEST(Identity, LicenseNoticeIsTheSameConstantApacheNotice) {
    const char *first = skarn_license_get();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(skarn_license_get(), first);

    const std::string notice(first);
    EXPECT_EQ(notice.rfind("skarn_edit\nCopyright 2026 the skarn_edit authors\n\n", 0), 0u);
    EXPECT_NE(notice.find("Licensed under the Apache License, Version 2.0"), std::string::npos);
    EXPECT_NE(notice.find("http://www.apache.org/licenses/LICENSE-2.0"), std::string::npos);
    EXPECT_NE(notice.find("limitations under the License."), std::string::npos);
    // Multi-line and ending with a line break.
    EXPECT_GT(std::count(notice.begin(), notice.end(), '\n'), 5);
    EXPECT_EQ(notice.back(), '\n');
}

}  // namespace
