#include "http/httpproxy.h"

#include "foundation/strtools.h"

#include <cstring>
#include <string>

namespace
{
// A dotted quad (a port after it is ignored); 0 when the text is not one.
uint32 IPv4FromText(const std::string &strText)
{
    std::string strAddress = strText.substr(0, strText.find(':'));
    netadr_t adr;
    if (!adr.BSetFromString(strAddress.c_str()))
        return 0;
    return adr.GetIP();
}

bool BEntryMatchesHost(const char *pchEntry, const std::string &strHost)
{
    if (strcmp(pchEntry, "<local>") == 0)
        return Q_stricmp(strHost.c_str(), "127.0.0.1") == 0 || Q_stricmp(strHost.c_str(), "localhost") == 0;

    const char *pchSchemeEnd = strstr(pchEntry, "//");
    std::string strEntry = pchSchemeEnd ? pchSchemeEnd + 2 : pchEntry;
    if (Q_stricmp(strEntry.c_str(), strHost.c_str()) == 0)
        return true;

    size_t iSlash = strEntry.find('/');
    if (iSlash == std::string::npos)
        return false;
    int nPrefixBits = Q_atoi(strEntry.c_str() + iSlash + 1);
    if (nPrefixBits < 1 || nPrefixBits > 32)
        return false;
    uint32 unNetwork = IPv4FromText(strEntry.substr(0, iSlash));
    uint32 unHost = IPv4FromText(strHost);
    if (unNetwork == 0 || unHost == 0)
        return false;
    uint32 unMask = nPrefixBits == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> nPrefixBits);
    return (unNetwork & unMask) == (unHost & unMask);
}
} // namespace

bool BIsHostExcludedFromProxy(const char *pchHost, const CUtlVector<CUtlString> &vecExcludedHosts)
{
    if (!pchHost)
        return false;
    std::string strHost(pchHost);
    strHost = strHost.substr(0, strHost.find(':'));
    if (strHost.empty())
        return false;
    for (int i = 0; i < vecExcludedHosts.Count(); ++i)
    {
        if (BEntryMatchesHost(vecExcludedHosts[i].Get(), strHost))
            return true;
    }
    return false;
}

void SplitProxyBypassList(const char *pchBypass, CUtlVector<CUtlString> &vecExcludedHosts)
{
    if (!pchBypass)
        return;
    const char *pchPiece = pchBypass;
    for (const char *pch = pchBypass;; ++pch)
    {
        if (*pch == ';' || *pch == ',')
        {
            CUtlString strPiece;
            strPiece.SetDirect(pchPiece, (size_t)(pch - pchPiece));
            vecExcludedHosts.AddToTail(strPiece);
            pchPiece = pch + 1;
        }
        else if (*pch == '\0')
        {
            if (pch > pchPiece)
                vecExcludedHosts.AddToTail(CUtlString(pchPiece));
            return;
        }
    }
}

bool BResolveProxyAddress(const char *pchProxy, netadr_t *pAdrProxy)
{
    pAdrProxy->Clear();
    if (!pchProxy)
        return false;
    std::string strProxy(pchProxy);
    size_t iFirst = strProxy.find_first_not_of("; \t");
    if (iFirst == std::string::npos)
        return false;
    strProxy = strProxy.substr(iFirst);
    strProxy = strProxy.substr(0, strProxy.find_first_of("; \t"));
    size_t iScheme = strProxy.find("://");
    if (iScheme != std::string::npos)
        strProxy.erase(0, iScheme + 3);
    strProxy = strProxy.substr(0, strProxy.find('/'));
    if (strProxy.empty())
        return false;
    netadr_t adr;
    if (!adr.BResolve(strProxy.c_str()))
        return false;
    if (adr.GetPort() == 0)
        adr.SetPort(80);
    *pAdrProxy = adr;
    return true;
}
