#include "crypto/manifestbinding.h"

#include "crypto/sha256.h"
#include "foundation/keyvalues.h"
#include "foundation/keyvaluessystem.h"
#include "support/devkeytestsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
const char k_szSHA1[] = "0123456789abcdef0123456789abcdef01234567";
const char k_szArchive[] = "the archive's bytes";

std::string ArchiveSHA256()
{
    CSHA256 sha;
    sha.Update(k_szArchive, sizeof(k_szArchive) - 1);
    return sha.FinalHex();
}

// A manifest with the top-level values given ("name" "value" lines) and two packages, the
// first with the "sha256" given (none when empty).
std::string Manifest(const std::string &strValues, const std::string &strSHA256 = "")
{
    std::string strFirst = strSHA256.empty() ? "" : "\t\t\"sha256\" \"" + strSHA256 + "\"\n";
    return "\"manifest\"\n{\n\t\"version\" \"5\"\n" + strValues + "\t\"bin\"\n\t{\n\t\t\"file\" \"bin.zip." +
           k_szSHA1 + "\"\n\t\t\"size\" \"3\"\n" + strFirst +
           "\t}\n\t\"data\"\n\t{\n\t\t\"file\" \"data.zip." + k_szSHA1 +
           "\"\n\t\t\"size\" \"3\"\n\t\t\"sha256\" \"" + ArchiveSHA256() + "\"\n\t}\n}\n";
}

std::string Value(const std::string &strName, const std::string &strValue)
{
    return "\t\"" + strName + "\" \"" + strValue + "\"\n";
}

std::string Reason(const std::string &strText, bool bRequire = false)
{
    CKeyValuesAutoDelete kv(LoadManifestText(strText));
    CUtlString strReason;
    if (BCheckManifestBindingValues(kv.Get(), bRequire, &strReason))
        return "ok";
    return strReason.Get();
}
} // namespace

TEST(ManifestBindingTest, WellFormedValuesPassAndEachMalformedOneIsNamed)
{
    const std::string strAll = Value("timestamp", "1780000000") + Value("expires", "9223372036854775807") +
                               Value("platform", "linux") + Value("beta", "");
    EXPECT_EQ("ok", Reason(Manifest(strAll, ArchiveSHA256())));
    EXPECT_EQ("ok", Reason(Manifest(Value("timestamp", "0"))));
    // Either case of hex digits.
    std::string strUpper = ArchiveSHA256();
    for (char &ch : strUpper)
        ch = (char)toupper((unsigned char)ch);
    EXPECT_EQ("ok", Reason(Manifest("", strUpper), true));

    EXPECT_EQ("package 'bin': sha256 'abc' is not 64 hex digits", Reason(Manifest("", "abc")));
    EXPECT_EQ("package 'bin': sha256 '" + ArchiveSHA256() + "0' is not 64 hex digits",
              Reason(Manifest("", ArchiveSHA256() + "0")));
    EXPECT_EQ("package 'bin': sha256 'g" + ArchiveSHA256().substr(1) + "' is not 64 hex digits",
              Reason(Manifest("", "g" + ArchiveSHA256().substr(1))));
    // 2^63 is one past the largest, a sign or a leading zero make another number of it.
    for (const char *pchBad :
         {"9223372036854775808", "99999999999999999999", "-1", "+5x", "017", "1.5", "abc", ""})
    {
        EXPECT_EQ(std::string("the timestamp '") + pchBad +
                      "' is not a plain decimal number of seconds up to 2^63 - 1",
                  Reason(Manifest(Value("timestamp", pchBad))))
            << pchBad;
        EXPECT_EQ(std::string("the expires '") + pchBad +
                      "' is not a plain decimal number of seconds up to 2^63 - 1",
                  Reason(Manifest(Value("expires", pchBad))))
            << pchBad;
    }
    std::string strLong(10000, 'x');
    EXPECT_EQ("the platform '" + strLong.substr(0, 100) + "...' is longer than 64 characters",
              Reason(Manifest(Value("platform", strLong))));
    EXPECT_EQ("ok", Reason(Manifest(Value("beta", std::string(64, 'b')))));
    EXPECT_EQ("the beta '" + std::string(65, 'b') + "' is longer than 64 characters",
              Reason(Manifest(Value("beta", std::string(65, 'b')))));
    EXPECT_EQ("the beta 'a b' holds a character that is not printable ASCII",
              Reason(Manifest(Value("beta", "a b"))));

    // Required: every package has one.
    EXPECT_EQ("ok", Reason(Manifest(""), false));
    EXPECT_EQ("package 'bin' has no \"sha256\", which this launcher requires", Reason(Manifest(""), true));
}

TEST(ManifestBindingTest, ChannelIsThePlatformAndBetaAskedFor)
{
    auto Channel = [](const std::string &strValues, const char *pchBeta)
    {
        CKeyValuesAutoDelete kv(LoadManifestText(Manifest(strValues)));
        CUtlString strReason;
        return BCheckManifestChannel(kv.Get(), "linux", pchBeta, &strReason) ? std::string("ok")
                                                                             : std::string(strReason.Get());
    };
    // Bound to nothing: an old manifest serves any name, as it always did.
    EXPECT_EQ("ok", Channel("", ""));
    EXPECT_EQ("ok", Channel("", "tester"));
    EXPECT_EQ("ok", Channel(Value("platform", "Linux"), ""));
    EXPECT_EQ("ok", Channel(Value("platform", "linux") + Value("beta", "Tester"), "tester"));
    EXPECT_EQ("ok", Channel(Value("beta", ""), ""));
    EXPECT_EQ("it is for the platform 'win32', and this launcher's is 'linux'",
              Channel(Value("platform", "win32"), ""));
    EXPECT_EQ("it is for the beta 'other', and this launcher asked for the beta 'tester'",
              Channel(Value("platform", "linux") + Value("beta", "other"), "tester"));
    EXPECT_EQ("it is for the beta 'other', and this launcher asked for the public channel (no beta)",
              Channel(Value("beta", "other"), ""));
    // Naming the platform and no beta is the public channel's manifest.
    EXPECT_EQ("it is for the public channel (no beta), and this launcher asked for the beta 'tester'",
              Channel(Value("platform", "linux"), "tester"));
    EXPECT_EQ("it is for the public channel (no beta), and this launcher asked for the beta 'tester'",
              Channel(Value("beta", ""), "tester"));
}

