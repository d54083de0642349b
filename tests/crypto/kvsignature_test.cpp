#include "crypto/kvsignature.h"
#include "support/devkeytestsupport.h"

#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace
{
std::string Serialized(KeyValues *pKV)
{
    CUtlBuffer buf;
    SerializeKeyValuesForSignature(pKV, buf);
    return std::string((const char *)buf.Base(), (size_t)buf.TellMaxPut());
}

// The signature of a message with the development private key, as hex.
std::string SignWithDevKey(const std::string &strMessage)
{
    return HexOf(::SignWithDevKey((const uint8 *)strMessage.data(), strMessage.size()));
}

// The signature of the first key of the text, as the content service computes it.
std::string SignatureOf(const std::string &strText)
{
    CKeyValuesAutoDelete kv(LoadManifestText(strText));
    return SignWithDevKey(Serialized(kv.Get()));
}

const std::string k_strBody =
    "\"manifest\"\n{\n\t\"version\" \"42\"\n\t\"core\"\n\t{\n\t\t\"file\" "
    "\"core.zip.0123456789abcdef0123456789abcdef01234567\"\n\t\t\"size\" \"1234\"\n\t}\n}\n";

std::string Block(const std::string &strName, const std::string &strSignature,
                  const char *pchBlock = KV_SIGNATURES_KEY)
{
    return std::string("\"") + pchBlock + "\" { \"" + strName + "\" \"" + strSignature + "\" }\n";
}

bool BVerifyText(const std::string &strText, const char *pchKey)
{
    CKeyValuesAutoDelete kv(LoadManifestText(strText));
    return BVerifyKeyValuesSignature(kv.Get(), pchKey);
}
} // namespace

TEST(KVSignature, SerializationIsNamesInLowerCaseValuesAndZeroBytes)
{
    CKeyValuesAutoDelete kv(LoadManifestText(
        "\"Manifest\" { \"version\" \"7\" \"pkg\" { \"file\" \"pkg.zip.ab\" \"size\" \"9\" } }"));
    std::string strExpected("manifest\0version7\0pkg\0filepkg.zip.ab\0size9\0", 43);
    EXPECT_EQ(strExpected, Serialized(kv.Get()));

    // Values pass through the string accessor: a number the loader kept as a number is
    // signed as the accessor renders it; text that is not one stays as written.
    CKeyValuesAutoDelete numbers(
        LoadManifestText("\"M\" { \"a\" \"+5\" \"b\" \"007\" \"c\" \"99999999999\" \"D\" { } }"));
    EXPECT_EQ(std::string("m\0a5\0b007\0c99999999999\0d\0", 25), Serialized(numbers.Get()));

    // Peers are not part of a key's message; an empty value still has its zero byte.
    CKeyValuesAutoDelete peers(LoadManifestText("\"x\" { } \"y\" { \"z\" \"1\" }"));
    EXPECT_EQ(std::string("x\0", 2), Serialized(peers.Get()));
}

TEST(KVSignature, SignedManifestVerifiesAndAnyChangeBreaksIt)
{
    const std::string strKey = DevPublicKeyHex();
    const std::string strSignature = SignatureOf(k_strBody);
    const std::string strSigned = k_strBody + Block("manifest", strSignature);
    EXPECT_TRUE(BVerifyText(strSigned, strKey.c_str()));
    // Without a key nothing verifies: the caller always names the key it trusts.
    EXPECT_FALSE(BVerifyText(strSigned, nullptr));

    // Names are compared without case: the message is the same.
    std::string strRecased = strSigned;
    strRecased.replace(strRecased.find("\"version\""), 9, "\"VerSion\"");
    strRecased.replace(strRecased.find("\"manifest\""), 10, "\"MANIFEST\"");
    EXPECT_TRUE(BVerifyText(strRecased, strKey.c_str()));
    // The signature block may be spelt in any case, and upper-case hex is hex.
    EXPECT_TRUE(BVerifyText(k_strBody + Block("manifest", strSignature, "KVSignatures"), strKey.c_str()));
    std::string strUpper = strSignature;
    for (char &ch : strUpper)
        ch = (char)toupper((unsigned char)ch);
    EXPECT_TRUE(BVerifyText(k_strBody + Block("manifest", strUpper), strKey.c_str()));
    // Other top-level keys are not covered and may stand between.
    EXPECT_TRUE(BVerifyText(k_strBody + "\"notes\" { \"by\" \"anyone\" }\n" + Block("manifest", strSignature),
                            strKey.c_str()));

    // Any value, an added key, a reordering: no longer the signed message.
    std::vector<std::pair<std::string, std::string>> vecChanges = {
        {"\"42\"", "\"43\""},
        {"\"1234\"", "\"1235\""},
        {"core.zip.0", "core.zip.1"},
        {"\"version\" \"42\"", "\"version\" \"42\" \"extra\" \"\""},
        {"\"version\" \"42\"\n\t\"core\"\n\t{\n\t\t\"file\" "
         "\"core.zip.0123456789abcdef0123456789abcdef01234567\"\n\t\t"
         "\"size\" \"1234\"\n\t}",
         "\"core\"\n\t{\n\t\t\"file\" \"core.zip.0123456789abcdef0123456789abcdef01234567\"\n\t\t\"size\" "
         "\"1234\"\n\t}\n\t\"version\" \"42\""},
        {"\"file\" \"core.zip.0123456789abcdef0123456789abcdef01234567\"\n\t\t\"size\" \"1234\"",
         "\"size\" \"1234\" \"file\" \"core.zip.0123456789abcdef0123456789abcdef01234567\""},
    };
    for (const auto &change : vecChanges)
    {
        std::string strChanged = strSigned;
        size_t iPos = strChanged.find(change.first);
        ASSERT_NE(std::string::npos, iPos) << change.first;
        strChanged.replace(iPos, change.first.size(), change.second);
        EXPECT_FALSE(BVerifyText(strChanged, strKey.c_str())) << change.second;
    }
}

