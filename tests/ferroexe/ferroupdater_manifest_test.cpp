#include "updatertestsupport.h"

#include "ferroexe/bootstrapperversion.h"
#include "foundation/keyvalues.h"

namespace
{
const std::string k_strList = std::string("package/arvo_launcher_") + FERRO_PLATFORM_TAG + ".installed";
const std::string k_strManifest = std::string("package/arvo_launcher_") + FERRO_PLATFORM_TAG + ".manifest";
} // namespace

TEST_F(UpdaterTest, ManifestsLoadAndSaveTheManifestKeyWithItsSignatures)
{
    CFerroUpdater &updater = MakeUpdater();
    const char *pchText =
        "\"Build\"\n{\n  \"version\" \"77\"\n  \"note\" \"x\"\n  \"core\" { \"file\" \"core.zip.ab\" "
        "\"size\" \"9\" }\n}\n\"other\" { \"a\" \"b\" }\n\"kvsignatures\" { \"Build\" \"00\" }\n";
    KeyValues *pManifest = updater.LoadManifestFromBuffer(pchText);
    ASSERT_NE(nullptr, pManifest);
    CKeyValuesAutoDelete manifestDelete(pManifest);
    EXPECT_STREQ("Build", pManifest->GetName());
    EXPECT_EQ(77u, pManifest->GetUint64("version"));
    ASSERT_NE(nullptr, pManifest->GetNextKey());
    EXPECT_STREQ("other", pManifest->GetNextKey()->GetName());
    // Only "core" has children: "version" and "note" are not packages.
    ASSERT_NE(nullptr, pManifest->GetFirstTrueSubKey());
    EXPECT_STREQ("core", pManifest->GetFirstTrueSubKey()->GetName());
    EXPECT_EQ(nullptr, pManifest->GetFirstTrueSubKey()->GetNextTrueSubKey());

    // The signature block goes with the manifest key, so that the file can be checked
    // again; other top-level keys do not.
    ASSERT_TRUE(updater.BSaveManifestFile(pManifest, Install("saved.manifest").c_str()));
    std::string strSaved = ReadTextFile(Install("saved.manifest"));
    EXPECT_EQ(std::string::npos, strSaved.find("other"));
    KeyValues *pReloaded = updater.LoadManifestFromBuffer(strSaved.c_str());
    ASSERT_NE(nullptr, pReloaded);
    EXPECT_TRUE(pReloaded->IsEqual(pManifest));
    ASSERT_NE(nullptr, pReloaded->GetNextKey());
    EXPECT_STREQ("kvsignatures", pReloaded->GetNextKey()->GetName());
    EXPECT_STREQ("00", pReloaded->GetNextKey()->GetString("Build"));
    EXPECT_EQ(nullptr, pReloaded->GetNextKey()->GetNextKey());
    pReloaded->DeleteThis();

    // A file that cannot be created fails the save and leaves nothing.
    EXPECT_FALSE(updater.BSaveManifestFile(pManifest, Install("missing/dir/x.manifest").c_str()));
    EXPECT_FALSE(updater.BSaveManifestFile(nullptr, Install("y.manifest").c_str()));
    EXPECT_FALSE(std::filesystem::exists(Install("y.manifest")));

    // Text that does not load: null and one log line each.
    CSpewCapture capture;
    for (const char *pchBad :
         {"", "   // only a comment\n", "\"m\" { \"a\" ", "\"m\" { } }", "{ \"a\" \"b\" }"})
    {
        EXPECT_EQ(nullptr, updater.LoadManifestFromBuffer(pchBad)) << pchBad;
        EXPECT_EQ("failed to load manifest from buffer.\n", LogMessages().back()) << pchBad;
    }
    EXPECT_EQ(nullptr, updater.LoadManifestFromBuffer(nullptr));
    // Binary garbage does not crash the loader.
    std::string strBinary;
    for (int i = 1; i < 256; ++i)
        strBinary += (char)(i * 7 % 255 + 1);
    KeyValues *pGarbage = updater.LoadManifestFromBuffer(strBinary.c_str());
    if (pGarbage)
        pGarbage->DeleteThis();
}

