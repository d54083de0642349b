// The language files that ship with the launcher: they load cleanly, each holds every text
// the launcher asks for, and a translation keeps the parameters of its English text.
#include "localizetestutil.h"

#include <set>

namespace
{
// Every token the launcher looks up.
const char *const k_rgpchTokens[] = {
    "FerroBootstrapper_WindowTitle",
    "FerroBootstrapper_UpdatingFerro",
    "FerroBootstrapper_InstallDirNotASCII",
    "FerroBootstrapper_ReadOnlyInstall",
    "FerroBootstrapper_UpdateChecking",
    "FerroBootstrapper_UpdateDownload",
    "FerroBootstrapper_UpdateDownloading",
    "FerroBootstrapper_DownloadComplete",
    "FerroBootstrapper_UpdatePrepare",
    "FerroBootstrapper_UpdateExtractingPackage",
    "FerroBootstrapper_UpdateInstalling",
    "FerroBootstrapper_UpdateCleanup",
    "FerroBootstrapper_UpdateComplete",
    "FerroBootstrapper_InstallVerify",
    "FerroBootstrapper_UpdateCleanupFail",
    "FerroBootstrapper_UpdateApplyFail",
    "FerroBootstrapper_UpdateFinalizeFail",
    "FerroBootstrapper_InsufficientDiskSpace",
    "FerroBootstrapper_FailedMkdir",
    "FerroBootstrapper_FailedDownload",
    "FerroBootstrapper_FailedManifestVerify",
    "FerroBootstrapper_FailedManifestSave",
    "FerroBootstrapper_FailedManifestLoad",
    "FerroBootstrapper_FailedPackageRead",
    "FerroBootstrapper_CorruptPackageFile",
    "FerroBootstrapper_FailedPackageUnzip",
    "FerroBootstrapper_OfflineAndNeedUpdate",
    "FerroBootstrapper_NoNetwork",
    "FerroBootstrapper_Cancel",
    "FerroBootstrapper_Cancelling",
    "FerroBootstrapper_FatalErrorTitle",
    "FerroBootstrapper_WarningTitle",
    "FerroBootstrapper_ThousandsSeparator",
    "FerroBootstrapper_ManifestUnreadable",
    "FerroBootstrapper_CauseDiskFull",
    "FerroBootstrapper_CauseNotWritable",
    "FerroBootstrapper_CauseNotAFolder",
    "FerroBootstrapper_WaitingForLauncher",
    "FerroBootstrapper_LauncherBusy",
};

std::string PublicDir()
{
    const char *pchSource = getenv("FERRO_SOURCE_DIR");
    return std::string(pchSource ? pchSource : "..") + "/public";
}

// The "%name%" parameters of a text.
std::set<std::string> Parameters(const std::string &strText)
{
    std::set<std::string> setNames;
    for (size_t i = strText.find('%'); i != std::string::npos; i = strText.find('%', i + 1))
    {
        size_t iEnd = strText.find('%', i + 1);
        if (iEnd == std::string::npos)
            break;
        setNames.insert(strText.substr(i + 1, iEnd - i - 1));
        i = iEnd;
    }
    return setNames;
}

std::map<std::string, std::string> LoadShipped(const char *pchName, std::string *pstrLanguage)
{
    CSpewCapture capture;
    CLocalizedStringTable table;
    std::string strPath = PublicDir() + "/" + pchName;
    EXPECT_TRUE(table.AddFile(nullptr, strPath.c_str())) << strPath;
    // Not one report from either tokenizer or the parser.
    EXPECT_TRUE(capture.Texts().empty())
        << pchName << ": " << (capture.Texts().empty() ? "" : capture.Texts()[0]);
    *pstrLanguage = table.GetFileLanguage();
    std::map<std::string, std::string> mapTexts;
    for (const auto &entry : DumpTable(table))
        mapTexts[entry.first] = entry.second;
    return mapTexts;
}
} // namespace

