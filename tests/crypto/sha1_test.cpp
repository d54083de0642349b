#include "crypto/sha1.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace
{
std::string Hex(const uint8 *pub, size_t cub)
{
    static const char k_rgchDigits[] = "0123456789abcdef";
    std::string str;
    for (size_t i = 0; i < cub; ++i)
    {
        str += k_rgchDigits[pub[i] >> 4];
        str += k_rgchDigits[pub[i] & 0xF];
    }
    return str;
}

std::string Digest(CSHA1 &sha1)
{
    uint8 rgub[k_cubSHA1Hash];
    sha1.Final(rgub);
    return Hex(rgub, sizeof(rgub));
}

std::string DigestOf(const std::string &str)
{
    CSHA1 sha1;
    sha1.Update(str.data(), (uint32)str.size());
    return Digest(sha1);
}

std::string Upper(std::string str)
{
    std::transform(str.begin(), str.end(), str.begin(), [](unsigned char ch) { return (char)toupper(ch); });
    return str;
}

bool BCheck(const std::string &strPath, const std::string &strData)
{
    return BCheckPackageSHA1(strPath.c_str(), strData.data(), (uint32)strData.size());
}

const char k_szDigestEmpty[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
const char k_szDigestABC[] = "a9993e364706816aba3e25717850c26c9cd0d89d";
} // namespace

TEST(SHA1, KnownAnswers)
{
    EXPECT_EQ(k_szDigestEmpty, DigestOf(""));
    EXPECT_EQ(k_szDigestABC, DigestOf("abc"));
    EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
              DigestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));

    // A million "a", fed in chunks of odd sizes that straddle the 64-byte blocks.
    std::string strA(1000, 'a');
    const uint32 rgcubChunks[] = {1, 3, 7, 63, 65, 127, 129, 997};
    CSHA1 sha1;
    uint32 cubLeft = 1000000;
    for (size_t i = 0; cubLeft > 0; ++i)
    {
        uint32 cub = std::min(rgcubChunks[i % Q_ARRAYSIZE(rgcubChunks)], cubLeft);
        sha1.Update(strA.data(), cub);
        cubLeft -= cub;
    }
    EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Digest(sha1));
}

TEST(SHA1, SplitsResetsAndRestartsAfterFinal)
{
    // Every split of a message that spans several blocks gives the digest of the whole.
    std::string strMessage;
    for (int i = 0; i < 150; ++i)
        strMessage += (char)(i * 7 + 3);
    std::string strWhole = DigestOf(strMessage);
    for (size_t iSplit = 0; iSplit <= strMessage.size(); ++iSplit)
    {
        CSHA1 sha1;
        sha1.Update(strMessage.data(), (uint32)iSplit);
        sha1.Update(strMessage.data() + iSplit, (uint32)(strMessage.size() - iSplit));
        ASSERT_EQ(strWhole, Digest(sha1)) << iSplit;
    }

    CSHA1 sha1;
    sha1.Update("left over", 9);
    sha1.Reset();
    sha1.Update("abc", 3);
    EXPECT_EQ(k_szDigestABC, Digest(sha1));
    // Final starts the next digest afresh.
    sha1.Update("abc", 3);
    EXPECT_EQ(k_szDigestABC, Digest(sha1));
    EXPECT_EQ(k_szDigestEmpty, Digest(sha1));

    CSpewCapture capture;
    sha1.Update(nullptr, 0);
    EXPECT_TRUE(capture.Assertions().empty());
    sha1.Update(nullptr, 5);
    EXPECT_EQ(1u, capture.Assertions().size());
    EXPECT_EQ(k_szDigestEmpty, Digest(sha1)) << "null data hashes nothing";
}

TEST(PackageSHA1, DigestAfterTheLastDotInEitherCase)
{
    std::string strLower = std::string("package/client_win32.zip.") + k_szDigestABC;
    EXPECT_TRUE(BCheck(strLower, "abc"));
    EXPECT_TRUE(BCheck("package/client_win32.zip." + Upper(k_szDigestABC), "abc"));
    EXPECT_TRUE(BCheck(std::string("a.b.c.d.") + k_szDigestABC, "abc"));
    EXPECT_TRUE(BCheck(std::string("x.") + k_szDigestABC + "ffff00", "abc"))
        << "digits beyond 40 are ignored";

    EXPECT_FALSE(BCheck(strLower, "abd"));
    EXPECT_FALSE(BCheck(strLower, "ab"));
    EXPECT_FALSE(BCheck(k_szDigestABC, "abc")) << "no dot";
    EXPECT_FALSE(BCheck(std::string("dir.v2/") + k_szDigestABC, "abc")) << "the last dot decides";
    EXPECT_FALSE(BCheck("client.zip.", "abc"));
    std::string strOneDigitOff = strLower;
    strOneDigitOff.back() = 'c';
    EXPECT_FALSE(BCheck(strOneDigitOff, "abc"));
    EXPECT_FALSE(BCheck(strLower.substr(0, strLower.size() - 2), "abc")) << "38 digits, last byte not zero";

    EXPECT_TRUE(BCheckPackageSHA1((std::string("empty.zip.") + k_szDigestEmpty).c_str(), nullptr, 0));

    CSpewCapture capture;
    EXPECT_FALSE(BCheckPackageSHA1(nullptr, "abc", 3));
    EXPECT_FALSE(BCheckPackageSHA1(strLower.c_str(), nullptr, 3));
    EXPECT_EQ(2u, capture.Assertions().size());
}

TEST(PackageSHA1, MissingAndForeignDigitsCountAsZero)
{
    // Find data whose digest ends in a zero byte (one in 256; the loop is bounded).
    std::string strData, strDigest;
    for (int i = 0; i < 100000; ++i)
    {
        strData = "package " + std::to_string(i);
        strDigest = DigestOf(strData);
        if (strDigest.compare(38, 2, "00") == 0)
            break;
    }
    ASSERT_EQ("00", strDigest.substr(38));

    std::string strPrefix = "pkg.zip." + strDigest.substr(0, 38);
    EXPECT_TRUE(BCheck(strPrefix + "00", strData));
    EXPECT_TRUE(BCheck(strPrefix, strData)) << "a missing last byte stays zero";
    EXPECT_TRUE(BCheck(strPrefix + "0", strData)) << "a lone last digit is dropped";
    EXPECT_TRUE(BCheck(strPrefix + "zz", strData)) << "a character that is no hex digit counts as 0";
    EXPECT_TRUE(BCheck(strPrefix + "0-", strData));
    EXPECT_FALSE(BCheck(strPrefix + "01", strData));
    EXPECT_FALSE(BCheck("pkg.zip." + strDigest.substr(0, 36), strData)) << "only the last byte is zero";
}
