#include "crypto/kvsignature.h"
#include "crypto/manifestverify.h"
#include "support/devkeytestsupport.h"

#include "foundation/keyvalues.h"
#include "foundation/keyvaluessystem.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
const char k_szDigest[] = "0123456789abcdef0123456789ABCDEF01234567";

// The text with a signature block holding its RSA signature (and its Ed25519 one, or the
// Ed25519 entry given), as the content service writes it.
std::string Signed(const std::string &strText, bool bEd25519 = false, const std::string &strEd25519Entry = "")
{
    CKeyValuesAutoDelete kv(LoadManifestText(strText));
    CUtlBuffer buf, bufEd;
    SerializeKeyValuesForSignature(kv.Get(), buf);
    SerializeKeyValuesForEd25519(kv.Get(), bufEd);
    std::string strBlock = "\"kvsignatures\"\n{\n\t\"" + std::string(kv->GetName()) + "\" \"" +
                           HexOf(SignWithDevKey((const uint8 *)buf.Base(), (size_t)buf.TellPut())) + "\"\n";
    if (bEd25519)
        strBlock += "\t\"ed25519\" \"" +
                    HexOf(SignWithDevEd25519Key((const uint8 *)bufEd.Base(), (size_t)bufEd.TellPut())) +
                    "\"\n";
    strBlock += strEd25519Entry;
    return strText + strBlock + "}\n";
}

std::string Package(const std::string &strName, const std::string &strFile, const std::string &strSize,
                    const std::string &strMore = "")
{
    return "\t\"" + strName + "\"\n\t{\n\t\t\"file\" \"" + strFile + "\"\n\t\t\"size\" \"" + strSize +
           "\"\n" + strMore + "\t}\n";
}

std::string Manifest(const std::string &strPackages, const std::string &strMore = "")
{
    return "\"manifest\"\n{\n\t\"version\" \"2\"\n" + strMore + strPackages + "}\n";
}

std::string Good()
{
    return Manifest(Package("bin", std::string("bin.zip.") + k_szDigest, "1234") +
                    Package("data", std::string("data.zip.") + k_szDigest, "99") +
                    Package("root", std::string("root.zip.") + k_szDigest, "5"));
}

class ManifestVerifyTest : public ::testing::Test
{
protected:
    ManifestTrust_t Trust(bool bEd25519Key, bool bRequire)
    {
        m_strRSA = DevPublicKeyHex();
        m_strEd = bEd25519Key ? DevEd25519PublicKeyHex() : "";
        ManifestTrust_t trust;
        trust.m_pchRSAPublicKeyHex = m_strRSA.c_str();
        trust.m_pchEd25519PublicKeyHex = m_strEd.c_str();
        trust.m_bRequireEd25519 = bRequire;
        return trust;
    }
    // The reason, or "" when the text verifies.
    std::string Refusal(const std::string &strText, bool bEd25519Key = true, bool bRequire = false)
    {
        CKeyValuesAutoDelete kv(LoadManifestText(strText));
        CUtlString strReason;
        bool bValid = BVerifyManifest(kv.Get(), Trust(bEd25519Key, bRequire), &strReason);
        EXPECT_EQ(bValid, strReason.IsEmpty()) << strReason.Get();
        return bValid ? "" : strReason.Get();
    }

    std::string m_strRSA, m_strEd;
};
} // namespace

TEST_F(ManifestVerifyTest, ABlockMovedInsideAnotherKeepsItsRSASignatureAndIsRefused)
{
    const std::string strGenuine = Signed(Good());
    EXPECT_EQ("", Refusal(strGenuine));
    // The closing brace of "bin" moved to the end: "data" and "root" now sit inside "bin".
    std::string strMoved = strGenuine;
    size_t iClose = strMoved.find("\t}\n");
    strMoved.erase(iClose, 3);
    strMoved.insert(strMoved.find("}\n\"kvsignatures\""), "\t}\n");
    CKeyValuesAutoDelete kv(LoadManifestText(strMoved));
    EXPECT_EQ(nullptr, kv->FindKey("data"));
    EXPECT_TRUE(BVerifyKeyValuesSignature(kv.Get(), DevPublicKeyHex().c_str()));
    EXPECT_EQ("package 'bin' holds a block 'data'", Refusal(strMoved));

    // The Ed25519 message of the two trees differs, so its signature does not carry over.
    CKeyValuesAutoDelete kvGenuine(LoadManifestText(strGenuine));
    CUtlBuffer bufA, bufB;
    SerializeKeyValuesForEd25519(kvGenuine.Get(), bufA);
    SerializeKeyValuesForEd25519(kv.Get(), bufB);
    EXPECT_NE(std::string((const char *)bufA.Base(), (size_t)bufA.TellPut()),
              std::string((const char *)bufB.Base(), (size_t)bufB.TellPut()));
}

