#include "ferroexe/manifestkey.h"

#include "support/devkeytestsupport.h"

#include <gtest/gtest.h>

#include <string>

TEST(ManifestKey, IsWellFormedAndFlagsTheDevelopmentKey)
{
    std::string strKey = GetManifestPublicKeyHex();
    EXPECT_EQ(320u, strKey.size());
    std::string strDevKey = DevPublicKeyHex();
    ASSERT_EQ(320u, strDevKey.size());
    EXPECT_EQ(BManifestKeyIsDevelopmentKey(), strKey == strDevKey);
}
