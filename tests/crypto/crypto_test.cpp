#include "crypto/crypto.h"
#include "support/devkeytestsupport.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

namespace
{
typedef std::vector<uint8> Bytes;

Bytes FromHex(const std::string &strHex)
{
    Bytes vec(strHex.size() / 2 + 1);
    uint32 cub = (uint32)vec.size();
    EXPECT_TRUE(CCrypto::HexDecode(strHex.c_str(), vec.data(), &cub)) << strHex;
    vec.resize(cub);
    return vec;
}

Bytes ToBytes(const std::string &str)
{
    return Bytes(str.begin(), str.end());
}

Bytes DevPublicKey()
{
    return FromHex(DevPublicKeyHex());
}

// Signs as the content service does, with the development private key.
Bytes SignWithDevKey(const Bytes &vecMessage)
{
    return ::SignWithDevKey(vecMessage.data(), vecMessage.size());
}

bool BVerify(const Bytes &vecMessage, const Bytes &vecSignature, const Bytes &vecKey)
{
    // Empty vectors still hand over a valid pointer, as a caller with an empty buffer does.
    static const uint8 s_ubEmpty = 0;
    return CCrypto::RSAVerifySignature(
        vecMessage.empty() ? &s_ubEmpty : vecMessage.data(), (uint32)vecMessage.size(),
        vecSignature.empty() ? &s_ubEmpty : vecSignature.data(), (uint32)vecSignature.size(),
        vecKey.empty() ? &s_ubEmpty : vecKey.data(), (uint32)vecKey.size());
}

// Made with openssl ("dgst -sha1 -sign") and the development key, over the text below:
// proof that signatures from another implementation verify.
const char k_szOpensslMessage[] = "Ferro manifest test vector";
const char k_szOpensslSignature[] =
    "8596787b03b1146c8bcc65bf97f47c55038bc254916ab1f9d56fc85f09aacec54b74c3ad968c56d7da1fda5b142f0d4e"
    "0b21b2a6e9480bfefeced30c36a07f2523dfa5275cc4c1647754e3ed332b15551396db1240a576b87261f4b291967aca"
    "21bd570887ad669099799591336bde7a2d8b9fc2fe9a5395a2cb669785649882";
// An elliptic-curve (P-256) public key as DER SubjectPublicKeyInfo.
const char k_szECPublicKey[] =
    "3059301306072a8648ce3d020106082a8648ce3d030107034200043"
    "3bfa9999ab1fddbce7da46c73a4852b7a8eb2ed29c678a78756bbf057f1d459db13350cbe524d1a594e6"
    "4e75a42ba364f98b43cd31d94d6aa1bb8f46c35002e";
} // namespace

TEST(CryptoHexDecode, FitsExactlyAndReportsOneByteShort)
{
    CSpewCapture capture;
    uint8 rgub[8];
    memset(rgub, 0xAA, sizeof(rgub));
    uint32 cub = 4;
    ASSERT_TRUE(CCrypto::HexDecode("00ff7F80", rgub, &cub));
    EXPECT_EQ(4u, cub);
    EXPECT_EQ(0x00, rgub[0]);
    EXPECT_EQ(0xFF, rgub[1]);
    EXPECT_EQ(0x7F, rgub[2]);
    EXPECT_EQ(0x80, rgub[3]);
    EXPECT_EQ(0xAA, rgub[4]) << "wrote past the decoded bytes";
    EXPECT_TRUE(capture.Assertions().empty());

    memset(rgub, 0xAA, sizeof(rgub));
    cub = 3;
    EXPECT_FALSE(CCrypto::HexDecode("00ff7F80", rgub, &cub));
    EXPECT_EQ(0u, cub);
    EXPECT_EQ(0xAA, rgub[0]) << "a failed decode leaves the buffer alone";
    ASSERT_EQ(1u, capture.Assertions().size());
    EXPECT_EQ(
        "Assertion Failed: CCrypto::HexDecode: insufficient output buffer for decoding, needed 4 got 3\n",
        capture.Assertions()[0]);

    cub = 0;
    EXPECT_TRUE(CCrypto::HexDecode("", rgub, &cub));
    EXPECT_EQ(0u, cub);

    // The development key decodes into the 160 bytes of an RSA-1024 SubjectPublicKeyInfo.
    uint8 rgubKey[1024];
    cub = sizeof(rgubKey);
    EXPECT_TRUE(CCrypto::HexDecode(DevPublicKeyHex().c_str(), rgubKey, &cub));
    EXPECT_EQ(160u, cub);
}

