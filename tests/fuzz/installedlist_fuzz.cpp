// libFuzzer target for the installed file list: any bytes as the list of the installation.
// The reader must take it apart line by line without a crash or an overrun; every entry's
// fields keep the list's rules (no comma in the path, a digest of 64 lower-case hex digits
// or none); an entry written again as the launcher writes it reads back the same; and the
// updater's readers and its size check of the install directory go through it whole.
#include "fuzzsupport.h"

#include "crypto/sha256.h"
#include "ferroexe/installedfilelist.h"
#include "foundation/platform/file.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace
{
const char k_szCopyPath[] = "package/fuzz_copy.installed";

void CheckEntry(const InstalledFile_t &file)
{
    if (file.m_strPath.find(',') != std::string::npos || file.m_strPath.find('\n') != std::string::npos)
        FuzzFailure("path '%s' holds a separator", file.m_strPath.c_str());
    if (!file.m_strSHA256.empty())
    {
        if (!BIsSHA256Hex(file.m_strSHA256.c_str(), file.m_strSHA256.size()))
            FuzzFailure("digest '%s'", file.m_strSHA256.c_str());
        for (char ch : file.m_strSHA256)
        {
            if (ch >= 'A' && ch <= 'F')
                FuzzFailure("digest '%s' not in lower case", file.m_strSHA256.c_str());
        }
    }
    if (file.m_strPackage.find('\n') != std::string::npos)
        FuzzFailure("package '%s' holds a line end", file.m_strPackage.c_str());
    // The key of a path names the same file however often it is taken.
    const std::string strKey = InstalledFileKey(file.m_strPath);
    if (InstalledFileKey(strKey) != strKey)
        FuzzFailure("key of '%s' changes when taken again", file.m_strPath.c_str());
}

// Written as the launcher writes a kept entry and read again: the same fields.
void CheckRoundTrip(const InstalledFile_t &file)
{
    const std::string strLine =
        FormatInstalledFileLine(file.m_strPath, file.m_llSize, file.m_strSHA256, file.m_strPackage);
    if (strLine.size() > k_cchMaxInstalledListLine)
        return;
    if (!BWriteFuzzFile(k_szCopyPath, (const uint8_t *)strLine.data(), strLine.size()))
        FuzzFailure("cannot write %s", k_szCopyPath);
    CInstalledFileListReader reader(k_szCopyPath);
    InstalledFile_t again;
    std::string strRead;
    if (reader.Next(&again, &strRead) != CInstalledFileListReader::k_ELineEntry)
        FuzzFailure("line '%s' does not read back", strLine.c_str());
    if (again.m_strPath != file.m_strPath || again.m_llSize != file.m_llSize ||
        again.m_strSHA256 != file.m_strSHA256 || again.m_strPackage != file.m_strPackage)
        FuzzFailure("line '%s' reads back as other fields", strLine.c_str());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pubData, size_t cubData)
{
    CFerroUpdater &updater = FuzzUpdater();
    if (cubData > 1 << 20)
        return 0;
    char rgchPath[MAX_PATH_BYTES];
    updater.BuildInstalledFilePath(rgchPath, sizeof(rgchPath), ".installed");
    PLAT_CreateDirectory("package");
    if (!BWriteFuzzFile(rgchPath, pubData, cubData))
        FuzzFailure("cannot write %s", rgchPath);

    CInstalledFileListReader reader(rgchPath);
    InstalledFile_t file;
    std::string strLine;
    CInstalledFileListReader::ELine eLine;
    int cEntries = 0;
    int cLines = 0;
    while ((eLine = reader.Next(&file, &strLine)) != CInstalledFileListReader::k_ELineEnd)
    {
        if (++cLines > (int)cubData + 1)
            FuzzFailure("more lines than bytes");
        if (strLine.size() > k_cchMaxInstalledListLine + 1)
            FuzzFailure("a line of %zu characters", strLine.size());
        if (eLine != CInstalledFileListReader::k_ELineEntry)
            continue;
        ++cEntries;
        CheckEntry(file);
        CheckRoundTrip(file);
    }

    std::vector<InstalledFile_t> vecEntries;
    if (updater.ReadInstalledFileEntries(rgchPath, &vecEntries) != cEntries ||
        (int)vecEntries.size() != cEntries)
        FuzzFailure("the updater reads %d entries, the reader %d", (int)vecEntries.size(), cEntries);
    updater.BVerifyInstalledFiles(true);
    return 0;
}
