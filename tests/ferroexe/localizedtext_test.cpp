// The launcher's lookup: files loaded on the first call, the user's language over English,
// parameters, the fallback, and two threads.
#include "ferroexe/localizedtext.h"
#include "ferroexe/win32updateui.h"

#include "foundation/filesystem.h"
#include "foundation/keyvalues.h"
#include "foundation/platform/file.h"
#include "foundation/platform/registry.h"
#include "localize/localizedstringtable.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace
{
const char k_pchNotASCIIFallback[] =
    "Ferro cannot run from a folder path that includes non-English characters. "
    "Please re-install Ferro to the default folder.";
const char k_pchNotASCIIGerman[] =
    "Ferro kann nicht aus einem Ordner gestartet werden, dessen Pfad nicht-englische "
    "Zeichen enth\xc3\xa4lt. Bitte installieren Sie Ferro erneut im Standardordner.";

std::string ReadBytes(const std::string &strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string &strPath, const std::string &strBytes)
{
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file.write(strBytes.data(), (std::streamsize)strBytes.size());
}

std::string ShippedFile(const char *pchName)
{
    const char *pchSource = getenv("FERRO_SOURCE_DIR");
    return ReadBytes(std::string(pchSource ? pchSource : "..") + "/public/" + pchName);
}

// An install directory with the shipped language files and a private registry; the test
// runs in it (the working directory is restored afterwards).
class LocalizedTextTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("FERRO_REGISTRY_DIR", m_Dir.File("registry").c_str(), 1);
        ASSERT_TRUE(PLAT_CreateDirectory(m_Dir.File("install").c_str()));
        ASSERT_TRUE(PLAT_CreateDirectory(m_Dir.File("install/public").c_str()));
        WriteBytes(English(), ShippedFile("ferrobootstrapper_english.txt"));
        WriteBytes(German(), ShippedFile("ferrobootstrapper_german.txt"));
        ASSERT_TRUE(PLAT_GetCurrentDirectory(m_rgchOldDir, sizeof(m_rgchOldDir)));
        ASSERT_TRUE(PLAT_SetCurrentDirectory(m_Dir.File("install").c_str()));
    }
    void TearDown() override
    {
        PLAT_SetCurrentDirectory(m_rgchOldDir);
        unsetenv("FERRO_REGISTRY_DIR");
    }
    std::string English() const { return m_Dir.File("install/public/ferrobootstrapper_english.txt"); }
    std::string German() const { return m_Dir.File("install/public/ferrobootstrapper_german.txt"); }
    static void SetUserLanguage(const char *pchLanguage)
    {
        ASSERT_TRUE(PLAT_RegistryCreateKey(k_EPlatRegistryHiveCurrentUser, "Software\\Quill\\Ferro"));
        ASSERT_TRUE(PLAT_RegistryWriteString(k_EPlatRegistryHiveCurrentUser, "Software\\Quill\\Ferro",
                                             "Language", pchLanguage));
    }

    CTempDir m_Dir;
    char m_rgchOldDir[1024];
    CLocalizedStringTable m_Table;
    CFileSystem m_FileSystem;
};
} // namespace

TEST_F(LocalizedTextTest, GermanOverEnglishWithTheCallersFallbackLast)
{
    SetUserLanguage("german");
    // A token only the English file has.
    std::string strEnglish = ReadBytes(English());
    strEnglish.insert(strEnglish.rfind("\t}"), "\t\t\"FerroBootstrapper_EnglishOnly\"\t\"Only in English\"\n"
                                               "\t\t\"FerroBootstrapper_Empty\"\t\"\"\n");
    WriteBytes(English(), strEnglish);

    CBootstrapperTextLookup lookup(&m_Table, &m_FileSystem, nullptr);
    EXPECT_STREQ(k_pchNotASCIIGerman,
                 lookup.Lookup("#FerroBootstrapper_InstallDirNotASCII", nullptr, k_pchNotASCIIFallback));
    EXPECT_STREQ("Arvo Launcher", lookup.Lookup("#FerroBootstrapper_WindowTitle", nullptr, "fallback"));
    EXPECT_STREQ("Arvo Launcher wird aktualisiert...",
                 lookup.Lookup("#FerroBootstrapper_UpdatingFerro", nullptr, "Updating Arvo Launcher..."));
    EXPECT_STREQ("Only in English", lookup.Lookup("#FerroBootstrapper_EnglishOnly", nullptr, "fallback"));
    // Missing or empty: the caller's own text, the very pointer.
    const char *pchFallback = "Checking for available update...";
    EXPECT_EQ(pchFallback, lookup.Lookup("#FerroBootstrapper_NotThere", nullptr, pchFallback));
    EXPECT_EQ(pchFallback, lookup.Lookup("#FerroBootstrapper_Empty", nullptr, pchFallback));
    EXPECT_EQ(pchFallback, lookup.Lookup(nullptr, nullptr, pchFallback));

    // "." was added to "MAIN" once, at its tail.
    EXPECT_EQ(1, m_FileSystem.GetSearchPathCount("MAIN"));
    EXPECT_EQ(2, m_Table.GetFileCount());
}