TEST_F(UpdaterTest, InstalledVersionComesFromTheInstalledManifestOfTheBeta)
{
    WriteInstallFile(k_strManifest, "\"manifest\" { \"version\" \"12345678901\" }\n");
    MakeUpdater();
    EXPECT_EQ(12345678901ull, GetBootstrapperVersion());

    // The beta's own manifest, read after the beta file.
    WriteInstallFile("package/beta", "xyz");
    WriteInstallFile(std::string("package/arvo_launcher_xyz_") + FERRO_PLATFORM_TAG + ".manifest",
                     "\"manifest\" { \"version\" \"5\" }\n");
    MakeUpdater();
    EXPECT_EQ(5u, GetBootstrapperVersion());
    std::filesystem::remove(Install("package/beta"));

    // No version, no file, an empty file, text that does not load: 0, without an error.
    const char *rgpchContents[] = {"\"manifest\" { \"core\" { } }\n", nullptr, "", "\"manifest\" {"};
    for (const char *pchContent : rgpchContents)
    {
        std::filesystem::remove(Install(k_strManifest));
        if (pchContent)
            WriteInstallFile(k_strManifest, pchContent);
        MakeUpdater();
        EXPECT_EQ(0u, GetBootstrapperVersion()) << (pchContent ? pchContent : "(no file)");
    }
}

TEST_F(UpdaterTest, InstalledFilesVerifyLineByLine)
{
    WriteInstallFile("bin/client.dll", std::string(1234, 'c'));
    WriteInstallFile("ferro.exe", "exe");
    std::filesystem::create_directories(Install("data"));
    CFerroUpdater &updater = MakeUpdater();
    auto Verify = [&](const std::string &strList)
    {
        WriteInstallFile(k_strList, strList);
        return updater.BVerifyInstalledFiles(true);
    };

    // No list: the negation of the flag.
    EXPECT_FALSE(updater.BVerifyInstalledFiles(true));
    EXPECT_TRUE(updater.BVerifyInstalledFiles(false));

    EXPECT_TRUE(Verify(""));
    EXPECT_TRUE(Verify("bin/client.dll,1234\n"));
    EXPECT_TRUE(Verify("bin/client.dll, 1234\n"));
    EXPECT_TRUE(Verify("bin/client.dll,1234,x\n"));
    EXPECT_TRUE(Verify("BIN\\Client.DLL,1234\n")) << "paths go through the platform layer";
    EXPECT_FALSE(Verify("bin/client.dll,1233\n"));
    EXPECT_EQ("BVerifyInstalledFiles: bin/client.dll should be 1233\n\n", LogMessages().back());
    EXPECT_FALSE(Verify("bin/client.dll,1233,x\n"));
    EXPECT_EQ("BVerifyInstalledFiles: bin/client.dll should be 1233\n", LogMessages().back());
    EXPECT_FALSE(Verify("bin/missing.dll,0\n"));

    // The first failing line ends the check; later lines do not matter.
    EXPECT_FALSE(Verify("bin/client.dll,1\nnot a line\n"));
    EXPECT_EQ("BVerifyInstalledFiles: bin/client.dll should be 1\n\n", LogMessages().back());
    EXPECT_FALSE(Verify("bin/client.dll,1234\nnot a line\n"));
    EXPECT_EQ("malformed manifest line: 'not a line\n'\n", LogMessages().back());

    // The launcher itself is exempt while its checksum is inhibited, with or without "./",
    // under its exact name only.
    for (const char *pchLine : {"ferro.exe,1\n", "./ferro.exe,1\n", "Ferro.exe,1\n"})
    {
        updater.m_bInhibitChecksum = false;
        EXPECT_FALSE(Verify(pchLine)) << pchLine;
        updater.m_bInhibitChecksum = true;
        EXPECT_EQ(strcmp(pchLine, "Ferro.exe,1\n") != 0, Verify(pchLine)) << pchLine;
    }
    updater.m_bInhibitChecksum = false;
    EXPECT_TRUE(Verify("./ferro.exe,3\n"));

    // Directories are skipped whatever the size; a missing one with -1 passes only with a
    // trailing backslash; a file with -1 fails.
    EXPECT_TRUE(Verify("data,-1\ndata/,77\n"));
    EXPECT_FALSE(Verify("gone,-1\n"));
    EXPECT_TRUE(Verify("gone\\,-1\n"));
    EXPECT_FALSE(Verify("ferro.exe,-1\n"));

    // Lines are read whole (a line with a digest is longer than a path); one longer than
    // any line of ours is malformed.
    std::string strLong = std::string(290, 'p') + ",1234\n";
    EXPECT_FALSE(Verify(strLong));
    EXPECT_EQ("BVerifyInstalledFiles: " + std::string(290, 'p') + " should be 1234\n\n",
              LogMessages().back());
    EXPECT_TRUE(Verify("bin/client.dll,1234," + std::string(64, 'a') + ",core\n"));
    std::string strTooLong = "bin/client.dll,1234," + std::string(5000, 'x') + "\n";
    EXPECT_FALSE(Verify(strTooLong));
    EXPECT_EQ(0u, LogMessages().back().find("malformed manifest line: 'bin/client.dll,1234,xxx"));

    // A file that something replaced by a directory is gone: the line fails.
    EXPECT_FALSE(Verify("data,5\n"));
    EXPECT_EQ("BVerifyInstalledFiles: data should be a file of 5 bytes, not a directory\n",
              LogMessages().back());

    // A list cut short: a last line without its line end still counts; one cut inside the
    // path is malformed.
    EXPECT_TRUE(Verify("bin/client.dll,1234\nferro.exe,3"));
    EXPECT_FALSE(Verify("bin/client.dll,1234\nferro.e"));
    EXPECT_EQ("malformed manifest line: 'ferro.e'\n", LogMessages().back());

    // The beta's own list.
    updater.m_bInhibitAll = updater.m_bOffline = true;
    updater.SetClientBeta("xyz");
    EXPECT_FALSE(updater.BVerifyInstalledFiles(true));
    WriteInstallFile(std::string("package/arvo_launcher_xyz_") + FERRO_PLATFORM_TAG + ".installed",
                     "ferro.exe,3\n");
    EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
}