TEST(CryptoHexDecode, RejectsOddDigitsAndForeignCharacters)
{
    CSpewCapture capture;
    const char *rgpchBad[] = {"abc", "0", "0g", "g0", "12 34", "12\n", "0x12", "ab-d"};
    for (const char *pchBad : rgpchBad)
    {
        uint8 rgub[8];
        memset(rgub, 0xAA, sizeof(rgub));
        uint32 cub = sizeof(rgub);
        EXPECT_FALSE(CCrypto::HexDecode(pchBad, rgub, &cub)) << pchBad;
        EXPECT_EQ(0u, cub) << pchBad;
        EXPECT_EQ(0xAA, rgub[0]) << pchBad;
    }
    EXPECT_TRUE(capture.Assertions().empty()) << "bad text is no misuse of the buffer";

    uint8 rgub[4];
    uint32 cub = sizeof(rgub);
    EXPECT_FALSE(CCrypto::HexDecode(nullptr, rgub, &cub));
    EXPECT_FALSE(CCrypto::HexDecode("00", nullptr, &cub));
    EXPECT_FALSE(CCrypto::HexDecode("00", rgub, nullptr));
    EXPECT_EQ(3u, capture.Assertions().size());
}

TEST(CryptoRSAVerify, AcceptsSignaturesOfTheDevelopmentKeyOnly)
{
    CSpewCapture capture;
    Bytes vecKey = DevPublicKey();
    ASSERT_EQ(160u, vecKey.size());

    Bytes vecManifest = ToBytes(std::string("manifest\0version\0"
                                            "7\0",
                                            19));
    std::vector<Bytes> vecMessages = {Bytes(), ToBytes("abc"), vecManifest, Bytes(5000, 0)};
    for (const Bytes &vecMessage : vecMessages)
    {
        Bytes vecSignature = SignWithDevKey(vecMessage);
        ASSERT_EQ(128u, vecSignature.size());
        EXPECT_TRUE(BVerify(vecMessage, vecSignature, vecKey)) << vecMessage.size();
    }

    // A signature made by another implementation.
    EXPECT_TRUE(BVerify(ToBytes(k_szOpensslMessage), FromHex(k_szOpensslSignature), vecKey));
    EXPECT_FALSE(BVerify(ToBytes("Ferro manifest test vectoR"), FromHex(k_szOpensslSignature), vecKey));

    // Another key of the same kind verifies nothing that the development key signed. Made
    // with the library's default exponent, its DER form has the 160 bytes of the build key.
    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::RSA::PrivateKey otherPrivate;
    otherPrivate.GenerateRandomWithKeySize(rng, 1024);
    CryptoPP::RSA::PublicKey otherPublic(otherPrivate);
    CryptoPP::ByteQueue queue;
    otherPublic.DEREncode(queue);
    Bytes vecOtherKey(queue.CurrentSize());
    queue.Get(vecOtherKey.data(), vecOtherKey.size());
    EXPECT_EQ(160u, vecOtherKey.size());
    EXPECT_FALSE(BVerify(vecManifest, SignWithDevKey(vecManifest), vecOtherKey));

    EXPECT_TRUE(capture.Assertions().empty());
}