TEST_F(LocalizedTextTest, ParametersComeFromTheCallersKeyValues)
{
    SetUserLanguage("german");
    CBootstrapperTextLookup lookup(&m_Table, &m_FileSystem, nullptr);

    CKeyValuesAutoDelete pParams("params");
    pParams->SetInt("nMegaBytes", 100);
    EXPECT_STREQ("Ferro ben\xc3\xb6tigt f\xc3\xbcr das Update mindestens 100 MB freien Speicherplatz.",
                 lookup.Lookup("#FerroBootstrapper_InsufficientDiskSpace", pParams.Get(),
                               "Ferro needs at least 100MB of free disk space to update."));
    // The lookup names itself in the caller's tree.
    EXPECT_STREQ("Arvo Launcher", pParams->GetString("appname"));

    CKeyValuesAutoDelete pProgress("params");
    pProgress->SetString("bytes", "1,234");
    pProgress->SetString("size", "56,789");
    EXPECT_STREQ("Update wird heruntergeladen (1,234 von 56,789 KB)...",
                 lookup.Lookup("#FerroBootstrapper_UpdateDownloading", pProgress.Get(), "fallback"));

    CKeyValuesAutoDelete pMkdir("params");
    pMkdir->SetString("dirname", "C:\\Games\\package");
    pMkdir->SetInt("errno", 13);
    EXPECT_STREQ("Das Cache-Verzeichnis C:\\Games\\package konnte nicht erstellt werden, Fehler 13",
                 lookup.Lookup("#FerroBootstrapper_FailedMkdir", pMkdir.Get(), "fallback"));
    // A parameter not given is an empty text.
    EXPECT_STREQ("Download fehlgeschlagen: HTTP-Fehler ",
                 lookup.Lookup("#FerroBootstrapper_FailedDownload", nullptr, "fallback"));
}

TEST_F(LocalizedTextTest, EnglishWithoutALanguageAndLoadedOnlyOnce)
{
    CBootstrapperTextLookup lookup(&m_Table, &m_FileSystem, nullptr);
    EXPECT_STREQ("Updating Arvo Launcher...",
                 lookup.Lookup("#FerroBootstrapper_UpdatingFerro", nullptr, "x"));
    EXPECT_STREQ(k_pchNotASCIIFallback, lookup.Lookup("#FerroBootstrapper_InstallDirNotASCII", nullptr, "x"));
    EXPECT_EQ(1, m_Table.GetFileCount());

    // The files are read on the first lookup only.
    SetUserLanguage("german");
    PLAT_DeleteFile(English().c_str());
    EXPECT_STREQ("Updating Arvo Launcher...",
                 lookup.Lookup("#FerroBootstrapper_UpdatingFerro", nullptr, "x"));
    EXPECT_EQ(1, m_Table.GetFileCount());
}

TEST_F(LocalizedTextTest, FoundThroughTheInstallDirectoryFromElsewhere)
{
    SetUserLanguage("german");
    ASSERT_TRUE(PLAT_SetCurrentDirectory(m_Dir.Path().c_str()));
    CBootstrapperTextLookup lookup(&m_Table, &m_FileSystem, m_Dir.File("install").c_str());
    EXPECT_STREQ("Arvo Launcher wird aktualisiert...",
                 lookup.Lookup("#FerroBootstrapper_UpdatingFerro", nullptr, "x"));
    EXPECT_EQ(2, m_FileSystem.GetSearchPathCount("MAIN"));
}