TEST_F(UpdaterTest, InstalledFileListGivesThePathsOfLinesWithAComma)
{
    CFerroUpdater &updater = MakeUpdater();
    CUtlVector<CUtlString> vecFiles;
    EXPECT_EQ(0, updater.ReadInstalledFileList(Install("nothing.installed").c_str(), vecFiles));
    EXPECT_EQ(0, vecFiles.Count());

    vecFiles.AddToTail("kept");
    WriteInstallFile("list.installed", "bin/a.dll,12\nno comma\nb,c,d\n,5\n" + std::string(300, 'q') +
                                           ",1\n" + std::string(5000, 'r') + ",2\nlast,3");
    EXPECT_EQ(5, updater.ReadInstalledFileList(Install("list.installed").c_str(), vecFiles));
    ASSERT_EQ(6, vecFiles.Count());
    EXPECT_STREQ("kept", vecFiles[0].Get());
    EXPECT_STREQ("bin/a.dll", vecFiles[1].Get());
    EXPECT_STREQ("b", vecFiles[2].Get());
    EXPECT_STREQ("", vecFiles[3].Get());
    // A long line is one path; one longer than any line of ours is skipped whole.
    EXPECT_EQ(std::string(300, 'q'), vecFiles[4].Get());
    EXPECT_STREQ("last", vecFiles[5].Get());

    // The other fields: a digest (any case, kept in lower case), or nothing when the third
    // field is not one; the package.
    WriteInstallFile("list.installed",
                     "a,1," + std::string(64, 'A') + ",core\nb,2,xyz,data\nc,3\r\nd,-1,,\n");
    std::vector<InstalledFile_t> vecEntries;
    EXPECT_EQ(4, updater.ReadInstalledFileEntries(Install("list.installed").c_str(), &vecEntries));
    ASSERT_EQ(4u, vecEntries.size());
    EXPECT_EQ(std::string(64, 'a'), vecEntries[0].m_strSHA256);
    EXPECT_EQ("core", vecEntries[0].m_strPackage);
    EXPECT_EQ("", vecEntries[1].m_strSHA256);
    EXPECT_EQ("data", vecEntries[1].m_strPackage);
    EXPECT_EQ(3, vecEntries[2].m_llSize);
    EXPECT_EQ("", vecEntries[2].m_strPackage);
    EXPECT_TRUE(vecEntries[3].BIsDirectoryItem());
    EXPECT_FALSE(vecEntries[2].BIsDirectoryItem());
}
