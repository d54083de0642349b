// netadr_t: a network address as the network layer and the HTTP client use it: a type, an
// IPv4 address and a port (both in host byte order). Addresses order by type, then address,
// then port, so they can key ordered maps.
#pragma once

#include "foundation/basetypes.h"

enum ENetAdrType
{
    k_ENetAdrTypeNone = 0, // not an address (a failed name lookup leaves this)
    k_ENetAdrTypeIP = 1,   // IPv4
};

struct netadr_t
{
    // The empty address: type IPv4, address 0, port 0.
    netadr_t() : m_eType(k_ENetAdrTypeIP), m_unIP(0), m_usPort(0) {}
    netadr_t(uint32 unIP, uint16 usPort) : m_eType(k_ENetAdrTypeIP), m_unIP(unIP), m_usPort(usPort) {}

    void Clear()
    {
        m_eType = k_ENetAdrTypeIP;
        m_unIP = 0;
        m_usPort = 0;
    }
    void SetPort(uint16 usPort) { m_usPort = usPort; }
    void SetType(ENetAdrType eType) { m_eType = eType; }
    uint32 GetIP() const { return m_unIP; }
    uint16 GetPort() const { return m_usPort; }
    ENetAdrType GetType() const { return m_eType; }

    // Type, address and port all set (a usable destination).
    bool BIsComplete() const { return m_eType != k_ENetAdrTypeNone && m_unIP != 0 && m_usPort != 0; }
    bool BIsLoopback() const { return (m_unIP >> 24) == 127; }

    // "a.b.c.d" or "a.b.c.d:port" (a missing port leaves 0). Nothing else is accepted:
    // each part a decimal number of at most 255, a port of at most 65535. False leaves the
    // address unchanged.
    bool BSetFromString(const char *pchText);
    // A host name or dotted quad with an optional ":port", resolved by a blocking name
    // lookup when it is not a dotted quad (work threads only). False leaves the type
    // k_ENetAdrTypeNone, address and port 0.
    bool BResolve(const char *pchHostAndPort);

    // "a.b.c.d:port" (or "a.b.c.d" without the port) into a buffer; returns the buffer.
    const char *ToString(char *pchBuf, int cubBuf, bool bWithPort = true) const;
    // The same in one of eight rotating buffers of the calling thread, for log lines.
    const char *ToString(bool bWithPort = true) const;

    bool operator==(const netadr_t &other) const
    {
        return m_eType == other.m_eType && m_unIP == other.m_unIP && m_usPort == other.m_usPort;
    }
    bool operator!=(const netadr_t &other) const { return !(*this == other); }
    bool operator<(const netadr_t &other) const
    {
        if (m_eType != other.m_eType)
            return m_eType < other.m_eType;
        if (m_unIP != other.m_unIP)
            return m_unIP < other.m_unIP;
        return m_usPort < other.m_usPort;
    }

    ENetAdrType m_eType;
    uint32 m_unIP;
    uint16 m_usPort;
};