TEST_F(ManifestVerifyTest, OnlyTheShapeTheUpdaterReadsPasses)
{
    const std::string strDigest = k_szDigest;
    const std::string strFile = "core.zip." + strDigest;
    const std::string strNotFile = "' is not the package name, \".zip.\" and 40 hex digits";
    const std::string strNotSize = "' is not a plain decimal number up to 2^53";
    struct Case_t
    {
        std::string m_strManifest;
        std::string m_strReason; // "" when accepted, else a part of the reason
    } rgCases[] = {
        // Unknown plain values, under the manifest key and in a block, are for later.
        {Manifest(Package("core", strFile, "7", "\t\t\"note\" \"ab\"\n"),
                  "\t\"timestamp\" \"1\"\n\t\"beta\" \"x\"\n"),
         ""},
        {Manifest(""), ""},
        {Manifest(Package("Core-2_x", "core-2_X.zip." + strDigest, "9007199254740992")), ""},
        // Blanks before digits make a number of the loader, signed as its digits.
        {Manifest(Package("core", strFile, " 7")), ""},
        {Manifest(Package("kvsignatures", "kvsignatures.zip." + strDigest, "7")), ""},
        // "file": the package name, ".zip." and 40 hex digits, nothing else.
        {Manifest(Package("core", "core.zip.012\r\nX-Injected: yes", "7")),
         "package 'core': file 'core.zip.012??X-Injected: yes" + strNotFile},
        {Manifest(Package("core", strFile + "0", "7")), strNotFile},
        {Manifest(Package("core", strFile.substr(0, strFile.size() - 1), "7")), strNotFile},
        {Manifest(Package("core", "core.ZIP." + strDigest, "7")), strNotFile},
        {Manifest(Package("core", "other.zip." + strDigest, "7")), strNotFile},
        {Manifest(Package("core", "../core.zip." + strDigest, "7")), strNotFile},
        {Manifest(Package("core", "core.zip.g123456789abcdef0123456789abcdef01234567", "7")), strNotFile},
        {Manifest(Package("co re", "co re.zip." + strDigest, "7")),
         "package 'co re': a package name is made of ASCII letters, digits, '_' and '-'"},
        {Manifest(Package("core.x", "core.x.zip." + strDigest, "7")), "a package name is made of"},
        // "size": a plain decimal up to 2^53.
        {Manifest(Package("core", strFile, "0x7f")), "package 'core': size '0x7f" + strNotSize},
        {Manifest(Package("core", strFile, "9007199254740993")), strNotSize},
        {Manifest(Package("core", strFile, "-1")), strNotSize},
        {Manifest(Package("core", strFile, "007")), strNotSize},
        {Manifest(Package("core", strFile, "")), strNotSize},
        {Manifest(Package("core", strFile, "0")), "package 'core': size 0 is no archive"},
        // One of each, plain values only, names once.
        {Manifest(Package("core", strFile, "7", "\t\t\"size\" \"7\"\n")),
         "package 'core' has 1 \"file\" and 2 \"size\" values (one of each)"},
        {Manifest("\t\"core\" { \"file\" \"" + strFile + "\" }\n"), "has 1 \"file\" and 0 \"size\""},
        {Manifest("\t\"core\" { }\n"), "has 0 \"file\" and 0 \"size\""},
        {Manifest(Package("core", strFile, "7", "\t\t\"deeper\" { \"a\" \"b\" }\n")),
         "package 'core' holds a block 'deeper'"},
        {Manifest(Package("core", strFile, "7") + Package("CORE", "CORE.zip." + strDigest, "7")), "' twice"},
        {Manifest("", "\t\"version\" \"3\"\n"), "the manifest names 'version' twice"},
        // A signature block inside the manifest key is a package without file or size.
        {Manifest("\t\"kvsignatures\" { \"manifest\" \"00\" }\n"),
         "package 'kvsignatures' has 0 \"file\" and 0 \"size\" values"},
    };
    for (const Case_t &c : rgCases)
    {
        std::string strRefusal = Refusal(Signed(c.m_strManifest));
        if (c.m_strReason.empty())
            EXPECT_EQ("", strRefusal) << c.m_strManifest;
        else
            EXPECT_NE(std::string::npos, strRefusal.find(c.m_strReason)) << c.m_strManifest << "\n"
                                                                         << strRefusal;
    }
}

