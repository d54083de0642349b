#include "net/netadr.h"

#include "foundation/platform/socket.h"
#include "foundation/strtools.h"

#include <cstring>

namespace
{
// Reads a decimal number of at most nMax at pch; advances *ppch past its digits.
bool BReadNumber(const char **ppch, uint32 unMax, uint32 *punValue)
{
    const char *pch = *ppch;
    uint32 unValue = 0;
    int cDigits = 0;
    while (*pch >= '0' && *pch <= '9')
    {
        unValue = unValue * 10 + (uint32)(*pch - '0');
        if (unValue > unMax || ++cDigits > 5)
            return false;
        ++pch;
    }
    if (cDigits == 0)
        return false;
    *ppch = pch;
    *punValue = unValue;
    return true;
}

bool BParseDottedQuad(const char *pch, const char **ppchEnd, uint32 *punIP)
{
    uint32 unIP = 0;
    for (int i = 0; i < 4; ++i)
    {
        uint32 unPart;
        if (!BReadNumber(&pch, 255, &unPart))
            return false;
        unIP = (unIP << 8) | unPart;
        if (i < 3)
        {
            if (*pch != '.')
                return false;
            ++pch;
        }
    }
    *ppchEnd = pch;
    *punIP = unIP;
    return true;
}

// Splits "host:port"; false when a port is there but is not a number of at most 65535.
bool BSplitPort(const char *pchText, char *pchHost, int cubHost, uint16 *pusPort)
{
    *pusPort = 0;
    const char *pchColon = strchr(pchText, ':');
    if (!pchColon)
    {
        Q_strncpy(pchHost, pchText, cubHost);
        return true;
    }
    int cchHost = (int)(pchColon - pchText);
    if (cchHost + 1 > cubHost)
        return false;
    memcpy(pchHost, pchText, (size_t)cchHost);
    pchHost[cchHost] = 0;
    const char *pchPort = pchColon + 1;
    uint32 unPort;
    if (!BReadNumber(&pchPort, 65535, &unPort) || *pchPort)
        return false;
    *pusPort = (uint16)unPort;
    return true;
}
} // namespace

bool netadr_t::BSetFromString(const char *pchText)
{
    if (!pchText)
        return false;
    const char *pch;
    uint32 unIP;
    if (!BParseDottedQuad(pchText, &pch, &unIP))
        return false;
    uint32 unPort = 0;
    if (*pch == ':')
    {
        ++pch;
        if (!BReadNumber(&pch, 65535, &unPort))
            return false;
    }
    if (*pch)
        return false;
    m_eType = k_ENetAdrTypeIP;
    m_unIP = unIP;
    m_usPort = (uint16)unPort;
    return true;
}

bool netadr_t::BResolve(const char *pchHostAndPort)
{
    m_eType = k_ENetAdrTypeNone;
    m_unIP = 0;
    m_usPort = 0;
    if (!pchHostAndPort || !*pchHostAndPort)
        return false;
    netadr_t adrParsed;
    if (adrParsed.BSetFromString(pchHostAndPort))
    {
        *this = adrParsed;
        return true;
    }
    char rgchHost[256];
    uint16 usPort;
    if (!BSplitPort(pchHostAndPort, rgchHost, sizeof(rgchHost), &usPort) || !rgchHost[0])
        return false;
    uint32 unIP;
    int nError;
    if (!PLAT_ResolveHostIPv4(rgchHost, &unIP, &nError))
        return false;
    m_eType = k_ENetAdrTypeIP;
    m_unIP = unIP;
    m_usPort = usPort;
    return true;
}

const char *netadr_t::ToString(char *pchBuf, int cubBuf, bool bWithPort) const
{
    if (bWithPort)
        Q_snprintf(pchBuf, cubBuf, "%u.%u.%u.%u:%u", (m_unIP >> 24) & 0xFF, (m_unIP >> 16) & 0xFF,
                   (m_unIP >> 8) & 0xFF, m_unIP & 0xFF, (uint32)m_usPort);
    else
        Q_snprintf(pchBuf, cubBuf, "%u.%u.%u.%u", (m_unIP >> 24) & 0xFF, (m_unIP >> 16) & 0xFF,
                   (m_unIP >> 8) & 0xFF, m_unIP & 0xFF);
    return pchBuf;
}

const char *netadr_t::ToString(bool bWithPort) const
{
    static thread_local char s_rgrgchBuf[8][32];
    static thread_local int s_iBuf = 0;
    char *pchBuf = s_rgrgchBuf[s_iBuf];
    s_iBuf = (s_iBuf + 1) % 8;
    return ToString(pchBuf, 32, bWithPort);
}