TEST(ManifestBindingTest, ExpiredOrOlderThanTheInstalledOneIsRefused)
{
    const int64 nNow = 1780000000;
    auto Fresh = [&](const std::string &strNew, const std::string &strInstalled, bool bRefuseOlder = false)
    {
        CKeyValuesAutoDelete kv(LoadManifestText(strNew));
        CKeyValuesAutoDelete installed(strInstalled.empty() ? nullptr : LoadManifestText(strInstalled));
        ManifestFreshness_t freshness;
        freshness.m_nNowSeconds = nNow;
        freshness.m_pInstalled = installed.Get();
        freshness.m_bRefuseOlderVersions = bRefuseOlder;
        CUtlString strReason;
        return BCheckManifestFreshness(kv.Get(), freshness, &strReason) ? std::string("ok")
                                                                        : std::string(strReason.Get());
    };
    // A day of clock difference, and not a second more.
    EXPECT_EQ("ok", Fresh(Manifest(Value("expires", std::to_string(nNow - 86400))), ""));
    EXPECT_EQ("it expired at 1779913599 and the clock says 1780000000 (24 hours of clock difference allowed)",
              Fresh(Manifest(Value("expires", std::to_string(nNow - 86401))), ""));
    EXPECT_EQ("ok", Fresh(Manifest(Value("expires", "9223372036854775807")), ""));

    const std::string strInstalled = Manifest(Value("timestamp", "1700000000"));
    EXPECT_EQ("ok", Fresh(Manifest(Value("timestamp", "1700000000")), strInstalled));
    EXPECT_EQ("ok", Fresh(Manifest(Value("timestamp", "1700000001")), strInstalled));
    EXPECT_EQ("its timestamp 1699999999 is older than the installed manifest's 1700000000: an older manifest "
              "replayed",
              Fresh(Manifest(Value("timestamp", "1699999999")), strInstalled));
    // Once the installed one carries a time, one without is from before the publisher signed
    // times: a replay.
    EXPECT_EQ(
        "it has no timestamp, and the installed manifest has one (1700000000): an older manifest replayed",
        Fresh(Manifest(""), strInstalled));
    // An installed manifest without a time compares with nothing; no installed one neither.
    EXPECT_EQ("ok", Fresh(Manifest(Value("timestamp", "5")), Manifest("")));
    EXPECT_EQ("ok", Fresh(Manifest(Value("timestamp", "5")), ""));
    // Another beta's manifest is no earlier state of this one.
    EXPECT_EQ("ok", Fresh(Manifest(Value("timestamp", "5") + Value("beta", "tester")),
                          Manifest(Value("timestamp", "1700000000") + Value("platform", "linux"))));
    EXPECT_EQ("its timestamp 5 is older than the installed manifest's 1700000000: an older manifest replayed",
              Fresh(Manifest(Value("timestamp", "5") + Value("beta", "tester")),
                    Manifest(Value("timestamp", "1700000000") + Value("beta", "tester"))));

    // Versions only with the setting on; the same version again is no rollback.
    const std::string strVersion7 = "\"manifest\"\n{\n\t\"version\" \"7\"\n}\n";
    EXPECT_EQ("ok", Fresh(Manifest(""), strVersion7));
    EXPECT_EQ("its version 5 is below the installed 7, and this launcher refuses older versions",
              Fresh(Manifest(""), strVersion7, true));
    EXPECT_EQ("ok", Fresh(Manifest(""), "\"manifest\"\n{\n\t\"version\" \"5\"\n}\n", true));
}

TEST(ManifestBindingTest, PackageSHA256ComparesTheArchiveBytes)
{
    CKeyValuesAutoDelete kv(LoadManifestText(Manifest("", "")));
    std::string strActual;
    EXPECT_EQ(k_EPackageSHA256Absent,
              CheckPackageSHA256(kv->FindKey("bin"), k_szArchive, sizeof(k_szArchive) - 1, &strActual));
    EXPECT_EQ(k_EPackageSHA256Absent, CheckPackageSHA256(nullptr, k_szArchive, sizeof(k_szArchive) - 1));
    EXPECT_EQ(k_EPackageSHA256Match,
              CheckPackageSHA256(kv->FindKey("data"), k_szArchive, sizeof(k_szArchive) - 1, &strActual));
    EXPECT_EQ(ArchiveSHA256(), strActual);
    // One byte less: the same SHA-1 name would not help it.
    EXPECT_EQ(k_EPackageSHA256Mismatch,
              CheckPackageSHA256(kv->FindKey("data"), k_szArchive, sizeof(k_szArchive) - 2, &strActual));
    EXPECT_NE(ArchiveSHA256(), strActual);
}
