#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include <string>

TEST(SHA256, KnownDigestsWholeAndInPieces)
{
    CSHA256 sha;
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", sha.FinalHex());
    sha.Update("abc", 3);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", sha.FinalHex());
    // The two-block message of FIPS 180-2, fed a byte at a time and after a reset.
    const std::string str = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    sha.Update("junk", 4);
    sha.Reset();
    for (char ch : str)
        sha.Update(&ch, 1);
    EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", sha.FinalHex());
    uint8 rgubDigest[k_cubSHA256Hash];
    sha.Update(str.data(), str.size());
    sha.Final(rgubDigest);
    EXPECT_EQ(0x24, rgubDigest[0]);
    EXPECT_EQ(0xc1, rgubDigest[31]);
}

TEST(SHA256, TextThatIsADigest)
{
    const std::string strLower(64, 'a'),
        strMixed = "E3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    EXPECT_TRUE(BIsSHA256Hex(strLower.c_str(), strLower.size()));
    EXPECT_TRUE(BIsSHA256Hex(strMixed.c_str(), strMixed.size()));
    EXPECT_FALSE(BIsSHA256Hex(strLower.c_str(), 63));
    EXPECT_FALSE(BIsSHA256Hex((strLower + "a").c_str(), 65));
    EXPECT_FALSE(BIsSHA256Hex(std::string(63, 'a').append("g").c_str(), 64));
    EXPECT_FALSE(BIsSHA256Hex("", 0));
    EXPECT_FALSE(BIsSHA256Hex(nullptr, 64));
}