TEST(ShippedLanguageFiles, LoadCleanlyWithTheSameTokensAndParameters)
{
    std::string strEnglishLanguage, strGermanLanguage;
    std::map<std::string, std::string> mapEnglish =
        LoadShipped("ferrobootstrapper_english.txt", &strEnglishLanguage);
    std::map<std::string, std::string> mapGerman =
        LoadShipped("ferrobootstrapper_german.txt", &strGermanLanguage);
    EXPECT_EQ("English", strEnglishLanguage);
    EXPECT_EQ("German", strGermanLanguage);

    // The English file is plain 8-bit text, the German one UTF-16 with its mark.
    EXPECT_NE(0, ReadBinaryFile(PublicDir() + "/ferrobootstrapper_english.txt").compare(0, 2, "\xFF\xFE"));
    EXPECT_EQ(0, ReadBinaryFile(PublicDir() + "/ferrobootstrapper_german.txt").compare(0, 2, "\xFF\xFE"));

    std::set<std::string> setExpected(std::begin(k_rgpchTokens), std::end(k_rgpchTokens));
    std::set<std::string> setEnglish, setGerman;
    for (const auto &entry : mapEnglish)
        setEnglish.insert(entry.first);
    for (const auto &entry : mapGerman)
        setGerman.insert(entry.first);
    EXPECT_EQ(setExpected, setEnglish);
    EXPECT_EQ(setExpected, setGerman);

    for (const char *pchToken : k_rgpchTokens)
    {
        const std::string &strEnglish = mapEnglish[pchToken];
        const std::string &strGerman = mapGerman[pchToken];
        EXPECT_FALSE(strEnglish.empty()) << pchToken;
        EXPECT_FALSE(strGerman.empty()) << pchToken;
        EXPECT_EQ(Parameters(strEnglish), Parameters(strGerman)) << pchToken;
        // No printf formats: every percent sign belongs to a parameter named by letters.
        for (const std::string &strName : Parameters(strEnglish))
        {
            EXPECT_FALSE(strName.empty()) << pchToken;
            EXPECT_EQ(std::string::npos, strName.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"))
                << pchToken << ": " << strName;
        }
    }
    EXPECT_EQ(std::set<std::string>{"nMegaBytes"},
              Parameters(mapEnglish["FerroBootstrapper_InsufficientDiskSpace"]));
    EXPECT_EQ((std::set<std::string>{"dirname", "errno"}),
              Parameters(mapEnglish["FerroBootstrapper_FailedMkdir"]));
    EXPECT_EQ((std::set<std::string>{"bytes", "size"}),
              Parameters(mapEnglish["FerroBootstrapper_UpdateDownloading"]));
}

TEST(ShippedLanguageFiles, GermanCarriesTheCurrentEnglishSourceTexts)
{
    // The "[english]" entries of the translation, read from a copy whose name marks it as
    // English so that they are stored, must match the English file.
    CTempDir dir;
    std::string strCopy = dir.File("copy_english.txt");
    ASSERT_TRUE(WriteBinaryFile(strCopy, ReadBinaryFile(PublicDir() + "/ferrobootstrapper_german.txt")));
    CLocalizedStringTable tableSource;
    ASSERT_TRUE(tableSource.AddFile(nullptr, strCopy.c_str()));
    CLocalizedStringTable tableEnglish;
    ASSERT_TRUE(tableEnglish.AddFile(nullptr, (PublicDir() + "/ferrobootstrapper_english.txt").c_str()));
    for (const char *pchToken : k_rgpchTokens)
    {
        std::string strSourceKey = std::string("[english]") + pchToken;
        EXPECT_EQ(FindUTF8(tableEnglish, pchToken), FindUTF8(tableSource, strSourceKey.c_str())) << pchToken;
    }
}

TEST(ShippedLanguageFiles, TheBuildCopiesThemBesideTheExecutable)
{
    const char *pchBin = getenv("FERRO_BIN_DIR");
    if (!pchBin)
        GTEST_SKIP() << "FERRO_BIN_DIR not set";
    for (const char *pchName : {"ferrobootstrapper_english.txt", "ferrobootstrapper_german.txt"})
        EXPECT_EQ(ReadBinaryFile(PublicDir() + "/" + pchName),
                  ReadBinaryFile(std::string(pchBin) + "/public/" + pchName))
            << pchName;
}
