// The launcher's localized text lookup: every text the launcher shows goes through it.
//
// A text is named by a token ("#FerroBootstrapper_UpdateChecking") and comes from
// "public/ferrobootstrapper_<language>.txt" in the user's language (the registry value
// "Language"), with the English file filling the gaps and the caller's compiled-in English
// fallback behind both. The files are loaded on the first lookup.
//
// Parameters: a text of the language file names them between percent signs
// ("Ferro needs at least %nMegaBytes%MB of free disk space to update."), and the caller
// passes their values as the children of a KeyValues:
//
//     KeyValues *pParams = new KeyValues("params");
//     pParams->SetInt("nMegaBytes", 100);
//     char rgchFallback[256];
//     Q_snprintf(rgchFallback, sizeof(rgchFallback),
//                "Ferro needs at least %uMB of free disk space to update.", 100u);
//     CUtlString strText = LocalizeBootstrapperText("#FerroBootstrapper_InsufficientDiskSpace",
//                                                   pParams, rgchFallback);
//     pParams->DeleteThis();
//
// Any child type works (numbers are formatted, the child becomes a UTF-16 string in
// place); a name without a child gives an empty text. Every lookup also sets the child
// "appname" to "Arvo Launcher" (in the caller's KeyValues when one is given). The fallback
// is returned unchanged, so a fallback with printf formats is formatted by the caller
// before the call, as above.
//
// Threads: the main thread and the updater thread both look texts up; the lookups are
// serialised by one lock.
#pragma once

#include "foundation/basetypes.h"

#include <mutex>

class CFileSystem;
class ILocalize;
class KeyValues;

// Bytes of the lookup's result buffer (and of the UTF-16 text it is converted from).
constexpr int k_cubLocalizedTextBuffer = 2048;

// Returns the localized UTF-8 text of the token, or pchFallback when the token has no text
// (or an empty one). The returned buffer belongs to the calling thread and stays valid only
// until that thread's next lookup: callers that keep the text copy it.
const char *LocalizeBootstrapperText(const char *pchToken, KeyValues *pVariables, const char *pchFallback);

// The lookup over a given table and file system; the process-wide one serves the function
// above. The first lookup adds "." to the search path "MAIN" (at its tail), then the
// install directory when one is given (so that the files are found from any working
// directory), and loads "public/ferrobootstrapper_%language%.txt".
class CBootstrapperTextLookup
{
public:
    CBootstrapperTextLookup(ILocalize *pLocalize, CFileSystem *pFileSystem, const char *pchInstallDir);
    CBootstrapperTextLookup(const CBootstrapperTextLookup &) = delete;
    CBootstrapperTextLookup &operator=(const CBootstrapperTextLookup &) = delete;

    const char *Lookup(const char *pchToken, KeyValues *pVariables, const char *pchFallback);

private:
    void LoadFiles();

    std::mutex m_Mutex;
    ILocalize *m_pLocalize;
    CFileSystem *m_pFileSystem;
    char m_rgchInstallDir[MAX_UNICODE_PATH_IN_UTF8];
    bool m_bLoaded = false;
};
