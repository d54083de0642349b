// The launcher's localized text lookup.
#include "ferroexe/localizedtext.h"

#include "foundation/filesystem.h"
#include "foundation/keyvalues.h"
#include "foundation/platform/process.h"
#include "foundation/strtools.h"
#include "localize/ilocalize.h"

#include <cstring>

namespace
{
const char k_pchLanguageFile[] = "public/ferrobootstrapper_%language%.txt";
const char k_pchAppName[] = "Arvo Launcher";

// One result buffer per thread: a text handed to the updater thread cannot be overwritten
// by a lookup of the main thread while it is being copied.
thread_local char t_rgchLocalizedText[k_cubLocalizedTextBuffer];
} // namespace

CBootstrapperTextLookup::CBootstrapperTextLookup(ILocalize *pLocalize, CFileSystem *pFileSystem,
                                                 const char *pchInstallDir)
    : m_pLocalize(pLocalize), m_pFileSystem(pFileSystem)
{
    Q_strncpy(m_rgchInstallDir, pchInstallDir ? pchInstallDir : "", sizeof(m_rgchInstallDir));
}

void CBootstrapperTextLookup::LoadFiles()
{
    m_pFileSystem->AddSearchPath(".", "MAIN", true);
    // The first lookup can come before the working directory is the install directory
    // (the window is built before the main flow changes into it).
    if (m_rgchInstallDir[0])
        m_pFileSystem->AddSearchPath(m_rgchInstallDir, "MAIN", true);
    m_pLocalize->AddFile(m_pFileSystem, k_pchLanguageFile);
}

const char *CBootstrapperTextLookup::Lookup(const char *pchToken, KeyValues *pVariables,
                                            const char *pchFallback)
{
    if (!pchToken)
        return pchFallback;
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_bLoaded)
    {
        m_bLoaded = true;
        LoadFiles();
    }

    CKeyValuesAutoDelete pTemporary(pVariables ? nullptr : new KeyValues("locvars"));
    KeyValues *pVars = pVariables ? pVariables : pTemporary.Get();
    pVars->SetString("appname", k_pchAppName);

    wchar16 rgwchText[k_cubLocalizedTextBuffer / sizeof(wchar16)];
    m_pLocalize->ConstructString(rgwchText, sizeof(rgwchText), pchToken, pVars);
    m_pLocalize->ConvertUnicodeToUTF8(rgwchText, t_rgchLocalizedText, sizeof(t_rgchLocalizedText));
    if (!t_rgchLocalizedText[0] || !strcmp(t_rgchLocalizedText, pchToken))
        return pchFallback;
    return t_rgchLocalizedText;
}

namespace
{
CBootstrapperTextLookup &ProcessLookup()
{
    static CBootstrapperTextLookup *s_pLookup = []()
    {
        char rgchInstallDir[MAX_UNICODE_PATH_IN_UTF8] = "";
        if (PLAT_GetExecutablePathUTF8(rgchInstallDir, sizeof(rgchInstallDir)))
            Q_StripLastComponent(rgchInstallDir);
        else
            rgchInstallDir[0] = 0;
        return new CBootstrapperTextLookup(Localize(), FileSystem(), rgchInstallDir);
    }();
    return *s_pLookup;
}
} // namespace

const char *LocalizeBootstrapperText(const char *pchToken, KeyValues *pVariables, const char *pchFallback)
{
    return ProcessLookup().Lookup(pchToken, pVariables, pchFallback);
}
