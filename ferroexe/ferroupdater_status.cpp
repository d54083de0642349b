// What the updater tells the user and the log: the status line, errors, localized texts,
// and the free-space test that a check and an installation both start with.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/localizedtext.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <cerrno>
#include <string>

namespace
{
// The disk space message names the limit in megabytes.
const uint32 k_unMinFreeDiskSpaceMegaBytes = 100;
} // namespace

CUtlString LocalizeUpdaterText(const char *pchToken, const char *pchFallback, KeyValues *pParams)
{
    // The lookup's buffer belongs to this thread and its next lookup: copy at once.
    return CUtlString(LocalizeBootstrapperText(pchToken, pParams, pchFallback));
}

void CFerroUpdater::UpdateStatusText(const char *pchText)
{
    if (!pchText)
        pchText = "";
    if (m_strStatusText != pchText)
    {
        Log("%s", pchText);
        m_strStatusText = pchText;
    }
    if (m_pUpdateStatusUI)
        m_pUpdateStatusUI->SetStatusText(pchText);
}

void CFerroUpdater::UpdateStatusLocalized(const char *pchToken, const char *pchFallback)
{
    UpdateStatusText(LocalizeUpdaterText(pchToken, pchFallback).Get());
}

void CFerroUpdater::SetUpdateError(const char *pchText, bool bFatal)
{
    if (!pchText)
        pchText = "";
    Log("Error: %s\n", pchText);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_strLastError = pchText;
    }
    // After the text: whoever sees the flag finds the text that goes with it.
    if (bFatal)
        m_bFatalError = true;
}

CUtlString CFerroUpdater::GetLastErrorText() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_strLastError;
}

void CFerroUpdater::SetFailureCause(const char *pchText)
{
    if (!pchText || !*pchText)
        return;
    Log("Cause: %s", pchText);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_strFailureCause = pchText;
}

CUtlString CFerroUpdater::GetFatalCause() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_strFatalCause;
}

void CFerroUpdater::ShowStepFailure()
{
    CUtlString strShown;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        strShown = m_strFailureCause.IsEmpty() ? m_strLastError : m_strFailureCause;
    }
    if (!strShown.IsEmpty())
        UpdateStatusText(strShown.Get());
}

void CFerroUpdater::SetFatalErrorWithCause(const char *pchText)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_strFatalCause = m_strFailureCause.IsEmpty() ? m_strLastError : m_strFailureCause;
    }
    SetUpdateError(pchText, true);
}

CUtlString FormatLocalizedNumber(int64 nValue)
{
    CUtlString strSeparator = LocalizeUpdaterText("#FerroBootstrapper_ThousandsSeparator", ",");
    std::string strGrouped = Q_FormatNumber(nValue);
    std::string strOut;
    for (char ch : strGrouped)
    {
        if (ch == ',')
            strOut += strSeparator.Get();
        else
            strOut += ch;
    }
    return CUtlString(strOut.c_str());
}

CUtlString DescribeWriteFailure(const char *pchPath, int nErrno)
{
    const char *pchToken = nullptr;
    const char *pchFallback = nullptr;
    switch (nErrno)
    {
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        pchToken = "#FerroBootstrapper_CauseDiskFull";
        pchFallback = "The disk is full: %s could not be written.";
        break;
    case EACCES:
    case EPERM:
    case EROFS:
        pchToken = "#FerroBootstrapper_CauseNotWritable";
        pchFallback = "Ferro is not allowed to write to %s.";
        break;
    case EEXIST:
    case ENOTDIR:
        pchToken = "#FerroBootstrapper_CauseNotAFolder";
        pchFallback = "%s is a file, where Ferro needs a folder.";
        break;
    default:
        return CUtlString();
    }
    char rgchFallback[1024];
    Q_snprintf(rgchFallback, sizeof(rgchFallback), pchFallback, pchPath);
    KeyValues *pParams = new KeyValues("params");
    pParams->SetString("path", pchPath);
    CUtlString strText = LocalizeUpdaterText(pchToken, rgchFallback, pParams);
    pParams->DeleteThis();
    return strText;
}

bool CFerroUpdater::BHasFreeDiskSpaceForUpdate()
{
    uint64 cubFree = 0;
    if (!m_pFileOps->BGetFreeDiskSpace(".", &cubFree))
        cubFree = 0;
    if (cubFree > k_cubMinFreeDiskSpace)
        return true;

    char rgchFallback[256];
    Q_snprintf(rgchFallback, sizeof(rgchFallback), "Ferro needs at least %uMB of free disk space to update.",
               k_unMinFreeDiskSpaceMegaBytes);
    KeyValues *pParams = new KeyValues("params");
    pParams->SetInt("nMegaBytes", (int)k_unMinFreeDiskSpaceMegaBytes);
    CUtlString strText =
        LocalizeUpdaterText("#FerroBootstrapper_InsufficientDiskSpace", rgchFallback, pParams);
    pParams->DeleteThis();
    SetUpdateError(strText.Get(), false);
    return false;
}