TEST(KVSignature, SignatureBlockMustBeLastAndHoldTheKeysSignature)
{
    const std::string strKey = DevPublicKeyHex();
    const std::string strSignature = SignatureOf(k_strBody);
    // No block; the block not last; no entry for the manifest's name; a manifest alone.
    EXPECT_FALSE(BVerifyText(k_strBody, strKey.c_str()));
    EXPECT_FALSE(BVerifyText(k_strBody + Block("manifest", strSignature) + "\"late\" { \"k\" \"v\" }\n",
                             strKey.c_str()));
    EXPECT_FALSE(BVerifyText(k_strBody + Block("other", strSignature), strKey.c_str()));
    EXPECT_FALSE(BVerifyText(k_strBody + Block("manifest", strSignature, "kvsignature"), strKey.c_str()));
    EXPECT_FALSE(BVerifyKeyValuesSignature(nullptr, strKey.c_str()));
    // A section where the signature should be.
    EXPECT_FALSE(
        BVerifyText(k_strBody + "\"kvsignatures\" { \"manifest\" { \"a\" \"b\" } }\n", strKey.c_str()));
}

TEST(KVSignature, MalformedSignaturesAndKeysFail)
{
    const std::string strKey = DevPublicKeyHex();
    const std::string strSignature = SignatureOf(k_strBody);

    // A key too long for the decode buffer makes the key decoding report an assertion:
    // a signature of the wrong length fails before that step, one within the limits
    // reaches it.
    const std::string strHugeKey(2050, 'a');
    CSpewCapture capture;
    for (size_t cch : {15u, 257u, 0u})
    {
        std::string strSig = cch <= strSignature.size()
                                 ? strSignature.substr(0, cch)
                                 : strSignature + std::string(cch - strSignature.size(), 'a');
        EXPECT_FALSE(BVerifyText(k_strBody + Block("manifest", strSig), strHugeKey.c_str())) << cch;
        EXPECT_FALSE(BVerifyText(k_strBody + Block("manifest", strSig), strKey.c_str())) << cch;
    }
    EXPECT_TRUE(capture.Assertions().empty());
    EXPECT_FALSE(BVerifyText(k_strBody + Block("manifest", strSignature.substr(0, 16)), strHugeKey.c_str()));
    EXPECT_EQ(1u, capture.Assertions().size());
    capture.Clear();

    // Non-hex characters count as 0, an odd last digit is dropped: simply not the signature.
    std::string strNonHex = strSignature;
    strNonHex[10] = 'g';
    strNonHex[11] = '-';
    EXPECT_FALSE(BVerifyText(k_strBody + Block("manifest", strNonHex), strKey.c_str()));
    EXPECT_FALSE(BVerifyText(k_strBody + Block("manifest", strSignature.substr(0, 255)), strKey.c_str()));
    EXPECT_FALSE(BVerifyText(k_strBody + Block("manifest", std::string(256, 'z')), strKey.c_str()));

    // Keys that are not hex, not whole bytes, or not DER.
    const std::string strSigned = k_strBody + Block("manifest", strSignature);
    for (const char *pchBadKey : {"", "00ff", "zz", "abc", "30819d300d06092a864886f70d010101050003818b00"})
        EXPECT_FALSE(BVerifyText(strSigned, pchBadKey)) << pchBadKey;
    EXPECT_TRUE(capture.Assertions().empty());
}