TEST_F(ManifestVerifyTest, TheSignatureBlockIsPlainSmallAndLast)
{
    const std::string strSigned = Signed(Good());
    EXPECT_EQ("the RSA signature does not verify", Refusal(strSigned + "\"other\" { }\n"));
    // Another key between the manifest and its signatures is no matter.
    std::string strBetween = strSigned;
    strBetween.insert(strBetween.find("\"kvsignatures\""), "\"other\" { \"a\" \"b\" }\n");
    EXPECT_EQ("", Refusal(strBetween));
    // A signature block in the middle as well as at the end.
    std::string strTwice = strSigned;
    strTwice.insert(strTwice.find("\"kvsignatures\""), "\"kvsignatures\" { \"x\" \"00\" }\n");
    EXPECT_EQ("more than one signature block", Refusal(strTwice));
    // 10,000 entries, the genuine one among them.
    std::string strMany;
    for (int i = 0; i < 10000; ++i)
        strMany += "\t\"s" + std::to_string(i) + "\" \"00\"\n";
    EXPECT_EQ("the signature block has more than 16 entries", Refusal(Signed(Good(), false, strMany)));
    EXPECT_EQ("the signature block holds a block 'x'", Refusal(Signed(Good(), false, "\t\"x\" { }\n")));
}

TEST_F(ManifestVerifyTest, TheEd25519SignatureIsCheckedWherePresentAndRequiredWhenAsked)
{
    const std::string strRSAOnly = Signed(Good());
    const std::string strBoth = Signed(Good(), true);
    // Present and valid; required or not.
    EXPECT_EQ("", Refusal(strBoth, true, false));
    EXPECT_EQ("", Refusal(strBoth, true, true));
    // An old manifest (RSA only) installs unless the signature is required.
    EXPECT_EQ("", Refusal(strRSAOnly, true, false));
    EXPECT_EQ("", Refusal(strRSAOnly, false, false));
    EXPECT_EQ("no Ed25519 signature, which this launcher requires", Refusal(strRSAOnly, true, true));
    // Wrong: a signature of another manifest, one changed digit, the wrong length, not hex.
    std::string strOther = Signed(Manifest(""), true);
    std::string strOtherEd = strOther.substr(strOther.find("\t\"ed25519\""));
    strOtherEd = strOtherEd.substr(0, strOtherEd.find('\n') + 1);
    EXPECT_EQ("the Ed25519 signature does not verify",
              Refusal(Signed(Good(), false, strOtherEd), true, false));
    EXPECT_EQ("the Ed25519 signature does not verify",
              Refusal(Signed(Good(), false, strOtherEd), true, true));
    std::string strFlipped = strBoth;
    size_t iDigit = strFlipped.find("\"ed25519\" \"") + 14;
    strFlipped[iDigit] = strFlipped[iDigit] == '0' ? '1' : '0';
    EXPECT_EQ("the Ed25519 signature does not verify", Refusal(strFlipped));
    for (const std::string &strEntry :
         {std::string(126, 'a'), std::string(130, 'a'), std::string(127, 'a') + "g", std::string("")})
    {
        std::string strText = Signed(Good(), false, "\t\"ed25519\" \"" + strEntry + "\"\n");
        EXPECT_EQ("the Ed25519 signature is not 128 hex digits", Refusal(strText, true, false)) << strEntry;
        EXPECT_EQ("the Ed25519 signature is not 128 hex digits", Refusal(strText, false, false)) << strEntry;
    }
    // Without a key a well-formed signature cannot be checked and is not needed.
    EXPECT_EQ("", Refusal(Signed(Good(), false, strOtherEd), false, false));
    // The RSA signature still decides first.
    std::string strBadRSA = strBoth;
    size_t iRSA = strBadRSA.find("\"manifest\" \"", strBadRSA.find("kvsignatures")) + 14;
    strBadRSA[iRSA] = strBadRSA[iRSA] == '0' ? '1' : '0';
    EXPECT_EQ("the RSA signature does not verify", Refusal(strBadRSA, true, true));
}