TEST_F(LocalizedTextTest, BrokenOrMissingFilesFallBackToEnglish)
{
    SetUserLanguage("german");
    CSpewCapture capture;
    {
        // The translation cut in the middle: what it holds before the cut is German, the
        // rest English.
        std::string strGerman = ReadBytes(German());
        WriteBytes(German(), strGerman.substr(0, strGerman.size() / 2 + 1));
        CLocalizedStringTable table;
        CFileSystem fs;
        CBootstrapperTextLookup lookup(&table, &fs, nullptr);
        EXPECT_STREQ("Arvo Launcher wird aktualisiert...",
                     lookup.Lookup("#FerroBootstrapper_UpdatingFerro", nullptr, "x"));
        EXPECT_STREQ(
            "Ferro needs to be online to update.  Please confirm your network connection and try again.",
            lookup.Lookup("#FerroBootstrapper_NoNetwork", nullptr, "x"));
        EXPECT_TRUE(capture.BContains("ends inside its \"Tokens\" block"));
    }
    {
        // Garbage after the mark: English throughout.
        WriteBytes(German(), "\xFF\xFE" + std::string(4001, '\x01'));
        CLocalizedStringTable table;
        CFileSystem fs;
        CBootstrapperTextLookup lookup(&table, &fs, nullptr);
        EXPECT_STREQ("Updating Arvo Launcher...",
                     lookup.Lookup("#FerroBootstrapper_UpdatingFerro", nullptr, "x"));
    }
    {
        // No files at all: the compiled-in texts.
        PLAT_DeleteFile(German().c_str());
        PLAT_DeleteFile(English().c_str());
        CLocalizedStringTable table;
        CFileSystem fs;
        CBootstrapperTextLookup lookup(&table, &fs, nullptr);
        EXPECT_STREQ(k_pchNotASCIIFallback,
                     lookup.Lookup("#FerroBootstrapper_InstallDirNotASCII", nullptr, k_pchNotASCIIFallback));
        EXPECT_TRUE(capture.BContains(
            "ILocalize::AddFile() failed to load file \"public\\ferrobootstrapper_english.txt\".\n"));
    }
}

TEST_F(LocalizedTextTest, EachThreadKeepsItsTextUntilItsNextLookup)
{
    SetUserLanguage("german");
    CBootstrapperTextLookup lookup(&m_Table, &m_FileSystem, nullptr);
    const char *pchMain = lookup.Lookup("#FerroBootstrapper_UpdatingFerro", nullptr, "x");
    std::string strMainCopy = pchMain;

    bool rgbOK[2] = {true, true};
    auto Worker = [&](int iThread, const char *pchToken, const char *pchExpected)
    {
        for (int i = 0; i < 300; ++i)
        {
            CKeyValuesAutoDelete pParams("params");
            pParams->SetInt("errno", i);
            const char *pchText = lookup.Lookup(pchToken, pParams.Get(), "fallback");
            std::string strExpected = pchExpected + std::to_string(i);
            if (strExpected != pchText)
                rgbOK[iThread] = false;
        }
    };
    std::thread threadOne(Worker, 0, "#FerroBootstrapper_FailedDownload",
                          "Download fehlgeschlagen: HTTP-Fehler ");
    std::thread threadTwo(Worker, 1, "#FerroBootstrapper_FailedMkdir",
                          "Das Cache-Verzeichnis  konnte nicht "
                          "erstellt werden, Fehler ");
    threadOne.join();
    threadTwo.join();
    EXPECT_TRUE(rgbOK[0]);
    EXPECT_TRUE(rgbOK[1]);
    // The main thread's text was not touched by the others.
    EXPECT_EQ(strMainCopy, pchMain);
}

// The process-wide lookup finds the files beside the executable, whatever the working
// directory (each test runs in a process of its own, so this is the first lookup here).
TEST_F(LocalizedTextTest, TheWindowLooksUpItsTitleAndHeadingOnce)
{
    SetUserLanguage("german");
    ASSERT_TRUE(PLAT_SetCurrentDirectory(m_Dir.Path().c_str()));
    CWin32UpdateUI window;
    EXPECT_STREQ("Arvo Launcher", window.GetWindowTitle());
    EXPECT_STREQ("Arvo Launcher wird aktualisiert...", window.GetHeading());
    // Its copies outlive the lookup's buffer.
    LocalizeBootstrapperText("#FerroBootstrapper_UpdateChecking", nullptr, "x");
    EXPECT_STREQ("Arvo Launcher wird aktualisiert...", window.GetHeading());
}
