#include "installtestsupport.h"

#include "foundation/clock.h"

#include <algorithm>

namespace
{
const int64 k_nNow = 1780000000;

// The manifest text with a line of top-level values after "version".
std::string WithValues(std::string strManifest, const std::string &strValues)
{
    size_t iVersion = strManifest.find("\"version\"");
    strManifest.insert(strManifest.find('\n', iVersion) + 1, strValues);
    return strManifest;
}

// The manifest text with a "sha256" in the package's block.
std::string WithSHA256(std::string strManifest, const std::string &strPackage, const std::string &strSHA256)
{
    size_t iBlock = strManifest.find("\t\"" + strPackage + "\"\n\t{\n");
    strManifest.insert(strManifest.find("\t}\n", iBlock), "\t\t\"sha256\"\t\"" + strSHA256 + "\"\n");
    return strManifest;
}

std::string Value(const std::string &strName, int64 nValue)
{
    return "\t\"" + strName + "\"\t\"" + std::to_string(nValue) + "\"\n";
}

bool BHasPrefix(const std::vector<std::string> &vec, const std::string &strPrefix)
{
    return std::any_of(vec.begin(), vec.end(),
                       [&](const std::string &str) { return str.rfind(strPrefix, 0) == 0; });
}
} // namespace

TEST_F(InstallTest, FetchedManifestMustBeOfThisChannelFreshAndNotOlderThanTheInstalledOne)
{
    CScopedManualClock clock;
    clock->SetSecondsSince1970(k_nNow);
    const std::string strBuild = ManifestText(3, {});
    WriteInstallFile(InstalledManifest(),
                     SignedManifestText(WithValues(strBuild, Value("timestamp", k_nNow - 1000))));
    MakeInstallUpdater();
    auto Accept = [&](const std::string &strValues, const char *pchBeta = "")
    {
        CKeyValuesAutoDelete kv(m_pUpdater->LoadManifestFromBuffer(WithValues(strBuild, strValues).c_str()));
        return m_pUpdater->BAcceptManifest(kv.Get(), pchBeta, "download");
    };

    EXPECT_TRUE(Accept(Value("timestamp", k_nNow - 1000) + Value("expires", k_nNow + 10)));
    // The expiry is read on the clock of the process: two days later it has passed.
    clock->Advance(2ull * 86400 * 1000000);
    EXPECT_FALSE(Accept(Value("timestamp", k_nNow - 1000) + Value("expires", k_nNow + 10)));
    EXPECT_EQ(
        "Manifest download refused: it expired at 1780000010 and the clock says 1780172800 (24 hours of "
        "clock difference allowed)\n",
        LogMessages().back());

    EXPECT_FALSE(Accept(Value("timestamp", k_nNow - 1001)));
    EXPECT_EQ("Manifest download refused: its timestamp 1779998999 is older than the installed manifest's "
              "1779999000: an older manifest replayed\n",
              LogMessages().back());
    EXPECT_FALSE(Accept(""));
    EXPECT_TRUE(Accept(Value("timestamp", k_nNow)));

    EXPECT_FALSE(Accept("\t\"platform\"\t\"elsewhere\"\n"));
    EXPECT_EQ("Manifest download refused: it is for the platform 'elsewhere', and this launcher's is '" +
                  std::string(FERRO_PLATFORM_TAG) + "'\n",
              LogMessages().back());
    // Another beta's name: refused; the beta asked for has no installed manifest yet, so an
    // old timestamp is no rollback there.
    EXPECT_FALSE(Accept("\t\"beta\"\t\"other\"\n", "tester"));
    EXPECT_EQ("Manifest download refused: it is for the beta 'other', and this launcher asked for the beta "
              "'tester'\n",
              LogMessages().back());
    WriteInstallFile("package/beta", "tester");
    MakeInstallUpdater();
    EXPECT_TRUE(Accept(Value("timestamp", 5) + "\t\"beta\"\t\"tester\"\n", "tester"));
}