TEST(CryptoRSAVerify, OneFlippedBitFails)
{
    Bytes vecKey = DevPublicKey();
    Bytes vecMessage = ToBytes("version 7, package client.zip.0123456789abcdef");
    Bytes vecSignature = SignWithDevKey(vecMessage);
    ASSERT_TRUE(BVerify(vecMessage, vecSignature, vecKey));

    for (size_t iBit : {size_t(0), size_t(7), vecMessage.size() * 4, vecMessage.size() * 8 - 1})
    {
        Bytes vecChanged = vecMessage;
        vecChanged[iBit / 8] ^= (uint8)(1u << (iBit % 8));
        EXPECT_FALSE(BVerify(vecChanged, vecSignature, vecKey)) << "message bit " << iBit;
    }
    // The top bits of the first byte push the value past the modulus, which the library
    // reports by throwing; the wrapper must turn that into false.
    for (size_t iBit : {size_t(0), size_t(1), size_t(7), size_t(500), size_t(1023)})
    {
        Bytes vecChanged = vecSignature;
        vecChanged[iBit / 8] ^= (uint8)(0x80u >> (iBit % 8));
        bool bVerified = true;
        EXPECT_NO_THROW(bVerified = BVerify(vecMessage, vecChanged, vecKey));
        EXPECT_FALSE(bVerified) << "signature bit " << iBit;
    }
    Bytes vecAllOnes(128, 0xFF);
    EXPECT_FALSE(BVerify(vecMessage, vecAllOnes, vecKey));
}

TEST(CryptoRSAVerify, MalformedSignaturesAndKeysFailWithoutThrowing)
{
    CSpewCapture capture;
    Bytes vecKey = DevPublicKey();
    Bytes vecMessage = ToBytes("abc");
    Bytes vecSignature = SignWithDevKey(vecMessage);

    Bytes vecTruncated(vecSignature.begin(), vecSignature.end() - 1);
    Bytes vecLonger = vecSignature;
    vecLonger.push_back(0);
    Bytes vecZeroFirst = vecSignature;
    vecZeroFirst.insert(vecZeroFirst.begin(), 0);
    for (const Bytes &vecBad : {vecTruncated, Bytes(), vecLonger, vecZeroFirst, Bytes(8, 0x11)})
    {
        bool bVerified = true;
        EXPECT_NO_THROW(bVerified = BVerify(vecMessage, vecBad, vecKey));
        EXPECT_FALSE(bVerified) << vecBad.size();
    }

    Bytes vecKeyTruncated(vecKey.begin(), vecKey.end() - 1);
    Bytes vecKeyTrailing = vecKey;
    vecKeyTrailing.push_back(0);
    Bytes vecKeyBadTag = vecKey;
    vecKeyBadTag[0] = 0x31;
    // The bare RSAPublicKey inside the SubjectPublicKeyInfo: RSA, but not the expected form.
    Bytes vecKeyPKCS1(vecKey.begin() + 22, vecKey.end());
    ASSERT_EQ(0x30, vecKeyPKCS1[0]);
    std::vector<Bytes> vecBadKeys = {
        Bytes(),     ToBytes("not a key at all"), vecKeyTruncated, vecKeyTrailing, vecKeyBadTag,
        vecKeyPKCS1, FromHex(k_szECPublicKey)};
    for (size_t i = 0; i < vecBadKeys.size(); ++i)
    {
        bool bVerified = true;
        EXPECT_NO_THROW(bVerified = BVerify(vecMessage, vecSignature, vecBadKeys[i]));
        EXPECT_FALSE(bVerified) << "key " << i;
    }
    EXPECT_TRUE(capture.Assertions().empty()) << "bad input is not misuse";
    EXPECT_TRUE(BVerify(vecMessage, vecSignature, vecKey)) << "nothing above spoilt the wrapper";
}

TEST(CryptoRSAVerify, NullArgumentsReportAndFail)
{
    CSpewCapture capture;
    Bytes vecKey = DevPublicKey();
    Bytes vecMessage = ToBytes("abc");
    Bytes vecSignature = SignWithDevKey(vecMessage);

    EXPECT_FALSE(CCrypto::RSAVerifySignature(nullptr, 0, vecSignature.data(), (uint32)vecSignature.size(),
                                             vecKey.data(), (uint32)vecKey.size()));
    EXPECT_EQ(1u, capture.Assertions().size());
    EXPECT_FALSE(CCrypto::RSAVerifySignature(vecMessage.data(), 3, nullptr, 128, vecKey.data(),
                                             (uint32)vecKey.size()));
    EXPECT_EQ(2u, capture.Assertions().size());
    EXPECT_FALSE(CCrypto::RSAVerifySignature(vecMessage.data(), 3, vecSignature.data(),
                                             (uint32)vecSignature.size(), nullptr, 160));
    EXPECT_EQ(3u, capture.Assertions().size());
}
