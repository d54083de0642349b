#include "ferroexe/bootstraplog.h"

#include "ferroexe/installpaths.h"
#include "foundation/dbg.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"

#include <vector>

namespace
{
// The file names are formed in buffers of the longest path the system accepts.
const int k_cchLogPathBuffer = 32767;
// The run separator: a blank gap between the lines of two runs, without a timestamp.
const char k_rgchRunSeparator[] = "\r\n\r\n";
} // namespace

CBootstrapLogFile::CBootstrapLogFile(const char *pchLogName)
    : m_cubMaxSize(k_cubDefaultMaxSize), m_bEnabled(true), m_pchDiagnosticsGroup("bootstraplog"),
      m_nDiagnosticsLevel(4)
{
    Q_strncpy(m_rgchLogName, pchLogName ? pchLogName : "", sizeof(m_rgchLogName));
}

CBootstrapLogFile::~CBootstrapLogFile()
{
    Close();
}

bool CBootstrapLogFile::BOpen(const char *pchBaseDir)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_pFile)
        return true;
    if (!pchBaseDir)
        pchBaseDir = CInstallPaths::InstallDir();

    std::vector<char> vecCurrent(k_cchLogPathBuffer), vecPrevious(k_cchLogPathBuffer),
        vecLogsDir(k_cchLogPathBuffer);
    Q_snprintf(vecCurrent.data(), k_cchLogPathBuffer, "%s/logs/%s.txt", pchBaseDir, m_rgchLogName);
    Q_snprintf(vecPrevious.data(), k_cchLogPathBuffer, "%s/logs/%s.previous.txt", pchBaseDir, m_rgchLogName);
    Q_snprintf(vecLogsDir.data(), k_cchLogPathBuffer, "%s/logs", pchBaseDir);

    // One step of rotation, once per run: the log of the last runs becomes the previous
    // one. A failed delete or rename leaves the log to be appended to in place.
    int64 cubCurrent = PLAT_GetFileSize(vecCurrent.data());
    if (cubCurrent >= 0 && (uint64)cubCurrent >= m_cubMaxSize)
    {
        PLAT_DeleteFile(vecPrevious.data());
        PLAT_RenameReplace(vecCurrent.data(), vecPrevious.data());
    }

    // Binary: the lines carry their own "\r\n", which a text-mode stream on Windows would
    // turn into "\r\r\n".
    PLAT_CreateDirectoryHierarchy(vecLogsDir.data());
    m_pFile = PLAT_fopen(vecCurrent.data(), "ab");
    if (!m_pFile)
        return false;
    fwrite(k_rgchRunSeparator, 1, sizeof(k_rgchRunSeparator) - 1, m_pFile);
    fflush(m_pFile);
    return true;
}

void CBootstrapLogFile::Close()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_pFile)
    {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
}

bool CBootstrapLogFile::BIsOpen()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_pFile != nullptr;
}

void CBootstrapLogFile::WriteLine(const char *pchText)
{
    if (!m_bEnabled || m_cubMaxSize == 0)
        return;
    PlatLocalTime_t time;
    PLAT_GetLocalTime(&time);
    std::string strLine = FormatBootstrapLogLine(time, pchText ? pchText : "");

    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_pFile)
        return;
    DMsg(m_pchDiagnosticsGroup, m_nDiagnosticsLevel, "%s", strLine.c_str());
    // Whole lines, flushed at once: lines reach the file in the order written, and a crash
    // loses none that was written before it.
    fwrite(strLine.data(), 1, strLine.size(), m_pFile);
    fflush(m_pFile);
}

std::string FormatBootstrapLogLine(const PlatLocalTime_t &time, const char *pchText)
{
    char rgchTime[64];
    Q_snprintf(rgchTime, sizeof(rgchTime), "%04u-%02u-%02u %02u:%02u:%02u", time.m_unYear, time.m_unMonth,
               time.m_unDay, time.m_unHour, time.m_unMinute, time.m_unSecond);
    CUtlString strLine;
    strLine.Format("[%s] %s\r\n", rgchTime, pchText);
    return strLine.StdString();
}