TEST_F(InstallTest, ArchiveWhoseSHA256DiffersIsRefusedAndDeleted)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}}}, {"more", {{"b.dll", "b1"}}}});
    const std::vector<TestPackage_t> vecPackages = m_vecLastPackages;
    const std::string strCore = ReadTextFile(Install("package/" + vecPackages[0].m_strFile));
    const std::string strMore = ReadTextFile(Install("package/" + vecPackages[1].m_strFile));
    const std::string strWrong = SHA256Hex("other bytes with the same SHA-1 name");
    std::string strManifest = WithSHA256(ManifestText(1, vecPackages), "core", SHA256Hex(strCore));
    WriteInstallFile(PendingManifest(), SignedManifestText(WithSHA256(strManifest, "more", strWrong)));

    CFerroUpdater &updater = MakeInstallUpdater();
    EXPECT_FALSE(updater.BApplyUpdate());
    EXPECT_EQ("Corrupt package file (" + PackagePath(vecPackages[1]) + ")",
              std::string(updater.GetLastErrorText().Get()));
    EXPECT_TRUE(BHasPrefix(LogMessages(), "Package more refused: the SHA-256 of " + vecPackages[1].m_strFile +
                                              " is " + SHA256Hex(strMore) + ", and its manifest says " +
                                              strWrong));
    EXPECT_FALSE(BExists("package/" + vecPackages[1].m_strFile));
    EXPECT_FALSE(BExists(PendingManifest()));
    EXPECT_TRUE(GameFiles().empty());

    // The same archive named with its own SHA-256 (in capitals) installs.
    std::string strUpper = SHA256Hex(strMore);
    std::transform(strUpper.begin(), strUpper.end(), strUpper.begin(), ::toupper);
    ASSERT_TRUE(WriteTextFile(Install("package/" + vecPackages[1].m_strFile), strMore));
    WriteInstallFile(PendingManifest(), SignedManifestText(WithSHA256(strManifest, "more", strUpper)));
    EXPECT_TRUE(MakeInstallUpdater().BApplyUpdate()) << m_pUpdater->GetLastErrorText().Get();
    EXPECT_EQ((FileMap_t{{"a.dll", "a1"}, {"b.dll", "b1"}}), GameFiles());
}

TEST_F(InstallTest, ImportRefusesAnOlderManifestAndAnArchiveWhoseSHA256Differs)
{
    CScopedManualClock clock;
    clock->SetSecondsSince1970(k_nNow);
    const std::string strSource = m_Dir.File("download");
    PublishBuild(2, {{"core", {{"a.dll", "a2"}}}}, "", strSource);
    const TestPackage_t package = m_vecLastPackages[0];
    const std::string strArchive = ReadTextFile(strSource + "/" + package.m_strFile);
    const std::string strSourceManifest = strSource + "/" + PackageBase();
    WriteInstallFile(InstalledManifest(),
                     SignedManifestText(WithValues(ManifestText(1, {}), Value("timestamp", k_nNow - 10))));
    auto Publish = [&](const std::string &strValues, const std::string &strSHA256)
    {
        ASSERT_TRUE(WriteTextFile(
            strSourceManifest, SignedManifestText(WithSHA256(
                                   WithValues(ManifestText(2, {package}), strValues), "core", strSHA256))));
        // Newer than the installed manifest, as a real download would be.
        std::filesystem::last_write_time(strSourceManifest, std::filesystem::file_time_type::clock::now() +
                                                                std::chrono::seconds(100));
    };
    CFerroUpdater &updater = MakeInstallUpdater();

    Publish(Value("timestamp", k_nNow - 11), SHA256Hex(strArchive));
    EXPECT_FALSE(updater.BInstallUpdateFromDirectory(strSource.c_str()));
    EXPECT_EQ("update in " + strSource + " is refused, not installing update\n", LogMessages().back());
    EXPECT_FALSE(BExists("package/" + package.m_strFile));

    Publish(Value("timestamp", k_nNow), SHA256Hex("something else"));
    EXPECT_FALSE(updater.BInstallUpdateFromDirectory(strSource.c_str()));
    EXPECT_EQ("Package file " + package.m_strFile + " does not match its digest, not installing update\n",
              LogMessages().back());
    EXPECT_TRUE(BHasPrefix(LogMessages(), "Package core refused: the SHA-256 of " + package.m_strFile));
    EXPECT_FALSE(BExists("package/" + package.m_strFile));

    Publish(Value("timestamp", k_nNow), SHA256Hex(strArchive));
    updater.BInstallUpdateFromDirectory(strSource.c_str());
    EXPECT_TRUE(BExists("package/" + package.m_strFile));
    EXPECT_TRUE(BExists(PendingManifest()));
}