TEST(ManifestEd25519Message, NamesAndValuesAreCountedAndBlocksOpenedAndClosed)
{
    CKeyValuesAutoDelete kv(
        LoadManifestText("\"Manifest\" { \"V\" \"7\" \"pkg\" { \"file\" \"ab\" } \"e\" { } }"));
    CUtlBuffer buf;
    SerializeKeyValuesForEd25519(kv.Get(), buf);
    const std::string strExpected =
        std::string("arvo manifest ed25519 1\0", 24) + "{" + std::string("\0\0\0\x08", 4) + "manifest" + "=" +
        std::string("\0\0\0\x01", 4) + "v" + std::string("\0\0\0\x01", 4) + "7" + "{" +
        std::string("\0\0\0\x03", 4) + "pkg" + "=" + std::string("\0\0\0\x04", 4) + "file" +
        std::string("\0\0\0\x02", 4) + "ab" + "}" + "{" + std::string("\0\0\0\x01", 4) + "e" + "}" + "}";
    EXPECT_EQ(strExpected, std::string((const char *)buf.Base(), (size_t)buf.TellPut()));
}

TEST(ManifestTextLimits, SizeAndKeyCountAreBoundedBeforeParsing)
{
    CUtlString strReason;
    EXPECT_TRUE(BManifestTextWithinLimits(Good().c_str(), &strReason));
    // Exactly the limit of keys (the manifest key counts), then one more.
    std::string strKeys = "\"m\" {";
    for (int i = 1; i < k_cMaxManifestKeys; ++i)
        strKeys += " k" + std::to_string(i) + " v";
    EXPECT_TRUE(BManifestTextWithinLimits((strKeys + " }").c_str(), &strReason));
    EXPECT_FALSE(BManifestTextWithinLimits((strKeys + " x { } }").c_str(), &strReason));
    EXPECT_STREQ("the manifest has more than 100,000 keys", strReason.Get());
    // Braces, "=", comments and conditionals are no keys; quoted braces are names.
    EXPECT_TRUE(
        BManifestTextWithinLimits("// a { b\n\"m\" { \"a\" = \"{\" [$WIN32] \"}\" { } }", &strReason));
    // The size is measured before anything else.
    std::string strBig(k_cubMaxManifestText, ' ');
    EXPECT_TRUE(BManifestTextWithinLimits(strBig.c_str(), &strReason));
    strBig += "x";
    EXPECT_FALSE(BManifestTextWithinLimits(strBig.c_str(), &strReason));
    EXPECT_STREQ("the manifest is longer than 4,194,304 bytes", strReason.Get());
}

TEST(ManifestTextLimits, AManifestOfMillionsOfKeysLeavesNoNameBehind)
{
    // 47 MB of 1.6 million distinct keys: refused before any of its names is interned.
    std::string strHuge = "\"manifest\" {\n";
    strHuge.reserve(48u << 20);
    for (int i = 0; i < 1600000; ++i)
        strHuge += "\t\"key_number_" + std::to_string(1000000 + i) + "_xyz\" \"value\"\n";
    strHuge += "}\n";
    ASSERT_GT(strHuge.size(), 47000000u);
    CKeyValuesSystem *pSystem = static_cast<CKeyValuesSystem *>(KeyValuesSystem());
    int cubPoolBefore = pSystem->GetPoolBytesUsed();
    CUtlString strReason;
    EXPECT_FALSE(BManifestTextWithinLimits(strHuge.c_str(), &strReason));
    EXPECT_EQ(cubPoolBefore, pSystem->GetPoolBytesUsed());
    EXPECT_EQ(0, KeyValuesSystem()->GetSymbol("key_number_2599999_xyz", false));
}

TEST(ManifestSize, ReadOnceAsAPlainDecimal)
{
    uint64 ul = 1;
    EXPECT_TRUE(BParseManifestSize("0", &ul));
    EXPECT_EQ(0u, ul);
    EXPECT_TRUE(BParseManifestSize("4294967423", &ul)); // 2^32 + 127: no 32-bit reading
    EXPECT_EQ(4294967423ull, ul);
    EXPECT_TRUE(BParseManifestSize("9007199254740992", &ul));
    EXPECT_EQ(1ull << 53, ul);
    for (const char *pchBad :
         {"", "0x7f", "+7", "-7", " 7", "7 ", "07", "9007199254740993", "99999999999999999", "1e3"})
    {
        EXPECT_FALSE(BParseManifestSize(pchBad, &ul)) << pchBad;
        EXPECT_EQ(0u, ul) << pchBad;
    }
}
